// Per-vertex data of FVFData and DeclData children, shared by the mesh and patch mesh loaders:
// reading the rows with their declaration, and converting them into a loaded vertex layout.
#pragma once

#include "core/alloc.h"
#include "lyr/vertex.h"
#include "mesh/load_block.h"

namespace lyr::meshload {

// One row per file vertex of nDWords * 4 / vertexCount bytes, and the declaration that reads it.
struct VertexRows {
  bool present = false;
  uint32_t stride = 0;
  Vector<uint8_t> data;
  VertexElement elements[MaxElementEntries];
};

// nDWords and the values (vertexCount > 0). ErrFail when the block is shorter.
LyrResult ReadRows(BlockReader& b, uint32_t vertexCount, VertexRows* rows);

// An FVFData child: its format code and rows (the declaration is left to the caller).
LyrResult ReadFvfData(VekDataObject* child, uint32_t vertexCount, FormatCode* code,
                      VertexRows* rows);

// A DeclData child: 1 to kMaxElements elements (ErrInvalidCall), elements and values present
// (ErrFail), rows holding the declaration (ErrInvalidCall). A declaration a vertex cannot hold
// (no element before a type above 16, more than 255 bytes, not single-stream) leaves *rows as it
// was, as if the child were absent.
LyrResult ReadDeclData(VekDataObject* child, uint32_t vertexCount, VertexRows* rows);

// Prepares converter to write rows into the vertices at base (layout, stride bytes apart).
void AttachRows(VertexConverter& converter, VertexRows& rows, const VertexElement* layout,
                uint8_t* base, uint32_t stride);

// A colour channel read from a file as a byte: 0 at or below 0 (and for NaN), 255 at or above 1,
// else c * 255 rounded half up.
inline uint32_t ColorByte(float c) {
  const float clamped = c > 0.0f ? (c < 1.0f ? c : 1.0f) : 0.0f;
  return static_cast<uint32_t>(clamped * 255.0f + 0.5f);
}

// Red, green, blue and alpha channels packed into the 32-bit vertex colour (alpha highest).
inline uint32_t PackColor(float r, float g, float b, float a) {
  return ColorByte(a) << 24 | ColorByte(r) << 16 | ColorByte(g) << 8 | ColorByte(b);
}

}  // namespace lyr::meshload
