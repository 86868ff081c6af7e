// Blended and indexed-blended conversions on the reference device: the result draws the source's
// triangles, every face's bones are in its combination, the blend data reproduces the source's
// skinning, and failures leave nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "fault_injection.h"
#include "mesh/reference_device.h"
#include "skin_test_util.h"

namespace lyr::test {
namespace {

namespace MO = MeshOptions;
constexpr uint32_t kNoneIndex = 0xFFFFFFFFu;

Ref<GraphicsDevice> MakeDevice(uint32_t matrices, bool indexed, uint32_t creationFlags = 0x40) {
  RefDeviceDesc desc;
  desc.maxVertexBlendMatrices = matrices;
  desc.maxVertexBlendMatrixIndex = indexed ? 255 : 0;
  desc.vertexShaderVersion = indexed ? 0xFFFE0300 : 0xFFFE0100;
  desc.creationFlags = creationFlags;
  Ref<GraphicsDevice> device;
  EXPECT_EQ(LoadReferenceDevice(desc, device.put()), Ok);
  return device;
}

Ref<RefDeviceControl> Control(GraphicsDevice* device) {
  Ref<RefDeviceControl> c;
  EXPECT_EQ(device->QueryInterface(RefDeviceControl::kIid, reinterpret_cast<void**>(c.put())), Ok);
  return c;
}

// A grid of W x H quads with positions (x, y, 0), normals (0, 0, 1), random attribute ids, its
// adjacency, and a skin whose bones lie along x: each vertex takes 1 to maxPerVertex bones near
// it with weights that sum to 1.
struct SkinnedGrid {
  Ref<Mesh> mesh;
  SkinHolder skin;
  std::vector<uint32_t> indices, attributes, adjacency;
  std::vector<Matrix> bones;
  uint32_t vertices = 0, width = 0;
};

void MakeSkinnedGrid(SkinnedGrid& g, GraphicsDevice* device, uint32_t w, uint32_t h,
                     uint32_t boneCount, uint32_t maxPerVertex, uint32_t attributeIds, bool wide,
                     uint32_t seed, uint32_t spread = 3) {
  std::mt19937 rng(seed);
  g.vertices = (w + 1) * (h + 1);
  g.width = w;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      const uint32_t a = y * (w + 1) + x, b = a + 1, d = a + w + 1, e = d + 1;
      const uint32_t attribute = rng() % attributeIds;
      g.indices.insert(g.indices.end(), {a, b, d, d, b, e});
      g.attributes.insert(g.attributes.end(), {attribute, attribute});
    }
  const uint32_t faces = static_cast<uint32_t>(g.attributes.size());
  std::map<std::pair<uint32_t, uint32_t>, uint32_t> edges;
  for (uint32_t f = 0; f < faces; ++f)
    for (int k = 0; k < 3; ++k) edges[{g.indices[3 * f + k], g.indices[3 * f + (k + 1) % 3]}] = f;
  g.adjacency.assign(size_t(faces) * 3, kNoneIndex);
  for (uint32_t f = 0; f < faces; ++f)
    for (int k = 0; k < 3; ++k) {
      auto it = edges.find({g.indices[3 * f + (k + 1) % 3], g.indices[3 * f + k]});
      if (it != edges.end()) g.adjacency[3 * f + k] = it->second;
    }
  const auto decl = PositionNormalDeclaration();
  ASSERT_EQ(
      CreateMesh(faces, g.vertices, wide ? MO::Index32 : 0, decl.data(), device, g.mesh.put()), Ok);
  void* p = nullptr;
  ASSERT_EQ(g.mesh->LockIndices(0, &p), Ok);
  for (size_t i = 0; i < g.indices.size(); ++i) {
    if (wide)
      static_cast<uint32_t*>(p)[i] = g.indices[i];
    else
      static_cast<uint16_t*>(p)[i] = static_cast<uint16_t>(g.indices[i]);
  }
  g.mesh->UnlockIndices();
  ASSERT_EQ(g.mesh->LockVertices(0, &p), Ok);
  auto* v = static_cast<float*>(p);
  for (uint32_t i = 0; i < g.vertices; ++i) {
    const float row[6] = {
        static_cast<float>(i % (w + 1)), static_cast<float>(i / (w + 1)), 0, 0, 0, 1};
    std::memcpy(v + i * 6, row, sizeof row);
  }
  g.mesh->UnlockVertices();
  uint32_t* ids = nullptr;
  ASSERT_EQ(g.mesh->LockAttributeIds(0, &ids), Ok);
  std::copy(g.attributes.begin(), g.attributes.end(), ids);
  g.mesh->UnlockAttributeIds();

