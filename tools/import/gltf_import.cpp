// glTF 2.0 import. The parser checks the JSON; every accessor, buffer view and index is checked
// again here before it is read, so a file that points past its buffers gives a message, never a
// read outside them.
//
// Conventions. glTF stores column-major matrices for column vectors (p' = M p); the library uses
// row vectors (p' = p M). The library's matrix is the transpose, which is the glTF array of
// sixteen numbers read in order as rows. A node's T * R * S becomes S * R' * T' in row form.
// Coordinates are taken as they stand (no change of handedness), so world matrices and skinned
// positions equal those of the glTF scene.
#include <tiny_gltf.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <utility>

#include "core/object_impl.h"
#include "import_util.h"
#include "lyr/material.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "lyr_import.h"

namespace lyr::import {
namespace {

using tinygltf::Model;

// A checked view of an accessor's elements.
struct AccessorView {
  const uint8_t* base = nullptr;
  size_t stride = 0;
  size_t count = 0;
  int componentType = 0;
  int components = 0;
  bool normalized = false;

  // Indices and joint numbers: unsigned integers, not normalised, so every value Get gives is a
  // whole number in [0, 2^32).
  bool WholeNumbers() const {
    return !normalized && (componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE ||
                           componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT ||
                           componentType == TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT);
  }

  double Get(size_t i, int c) const {
    const uint8_t* p = base + i * stride;
    switch (componentType) {
      case TINYGLTF_COMPONENT_TYPE_FLOAT: {
        float v;
        std::memcpy(&v, p + 4 * c, 4);
        return v;
      }
      case TINYGLTF_COMPONENT_TYPE_BYTE: {
        const double v = static_cast<int8_t>(p[c]);
        return normalized ? std::fmax(v / 127.0, -1.0) : v;
      }
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
        return normalized ? p[c] / 255.0 : p[c];
      case TINYGLTF_COMPONENT_TYPE_SHORT: {
        int16_t v;
        std::memcpy(&v, p + 2 * c, 2);
        return normalized ? std::fmax(v / 32767.0, -1.0) : v;
      }
      case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT: {
        uint16_t v;
        std::memcpy(&v, p + 2 * c, 2);
        return normalized ? v / 65535.0 : v;
      }
      default: {
        uint32_t v;
        std::memcpy(&v, p + 4 * c, 4);
        return v;
      }
    }
  }
};

int ComponentSize(int type) {
  switch (type) {
    case TINYGLTF_COMPONENT_TYPE_BYTE:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_BYTE:
      return 1;
    case TINYGLTF_COMPONENT_TYPE_SHORT:
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_SHORT:
      return 2;
    case TINYGLTF_COMPONENT_TYPE_UNSIGNED_INT:
    case TINYGLTF_COMPONENT_TYPE_FLOAT:
      return 4;
    default:
      return 0;
  }
}

int ComponentCount(int type) {
  switch (type) {
    case TINYGLTF_TYPE_SCALAR:
      return 1;
    case TINYGLTF_TYPE_VEC2:
      return 2;
    case TINYGLTF_TYPE_VEC3:
      return 3;
    case TINYGLTF_TYPE_VEC4:
    case TINYGLTF_TYPE_MAT2:
      return 4;
    case TINYGLTF_TYPE_MAT3:
      return 9;
    case TINYGLTF_TYPE_MAT4:
      return 16;
    default:
      return 0;
  }
}

// The state of one import: the parsed file, the messages and what has been made so far.
class GltfImporter {
 public:
  GltfImporter(const Model& model, uint32_t options, GraphicsDevice* device,
               HierarchyAllocator* allocator, ImportedScene* out)
      : m_(model), options_(options), device_(device), alloc_(allocator), out_(out) {}

  LyrResult Run();
  std::string message;

 private:
  LyrResult Fail(std::string why) {
    message = std::move(why);
    return ErrFail;
  }
  // An unsupported feature, reported once as "<feature> skipped".
  void Warn(const std::string& feature) {
    if (warned_.insert(feature).second) out_->warnings.push_back(feature + " skipped");
  }
  // Checks accessor `index` (of one of the allowed component counts) and makes its view.
  bool View(int index, std::initializer_list<int> components, const char* what, AccessorView* v);
  void NameNodes();
  LyrResult MakeFrames();
  LyrResult MakeMesh(int meshIndex);
  LyrResult MakeSkin(int meshIndex, int skinIndex, SkinInfo** out);
  LyrResult AttachMeshes();
  LyrResult MakeAnimations();
  // The file name under which image `index`, stored inside the file, is handed out with the
  // scene (empty when its bytes are not there).
  std::string EmbeddedImage(int index);

  struct ImportedMesh {
    Ref<Mesh> mesh;
    uint32_t vertexCount = 0;
    // The source primitive of every attribute id and the first vertex of each.
    std::vector<int> primitives;
    std::vector<uint32_t> firstVertex;
    std::vector<Material> materials;
    std::vector<std::string> textureNames;
    std::vector<uint32_t> adjacency;
    bool made = false;
  };

