// Declarations and format codes: sizes, the conversions between the two forms, and the small
// operations that search, compare and edit declarations.
#include <cstring>

#include "lyr/vertex.h"

namespace lyr {
namespace {

constexpr uint8_t kTypeSize[18] = {4, 8, 12, 16, 4, 4, 4, 8, 4, 4, 8, 4, 8, 4, 4, 4, 8, 0};

constexpr uint8_t U(ElementType t) {
  return static_cast<uint8_t>(t);
}

// Elements before the end marker, never more than kMaxElements.
uint32_t Count(const VertexElement* e) {
  if (!e) return 0;
  uint32_t n = 0;
  while (n < kMaxElements && !IsEndElement(e[n])) ++n;
  return n;
}

uint32_t SizeOf(const VertexElement& e) {
  return ElementTypeSize(e.type);
}

uint32_t TexSetBytes(FormatCode code, uint32_t set) {
  switch ((code >> (16 + 2 * set)) & 3) {
    case kTexSize2:
      return 8;
    case kTexSize3:
      return 12;
    case kTexSize4:
      return 16;
    default:
      return 4;
  }
}

bool IsFloatType(ElementType t) {
  return U(t) <= U(ElementType::F32x4);
}

// Appends elements with running offsets in stream 0 (used while building from a format code).
struct Writer {
  VertexElement out[MaxElementEntries];
  uint32_t count = 0;
  uint32_t offset = 0;
  void Add(ElementUsage usage, ElementType type, uint8_t index = 0) {
    out[count++] = {0, static_cast<uint16_t>(offset), type, ElementMethod::Default, usage, index};
    offset += ElementTypeSize(type);
  }
};

}  // namespace

uint32_t ElementTypeSize(ElementType type) {
  return U(type) < 18 ? kTypeSize[U(type)] : 0;
}

FormatLayout DecodeFormatCode(FormatCode code) {
  FormatLayout l{};
  l.code = code;
  uint32_t offset = 0;
  const FormatCode kind = code & kFormatPositionMask;
  if (kind == kFormatPosition) {
    offset = 12;
  } else if (kind == kFormatTransformedPosition || kind == kFormatPositionW) {
    offset = 16;
  } else if (kind >= kFormatPositionWeights1 && kind <= kFormatPositionWeights5) {
    l.blendWeightCount = (kind >> 1) - 2;
    offset = 12 + 4 * l.blendWeightCount;
  }
  auto place = [&](FormatCode bit, uint32_t bytes, uint32_t* at) {
    if (code & bit) {
      *at = offset;
      offset += bytes;
    }
  };
  place(kFormatNormal, 12, &l.normalOffset);
  place(kFormatPointSize, 4, &l.pointSizeOffset);
  place(kFormatDiffuse, 4, &l.diffuseOffset);
  place(kFormatSpecular, 4, &l.specularOffset);
  uint32_t sets = (code & kFormatTexCountMask) >> kFormatTexCountShift;
  l.texSetCount = sets > kMaxTextureSets ? kMaxTextureSets : sets;
  for (uint32_t i = 0; i < l.texSetCount; ++i) {
    l.texOffset[i] = offset;
    offset += TexSetBytes(code, i);
  }
  l.vertexSize = offset;
  return l;
}

uint32_t FormatCodeVertexSize(FormatCode code) {
  return DecodeFormatCode(code).vertexSize;
}

uint32_t TextureSetSize(const FormatLayout& layout, uint32_t set) {
  return set < layout.texSetCount ? TexSetBytes(layout.code, set) : 0;
}

LyrResult FormatCodeToElements(FormatCode code, VertexElement* out) {
  if (!out) return ErrInvalidCall;
  if (code & (kFormatReserved0 | kFormatReserved2 | 0x4000)) return ErrInvalidCall;
  const uint32_t sets = (code & kFormatTexCountMask) >> kFormatTexCountShift;
  if (sets > kMaxTextureSets) return ErrInvalidCall;

  Writer w;
  const FormatCode kind = code & kFormatPositionMask;
  if (kind == kFormatTransformedPosition) {
    w.Add(ElementUsage::TransformedPosition, ElementType::F32x4);
  } else if (kind != 0) {
    w.Add(ElementUsage::Position, ElementType::F32x3);
  }
  const uint32_t weights = kind >= kFormatPositionWeights1 ? (kind >> 1) - 2 : 0;
  if (weights > 0) {
    if (code & (kFormatIndicesU8x4 | kFormatIndicesColor)) {
      if (weights > 1) w.Add(ElementUsage::BlendWeights, static_cast<ElementType>(weights - 2));
      w.Add(ElementUsage::BlendIndices,
            (code & kFormatIndicesU8x4) ? ElementType::U8x4 : ElementType::ColorArgb8);
    } else {
      if (weights == 5) return ErrInvalidCall;
      w.Add(ElementUsage::BlendWeights, static_cast<ElementType>(weights - 1));
    }
  }
  if (code & kFormatNormal) w.Add(ElementUsage::Normal, ElementType::F32x3);
  if (code & kFormatPointSize) w.Add(ElementUsage::PointSize, ElementType::F32x1);
  if (code & kFormatDiffuse) w.Add(ElementUsage::Color, ElementType::ColorArgb8, 0);
  if (code & kFormatSpecular) w.Add(ElementUsage::Color, ElementType::ColorArgb8, 1);
  for (uint32_t i = 0; i < sets; ++i)
    w.Add(ElementUsage::TexCoord, static_cast<ElementType>(TexSetBytes(code, i) / 4 - 1),
          static_cast<uint8_t>(i));
  w.out[w.count++] = kEndElement;
  std::memcpy(out, w.out, w.count * sizeof(VertexElement));
  return Ok;
}

LyrResult ElementsToFormatCode(const VertexElement* elements, FormatCode* out) {
  if (!elements || !out) return ErrInvalidCall;
  const uint32_t n = Count(elements);
  if (!IsEndElement(elements[n])) return ErrInvalidCall;
  uint32_t offset = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const VertexElement& e = elements[i];
    const uint8_t usage = static_cast<uint8_t>(e.usage);
    const bool usageOk = usage <= 5 || usage == 9 || (usage == 10 && e.usageIndex <= 1);
    if (e.stream != 0 || U(e.type) > U(ElementType::S16x4) || static_cast<uint8_t>(e.method) > 5 ||
        e.offset != offset || !usageOk)
      return ErrInvalidCall;
    offset += SizeOf(e);
  }

