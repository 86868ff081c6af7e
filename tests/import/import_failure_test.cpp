// Imports with each library allocation failing in turn: every run ends with ErrOutOfMemory,
// frees what it made through the host and hands out no tree and no set.
#include <gtest/gtest.h>

#if LYR_HAVE_IMPORT
#include <unistd.h>

#include <fstream>
#include <functional>

#include "fault_injection.h"
#include "lyr_import.h"
#include "ref_device.h"
#include "vekio/hierarchy_test_util.h"

namespace lyr::test {
namespace {

// A two-material quad and triangle with its MTL beside it, in a folder of this process's own.
std::string WriteObj() {
  const std::string dir = ::testing::TempDir() + "lyr_import_fail_" + std::to_string(::getpid());
  std::system(("mkdir -p " + dir).c_str());
  std::ofstream(dir + "/quad.mtl") << "newmtl a\nKd 1 0 0\nmap_Kd a.png\nnewmtl b\nKd 0 0 1\n";
  std::ofstream(dir + "/quad.obj")
      << "mtllib quad.mtl\nv 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
         "vn 0 0 1\nusemtl a\nf 1//1 2//1 3//1 4//1\nusemtl b\nf 1 3 4\n";
  return dir + "/quad.obj";
}

TEST(ImportFailure, EveryAllocationFailureIsReportedAndLeavesNothing) {
  using Importer = std::function<LyrResult(const char*, GraphicsDevice*, TestHost*,
                                           import::ImportedScene*, std::string*)>;
  const Importer gltf = [](const char* path, GraphicsDevice* device, TestHost* host,
                           import::ImportedScene* scene, std::string* message) {
    return import::ImportGltf(path, 0, device, host, scene, message);
  };
  const Importer obj = [](const char* path, GraphicsDevice* device, TestHost* host,
                          import::ImportedScene* scene, std::string* message) {
    return import::ImportObj(path, 0, device, host, scene, message);
  };
  const std::string shared = std::string(LYR_SHARED_DATA_DIR) + "/gltf/";
  const struct {
    std::string path;
    Importer run;
  } cases[] = {
      // Frames, a skinned mesh and a rotation clip; then nineteen joints and all three channels.
      {shared + "SimpleSkin.gltf", gltf},
      {shared + "rigged_figure_raylib2021.glb", gltf},
      {WriteObj(), obj},
  };
  Ref<GraphicsDevice> device = MakeRefDevice();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TestHost host;
    auto scene = std::make_unique<import::ImportedScene>();
    const int points = ForEachAllocationFailure(
        [&] {
          std::string message;
          const LyrResult r = c.run(c.path.c_str(), device.get(), &host, scene.get(), &message);
          if (Failed(r)) {
            EXPECT_EQ(scene->root, nullptr);
            EXPECT_TRUE(scene->animationSets.empty());
            EXPECT_TRUE(host.Empty());
            EXPECT_FALSE(message.empty());
          }
          return r;
        },
        [&](LyrResult) {
          if (scene->root) {
            EXPECT_EQ(LyrFrameDestroy(scene->root, &host), Ok);
          }
          scene = std::make_unique<import::ImportedScene>();
        });
    EXPECT_GT(points, 3);
  }
}

// The host's allocator failing any of its calls, with a code or by handing out nothing: the
// import ends with that code (ErrOutOfMemory for nothing) and the host gets back all it gave.
TEST(ImportFailure, EveryHostFailureIsPassedOn) {
  const std::string path = std::string(LYR_SHARED_DATA_DIR) + "/gltf/Fox.glb";
  Ref<GraphicsDevice> device = MakeRefDevice();
  for (HostFault fault : {HostFault::kFailCode, HostFault::kSucceedEmpty}) {
    for (bool container : {false, true}) {
      for (int at = 0;; ++at) {
        SCOPED_TRACE(std::to_string(at) + (container ? " container" : " frame"));
        TestHost host;
        (container ? host.containerFault : host.frameFault) = fault;
        (container ? host.containerFaultAt : host.frameFaultAt) = at;
        import::ImportedScene scene;
        std::string message;
        const LyrResult r =
            import::ImportGltf(path.c_str(), 0, device.get(), &host, &scene, &message);
        const int calls = container ? host.newContainerCalls : host.newFrameCalls;
        if (at >= calls) {
          ASSERT_EQ(r, Ok) << message;
          EXPECT_EQ(LyrFrameDestroy(scene.root, &host), Ok);
          break;
        }
        EXPECT_EQ(r, fault == HostFault::kFailCode ? kHostFailure : ErrOutOfMemory);
        EXPECT_EQ(scene.root, nullptr);
        EXPECT_TRUE(scene.animationSets.empty());
        EXPECT_FALSE(message.empty());
        ASSERT_TRUE(host.Empty());
      }
    }
  }
}

}  // namespace
}  // namespace lyr::test
#endif
