// Software skinning of 10k and 100k vertices (position and normal, four influences each, affine
// bones) through the processor-specific and the plain blending forms, against a memcpy of the
// same vertex array. The argument is the vertex count.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "lyr/skin.h"
#include "memcpy_pair.h"

namespace {

constexpr uint32_t kBones = 64;
constexpr uint32_t kStride = 24;

struct SkinFixture {
  uint32_t vertices;
  lyr::SkinInfo* skin = nullptr;
  std::vector<float> matrixStorage;
  lyr::Matrix* aligned = nullptr;
  lyr::Matrix* unaligned = nullptr;
  std::vector<uint8_t> src, dst;

  explicit SkinFixture(uint32_t count) : vertices(count) {
    const lyr::VertexElement decl[] = {
        {0, 0, lyr::ElementType::F32x3, lyr::ElementMethod::Default, lyr::ElementUsage::Position,
         0},
        {0, 12, lyr::ElementType::F32x3, lyr::ElementMethod::Default, lyr::ElementUsage::Normal, 0},
        lyr::kEndElement};
    lyr::CreateSkinInfo(vertices, decl, kBones, &skin);
    std::mt19937 rng(7);
    std::vector<std::vector<uint32_t>> v(kBones);
    std::vector<std::vector<float>> w(kBones);
    for (uint32_t i = 0; i < vertices; ++i) {
      const uint32_t first = rng() % kBones;
      const float weights[4] = {0.4f, 0.3f, 0.2f, 0.1f};
      for (uint32_t k = 0; k < 4; ++k) {
        const uint32_t b = (first + k * 7) % kBones;
        v[b].push_back(i);
        w[b].push_back(weights[k]);
      }
    }
    for (uint32_t b = 0; b < kBones; ++b)
      skin->SetBoneWeights(b, static_cast<uint32_t>(v[b].size()), v[b].data(), w[b].data());
    matrixStorage.resize(kBones * 16 * 2 + 8);
    uintptr_t p = (reinterpret_cast<uintptr_t>(matrixStorage.data()) + 15) & ~uintptr_t(15);
    aligned = reinterpret_cast<lyr::Matrix*>(p);
    unaligned = reinterpret_cast<lyr::Matrix*>(p + kBones * sizeof(lyr::Matrix) + 4);
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    for (uint32_t b = 0; b < kBones; ++b) {
      lyr::Matrix m{};
      for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m.m[r][c] = d(rng);
      for (int c = 0; c < 3; ++c) m.m[3][c] = d(rng);
      m.m[3][3] = 1.0f;
      std::memcpy(&aligned[b], &m, sizeof m);
      std::memcpy(&unaligned[b], &m, sizeof m);
    }
    src.resize(size_t(vertices) * kStride);
    for (size_t i = 0; i < src.size() / 4; ++i) {
      const float f = d(rng);
      std::memcpy(&src[i * 4], &f, 4);
    }
    dst.resize(src.size());
  }
  ~SkinFixture() {
    if (skin) skin->Release();
  }
};

SkinFixture& Fixture(benchmark::State& state) {
  static SkinFixture small(10000), large(100000);
  return state.range(0) <= 10000 ? small : large;
}

void Report(benchmark::State& state) {
  const int64_t vertices = state.range(0);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * vertices);
  // Bytes read from the source plus bytes written to the destination.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * vertices * kStride * 2);
}

// Aligned matrices take the fast-function entry (the SSE form where the processor has it).
void BM_SkinnedUpdateSse(benchmark::State& state) {
  SkinFixture& f = Fixture(state);
  for (auto _ : state) {
    f.skin->UpdateSkinnedVertices(f.aligned, nullptr, f.src.data(), f.dst.data());
    benchmark::ClobberMemory();
  }
  Report(state);
}
BENCHMARK(BM_SkinnedUpdateSse)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Unaligned matrices always take the plain form.
void BM_SkinnedUpdatePlain(benchmark::State& state) {
  SkinFixture& f = Fixture(state);
  for (auto _ : state) {
    f.skin->UpdateSkinnedVertices(f.unaligned, nullptr, f.src.data(), f.dst.data());
    benchmark::ClobberMemory();
  }
  Report(state);
}
BENCHMARK(BM_SkinnedUpdatePlain)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// The processor-specific form timed against memcpy of the source vertices onto the destination,
// the two alternating.
void BM_SkinnedUpdateVsMemcpy(benchmark::State& state) {
  SkinFixture& f = Fixture(state);
  lyrbench::AgainstMemcpy(
      state, [&] { f.skin->UpdateSkinnedVertices(f.aligned, nullptr, f.src.data(), f.dst.data()); },
      f.dst.data(), f.src.data(), f.src.size());
  Report(state);
}
BENCHMARK(BM_SkinnedUpdateVsMemcpy)->Arg(10000)->Arg(100000)->UseManualTime();

void BM_SkinnedVertexMemcpy(benchmark::State& state) {
  SkinFixture& f = Fixture(state);
  for (auto _ : state) {
    std::memcpy(f.dst.data(), f.src.data(), f.src.size());
    benchmark::ClobberMemory();
  }
  Report(state);
}
BENCHMARK(BM_SkinnedVertexMemcpy)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace
