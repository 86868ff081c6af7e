// Loading Mesh data objects of Vek text or binary through the real component, and reading the
// resulting Mesh back, for the mesh data loader tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/material.h"
#include "mesh/mesh_load.h"
#include "support/ref_device.h"
#include "vekio/vek_component.h"

namespace lyr::test {

inline std::string MeshLoadData(const std::string& name) {
  std::ifstream in(std::string(LYR_TEST_DATA_DIR) + "/meshload/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_FALSE(s.str().empty()) << name;
  return s.str();
}

// Everything LoadMeshData hands out, released on destruction.
struct Loaded {
  Ref<Mesh> mesh;
  Ref<Buffer> adjacency, materials, effects;
  Ref<SkinInfo> skin;
  uint32_t materialCount = 0;
  void* pm = nullptr;
  uint32_t pmSize = 0;
  VekDataObject** unknown = nullptr;
  uint32_t unknownCount = 0;

  Loaded() = default;
  Loaded(const Loaded&) = delete;
  Loaded& operator=(const Loaded&) = delete;
  ~Loaded() { Reset(); }
  void Reset() {
    mesh = {};
    adjacency = materials = effects = {};
    skin = {};
    Free(pm);
    pm = nullptr;
    for (uint32_t i = 0; i < unknownCount; ++i) unknown[i]->Release();
    Free(unknown);
    unknown = nullptr;
    unknownCount = materialCount = pmSize = 0;
  }

  const uint32_t* Adjacency() const { return static_cast<const uint32_t*>(adjacency->GetBytes()); }
  const Material* Materials() const { return static_cast<const Material*>(materials->GetBytes()); }
  const EffectInstance* Effects() const {
    return static_cast<const EffectInstance*>(effects->GetBytes());
  }
};

// The first top-level Mesh object of a Vek file in memory (text or binary).
inline LyrResult FirstObject(const std::string& bytes, VekDataObject** out) {
  Ref<VekFile> file;
  LyrResult r = vekio::CreateVekFileWithTemplates(file.put());
  if (Failed(r)) return r;
  VekMemorySource source{bytes.data(), bytes.size()};
  Ref<VekEnumeration> e;
  if (Failed(r = file->OpenEnumeration(&source, kVekSourceMemory, e.put()))) return r;
  for (;;) {
    Ref<VekDataObject> o;
    if (Failed(r = e->NextTopLevelObject(o.put()))) return r;
    const Guid* id = nullptr;
    if (Succeeded(o->ReadTemplateId(&id)) && *id == vekio::tid::kMesh) {
      *out = o.detach();
      return Ok;
    }
  }
}

// Loads the first top-level object with every output asked for.
inline LyrResult LoadAll(GraphicsDevice* device, const std::string& bytes, Loaded* out) {
  out->Reset();
  Ref<VekDataObject> object;
  LyrResult r = FirstObject(bytes, object.put());
  if (Failed(r)) return r;
  return LoadMeshData(object.get(), 0, device, out->adjacency.put(), out->materials.put(),
                      out->effects.put(), &out->materialCount, out->skin.put(), out->mesh.put(),
                      &out->pm, &out->pmSize, &out->unknown, &out->unknownCount);
}

// A text file holding one Mesh object whose body is `body`.
inline std::string TextMesh(const std::string& body) {
  return "vkf 0303txt 0032\nMesh {\n" + body + "\n}\n";
}

// The Mesh's vertices and indices as plain arrays.
struct MeshContents {
  std::vector<uint8_t> vertices;
  uint32_t stride = 0;
  std::vector<uint32_t> indices;
  std::vector<uint32_t> attributes;
  VertexElement decl[MaxElementEntries];

  const float* At(uint32_t vertex, ElementUsage usage, uint8_t index = 0) const {
    const VertexElement* e = FindElement(decl, usage, index);
    if (!e) return nullptr;
    return reinterpret_cast<const float*>(vertices.data() + size_t(vertex) * stride + e->offset);
  }
  uint32_t Color(uint32_t vertex) const {
    uint32_t c;
    std::memcpy(&c, At(vertex, ElementUsage::Color), 4);
    return c;
  }
};

inline MeshContents ReadBack(Mesh* mesh) {
  MeshContents c;
  EXPECT_EQ(mesh->CopyDeclaration(c.decl), Ok);
  c.stride = mesh->GetVertexStride();
  const uint32_t nv = mesh->GetVertexCount(), nf = mesh->GetFaceCount();
  void* p = nullptr;
  EXPECT_EQ(mesh->LockVertices(kLockReadOnly, &p), Ok);
  c.vertices.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + size_t(nv) * c.stride);
  mesh->UnlockVertices();
  EXPECT_EQ(mesh->LockIndices(kLockReadOnly, &p), Ok);
  for (uint32_t i = 0; i < nf * 3; ++i) {
    c.indices.push_back((mesh->GetOptionBits() & MeshOptions::Index32)
                            ? static_cast<uint32_t*>(p)[i]
                            : static_cast<uint16_t*>(p)[i]);
  }
  mesh->UnlockIndices();
  uint32_t* ids = nullptr;
  EXPECT_EQ(mesh->LockAttributeIds(kLockReadOnly, &ids), Ok);
  c.attributes.assign(ids, ids + nf);
  mesh->UnlockAttributeIds();
  return c;
}

}  // namespace lyr::test
