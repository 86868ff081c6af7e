// Library-internal view of a PatchMesh: what the loader and the tessellators use beyond the
// public interface.
#pragma once

#include "core/alloc.h"
#include "core/object_impl.h"
#include "lyr/mesh_types.h"
#include "lyr/patch.h"

namespace lyr {

// How a rectangle patch's control grid sits in the index data.
struct RectPatchDesc {
  uint32_t startU, startV;
  uint32_t width, height;  // control points across and down (degree + 1)
  uint32_t stride;
  uint32_t basis, degree;
};

// How a triangle patch or N-patch triangle sits in the index data.
struct TriPatchDesc {
  uint32_t start;
  uint32_t vertexCount;  // control points per patch
  uint32_t basis, degree;
};

// Displacement-texture settings; the level locks are filled while a tessellation samples.
struct DisplacementRecord {
  Ref<Texture> texture;
  uint32_t minFilter = 2, magFilter = 2, mipFilter = 0;
  uint32_t wrap = 1;
  uint32_t maxLevel = 0;  // the texture's level count - 1
  Vector<LockedRect> levels;
};

// Working memory of the tessellators, kept by the PatchMesh so that repeated tessellations
// allocate nothing once it has grown to fit.
struct TessScratch {
  Vector<float> control;   // the current patch's control values, channel by channel
  Vector<float> rows;          // per grid row: column sums of values and of v-derivatives
  Vector<float> edgeControls;  // the four edge curves of the current patch
  Vector<float> weights;   // one-dimensional weights of the grid parameters
  Vector<float> points;    // barycentric grid points of a triangle
  Vector<uint32_t> ids;    // vertex numbers of the current patch's grid
  Vector<uint32_t> edges;  // per patch and edge: the vertex numbers written along it
  Vector<TextureLevelDesc> levels;
  Vector<AttributeRange> table;  // the output attribute table being built
};

class PatchMeshInternal {
 public:
  virtual const PatchInfo& Info() const = 0;
  // The declaration rewritten for the output Mesh of a tessellation: every element in stream 0
  // at packed offsets with the default method; a lookup element is one float, a UV element two.
  virtual const VertexElement* TessellationLayout() const = 0;
  virtual const RectPatchDesc& RectDesc() const = 0;
  virtual const TriPatchDesc& TriDesc() const = 0;
  // Set by each tessellation call.
  virtual float* EdgeLevels() = 0;
  // Empty when there is none. Entries are in index-buffer order and cover every patch.
  virtual const Vector<AttributeRange>& AttributeTable() const = 0;
  // Four entries per rectangle patch, three per N-patch triangle; empty when there is none.
  virtual const Vector<uint32_t>& Adjacency() const = 0;
  // Null without displacement settings.
  virtual DisplacementRecord* Displacement() = 0;
  virtual TessScratch& Scratch() = 0;
  // Sets the object in which this one is embedded (null: answers for itself).
  virtual void SetOuter(Unknown* outer) = 0;

 protected:
  ~PatchMeshInternal() = default;
};

// The internal view of a PatchMesh made by this library; null for any other object.
PatchMeshInternal* GetPatchMeshInternal(PatchMesh* mesh);

// CreatePatchMesh on buffers the caller already made: vertexBuffer holds vertexCount vertices of
// the declaration's stream-0 size and indexBuffer patchCount * control points 16-bit indices
// (ErrInvalidCall when either is smaller). The PatchMesh takes a reference to each.
LyrResult CreatePatchMeshOnBuffers(const PatchInfo* info, uint32_t patchCount, uint32_t vertexCount,
                                   uint32_t options, const VertexElement* declaration,
                                   GraphicsDevice* device, VertexBuffer* vertexBuffer,
                                   IndexBuffer* indexBuffer, PatchMesh** out);

}  // namespace lyr