  auto is = [&](uint32_t i, ElementUsage usage, ElementType type) {
    return i < n && elements[i].usage == usage && elements[i].type == type;
  };
  FormatCode code = 0;
  uint32_t i = 0;
  if (is(0, ElementUsage::TransformedPosition, ElementType::F32x4)) {
    code |= kFormatTransformedPosition;
    i = 1;
  } else if (is(0, ElementUsage::Position, ElementType::F32x3)) {
    i = 1;
    uint32_t k = 0;
    if (i < n && elements[i].usage == ElementUsage::BlendWeights && IsFloatType(elements[i].type)) {
      k = U(elements[i].type) + 1;
      ++i;
    }
    if (is(i, ElementUsage::BlendIndices, ElementType::U8x4)) {
      ++k;
      code |= kFormatIndicesU8x4;
      ++i;
    } else if (is(i, ElementUsage::BlendIndices, ElementType::ColorArgb8)) {
      ++k;
      code |= kFormatIndicesColor;
      ++i;
    }
    if (k <= 5) code |= FormatPositionWeights(k);
  }
  auto take = [&](bool present, FormatCode bit) {
    if (present) {
      code |= bit;
      ++i;
    }
  };
  take(is(i, ElementUsage::Normal, ElementType::F32x3), kFormatNormal);
  take(is(i, ElementUsage::PointSize, ElementType::F32x1), kFormatPointSize);
  take(is(i, ElementUsage::Color, ElementType::ColorArgb8) && elements[i].usageIndex == 0,
       kFormatDiffuse);
  take(is(i, ElementUsage::Color, ElementType::ColorArgb8) && elements[i].usageIndex == 1,
       kFormatSpecular);
  static constexpr uint32_t kSizeCode[4] = {kTexSize1, kTexSize2, kTexSize3, kTexSize4};
  uint32_t sets = 0;
  while (sets < kMaxTextureSets && i < n && elements[i].usage == ElementUsage::TexCoord &&
         elements[i].usageIndex == sets && IsFloatType(elements[i].type)) {
    code |= FormatTexSize(sets, kSizeCode[U(elements[i].type)]);
    ++sets;
    ++i;
  }
  code |= FormatTexCount(sets);
  if (i != n) return ErrInvalidCall;
  *out = code;
  return Ok;
}

uint32_t StreamVertexSize(const VertexElement* elements, uint32_t stream) {
  const uint32_t n = Count(elements);
  uint32_t size = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const VertexElement& e = elements[i];
    if (e.stream != stream || e.method == ElementMethod::UV) continue;
    uint32_t end = e.offset + SizeOf(e);
    if (end > size) size = end;
  }
  return size;
}

