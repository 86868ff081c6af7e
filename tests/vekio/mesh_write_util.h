// Helpers for the mesh data writer tests: writing a loaded mesh back to a file in any form, loading
// what was written, comparing two loads, and a save object that fails a chosen call.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "lyr/frame.h"
#include "mesh/meshload_test_util.h"
#include "vek_test_util.h"
#include "vekio/mesh_write.h"

namespace lyr::test {

inline Guid TemplateOf(VekDataObject* object) {
  const Guid* t = nullptr;
  EXPECT_EQ(object->ReadTemplateId(&t), Ok);
  return t ? *t : Guid{};
}

// What a mesh container would hold for a loaded mesh.
struct WriteInput {
  Mesh* mesh = nullptr;
  const uint32_t* adjacency = nullptr;
  const Material* materials = nullptr;
  const EffectInstance* effects = nullptr;
  uint32_t materialCount = 0;
  SkinInfo* skin = nullptr;
  const void* pm = nullptr;
  uint32_t pmSize = 0;
};
WriteInput InputOf(const Loaded& l);

// Writes the input as a container would be written: a skinned mesh into a new Frame, any other
// mesh as a Mesh object. *out is that object, not yet written.
LyrResult WriteInputObject(const vekio::SaveContext& context, const WriteInput& in,
                           VekDataObject** out);
// The same through `save`, written at top level.
LyrResult WriteInputTo(VekSaveObject* save, uint32_t format, const WriteInput& in);

// The file that WriteInputTo gives in `format`; `result` receives its code.
std::string WriteToBytes(const WriteInput& in, uint32_t format, LyrResult* result);

// Loads the first Mesh object of a file, at top level or inside a top-level Frame.
LyrResult LoadWritten(GraphicsDevice* device, const std::string& bytes, Loaded* out);

// Expects two loads to agree bit for bit: declaration, vertices, indices, attribute ids,
// adjacency, materials, effect instances, skin and progressive-mesh block.
void ExpectSameLoad(const Loaded& a, const Loaded& b);

// The data children of a save-side object as (template, block) pairs.
struct ChildBlock {
  Guid templateId;
  std::vector<uint8_t> block;
  Ref<VekDataObject> object;
};
std::vector<ChildBlock> ChildBlocks(VekDataObject* object);

// A save object that passes every call to a real one but fails the n-th NewDataObject or AddChild
// call (counted together from 0) with `code`, remembering the template of what it refused.
struct FaultPlan {
  int failAt = -1;  // -1: fail nothing
  int calls = 0;
  LyrResult code = static_cast<LyrResult>(0x88761234u);
  bool failed = false;
  bool failedCreate = false;  // a NewDataObject (else an AddChild) was refused
  Guid failedTemplate{};
  // When set, every NewDataObject (but of a Frame) checks that the thread's locale is not this one.
  void* foreignLocale = nullptr;
  bool localeSwitched = true;
};
Ref<VekSaveObject> MakeFailingSave(VekSaveObject* real, FaultPlan* plan);

// Collects the debug messages sent while it lives.
class DebugMessages {
 public:
  DebugMessages();
  ~DebugMessages();
  std::vector<std::string> messages;
};

}  // namespace lyr::test
