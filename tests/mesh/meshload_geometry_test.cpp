// Geometry of loaded meshes: triangulation, computed and per-corner normals, dropped faces,
// adjacency and the index width.
#include <cmath>
#include <set>

#include "meshload_test_util.h"

namespace lyr::test {
namespace {

class MeshLoadGeometry : public ::testing::Test {
 protected:
  Ref<GraphicsDevice> device = MakeRefDevice();
  Loaded out;
};

std::set<std::vector<uint32_t>> Triangles(const MeshContents& c) {
  std::set<std::vector<uint32_t>> s;
  for (size_t f = 0; f < c.indices.size(); f += 3)
    s.insert({c.indices[f], c.indices[f + 1], c.indices[f + 2]});
  return s;
}

TEST_F(MeshLoadGeometry, QuadSplitsIntoTheFanOfItsFirstCorner) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("quad.vkf"), &out), Ok);
  ASSERT_EQ(out.mesh->GetFaceCount(), 2u);
  EXPECT_EQ(out.mesh->GetVertexCount(), 4u);
  MeshContents c = ReadBack(out.mesh.get());
  EXPECT_EQ(Triangles(c), (std::set<std::vector<uint32_t>>{{0, 1, 2}, {0, 2, 3}}));
  EXPECT_EQ(out.mesh->GetOptionBits(),
            MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory);
  EXPECT_EQ(out.mesh->GetFormatCode(), kFormatPosition | kFormatNormal);
  // The two triangles share the diagonal.
  EXPECT_EQ(out.adjacency->GetByteCount(), 24u);
  int shared = 0;
  for (int i = 0; i < 6; ++i) shared += out.Adjacency()[i] != 0xFFFFFFFFu;
  EXPECT_EQ(shared, 2);
  // Computed normals face +z: (p0 - p1) x (p0 - p2) of (0,1,2).
  for (uint32_t v = 0; v < 4; ++v) {
    const float* n = c.At(v, ElementUsage::Normal);
    EXPECT_FLOAT_EQ(n[2], 1.0f) << v;
  }
  EXPECT_EQ(out.materials.get(), nullptr);
  EXPECT_EQ(out.effects.get(), nullptr);
  EXPECT_EQ(out.skin.get(), nullptr);
  EXPECT_EQ(out.unknownCount, 0u);
}

TEST_F(MeshLoadGeometry, CubeWithoutNormalsSumsTheTriangleNormalsAroundEachVertex) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("cube.vkf"), &out), Ok);
  ASSERT_EQ(out.mesh->GetVertexCount(), 8u);
  ASSERT_EQ(out.mesh->GetFaceCount(), 12u);
  MeshContents c = ReadBack(out.mesh.get());
  for (uint32_t v = 0; v < 8; ++v) {
    const float* p = c.At(v, ElementUsage::Position);
    const float* n = c.At(v, ElementUsage::Normal);
    // The normal points away from the centre, into the vertex's octant, with unit length...
    EXPECT_NEAR(n[0] * n[0] + n[1] * n[1] + n[2] * n[2], 1.0f, 1e-5f) << v;
    for (int k = 0; k < 3; ++k) EXPECT_GT(n[k] * p[k], 0.0f) << v;
    // ...and is the normalised sum of the unit normals of the triangles that use the vertex.
    float sum[3] = {0, 0, 0};
    for (size_t f = 0; f < c.indices.size(); f += 3) {
      const uint32_t* t = &c.indices[f];
      if (t[0] != v && t[1] != v && t[2] != v) continue;
      const float* a = c.At(t[0], ElementUsage::Position);
      const float* b = c.At(t[1], ElementUsage::Position);
      const float* d = c.At(t[2], ElementUsage::Position);
      const float e1[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
      const float e2[3] = {a[0] - d[0], a[1] - d[1], a[2] - d[2]};
      const float x[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                          e1[0] * e2[1] - e1[1] * e2[0]};
      const float l = std::sqrt(x[0] * x[0] + x[1] * x[1] + x[2] * x[2]);
      for (int k = 0; k < 3; ++k) sum[k] += x[k] / l;
    }
    const float l = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(n[k], sum[k] / l, 1e-5f) << v;
  }
  // Every edge of a closed cube has a neighbour.
  for (uint32_t i = 0; i < 36; ++i) EXPECT_LT(out.Adjacency()[i], 12u) << i;
}