  const Model& m_;
  uint32_t options_;
  GraphicsDevice* device_;
  HierarchyAllocator* alloc_;
  ImportedScene* out_;
  std::set<std::string> warned_;
  std::vector<std::string> names_;
  std::vector<Frame*> frames_;  // per node; null for nodes outside the scene
  std::vector<ImportedMesh> meshes_;
  std::map<int, std::string> imageNames_;  // embedded image index -> file name handed out
  float minPos_[3] = {INFINITY, INFINITY, INFINITY}, maxPos_[3] = {-INFINITY, -INFINITY, -INFINITY};
};

std::string GltfImporter::EmbeddedImage(int index) {
  if (auto it = imageNames_.find(index); it != imageNames_.end()) return it->second;
  const tinygltf::Image& img = m_.images[index];
  std::vector<unsigned char> bytes = img.image;
  if (img.bufferView >= 0 && static_cast<size_t>(img.bufferView) < m_.bufferViews.size()) {
    const tinygltf::BufferView& view = m_.bufferViews[img.bufferView];
    if (view.buffer >= 0 && static_cast<size_t>(view.buffer) < m_.buffers.size()) {
      const std::vector<unsigned char>& data = m_.buffers[view.buffer].data;
      if (view.byteOffset <= data.size() && view.byteLength <= data.size() - view.byteOffset)
        bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(view.byteOffset),
                     data.begin() + static_cast<std::ptrdiff_t>(view.byteOffset + view.byteLength));
      else
        Warn("an image whose buffer view lies outside its buffer");
    }
  }
  std::string name;
  if (!bytes.empty()) {
    // The image's own name where it has one, kept to characters every file system takes.
    for (char c : img.name)
      if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_') name += c;
    if (name.empty()) name = "image" + std::to_string(index);
    for (const ImportedImage& other : out_->images)
      if (other.fileName.compare(0, name.size() + 1, name + ".") == 0) {
        name += "_" + std::to_string(index);
        break;
      }
    name += img.mimeType == "image/jpeg" ? ".jpg" : img.mimeType == "image/png" ? ".png" : ".img";
    out_->images.push_back({name, std::move(bytes)});
  }
  imageNames_.emplace(index, name);
  return name;
}

bool GltfImporter::View(int index, std::initializer_list<int> components, const char* what,
                        AccessorView* v) {
  const auto bad = [&](const std::string& why) {
    message = std::string(what) + ": accessor " + std::to_string(index) + " " + why;
    return false;
  };
  if (index < 0 || static_cast<size_t>(index) >= m_.accessors.size()) return bad("does not exist");
  const tinygltf::Accessor& a = m_.accessors[index];
  v->componentType = a.componentType;
  v->components = ComponentCount(a.type);
  v->normalized = a.normalized;
  v->count = a.count;
  const int size = ComponentSize(a.componentType);
  bool allowed = false;
  for (int c : components) allowed |= c == v->components;
  if (size == 0 || !allowed) return bad("has an unexpected type");
  if (a.sparse.isSparse) return bad("is sparse, which is not supported");
  const size_t element = static_cast<size_t>(size) * v->components;
  if (a.count == 0) return true;
  if (a.bufferView < 0 || static_cast<size_t>(a.bufferView) >= m_.bufferViews.size())
    return bad("has no buffer view");
  const tinygltf::BufferView& bv = m_.bufferViews[a.bufferView];
  if (bv.buffer < 0 || static_cast<size_t>(bv.buffer) >= m_.buffers.size())
    return bad("has a buffer view without a buffer");
  const std::vector<unsigned char>& data = m_.buffers[bv.buffer].data;
  if (bv.byteOffset > data.size() || bv.byteLength > data.size() - bv.byteOffset)
    return bad("has a buffer view past its buffer");
  v->stride = bv.byteStride ? bv.byteStride : element;
  if (v->stride < element) return bad("has a stride smaller than its elements");
  // Last byte read: byteOffset + stride * (count - 1) + element, all within the view.
  if (a.byteOffset > bv.byteLength || (a.count - 1) > (bv.byteLength - a.byteOffset) / v->stride ||
      v->stride * (a.count - 1) + element > bv.byteLength - a.byteOffset)
    return bad("reaches past its buffer view");
  v->base = data.data() + bv.byteOffset + a.byteOffset;
  return true;
}

void GltfImporter::NameNodes() {
  std::set<std::string> used;
  for (const auto& n : m_.nodes)
    if (!n.name.empty()) used.insert(n.name);
  // Unnamed nodes are "node<index>"; a name met a second time takes a "_<k>" suffix, so
  // animation channels and bones bind to exactly one frame.
  std::set<std::string> taken;
  names_.resize(m_.nodes.size());
  for (size_t i = 0; i < m_.nodes.size(); ++i) {
    const std::string base =
        m_.nodes[i].name.empty() ? "node" + std::to_string(i) : m_.nodes[i].name;
    std::string name = base;
    // A made-up name must not take the name another node has in the file.
    for (int k = 1; taken.count(name) || (name != m_.nodes[i].name && used.count(name)); ++k)
      name = base + "_" + std::to_string(k);
    taken.insert(name);
    names_[i] = name;
  }
}

Matrix NodeMatrix(const tinygltf::Node& n) {
  Matrix l{};
  if (n.matrix.size() == 16) {
    for (int i = 0; i < 16; ++i) l.m[i / 4][i % 4] = static_cast<float>(n.matrix[i]);
    return l;
  }
  double s[3] = {1, 1, 1}, t[3] = {0, 0, 0}, q[4] = {0, 0, 0, 1};
  if (n.scale.size() == 3) std::copy(n.scale.begin(), n.scale.end(), s);
  if (n.translation.size() == 3) std::copy(n.translation.begin(), n.translation.end(), t);
  if (n.rotation.size() == 4) std::copy(n.rotation.begin(), n.rotation.end(), q);
  const double x = q[0], y = q[1], z = q[2], w = q[3];
  const double r[3][3] = {{1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
                          {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
                          {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)}};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) l.m[i][j] = static_cast<float>(r[j][i] * s[i]);
    l.m[3][i] = static_cast<float>(t[i]);
  }
  l.m[3][3] = 1;
  return l;
}

