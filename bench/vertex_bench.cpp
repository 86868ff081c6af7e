// Per-vertex costs of the declaration machinery: converting whole vertices between layouts (the
// inner loop of mesh cloning and skinning conversions), single element reads by type, and the
// format-code conversions.
#include <benchmark/benchmark.h>

#include <vector>

#include "lyr/vertex.h"

namespace {

using namespace lyr;

constexpr VertexElement E(uint16_t offset, ElementType type, ElementUsage usage,
                          uint8_t index = 0) {
  return {0, offset, type, ElementMethod::Default, usage, index};
}

void BM_ConvertVertex(benchmark::State& state) {
  VertexElement src[MaxElementEntries];
  FormatCodeToElements(
      FormatPositionWeights(3) | kFormatNormal | kFormatDiffuse | FormatTexCount(2), src);
  const VertexElement dst[] = {E(0, ElementType::F32x3, ElementUsage::Position),
                               E(12, ElementType::F32x3, ElementUsage::BlendWeights),
                               E(24, ElementType::F16x4, ElementUsage::Normal),
                               E(32, ElementType::F32x4, ElementUsage::Color),
                               E(48, ElementType::S16x2Norm, ElementUsage::TexCoord, 0),
                               E(52, ElementType::F32x2, ElementUsage::TexCoord, 1),
                               kEndElement};
  const uint32_t n = 1024;
  std::vector<float> in(n * StreamVertexSize(src, 0) / 4, 0.25f);
  std::vector<uint8_t> out(n * StreamVertexSize(dst, 0));
  VertexConverter c;
  BuildConverter(c, src, dst);
  AttachConverterData(c, in.data(), out.data());
  for (auto _ : state) {
    for (uint32_t i = 0; i < n; ++i) ConvertVertex(c, i, i, true);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ConvertVertex);

void BM_ReadElement(benchmark::State& state) {
  const auto type = static_cast<ElementType>(state.range(0));
  const VertexElement decl[] = {E(0, type, ElementUsage::TexCoord), kEndElement};
  const uint32_t n = 1024;
  std::vector<uint8_t> data(n * 16, 0x3C);
  VertexAccessor a;
  AttachDeclaration(a, decl);
  AttachStream(a, 0, data.data(), 16);
  float v[4];
  for (auto _ : state) {
    for (uint32_t i = 0; i < n; ++i) {
      ReadElement(a, &decl[0], i, v, 4);
      benchmark::DoNotOptimize(v);
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ReadElement)
    ->Arg(static_cast<int>(ElementType::F32x3))
    ->Arg(static_cast<int>(ElementType::ColorArgb8))
    ->Arg(static_cast<int>(ElementType::S16x4Norm))
    ->Arg(static_cast<int>(ElementType::F16x4));

void BM_FormatCodeRoundTrip(benchmark::State& state) {
  const FormatCode code = FormatPositionWeights(4) | kFormatIndicesU8x4 | kFormatNormal |
                          kFormatDiffuse | FormatTexCount(3) | FormatTexSize(1, kTexSize3);
  VertexElement decl[MaxElementEntries];
  FormatCode back = 0;
  for (auto _ : state) {
    FormatCodeToElements(code, decl);
    ElementsToFormatCode(decl, &back);
    benchmark::DoNotOptimize(back);
  }
}
BENCHMARK(BM_FormatCodeRoundTrip);

}  // namespace
