// Frame hierarchies: the Frame and MeshContainer records that the host allocates, the callback
// table through which the library asks the host for them, and the exported tree operations.
//
// Every tree operation works on the frame it is given together with that frame's whole chain of
// next siblings and all of their descendants. The visiting order is that of
//   Walk(f) = f itself; Walk(f.nextSibling); Walk(f.firstChild)
// (and, for destruction, the frame itself last), so for the children A, B, C of one parent:
// A, B, C, C's descendants, B's descendants, A's descendants.
//
// The walks use no call stack per frame and allocate nothing, so sibling chains and depths of any
// length are fine. While a walk runs, the links of the frames between the starting frame and the
// current one are temporarily turned around (pointing back up the path); every link is restored
// before the operation returns, whatever the outcome, and each frame handed to a callback has its
// own links as the host set them. Trees must not contain cycles or frames linked twice.
//
// Provided by: the shared library libLyr9abAnim.so (CMake target Lyr9abAnim::Lyr9abAnim), whose
// exported Lyr... functions with C linkage are declared here; the static library has them too.
#pragma once

#include "lyr/anim.h"
#include "lyr/math.h"
#include "lyr/result.h"

namespace lyr {

// Defined by the mesh, progressive-mesh, patch-mesh and skinning parts of the library.
struct Mesh;
struct ProgressiveMesh;
struct PatchMesh;
struct SkinInfo;
struct Material;
struct EffectInstance;
struct MeshContainer;

// A node of a frame tree. The library reads and writes only these fields, in this order, so a
// host may place them at the start of a larger record of its own.
struct Frame {
  char* name;                     // owned by the host; may be null
  Matrix matrix;                  // relative to the parent; an animation controller writes into it
  MeshContainer* meshContainers;  // first container; the rest follow through `next`
  Frame* nextSibling;
  Frame* firstChild;
};

// Kinds of the object in MeshData::mesh and MeshContainer::mesh.
inline constexpr uint32_t MeshTypeMesh = 1;
inline constexpr uint32_t MeshTypeProgressiveMesh = 2;
inline constexpr uint32_t MeshTypePatchMesh = 3;

// A mesh object together with its kind.
struct MeshData {
  uint32_t meshType;
  union {
    Mesh* mesh;
    ProgressiveMesh* progressiveMesh;
    PatchMesh* patchMesh;
  };
};

// The geometry attached to a frame. The host allocates it and holds one reference on the mesh and
// on the skin information.
struct MeshContainer {
  char* name;  // name of the mesh data object it came from; may be null
  uint32_t meshType;
  union {
    Mesh* mesh;
    ProgressiveMesh* progressiveMesh;
    PatchMesh* patchMesh;
  };
  Material* materials;              // materialCount records, may be null
  EffectInstance* effectInstances;  // materialCount records, may be null
  uint32_t materialCount;
  uint32_t* adjacency;  // three entries per face; null for patch meshes
  SkinInfo* skinInfo;   // may be null
  MeshContainer* next;  // next container of the same frame
};

#if UINTPTR_MAX == 0xFFFFFFFF
static_assert(sizeof(Frame) == 80 && offsetof(Frame, matrix) == 4 &&
              offsetof(Frame, meshContainers) == 68 && offsetof(Frame, nextSibling) == 72 &&
              offsetof(Frame, firstChild) == 76);
static_assert(sizeof(MeshData) == 8 && offsetof(MeshData, mesh) == 4);
static_assert(sizeof(MeshContainer) == 36 && offsetof(MeshContainer, meshType) == 4 &&
              offsetof(MeshContainer, mesh) == 8 && offsetof(MeshContainer, materials) == 12 &&
              offsetof(MeshContainer, effectInstances) == 16 &&
              offsetof(MeshContainer, materialCount) == 20 &&
              offsetof(MeshContainer, adjacency) == 24 && offsetof(MeshContainer, skinInfo) == 28 &&
              offsetof(MeshContainer, next) == 32);
#else
static_assert(sizeof(Frame) == 96 && offsetof(Frame, matrix) == 8 &&
              offsetof(Frame, meshContainers) == 72 && offsetof(Frame, nextSibling) == 80 &&
              offsetof(Frame, firstChild) == 88);
static_assert(sizeof(MeshData) == 16 && offsetof(MeshData, mesh) == 8);
static_assert(sizeof(MeshContainer) == 72 && offsetof(MeshContainer, mesh) == 16 &&
              offsetof(MeshContainer, materialCount) == 40 && offsetof(MeshContainer, next) == 64);
#endif

// The host's allocator of frames and mesh containers: a plain table of four operations (no
// reference counting). Each returns a result code; failures are passed on unchanged.
struct HierarchyAllocator {
  // Allocates a Frame. `name` is temporary (or null): the host copies it or leaves the name null.
  virtual LyrResult LYR_CALL NewFrame(const char* name, Frame** out) = 0;
  // Allocates a MeshContainer. The name, the MeshData record, the materials, the effect instances
  // and the adjacency are temporary: the host copies what it keeps. The library keeps no reference
  // on the mesh or the skin information (which may be null) after the call, so the host adds one
  // to each that it keeps.
  virtual LyrResult LYR_CALL NewMeshContainer(const char* name, const MeshData* meshData,
                                              const Material* materials,
                                              const EffectInstance* effectInstances,
                                              uint32_t materialCount, const uint32_t* adjacency,
                                              SkinInfo* skinInfo, MeshContainer** out) = 0;
  // Frees a Frame made by NewFrame, with the host's copy of its name.
  virtual LyrResult LYR_CALL DeleteFrame(Frame* frame) = 0;
  // Frees a MeshContainer made by NewMeshContainer, releasing what the host kept in it.
  virtual LyrResult LYR_CALL DeleteMeshContainer(MeshContainer* container) = 0;

 protected:
  ~HierarchyAllocator() = default;
};

}  // namespace lyr

extern "C" {

// Destroys the frame, its later siblings and all their descendants through the allocator: later
// siblings (with their subtrees) before the frame's own children, children before the frame's
// mesh containers (each container's `next` read before it is deleted), the frame itself last.
// The first failure of the allocator stops the walk and is returned; what was deleted stays
// deleted. A null frame or allocator gives ErrInvalidCall.
LYR_API LyrResult LYR_CALL LyrFrameDestroy(lyr::Frame* frame, lyr::HierarchyAllocator* allocator);

// Makes `child` (with any siblings it already has) the last child of `parent`. No check against
// cycles or frames linked elsewhere. A null argument gives ErrInvalidCall.
LYR_API LyrResult LYR_CALL LyrFrameAppendChild(lyr::Frame* parent, lyr::Frame* child);

// The first frame in walking order whose name pointer equals `name` (so a null name finds a
// frame without a name) or whose name equals it byte for byte; null when none, or for a null
// frame.
LYR_API lyr::Frame* LYR_CALL LyrFrameFind(lyr::Frame* frame, const char* name);

// Registers the matrix of every named frame, in walking order, as an output of the controller.
// The first failure stops the walk and is returned; earlier registrations stay. A null frame or
// controller gives ErrInvalidCall.
LYR_API LyrResult LYR_CALL LyrFrameRegisterNamedMatrices(lyr::Frame* frame,
                                                         lyr::AnimationController* controller);

// The number of frames with a non-null name (an empty name counts): exactly the frames that
// LyrFrameRegisterNamedMatrices registers. 0 for a null frame.
LYR_API uint32_t LYR_CALL LyrFrameNumNamedMatrices(lyr::Frame* frame);

}  // extern "C"