LyrResult GltfImporter::MakeFrames() {
  std::vector<int> roots;
  if (!m_.scenes.empty()) {
    const size_t scene = m_.defaultScene >= 0 ? static_cast<size_t>(m_.defaultScene) : 0;
    if (scene >= m_.scenes.size()) return Fail("the default scene does not exist");
    roots = m_.scenes[scene].nodes;
  } else {
    std::vector<bool> isChild(m_.nodes.size());
    for (const auto& n : m_.nodes)
      for (int c : n.children)
        if (c >= 0 && static_cast<size_t>(c) < m_.nodes.size()) isChild[c] = true;
    for (size_t i = 0; i < m_.nodes.size(); ++i)
      if (!isChild[i]) roots.push_back(static_cast<int>(i));
  }
  if (roots.empty()) return Fail("the scene has no nodes");
  // Visit order: every node once; a node reached twice means the graph is not a tree.
  frames_.assign(m_.nodes.size(), nullptr);
  std::vector<int> order, stack(roots.rbegin(), roots.rend());
  std::vector<bool> seen(m_.nodes.size());
  while (!stack.empty()) {
    const int i = stack.back();
    stack.pop_back();
    if (i < 0 || static_cast<size_t>(i) >= m_.nodes.size())
      return Fail("node index " + std::to_string(i) + " out of range");
    if (seen[i]) return Fail("node " + std::to_string(i) + " has more than one parent");
    seen[i] = true;
    order.push_back(i);
    for (auto c = m_.nodes[i].children.rbegin(); c != m_.nodes[i].children.rend(); ++c)
      stack.push_back(*c);
  }
  const auto undo = [&](LyrResult r) {
    for (Frame*& f : frames_)
      if (f) alloc_->DeleteFrame(f), f = nullptr;
    return r;
  };
  const auto make = [&](const char* name, const Matrix& matrix, Frame** out) {
    const LyrResult r = alloc_->NewFrame(name, out);
    if (Failed(r)) return r;
    if (!*out) return ErrOutOfMemory;
    (*out)->matrix = matrix;
    (*out)->meshContainers = nullptr;
    (*out)->nextSibling = (*out)->firstChild = nullptr;
    return Ok;
  };
  for (int i : order) {
    const LyrResult r = make(names_[i].c_str(), NodeMatrix(m_.nodes[i]), &frames_[i]);
    if (Failed(r)) return undo(r);
  }
  for (int i : order) {
    Frame** link = &frames_[i]->firstChild;
    for (int c : m_.nodes[i].children) {
      *link = frames_[c];
      link = &frames_[c]->nextSibling;
    }
  }
  if (roots.size() == 1) {
    out_->root = frames_[roots[0]];
    return Ok;
  }
  Frame* top = nullptr;
  Matrix identity{};
  for (int i = 0; i < 4; ++i) identity.m[i][i] = 1;
  const LyrResult r = make(nullptr, identity, &top);
  if (Failed(r)) return undo(r);
  Frame** link = &top->firstChild;
  for (int c : roots) {
    *link = frames_[c];
    link = &frames_[c]->nextSibling;
  }
  out_->root = top;
  return Ok;
}

