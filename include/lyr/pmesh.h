// The ProgressiveMesh: a Mesh whose level of detail moves between a coarse base level and the
// full level by applying or undoing vertex splits. It holds the full-detail triangles in its
// buffers; its attribute table always describes the current level, so drawing a subset draws
// exactly the faces and vertices of that level. Two variants: 16-bit and 32-bit indices.
#pragma once

#include "lyr/material.h"
#include "lyr/mesh.h"

namespace lyr {

// A byte sink a ProgressiveMesh can be saved into.
struct OutputStream : Unknown {
  // Writes count bytes; *written receives how many were taken.
  virtual LyrResult LYR_CALL Write(const void* bytes, uint32_t count, uint32_t* written) = 0;

 protected:
  ~OutputStream() = default;
};

// The BaseMesh slots keep their meaning, with two differences: CloneFromFormatCode and
// CloneWithDeclaration make a plain Mesh of the current level (faces and vertices of other
// levels dropped, faces sorted by attribute), and LockIndices refuses a lock without
// kLockReadOnly with ErrIndexBufferReadOnly. GetFaceCount and GetVertexCount give the counts of
// the current level.
struct ProgressiveMesh : BaseMesh {
  static constexpr Guid kIid = {
      0x6A1F93C2, 0x3D58, 0x4B7E, {0xA4, 0x0C, 0x52, 0x9B, 0xE1, 0x37, 0x6D, 0x08}};

  // A new ProgressiveMesh at this one's level with the declaration of a format code. The code
  // must be non-zero, without bit 0x1 and not of transformed positions (ErrInvalidCall).
  virtual LyrResult LYR_CALL CloneProgressiveFromFormatCode(uint32_t options, FormatCode code,
                                                            GraphicsDevice* device,
                                                            ProgressiveMesh** out) = 0;
  // A new ProgressiveMesh at this one's level (declaration null: the own one). Both share the
  // split records; each keeps its own level. MeshOptions::IndexWriteOnly is refused.
  virtual LyrResult LYR_CALL CloneProgressive(uint32_t options, const VertexElement* declaration,
                                              GraphicsDevice* device, ProgressiveMesh** out) = 0;
  // Moves to the largest level whose face (vertex) count does not exceed the target, clamped to
  // the range of levels. A split record found malformed on the way is neither applied nor
  // undone: ErrInvalidCall, at the level the records before it reach. A failing index-buffer
  // lock is returned unchanged (level unchanged).
  virtual LyrResult LYR_CALL SetFaceCount(uint32_t faces) = 0;
  virtual LyrResult LYR_CALL SetVertexCount(uint32_t vertices) = 0;
  virtual uint32_t LYR_CALL GetMaxFaceCount() = 0;
  virtual uint32_t LYR_CALL GetMinFaceCount() = 0;
  virtual uint32_t LYR_CALL GetMaxVertexCount() = 0;
  virtual uint32_t LYR_CALL GetMinVertexCount() = 0;
  // Writes the base level and the split records as a Vek file into the stream.
  virtual LyrResult LYR_CALL SaveToStream(OutputStream* stream, const Material* materials,
                                          const EffectInstance* effects,
                                          uint32_t materialCount) = 0;
  // A plain, optimised Mesh of the current level (flags: OptimizeFlags with option bits for the
  // new Mesh; 32-bit indices and a write-only index buffer are refused). Outputs as the Mesh's
  // OptimizeToNewMesh, over the full-detail face slots; each is optional.
  virtual LyrResult LYR_CALL OptimizeToMesh(uint32_t flags, uint32_t* adjacencyOut,
                                            uint32_t* faceRemap, Buffer** vertexRemap,
                                            Mesh** out) = 0;
  // Reorders the base faces for the vertex cache (OptimizeFlags::VertexCache) or into strips
  // (OptimizeFlags::StripReorder); one of them is required. faceRemap (optional, one entry per
  // full-detail face slot): the old slot of each new slot, 0xFFFFFFFF where none moved there.
  virtual LyrResult LYR_CALL OptimizeBaseLevel(uint32_t flags, uint32_t* faceRemap) = 0;
  // Narrows the range of levels for good to [newMin, newMax] faces (vertices). Remaps
  // (optional, one entry per old full-detail slot): the old face or vertex of each new one.
  virtual LyrResult LYR_CALL TrimByFaces(uint32_t newMin, uint32_t newMax, uint32_t* faceRemap,
                                         uint32_t* vertexRemap) = 0;
  virtual LyrResult LYR_CALL TrimByVertices(uint32_t newMin, uint32_t newMax, uint32_t* faceRemap,
                                            uint32_t* vertexRemap) = 0;
  // Face adjacency of every full-detail face slot (three entries each, 0xFFFFFFFF for none).
  virtual LyrResult LYR_CALL GetAdjacency(uint32_t* adjacency) = 0;
  // For every vertex up to the maximum vertex count, the vertex it merges into when the split
  // that made it is undone; base vertices map to themselves.
  virtual LyrResult LYR_CALL BuildVertexHistory(uint32_t* history) = 0;
  // Internal (saving): the information image, its size, the base-level adjacency and a compacted
  // base-level Mesh. The caller frees the image and the adjacency with lyr::Free and releases
  // the Mesh.
  virtual LyrResult LYR_CALL BuildSaveData(void** image, uint32_t* imageBytes, uint32_t** adjacency,
                                           Mesh** base) = 0;
  // Internal: the current level as a plain Mesh (see CloneWithDeclaration and OptimizeToMesh);
  // compact: the form used for saving (vertices kept, attribute-table order kept).
  virtual LyrResult LYR_CALL CopyCurrentLevel(uint32_t options, const VertexElement* declaration,
                                              GraphicsDevice* device, int32_t compact,
                                              uint32_t optimizeFlags, uint32_t* adjacencyOut,
                                              uint32_t* faceRemap, Buffer** vertexRemap,
                                              Mesh** out) = 0;
  // Internal worker of the trims: keeps split records [first, last) and mispredicts
  // [mispredictFirst, mispredictLast); the object must stand at the level reached by `first`
  // splits. facesAtMax, verticesAtMax and tableAtMax describe the level reached by `last`.
  virtual LyrResult LYR_CALL TrimSplits(uint32_t first, uint32_t last, uint32_t mispredictFirst,
                                        uint32_t mispredictLast, uint32_t facesAtMax,
                                        uint32_t verticesAtMax, const AttributeRange* tableAtMax,
                                        uint32_t* faceRemap, uint32_t* vertexRemap) = 0;