TEST_F(MeshLoadGeometry, PerCornerNormalsSplitEveryCubeCornerThreeWays) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("cube_normals.vkf"), &out), Ok);
  ASSERT_EQ(out.mesh->GetVertexCount(), 24u);
  ASSERT_EQ(out.mesh->GetFaceCount(), 12u);
  MeshContents c = ReadBack(out.mesh.get());
  // Every corner's vertex carries the normal of its face, which is the face's own plane normal.
  for (size_t f = 0; f < c.indices.size(); f += 3) {
    const float* n0 = c.At(c.indices[f], ElementUsage::Normal);
    for (int s = 0; s < 3; ++s) {
      const float* p = c.At(c.indices[f + s], ElementUsage::Position);
      const float* n = c.At(c.indices[f + s], ElementUsage::Normal);
      EXPECT_EQ(std::memcmp(n, n0, 12), 0);
      // The face lies in the plane n . p = 1.
      EXPECT_FLOAT_EQ(n[0] * p[0] + n[1] * p[1] + n[2] * p[2], 1.0f);
    }
  }
  // Split vertices are separate points of the mesh, but the faces of one cube side stay joined;
  // sides meet at vertices of different normals, so adjacency found from positions still joins
  // them.
  for (uint32_t i = 0; i < 36; ++i) EXPECT_LT(out.Adjacency()[i], 12u) << i;
}

TEST_F(MeshLoadGeometry, DegenerateFaceIsDroppedAndAdjacencyCoversTheRest) {
  ASSERT_EQ(LoadAll(device.get(), MeshLoadData("degenerate.vkf"), &out), Ok);
  ASSERT_EQ(out.mesh->GetFaceCount(), 3u);
  ASSERT_EQ(out.adjacency->GetByteCount(), 36u);
  MeshContents c = ReadBack(out.mesh.get());
  EXPECT_EQ(Triangles(c), (std::set<std::vector<uint32_t>>{{0, 1, 2}, {2, 1, 3}, {1, 4, 3}}));
  // Three faces in a row: the middle one has two neighbours, the outer ones one each.
  int links = 0;
  for (int i = 0; i < 9; ++i) {
    const uint32_t a = out.Adjacency()[i];
    if (a == 0xFFFFFFFFu) continue;
    ASSERT_LT(a, 3u);
    ++links;
  }
  EXPECT_EQ(links, 4);
}

TEST_F(MeshLoadGeometry, FaceAdjacencyFromTheFileIsRenumberedPastDroppedFaces) {
  // Triangles 0 and 2 share edge (1, 2); triangle 1 is degenerate and dropped.
  const std::string text = TextMesh(
      "4; 0;0;0;, 1;0;0;, 0;1;0;, 1;1;0;;\n"
      "3; 3;0,1,2;, 3;1,1,3;, 3;2,1,3;;\n"
      "FaceAdjacency { 9; 4294967295, 2, 4294967295, 0, 2, 4294967295, 0, 4294967295, 1; }");
  ASSERT_EQ(LoadAll(device.get(), text, &out), Ok);
  ASSERT_EQ(out.mesh->GetFaceCount(), 2u);
  const uint32_t* a = out.Adjacency();
  EXPECT_EQ(std::vector<uint32_t>(a, a + 6),
            (std::vector<uint32_t>{0xFFFFFFFFu, 1, 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0xFFFFFFFFu}));
}