LyrResult GltfImporter::MakeMesh(int meshIndex) {
  ImportedMesh& im = meshes_[meshIndex];
  if (im.made) return Ok;
  im.made = true;
  const tinygltf::Mesh& src = m_.meshes[meshIndex];
  std::vector<ImportVertex> vertices;
  std::vector<uint32_t> indices, attributes;
  std::vector<AttributeRange> table;
  for (size_t p = 0; p < src.primitives.size(); ++p) {
    const tinygltf::Primitive& prim = src.primitives[p];
    if (!prim.targets.empty()) Warn("morph targets");
    if (prim.mode != TINYGLTF_MODE_TRIANGLES && prim.mode != -1) {
      Warn("primitives other than triangle lists");
      continue;
    }
    const auto attr = [&](const char* n) {
      auto it = prim.attributes.find(n);
      return it == prim.attributes.end() ? -1 : it->second;
    };
    AccessorView pos, nrm, uv, idx;
    if (!View(attr("POSITION"), {3}, "POSITION", &pos)) return ErrFail;
    const uint32_t first = static_cast<uint32_t>(vertices.size());
    if (pos.count > 0xFFFFFFFEu - first) return Fail("too many vertices");
    const bool hasN = attr("NORMAL") >= 0, hasUv = attr("TEXCOORD_0") >= 0;
    if (hasN && (!View(attr("NORMAL"), {3}, "NORMAL", &nrm) || nrm.count != pos.count))
      return message.empty() ? Fail("NORMAL count differs from POSITION") : ErrFail;
    if (hasUv && (!View(attr("TEXCOORD_0"), {2}, "TEXCOORD_0", &uv) || uv.count != pos.count))
      return message.empty() ? Fail("TEXCOORD_0 count differs from POSITION") : ErrFail;
    for (size_t v = 0; v < pos.count; ++v) {
      ImportVertex x{};
      for (int c = 0; c < 3; ++c) {
        x.position[c] = static_cast<float>(pos.Get(v, c));
        minPos_[c] = std::fmin(minPos_[c], x.position[c]);
        maxPos_[c] = std::fmax(maxPos_[c], x.position[c]);
        if (hasN) x.normal[c] = static_cast<float>(nrm.Get(v, c));
      }
      if (hasUv)
        x.uv[0] = static_cast<float>(uv.Get(v, 0)), x.uv[1] = static_cast<float>(uv.Get(v, 1));
      vertices.push_back(x);
    }
    const size_t firstIndex = indices.size();
    if (prim.indices >= 0) {
      if (!View(prim.indices, {1}, "indices", &idx)) return ErrFail;
      if (!idx.WholeNumbers()) return Fail("indices: not unsigned integers");
      for (size_t i = 0; i + 2 < idx.count; i += 3)
        for (int k = 0; k < 3; ++k) {
          const double v = idx.Get(i + k, 0);
          if (!(v >= 0 && v < static_cast<double>(pos.count)))
            return Fail("indices: index " + std::to_string(static_cast<uint64_t>(v)) +
                        " out of range in mesh " + std::to_string(meshIndex));
          indices.push_back(first + static_cast<uint32_t>(v));
        }
    } else {
      for (size_t i = 0; i + 2 < pos.count; i += 3)
        for (int k = 0; k < 3; ++k) indices.push_back(first + static_cast<uint32_t>(i + k));
    }
    if (!hasN)
      SmoothNormals(indices.data() + firstIndex, indices.size() - firstIndex, first, &vertices);
    const uint32_t faces = static_cast<uint32_t>((indices.size() - firstIndex) / 3);
    const uint32_t id = static_cast<uint32_t>(im.primitives.size());
    im.primitives.push_back(static_cast<int>(p));
    im.firstVertex.push_back(first);
    if (faces) {
      table.push_back({id, static_cast<uint32_t>(firstIndex / 3), faces, first,
                       static_cast<uint32_t>(pos.count)});
      attributes.insert(attributes.end(), faces, id);
    }
    // The material of the primitive: base colour as diffuse, emissive factor, texture's file.
    Material mat{};
    mat.diffuse = {1, 1, 1, 1};
    std::string texture;
    if (prim.material >= 0) {
      if (static_cast<size_t>(prim.material) >= m_.materials.size())
        return Fail("material index out of range");
      const tinygltf::Material& gm = m_.materials[prim.material];
      const auto& f = gm.pbrMetallicRoughness.baseColorFactor;
      if (f.size() == 4)
        mat.diffuse = {static_cast<float>(f[0]), static_cast<float>(f[1]), static_cast<float>(f[2]),
                       static_cast<float>(f[3])};
      if (gm.emissiveFactor.size() == 3)
        mat.emissive = {static_cast<float>(gm.emissiveFactor[0]),
                        static_cast<float>(gm.emissiveFactor[1]),
                        static_cast<float>(gm.emissiveFactor[2]), 1};
      const int t = gm.pbrMetallicRoughness.baseColorTexture.index;
      if (t >= 0 && static_cast<size_t>(t) < m_.textures.size()) {
        const int s = m_.textures[t].source;
        if (s >= 0 && static_cast<size_t>(s) < m_.images.size()) {
          const tinygltf::Image& img = m_.images[s];
          texture =
              !img.uri.empty() && img.uri.compare(0, 5, "data:") != 0 ? img.uri : EmbeddedImage(s);
        }
      }
    }
    im.materials.push_back(mat);
    im.textureNames.push_back(texture);
  }
  if (indices.empty()) return Ok;  // nothing drawable: the nodes get no container
  im.vertexCount = static_cast<uint32_t>(vertices.size());
  return BuildMesh(vertices, indices, attributes, table, options_, device_, im.mesh.put(),
                   &im.adjacency);
}