  MakeSkin(g.skin, g.vertices, decl, boneCount);
  std::vector<std::vector<uint32_t>> bv(boneCount);
  std::vector<std::vector<float>> bw(boneCount);
  for (uint32_t i = 0; i < g.vertices; ++i) {
    const uint32_t x = i % (w + 1);
    const uint32_t base = x * boneCount / (w + 1);
    const uint32_t n = 1 + rng() % maxPerVertex;
    std::vector<uint32_t> picked;
    std::vector<float> weights;
    float sum = 0;
    for (uint32_t k = 0; k < n; ++k) {
      const uint32_t b = std::min(boneCount - 1, base + static_cast<uint32_t>(rng() % spread));
      if (std::find(picked.begin(), picked.end(), b) != picked.end()) continue;
      picked.push_back(b);
      weights.push_back(0.1f + static_cast<float>(rng() % 100) / 100.0f);
      sum += weights.back();
    }
    for (size_t k = 0; k < picked.size(); ++k) {
      bv[picked[k]].push_back(i);
      bw[picked[k]].push_back(weights[k] / sum);
    }
  }
  for (uint32_t b = 0; b < boneCount; ++b) SetWeights(g.skin.skin, b, bv[b], bw[b]);
  g.bones.resize(boneCount);
  for (auto& m : g.bones) m = RandomMatrix(rng, false);
}

// The source position of a vertex skinned straight from the bone records.
std::array<float, 3> SkinnedPosition(SkinInfo* skin, const std::vector<Matrix>& bones,
                                     const float* position, uint32_t vertex) {
  std::array<float, 3> out = {0, 0, 0};
  for (uint32_t b = 0; b < skin->GetBoneCount(); ++b) {
    std::vector<uint32_t> v(skin->GetBoneWeightCount(b));
    std::vector<float> w(v.size());
    skin->GetBoneWeights(b, v.data(), w.data());
    for (size_t i = 0; i < v.size(); ++i)
      if (v[i] == vertex)
        for (int c = 0; c < 3; ++c)
          out[c] += w[i] * (position[0] * bones[b].m[0][c] + position[1] * bones[b].m[1][c] +
                            position[2] * bones[b].m[2][c] + bones[b].m[3][c]);
  }
  return out;
}

// What the device does with a vertex: weights w0..w(n-2) and the implied last one on the
// matrices of the given bones.
std::array<float, 3> BlendedPosition(const std::vector<Matrix>& bones, const float* position,
                                     const uint32_t* boneOf, const float* weights, uint32_t n) {
  std::array<float, 3> out = {0, 0, 0};
  float rest = 1.0f;
  for (uint32_t z = 0; z < n; ++z) {
    const float w = z + 1 < n ? weights[z] : rest;
    rest -= z + 1 < n ? weights[z] : 0;
    if (boneOf[z] == kNoBone) {
      EXPECT_NEAR(w, 0.0f, 1e-6f) << "weight on an unused slot";
      continue;
    }
    const Matrix& m = bones[boneOf[z]];
    for (int c = 0; c < 3; ++c)
      out[c] += w * (position[0] * m.m[0][c] + position[1] * m.m[1][c] + position[2] * m.m[2][c] +
                     m.m[3][c]);
  }
  return out;
}

// A converted Mesh with everything the conversion handed out.
struct Converted {
  Ref<Mesh> mesh;
  Ref<Buffer> remap, combinations;
  std::vector<uint32_t> adjacency, faceRemap;
  uint32_t largest = 0, count = 0;
};

LyrResult ToBlended(SkinnedGrid& g, uint32_t options, Converted& c) {
  c.adjacency.assign(g.adjacency.size(), 0);
  c.faceRemap.assign(g.attributes.size(), 0);
  return g.skin->ToBlendedMesh(g.mesh.get(), options, g.adjacency.data(), c.adjacency.data(),
                               c.faceRemap.data(), c.remap.put(), &c.largest, &c.count,
                               c.combinations.put(), c.mesh.put());
}

LyrResult ToIndexed(SkinnedGrid& g, uint32_t options, uint32_t palette, Converted& c) {
  c.adjacency.assign(g.adjacency.size(), 0);
  c.faceRemap.assign(g.attributes.size(), 0);
  return g.skin->ToIndexedBlendedMesh(g.mesh.get(), options, palette, g.adjacency.data(),
                                      c.adjacency.data(), c.faceRemap.data(), c.remap.put(),
                                      &c.largest, &c.count, c.combinations.put(), c.mesh.put());
}

// Reads back a converted Mesh: faces, vertices and the blend elements.
struct ResultView {
  std::vector<uint32_t> indices;
  std::vector<uint8_t> vertices;
  uint32_t stride = 0;
  const VertexElement* weights = nullptr;
  const VertexElement* blendIndices = nullptr;
  VertexElement decl[MaxElementEntries];
};

void ReadResult(Mesh* mesh, ResultView& r) {
  ASSERT_EQ(mesh->CopyDeclaration(r.decl), Ok);
  r.weights = FindElement(r.decl, ElementUsage::BlendWeights, 0);
  r.blendIndices = FindElement(r.decl, ElementUsage::BlendIndices, 0);
  r.stride = mesh->GetVertexStride();
  void* p = nullptr;
  ASSERT_EQ(mesh->LockIndices(kLockReadOnly, &p), Ok);
  const bool wide = mesh->GetOptionBits() & MO::Index32;
  r.indices.resize(size_t(mesh->GetFaceCount()) * 3);
  for (size_t i = 0; i < r.indices.size(); ++i)
    r.indices[i] = wide ? static_cast<uint32_t*>(p)[i] : static_cast<uint16_t*>(p)[i];
  mesh->UnlockIndices();
  ASSERT_EQ(mesh->LockVertices(kLockReadOnly, &p), Ok);
  r.vertices.assign(static_cast<uint8_t*>(p),
                    static_cast<uint8_t*>(p) + size_t(mesh->GetVertexCount()) * r.stride);
  mesh->UnlockVertices();
}

// The checks every conversion must pass. blendBones(range) gives the bones of the range's
// combination per weight slot of a vertex (indexed: through its palette indices).
void CheckConversion(SkinnedGrid& g, Converted& c, bool indexed, uint32_t slots,
                     bool allReproduced) {
  ASSERT_TRUE(c.mesh);
  ResultView r;
  ReadResult(c.mesh.get(), r);
  const uint32_t faces = c.mesh->GetFaceCount();
  ASSERT_EQ(faces, g.attributes.size());
  const auto* remap = static_cast<const uint32_t*>(c.remap->GetBytes());
  // The same triangles, corner for corner.
  for (uint32_t f = 0; f < faces; ++f)
    for (int k = 0; k < 3; ++k) {
      const uint32_t old = remap[r.indices[3 * f + k]];
      ASSERT_EQ(old, g.indices[3 * c.faceRemap[f] + k]) << "face " << f;
      float pos[3];
      std::memcpy(pos, &r.vertices[size_t(r.indices[3 * f + k]) * r.stride], 12);
      EXPECT_EQ(pos[0], static_cast<float>(old % (g.width + 1)));
      EXPECT_EQ(pos[1], static_cast<float>(old / (g.width + 1)));
    }
  // One combination per range; every face's bones are in it; blends reproduce the source.
  AttributeRange table[256];
  uint32_t ranges = 0;
  ASSERT_EQ(c.mesh->CopyAttributeTable(nullptr, &ranges), Ok);
  ASSERT_EQ(ranges, c.count);
  ASSERT_LE(ranges, 256u);
  ASSERT_EQ(c.mesh->CopyAttributeTable(table, nullptr), Ok);
  const auto* combos = static_cast<const BoneCombination*>(c.combinations->GetBytes());
  ASSERT_EQ(c.combinations->GetByteCount(), ranges * (sizeof(BoneCombination) + slots * 4));
  const uint32_t weightCount = r.weights ? ElementTypeSize(r.weights->type) / 4 : 0;
  for (uint32_t i = 0; i < ranges; ++i) {
    const BoneCombination& combo = combos[i];
    EXPECT_EQ(combo.firstFace, table[i].firstFace);
    EXPECT_EQ(combo.faceCount, table[i].faceCount);
    for (uint32_t f = combo.firstFace; f < combo.firstFace + combo.faceCount; ++f) {
      EXPECT_EQ(combo.attributeId, g.attributes[c.faceRemap[f]]) << "face " << f;
      for (int k = 0; k < 3; ++k) {
        const uint32_t nv = r.indices[3 * f + k], old = remap[nv];
        const uint8_t* vertex = &r.vertices[size_t(nv) * r.stride];
        float weights[4] = {0, 0, 0, 0};
        if (r.weights) std::memcpy(weights, vertex + r.weights->offset, weightCount * 4);
        uint32_t boneOf[4] = {kNoBone, kNoBone, kNoBone, kNoBone};
        const uint32_t n = indexed ? c.largest : std::max(1u, c.largest);
        for (uint32_t z = 0; z < n; ++z) {
          if (indexed) {
            const uint8_t entry = vertex[r.blendIndices->offset + z];
            ASSERT_LT(entry, slots);
            boneOf[z] = combo.boneIds[entry];
          } else {
            boneOf[z] = combo.boneIds[z];
          }
        }
        // Every bone influencing the vertex is among the slots the vertex can use.
        for (uint32_t b = 0; b < g.skin->GetBoneCount(); ++b) {
          std::vector<uint32_t> vi(g.skin->GetBoneWeightCount(b));
          std::vector<float> wi(vi.size());
          g.skin->GetBoneWeights(b, vi.data(), wi.data());
          for (size_t j = 0; j < vi.size(); ++j)
            if (vi[j] == old && wi[j] != 0 && allReproduced) {
              EXPECT_TRUE(std::find(boneOf, boneOf + n, b) != boneOf + n)
                  << "bone " << b << " of vertex " << old << " missing from face " << f;
            }
        }
        if (allReproduced) {
          float position[3];
          std::memcpy(position, vertex, 12);
          const auto want = SkinnedPosition(g.skin.skin, g.bones, position, old);
          const auto got = BlendedPosition(g.bones, position, boneOf, weights, n);
          for (int a = 0; a < 3; ++a) EXPECT_NEAR(got[a], want[a], 1e-3f) << "vertex " << old;
        }
      }
    }
  }
}

TEST(BlendedMesh, DevicesOfTwoToFourMatricesReproduceTheSkinning) {
  for (uint32_t matrices : {2u, 3u, 4u})
    for (bool wide : {false, true}) {
      SCOPED_TRACE(testing::Message() << matrices << " matrices, 32-bit " << wide);
      auto device = MakeDevice(matrices, false);
      SkinnedGrid g;
      // Two matrices only blend faces of two bones: one bone per column there.
      MakeSkinnedGrid(g, device.get(), 12, 6, 10, 2, 3, wide, 11 + matrices, matrices == 2 ? 1 : 3);
      Converted c;
      ASSERT_EQ(ToBlended(g, 0, c), Ok);
      EXPECT_LE(c.largest, matrices);
      EXPECT_EQ(c.mesh->GetOptionBits() & MO::Index32, wide ? MO::Index32 : 0u);
      // Faces of up to four bones fit every device of three or four matrices; on two the light
      // bones of wider faces are dropped, so only the grouping is checked there.
      CheckConversion(g, c, false, 4, matrices >= 4);
      // The source is untouched: attribute ids and triangles as they were.
      uint32_t* ids = nullptr;
      ASSERT_EQ(g.mesh->LockAttributeIds(kLockReadOnly, &ids), Ok);
      EXPECT_TRUE(std::equal(g.attributes.begin(), g.attributes.end(), ids));
      g.mesh->UnlockAttributeIds();
    }
}

TEST(BlendedMesh, IndexedPalettesReproduceTheSkinning) {
  for (uint32_t matrices : {2u, 3u, 4u})
    for (uint32_t palette : {4u, 9u, 30u}) {
      SCOPED_TRACE(testing::Message() << matrices << " matrices, palette " << palette);
      auto device = MakeDevice(matrices, true);
      SkinnedGrid g;
      // Palettes of four take faces of one bone per vertex.
      MakeSkinnedGrid(g, device.get(), 10, 5, 24, palette == 4 ? 1 : matrices, 2, palette == 9,
                      palette);
      Converted c;
      ASSERT_EQ(ToIndexed(g, 0, palette, c), Ok);
      EXPECT_LE(c.largest, matrices);
      CheckConversion(g, c, true, palette, true);
      const auto* combos = static_cast<const BoneCombination*>(c.combinations->GetBytes());
      for (uint32_t i = 0; i < c.count; ++i) {
        // Bone ids in increasing order, unused slots none.
        uint32_t used = 0;
        while (used < palette && combos[i].boneIds[used] != kNoBone) ++used;
        EXPECT_TRUE(std::is_sorted(combos[i].boneIds, combos[i].boneIds + used));
        for (uint32_t k = used; k < palette; ++k) EXPECT_EQ(combos[i].boneIds[k], kNoBone);
      }
    }
}

TEST(BlendedMesh, MixedProcessingSwitchesForTheQueryAndRestores) {
  // Mixed processing in software mode, and hardware that blends nothing: software takes four.
  RefDeviceDesc desc;
  desc.maxVertexBlendMatrices = 0;
  desc.maxVertexBlendMatrixIndex = 0;
  desc.vertexShaderVersion = 0xFFFE0100;
  desc.creationFlags = kCreateMixedProcessing;
  desc.softwareMode = 1;
  Ref<GraphicsDevice> device;
  ASSERT_EQ(LoadReferenceDevice(desc, device.put()), Ok);
  SkinnedGrid g;
  MakeSkinnedGrid(g, device.get(), 8, 4, 8, 3, 2, false, 5);
  Converted c;
  ASSERT_EQ(ToIndexed(g, 0, 12, c), Ok);
  EXPECT_EQ(device->ReadSoftwareMode(), 1);
  EXPECT_EQ(c.largest, 3u);
  CheckConversion(g, c, true, 12, true);
  Converted b;
  ASSERT_EQ(ToBlended(g, 0, b), Ok);
  EXPECT_EQ(device->ReadSoftwareMode(), 1);
  CheckConversion(g, b, false, 4, true);
  // With 0x2000 the hardware's own count holds: nothing to blend with.
  Converted none;
  EXPECT_EQ(ToBlended(g, 0x2000, none), ErrTooManyFaceBones);
  EXPECT_EQ(Control(device.get())->OutstandingLocks(), 0u);
}

TEST(BlendedMesh, DevicesThatCannotBlendAndRefusedOptions) {
  auto weak = MakeDevice(1, false);
  SkinnedGrid g;
  MakeSkinnedGrid(g, weak.get(), 4, 2, 4, 2, 1, false, 3);
  Converted c;
  EXPECT_EQ(ToBlended(g, 0, c), ErrDeviceCannotBlend);
  EXPECT_EQ(ToIndexed(g, 0, 8, c), ErrDeviceCannotBlend);
  auto noIndex = MakeDevice(4, false);
  SkinnedGrid h;
  MakeSkinnedGrid(h, noIndex.get(), 4, 2, 4, 2, 1, false, 3);
  EXPECT_EQ(ToIndexed(h, 0, 8, c), ErrDeviceCannotBlend);
  EXPECT_EQ(ToBlended(h, 0x1, c), ErrInvalidCall);
  EXPECT_EQ(ToBlended(h, 0x00800000, c), ErrInvalidCall);
  EXPECT_EQ(ToIndexed(h, 0x2000, 8, c), ErrInvalidCall);
  EXPECT_EQ(ToIndexed(h, 0, 0, c), ErrInvalidCall);
  EXPECT_EQ(h.skin->ToBlendedMesh(nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, c.mesh.put()),
            ErrInvalidCall);
  EXPECT_FALSE(c.mesh);
}

TEST(BlendedMesh, PalettesTooSmallForAFaceFailInsteadOfLooping) {
  auto device = MakeDevice(4, true);
  SkinnedGrid g;
  MakeSkinnedGrid(g, device.get(), 6, 3, 12, 3, 1, false, 8);
  Converted c;
  EXPECT_EQ(ToIndexed(g, 0, 1, c), ErrTooManyFaceBones);
  EXPECT_FALSE(c.mesh);
  // Palette size 4 with faces of at most three bones: at most four ids, the rest none.
  SkinnedGrid three;
  MakeSkinnedGrid(three, device.get(), 6, 3, 12, 1, 1, false, 8);
  ASSERT_EQ(ToIndexed(three, 0, 4, c), Ok);
  CheckConversion(three, c, true, 4, true);
}

TEST(BlendedMesh, WideFacesLoseTheirLightestBones) {
  // One triangle, three vertices with two bones each: five bones on the face, t = 4.
  auto device = MakeDevice(4, false);
  SkinnedGrid g;
  MakeSkinnedGrid(g, device.get(), 1, 1, 6, 1, 1, false, 1);
  // Vertex 0: bones 0 (.6), 1 (.4); vertex 1: bones 2 (.5), 3 (.5); vertex 2: 4 (.9), 5 (.1).
  for (uint32_t b = 0; b < 6; ++b) SetWeights(g.skin.skin, b, {}, {});
  SetWeights(g.skin.skin, 0, {0}, {0.6f});
  SetWeights(g.skin.skin, 1, {0}, {0.4f});
  SetWeights(g.skin.skin, 2, {1}, {0.5f});
  SetWeights(g.skin.skin, 3, {1}, {0.5f});
  SetWeights(g.skin.skin, 4, {2, 3}, {0.9f, 1.0f});
  SetWeights(g.skin.skin, 5, {2}, {0.1f});
  Converted c;
  ASSERT_EQ(ToBlended(g, 0, c), Ok);
  EXPECT_EQ(c.largest, 4u);
  // Face 0 collects 0, 1, 2, 3, 4, 5: the first three stay, then the heaviest of 3 (.5), 4 (.9),
  // 5 (.1) is 4; bones 3 and 5 go and vertices 1 and 2 are rescaled.
  ResultView r;
  ReadResult(c.mesh.get(), r);
  const auto* combos = static_cast<const BoneCombination*>(c.combinations->GetBytes());
  const auto* remap = static_cast<const uint32_t*>(c.remap->GetBytes());
  bool seen = false;
  for (uint32_t i = 0; i < c.count; ++i) {
    if (combos[i].boneIds[3] != 4) continue;
    seen = true;
    EXPECT_EQ(std::vector<uint32_t>(combos[i].boneIds, combos[i].boneIds + 4),
              (std::vector<uint32_t>{0, 1, 2, 4}));
    for (uint32_t f = combos[i].firstFace; f < combos[i].firstFace + combos[i].faceCount; ++f)
      for (int k = 0; k < 3; ++k) {
        const uint32_t nv = r.indices[3 * f + k];
        float w[3];
        std::memcpy(w, &r.vertices[size_t(nv) * r.stride + r.weights->offset], 12);
        if (remap[nv] == 1) {
          EXPECT_EQ(w[2], 1.0f);  // 0.5 / (1 - 0.5)
        }
        if (remap[nv] == 2) {
          EXPECT_EQ(w[0] + w[1] + w[2], 0.0f);  // all on bone 4 now
        }
      }
  }
  EXPECT_TRUE(seen);
}

// What the device gives each bone of a ToBlendedMesh result vertex: the stored weights on the
// combination's first slots and the implied rest on the last (kNoBone collects unused slots).
std::map<uint32_t, float> DeviceWeights(const ResultView& r, const BoneCombination& combo,
                                        uint32_t largest, uint32_t vertex) {
  const uint32_t n = std::max(1u, largest);
  float stored[4] = {0, 0, 0, 0};
  if (r.weights)
    std::memcpy(stored, &r.vertices[size_t(vertex) * r.stride + r.weights->offset], (n - 1) * 4);
  std::map<uint32_t, float> out;
  float rest = 1.0f;
  for (uint32_t z = 0; z < n; ++z) {
    const float w = z + 1 < n ? stored[z] : rest;
    rest -= w;
    out[combo.boneIds[z]] += w;
  }
  return out;
}

// Calls f(combination, result vertex, source vertex) for every corner of every face.
template <class F>
void ForEachBlendedCorner(const Converted& c, const ResultView& r, F&& f) {
  const auto* combos = static_cast<const BoneCombination*>(c.combinations->GetBytes());
  const auto* remap = static_cast<const uint32_t*>(c.remap->GetBytes());
  for (uint32_t i = 0; i < c.count; ++i)
    for (uint32_t face = combos[i].firstFace; face < combos[i].firstFace + combos[i].faceCount;
         ++face)
      for (int k = 0; k < 3; ++k) {
        const uint32_t nv = r.indices[3 * face + k];
        f(combos[i], nv, remap[nv]);
      }
}

TEST(BlendedMesh, WideFacesKeepTheHeaviestBoneOfEachVertex) {
  // Two faces, {0, 1, 2} and {2, 1, 3}; face 0 collects more bones than the device blends, and
  // keeping its first three bones and the heaviest others would strip some vertex of its heaviest
  // bone (in the first and third case of every bone it has).
  using Row = std::vector<std::pair<uint32_t, float>>;
  struct Case {
    const char* what;
    uint32_t matrices;
    Row influences[4];
    std::vector<uint32_t> kept;  // bones of face 0's combination, ascending
    Row expected[4];             // what the device blends per source vertex
  } cases[] = {
      {"vertex 1 would lose every bone",
       4,
       {{{0, .5f}, {1, .3f}, {2, .2f}}, {{3, .5f}, {4, .5f}}, {{5, 1}}, {{5, 1}}},
       {0, 1, 3, 5},
       {{{0, .625f}, {1, .375f}}, {{3, 1}}, {{5, 1}}, {{5, 1}}}},
      {"vertex 1 would keep only its light bone",
       4,
       {{{0, .4f}, {1, .3f}, {2, .3f}}, {{3, .7f}, {0, .3f}}, {{4, .8f}, {5, .2f}}, {{4, 1}}},
       {0, 2, 3, 4},
       {{{0, .4f / .7f}, {2, .3f / .7f}}, {{3, .7f}, {0, .3f}}, {{4, 1}}, {{4, 1}}}},
      {"three matrices: vertex 2 would lose its only bone",
       3,
       {{{0, .5f}, {1, .5f}}, {{2, .6f}, {3, .4f}}, {{4, 1}}, {{4, 1}}},
       {0, 2, 4},
       {{{0, 1}}, {{2, 1}}, {{4, 1}}, {{4, 1}}}},
  };
  for (const Case& t : cases) {
    SCOPED_TRACE(t.what);
    auto device = MakeDevice(t.matrices, false);
    SkinnedGrid g;
    MakeSkinnedGrid(g, device.get(), 1, 1, 6, 1, 1, false, 1);
    std::vector<std::vector<uint32_t>> vertices(6);
    std::vector<std::vector<float>> weights(6);
    for (uint32_t v = 0; v < 4; ++v)
      for (auto [bone, weight] : t.influences[v]) {
        vertices[bone].push_back(v);
        weights[bone].push_back(weight);
      }
    for (uint32_t b = 0; b < 6; ++b) SetWeights(g.skin.skin, b, vertices[b], weights[b]);
    Converted c;
    ASSERT_EQ(ToBlended(g, 0, c), Ok);
    ASSERT_EQ(c.largest, t.matrices);
    ResultView r;
    ReadResult(c.mesh.get(), r);
    const auto* combos = static_cast<const BoneCombination*>(c.combinations->GetBytes());
    for (uint32_t i = 0; i < c.count; ++i)
      for (uint32_t f = combos[i].firstFace; f < combos[i].firstFace + combos[i].faceCount; ++f) {
        if (c.faceRemap[f] == 0) {
          std::vector<uint32_t> ids(combos[i].boneIds, combos[i].boneIds + t.matrices);
          std::sort(ids.begin(), ids.end());
          EXPECT_EQ(ids, t.kept);
        }
      }
    ForEachBlendedCorner(c, r, [&](const BoneCombination& combo, uint32_t nv, uint32_t old) {
      SCOPED_TRACE(testing::Message() << "source vertex " << old);
      auto got = DeviceWeights(r, combo, c.largest, nv);
      for (auto [bone, weight] : t.expected[old]) {
        EXPECT_NEAR(got[bone], weight, 1e-6f) << "bone " << bone;
        got.erase(bone);
      }
      for (auto [bone, weight] : got) EXPECT_NEAR(weight, 0.0f, 1e-6f) << "bone " << bone;
    });
  }
  // Random skins with many bones per face: the device never weights a bone the source vertex does
  // not follow, and always weights its heaviest one.
  for (uint32_t matrices : {3u, 4u})
    for (uint32_t seed = 1; seed <= 4; ++seed) {
      SCOPED_TRACE(testing::Message() << matrices << " matrices, seed " << seed);
      auto device = MakeDevice(matrices, false);
      SkinnedGrid g;
      MakeSkinnedGrid(g, device.get(), 10, 4, 40, 3, 2, seed & 1, seed, 8);
      std::vector<std::map<uint32_t, float>> source(g.vertices);
      for (uint32_t b = 0; b < 40; ++b) {
        std::vector<uint32_t> vi(g.skin->GetBoneWeightCount(b));
        std::vector<float> wi(vi.size());
        g.skin->GetBoneWeights(b, vi.data(), wi.data());
        for (size_t j = 0; j < vi.size(); ++j) source[vi[j]][b] = wi[j];
      }
      Converted c;
      ASSERT_EQ(ToBlended(g, 0, c), Ok);
      ResultView r;
      ReadResult(c.mesh.get(), r);
      ForEachBlendedCorner(c, r, [&](const BoneCombination& combo, uint32_t nv, uint32_t old) {
        const auto& own = source[old];
        const auto heaviest = std::max_element(
            own.begin(), own.end(), [](auto& a, auto& b) { return a.second < b.second; });
        auto got = DeviceWeights(r, combo, c.largest, nv);
        EXPECT_GT(got[heaviest->first], 0.0f) << "vertex " << old;
        for (auto [bone, weight] : got) {
          EXPECT_GE(weight, -1e-6f) << "vertex " << old << " bone " << bone;
          if (!own.count(bone)) {
            EXPECT_NEAR(weight, 0.0f, 1e-6f) << "vertex " << old;
          }
        }
      });
    }
}

TEST(BlendedMesh, BonesBeyondTheKeyFieldsAreRefused) {
  auto device = MakeDevice(4, false);
  SkinnedGrid g;
  MakeSkinnedGrid(g, device.get(), 4, 2, 20, 4, 1, false, 2);
  // Attribute ids up to 2^20: 21 attribute bits leave (32 - 21) / 4 = 2 bits per bone.
  uint32_t* ids = nullptr;
  ASSERT_EQ(g.mesh->LockAttributeIds(0, &ids), Ok);
  ids[0] = 1u << 20;
  g.mesh->UnlockAttributeIds();
  Converted c;
  EXPECT_EQ(ToBlended(g, 0, c), ErrInvalidCall);
  // Too many bones for the 256-bit sets.
  SkinnedGrid many;
  MakeSkinnedGrid(many, device.get(), 4, 2, 257, 1, 1, false, 2);
  EXPECT_EQ(ToBlended(many, 0, c), ErrInvalidCall);
}

TEST(BlendedMesh, WithoutBonesTheSourceIsCloned) {
  auto device = MakeDevice(4, true);
  SkinnedGrid g;
  MakeSkinnedGrid(g, device.get(), 3, 3, 1, 1, 2, false, 4);
  SkinHolder empty;
  MakeSkin(empty, g.vertices, PositionNormalDeclaration(), 0);
  Converted c;
  c.faceRemap.assign(g.attributes.size(), 7);
  Buffer* combos = reinterpret_cast<Buffer*>(0x1);
  ASSERT_EQ(empty->ToIndexedBlendedMesh(g.mesh.get(), MO::VertexSystemMemory, 4, nullptr, nullptr,
                                        c.faceRemap.data(), nullptr, &c.largest, &c.count, &combos,
                                        c.mesh.put()),
            Ok);
  EXPECT_EQ(combos, nullptr);
  EXPECT_EQ(c.count, 0u);
  EXPECT_EQ(c.mesh->GetFaceCount(), g.mesh->GetFaceCount());
  EXPECT_EQ(c.faceRemap[5], 5u);
  VertexElement decl[MaxElementEntries];
  c.mesh->CopyDeclaration(decl);
  EXPECT_EQ(FindElement(decl, ElementUsage::BlendWeights, 0), nullptr);
}

TEST(BlendedMesh, AllocationAndDeviceFailuresLeaveNothingBehind) {
  auto device = MakeDevice(4, true);
  SkinnedGrid g;
  MakeSkinnedGrid(g, device.get(), 5, 3, 8, 3, 2, false, 6);
  auto control = Control(device.get());
  const uint32_t objects = control->LiveObjects();
  Converted c;
  ForEachAllocationFailure([&] { return ToBlended(g, 0, c); },
                           [&](LyrResult r) {
                             EXPECT_EQ(bool(c.mesh), Succeeded(r));
                             c = Converted();
                             EXPECT_EQ(control->LiveObjects(), objects);
                             EXPECT_EQ(control->OutstandingLocks(), 0u);
                           });
  ForEachAllocationFailure([&] { return ToIndexed(g, MO::VertexWriteOnly, 6, c); },
                           [&](LyrResult r) {
                             EXPECT_EQ(bool(c.mesh), Succeeded(r));
                             c = Converted();
                             EXPECT_EQ(control->LiveObjects(), objects);
                           });
}

TEST(BlendedMesh, DeviceFailuresArePassedOn) {
  // The grid's own buffers and locks, then the conversion's, counted on a device that never fails.
  RefDeviceDesc desc;
  uint32_t gridBuffers = 0, gridLocks = 0;
  {
    Ref<GraphicsDevice> device;
    ASSERT_EQ(LoadReferenceDevice(desc, device.put()), Ok);
    auto control = Control(device.get());
    SkinnedGrid g;
    MakeSkinnedGrid(g, device.get(), 4, 3, 6, 3, 2, false, 1);
    gridBuffers =
        control->CallCount(kRefCallMakeVertexBuffer) + control->CallCount(kRefCallMakeIndexBuffer);
    gridLocks = control->CallCount(kRefCallLock);
  }
  for (int which = 0; which < 2; ++which) {
    for (uint32_t n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << (which ? "lock " : "buffer ") << n);
      RefDeviceDesc failing;
      (which ? failing.failLock : failing.failBufferCreation) =
          (which ? gridLocks : gridBuffers) + n;
      Ref<GraphicsDevice> device;
      ASSERT_EQ(LoadReferenceDevice(failing, device.put()), Ok);
      auto control = Control(device.get());
      SkinnedGrid g;
      MakeSkinnedGrid(g, device.get(), 4, 3, 6, 3, 2, false, 1);
      const uint32_t objects = control->LiveObjects();
      Converted c;
      const LyrResult r = which ? ToIndexed(g, 0, 5, c) : ToBlended(g, 0, c);
      EXPECT_EQ(control->OutstandingLocks(), 0u);
      if (Succeeded(r)) break;
      EXPECT_EQ(r, failing.failureCode);
      EXPECT_FALSE(c.mesh);
      EXPECT_EQ(control->LiveObjects(), objects);
      ASSERT_LT(n, 50u);
    }
  }
}

