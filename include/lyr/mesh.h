// The Mesh: an indexed triangle list in one vertex buffer and one index buffer made on the
// caller's GraphicsDevice, with a per-face attribute id, an optional attribute table, and an
// optimiser. Two variants share one design: 16-bit and 32-bit indices.
//
// Provided by: the static library (CMake target Lyr9abAnim::lyr), the C++ API. The shared
// library does not export these functions.
#pragma once

#include "lyr/buffer.h"
#include "lyr/device.h"
#include "lyr/mesh_types.h"
#include "lyr/vertex.h"

namespace lyr {

struct Mesh;

// The operations every mesh kind offers (a ProgressiveMesh answers to this one too).
struct BaseMesh : Unknown {
  static constexpr Guid kIid = {
      0x3F6E6B1A, 0x92C4, 0x4E0B, {0x8C, 0x51, 0x0A, 0x77, 0xD2, 0x19, 0x4B, 0x6E}};

  // Draws the faces of one attribute id. No vertex buffer: Ok and nothing drawn.
  virtual LyrResult LYR_CALL DrawAttributeGroup(uint32_t attributeId) = 0;
  virtual uint32_t LYR_CALL GetFaceCount() = 0;
  virtual uint32_t LYR_CALL GetVertexCount() = 0;
  // 0 when the declaration cannot be expressed as a format code.
  virtual FormatCode LYR_CALL GetFormatCode() = 0;
  // Copies the declaration with its end marker (room for MaxElementEntries).
  virtual LyrResult LYR_CALL CopyDeclaration(VertexElement* out) = 0;
  virtual uint32_t LYR_CALL GetVertexStride() = 0;
  virtual uint32_t LYR_CALL GetOptionBits() = 0;
  // The device with a reference added.
  virtual LyrResult LYR_CALL GetOwnerDevice(GraphicsDevice** out) = 0;
  virtual LyrResult LYR_CALL CloneFromFormatCode(uint32_t options, FormatCode code,
                                                 GraphicsDevice* device, Mesh** out) = 0;
  // A copy with another declaration (null: the own one), index width and buffer options; with
  // MeshOptions::ShareVertexBuffer both Meshes use one vertex buffer.
  virtual LyrResult LYR_CALL CloneWithDeclaration(uint32_t options,
                                                  const VertexElement* declaration,
                                                  GraphicsDevice* device, Mesh** out) = 0;
  virtual LyrResult LYR_CALL GetVertexBufferRef(VertexBuffer** out) = 0;
  virtual LyrResult LYR_CALL GetIndexBufferRef(IndexBuffer** out) = 0;
  // Every lock adds kLockNoSystemLock to the flags.
  virtual LyrResult LYR_CALL LockVertices(uint32_t flags, void** out) = 0;
  virtual LyrResult LYR_CALL UnlockVertices() = 0;
  virtual LyrResult LYR_CALL LockIndices(uint32_t flags, void** out) = 0;
  virtual LyrResult LYR_CALL UnlockIndices() = 0;
  // Writes the entry count and/or the entries (when a table exists); either may be null.
  virtual LyrResult LYR_CALL CopyAttributeTable(AttributeRange* entries, uint32_t* count) = 0;
  // Face adjacency (three 32-bit entries per face, 0xFFFFFFFF none) from point
  // representatives (null: every vertex its own).
  virtual LyrResult LYR_CALL AdjacencyFromPointReps(const uint32_t* pointReps,
                                                    uint32_t* adjacency) = 0;
  virtual LyrResult LYR_CALL PointRepsFromAdjacency(const uint32_t* adjacency,
                                                    uint32_t* pointReps) = 0;
  // Adjacency of faces whose shared corners lie within epsilon of each other.
  virtual LyrResult LYR_CALL BuildAdjacency(float epsilon, uint32_t* adjacency) = 0;
  // Installs a declaration of the same stride; the format code is left as it was.
  virtual LyrResult LYR_CALL ReplaceDeclaration(const VertexElement* declaration) = 0;

 protected:
  ~BaseMesh() = default;
};

struct Mesh : BaseMesh {
  static constexpr Guid kIid = {
      0x8E2D6A05, 0x51B7, 0x4C3A, {0x9F, 0x14, 0x6D, 0x20, 0xC8, 0x3E, 0x71, 0xA9}};

  // The per-face attribute ids. Unless flags has kLockReadOnly the attribute table is discarded.
  virtual LyrResult LYR_CALL LockAttributeIds(uint32_t flags, uint32_t** out) = 0;
  virtual LyrResult LYR_CALL UnlockAttributeIds() = 0;
  // Optimises into a new Mesh (flags: OptimizeFlags with option bits for the new Mesh).
  // adjacencyIn/Out: three entries per face; faceRemap: one entry per (old) face; vertexRemap:
  // a Buffer with the old index of each new vertex. Every output is optional.
  virtual LyrResult LYR_CALL OptimizeToNewMesh(uint32_t flags, const uint32_t* adjacencyIn,
                                               uint32_t* adjacencyOut, uint32_t* faceRemap,
                                               Buffer** vertexRemap, Mesh** out) = 0;
  virtual LyrResult LYR_CALL OptimizeSelf(uint32_t flags, const uint32_t* adjacencyIn,
                                          uint32_t* adjacencyOut, uint32_t* faceRemap,
                                          Buffer** vertexRemap) = 0;
  // Copies count entries as the new attribute table (count 0 with null entries removes it); the
  // table-valid state is left as it was. ErrInvalidCall for entries with count 0, null entries
  // with a count, and any entry whose faces reach past the face count or whose vertices reach
  // past the vertex count; the old table is then kept. ErrOutOfMemory.
  virtual LyrResult LYR_CALL ReplaceAttributeTable(const AttributeRange* entries,
                                                   uint32_t count) = 0;
  // Internal: 1 when faces, adjacency, point representatives and attribute table agree, else 0.
  // indices: the index data to check (null: the Mesh's own).
  virtual int32_t LYR_CALL CheckConsistency(const void* indices) = 0;

 protected:
  ~Mesh() = default;
};

// Makes a Mesh of faceCount faces and vertexCount vertices with the given options and
// declaration on device. ErrInvalidCall for options outside MeshOptions::CreateMask, a null
// device or out, a declaration that is not single-stream, a zero count, or (16-bit) a count
// above 0xFFFF; ErrOutOfMemory; device failures unchanged. *out is set only on success.
LyrResult CreateMesh(uint32_t faceCount, uint32_t vertexCount, uint32_t options,
                     const VertexElement* declaration, GraphicsDevice* device, Mesh** out);
// The same with the declaration of a format code.
LyrResult CreateMeshFromFormatCode(uint32_t faceCount, uint32_t vertexCount, uint32_t options,
                                   FormatCode code, GraphicsDevice* device, Mesh** out);

}  // namespace lyr