LyrResult GltfImporter::MakeSkin(int meshIndex, int skinIndex, SkinInfo** out) {
  if (static_cast<size_t>(skinIndex) >= m_.skins.size()) return Fail("skin index out of range");
  const tinygltf::Skin& skin = m_.skins[skinIndex];
  const ImportedMesh& im = meshes_[meshIndex];
  const size_t joints = skin.joints.size();
  for (int j : skin.joints)
    if (j < 0 || static_cast<size_t>(j) >= m_.nodes.size() || !frames_[j])
      return Fail("skin " + std::to_string(skinIndex) + " names a joint outside the scene");
  std::vector<float> ibm(joints * 16, 0.0f);
  for (size_t j = 0; j < joints; ++j)
    for (int i = 0; i < 4; ++i) ibm[j * 16 + i * 5] = 1;
  if (skin.inverseBindMatrices >= 0) {
    AccessorView v;
    if (!View(skin.inverseBindMatrices, {16}, "inverseBindMatrices", &v)) return ErrFail;
    if (v.count < joints) return Fail("inverseBindMatrices: fewer matrices than joints");
    // Column-major for column vectors read in order is the row-vector matrix.
    for (size_t j = 0; j < joints; ++j)
      for (int i = 0; i < 16; ++i) ibm[j * 16 + i] = static_cast<float>(v.Get(j, i));
  }
  // Every JOINTS_n/WEIGHTS_n pair of every primitive; zero weights carry nothing and are left
  // out, every other influence is kept as it is (no limit of four, no renormalising).
  std::vector<std::vector<std::pair<uint32_t, float>>> influences(joints);
  const tinygltf::Mesh& src = m_.meshes[meshIndex];
  for (size_t a = 0; a < im.primitives.size(); ++a) {
    const tinygltf::Primitive& prim = src.primitives[im.primitives[a]];
    const uint32_t first = im.firstVertex[a];
    for (int set = 0;; ++set) {
      const auto j = prim.attributes.find("JOINTS_" + std::to_string(set));
      const auto w = prim.attributes.find("WEIGHTS_" + std::to_string(set));
      if (j == prim.attributes.end() || w == prim.attributes.end()) break;
      AccessorView jv, wv;
      if (!View(j->second, {4}, "JOINTS", &jv) || !View(w->second, {4}, "WEIGHTS", &wv))
        return ErrFail;
      if (!jv.WholeNumbers()) return Fail("JOINTS: not unsigned integers");
      const uint32_t end = a + 1 < im.firstVertex.size() ? im.firstVertex[a + 1] : im.vertexCount;
      if (jv.count != end - first || wv.count != jv.count)
        return Fail("JOINTS/WEIGHTS count differs from POSITION");
      for (size_t v = 0; v < jv.count; ++v)
        for (int c = 0; c < 4; ++c) {
          const float weight = static_cast<float>(wv.Get(v, c));
          if (weight == 0) continue;
          const double joint = jv.Get(v, c);
          if (!(joint >= 0 && joint < static_cast<double>(joints)))
            return Fail("JOINTS: joint " + std::to_string(static_cast<uint64_t>(joint)) +
                        " out of range in skin " + std::to_string(skinIndex));
          influences[static_cast<size_t>(joint)].push_back(
              {first + static_cast<uint32_t>(v), weight});
        }
    }
  }
  // The bones are the joints that influence this mesh, in joint order.
  std::vector<size_t> bones;
  for (size_t j = 0; j < joints; ++j)
    if (!influences[j].empty()) bones.push_back(j);
  if (bones.empty()) return Ok;  // nothing moves the mesh: it is left without skin information
  VertexElement elements[MaxElementEntries];
  LyrResult r = FormatCodeToElements(kImportFormat, elements);
  if (Failed(r)) return r;
  Ref<SkinInfo> info;
  if (Failed(r = CreateSkinInfo(im.vertexCount, elements, static_cast<uint32_t>(bones.size()),
                                info.put())))
    return r;
  for (uint32_t b = 0; b < bones.size(); ++b) {
    const size_t j = bones[b];
    std::vector<uint32_t> verts;
    std::vector<float> weights;
    for (const auto& [v, w] : influences[j]) verts.push_back(v), weights.push_back(w);
    Matrix offset;
    std::memcpy(&offset, &ibm[j * 16], sizeof offset);
    if (Failed(r = info->SetBoneWeights(b, static_cast<uint32_t>(verts.size()), verts.data(),
                                        weights.data())) ||
        Failed(r = info->SetBoneLabel(b, names_[skin.joints[j]].c_str())) ||
        Failed(r = info->SetBoneOffset(b, &offset)))
      return r;
  }
  *out = info.detach();
  return Ok;
}

LyrResult GltfImporter::AttachMeshes() {
  meshes_.resize(m_.meshes.size());
  for (size_t n = 0; n < m_.nodes.size(); ++n) {
    const tinygltf::Node& node = m_.nodes[n];
    if (node.camera >= 0) Warn("cameras");
    if (!frames_[n] || node.mesh < 0) continue;
    if (static_cast<size_t>(node.mesh) >= m_.meshes.size()) return Fail("mesh index out of range");
    LyrResult r = MakeMesh(node.mesh);
    if (Failed(r)) return r;
    ImportedMesh& im = meshes_[node.mesh];
    if (!im.mesh) continue;
    Ref<SkinInfo> skin;
    if (node.skin >= 0 && Failed(r = MakeSkin(node.mesh, node.skin, skin.put()))) return r;
    std::vector<Material> materials = im.materials;
    for (size_t i = 0; i < materials.size(); ++i)
      materials[i].textureFilename =
          im.textureNames[i].empty() ? nullptr : const_cast<char*>(im.textureNames[i].c_str());
    std::vector<EffectInstance> effects(materials.size());
    MeshData data{};
    data.meshType = MeshTypeMesh;
    data.mesh = im.mesh.get();
    const std::string& meshName = m_.meshes[node.mesh].name;
    MeshContainer* c = nullptr;
    r = alloc_->NewMeshContainer(
        meshName.empty() ? nullptr : meshName.c_str(), &data, materials.data(), effects.data(),
        static_cast<uint32_t>(materials.size()), im.adjacency.data(), skin.get(), &c);
    if (Failed(r)) return r;
    if (!c) return ErrOutOfMemory;
    c->next = frames_[n]->meshContainers;
    frames_[n]->meshContainers = c;
  }
  return Ok;
}

