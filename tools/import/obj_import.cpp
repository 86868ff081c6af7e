// OBJ import. The parser resolves the face corners; every index it hands back is checked again
// against the attribute arrays before it is read.
#include <tiny_obj_loader.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <sstream>
#include <tuple>

#include "import_util.h"
#include "lyr/material.h"
#include "lyr_import.h"

namespace lyr::import {

namespace {

LyrResult Import(const char* path, uint32_t meshOptions, GraphicsDevice* device,
                 HierarchyAllocator* allocator, ImportedScene* out, std::string& msg) {
  try {
    tinyobj::ObjReaderConfig config;
    config.triangulate = true;
    tinyobj::ObjReader reader;
    {
      std::ifstream probe(path);
      if (!probe) return msg = std::string("cannot read ") + path, ErrFileOpenFailed;
    }
    if (!reader.ParseFromFile(path, config)) {
      msg = reader.Error().empty() ? "not an OBJ file" : reader.Error();
      return ErrFail;
    }
    // The parser's warnings come as lines of one text; each distinct line is one warning.
    std::istringstream warned(reader.Warning());
    for (std::string line; std::getline(warned, line);)
      if (!line.empty() &&
          std::find(out->warnings.begin(), out->warnings.end(), line) == out->warnings.end())
        out->warnings.push_back(line);
    const tinyobj::attrib_t& at = reader.GetAttrib();
    const auto& mats = reader.GetMaterials();
    // Faces grouped by material; corners welded by their (position, normal, texcoord) indices.
    std::map<int, std::vector<std::array<tinyobj::index_t, 3>>> byMaterial;
    for (const tinyobj::shape_t& shape : reader.GetShapes()) {
      const auto& m = shape.mesh;
      size_t corner = 0;
      for (size_t f = 0; f < m.num_face_vertices.size(); ++f) {
        const size_t n = m.num_face_vertices[f];
        if (n != 3 || corner + 3 > m.indices.size())
          return msg = "a face is not a triangle", ErrFail;
        int mat = f < m.material_ids.size() ? m.material_ids[f] : -1;
        if (mat < -1 || mat >= static_cast<int>(mats.size())) mat = -1;
        byMaterial[mat].push_back(
            {m.indices[corner], m.indices[corner + 1], m.indices[corner + 2]});
        corner += 3;
      }
    }
    if (byMaterial.empty()) return msg = "the file has no faces", ErrFail;
    std::vector<ImportVertex> vertices;
    std::vector<uint32_t> indices, attributes;
    std::vector<AttributeRange> table;
    std::vector<Material> materials;
    std::vector<std::string> textures;
    std::map<std::tuple<int, int, int>, uint32_t> welded;
    float lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (const auto& [mat, faces] : byMaterial) {
      const uint32_t id = static_cast<uint32_t>(materials.size());
      const uint32_t firstFace = static_cast<uint32_t>(indices.size() / 3);
      welded.clear();  // each subset has its own vertices, so the table's ranges are exact
      const uint32_t firstVertex = static_cast<uint32_t>(vertices.size());
      for (const auto& face : faces)
        for (const tinyobj::index_t& c : face) {
          const auto key = std::make_tuple(c.vertex_index, c.normal_index, c.texcoord_index);
          auto it = welded.find(key);
          if (it == welded.end()) {
            if (c.vertex_index < 0 || 3 * size_t(c.vertex_index) + 2 >= at.vertices.size() ||
                (c.normal_index >= 0 && 3 * size_t(c.normal_index) + 2 >= at.normals.size()) ||
                (c.texcoord_index >= 0 && 2 * size_t(c.texcoord_index) + 1 >= at.texcoords.size()))
              return msg = "a face index is out of range", ErrFail;
            ImportVertex v{};
            for (int k = 0; k < 3; ++k) {
              v.position[k] = at.vertices[3 * c.vertex_index + k];
              lo[k] = std::fmin(lo[k], v.position[k]);
              hi[k] = std::fmax(hi[k], v.position[k]);
              if (c.normal_index >= 0) v.normal[k] = at.normals[3 * c.normal_index + k];
            }
            if (c.texcoord_index >= 0) {
              v.uv[0] = at.texcoords[2 * c.texcoord_index];
              v.uv[1] = at.texcoords[2 * c.texcoord_index + 1];
            }
            it = welded.emplace(key, static_cast<uint32_t>(vertices.size())).first;
            vertices.push_back(v);
          }
          indices.push_back(it->second);
        }
      if (at.normals.empty())
        SmoothNormals(indices.data() + 3 * size_t{firstFace}, 3 * faces.size(), firstVertex,
                      &vertices);
      attributes.insert(attributes.end(), faces.size(), id);
      table.push_back({id, firstFace, static_cast<uint32_t>(faces.size()), firstVertex,
                       static_cast<uint32_t>(vertices.size()) - firstVertex});
      Material m{};
      m.diffuse = {1, 1, 1, 1};
      std::string texture;
      if (mat >= 0) {
        const tinyobj::material_t& s = mats[mat];
        m.diffuse = {s.diffuse[0], s.diffuse[1], s.diffuse[2], s.dissolve};
        m.ambient = {s.ambient[0], s.ambient[1], s.ambient[2], 1};
        m.specular = {s.specular[0], s.specular[1], s.specular[2], 1};
        m.emissive = {s.emission[0], s.emission[1], s.emission[2], 1};
        m.power = s.shininess;
        texture = s.diffuse_texname;
      }
      materials.push_back(m);
      textures.push_back(texture);
    }
    for (size_t i = 0; i < materials.size(); ++i)
      materials[i].textureFilename =
          textures[i].empty() ? nullptr : const_cast<char*>(textures[i].c_str());
    Ref<Mesh> mesh;
    std::vector<uint32_t> adjacency;
    LyrResult r = BuildMesh(vertices, indices, attributes, table, meshOptions, device, mesh.put(),
                            &adjacency);
    if (Failed(r)) return r;
    std::string name(path);
    if (const size_t slash = name.find_last_of('/'); slash != std::string::npos)
      name.erase(0, slash + 1);
    if (const size_t dot = name.find_last_of('.'); dot != std::string::npos && dot > 0)
      name.erase(dot);
    Frame* frame = nullptr;
    if (Failed(r = allocator->NewFrame(name.c_str(), &frame))) return r;
    if (!frame) return ErrOutOfMemory;
    std::memset(&frame->matrix, 0, sizeof frame->matrix);
    for (int i = 0; i < 4; ++i) frame->matrix.m[i][i] = 1;
    frame->meshContainers = nullptr;
    frame->nextSibling = frame->firstChild = nullptr;
    std::vector<EffectInstance> effects(materials.size());
    MeshData data{};
    data.meshType = MeshTypeMesh;
    data.mesh = mesh.get();
    MeshContainer* c = nullptr;
    r = allocator->NewMeshContainer(name.c_str(), &data, materials.data(), effects.data(),
                                    static_cast<uint32_t>(materials.size()), adjacency.data(),
                                    nullptr, &c);
    if (Failed(r) || !c) {
      allocator->DeleteFrame(frame);
      return Failed(r) ? r : ErrOutOfMemory;
    }
    c->next = nullptr;
    frame->meshContainers = c;
    out->root = frame;
    float size = 0;
    for (int k = 0; k < 3; ++k) size = std::fmax(size, hi[k] - lo[k]);
    out->modelSize = size;
    return Ok;
  } catch (const std::bad_alloc&) {
    return msg = "out of memory", ErrOutOfMemory;
  } catch (const std::exception& e) {
    return msg = e.what(), ErrFail;
  }
}

}  // namespace

LyrResult ImportObj(const char* path, uint32_t meshOptions, GraphicsDevice* device,
                    HierarchyAllocator* allocator, ImportedScene* out, std::string* message) {
  std::string ignored;
  std::string& msg = message ? *message : ignored;
  msg.clear();
  if (!path || !device || !allocator || !out || out->root) return Explained(ErrInvalidCall, &msg);
  return Explained(Import(path, meshOptions, device, allocator, out, msg), &msg);
}

}  // namespace lyr::import
