#include "mesh/vertex_rows.h"

namespace lyr::meshload {

namespace {

// Builds stream-0 elements from n DeclData entries (type, method, usage, usage index: four 32-bit
// values, each taken as one byte) with offsets packed in order, stopping at a type above 16, and
// closes them with the end marker (out has room for MaxElementEntries; n <= kMaxElements).
// Returns the element count; *bytes gets the packed vertex size.
uint32_t ParseDeclElements(const uint8_t* raw, uint32_t n, VertexElement* out, uint32_t* bytes) {
  uint32_t count = 0, offset = 0;
  for (; count < n; ++count) {
    const uint32_t type = LoadAt<uint32_t>(raw, size_t(count) * 4);
    if (type > 16) break;
    out[count] = {0,
                  static_cast<uint16_t>(offset),
                  static_cast<ElementType>(type),
                  static_cast<ElementMethod>(LoadAt<uint32_t>(raw, size_t(count) * 4 + 1)),
                  static_cast<ElementUsage>(LoadAt<uint32_t>(raw, size_t(count) * 4 + 2)),
                  static_cast<uint8_t>(LoadAt<uint32_t>(raw, size_t(count) * 4 + 3))};
    offset += ElementTypeSize(static_cast<ElementType>(type));
  }
  out[count] = kEndElement;
  *bytes = offset;
  return count;
}

}  // namespace

LyrResult ReadRows(BlockReader& b, uint32_t vertexCount, VertexRows* rows) {
  uint32_t n = 0;
  const uint8_t* data = nullptr;
  if (!b.U32(&n) || !(data = b.Take(n, 4))) return ErrFail;
  rows->stride = static_cast<uint32_t>(4 * uint64_t(n) / vertexCount);
  rows->data.assign(data, data + size_t(n) * 4);
  rows->present = true;
  return Ok;
}

LyrResult ReadFvfData(VekDataObject* child, uint32_t vertexCount, FormatCode* code,
                      VertexRows* rows) {
  BlockReader b(nullptr, 0);
  LyrResult r = ReadBlock(child, &b);
  if (Failed(r)) return r;
  if (!b.U32(code)) return ErrFail;
  return ReadRows(b, vertexCount, rows);
}

LyrResult ReadDeclData(VekDataObject* child, uint32_t vertexCount, VertexRows* out) {
  BlockReader b(nullptr, 0);
  LyrResult r = ReadBlock(child, &b);
  if (Failed(r)) return r;
  uint32_t n = 0;
  if (!b.U32(&n)) return ErrFail;
  if (n < 1 || n > kMaxElements) return ErrInvalidCall;
  const uint8_t* raw = b.Take(n, 16);
  if (!raw) return ErrFail;
  VertexRows rows;
  uint32_t size = 0;
  const uint32_t count = ParseDeclElements(raw, n, rows.elements, &size);
  if (Failed(r = ReadRows(b, vertexCount, &rows))) return r;
  if (count == 0 || size > 255 || !IsSingleStream(rows.elements)) return Ok;
  if (rows.stride < size) return ErrInvalidCall;
  *out = std::move(rows);
  return Ok;
}

void AttachRows(VertexConverter& converter, VertexRows& rows, const VertexElement* layout,
                uint8_t* base, uint32_t stride) {
  BuildConverter(converter, rows.elements, layout);
  AttachConverterData(converter, rows.data.data(), base);
  AttachStream(converter.source, 0, rows.data.data(), rows.stride);
  AttachStream(converter.destination, 0, base, stride);
}

}  // namespace lyr::meshload