LyrResult GltfImporter::Run() {
  for (const std::string& e : m_.extensionsUsed) Warn("extension " + e);
  if (!m_.cameras.empty()) Warn("cameras");
  NameNodes();
  LyrResult r = MakeFrames();
  if (Failed(r)) return r;
  if (Failed(r = AttachMeshes()) || Failed(r = MakeAnimations())) {
    LyrFrameDestroy(out_->root, alloc_);
    out_->root = nullptr;
    for (AnimationSet* s : out_->animationSets) s->Release();
    out_->animationSets.clear();
    return r;
  }
  float size = 0;
  for (int c = 0; c < 3; ++c)
    if (maxPos_[c] >= minPos_[c]) size = std::fmax(size, maxPos_[c] - minPos_[c]);
  out_->modelSize = size;
  return Ok;
}

// Keys of one channel, times in whole ticks: `width` floats per key.
struct Track {
  std::vector<double> times;
  std::vector<float> values;
};

// Values of a cubic Hermite segment at s in [0, 1]; a and b are the key triples (in-tangent,
// value, out-tangent) at the segment's ends, dt its length. Rotations come out normalised.
void Hermite(const float* a, const float* b, int width, double dt, double s, double* out) {
  const double s2 = s * s, s3 = s2 * s;
  const double h00 = 2 * s3 - 3 * s2 + 1, h10 = s3 - 2 * s2 + s, h01 = -2 * s3 + 3 * s2,
               h11 = s3 - s2;
  double norm = 0;
  for (int c = 0; c < width; ++c) {
    out[c] =
        h00 * a[width + c] + h10 * dt * a[2 * width + c] + h01 * b[width + c] + h11 * dt * b[c];
    norm += out[c] * out[c];
  }
  if (width == 4 && norm > 0)
    for (int c = 0; c < 4; ++c) out[c] /= std::sqrt(norm);
}

// Seconds to the whole tick nearest: the file form holds whole ticks only, so an imported clip
// plays the same before and after it is saved.
double WholeTicks(double seconds) {
  return std::round(seconds * kImportTicksPerSecond);
}

// Replaces a cubic channel by linear keys, times in ticks: each segment is split into 2^k about
// equal parts at whole ticks, k the smallest for which linear blending of the parts stays within
// `tolerance` of the curve at checkpoints inside every part. The curve is evaluated at the
// rounded times themselves, so rounding adds no error.
Track ResampleCubic(const std::vector<double>& times, const std::vector<float>& triples, int width,
                    double tolerance) {
  Track t;
  const size_t n = times.size();
  const auto push = [&](double tick, const double* v) {
    t.times.push_back(tick);
    for (int c = 0; c < width; ++c) t.values.push_back(static_cast<float>(v[c]));
  };
  double v[4], w[4], mid[4];
  std::vector<double> ticks;
  for (size_t k = 0; k + 1 < n; ++k) {
    const float* a = &triples[k * 3 * width];
    const float* b = &triples[(k + 1) * 3 * width];
    const double dt = times[k + 1] - times[k];
    const double t0 = WholeTicks(times[k]), t1 = WholeTicks(times[k + 1]);
    // The curve's parameter at a tick time, within the segment.
    const auto at = [&](double tick) {
      return dt > 0 ? std::clamp((tick / kImportTicksPerSecond - times[k]) / dt, 0.0, 1.0) : 0.0;
    };
    for (int parts = 1;; parts *= 2) {
      ticks.clear();
      for (int p = 0; p <= parts; ++p) {
        const double tick = std::round(t0 + (t1 - t0) * p / parts);
        if (ticks.empty() || tick > ticks.back()) ticks.push_back(tick);
      }
      // A part of one tick cannot be split further.
      if (parts >= 4096 || static_cast<int>(ticks.size()) <= parts) break;
      double err = 0;
      for (size_t p = 0; p + 1 < ticks.size() && err <= tolerance; ++p) {
        Hermite(a, b, width, dt, at(ticks[p]), v);
        Hermite(a, b, width, dt, at(ticks[p + 1]), w);
        for (double f : {0.25, 0.5, 0.75}) {
          Hermite(a, b, width, dt, at(ticks[p] + f * (ticks[p + 1] - ticks[p])), mid);
          for (int c = 0; c < width; ++c)
            err = std::fmax(err, std::fabs(v[c] + f * (w[c] - v[c]) - mid[c]));
        }
      }
      if (err <= tolerance) break;
    }
    for (size_t p = 0; p + 1 < ticks.size(); ++p) {
      Hermite(a, b, width, dt, at(ticks[p]), v);
      push(ticks[p], v);
    }
  }
  if (n > 0) {
    const float* last = &triples[(n - 1) * 3 * width];
    Hermite(last, last, width, 0, 0, v);
    push(WholeTicks(times[n - 1]), v);
  }
  return t;
}