TEST_F(MeshLoadGeometry, DuplicationIndicesJoinFacesAtSeparateVerticesOfOnePlace) {
  // Two triangles that share no vertex index but two places; the representatives join them.
  const std::string text = TextMesh(
      "6; 0;0;0;, 1;0;0;, 0;1;0;, 1;0;0;, 1;1;0;, 0;1;0;;\n"
      "2; 3;0,1,2;, 3;3,4,5;;\n"
      "VertexDuplicationIndices { 6; 4; 0, 1, 2, 1, 4, 2; }");
  ASSERT_EQ(LoadAll(device.get(), text, &out), Ok);
  const uint32_t* a = out.Adjacency();
  int links = 0;
  for (int i = 0; i < 6; ++i) links += a[i] != 0xFFFFFFFFu;
  EXPECT_EQ(links, 2);
}

TEST_F(MeshLoadGeometry, CornerNormalsNeverMoveACornerToAnotherFileVertex) {
  // Vertex 3 duplicates vertex 0 with other texture coordinates and already carries the normal
  // that the last face gives vertex 0. That corner must keep vertex 0's coordinates: it gets a
  // split copy of vertex 0, not vertex 3.
  const std::string text = TextMesh(
      "5; 0;0;0;, 1;0;0;, 0;1;0;, 0;0;0;, 0;-1;0;;\n"
      "3; 3;3,2,4;, 3;0,1,2;, 3;0,4,1;;\n"
      "MeshNormals { 2; 0;0;1;, 0;0;-1;; 3; 3;1,1,1;, 3;0,0,0;, 3;1,1,1;; }\n"
      "MeshTextureCoords { 5; 0;0;, 1;0;, 0;1;, 0.5;0.5;, 0;0;; }\n"
      "VertexDuplicationIndices { 5; 4; 0, 1, 2, 0, 4; }");
  ASSERT_EQ(LoadAll(device.get(), text, &out), Ok);
  MeshContents c = ReadBack(out.mesh.get());
  bool found = false;
  for (size_t f = 0; f < c.indices.size(); f += 3) {
    for (int s = 0; s < 3; ++s) {
      const uint32_t v = c.indices[f + s];
      const float* p = c.At(v, ElementUsage::Position);
      const float* n = c.At(v, ElementUsage::Normal);
      const float* uv = c.At(v, ElementUsage::TexCoord);
      if (p[0] == 0 && p[1] == 0 && n[2] == -1.0f && uv[0] == 0.0f) found = true;
    }
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(out.mesh->GetVertexCount(), 8u);  // vertices 0, 1 and 2 split once each
}

TEST_F(MeshLoadGeometry, DuplicationIndicesAreChecked) {
  const std::string mesh = "3; 0;0;0;, 1;0;0;, 0;1;0;;\n1; 3;0,1,2;;\n";
  EXPECT_EQ(
      LoadAll(device.get(), TextMesh(mesh + "VertexDuplicationIndices { 2; 2; 0, 1; }"), &out),
      ErrInvalidCall);
  EXPECT_EQ(
      LoadAll(device.get(), TextMesh(mesh + "VertexDuplicationIndices { 3; 4; 0, 1, 2; }"), &out),
      ErrInvalidCall);
  EXPECT_EQ(
      LoadAll(device.get(), TextMesh(mesh + "VertexDuplicationIndices { 3; 3; 0, 1, 3; }"), &out),
      ErrFail);
  // A representative that is not its own representative.
  EXPECT_EQ(
      LoadAll(device.get(), TextMesh(mesh + "VertexDuplicationIndices { 3; 1; 0, 2, 0; }"), &out),
      ErrInvalidCall);
}

TEST_F(MeshLoadGeometry, SeventyThousandVerticesGiveThirtyTwoBitIndices) {
  constexpr uint32_t kQuads = 17500;  // 70000 vertices, 35000 triangles
  std::string text = "vkf 0303txt 0032\nMesh {\n" + std::to_string(kQuads * 4) + ";\n";
  for (uint32_t q = 0; q < kQuads; ++q) {
    const std::string x = std::to_string(q * 2);
    const std::string x1 = std::to_string(q * 2 + 1);
    text += x + ";0;0;, " + x1 + ";0;0;, " + x1 + ";1;0;, " + x + ";1;0;" +
            (q + 1 < kQuads ? ",\n" : ";\n");
  }
  text += std::to_string(kQuads) + ";\n";
  for (uint32_t q = 0; q < kQuads; ++q) {
    const uint32_t b = q * 4;
    text += "4;" + std::to_string(b) + "," + std::to_string(b + 1) + "," + std::to_string(b + 2) +
            "," + std::to_string(b + 3) + (q + 1 < kQuads ? ";,\n" : ";;\n");
  }
  text += "}\n";
  ASSERT_EQ(LoadAll(device.get(), text, &out), Ok);
  EXPECT_EQ(out.mesh->GetVertexCount(), 70000u);
  EXPECT_EQ(out.mesh->GetFaceCount(), 35000u);
  EXPECT_TRUE(out.mesh->GetOptionBits() & MeshOptions::Index32);
  MeshContents c = ReadBack(out.mesh.get());
  EXPECT_EQ(*std::max_element(c.indices.begin(), c.indices.end()), 69999u);
}

TEST_F(MeshLoadGeometry, MalformedMeshBlocksAreRefused) {
  struct Case {
    const char* body;
    LyrResult expected;
  } cases[] = {
      {"0; 1; 3; 0, 0, 0;;", ErrMeshWithoutData},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 0;", ErrMeshWithoutData},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 2; 0, 1;;", ErrFail},     // a face of two corners
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 1, 3;;", ErrFail},  // index past the vertices
      // Child counts that disagree with the mesh.
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 1, 2;; MeshTextureCoords { 2; 0;0;, 1;1;; }", ErrFail},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 1, 2;; MeshVertexColors { 1; 3; 1;1;1;1;; }", ErrFail},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 1, 2;; MeshNormals { 1; 0;0;1;; 2; 3;0,0,0;, "
       "3;0,0,0;; }",
       ErrFail},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 1, 2;; MeshNormals { 1; 0;0;1;; 1; 3;0,0,1;; }",
       ErrFail},
      {"4; 0;0;0;, 1;0;0;, 0;1;0;, 1;1;0;; 1; 4; 0, 1, 3, 2;; MeshNormals { 1; 0;0;1;; 1; "
       "3;0,0,0;; }",
       ErrFail},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 1, 2;; FaceAdjacency { 2; 0, 0; }", ErrInvalidCall},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 1, 2;; FaceAdjacency { 3; 0, 1, 0; }", ErrFail},
      {"3; 0;0;0;, 1;0;0;, 0;1;0;; 1; 3; 0, 0, 0;;", ErrMeshWithoutData},  // nothing left
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LoadAll(device.get(), TextMesh(c.body), &out), c.expected) << c.body;
    EXPECT_EQ(out.mesh.get(), nullptr);
    EXPECT_EQ(out.adjacency.get(), nullptr);
  }
}

TEST_F(MeshLoadGeometry, ArgumentsAreChecked) {
  Ref<VekDataObject> object;
  ASSERT_EQ(FirstObject(MeshLoadData("quad.vkf"), object.put()), Ok);
  Buffer* adjacency = reinterpret_cast<Buffer*>(1);
  EXPECT_EQ(LoadMeshData(object.get(), 0, device.get(), &adjacency, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            ErrInvalidCall);
  Mesh* mesh = reinterpret_cast<Mesh*>(1);
  EXPECT_EQ(LoadMeshData(nullptr, 0, device.get(), &adjacency, nullptr, nullptr, nullptr, nullptr,
                         &mesh, nullptr, nullptr, nullptr, nullptr),
            ErrInvalidCall);
  EXPECT_EQ(mesh, nullptr);
  EXPECT_EQ(adjacency, nullptr);
  // Only the Mesh is required.
  ASSERT_EQ(LoadMeshData(object.get(), 0, device.get(), nullptr, nullptr, nullptr, nullptr, nullptr,
                         &mesh, nullptr, nullptr, nullptr, nullptr),
            Ok);
  EXPECT_EQ(mesh->GetFaceCount(), 2u);
  mesh->Release();
}

}  // namespace
}  // namespace lyr::test
