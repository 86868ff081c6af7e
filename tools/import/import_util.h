// Small helpers shared by the importers: the vertex layout every imported Mesh has, and making
// such a Mesh from arrays.
#pragma once

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/mesh.h"

namespace lyr::import {

// Reads a whole file in one read (a character-by-character copy cost a seventh of a robot.glb
// import); false when it cannot be opened or read.
inline bool ReadWholeFile(const char* path, std::vector<char>* out) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff size = in.tellg();
  if (size < 0) return false;
  out->resize(static_cast<size_t>(size));
  in.seekg(0);
  return static_cast<bool>(in.read(out->data(), size));
}

// Every failure says what went wrong: one without a message of its own (the device's, the
// allocator's, the host's) gets the text of its code.
inline LyrResult Explained(LyrResult r, std::string* message) {
  if (Failed(r) && message->empty()) *message = ResultMessage(r);
  return r;
}

inline constexpr FormatCode kImportFormat = kFormatPosition | kFormatNormal | FormatTexCount(1);
struct ImportVertex {
  float position[3];
  float normal[3];
  float uv[2];
};

// Normals for faces whose file gives none: at each vertex the area-weighted sum of the normals of
// the faces around it, made unit length. The file's vertices stay as they are (no split into flat
// faces), so vertex counts and skin weights keep matching the file; a vertex of faces without
// area keeps a zero normal.
// The vertices to be given normals are those from `first` to the end.
inline void SmoothNormals(const uint32_t* indices, size_t count, size_t first,
                          std::vector<ImportVertex>* vertices) {
  std::vector<ImportVertex>& v = *vertices;
  for (size_t i = 0; i + 2 < count; i += 3) {
    const float* a = v[indices[i]].position;
    const float* b = v[indices[i + 1]].position;
    const float* c = v[indices[i + 2]].position;
    const float e[3] = {b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    const float f[3] = {c[0] - a[0], c[1] - a[1], c[2] - a[2]};
    // Twice the face's area times its unit normal, for counter-clockwise front faces.
    const float n[3] = {e[1] * f[2] - e[2] * f[1], e[2] * f[0] - e[0] * f[2],
                        e[0] * f[1] - e[1] * f[0]};
    for (size_t k = 0; k < 3; ++k)
      for (int j = 0; j < 3; ++j) v[indices[i + k]].normal[j] += n[j];
  }
  for (size_t i = first; i < v.size(); ++i) {
    float* n = v[i].normal;
    const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (length > 0)
      for (int j = 0; j < 3; ++j) n[j] /= length;
  }
}

// A Mesh of the import layout with the given triangles (indices < vertex count), one attribute
// id per face and the attribute table; 32-bit indices are added when the vertices need them.
// Also fills the adjacency (three entries per face). At least one face.
inline LyrResult BuildMesh(const std::vector<ImportVertex>& vertices,
                           const std::vector<uint32_t>& indices,
                           const std::vector<uint32_t>& attributes,
                           const std::vector<AttributeRange>& table, uint32_t options,
                           GraphicsDevice* device, Mesh** out, std::vector<uint32_t>* adjacency) {
  const bool wide = vertices.size() > 0xFFFF;
  Ref<Mesh> made;
  LyrResult r = CreateMeshFromFormatCode(
      static_cast<uint32_t>(indices.size() / 3), static_cast<uint32_t>(vertices.size()),
      options | (wide ? MeshOptions::Index32 : 0), kImportFormat, device, made.put());
  if (Failed(r)) return r;
  Mesh* mesh = made.get();
  void* p = nullptr;
  if (Failed(r = mesh->LockVertices(0, &p))) return r;
  std::memcpy(p, vertices.data(), vertices.size() * sizeof(ImportVertex));
  mesh->UnlockVertices();
  if (Failed(r = mesh->LockIndices(0, &p))) return r;
  if (mesh->GetOptionBits() & MeshOptions::Index32) {
    std::memcpy(p, indices.data(), indices.size() * 4);
  } else {
    for (size_t i = 0; i < indices.size(); ++i)
      static_cast<uint16_t*>(p)[i] = static_cast<uint16_t>(indices[i]);
  }
  mesh->UnlockIndices();
  uint32_t* ids = nullptr;
  if (Failed(r = mesh->LockAttributeIds(0, &ids))) return r;
  std::memcpy(ids, attributes.data(), attributes.size() * 4);
  mesh->UnlockAttributeIds();
  if (Failed(r = mesh->ReplaceAttributeTable(table.data(), static_cast<uint32_t>(table.size()))))
    return r;
  adjacency->resize(indices.size());
  if (Failed(r = mesh->AdjacencyFromPointReps(nullptr, adjacency->data()))) return r;
  *out = made.detach();
  return Ok;
}

}  // namespace lyr::import
