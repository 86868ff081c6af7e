// Small helpers shared by the importers: the vertex layout every imported Mesh has, and making
// such a Mesh from arrays.
#pragma once

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
