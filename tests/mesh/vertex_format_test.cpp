#include <gtest/gtest.h>

#include <vector>

#include "lyr/vertex.h"

namespace lyr {
namespace {

using T = ElementType;
using U = ElementUsage;

constexpr VertexElement E(uint16_t offset, T type, U usage, uint8_t index = 0,
                          uint16_t stream = 0) {
  return {stream, offset, type, ElementMethod::Default, usage, index};
}

std::vector<VertexElement> ToElements(FormatCode code) {
  VertexElement out[MaxElementEntries];
  EXPECT_EQ(FormatCodeToElements(code, out), Ok) << std::hex << code;
  return std::vector<VertexElement>(out, out + CountElements(out) + 1);
}

bool Same(const VertexElement& a, const VertexElement& b) {
  return ElementsEqual(std::vector<VertexElement>{a, kEndElement}.data(),
                       std::vector<VertexElement>{b, kEndElement}.data());
}

TEST(FormatCode, PositionNormalAndOneTextureSet) {
  const FormatCode code = kFormatPosition | kFormatNormal | FormatTexCount(1);
  auto e = ToElements(code);
  ASSERT_EQ(e.size(), 4u);
  EXPECT_TRUE(Same(e[0], E(0, T::F32x3, U::Position)));
  EXPECT_TRUE(Same(e[1], E(12, T::F32x3, U::Normal)));
  EXPECT_TRUE(Same(e[2], E(24, T::F32x2, U::TexCoord)));
  EXPECT_TRUE(IsEndElement(e[3]));
  EXPECT_EQ(FormatCodeVertexSize(code), 32u);
  FormatCode back = 0;
  ASSERT_EQ(ElementsToFormatCode(e.data(), &back), Ok);
  EXPECT_EQ(back, code);
}

TEST(FormatCode, BlendWeightsAndIndices) {
  // Three weight floats, the last holding unsigned-byte indices.
  auto e = ToElements(FormatPositionWeights(3) | kFormatIndicesU8x4);
  ASSERT_EQ(e.size(), 4u);
  EXPECT_TRUE(Same(e[1], E(12, T::F32x2, U::BlendWeights)));
  EXPECT_TRUE(Same(e[2], E(20, T::U8x4, U::BlendIndices)));
  // Five weights need an index bit; with it they give four floats and the indices.
  VertexElement out[MaxElementEntries] = {};
  out[0] = E(99, T::F32x1, U::Normal);
  EXPECT_EQ(FormatCodeToElements(FormatPositionWeights(5), out), ErrInvalidCall);
  EXPECT_EQ(out[0].offset, 99u);  // untouched on failure
  e = ToElements(FormatPositionWeights(5) | kFormatIndicesColor);
  EXPECT_TRUE(Same(e[1], E(12, T::F32x4, U::BlendWeights)));
  EXPECT_TRUE(Same(e[2], E(28, T::ColorArgb8, U::BlendIndices)));
  // One weight that holds the indices gives the index element alone.
  e = ToElements(FormatPositionWeights(1) | kFormatIndicesU8x4);
  ASSERT_EQ(e.size(), 3u);
  EXPECT_TRUE(Same(e[1], E(12, T::U8x4, U::BlendIndices)));
  // Plain weights: w floats.
  e = ToElements(FormatPositionWeights(4));
  EXPECT_TRUE(Same(e[1], E(12, T::F32x4, U::BlendWeights)));
  e = ToElements(kFormatTransformedPosition | kFormatDiffuse | kFormatSpecular);
  EXPECT_TRUE(Same(e[0], E(0, T::F32x4, U::TransformedPosition)));
  EXPECT_TRUE(Same(e[1], E(16, T::ColorArgb8, U::Color, 0)));
  EXPECT_TRUE(Same(e[2], E(20, T::ColorArgb8, U::Color, 1)));
}

TEST(FormatCode, RefusedCodes) {
  VertexElement out[MaxElementEntries];
  for (FormatCode code : {0x1u, 0x2001u, 0x2002u, kFormatPositionW, 0x4012u,
                          kFormatPosition | FormatTexCount(9), FormatTexCount(15)})
    EXPECT_EQ(FormatCodeToElements(code, out), ErrInvalidCall) << std::hex << code;
  EXPECT_EQ(FormatCodeToElements(kFormatPosition, nullptr), ErrInvalidCall);
}

TEST(FormatCode, DecodingLaysOutEveryComponent) {
  const FormatCode code = FormatPositionWeights(2) | kFormatNormal | kFormatPointSize |
                          kFormatSpecular | FormatTexCount(3) | FormatTexSize(0, kTexSize1) |
                          FormatTexSize(1, kTexSize4) | FormatTexSize(2, kTexSize3) |
                          FormatTexSize(5, kTexSize4);  // beyond the count: ignored
  FormatLayout l = DecodeFormatCode(code);
  EXPECT_EQ(l.blendWeightCount, 2u);
  EXPECT_EQ(l.normalOffset, 20u);
  EXPECT_EQ(l.pointSizeOffset, 32u);
  EXPECT_EQ(l.diffuseOffset, 0u);
  EXPECT_EQ(l.specularOffset, 36u);
  EXPECT_EQ(l.texSetCount, 3u);
  EXPECT_EQ(l.texOffset[0], 40u);
  EXPECT_EQ(l.texOffset[1], 44u);
  EXPECT_EQ(l.texOffset[2], 60u);
  EXPECT_EQ(l.vertexSize, 72u);
  EXPECT_EQ(TextureSetSize(l, 1), 16u);
  EXPECT_EQ(TextureSetSize(l, 3), 0u);
  EXPECT_EQ(DecodeFormatCode(FormatTexCount(12)).texSetCount, 8u);
  EXPECT_EQ(FormatCodeVertexSize(kFormatTransformedPosition), 16u);
  EXPECT_EQ(FormatCodeVertexSize(0), 0u);
}

// Every combination of components, with texture sizes varied from code to code: a code that
// converts converts back to itself, and its vertex size agrees with the declaration's.
TEST(FormatCode, RoundTripOverEveryCanonicalCode) {
  const FormatCode positions[] = {0, 0x2, 0x4, 0x6, 0x8, 0xA, 0xC, 0xE};
  const FormatCode indexBits[] = {0, kFormatIndicesU8x4, kFormatIndicesColor};
  uint32_t converted = 0, seed = 12345;
  for (FormatCode pos : positions) {
    for (FormatCode idx : indexBits) {
      if (idx && pos < kFormatPositionWeights1) continue;  // index bits need weights
      for (FormatCode extra = 0; extra < 16; ++extra) {
        for (uint32_t sets = 0; sets <= 8; ++sets) {
          seed = seed * 1103515245u + 12345u;
          FormatCode code = pos | idx | (extra << 4) | FormatTexCount(sets);
          for (uint32_t i = 0; i < sets; ++i) code |= FormatTexSize(i, (seed >> (2 * i)) & 3);
          VertexElement e[MaxElementEntries];
          if (FormatCodeToElements(code, e) != Ok) {
            EXPECT_TRUE(pos == 0xE && !idx) << std::hex << code;
            continue;
          }
          ++converted;
          FormatCode back = 0;
          ASSERT_EQ(ElementsToFormatCode(e, &back), Ok) << std::hex << code;
          EXPECT_EQ(back, code);
          EXPECT_EQ(FormatCodeVertexSize(code), StreamVertexSize(e, 0)) << std::hex << code;
          EXPECT_TRUE(IsSingleStream(e));
        }
      }
    }
  }
  EXPECT_GT(converted, 2000u);
}

TEST(FormatCode, BitsWithoutMeaningAreDroppedOnTheWayBack) {
  // Index bits without weights, both index bits at once, and size codes of sets beyond the
  // count describe nothing the declaration keeps.
  const FormatCode pairs[][2] = {
      {kFormatPosition | kFormatIndicesU8x4, kFormatPosition},
      {kFormatPosition | 0xFFFF0000u, kFormatPosition},
      {FormatPositionWeights(2) | kFormatIndicesU8x4 | kFormatIndicesColor,
       FormatPositionWeights(2) | kFormatIndicesU8x4},
      {kFormatNormal | FormatTexCount(1) | FormatTexSize(1, kTexSize4),
       kFormatNormal | FormatTexCount(1)}};
  for (const auto& p : pairs) {
    auto e = ToElements(p[0]);
    FormatCode back = 0;
    ASSERT_EQ(ElementsToFormatCode(e.data(), &back), Ok);
    EXPECT_EQ(back, p[1]) << std::hex << p[0];
    EXPECT_EQ(FormatCodeVertexSize(p[0]), StreamVertexSize(e.data(), 0));
  }
}

TEST(ElementsToFormatCode, RefusesWhatACodeCannotExpress) {
  const VertexElement valid[] = {E(0, T::F32x3, U::Position), E(12, T::F32x2, U::TexCoord, 0),
                                 E(20, T::F32x2, U::TexCoord, 1), kEndElement};
  FormatCode code = 0;
  ASSERT_EQ(ElementsToFormatCode(valid, &code), Ok);
  EXPECT_EQ(code, kFormatPosition | FormatTexCount(2));

  const std::vector<std::vector<VertexElement>> refused = {
      // the second texture set numbered 2
      {E(0, T::F32x3, U::Position), E(12, T::F32x2, U::TexCoord, 0),
       E(20, T::F32x2, U::TexCoord, 2), kEndElement},
      // an element in stream 1
      {E(0, T::F32x3, U::Position), E(0, T::F32x3, U::Normal, 0, 1), kEndElement},
      // a gap between elements
      {E(0, T::F32x3, U::Position), E(16, T::F32x3, U::Normal), kEndElement},
      // components out of their fixed order
      {E(0, T::F32x3, U::Position), E(12, T::F32x2, U::TexCoord), E(20, T::F32x3, U::Normal),
       kEndElement},
      {E(0, T::F32x3, U::Normal), E(12, T::F32x3, U::Position), kEndElement},
      // a type, usage or colour index no code has
      {E(0, T::F32x3, U::Position), E(12, T::U8x4Norm, U::TexCoord), kEndElement},
      {E(0, T::F32x3, U::Position), E(12, T::F32x3, U::Tangent), kEndElement},
      {E(0, T::F32x3, U::Position), E(12, T::ColorArgb8, U::Color, 2), kEndElement},
      {E(0, T::F32x2, U::Normal), kEndElement},
      // a ninth texture set
      {E(0, T::F32x1, U::TexCoord, 0), E(4, T::F32x1, U::TexCoord, 1),
       E(8, T::F32x1, U::TexCoord, 2), E(12, T::F32x1, U::TexCoord, 3),
       E(16, T::F32x1, U::TexCoord, 4), E(20, T::F32x1, U::TexCoord, 5),
       E(24, T::F32x1, U::TexCoord, 6), E(28, T::F32x1, U::TexCoord, 7),
       E(32, T::F32x1, U::TexCoord, 8), kEndElement},
  };
  for (size_t i = 0; i < refused.size(); ++i) {
    code = 0x12345;
    EXPECT_EQ(ElementsToFormatCode(refused[i].data(), &code), ErrInvalidCall) << i;
    EXPECT_EQ(code, 0x12345u) << i;
  }
  EXPECT_FALSE(IsSingleStream(refused[1].data()));
  EXPECT_TRUE(IsSingleStream(refused[0].data()));
  EXPECT_FALSE(IsSingleStream(nullptr));
  EXPECT_EQ(ElementsToFormatCode(nullptr, &code), ErrInvalidCall);
}

TEST(Declaration, WalksStopAtTheEntryLimit) {
  // No end marker anywhere: every walk stays within MaxElementEntries entries.
  std::vector<VertexElement> noEnd(MaxElementEntries, E(0, T::F32x1, U::PointSize));
  EXPECT_EQ(CountElements(noEnd.data()), kMaxElements);
  EXPECT_EQ(StreamVertexSize(noEnd.data(), 0), 4u);
  std::vector<VertexElement> copy(MaxElementEntries);
  CopyElements(copy.data(), noEnd.data());
  EXPECT_TRUE(IsEndElement(copy[kMaxElements]));
  EXPECT_EQ(CountElements(nullptr), 0u);
  EXPECT_EQ(StreamVertexSize(nullptr, 0), 0u);
}

TEST(Declaration, StreamSizeSearchAndEquality) {
  VertexElement d[] = {E(0, T::F32x3, U::Position), E(12, T::F32x2, U::TexCoord, 1),
                       E(4, T::F32x4, U::Normal, 0, 2), E(20, T::F32x2, U::TexCoord, 0),
                       kEndElement};
  d[3].method = ElementMethod::UV;  // generated: occupies no bytes
  EXPECT_EQ(StreamVertexSize(d, 0), 20u);
  EXPECT_EQ(StreamVertexSize(d, 2), 20u);
  EXPECT_EQ(StreamVertexSize(d, 1), 0u);
  EXPECT_EQ(FindElement(d, U::TexCoord, 1), &d[1]);
  EXPECT_EQ(FindElement(d, U::TexCoord, 2), nullptr);

  VertexElement copy[MaxElementEntries];
  CopyElements(copy, d);
  EXPECT_TRUE(ElementsEqual(copy, d));
  copy[2].usageIndex = 1;
  EXPECT_FALSE(ElementsEqual(copy, d));
  CopyElements(copy, d);
  copy[3] = kEndElement;
  EXPECT_FALSE(ElementsEqual(copy, d));
}

TEST(Declaration, SingleStreamWalkOverNonDefaultMethods) {
  VertexElement d[] = {E(0, T::F32x3, U::Position), E(12, T::F32x3, U::Normal),
                       E(8, T::F32x2, U::TexCoord), kEndElement};
  EXPECT_TRUE(IsSingleStream(d));  // overlapping, but every method is the default
  d[1].method = ElementMethod::CrossUV;
  d[2].method = ElementMethod::UV;
  EXPECT_FALSE(IsSingleStream(d));  // the UV element starts inside the cross product
  d[2].offset = 24;
  EXPECT_TRUE(IsSingleStream(d));
}

TEST(Declaration, RemoveMovesLaterOffsetsDown) {
  VertexElement d[MaxElementEntries] = {
      E(0, T::F32x3, U::Position),     E(12, T::F32x3, U::BlendWeights),
      E(24, T::U8x4, U::BlendIndices), E(28, T::F32x3, U::Normal),
      E(40, T::F32x2, U::TexCoord),    kEndElement};
  RemoveElement(d, U::BlendWeights, 0);
  const VertexElement expected[] = {E(0, T::F32x3, U::Position), E(12, T::U8x4, U::BlendIndices),
                                    E(16, T::F32x3, U::Normal), E(28, T::F32x2, U::TexCoord),
                                    kEndElement};
  EXPECT_TRUE(ElementsEqual(d, expected));
  RemoveElement(d, U::BlendWeights, 0);  // absent: nothing happens
  EXPECT_TRUE(ElementsEqual(d, expected));
  RemoveElement(d, U::TexCoord, 0);
  EXPECT_EQ(CountElements(d), 3u);
}

TEST(Declaration, InsertRecomputesOffsets) {
  VertexElement d[MaxElementEntries] = {E(0, T::F32x3, U::Position), E(12, T::F32x3, U::Normal),
                                        kEndElement};
  ASSERT_EQ(InsertElement(1, E(77, T::F32x2, U::BlendWeights), d), Ok);
  const VertexElement expected[] = {E(0, T::F32x3, U::Position), E(12, T::F32x2, U::BlendWeights),
                                    E(20, T::F32x3, U::Normal), kEndElement};
  EXPECT_TRUE(ElementsEqual(d, expected));
  ASSERT_EQ(InsertElement(50, E(0, T::U8x4, U::BlendIndices), d), Ok);  // past the end: appended
  EXPECT_EQ(d[3].offset, 32u);
  EXPECT_EQ(d[3].usage, U::BlendIndices);
  EXPECT_TRUE(IsEndElement(d[4]));

  // A full declaration takes no more: the array would overflow.
  VertexElement full[MaxElementEntries];
  for (uint32_t i = 0; i < kMaxElements; ++i)
    full[i] = E(static_cast<uint16_t>(4 * i), T::F32x1, U::TexCoord, static_cast<uint8_t>(i));
  full[kMaxElements] = kEndElement;
  EXPECT_EQ(InsertElement(0, E(0, T::F32x3, U::Position), full), ErrInvalidCall);
  EXPECT_EQ(full[0].usage, U::TexCoord);
  EXPECT_TRUE(IsEndElement(full[kMaxElements]));
}

TEST(Declaration, AppendRefusesDuplicatesAndOverflow) {
  VertexElement d[MaxElementEntries] = {E(0, T::F32x3, U::Position), kEndElement};
  const VertexElement add[] = {E(0, T::F32x3, U::Normal), E(0, T::ColorArgb8, U::Color, 1),
                               kEndElement};
  ASSERT_EQ(AppendElements(add, d), Ok);
  const VertexElement expected[] = {E(0, T::F32x3, U::Position), E(12, T::F32x3, U::Normal),
                                    E(24, T::ColorArgb8, U::Color, 1), kEndElement};
  EXPECT_TRUE(ElementsEqual(d, expected));
  EXPECT_EQ(AppendElements(add, d), ErrInvalidCall);
  const VertexElement twice[] = {E(0, T::F32x1, U::PointSize), E(0, T::F32x1, U::PointSize),
                                 kEndElement};
  EXPECT_EQ(AppendElements(twice, d), ErrInvalidCall);
  EXPECT_TRUE(ElementsEqual(d, expected));

  VertexElement many[MaxElementEntries];
  for (uint32_t i = 0; i < 62; ++i) many[i] = E(0, T::F32x1, U::TexCoord, static_cast<uint8_t>(i));
  many[62] = kEndElement;
  EXPECT_EQ(AppendElements(many, d), ErrInvalidCall);  // 3 + 62 > 64
  EXPECT_EQ(CountElements(d), 3u);
  many[61] = kEndElement;
  EXPECT_EQ(AppendElements(many, d), Ok);  // exactly 64
  EXPECT_EQ(CountElements(d), 64u);
  EXPECT_EQ(d[63].offset, 28u + 60u * 4u);
}

}  // namespace
}  // namespace lyr
