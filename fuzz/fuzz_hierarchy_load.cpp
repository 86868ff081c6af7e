// Scene loader: any Vek text or binary bytes through LyrLoadMeshHierarchyFromVekInMemory, with the
// component and the reference device loaded from beside the program as a host would, a host
// allocator that counts what it holds and a UserDataLoader that keeps what it is given. Each
// load ends with a code, never a crash or a read past a block. A failed load hands out nothing
// and leaves no frame or container alive; a successful one hands out a tree made only of the
// host's records, with a controller sized for its named frames.
#include <cstring>
#include <vector>

#include "core/object_impl.h"
#include "lyr/hierarchy_load.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "mesh/reference_device.h"
#include "vek_fuzz.h"

namespace {

using namespace lyr;

class CountingHost final : public HierarchyAllocator {
 public:
  int live = 0;
  LyrResult LYR_CALL NewFrame(const char* name, Frame** out) override {
    Frame* f = new Frame{};
    if (name) {
      f->name = new char[std::strlen(name) + 1];
      std::strcpy(f->name, name);
    }
    ++live;
    *out = f;
    return Ok;
  }
  LyrResult LYR_CALL NewMeshContainer(const char*, const MeshData* meshData, const Material*,
                                      const EffectInstance*, uint32_t, const uint32_t*,
                                      SkinInfo* skin, MeshContainer** out) override {
    MeshContainer* c = new MeshContainer{};
    c->meshType = meshData->meshType;
    c->mesh = meshData->mesh;
    if (!c->mesh) __builtin_trap();
    reinterpret_cast<Unknown*>(c->mesh)->AddRef();
    c->skinInfo = skin;
    if (skin) {
      if (skin->GetBoneCount() == 0) __builtin_trap();
      skin->AddRef();
    }
    ++live;
    *out = c;
    return Ok;
  }
  LyrResult LYR_CALL DeleteFrame(Frame* f) override {
    delete[] f->name;
    delete f;
    --live;
    return Ok;
  }
  LyrResult LYR_CALL DeleteMeshContainer(MeshContainer* c) override {
    reinterpret_cast<Unknown*>(c->mesh)->Release();
    if (c->skinInfo) c->skinInfo->Release();
    delete c;
    --live;
    return Ok;
  }
};

// Keeps a reference to every object it is given until the load is over, and reads its block.
class KeepingUser final : public UserDataLoader {
 public:
  std::vector<VekDataObject*> kept;
  ~KeepingUser() {
    for (VekDataObject* o : kept) o->Release();
  }
  LyrResult LYR_CALL OnTopLevelObject(VekDataObject* o) override { return Keep(o); }
  LyrResult LYR_CALL OnFrameChild(Frame*, VekDataObject* o) override { return Keep(o); }
  LyrResult LYR_CALL OnMeshChild(MeshContainer*, VekDataObject* o) override { return Keep(o); }

 private:
  LyrResult Keep(VekDataObject* o) {
    uint32_t size = 0;
    const void* data = nullptr;
    if (o->ReadData(nullptr, &size, &data) != Ok) __builtin_trap();
    o->AddRef();
    kept.push_back(o);
    return Ok;
  }
};

GraphicsDevice* Device() {
  static GraphicsDevice* device = [] {
    GraphicsDevice* d = nullptr;
    if (LoadReferenceDevice({}, &d) != Ok) __builtin_trap();
    return d;
  }();
  return device;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes = vekfuzz::AsVekFile(data, size);
  CountingHost host;
  KeepingUser user;
  Frame* root = nullptr;
  AnimationController* controller = nullptr;
  const LyrResult r =
      LyrLoadMeshHierarchyFromVekInMemory(bytes.data(), static_cast<uint32_t>(bytes.size()), 0,
                                          Device(), &host, &user, &root, &controller);
  if (Failed(r)) {
    if (root || controller || host.live != 0) __builtin_trap();
    return 0;
  }
  if (!root) __builtin_trap();
  if (controller) {
    if (controller->MaxOutputs() != LyrFrameNumNamedMatrices(root)) __builtin_trap();
    if (controller->SetTime(0.75) == ErrInvalidCall) __builtin_trap();
    controller->Release();
  }
  if (LyrFrameDestroy(root, &host) != Ok || host.live != 0) __builtin_trap();
  return 0;
}
