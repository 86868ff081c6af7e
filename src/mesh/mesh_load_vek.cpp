// Loading the first mesh of a whole Vek file: finds the Mesh data object and hands it to the mesh
// data loader.
#include "core/object_impl.h"
#include "mesh/mesh_load.h"
#include "platform/platform.h"
#include "vekio/vek_component.h"

namespace lyr {
namespace {

bool HasTemplate(VekDataObject* object, const Guid& id) {
  const Guid* own = nullptr;
  return Succeeded(object->ReadTemplateId(&own)) && own && *own == id;
}

// The next data object of the file's top level (parent null) or among parent's children;
// references and binary data, which answer no to the data-object identifier, are skipped.
// ErrVekNoMoreObjects after the last.
LyrResult NextDataObject(VekEnumeration* e, VekDataObject* parent, VekDataObject** out) {
  if (!parent) return e->NextTopLevelObject(out);
  for (;;) {
    Ref<Unknown> child;
    LyrResult r = parent->NextChild(child.put());
    if (Failed(r)) return r;
    void* p = nullptr;
    if (Succeeded(child->QueryInterface(VekDataObject::kIid, &p)) && p) {
      *out = static_cast<VekDataObject*>(p);
      return Ok;
    }
  }
}

// Depth-first in file order through Frame objects. Ok with *out set when found, Ok with *out
// null when not; other codes come from the component. The component bounds the nesting depth
// while parsing, so the recursion is bounded too.
LyrResult FindMesh(VekEnumeration* e, VekDataObject* parent, VekDataObject** out) {
  for (;;) {
    Ref<VekDataObject> object;
    LyrResult r = NextDataObject(e, parent, object.put());
    if (r == ErrVekNoMoreObjects) return Ok;
    if (Failed(r)) return r;
    if (HasTemplate(object.get(), vekio::tid::kMesh)) {
      *out = object.detach();
      return Ok;
    }
    if (HasTemplate(object.get(), vekio::tid::kFrame)) {
      r = FindMesh(e, object.get(), out);
      if (Failed(r) || *out) return r;
    }
  }
}

}  // namespace

LyrResult LoadMeshFromVekInMemory(const void* data, size_t size, GraphicsDevice* device,
                                  Buffer** adjacency, Buffer** materials, Buffer** effects,
                                  uint32_t* materialCount, SkinInfo** skin, Mesh** mesh) {
  if (!data || size == 0 || !device || !mesh) return ErrInvalidCall;
  if (adjacency) *adjacency = nullptr;
  if (materials) *materials = nullptr;
  if (effects) *effects = nullptr;
  if (materialCount) *materialCount = 0;
  if (skin) *skin = nullptr;
  *mesh = nullptr;
  return Guard([&]() -> LyrResult {
    Ref<VekFile> file;
    LyrResult r = vekio::CreateVekFileWithTemplates(file.put());
    if (Failed(r)) return r;
    const VekMemorySource source{data, size};
    Ref<VekEnumeration> e;
    if (Failed(r = file->OpenEnumeration(&source, kVekSourceMemory, e.put()))) return r;
    Ref<VekDataObject> object;
    if (Failed(r = FindMesh(e.get(), nullptr, object.put()))) return r;
    if (!object) return ErrFail;  // no Mesh object in the file
    return LoadMeshData(object.get(), 0, device, adjacency, materials, effects, materialCount, skin,
                        mesh, nullptr, nullptr, nullptr, nullptr);
  });
}

LyrResult LoadMeshFromVekFile(const char* fileName, GraphicsDevice* device, Buffer** adjacency,
                              Buffer** materials, Buffer** effects, uint32_t* materialCount,
                              SkinInfo** skin, Mesh** mesh) {
  if (!fileName || !device || !mesh) return ErrInvalidCall;
  platform::MappedFile file;
  LyrResult r = file.Open(fileName);
  if (Failed(r)) return r;
  return LoadMeshFromVekInMemory(file.data(), file.size(), device, adjacency, materials, effects,
                                 materialCount, skin, mesh);
}

}  // namespace lyr
