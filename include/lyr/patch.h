// The PatchMesh: higher-order surface patches (rectangle patches, triangle patches, or flat
// triangles to be tessellated as curved N-patches). The control vertices and the control-vertex
// indices of every patch live in system-memory buffers on the host's device; each patch has one
// attribute id, and the mesh keeps optional edge adjacency and displacement-texture settings.
#pragma once

#include "lyr/device.h"
#include "lyr/math.h"
#include "lyr/mesh.h"
#include "lyr/vertex.h"

namespace lyr {

// Patch types.
inline constexpr uint32_t kPatchRectangle = 1;
inline constexpr uint32_t kPatchTriangle = 2;
inline constexpr uint32_t kPatchNPatch = 3;
// Degrees.
inline constexpr uint32_t kPatchLinear = 1;
inline constexpr uint32_t kPatchQuadratic = 2;
inline constexpr uint32_t kPatchCubic = 3;
inline constexpr uint32_t kPatchQuintic = 5;
// Bases.
inline constexpr uint32_t kPatchBezier = 0;
inline constexpr uint32_t kPatchBSpline = 1;
inline constexpr uint32_t kPatchInterpolating = 2;

// What kind of patch every patch of a PatchMesh is.
struct PatchInfo {
  uint32_t type;    // kPatchRectangle, kPatchTriangle or kPatchNPatch
  uint32_t degree;  // 1, 2, 3 or 5
  uint32_t basis;   // kPatchBezier, kPatchBSpline or kPatchInterpolating
};
static_assert(sizeof(PatchInfo) == 12);

// A neighbour entry of patch adjacency that names no patch.
inline constexpr uint32_t kNoNeighbour = 0xFFFFFFFFu;
// A declaration of a PatchMesh holds at most this many elements (the end marker not counted).
inline constexpr uint32_t kMaxPatchElements = 19;

struct PatchMesh : Unknown {
  static constexpr Guid kIid = {
      0xA3E00368, 0xADA3, 0x4175, {0xA6, 0x80, 0x46, 0xCE, 0x83, 0x7F, 0x08, 0xDC}};

  virtual uint32_t LYR_CALL GetPatchCount() = 0;
  virtual uint32_t LYR_CALL GetVertexCount() = 0;
  // Copies the declaration with its end marker (room for kMaxPatchElements + 1 entries suffices).
  virtual LyrResult LYR_CALL CopyDeclaration(VertexElement* out) = 0;
  virtual uint32_t LYR_CALL ControlPointsPerPatch() = 0;
  virtual uint32_t LYR_CALL GetOptionBits() = 0;
  // The device with a reference added.
  virtual LyrResult LYR_CALL GetOwnerDevice(GraphicsDevice** out) = 0;
  // Type, degree and basis.
  virtual LyrResult LYR_CALL GetPatchDescription(PatchInfo* out) = 0;
  // The buffers with a reference added.
  virtual LyrResult LYR_CALL GetVertexBufferRef(VertexBuffer** out) = 0;
  virtual LyrResult LYR_CALL GetIndexBufferRef(IndexBuffer** out) = 0;
  // Whole-buffer locks. The index buffer holds ControlPointsPerPatch() 16-bit indices per patch.
  virtual LyrResult LYR_CALL LockVertices(uint32_t flags, void** out) = 0;
  virtual LyrResult LYR_CALL UnlockVertices() = 0;
  virtual LyrResult LYR_CALL LockIndices(uint32_t flags, void** out) = 0;
  virtual LyrResult LYR_CALL UnlockIndices() = 0;
  // One attribute id per patch, in index-buffer order. Unless flags has kLockReadOnly, the
  // attribute table and the adjacency are discarded; the unlock then rebuilds the table, which
  // regroups the patches by attribute id (see BuildAttributeTable).
  virtual LyrResult LYR_CALL LockPatchAttributes(uint32_t flags, uint32_t** out) = 0;
  virtual LyrResult LYR_CALL UnlockPatchAttributes() = 0;
  // Triangles and vertices that tessellating at level would make.
  virtual LyrResult LYR_CALL TessellatedSize(float level, uint32_t adaptive, uint32_t* triangles,
                                             uint32_t* vertices) = 0;
  // Finds the neighbours of every patch: four per rectangle patch (edges: first row, last
  // column, last row, first column), three per N-patch triangle; triangle patches have none.
  // For rectangle patches tolerance bounds the mirror test of derivative elements; for N-patches
  // it is the distance within which control vertices count as one point (0: bit-equal).
  virtual LyrResult LYR_CALL BuildPatchAdjacency(float tolerance) = 0;
  // A copy with another declaration (vertices converted), on the same device.
  virtual LyrResult LYR_CALL ClonePatchMesh(uint32_t options, const VertexElement* declaration,
                                            PatchMesh** out) = 0;
  // Does nothing: patches keep their order.
  virtual LyrResult LYR_CALL Optimize(uint32_t flags, uint32_t* faceRemap) = 0;
  // Sets (texture non-null) or clears the displacement texture and its sampling settings. The
  // level-of-detail bias is accepted and not kept.
  virtual LyrResult LYR_CALL SetDisplacement(Texture* texture, uint32_t minFilter,
                                             uint32_t magFilter, uint32_t mipFilter, uint32_t wrap,
                                             uint32_t lodBias) = 0;
  // The settings (the texture with a reference added, a bias of 0); ErrFail without a texture.
  virtual LyrResult LYR_CALL GetDisplacement(Texture** texture, uint32_t* minFilter,
                                             uint32_t* magFilter, uint32_t* mipFilter,
                                             uint32_t* wrap, uint32_t* lodBias) = 0;
  // Tessellates every patch into `mesh`, which the caller made with room for the result.
  virtual LyrResult LYR_CALL TessellateUniform(float level, Mesh* mesh) = 0;
  virtual LyrResult LYR_CALL TessellateByDistance(const Vector4* transform, float maxLevel,
                                                  float minLevel, Mesh* mesh) = 0;
  // Groups the patches by attribute id (ids in order of first appearance, patches of one id in
  // their old order), moving their indices, attribute ids and adjacency rows together, and
  // records one attribute-table entry per id.
  virtual LyrResult LYR_CALL BuildAttributeTable() = 0;

 protected:
  ~PatchMesh() = default;
};

// Control vertices of one patch of that kind; ErrInvalidCall for a kind that does not exist.
LyrResult ControlPointsPerPatchOf(const PatchInfo& info, uint32_t* out);

// Makes a PatchMesh of patchCount patches and vertexCount control vertices. A null info is
// ErrFail; zero counts, a null declaration, device or out, non-zero options, a declaration of
// more than kMaxPatchElements elements or an unknown patch kind are ErrInvalidCall; device
// failures are returned unchanged. Every attribute id starts at 0; *out is set only on success.
LyrResult CreatePatchMesh(const PatchInfo* info, uint32_t patchCount, uint32_t vertexCount,
                          uint32_t options, const VertexElement* declaration,
                          GraphicsDevice* device, PatchMesh** out);

}  // namespace lyr
