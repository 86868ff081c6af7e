// The mesh data writer: turns a Mesh with its materials, effect instances, adjacency, progressive
// data and skin information into a tree of Vek data objects that the mesh data loader reads back.
// The hierarchy saver calls it for every mesh container; the progressive-mesh file writer calls
// WriteMeshData directly.
#pragma once

#include "core/alloc.h"
#include "lyr/frame.h"
#include "lyr/material.h"
#include "lyr/mesh.h"
#include "lyr/vekfile.h"

namespace lyr::vekio {

// The strings one save copies into its data blocks. Every copy lives until the list goes, that is
// until the whole save ends, so that a block handed to the component never outlives its strings.
class SaveStrings {
 public:
  SaveStrings() = default;
  SaveStrings(const SaveStrings&) = delete;
  SaveStrings& operator=(const SaveStrings&) = delete;
  ~SaveStrings();
  // Stores a copy of text in *out (null stays null). The copy is exact in every save format: the
  // component escapes backslashes and quotes itself when it writes text. ErrOutOfMemory.
  LyrResult Copy(const char* text, const char** out);
  // The same for a string of at most `limit` bytes that need not be terminated within them: the
  // copy ends at the first zero byte or after `limit` bytes.
  LyrResult Copy(const char* text, size_t limit, const char** out);
  size_t size() const { return copies_.size(); }

 private:
  LyrResult Store(const char* text, size_t length, const char** out);
  Vector<char*> copies_;
};

// What every writer call of one save shares.
struct SaveContext {
  VekSaveObject* save = nullptr;
  uint32_t format = kVekFormatText;  // the save's format code, 0 to 3
  SaveStrings* strings = nullptr;
};

// Writes mesh as a Mesh data object (named `name`, which may be null) with its children: normals,
// texture coordinates, vertex colours, the material list, adjacency (FaceAdjacency when pmInfo is
// given, else VertexDuplicationIndices), the vertex data the other children do not carry (FVFData
// or DeclData) and the PMInfo block. The object is handed back through *out, not yet added to
// any parent.
//
// ErrInvalidCall, before anything is written, when: save, strings, mesh or out is missing; a
// material count above 0 comes with neither materials nor effect instances; the Mesh's buffers
// are write-only; a face's attribute id is not below a non-zero material count; the declaration
// has no three-float position; or the Mesh is too large for a data block. Allocation failures give
// ErrOutOfMemory, component and buffer failures their own codes. On any failure every lock is
// undone, every object made is released and *out is null. The numeric locale is "C" while it runs.
LyrResult WriteMeshData(const SaveContext& context, Mesh* mesh, const char* name,
                        const uint32_t* adjacency, const Material* materials,
                        const EffectInstance* effects, uint32_t materialCount, const void* pmInfo,
                        uint32_t pmInfoSize, VekDataObject** out);

// Writes a skinned container: a container of type MeshTypeMesh whose skinInfo is set becomes a
// Mesh object (with the container's name, adjacency and materials) followed by a
// VekSkinMeshHeader and one SkinWeights per bone, added to `frame`. A skinned container of any
// other type writes nothing and succeeds. ErrInvalidCall for a missing container, frame or mesh,
// for a container without skin information, and for more bones than the header can count (65535).
LyrResult WriteSkinnedMesh(const SaveContext& context, const MeshContainer* container,
                           VekDataObject* frame);

// Writes a patch mesh as a PatchMesh9 data object (named `name`, which may be null): its patch
// description, control points and patches, then the normals, texture coordinates, vertex
// colours, material list and remaining vertex data as for a Mesh, with patches in place of faces.
// Never adjacency or PMInfo. The checks and failures are those of WriteMeshData, without the
// write-only and attribute-id checks.
LyrResult WritePatchMeshData(const SaveContext& context, PatchMesh* patchMesh, const char* name,
                             const Material* materials, const EffectInstance* effects,
                             uint32_t materialCount, VekDataObject** out);

}  // namespace lyr::vekio
