// The OBJ importer on small files written here: subsets by material, welded corners, MTL values,
// and faults that must fail cleanly.
#include <gtest/gtest.h>

#if LYR_HAVE_IMPORT
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "lyr_import.h"
#include "ref_device.h"
#include "vekio/hierarchy_test_util.h"

namespace lyr::test {
namespace {

std::string WriteFiles(const std::string& obj, const std::string& mtl) {
  const std::string dir = "/tmp/lyr_obj_" + std::to_string(::getpid());
  std::system(("mkdir -p " + dir).c_str());
  std::ofstream(dir + "/box.mtl") << mtl;
  std::ofstream(dir + "/box.obj") << obj;
  return dir + "/box.obj";
}

const char* const kMtl =
    "newmtl red\nKd 1 0 0\nKa 0.1 0.1 0.1\nNs 20\nmap_Kd red.png\nnewmtl blue\nKd 0 0 1\n";
const char* const kHead = "mtllib box.mtl\nv 0 0 0\nv 2 0 0\nv 2 1 0\nv 0 1 0\nvt 0 0\nvn 0 0 1\n";

TEST(ObjImport, SubsetsPerMaterialWithMtlValues) {
  const std::string path = WriteFiles(
      std::string(kHead) + "usemtl red\nf 1/1/1 2/1/1 3/1/1 4/1/1\nusemtl blue\nf 1 3 4\n", kMtl);
  Ref<GraphicsDevice> device = MakeRefDevice();
  TestHost host;
  import::ImportedScene scene;
  std::string message;
  ASSERT_EQ(import::ImportObj(path.c_str(), 0, device.get(), &host, &scene, &message), Ok)
      << message;
  ASSERT_STREQ(scene.root->name, "box");
  const MeshContainer* c = scene.root->meshContainers;
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->mesh->GetFaceCount(), 3u);    // the quad split in two, and the triangle
  EXPECT_EQ(c->mesh->GetVertexCount(), 7u);  // 4 welded corners for red, 3 for blue
  ASSERT_EQ(c->materialCount, 2u);
  EXPECT_EQ(c->materials[0].diffuse.red, 1.0f);
  EXPECT_EQ(c->materials[0].power, 20.0f);
  EXPECT_EQ(c->materials[1].diffuse.blue, 1.0f);
  AttributeRange table[2];
  uint32_t count = 0;
  ASSERT_EQ(c->mesh->CopyAttributeTable(nullptr, &count), Ok);
  ASSERT_EQ(count, 2u);
  ASSERT_EQ(c->mesh->CopyAttributeTable(table, nullptr), Ok);
  EXPECT_EQ(table[0].faceCount, 2u);
  EXPECT_EQ(table[1].firstFace, 2u);
  EXPECT_FLOAT_EQ(scene.modelSize, 2.0f);
  EXPECT_EQ(LyrFrameDestroy(scene.root, &host), Ok);
}

// A file without normals gets smooth ones: unit length, and on a closed convex shape whose
// faces wind counter-clockwise seen from outside, pointing away from its centre.
TEST(ObjImport, MissingNormalsAreMadeSmoothAndOutward) {
  const std::string path =
      WriteFiles("v 0 0 0\nv 1 0 0\nv 0 1 0\nv 0 0 1\nf 1 3 2\nf 1 2 4\nf 1 4 3\nf 2 3 4\n", "");
  Ref<GraphicsDevice> device = MakeRefDevice();
  TestHost host;
  import::ImportedScene scene;
  std::string message;
  ASSERT_EQ(import::ImportObj(path.c_str(), 0, device.get(), &host, &scene, &message), Ok)
      << message;
  Mesh* mesh = scene.root->meshContainers->mesh;
  ASSERT_EQ(mesh->GetVertexCount(), 4u);
  const uint32_t stride = mesh->GetVertexStride();
  void* data = nullptr;
  ASSERT_EQ(mesh->LockVertices(kLockReadOnly, &data), Ok);
  for (uint32_t v = 0; v < 4; ++v) {
    float p[3], n[3];
    std::memcpy(p, static_cast<const char*>(data) + v * stride, sizeof p);
    std::memcpy(n, static_cast<const char*>(data) + v * stride + sizeof p, sizeof n);
    EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0f, 1e-5f) << v;
    const float outward = (p[0] - 0.25f) * n[0] + (p[1] - 0.25f) * n[1] + (p[2] - 0.25f) * n[2];
    EXPECT_GT(outward, 0.0f) << v;
  }
  mesh->UnlockVertices();
  EXPECT_EQ(LyrFrameDestroy(scene.root, &host), Ok);
}

TEST(ObjImport, FaultsFailWithAMessage) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  const struct {
    std::string obj;
    LyrResult result;
  } cases[] = {
      {std::string(kHead) + "f 1 2 9\n", ErrFail},
      {std::string(kHead), ErrFail},
  };
  for (const auto& c : cases) {
    TestHost host;
    import::ImportedScene scene;
    std::string message;
    const std::string path = WriteFiles(c.obj, kMtl);
    EXPECT_EQ(import::ImportObj(path.c_str(), 0, device.get(), &host, &scene, &message), c.result)
        << c.obj;
    EXPECT_EQ(scene.root, nullptr);
    EXPECT_FALSE(message.empty());
  }
  TestHost host;
  import::ImportedScene scene;
  EXPECT_EQ(import::ImportObj("/nonexistent/x.obj", 0, device.get(), &host, &scene, nullptr),
            ErrFileOpenFailed);
}

}  // namespace
}  // namespace lyr::test
#endif