 protected:
  ~ProgressiveMesh() = default;
};

// How GeneratePMesh simplifies.
struct PMeshGenerateOptions {
  // The base level keeps at least this many faces.
  uint32_t minFaces = 0;
  // Collapsing stops before the first collapse whose error exceeds this: the root-mean-square
  // distance its quadric measures, as a fraction of the bounding-box diagonal. Negative: none.
  float maxError = -1.0f;
  // Weights of the normal and first texture coordinate set in the collapse costs (0: ignored).
  // Both are measured against the bounding-box diagonal, so 1 makes a unit of normal or texture
  // coordinate cost as much as moving a diagonal's length.
  float normalWeight = 1.0f;
  float texCoordWeight = 1.0f;
  // Threads the generator may use at once; 0: as many as the process has processors. Large
  // meshes are split into parts that can be simplified side by side; the result is the same for
  // any number of threads.
  uint32_t threads = 0;
};

// Builds a ProgressiveMesh from a Mesh by quadric edge collapses; its full level is the Mesh's
// faces and vertices, its base level the simplified mesh. adjacency: three entries per face
// (0xFFFFFFFF none), each face named back by its neighbour, or null to take it from the
// indices. Each collapse moves one surface point onto a neighbour that stays, so every vertex
// keeps its data at every level. Points on a boundary move only along it, points on a seam
// (adjacency through other indices) or an attribute border only along it; corners of those
// lines, non-manifold points and points of degenerate faces never move. Collapses that would
// flip a face or make the surface non-manifold are not taken.
//
// The object has the Mesh's index width, buffer options and declaration; faces and vertices are
// renumbered range after range. faceRemap (one entry per face) and vertexRemap (one per vertex)
// receive the Mesh's face and vertex of each slot of the full level; optional. A face made by a
// split may start at another of its corners (same triangle, same winding).
// ErrInvalidCall for a null mesh or out, a Mesh without faces or 3-float positions, an index or
// adjacency entry out of range, adjacency not named back, or an attribute id above 0xFFFF;
// ErrOutOfMemory; device failures unchanged. *out is set only on success.
LyrResult GeneratePMesh(Mesh* mesh, const uint32_t* adjacency, const PMeshGenerateOptions& options,
                        ProgressiveMesh** out, uint32_t* faceRemap = nullptr,
                        uint32_t* vertexRemap = nullptr);

}  // namespace lyr
