// Library-internal view of a Mesh: its state bits and the operations that other parts (the mesh
// data loader, the progressive mesh, skinning) use beyond the public interface.
#pragma once

#include "lyr/mesh.h"

namespace lyr {

// State bits of a Mesh.
inline constexpr uint32_t kMeshKeepsAdjacency = 0x1;
inline constexpr uint32_t kMeshKeepsPointReps = 0x2;
inline constexpr uint32_t kMeshKeepsAttributes = 0x4;
inline constexpr uint32_t kMeshKeepsSecondFaceArray = 0x8;
inline constexpr uint32_t kMeshTableValid = 0x10;
inline constexpr uint32_t kMeshSharedVertexBuffer = 0x20;
inline constexpr uint32_t kMeshDrawFromMemory = 0x40;

class MeshInternal {
 public:
  virtual uint32_t StateBits() = 0;
  // Sets the object in which this Mesh is embedded: query-interface, add-reference and release
  // are passed to it from then on (null: the Mesh answers for itself).
  virtual void SetOuter(Unknown* outer) = 0;
  virtual LyrResult Resize(uint32_t faceCount, uint32_t vertexCount) = 0;
  // The optimiser with every OptimizeFlags bit available (the public operations refuse some).
  virtual LyrResult OptimizeInternal(uint32_t flags, const uint32_t* adjacencyIn,
                                     uint32_t* adjacencyOut, uint32_t* faceRemap,
                                     Buffer** vertexRemap) = 0;
  virtual void VertexCacheParameters(uint32_t* size, uint32_t* magic) = 0;
  // For an object that embeds this Mesh and drives its faces directly (the progressive mesh).
  // KeepAdjacency starts keeping a face adjacency array (all none) for the face capacity;
  // AddStateBits sets state bits (kMeshTableValid). The raw views stay valid until the next
  // resize, optimisation or table replacement: the kept adjacency at the index width (three
  // entries per face of the capacity, null when none is kept), the attribute ids (one per face
  // of the capacity) and the attribute table.
  virtual LyrResult KeepAdjacency() = 0;
  virtual void AddStateBits(uint32_t bits) = 0;
  virtual void* AdjacencyData() = 0;
  virtual uint32_t* AttributeData() = 0;
  virtual AttributeRange* TableData(uint32_t* count) = 0;
  // Installs an attribute table whose entries the caller made consistent with the faces (a
  // tessellator's output) and marks it valid.
  virtual LyrResult SetValidAttributeTable(const AttributeRange* entries, uint32_t count) = 0;

 protected:
  ~MeshInternal() = default;
};

// The internal view of a Mesh made by this library; null for any other object.
MeshInternal* GetMeshInternal(BaseMesh* mesh);

namespace mesh_test {
// Forgets the process-wide vertex-cache record, so that the next resize detects again.
void ResetVertexCacheRecord();
}  // namespace mesh_test

}  // namespace lyr
