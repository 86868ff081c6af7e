#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "fault_injection.h"
#include "lyr/vertex.h"

namespace lyr {
namespace {

using T = ElementType;
using U = ElementUsage;

constexpr VertexElement E(uint16_t offset, T type, U usage, uint8_t index = 0) {
  return {0, offset, type, ElementMethod::Default, usage, index};
}

// One vertex of one element at offset 0, read and written through an accessor.
struct Cell {
  VertexElement decl[2];
  uint8_t bytes[16] = {};
  VertexAccessor a;
  explicit Cell(T type) : decl{E(0, type, U::TexCoord), kEndElement} {
    AttachDeclaration(a, decl);
    AttachStream(a, 0, bytes, 0);
  }
  std::vector<float> Read() {
    float v[4];
    ReadElement(a, &decl[0], 0, v, 4);
    return {v[0], v[1], v[2], v[3]};
  }
  void Write(std::vector<float> v) {
    WriteElement(a, &decl[0], 0, v.data(), static_cast<uint32_t>(v.size()));
  }
  template <class V>
  void Set(std::initializer_list<V> values) {
    size_t i = 0;
    for (V v : values) std::memcpy(bytes + sizeof(V) * i++, &v, sizeof(V));
  }
  template <class V>
  V Get(size_t i) const {
    V v;
    std::memcpy(&v, bytes + sizeof(V) * i, sizeof(V));
    return v;
  }
};

using F = std::vector<float>;

TEST(ReadElement, EveryTypeExpandsToFourFloats) {
  {
    Cell c(T::F32x2);
    c.Set<float>({2.5f, -1.0f});
    EXPECT_EQ(c.Read(), (F{2.5f, -1.0f, 0, 1}));
  }
  {
    Cell c(T::F32x4);
    c.Set<float>({1, 2, 3, 4});
    EXPECT_EQ(c.Read(), (F{1, 2, 3, 4}));
  }
  {
    Cell c(T::ColorArgb8);
    c.Set<uint32_t>({0xFF00FF00u});  // alpha 255, red 0, green 255, blue 0
    EXPECT_EQ(c.Read(), (F{0, 1, 0, 1}));
    c.Set<uint32_t>({0x80402010u});
    EXPECT_EQ(c.Read(), (F{0x40 / 255.0f, 0x20 / 255.0f, 0x10 / 255.0f, 0x80 / 255.0f}));
  }
  {
    Cell c(T::U8x4);
    c.Set<uint8_t>({0, 7, 200, 255});
    EXPECT_EQ(c.Read(), (F{0, 7, 200, 255}));
  }
  {
    Cell c(T::S16x2);
    c.Set<int16_t>({-32768, 300});
    EXPECT_EQ(c.Read(), (F{-32768, 300, 0, 1}));
  }
  {
    Cell c(T::S16x4);
    c.Set<int16_t>({1, -2, 3, -4});
    EXPECT_EQ(c.Read(), (F{1, -2, 3, -4}));
  }
  {
    Cell c(T::U8x4Norm);
    c.Set<uint8_t>({0, 255, 51, 255});
    EXPECT_EQ(c.Read(), (F{0, 1, 51 * (1.0f / 255.0f), 1}));
  }
  {
    // -32768 reads as -32767, so both give exactly -1.
    Cell c(T::S16x2Norm);
    c.Set<int16_t>({-32768, -32767});
    EXPECT_EQ(c.Read(), (F{-1, -1, 0, 1}));
    Cell d(T::S16x4Norm);
    d.Set<int16_t>({32767, 0, -32768, 16384});
    EXPECT_EQ(d.Read(), (F{1, 0, -1, 16384 * (1.0f / 32767.0f)}));
  }
  {
    Cell c(T::U16x2Norm);
    c.Set<uint16_t>({65535, 0});
    EXPECT_EQ(c.Read(), (F{1, 0, 0, 1}));
    Cell d(T::U16x4Norm);
    d.Set<uint16_t>({0, 65535, 0, 65535});
    EXPECT_EQ(d.Read(), (F{0, 1, 0, 1}));
  }
  {
    Cell c(T::U10x3);
    c.Set<uint32_t>({1023u | (5u << 10) | (512u << 20) | (3u << 30)});
    EXPECT_EQ(c.Read(), (F{1023, 5, 512, 1}));
  }
  {
    // -512 reads as -511; the top two bits are not part of any field.
    Cell c(T::S10x3Norm);
    c.Set<uint32_t>({0x200u | (0x201u << 10) | (511u << 20) | (3u << 30)});
    EXPECT_EQ(c.Read(), (F{-1, -1, 1, 1}));
  }
  {
    Cell c(T::F16x2);
    c.Set<uint16_t>({0x3C00, 0xC000});
    EXPECT_EQ(c.Read(), (F{1, -2, 0, 1}));
    Cell d(T::F16x4);
    d.Set<uint16_t>({0x3800, 0x0000, 0x7BFF, 0x3C00});
    EXPECT_EQ(d.Read(), (F{0.5f, 0, 65504, 1}));
  }
  {
    Cell c(T::NoData);
    EXPECT_EQ(c.Read(), (F{0, 0, 0, 0}));
  }
}

TEST(ReadElement, CountLimitsTheCopyAndNullReadsDefaults) {
  Cell c(T::F32x4);
  c.Set<float>({1, 2, 3, 4});
  float v[6] = {9, 9, 9, 9, 9, 9};
  ReadElement(c.a, &c.decl[0], 0, v, 2);
  EXPECT_EQ(v[2], 9.0f);
  ReadElement(c.a, &c.decl[0], 0, v, 6);  // never more than four
  EXPECT_EQ(v[3], 4.0f);
  EXPECT_EQ(v[4], 9.0f);
  ReadElement(c.a, nullptr, 0, v, 4);
  EXPECT_EQ(F(v, v + 4), (F{0, 0, 0, 1}));
  // A stream without data, or one beyond the last, reads defaults and takes no writes.
  VertexElement other = c.decl[0];
  other.stream = 3;
  ReadElement(c.a, &other, 0, v, 4);
  EXPECT_EQ(F(v, v + 4), (F{0, 0, 0, 1}));
  other.stream = 40;
  ReadElement(c.a, &other, 0, v, 4);
  EXPECT_EQ(F(v, v + 4), (F{0, 0, 0, 1}));
  const float w[4] = {5, 5, 5, 5};
  WriteElement(c.a, &other, 0, w, 4);
  WriteElement(c.a, nullptr, 0, w, 4);
  EXPECT_EQ(c.Read(), (F{1, 2, 3, 4}));
}

TEST(WriteElement, ClampsAndRoundsByType) {
  {
    Cell c(T::S16x2Norm);
    c.Write({-1.0f, 1.0f});
    EXPECT_EQ(c.Get<int16_t>(0), -32766);  // -32766.5 truncated toward zero
    EXPECT_EQ(c.Get<int16_t>(1), 32767);
    c.Write({-7.0f, 3.0f});  // clamped to [-1, 1]
    EXPECT_EQ(c.Get<int16_t>(0), -32766);
    EXPECT_EQ(c.Get<int16_t>(1), 32767);
  }
  {
    Cell c(T::ColorArgb8);
    c.Write({1.0f, 0.5f, -3.0f, 2.0f});
    EXPECT_EQ(c.Get<uint32_t>(0), 0xFFFF8000u);  // a, r from x, g from y, b from z
    c.Write({0.0f, 1.0f, 0.0f});                 // missing w writes 1
    EXPECT_EQ(c.Get<uint32_t>(0), 0xFF00FF00u);
  }
  {
    Cell c(T::U8x4);
    c.Write({-5.0f, 2.4f, 2.5f, 254.6f});
    EXPECT_EQ(c.Get<uint32_t>(0), 0xFF030200u);
  }
  {
    Cell c(T::U8x4Norm);
    c.Write({0.5f, 2.0f, -1.0f});
    EXPECT_EQ(c.Get<uint32_t>(0), 0xFF00FF80u);
  }
  {
    Cell c(T::S16x4);
    c.Write({-2.6f, 2.6f, 100.0f, -100.0f});
    EXPECT_EQ(c.Get<int16_t>(0), -2);  // -2.1 truncated toward zero
    EXPECT_EQ(c.Get<int16_t>(1), 3);
    EXPECT_EQ(c.Get<int16_t>(2), 100);
    EXPECT_EQ(c.Get<int16_t>(3), -99);
  }
  {
    Cell c(T::U16x4Norm);
    c.Write({0.5f, 1.5f, -0.5f});
    EXPECT_EQ(c.Get<uint16_t>(0), 32768);
    EXPECT_EQ(c.Get<uint16_t>(1), 65535);
    EXPECT_EQ(c.Get<uint16_t>(2), 0);
    EXPECT_EQ(c.Get<uint16_t>(3), 65535);
  }
  {
    Cell c(T::U10x3);
    c.Write({1023.0f, 1025.0f, -4.0f, 77.0f});  // each field masked to 10 bits
    EXPECT_EQ(c.Get<uint32_t>(0), 1023u | (1u << 10));
  }
  {
    Cell c(T::S10x3Norm);
    c.Write({1.0f, -1.0f, -9.0f});
    EXPECT_EQ(c.Get<uint32_t>(0), 511u | ((-510 & 0x3FF) << 10) | ((-510 & 0x3FF) << 20));
    EXPECT_EQ(c.Read(), (F{1, -510 / 511.0f, -510 / 511.0f, 1}));
  }
  {
    Cell c(T::F16x4);
    c.Write({1.0f, -2.0f});
    EXPECT_EQ(c.Get<uint16_t>(0), 0x3C00);
    EXPECT_EQ(c.Get<uint16_t>(1), 0xC000);
    EXPECT_EQ(c.Get<uint16_t>(2), 0x0000);
    EXPECT_EQ(c.Get<uint16_t>(3), 0x3C00);
  }
  {
    Cell c(T::F32x3);
    c.Set<float>({7, 7, 7, 7});
    c.Write({1.0f});
    EXPECT_EQ(c.Read(), (F{1, 0, 0, 1}));
    EXPECT_EQ(c.Get<float>(3), 7.0f);  // nothing past the element
  }
}

TEST(WriteElement, NonFiniteAndHugeValuesStoreDefinedResults) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  Cell c(T::S16x4);
  c.Write({nan, inf, -inf, 1e30f});
  EXPECT_EQ(c.Get<int16_t>(0), 0);
  Cell n(T::U8x4Norm);
  n.Write({nan, inf, -inf, 0.0f});
  EXPECT_EQ(n.Get<uint32_t>(0), 0x0000FF00u);
}

TEST(VertexAccessorEx, FindsTheWellKnownElementsOfTheirTypes) {
  const VertexElement d[] = {E(0, T::F32x3, U::Position),
                             E(12, T::F32x2, U::BlendWeights),
                             E(20, T::ColorArgb8, U::BlendIndices),
                             E(24, T::F32x4, U::Normal),  // wrong type
                             E(40, T::F32x3, U::Normal, 1),
                             E(52, T::F32x4, U::Color, 0),
                             E(68, T::ColorArgb8, U::Color, 1),
                             E(72, T::F32x1, U::TexCoord, 3),
                             E(76, T::S16x2, U::TexCoord, 0),
                             E(80, T::F32x2, U::TexCoord, 9),
                             kEndElement};
  VertexAccessorEx a;
  AttachDeclaration(a, d);
  EXPECT_EQ(a.elementCount, 10u);
  EXPECT_EQ(a.position, &d[0]);
  EXPECT_EQ(a.blendWeights, &d[1]);
  EXPECT_EQ(a.blendIndices, &d[2]);
  EXPECT_EQ(a.normal, nullptr);
  EXPECT_EQ(a.diffuse, &d[5]);
  EXPECT_EQ(a.specular, &d[6]);
  EXPECT_EQ(a.texCoord[3], &d[7]);
  EXPECT_EQ(a.texCoord[0], nullptr);
  EXPECT_EQ(a.vertexSize, 88u);
  // Reattaching forgets the previous declaration.
  const VertexElement p[] = {E(0, T::F32x3, U::Normal), kEndElement};
  AttachDeclaration(a, p);
  EXPECT_EQ(a.position, nullptr);
  EXPECT_EQ(a.normal, &p[0]);
}

TEST(VertexAccessor, StridesAndVertexAddressing) {
  const VertexElement d[] = {E(0, T::F32x3, U::Position), E(12, T::F32x1, U::PointSize),
                             kEndElement};
  float data[3 * 6] = {};
  VertexAccessor a;
  AttachDeclaration(a, d);
  AttachStream(a, 0, data, 0);
  EXPECT_EQ(a.streams[0].stride, 16u);
  const float size = 4.5f;
  WriteElement(a, &d[1], 2, &size, 1);
  EXPECT_EQ(data[11], 4.5f);
  AttachStream(a, 0, data, 24);  // an explicit stride wins
  WriteElement(a, &d[1], 2, &size, 1);
  EXPECT_EQ(data[15], 4.5f);
  AttachStream(a, 99, data, 0);  // ignored
}

TEST(VertexConverter, PairsByUsageAndAddsTheImpliedWeight) {
  std::vector<VertexElement> src = {
      E(0, T::F32x3, U::Position),     E(12, T::F32x2, U::BlendWeights), E(20, T::F32x4, U::Color),
      E(36, T::F32x2, U::TexCoord, 1), E(44, T::F32x2, U::TexCoord, 2),  kEndElement};
  src[4].method = ElementMethod::UV;  // generated elements are never paired
  const std::vector<VertexElement> dst = {
      E(0, T::ColorArgb8, U::Color), E(4, T::F32x3, U::BlendWeights),
      E(16, T::F32x3, U::Position),  E(28, T::F32x2, U::TexCoord, 2),
      E(36, T::F32x1, U::Tangent),   kEndElement};
  VertexConverter c;
  BuildConverter(c, src.data(), dst.data());
  ASSERT_EQ(c.pairCount, 3u);  // position, weights, colour; texture 1 has no partner
  EXPECT_EQ(c.pairs[0].source, &src[0]);
  EXPECT_EQ(c.pairs[0].destination, &dst[2]);
  EXPECT_EQ(c.pairs[1].destination, &dst[1]);
  EXPECT_EQ(c.pairs[2].destination, &dst[0]);

  // The generated element occupies no bytes: 44 bytes per source vertex.
  float in[2][11] = {{1, 2, 3, 0.25f, 0.5f, 1, 0, 0, 1, 9, 9}, {4, 5, 6, 0, 0, 0, 1, 0, 1, 9, 9}};
  uint8_t out[2][40];
  std::memset(out, 0xEE, sizeof out);
  AttachConverterData(c, in, out);
  EXPECT_EQ(c.source.streams[0].stride, 44u);
  EXPECT_EQ(c.destination.streams[0].stride, 40u);
  ConvertVertex(c, 1, 0, true);
  ConvertVertex(c, 0, 1, false);

  VertexAccessorEx& d = c.destination;
  float v[4];
  ReadElement(d, &dst[2], 0, v, 3);
  EXPECT_EQ(F(v, v + 3), (F{4, 5, 6}));
  ReadElement(d, &dst[1], 0, v, 3);
  EXPECT_EQ(F(v, v + 3), (F{0, 0, 1}));  // implied third weight
  ReadElement(d, &dst[1], 1, v, 3);
  EXPECT_EQ(F(v, v + 3), (F{0.25f, 0.5f, 0.25f}));
  uint32_t colour;
  std::memcpy(&colour, out[0], 4);
  EXPECT_EQ(colour, 0xFF00FF00u);
  // Zeroed first: the unpaired elements of vertex 0 are zero; vertex 1 keeps its old bytes.
  for (int i = 28; i < 40; ++i) EXPECT_EQ(out[0][i], 0) << i;
  for (int i = 28; i < 40; ++i) EXPECT_EQ(out[1][i], 0xEE) << i;
}

TEST(VertexConverter, FourWeightsHaveNoImpliedWeight) {
  const VertexElement src[] = {E(0, T::F32x4, U::BlendWeights), kEndElement};
  const VertexElement dst[] = {E(0, T::F32x4, U::BlendWeights), kEndElement};
  VertexConverter c;
  BuildConverter(c, src, dst);
  float in[4] = {0.1f, 0.2f, 0.3f, 0.1f}, out[4] = {};
  AttachConverterData(c, in, out);
  ConvertVertex(c, 0, 0, false);
  EXPECT_EQ(F(out, out + 4), F(in, in + 4));

  const VertexElement one[] = {E(0, T::F32x1, U::BlendWeights), kEndElement};
  BuildConverter(c, one, dst);
  AttachConverterData(c, in, out);
  ConvertVertex(c, 0, 0, true);
  EXPECT_EQ(F(out, out + 4), (F{0.1f, 0.9f, 0, 1}));
}

TEST(VertexConverter, ConversionAllocatesNothing) {
  VertexElement src[MaxElementEntries], dst[MaxElementEntries];
  ASSERT_EQ(FormatCodeToElements(0x152 | FormatTexCount(2), src), Ok);
  ASSERT_EQ(FormatCodeToElements(0x112 | FormatTexCount(1), dst), Ok);
  std::vector<uint8_t> in(64 * 100), out(64 * 100);
  VertexConverter c;
  BuildConverter(c, src, dst);
  AttachConverterData(c, in.data(), out.data());
  EXPECT_EQ(test::CountAllocations([&] {
              for (uint32_t i = 0; i < 100; ++i) ConvertVertex(c, i, i, true);
            }),
            0u);
}

}  // namespace
}  // namespace lyr
