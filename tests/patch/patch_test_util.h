// Patch meshes made from plain arrays, patch data objects written as Vek text, and the loaded
// results read back, for the patch tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/patch.h"
#include "patch/patch_impl.h"
#include "patch/patch_load.h"
#include "support/ref_device.h"
#include "vekio/vek_component.h"

namespace lyr::test {

inline constexpr VertexElement kPositionOnly[] = {
    {0, 0, ElementType::F32x3, ElementMethod::Default, ElementUsage::Position, 0}, kEndElement};

// A PatchMesh of the given kind whose vertices are the positions (three floats each, written
// into the declaration's position) and whose index buffer holds `indices`.
inline Ref<PatchMesh> MakePatchMesh(GraphicsDevice* device, PatchInfo info,
                                    const std::vector<float>& positions,
                                    const std::vector<uint16_t>& indices,
                                    const VertexElement* decl = kPositionOnly) {
  uint32_t cp = 0;
  EXPECT_EQ(ControlPointsPerPatchOf(info, &cp), Ok);
  Ref<PatchMesh> mesh;
  EXPECT_EQ(
      CreatePatchMesh(&info, static_cast<uint32_t>(indices.size() / cp),
                      static_cast<uint32_t>(positions.size() / 3), 0, decl, device, mesh.put()),
      Ok);
  if (!mesh) return mesh;
  void* p = nullptr;
  EXPECT_EQ(mesh->LockVertices(0, &p), Ok);
  VertexAccessor a;
  AttachDeclaration(a, decl);
  AttachStream(a, 0, p, 0);
  const VertexElement* position = FindElement(decl, ElementUsage::Position, 0);
  for (size_t v = 0; v < positions.size() / 3; ++v)
    WriteElement(a, position, static_cast<uint32_t>(v), &positions[v * 3], 3);
  mesh->UnlockVertices();
  EXPECT_EQ(mesh->LockIndices(0, &p), Ok);
  std::memcpy(p, indices.data(), indices.size() * 2);
  mesh->UnlockIndices();
  return mesh;
}

inline std::vector<uint16_t> IndicesOf(PatchMesh* mesh) {
  void* p = nullptr;
  EXPECT_EQ(mesh->LockIndices(kLockReadOnly, &p), Ok);
  const auto* i = static_cast<const uint16_t*>(p);
  std::vector<uint16_t> out(i, i + size_t(mesh->GetPatchCount()) * mesh->ControlPointsPerPatch());
  mesh->UnlockIndices();
  return out;
}

inline std::vector<uint32_t> AttributesOf(PatchMesh* mesh) {
  uint32_t* ids = nullptr;
  EXPECT_EQ(mesh->LockPatchAttributes(kLockReadOnly, &ids), Ok);
  std::vector<uint32_t> out(ids, ids + mesh->GetPatchCount());
  mesh->UnlockPatchAttributes();
  return out;
}

inline void SetAttributes(PatchMesh* mesh, const std::vector<uint32_t>& values) {
  uint32_t* ids = nullptr;
  ASSERT_EQ(mesh->LockPatchAttributes(0, &ids), Ok);
  std::copy(values.begin(), values.end(), ids);
  ASSERT_EQ(mesh->UnlockPatchAttributes(), Ok);
}

inline std::vector<uint32_t> AdjacencyOf(PatchMesh* mesh) {
  const Vector<uint32_t>& a = GetPatchMeshInternal(mesh)->Adjacency();
  return std::vector<uint32_t>(a.begin(), a.end());
}

// Vek text of a data object of `templ` holding the given patches, with `children` appended.
// info null: a PatchMesh object (no type, degree, basis).
inline std::string PatchText(const PatchInfo* info, const std::vector<float>& positions,
                             const std::vector<std::vector<uint32_t>>& patches,
                             const std::string& children = "") {
  std::ostringstream s;
  s.precision(9);
  s << "vkf 0303txt 0032\n" << (info ? "PatchMesh9" : "PatchMesh") << " {\n";
  if (info) s << info->type << "; " << info->degree << "; " << info->basis << ";\n";
  s << positions.size() / 3 << ";\n";
  for (size_t v = 0; v < positions.size() / 3; ++v) {
    s << positions[v * 3] << ";" << positions[v * 3 + 1] << ";" << positions[v * 3 + 2] << ";"
      << (v + 1 < positions.size() / 3 ? "," : ";") << "\n";
  }
  s << patches.size() << ";\n";
  for (size_t p = 0; p < patches.size(); ++p) {
    s << patches[p].size() << ";";
    for (size_t i = 0; i < patches[p].size(); ++i)
      s << patches[p][i] << (i + 1 < patches[p].size() ? "," : ";");
    s << (p + 1 < patches.size() ? "," : ";") << "\n";
  }
  s << children << "\n}\n";
  return s.str();
}

struct Teapot {
  std::vector<float> positions;
  std::vector<std::vector<uint32_t>> patches;
};

// The teapot's 32 bicubic patches from the shared data folder.
inline Teapot ReadTeapot() {
  Teapot t;
  std::ifstream in(std::string(LYR_SHARED_DATA_DIR) + "/patches/teapot_32patches.txt");
  std::string word;
  while (in >> word) {
    if (word == "patches") {
      size_t n = 0;
      in >> n;
      t.patches.assign(n, std::vector<uint32_t>(16));
      for (auto& p : t.patches)
        for (uint32_t& i : p) in >> i;
    } else if (word == "vertices") {
      size_t n = 0;
      in >> n;
      t.positions.resize(n * 3);
      for (float& f : t.positions) in >> f;
    } else {
      std::getline(in, word);  // a comment line
    }
  }
  return t;
}

// Everything LoadPatchMeshes hands out, released on destruction.
struct LoadedPatches {
  PatchMesh* meshes[kMaxLoadedPatchMeshes] = {};
  uint32_t meshCount = 0;
  Ref<Buffer> materials, effects;
  uint32_t materialCount = 0;
  VekDataObject** unknown = nullptr;
  uint32_t unknownCount = 0;

