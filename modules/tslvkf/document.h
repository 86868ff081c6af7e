// A parsed Vek file: every data object with its packed block, names, identifiers, children and
// resolved references. Parsing is complete before the first object is handed out; the objects
// handed out are views holding a reference on the document.
#pragma once

#include "vek_internal.h"

namespace vek {

struct Node;

enum class ChildKind : uint8_t { kObject, kReference, kBinary };

struct Child {
  ChildKind kind = ChildKind::kObject;
  bool hasId = false;          // kReference
  Node* node = nullptr;        // kObject: the child; kReference: the target, null when unresolved
  const char* name = nullptr;  // kReference: the name given, or null
  uint32_t nameLen = 0;
  Guid id{};
  const uint8_t* bytes = nullptr;  // kBinary
  uint32_t size = 0;
};

struct Node {
  const Template* tmpl = nullptr;
  const char* name = nullptr;  // null when unnamed
  uint32_t nameLen = 0;
  bool hasId = false;
  Guid id{};
  uint8_t* block = nullptr;  // malloc'd; null when the block is empty
  uint32_t size = 0;
  Child* children = nullptr;
  uint32_t childCount = 0;
};

class Document : public Shared {
 public:
  explicit Document(Registry* registry) : registry_(registry), templates_(&registry->templates) {
    registry->AddRef();
  }
  ~Document() override {
    for (Node* n : nodes_) std::free(n->block);
  }

  // Parses a whole file (header included).
  LyrResult Parse(const uint8_t* data, size_t size);
  // Parses a template block (header included) into set, which must sit on the registry's set.
  static LyrResult ParseTemplates(const uint8_t* data, size_t size, TemplateSet* set);

  const std::vector<Node*>& roots() const { return roots_; }

  // Holds what parsing builds; used by the parser only.
  Arena& arena() { return arena_; }
  TemplateSet& templates() { return templates_; }
  std::vector<Node*>& nodes() { return nodes_; }
  std::vector<Node*>& roots() { return roots_; }
  // Points every reference at its target (first object in file order with that name, and that
  // identifier when the reference gives one).
  void ResolveReferences();

 private:
  SharedRef<Registry> registry_;
  TemplateSet templates_;  // the file's own templates over the registered ones
  Arena arena_;
  std::vector<Node*> nodes_;  // every node in file order (parents before children)
  std::vector<Node*> roots_;
};

// Finds the byte range of member `name` inside a block of template t; ErrVekNotFound when t has
// no such member, ErrVekBadData when the block does not hold it.
LyrResult FindMember(const Template& t, const uint8_t* block, size_t size, std::string_view name,
                     size_t* offset, size_t* length);

// The ReadName contract shared by every object with a name.
LyrResult CopyName(const char* name, uint32_t len, char* buffer, uint32_t* size);

// Creates the file and its save object.
LyrResult CreateSaveObject(Registry* registry, const char* fileName, uint32_t format,
                           lyr::VekSaveObject** out);

}  // namespace vek
