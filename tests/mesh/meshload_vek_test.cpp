// The whole-file mesh loading helpers: they must find the same Mesh object the hierarchy would
// (first in file order, at the top level or inside frames), load it exactly as the mesh data
// loader does, and hand out nothing on failure.
#include <gtest/gtest.h>

#include <string>

#include "fault_injection.h"
#include "meshload_test_util.h"
#include "platform/platform.h"

namespace lyr::test {
namespace {

struct Outputs {
  Ref<Mesh> mesh;
  Ref<Buffer> adjacency, materials, effects;
  Ref<SkinInfo> skin;
  uint32_t materialCount = 0;

  LyrResult FromMemory(GraphicsDevice* device, const std::string& bytes) {
    return LoadMeshFromVekInMemory(bytes.data(), bytes.size(), device, adjacency.put(),
                                   materials.put(), effects.put(), &materialCount, skin.put(),
                                   mesh.put());
  }
  void Reset() {
    mesh = {};
    adjacency = materials = effects = {};
    skin = {};
  }
};

std::string Adjacency(Buffer* b) {
  return b ? std::string(static_cast<const char*>(b->GetBytes()), b->GetByteCount())
           : std::string();
}

class MeshLoadVek : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();
};

TEST_F(MeshLoadVek, LoadsWhatTheMeshDataLoaderLoads) {
  for (const char* name : {"cube.vkf", "cube_normals.vkf", "decl.vkf", "fvf.vkf", "materials.vkf",
                           "quad.vkf", "skin.vkf", "vertex_data.vkf"}) {
    SCOPED_TRACE(name);
    const std::string bytes = MeshLoadData(name);
    Loaded direct;
    ASSERT_EQ(LoadAll(device.get(), bytes, &direct), Ok);
    Outputs out;
    ASSERT_EQ(out.FromMemory(device.get(), bytes), Ok);
    EXPECT_EQ(out.mesh->GetFaceCount(), direct.mesh->GetFaceCount());
    EXPECT_EQ(out.mesh->GetVertexCount(), direct.mesh->GetVertexCount());
    EXPECT_EQ(Adjacency(out.adjacency.get()), Adjacency(direct.adjacency.get()));
    EXPECT_EQ(out.materialCount, direct.materialCount);
    EXPECT_EQ(out.skin.get() != nullptr, direct.skin.get() != nullptr);
    const MeshContents a = ReadBack(out.mesh.get()), b = ReadBack(direct.mesh.get());
    EXPECT_EQ(a.vertices, b.vertices);
    EXPECT_EQ(a.indices, b.indices);
  }
}

TEST_F(MeshLoadVek, FindsTheFirstMeshInFileOrderThroughFrames) {
  const std::string quad = "Mesh Q { 3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0,1,2;; }";
  const std::string pair = "Mesh P { 4; 0;0;0;, 1;0;0;, 0;1;0;, 1;1;0;; 2; 3; 0,1,2;, 3; 1,3,2;; }";
  struct Case {
    const char* what;
    std::string body;
    LyrResult result;
    uint32_t faces;
  } cases[] = {
      {"top level", quad, Ok, 1},
      {"inside nested frames", "Frame A { Frame B { " + pair + " } }", Ok, 2},
      {"an empty frame first", "Frame E { } " + quad + " " + pair, Ok, 1},
      {"frame mesh before a later top-level mesh", "Frame A { " + pair + " } " + quad, Ok, 2},
      {"no mesh at all", "Frame A { Frame B { } }", ErrFail, 0},
      {"a mesh without faces", "Mesh N { 3; 0;0;0;, 1;0;0;, 0;1;0;; 0; }", ErrMeshWithoutData, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outputs out;
    ASSERT_EQ(out.FromMemory(device.get(), "vkf 0303txt 0032\n" + c.body + "\n"), c.result);
    if (c.result == Ok) {
      EXPECT_EQ(out.mesh->GetFaceCount(), c.faces);
    } else {
      EXPECT_FALSE(out.mesh || out.adjacency || out.materials || out.effects || out.skin);
    }
  }
}

TEST_F(MeshLoadVek, RejectsBadArgumentsAndMalformedFiles) {
  const std::string bytes = MeshLoadData("quad.vkf");
  Mesh* mesh = reinterpret_cast<Mesh*>(uintptr_t{1});  // must be cleared on every load failure
  // Argument failures come before the component is even loaded.
  EXPECT_EQ(LoadMeshFromVekInMemory(bytes.data(), 0, device.get(), nullptr, nullptr, nullptr,
                                    nullptr, nullptr, &mesh),
            ErrInvalidCall);
  EXPECT_EQ(LoadMeshFromVekFile(nullptr, device.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                &mesh),
            ErrInvalidCall);
  for (const std::string& bad :
       {std::string("not a vek file"), bytes.substr(0, bytes.size() / 2)}) {
    Ref<Buffer> adjacency;
    EXPECT_TRUE(
        Failed(LoadMeshFromVekInMemory(bad.data(), bad.size(), device.get(), adjacency.put(),
                                       nullptr, nullptr, nullptr, nullptr, &mesh)));
    EXPECT_EQ(mesh, nullptr);
    EXPECT_FALSE(adjacency);
  }
}

TEST_F(MeshLoadVek, LoadsFromAFile) {
  char dir[1024], path[1200];
  ASSERT_TRUE(platform::TempDirectory(dir, sizeof dir));
  ASSERT_TRUE(platform::MakeTempFile(dir, "mlv", path, sizeof path));
  const std::string bytes = MeshLoadData("materials.vkf");
  ASSERT_EQ(platform::WriteWholeFile(path, bytes.data(), bytes.size()), Ok);
  Ref<Mesh> fromFile;
  Ref<Buffer> materials;
  uint32_t materialCount = 0;
  EXPECT_EQ(LoadMeshFromVekFile(path, device.get(), nullptr, materials.put(), nullptr,
                                &materialCount, nullptr, fromFile.put()),
            Ok);
  Outputs fromMemory;
  ASSERT_EQ(fromMemory.FromMemory(device.get(), bytes), Ok);
  ASSERT_TRUE(fromFile);
  EXPECT_EQ(fromFile->GetFaceCount(), fromMemory.mesh->GetFaceCount());
  EXPECT_EQ(materialCount, fromMemory.materialCount);
  ASSERT_EQ(platform::WriteWholeFile(path, "", 0), Ok);
  Ref<Mesh> empty;
  EXPECT_EQ(LoadMeshFromVekFile(path, device.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                empty.put()),
            ErrInvalidCall);
  platform::DeleteFile(path);
  EXPECT_EQ(LoadMeshFromVekFile(path, device.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                                empty.put()),
            ErrFileOpenFailed);
  EXPECT_FALSE(empty);
}

TEST_F(MeshLoadVek, AllocationFailuresReleaseEverything) {
  const std::string bytes = MeshLoadData("skin.vkf");
  Outputs out;
  EXPECT_GT(ForEachAllocationFailure([&] { return out.FromMemory(device.get(), bytes); },
                                     [&](LyrResult) { out.Reset(); }),
            10);
}

}  // namespace
}  // namespace lyr::test