  LoadedPatches() = default;
  LoadedPatches(const LoadedPatches&) = delete;
  LoadedPatches& operator=(const LoadedPatches&) = delete;
  ~LoadedPatches() { Reset(); }
  void Reset() {
    for (PatchMesh*& m : meshes) SafeRelease(m);
    meshCount = materialCount = 0;
    materials = effects = {};
    for (uint32_t i = 0; i < unknownCount; ++i) unknown[i]->Release();
    Free(unknown);
    unknown = nullptr;
    unknownCount = 0;
  }
};

// The first top-level data object of Vek bytes.
inline LyrResult ParseFirst(const std::string& bytes, VekDataObject** out) {
  Ref<VekFile> file;
  LyrResult r = vekio::CreateVekFileWithTemplates(file.put());
  if (Failed(r)) return r;
  VekMemorySource source{bytes.data(), bytes.size()};
  Ref<VekEnumeration> e;
  if (Failed(r = file->OpenEnumeration(&source, kVekSourceMemory, e.put()))) return r;
  return e->NextTopLevelObject(out);
}

inline LyrResult LoadObject(GraphicsDevice* device, VekDataObject* object, LoadedPatches* out) {
  out->Reset();
  return LoadPatchMeshes(object, 0, device, out->materials.put(), out->effects.put(),
                         &out->materialCount, out->meshes, &out->meshCount, false, &out->unknown,
                         &out->unknownCount);
}

inline LyrResult LoadText(GraphicsDevice* device, const std::string& text, LoadedPatches* out) {
  Ref<VekDataObject> object;
  LyrResult r = ParseFirst(text, object.put());
  EXPECT_EQ(r, Ok) << text;
  if (Failed(r)) return r;
  return LoadObject(device, object.get(), out);
}

}  // namespace lyr::test