LyrResult GltfImporter::MakeAnimations() {
  double size = 1e-6;
  for (int c = 0; c < 3; ++c)
    if (maxPos_[c] >= minPos_[c]) size = std::fmax(size, maxPos_[c] - minPos_[c]);
  std::set<std::string> setNames;
  for (size_t ai = 0; ai < m_.animations.size(); ++ai) {
    const tinygltf::Animation& anim = m_.animations[ai];
    // Per node: scale, rotation and translation tracks.
    std::map<int, std::array<Track, 3>> nodes;
    double end = 0;
    for (const tinygltf::AnimationChannel& ch : anim.channels) {
      const int path = ch.target_path == "scale"         ? 0
                       : ch.target_path == "rotation"    ? 1
                       : ch.target_path == "translation" ? 2
                                                         : -1;
      if (path < 0) {
        Warn(ch.target_path == "weights" ? "morph targets" : "animated " + ch.target_path);
        continue;
      }
      if (ch.target_node < 0 || static_cast<size_t>(ch.target_node) >= m_.nodes.size())
        return Fail("animation channel target out of range");
      if (!frames_[ch.target_node]) continue;  // a node outside the scene
      if (ch.sampler < 0 || static_cast<size_t>(ch.sampler) >= anim.samplers.size())
        return Fail("animation sampler index out of range");
      const tinygltf::AnimationSampler& smp = anim.samplers[ch.sampler];
      const int width = path == 1 ? 4 : 3;
      AccessorView in, outv;
      if (!View(smp.input, {1}, "animation input", &in) ||
          !View(smp.output, {width}, "animation output", &outv))
        return ErrFail;
      const bool cubic = smp.interpolation == "CUBICSPLINE";
      const bool step = smp.interpolation == "STEP";
      if (in.count == 0 || outv.count != in.count * (cubic ? 3 : 1))
        return Fail("animation output count does not match its input");
      std::vector<double> times(in.count);
      for (size_t i = 0; i < in.count; ++i) {
        times[i] = in.Get(i, 0);
        if (!std::isfinite(times[i]) || (i > 0 && times[i] < times[i - 1]))
          return Fail("animation input times are not ascending");
      }
      std::vector<float> values(outv.count * width);
      for (size_t i = 0; i < outv.count; ++i) {
        double v[4], norm = 0;
        for (int c = 0; c < width; ++c) v[c] = outv.Get(i, c), norm += v[c] * v[c];
        // Rotation keys are unit quaternions; files written with few digits are not quite.
        // Tangents (the outer two of each cubic triple) are left alone.
        const bool unit = width == 4 && norm > 0 && (!cubic || i % 3 == 1);
        for (int c = 0; c < width; ++c)
          values[i * width + c] = static_cast<float>(unit ? v[c] / std::sqrt(norm) : v[c]);
      }
      Track& t = nodes[ch.target_node][path];
      t = Track{};
      if (cubic) {
        // Rotation and scale errors move a point by about the error times its distance.
        t = ResampleCubic(times, values, width, 2e-5 * (path == 2 ? size : 1.0));
      } else if (step) {
        // Each value holds until the next key's time, where both keys stand at one time.
        for (double& time : times) time = WholeTicks(time);
        for (size_t i = 0; i < times.size(); ++i) {
          if (i > 0) {
            t.times.push_back(times[i]);
            t.values.insert(t.values.end(), &values[(i - 1) * width], &values[i * width]);
          }
          t.times.push_back(times[i]);
          t.values.insert(t.values.end(), &values[i * width], &values[i * width] + width);
        }
      } else {
        for (double& time : times) time = WholeTicks(time);
        t.times = std::move(times);
        t.values = std::move(values);
      }
      end = std::fmax(end, t.times.back());
    }
    if (nodes.empty()) continue;
    std::vector<Ref<KeyFrameInterpolator>> interpolators;
    for (auto& [node, tracks] : nodes) {
      // Every channel ends at the clip's end, so that each interpolator's period is the clip's
      // length; a channel the clip leaves alone holds the node's own value.
      const tinygltf::Node& n = m_.nodes[node];
      const std::vector<double>* statics[3] = {&n.scale, &n.rotation, &n.translation};
      const float defaults[3][4] = {{1, 1, 1, 0}, {0, 0, 0, 1}, {0, 0, 0, 0}};
      std::vector<VectorKey> keys[2];
      std::vector<RotationKey> rot;
      for (int path = 0; path < 3; ++path) {
        Track& t = tracks[path];
        const int width = path == 1 ? 4 : 3;
        if (t.times.empty()) {
          t.times.push_back(0);
          for (int c = 0; c < width; ++c)
            t.values.push_back(statics[path]->size() == size_t(width)
                                   ? static_cast<float>((*statics[path])[c])
                                   : defaults[path][c]);
        }
        if (t.times.back() < end) {
          t.times.push_back(end);
          for (int c = 0; c < width; ++c) t.values.push_back(t.values[t.values.size() - width]);
        }
        for (size_t i = 0; i < t.times.size(); ++i) {
          const float tick = static_cast<float>(t.times[i]);
          const float* v = &t.values[i * width];
          if (path == 1)
            // Stored conjugated: the interpolator hands out the conjugate of its keys, which is
            // then the glTF rotation, and the controller's matrix of it is the row-vector form.
            rot.push_back({tick, {-v[0], -v[1], -v[2], v[3]}});
          else
            keys[path / 2].push_back({tick, {v[0], v[1], v[2]}});
        }
      }
      Ref<KeyFrameInterpolator> ip;
      const LyrResult r = LyrCreateKeyFrameInterpolator(
          names_[node].c_str(), keys[0].data(), static_cast<uint32_t>(keys[0].size()), rot.data(),
          static_cast<uint32_t>(rot.size()), keys[1].data(), static_cast<uint32_t>(keys[1].size()),
          kImportTicksPerSecond, ip.put());
      if (Failed(r)) return r;
      interpolators.push_back(std::move(ip));
    }
    const std::string base = anim.name.empty() ? "animation" + std::to_string(ai) : anim.name;
    std::string name = base;
    for (int k = 1; setNames.count(name); ++k) name = base + "_" + std::to_string(k);
    setNames.insert(name);
    std::vector<KeyFrameInterpolator*> raw;
    for (auto& ip : interpolators) raw.push_back(ip.get());
    AnimationSet* set = nullptr;
    const LyrResult r =
        LyrCreateAnimationSet(name.c_str(), raw.data(), static_cast<uint32_t>(raw.size()), &set);
    if (Failed(r)) return r;
    out_->animationSets.push_back(set);
  }
  return Ok;
}

