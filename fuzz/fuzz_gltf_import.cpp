// glTF importer: any bytes (text or binary container) through ImportGltfFromMemory with no base
// folder, so only embedded data is reachable. Each import ends with a code; a failed one leaves
// no frame or container alive and hands out no set.
#include <cstring>
#include <string>

#include "core/object_impl.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "mesh/reference_device.h"
#if LYR_HAVE_IMPORT
#include "lyr_import.h"
#endif

namespace {

using namespace lyr;

class CountingHost final : public HierarchyAllocator {
 public:
  int live = 0;
  LyrResult LYR_CALL NewFrame(const char*, Frame** out) override {
    *out = new Frame{};
    ++live;
    return Ok;
  }
  LyrResult LYR_CALL NewMeshContainer(const char*, const MeshData* meshData, const Material*,
                                      const EffectInstance*, uint32_t, const uint32_t*,
                                      SkinInfo* skin, MeshContainer** out) override {
    MeshContainer* c = new MeshContainer{};
    c->mesh = meshData->mesh;
    reinterpret_cast<Unknown*>(c->mesh)->AddRef();
    c->skinInfo = skin;
    if (skin) skin->AddRef();
    ++live;
    *out = c;
    return Ok;
  }
  LyrResult LYR_CALL DeleteFrame(Frame* f) override {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#if LYR_HAVE_IMPORT
  static GraphicsDevice* device = [] {
    GraphicsDevice* d = nullptr;
    LoadReferenceDevice(RefDeviceDesc{}, &d);
    return d;
  }();
  if (!device) return 0;
  CountingHost host;
  {
    import::ImportedScene scene;
    std::string message;
    const LyrResult r =
        import::ImportGltfFromMemory(data, size, "", 0, device, &host, &scene, &message);
    if (Failed(r) && (scene.root || !scene.animationSets.empty() || host.live != 0))
      __builtin_trap();
    if (scene.root) LyrFrameDestroy(scene.root, &host);
  }
  if (host.live != 0) __builtin_trap();
#else
  (void)data;
  (void)size;
#endif
  return 0;
}