namespace lyr::test {

// The triangles a tessellation wrote, with each face's attribute id and each vertex's position.
struct Surface {
  std::vector<std::array<float, 3>> positions;
  std::vector<std::array<uint32_t, 3>> triangles;
  std::vector<uint32_t> ids;
  uint32_t stride = 0;
  std::vector<uint8_t> vertexBytes;
};

inline Surface ReadSurface(Mesh* mesh) {
  Surface s;
  VertexElement decl[MaxElementEntries];
  EXPECT_EQ(mesh->CopyDeclaration(decl), Ok);
  s.stride = mesh->GetVertexStride();
  void* p = nullptr;
  EXPECT_EQ(mesh->LockVertices(kLockReadOnly, &p), Ok);
  const auto* bytes = static_cast<const uint8_t*>(p);
  s.vertexBytes.assign(bytes, bytes + size_t(mesh->GetVertexCount()) * s.stride);
  const VertexElement* position = FindElement(decl, ElementUsage::Position, 0);
  for (uint32_t v = 0; v < mesh->GetVertexCount(); ++v) {
    std::array<float, 3> x;
    std::memcpy(x.data(), bytes + size_t(v) * s.stride + position->offset, 12);
    s.positions.push_back(x);
  }
  mesh->UnlockVertices();
  EXPECT_EQ(mesh->LockIndices(kLockReadOnly, &p), Ok);
  const bool wide = mesh->GetOptionBits() & MeshOptions::Index32;
  for (uint32_t f = 0; f < mesh->GetFaceCount(); ++f) {
    std::array<uint32_t, 3> t;
    for (int k = 0; k < 3; ++k)
      t[k] = wide ? static_cast<const uint32_t*>(p)[f * 3 + k]
                  : static_cast<const uint16_t*>(p)[f * 3 + k];
    s.triangles.push_back(t);
  }
  mesh->UnlockIndices();
  uint32_t* ids = nullptr;
  EXPECT_EQ(mesh->LockAttributeIds(kLockReadOnly, &ids), Ok);
  s.ids.assign(ids, ids + mesh->GetFaceCount());
  mesh->UnlockAttributeIds();
  return s;
}

// A Mesh with room for tessellating `patches` at `level`.
inline Ref<Mesh> MakeOutput(GraphicsDevice* device, PatchMesh* patches, float level, bool adaptive,
                            bool wide = false) {
  uint32_t faces = 0, vertices = 0;
  EXPECT_EQ(patches->TessellatedSize(level, adaptive, &faces, &vertices), Ok);
  Ref<Mesh> mesh;
  EXPECT_EQ(CreateMesh(faces, vertices,
                       MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory |
                           (wide ? MeshOptions::Index32 : 0),
                       GetPatchMeshInternal(patches)->TessellationLayout(), device, mesh.put()),
            Ok);
  return mesh;
}

// Cracks between groups of faces (a group: the faces of one attribute id, or `group` when
// given). Each group's open edges are those used by one of its triangles only. A vertex of a
// group's open edge that lies within `near` of another group's open edge must equal a vertex of
// that edge bit for bit; otherwise the two surfaces meet with a gap or a T-junction. Returns
// the number of such vertices (each reported once).
inline size_t CountCracks(const Surface& s, float near = 1e-4f,
                          const std::vector<uint32_t>* group = nullptr) {
  using Key = std::array<uint32_t, 3>;
  auto key = [&](uint32_t v) {
    Key k;
    std::memcpy(k.data(), s.positions[v].data(), 12);
    return k;
  };
  const std::vector<uint32_t>& g = group ? *group : s.ids;
  std::map<uint32_t, std::map<std::pair<Key, Key>, int>> edges;
  for (size_t f = 0; f < s.triangles.size(); ++f) {
    for (int e = 0; e < 3; ++e) {
      Key a = key(s.triangles[f][e]), b = key(s.triangles[f][(e + 1) % 3]);
      if (b < a) std::swap(a, b);
      ++edges[g[f]][{a, b}];
    }
  }
  std::map<uint32_t, std::vector<std::pair<Key, Key>>> open;
  for (auto& [id, m] : edges)
    for (auto& [e, n] : m)
      if (n == 1) open[id].push_back(e);
  auto point = [](const Key& k) {
    std::array<double, 3> x;
    for (int i = 0; i < 3; ++i) {
      float f;
      std::memcpy(&f, &k[i], 4);
      x[i] = f;
    }
    return x;
  };
  auto distance = [&](const Key& pk, const Key& ak, const Key& bk) {
    auto p = point(pk), a = point(ak), b = point(bk);
    double ab[3], ap[3], t = 0, len = 0;
    for (int i = 0; i < 3; ++i) ab[i] = b[i] - a[i], ap[i] = p[i] - a[i];
    for (int i = 0; i < 3; ++i) t += ab[i] * ap[i], len += ab[i] * ab[i];
    t = len > 0 ? std::clamp(t / len, 0.0, 1.0) : 0;
    double d = 0;
    for (int i = 0; i < 3; ++i) d += (ap[i] - t * ab[i]) * (ap[i] - t * ab[i]);
    return std::sqrt(d);
  };
  std::set<Key> cracked;
  for (auto& [g1, e1] : open) {
    std::set<Key> mine;
    for (auto& [a, b] : e1) mine.insert(a), mine.insert(b);
    for (auto& [g2, e2] : open) {
      if (g1 == g2) continue;
      std::set<Key> theirs;
      for (auto& [a, b] : e2) theirs.insert(a), theirs.insert(b);
      for (const Key& v : mine) {
        if (theirs.count(v)) continue;
        for (auto& [a, b] : e2) {
          if (distance(v, a, b) < near) {
            cracked.insert(v);
            break;
          }
        }
      }
    }
  }
  return cracked.size();
}

}  // namespace lyr::test
