// Reading, writing and converting single vertex components through their declaration.
#include <cstring>

#include "lyr/math.h"
#include "lyr/vertex.h"

namespace lyr {
namespace {

constexpr float kInv255 = 1.0f / 255.0f;
constexpr float kInv32767 = 1.0f / 32767.0f;
constexpr float kInv65535 = 1.0f / 65535.0f;
constexpr float kInv511 = 1.0f / 511.0f;

template <class T>
T Load(const uint8_t* p, uint32_t i) {
  T v;
  std::memcpy(&v, p + i * sizeof(T), sizeof(T));
  return v;
}

template <class T>
void Store(uint8_t* p, uint32_t i, T v) {
  std::memcpy(p + i * sizeof(T), &v, sizeof(T));
}

// (v * scale + 0.5) truncated toward zero. Out-of-range and NaN inputs are brought into the
// 32-bit range first so that the conversion is always defined; the caller keeps the low bits.
int32_t Quantise(float v, float scale) {
  float t = v * scale + 0.5f;
  if (!(t == t)) return 0;
  if (t >= 2147483520.0f) return INT32_MAX;
  if (t <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(t);
}

float Clamp(float v, float lo, float hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}
float AtLeastZero(float v) {
  return v < 0.0f ? 0.0f : v;
}

float SNorm16(int16_t v) {
  return static_cast<float>(v < -32767 ? -32767 : v) * kInv32767;
}

float SNorm10(uint32_t packed, uint32_t shift) {
  int32_t f = static_cast<int32_t>((packed >> shift) & 0x3FF);
  if (f & 0x200) f -= 0x400;
  if (f < -511) f = -511;
  return static_cast<float>(f) * kInv511;
}

uint8_t* Address(const VertexAccessor& a, const VertexElement* e, uint32_t vertex) {
  if (!e || e->stream >= kMaxStreams) return nullptr;
  const VertexStream& s = a.streams[e->stream];
  if (!s.data) return nullptr;
  return s.data + size_t{vertex} * s.stride + e->offset;
}

void Expand(ElementType type, const uint8_t* p, float v[4]) {
  v[0] = v[1] = v[2] = 0.0f;
  v[3] = 1.0f;
  switch (type) {
    case ElementType::F32x1:
    case ElementType::F32x2:
    case ElementType::F32x3:
    case ElementType::F32x4:
      std::memcpy(v, p, ElementTypeSize(type));
      break;
    case ElementType::ColorArgb8: {
      uint32_t c = Load<uint32_t>(p, 0);
      v[0] = static_cast<float>((c >> 16) & 0xFF) * kInv255;
      v[1] = static_cast<float>((c >> 8) & 0xFF) * kInv255;
      v[2] = static_cast<float>(c & 0xFF) * kInv255;
      v[3] = static_cast<float>(c >> 24) * kInv255;
      break;
    }
    case ElementType::U8x4:
      for (int i = 0; i < 4; ++i) v[i] = static_cast<float>(p[i]);
      break;
    case ElementType::S16x4:
      v[2] = static_cast<float>(Load<int16_t>(p, 2));
      v[3] = static_cast<float>(Load<int16_t>(p, 3));
      [[fallthrough]];
    case ElementType::S16x2:
      v[0] = static_cast<float>(Load<int16_t>(p, 0));
      v[1] = static_cast<float>(Load<int16_t>(p, 1));
      break;
    case ElementType::U8x4Norm:
      for (int i = 0; i < 4; ++i) v[i] = static_cast<float>(p[i]) * kInv255;
      break;
    case ElementType::S16x4Norm:
      v[2] = SNorm16(Load<int16_t>(p, 2));
      v[3] = SNorm16(Load<int16_t>(p, 3));
      [[fallthrough]];
    case ElementType::S16x2Norm:
      v[0] = SNorm16(Load<int16_t>(p, 0));
      v[1] = SNorm16(Load<int16_t>(p, 1));
      break;
    case ElementType::U16x4Norm:
      v[2] = static_cast<float>(Load<uint16_t>(p, 2)) * kInv65535;
      v[3] = static_cast<float>(Load<uint16_t>(p, 3)) * kInv65535;
      [[fallthrough]];
    case ElementType::U16x2Norm:
      v[0] = static_cast<float>(Load<uint16_t>(p, 0)) * kInv65535;
      v[1] = static_cast<float>(Load<uint16_t>(p, 1)) * kInv65535;
      break;
    case ElementType::U10x3: {
      uint32_t c = Load<uint32_t>(p, 0);
      for (int i = 0; i < 3; ++i) v[i] = static_cast<float>((c >> (10 * i)) & 0x3FF);
      break;
    }
    case ElementType::S10x3Norm: {
      uint32_t c = Load<uint32_t>(p, 0);
      for (int i = 0; i < 3; ++i) v[i] = SNorm10(c, 10 * i);
      break;
    }
    case ElementType::F16x2:
    case ElementType::F16x4: {
      Half h[4];
      const uint32_t n = type == ElementType::F16x2 ? 2 : 4;
      std::memcpy(h, p, n * sizeof(Half));
      HalfToFloatArray(v, h, n);
      break;
    }
    default:  // NoData and unknown codes read as zeros
      v[3] = 0.0f;
      break;
  }
}

void Pack(ElementType type, uint8_t* p, float v[4]) {
  switch (type) {
    case ElementType::F32x1:
    case ElementType::F32x2:
    case ElementType::F32x3:
    case ElementType::F32x4:
      std::memcpy(p, v, ElementTypeSize(type));
      break;
    case ElementType::ColorArgb8: {
      uint32_t c = 0;
      static constexpr int kShift[4] = {16, 8, 0, 24};
      for (int i = 0; i < 4; ++i)
        c |= (static_cast<uint32_t>(Quantise(Clamp(v[i], 0.0f, 1.0f), 255.0f)) & 0xFF) << kShift[i];
      Store<uint32_t>(p, 0, c);
      break;
    }
    case ElementType::U8x4:
      for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(Quantise(AtLeastZero(v[i]), 1.0f));
      break;
    case ElementType::U8x4Norm:
      for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(Quantise(Clamp(v[i], 0.0f, 1.0f), 255.0f));
      break;
    case ElementType::S16x2:
    case ElementType::S16x4: {
      const int n = type == ElementType::S16x2 ? 2 : 4;
      for (int i = 0; i < n; ++i) Store<int16_t>(p, i, static_cast<int16_t>(Quantise(v[i], 1.0f)));
      break;
    }
    case ElementType::S16x2Norm:
    case ElementType::S16x4Norm: {
      const int n = type == ElementType::S16x2Norm ? 2 : 4;
      for (int i = 0; i < n; ++i)
        Store<int16_t>(p, i, static_cast<int16_t>(Quantise(Clamp(v[i], -1.0f, 1.0f), 32767.0f)));
      break;
    }
    case ElementType::U16x2Norm:
    case ElementType::U16x4Norm: {
      const int n = type == ElementType::U16x2Norm ? 2 : 4;
      for (int i = 0; i < n; ++i)
        Store<uint16_t>(p, i, static_cast<uint16_t>(Quantise(Clamp(v[i], 0.0f, 1.0f), 65535.0f)));
      break;
    }
    case ElementType::U10x3:
    case ElementType::S10x3Norm: {
      const bool norm = type == ElementType::S10x3Norm;
      uint32_t c = 0;
      for (int i = 0; i < 3; ++i) {
        int32_t q =
            norm ? Quantise(Clamp(v[i], -1.0f, 1.0f), 511.0f) : Quantise(AtLeastZero(v[i]), 1.0f);
        c |= (static_cast<uint32_t>(q) & 0x3FF) << (10 * i);
      }
      Store<uint32_t>(p, 0, c);
      break;
    }
    case ElementType::F16x2:
    case ElementType::F16x4: {
      Half h[4];
      const uint32_t n = type == ElementType::F16x2 ? 2 : 4;
      FloatToHalfArray(h, v, n);
      std::memcpy(p, h, n * sizeof(Half));
      break;
    }
    default:
      break;
  }
}

bool OneOf(ElementType t, ElementType lo, ElementType hi) {
  return static_cast<uint8_t>(t) >= static_cast<uint8_t>(lo) &&
         static_cast<uint8_t>(t) <= static_cast<uint8_t>(hi);
}

}  // namespace

void AttachDeclaration(VertexAccessor& accessor, const VertexElement* elements) {
  accessor.elements = elements;
  accessor.elementCount = CountElements(elements);
  for (VertexStream& s : accessor.streams) s = {};
}

void AttachDeclaration(VertexAccessorEx& a, const VertexElement* elements) {
  a = VertexAccessorEx{};
  AttachDeclaration(static_cast<VertexAccessor&>(a), elements);
  a.vertexSize = StreamVertexSize(elements, 0);
  for (uint32_t i = 0; i < a.elementCount; ++i) {
    const VertexElement* e = &elements[i];
    auto keep = [e](const VertexElement*& slot, bool fits) {
      if (!slot && fits) slot = e;
    };
    const bool floats = OneOf(e->type, ElementType::F32x1, ElementType::F32x4);
    const bool colour = e->type == ElementType::F32x4 || e->type == ElementType::ColorArgb8;
    switch (e->usage) {
      case ElementUsage::Position:
        keep(a.position, e->usageIndex == 0 && e->type == ElementType::F32x3);
        break;
      case ElementUsage::BlendWeights:
        keep(a.blendWeights, e->usageIndex == 0 && floats);
        break;
      case ElementUsage::BlendIndices:
        keep(a.blendIndices, e->usageIndex == 0 && (e->type == ElementType::U8x4 ||
                                                    e->type == ElementType::ColorArgb8));
        break;
      case ElementUsage::Normal:
        keep(a.normal, e->usageIndex == 0 && e->type == ElementType::F32x3);
        break;
      case ElementUsage::Color:
        if (e->usageIndex == 0) keep(a.diffuse, colour);
        if (e->usageIndex == 1) keep(a.specular, colour);
        break;
      case ElementUsage::TexCoord:
        if (e->usageIndex < kMaxTextureSets) keep(a.texCoord[e->usageIndex], floats);
        break;
      default:
        break;
    }
  }
}

void AttachStream(VertexAccessor& accessor, uint32_t stream, void* data, uint32_t stride) {
  if (stream >= kMaxStreams) return;
  accessor.streams[stream].data = static_cast<uint8_t*>(data);
  accessor.streams[stream].stride = stride ? stride : StreamVertexSize(accessor.elements, stream);
}

void ReadElement(const VertexAccessor& accessor, const VertexElement* element, uint32_t vertex,
                 float* out, uint32_t count) {
  float v[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  if (const uint8_t* p = Address(accessor, element, vertex)) Expand(element->type, p, v);
  std::memcpy(out, v, (count < 4 ? count : 4) * sizeof(float));
}

void WriteElement(const VertexAccessor& accessor, const VertexElement* element, uint32_t vertex,
                  const float* values, uint32_t count) {
  uint8_t* p = Address(accessor, element, vertex);
  if (!p) return;
  float v[4] = {0.0f, 0.0f, 0.0f, 1.0f};
  std::memcpy(v, values, (count < 4 ? count : 4) * sizeof(float));
  Pack(element->type, p, v);
}

void BuildConverter(VertexConverter& c, const VertexElement* source,
                    const VertexElement* destination) {
  AttachDeclaration(c.source, source);
  AttachDeclaration(c.destination, destination);
  c.pairCount = 0;
  for (uint32_t i = 0; i < c.source.elementCount; ++i) {
    const VertexElement* s = &source[i];
    const VertexElement* d = FindElement(destination, s->usage, s->usageIndex);
    if (!d || s->method == ElementMethod::UV || d->method == ElementMethod::UV) continue;
    // Same float type on both sides: reading and writing would copy the bytes unchanged (an
    // implied weight would land in a component the destination does not store).
    const bool same = s->type == d->type && OneOf(s->type, ElementType::F32x1, ElementType::F32x4);
    c.pairs[c.pairCount++] = {s, d, same ? ElementTypeSize(s->type) : 0};
  }
}

void AttachConverterData(VertexConverter& c, const void* source, void* destination) {
  AttachStream(c.source, 0, const_cast<void*>(source), c.source.vertexSize);
  AttachStream(c.destination, 0, destination, c.destination.vertexSize);
}

void ConvertVertex(const VertexConverter& c, uint32_t s, uint32_t d, bool zeroFirst) {
  if (zeroFirst && c.destination.streams[0].data)
    std::memset(c.destination.streams[0].data + size_t{d} * c.destination.streams[0].stride, 0,
                c.destination.vertexSize);
  for (uint32_t i = 0; i < c.pairCount; ++i) {
    const VertexConverter::Pair& pair = c.pairs[i];
    if (pair.copyBytes) {
      const uint8_t* from = Address(c.source, pair.source, s);
      uint8_t* to = Address(c.destination, pair.destination, d);
      if (from && to) {
        std::memmove(to, from, pair.copyBytes);
        continue;
      }
    }
    float v[4];
    ReadElement(c.source, pair.source, s, v, 4);
    if (pair.source->usage == ElementUsage::BlendWeights &&
        OneOf(pair.source->type, ElementType::F32x1, ElementType::F32x3)) {
      const uint32_t stored = static_cast<uint32_t>(pair.source->type) + 1;
      float sum = 0.0f;
      for (uint32_t k = 0; k < stored; ++k) sum += v[k];
      v[stored] = 1.0f - sum;
    }
    WriteElement(c.destination, pair.destination, d, v, 4);
  }
}

}  // namespace lyr