TEST(BlendedMesh, NormalizeWeightsWithAndWithoutPointRepresentatives) {
  // Two triangles over one edge, the second with its own copies (3, 4) of vertices 1 and 2 (and
  // vertex 0 again as its third corner, which no edge joins).
  auto device = MakeDevice(4, true);
  const auto decl = PositionNormalDeclaration();
  Ref<Mesh> mesh;
  ASSERT_EQ(CreateMesh(2, 5, 0, decl.data(), device.get(), mesh.put()), Ok);
  void* p = nullptr;
  ASSERT_EQ(mesh->LockIndices(0, &p), Ok);
  const uint16_t idx[] = {0, 1, 2, 4, 3, 0};
  std::memcpy(p, idx, sizeof idx);
  mesh->UnlockIndices();
  const uint32_t adjacency[] = {kNoneIndex, 1, kNoneIndex, 0, kNoneIndex, kNoneIndex};
  uint32_t reps[5];
  ASSERT_EQ(mesh->PointRepsFromAdjacency(adjacency, reps), Ok);
  ASSERT_EQ(reps[3], 1u);
  ASSERT_EQ(reps[4], 2u);

  using R = std::vector<std::pair<uint32_t, float>>;
  auto setUp = [&](SkinHolder& h) {
    MakeSkin(h, 5, decl, 4);
    // v1: 0 (.5), 1 (.3), 2 (.2); v2: 0 (.4), 1 (.6); v3: 3 (1); v4: 2 (.7), 3 (.2), 0 (.1).
    SetWeights(h.skin, 0, {1, 2, 4}, {0.5f, 0.4f, 0.1f});
    SetWeights(h.skin, 1, {1, 2}, {0.3f, 0.6f});
    SetWeights(h.skin, 2, {1, 4}, {0.2f, 0.7f});
    SetWeights(h.skin, 3, {3, 4}, {1.0f, 0.2f});
  };
  auto row = [](SkinInfoImpl* s, uint32_t v) {
    R r;
    for (uint32_t k = 0; k < s->influenceCount(v); ++k)
      r.emplace_back(s->rowBones(v)[k], s->rowWeights(v)[k]);
    return r;
  };
  auto expectRow = [](const R& got, const R& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < got.size(); ++k) {
      EXPECT_EQ(got[k].first, want[k].first) << "entry " << k;
      EXPECT_NEAR(got[k].second, want[k].second, 1e-6f) << "entry " << k;
    }
  };
  {
    SkinHolder h;
    setUp(h);
    ASSERT_EQ(h.impl()->NormalizeWeights(mesh.get(), 2, nullptr), Ok);
    expectRow(row(h.impl(), 1), R{{0, 0.5f / 0.8f}, {1, 0.3f * (1.0f / 0.8f)}, {2, 0}});
    expectRow(row(h.impl(), 2), R{{1, 0.6f}, {0, 0.4f}});
    expectRow(row(h.impl(), 3), R{{3, 1.0f}});
    const float s = 1.0f / (0.7f + 0.2f);
    expectRow(row(h.impl(), 4), R{{2, 0.7f * s}, {3, 0.2f * s}, {0, 0}});
  }
  {
    SkinHolder h;
    setUp(h);
    ASSERT_EQ(h.impl()->NormalizeWeights(mesh.get(), 2, adjacency), Ok);
    const float s = 1.0f / 0.8f;
    expectRow(row(h.impl(), 1), R{{0, 0.5f * s}, {1, 0.3f * s}, {2, 0}});
    // Vertex 4 stands at vertex 2's place: 2's row (already within the limit) is used, and both
    // copies take their representative's row.
    expectRow(row(h.impl(), 2), R{{1, 0.6f}, {0, 0.4f}});
    expectRow(row(h.impl(), 3), R{{0, 0.5f * s}});
    expectRow(row(h.impl(), 4), R{{1, 0.6f}, {0, 0.4f}, {0, 0}});
    // A failing representative computation is passed on.
    EXPECT_EQ(h.impl()->NormalizeWeights(nullptr, 2, adjacency), ErrInvalidCall);
  }
}

}  // namespace
}  // namespace lyr::test
