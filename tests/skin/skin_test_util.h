// Helpers shared by the skinning tests: declarations, random skins and a reference skinning.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "lyr/skin.h"
#include "skin/skin_info.h"

namespace lyr::test {

inline VertexElement Element(uint16_t offset, ElementType type, ElementUsage usage,
                             uint8_t index = 0) {
  return {0, offset, type, ElementMethod::Default, usage, index};
}

// A declaration of the given elements with offsets packed in order.
inline std::vector<VertexElement> PackedDeclaration(
    std::initializer_list<std::pair<ElementType, ElementUsage>> parts) {
  std::vector<VertexElement> decl;
  uint16_t offset = 0;
  uint8_t texIndex = 0;
  for (auto [type, usage] : parts) {
    uint8_t index = usage == ElementUsage::TexCoord ? texIndex++ : 0;
    decl.push_back(Element(offset, type, usage, index));
    offset = static_cast<uint16_t>(offset + ElementTypeSize(type));
  }
  decl.push_back(kEndElement);
  return decl;
}

inline std::vector<VertexElement> PositionNormalDeclaration() {
  return PackedDeclaration(
      {{ElementType::F32x3, ElementUsage::Position}, {ElementType::F32x3, ElementUsage::Normal}});
}

// Owns a SkinInfo and releases it.
struct SkinHolder {
  SkinInfo* skin = nullptr;
  SkinHolder() = default;
  SkinHolder(const SkinHolder&) = delete;
  SkinHolder& operator=(const SkinHolder&) = delete;
  ~SkinHolder() {
    if (skin) skin->Release();
  }
  SkinInfo* operator->() const { return skin; }
  SkinInfoImpl* impl() const { return static_cast<SkinInfoImpl*>(skin); }
};

inline void MakeSkin(SkinHolder& h, uint32_t vertices, const std::vector<VertexElement>& decl,
                     uint32_t bones) {
  ASSERT_EQ(CreateSkinInfo(vertices, decl.data(), bones, &h.skin), Ok);
}

inline void SetWeights(SkinInfo* skin, uint32_t bone, std::vector<uint32_t> vertices,
                       std::vector<float> weights) {
  ASSERT_EQ(vertices.size(), weights.size());
  ASSERT_EQ(skin->SetBoneWeights(bone, static_cast<uint32_t>(vertices.size()), vertices.data(),
                                 weights.data()),
            Ok);
}

// Gives each vertex between 0 and maxPerVertex influences on distinct random bones, with random
// weights in (0, 1].
inline void RandomInfluences(SkinInfo* skin, std::mt19937& rng, uint32_t maxPerVertex) {
  const uint32_t bones = skin->GetBoneCount(), vertices = skin->GetSkinVertexCount();
  std::vector<std::vector<uint32_t>> v(bones);
  std::vector<std::vector<float>> w(bones);
  std::uniform_real_distribution<float> weight(0.01f, 1.0f);
  for (uint32_t i = 0; i < vertices; ++i) {
    uint32_t n = std::uniform_int_distribution<uint32_t>(0, maxPerVertex)(rng);
    std::vector<uint32_t> picked;
    for (uint32_t k = 0; k < n && picked.size() < bones; ++k) {
      uint32_t b = std::uniform_int_distribution<uint32_t>(0, bones - 1)(rng);
      if (std::find(picked.begin(), picked.end(), b) != picked.end()) continue;
      picked.push_back(b);
      v[b].push_back(i);
      w[b].push_back(weight(rng));
    }
  }
  for (uint32_t b = 0; b < bones; ++b) SetWeights(skin, b, v[b], w[b]);
}

// For operations that change an object: runs op with allocation 0, 1, 2, ... failing until it
// succeeds. Every failing run must return ErrOutOfMemory, leave the live-block count as it was and
// pass `check`.
inline void ForEachFailingAllocation(const std::function<LyrResult()>& op,
                                     const std::function<void()>& check) {
  for (int n = 0; n < 10000; ++n) {
    const int64_t before = alloc_test::LiveBlocks();
    alloc_test::FailNth(n);
    LyrResult r = op();
    const bool delivered = alloc_test::FailureDelivered();
    alloc_test::Disarm();
    if (!delivered) {
      EXPECT_EQ(r, Ok);
      return;
    }
    EXPECT_EQ(r, ErrOutOfMemory) << "allocation point " << n;
    EXPECT_EQ(alloc_test::LiveBlocks(), before) << "allocation point " << n;
    if (check) check();
    if (::testing::Test::HasFailure()) return;
  }
}

inline Matrix RandomMatrix(std::mt19937& rng, bool projective) {
  std::uniform_real_distribution<float> d(-2.0f, 2.0f);
  Matrix m{};
  for (auto& row : m.m)
    for (float& x : row) x = d(rng);
  if (!projective) {
    m.m[0][3] = m.m[1][3] = m.m[2][3] = 0.0f;
    m.m[3][3] = 1.0f;
  } else {
    // Keep w away from 0 for the positions the tests use (coordinates in [-1, 1]).
    m.m[0][3] *= 0.05f;
    m.m[1][3] *= 0.05f;
    m.m[2][3] *= 0.05f;
    m.m[3][3] = 1.5f;
  }
  return m;
}

// Largest difference in units in the last place between two floats (non-finite values must
// match bit for bit).
inline uint32_t UlpDistance(float a, float b) {
  if (a == b) return 0;
  int32_t ia, ib;
  std::memcpy(&ia, &a, 4);
  std::memcpy(&ib, &b, 4);
  if (ia < 0) ia = static_cast<int32_t>(0x80000000u - static_cast<uint32_t>(ia));
  if (ib < 0) ib = static_cast<int32_t>(0x80000000u - static_cast<uint32_t>(ib));
  int64_t d = static_cast<int64_t>(ia) - ib;
  return static_cast<uint32_t>(d < 0 ? -d : d);
}

}  // namespace lyr::test