const VertexElement* FindElement(const VertexElement* elements, ElementUsage usage,
                                 uint8_t usageIndex) {
  const uint32_t n = Count(elements);
  for (uint32_t i = 0; i < n; ++i)
    if (elements[i].usage == usage && elements[i].usageIndex == usageIndex) return &elements[i];
  return nullptr;
}

VertexElement* FindElement(VertexElement* elements, ElementUsage usage, uint8_t usageIndex) {
  return const_cast<VertexElement*>(
      FindElement(static_cast<const VertexElement*>(elements), usage, usageIndex));
}

uint32_t CountElements(const VertexElement* elements) {
  return Count(elements);
}

void CopyElements(VertexElement* destination, const VertexElement* source) {
  if (!destination) return;
  const uint32_t n = Count(source);
  if (n) std::memmove(destination, source, n * sizeof(VertexElement));
  destination[n] = kEndElement;
}

bool ElementsEqual(const VertexElement* a, const VertexElement* b) {
  if (!a || !b) return a == b;
  const uint32_t n = Count(a);
  if (n != Count(b)) return false;
  for (uint32_t i = 0; i < n; ++i) {
    const VertexElement &x = a[i], &y = b[i];
    if (x.stream != y.stream || x.offset != y.offset || x.type != y.type || x.method != y.method ||
        x.usage != y.usage || x.usageIndex != y.usageIndex)
      return false;
  }
  return true;
}

bool IsSingleStream(const VertexElement* elements) {
  if (!elements) return false;
  const uint32_t n = Count(elements);
  uint8_t end = 0;  // deliberately 8 bits wide: offsets past 255 always pass
  for (uint32_t i = 0; i < n; ++i) {
    const VertexElement& e = elements[i];
    if (e.stream != 0) return false;
    if (e.method == ElementMethod::Default) continue;
    if (e.offset < end) return false;
    end = static_cast<uint8_t>(e.offset + SizeOf(e));
  }
  return true;
}

void RemoveElement(VertexElement* elements, ElementUsage usage, uint8_t usageIndex) {
  VertexElement* found = FindElement(elements, usage, usageIndex);
  if (!found) return;
  const uint32_t n = Count(elements);
  const auto size = static_cast<uint16_t>(SizeOf(*found));
  for (uint32_t i = static_cast<uint32_t>(found - elements); i + 1 < n; ++i) {
    elements[i] = elements[i + 1];
    elements[i].offset = static_cast<uint16_t>(elements[i].offset - size);
  }
  elements[n - 1] = kEndElement;
}

LyrResult InsertElement(uint32_t position, const VertexElement& element, VertexElement* elements) {
  if (!elements) return ErrInvalidCall;
  const uint32_t n = Count(elements);
  if (n >= kMaxElements) return ErrInvalidCall;
  const uint32_t p = position < n ? position : n;
  std::memmove(elements + p + 1, elements + p, (n - p) * sizeof(VertexElement));
  elements[p] = element;
  elements[n + 1] = kEndElement;
  uint32_t offset = 0;
  for (uint32_t i = 0; i < p; ++i) offset += SizeOf(elements[i]);
  for (uint32_t i = p; i <= n; ++i) {
    elements[i].offset = static_cast<uint16_t>(offset);
    offset += SizeOf(elements[i]);
  }
  return Ok;
}

LyrResult AppendElements(const VertexElement* additions, VertexElement* elements) {
  if (!elements) return ErrInvalidCall;
  const uint32_t n = Count(elements);
  const uint32_t a = Count(additions);
  if (n + a > kMaxElements) return ErrInvalidCall;
  for (uint32_t i = 0; i < a; ++i) {
    const VertexElement& e = additions[i];
    if (FindElement(elements, e.usage, e.usageIndex)) return ErrInvalidCall;
    for (uint32_t j = 0; j < i; ++j)
      if (additions[j].usage == e.usage && additions[j].usageIndex == e.usageIndex)
        return ErrInvalidCall;
  }
  uint32_t offset = 0;
  for (uint32_t i = 0; i < n; ++i) offset += SizeOf(elements[i]);
  for (uint32_t i = 0; i < a; ++i) {
    VertexElement e = additions[i];
    e.offset = static_cast<uint16_t>(offset);
    offset += SizeOf(e);
    elements[n + i] = e;
  }
  elements[n + a] = kEndElement;
  return Ok;
}

}  // namespace lyr
