// The children a mesh data object and a patch mesh data object have in common, written from one
// view of the locked geometry. A triangle mesh has three corners per face; a patch mesh the same
// number of control points per patch, so every child below takes "faces or patches" alike.
#pragma once

#include "lyr/material.h"
#include "lyr/vertex.h"
#include "vekio/mesh_write.h"

namespace lyr::vekio {

// The debug messages of the writer (they change no result).
inline constexpr char kMsgCreateFailed[] = "Failed to create vek file data object!";
inline constexpr char kMsgAddFailed[] = "Failed to add vek file data object!";
inline constexpr char kMsgOutOfMemory[] = "Out of memory!";

// Locked geometry of a mesh or patch mesh, read-only.
struct GeometryView {
  const uint8_t* vertices = nullptr;
  uint32_t stride = 0;
  uint32_t vertexCount = 0;
  const VertexElement* declaration = nullptr;  // stream 0 only, end marker included
  // The well-known elements, null when absent or of a type the children cannot carry.
  const VertexElement* position = nullptr;  // usage 0 index 0, F32x3
  const VertexElement* normal = nullptr;    // usage 3 index 0, F32x3, method default
  const VertexElement* color = nullptr;     // usage 10 index 0, F32x4 or ColorArgb8
  const VertexElement* texture = nullptr;   // usage 5 index 0, any type
  // Faces (or patches) of `corners` indices each; indices are 32-bit when wideIndices is set.
  const void* indices = nullptr;
  bool wideIndices = false;
  uint32_t faceCount = 0;
  uint32_t corners = 3;
  const uint32_t* attributes = nullptr;  // one id per face
  // Working memory the large blocks are built in, one after another (null: each its own).
  WorkVector<uint8_t>* scratch = nullptr;
  // The scratch holds the geometry block without header words (positions and faces).
  bool facesInScratch = false;
  // Whether MeshTextureCoords carries texture set 0 (it does when set 0 is two floats).
  bool TextureChildWritten() const { return texture && texture->type == ElementType::F32x2; }
  uint32_t Index(size_t i) const {
    return wideIndices ? static_cast<const uint32_t*>(indices)[i]
                       : static_cast<const uint16_t*>(indices)[i];
  }
};

// Finds the well-known elements of `declaration` (kept by pointer) into view.
void FindWellKnownElements(GeometryView* view, const VertexElement* declaration);

// NewDataObject of an unnamed child of the listed kinds, and AddChild of it to its parent, each
// sending its debug message when it fails. `child` may be null when the caller needs no handle.
LyrResult MakeChild(VekSaveObject* save, const Guid& templateId, const void* block, uint64_t size,
                    VekDataObject** child);
LyrResult AttachChild(VekDataObject* parent, VekDataObject* child);
LyrResult AddNewChild(VekSaveObject* save, VekDataObject* parent, const Guid& templateId,
                      const void* block, uint64_t size);

// Whether the geometry block (headerWords DWORDs, the positions and the faces) fits a data block.
bool GeometryFits(const GeometryView& view, uint32_t headerWords);
// The top-level object of a mesh or patch mesh: headerWords DWORDs (the patch description),
// nVertices and the positions, nFaces and per face its corner count and indices. Prints nothing.
LyrResult MakeGeometryObject(VekSaveObject* save, const Guid& templateId, const char* name,
                             const uint32_t* header, uint32_t headerWords, const GeometryView& view,
                             VekDataObject** out);

// MeshNormals, MeshTextureCoords and MeshVertexColors, each when the view has its element. The
// normals are read first, so that the caller may unlock the indices right after this call.
LyrResult WriteVertexChildren(const SaveContext& context, const GeometryView& view,
                              VekDataObject* parent);

// MeshMaterialList with one Material per material (with TextureFilename and EffectInstance
// children). With no materials given they are derived from the effect instances' defaults.
// Nothing is written for a count of 0.
LyrResult WriteMaterialList(const SaveContext& context, const GeometryView& view,
                            const Material* materials, const EffectInstance* effects,
                            uint32_t count, VekDataObject* parent);

// The vertex data no other child carries: FVFData when the declaration has a format code, else
// DeclData; nothing when nothing remains.
LyrResult WriteRemainingVertexData(const SaveContext& context, const GeometryView& view,
                                   VekDataObject* parent);

}  // namespace lyr::vekio