// Images are not decoded: only their file names are kept.
// Images are not decoded: an image stored inside the file keeps its encoded bytes, so that the
// caller can write it out as a file of its own; one in a file of its own is only named.
// Only a data URI's bytes are taken here: the parser hands over a buffer view's bytes without
// checking that the view lies inside its buffer, so those are read later, checked.
bool KeepEmbeddedImage(tinygltf::Image* image, const int, std::string*, std::string*, int, int,
                       const unsigned char* bytes, int size, void*) {
  const bool dataUri = image->bufferView < 0 && image->uri.compare(0, 5, "data:") == 0;
  if (dataUri && bytes && size > 0) image->image.assign(bytes, bytes + size);
  image->as_is = true;
  return true;
}

}  // namespace

ImportedScene::~ImportedScene() {
  for (AnimationSet* s : animationSets) s->Release();
}

LyrResult ImportGltfFromMemory(const void* data, size_t size, const std::string& baseDir,
                               uint32_t meshOptions, GraphicsDevice* device,
                               HierarchyAllocator* allocator, ImportedScene* out,
                               std::string* message) {
  std::string ignored;
  std::string& msg = message ? *message : ignored;
  msg.clear();
  if (!data || !device || !allocator || !out || out->root) return Explained(ErrInvalidCall, &msg);
  try {
    Model model;
    tinygltf::TinyGLTF parser;
    parser.SetImageLoader(KeepEmbeddedImage, nullptr);
    std::string err, warn;
    const auto* bytes = static_cast<const unsigned char*>(data);
    const bool binary = size >= 4 && std::memcmp(bytes, "glTF", 4) == 0;
    if (size > 0xFFFFFFFFu) return msg = "file too large", ErrFail;
    const bool ok = binary ? parser.LoadBinaryFromMemory(&model, &err, &warn, bytes,
                                                         static_cast<unsigned>(size), baseDir)
                           : parser.LoadASCIIFromString(&model, &err, &warn,
                                                        reinterpret_cast<const char*>(bytes),
                                                        static_cast<unsigned>(size), baseDir);
    if (!ok) {
      msg = err.empty() ? "not a glTF file" : err;
      while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
      return ErrFail;
    }
    GltfImporter importer(model, meshOptions, device, allocator, out);
    const LyrResult r = importer.Run();
    msg = importer.message;
    return Explained(r, &msg);
  } catch (const std::bad_alloc&) {
    return msg = "out of memory", ErrOutOfMemory;
  } catch (const std::exception& e) {
    return msg = e.what(), ErrFail;
  }
}

LyrResult ImportGltf(const char* path, uint32_t meshOptions, GraphicsDevice* device,
                     HierarchyAllocator* allocator, ImportedScene* out, std::string* message) {
  if (!path) return ErrInvalidCall;
  std::vector<char> bytes;
  if (!ReadWholeFile(path, &bytes)) {
    if (message) *message = std::string("cannot read ") + path;
    return ErrFileOpenFailed;
  }
  const std::string p(path);
  const size_t slash = p.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "" : p.substr(0, slash);
  return ImportGltfFromMemory(bytes.data(), bytes.size(), dir, meshOptions, device, allocator, out,
                              message);
}

}  // namespace lyr::import
