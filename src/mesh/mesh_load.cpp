#include "mesh/mesh_load.h"

#include <cmath>
#include <cstring>

#include "core/object_impl.h"
#include "mesh/load_block.h"
#include "mesh/material_load.h"
#include "mesh/vertex_rows.h"
#include "platform/platform.h"
#include "vekio/vek_component.h"

namespace lyr {

namespace meshload {

namespace tid = vekio::tid;

// One vertex while loading. New vertices made by splitting are appended copies that keep the
// representative and the source row of the vertex they came from.
struct LoadVertex {
  float position[3];
  float color[4];
  float uv[2];
  float normal[3];
  uint32_t representative;
  uint32_t ring;  // next vertex of its duplicate ring
  uint8_t normalSet;
  uint8_t reserved;
  uint16_t group;  // smoothing group of the normals summed into it
  uint32_t normalCount;
  uint32_t sourceRow;  // the file vertex whose per-vertex data (FVFData, DeclData) it carries
};
static_assert(sizeof(LoadVertex) == 68);

inline constexpr uint32_t kTriangleHasMaterial = 0x4;
inline constexpr uint32_t kTriangleComputeNormal = 0x8;
inline constexpr uint32_t kNone = 0xFFFFFFFFu;

struct LoadTriangle {
  uint32_t v[3];
  uint32_t adjacency[3];
  uint32_t flags;
  uint32_t material;
  uint32_t attributeId;
  uint32_t group;
  uint32_t polygon;  // the file face it comes from
};
static_assert(sizeof(LoadTriangle) == 44);

// Bone data of a skinned mesh, until it is handed to the SkinInfo.
class BoneData {
 public:
  BoneData() = default;
  BoneData(const BoneData&) = delete;
  BoneData& operator=(const BoneData&) = delete;
  ~BoneData() { Reset(); }

  void Reset() {
    FreeRecords(records_, count_);
    records_ = nullptr;
    count_ = filled_ = 0;
    names_ = Ref<StringListBuffer>();
    matrices_ = Ref<Buffer>();
    present_ = false;
  }

  LyrResult Start(uint32_t count) {
    Reset();
    records_ = static_cast<BoneRecord*>(AllocZeroed(size_t(count) * sizeof(BoneRecord)));
    if (!records_) return ErrOutOfMemory;
    count_ = count;
    LyrResult r = CreateStringListBuffer(32 * count, names_.put());
    if (Succeeded(r)) r = CreateAlignedBuffer(64 * count, matrices_.put());
    if (Failed(r)) return r;
    std::memset(matrices_->GetBytes(), 0, size_t(64) * count);
    present_ = true;
    return Ok;
  }

  // Fills the next bone from a SkinWeights block (already checked against the vertex count).
  LyrResult Add(const char* name, uint32_t n, const uint8_t* indices, const uint8_t* weights,
                const uint8_t* matrix) {
    if (filled_ >= count_) return ErrFail;
    BoneRecord& b = records_[filled_];
    b.vertices = static_cast<uint32_t*>(AllocArray(n, 4));
    b.weights = static_cast<float*>(AllocArray(n, 4));
    if (!b.vertices || !b.weights) return ErrOutOfMemory;
    std::memcpy(b.vertices, indices, size_t(n) * 4);
    std::memcpy(b.weights, weights, size_t(n) * 4);
    b.influenceCount = n;
    LyrResult r = names_->AppendString(name ? name : "");
    if (Failed(r)) return r;
    std::memcpy(static_cast<uint8_t*>(matrices_->GetBytes()) + size_t(64) * filled_, matrix, 64);
    ++filled_;
    return Ok;
  }

  bool present() const { return present_; }

  // Makes the SkinInfo; the records go to it on success.
  LyrResult MakeSkin(Mesh* mesh, SkinInfo** out) {
    VertexElement decl[MaxElementEntries];
    LyrResult r = mesh->CopyDeclaration(decl);
    if (Failed(r)) return r;
    Ref<SkinInfo> skin;
    r = CreateSkinInfoFromBones(mesh->GetVertexCount(), decl, count_, records_, skin.put());
    if (Failed(r)) return r;
    records_ = nullptr;  // owned by the SkinInfo now
    const char* const* names = static_cast<const char* const*>(names_->GetBytes());
    const Matrix* matrices = static_cast<const Matrix*>(matrices_->GetBytes());
    for (uint32_t i = 0; i < count_; ++i) {
      if (i < filled_ && Failed(r = skin->SetBoneLabel(i, names[i]))) return r;
      if (Failed(r = skin->SetBoneOffset(i, &matrices[i]))) return r;
    }
    *out = skin.detach();
    return Ok;
  }

 private:
  static void FreeRecords(BoneRecord* records, uint32_t count) {
    if (!records) return;
    for (uint32_t i = 0; i < count; ++i) {
      Free(records[i].vertices);
      Free(records[i].weights);
      Free(records[i].name);
    }
    Free(records);
  }

  BoneRecord* records_ = nullptr;
  uint32_t count_ = 0;
  uint32_t filled_ = 0;
  Ref<StringListBuffer> names_;
  Ref<Buffer> matrices_;
  bool present_ = false;
};

bool SameNormal(const float* a, const float* b) {
  return a[0] == b[0] && a[1] == b[1] && a[2] == b[2];
}

void FaceNormal(const float* p0, const float* p1, const float* p2, float* n) {
  const float a[3] = {p0[0] - p1[0], p0[1] - p1[1], p0[2] - p1[2]};
  const float b[3] = {p0[0] - p2[0], p0[1] - p2[1], p0[2] - p2[2]};
  n[0] = a[1] * b[2] - a[2] * b[1];
  n[1] = a[2] * b[0] - a[0] * b[2];
  n[2] = a[0] * b[1] - a[1] * b[0];
  const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (length > 0.0f) {
    n[0] /= length;
    n[1] /= length;
    n[2] /= length;
  }
}

void Normalize(float* n) {
  const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
  if (length > 0.0f) {
    n[0] /= length;
    n[1] /= length;
    n[2] /= length;
  }
}

class MeshReader {
 public:
  MeshReader(VekDataObject* object, GraphicsDevice* device) : object_(object), device_(device) {}
  MeshReader(const MeshReader&) = delete;
  MeshReader& operator=(const MeshReader&) = delete;
  ~MeshReader() { Free(pm_); }

  bool wantAdjacency = false, wantMaterials = false, wantEffects = false, wantSkin = false,
       wantPm = false, wantUnknown = false;

  LyrResult Run() {
    LyrResult r = ReadMeshBlock();
    if (Failed(r)) return r;
    r = ForEachDataChild(object_, [&](VekDataObject* child) { return ReadChild(child); });
    if (Failed(r)) return r;
    return Build();
  }

  // Outputs, taken by LoadMeshData.
  Ref<Mesh> mesh;
  Ref<Buffer> adjacency, materials, effects;
  BoneData bones;
  uint32_t MaterialCount() const { return static_cast<uint32_t>(materialRecords_.size()); }
  void TakePm(void** block, uint32_t* size) {
    *block = pm_;
    *size = pmSize_;
    pm_ = nullptr;
    pmSize_ = 0;
  }
  void TakeUnknown(VekDataObject*** list, uint32_t* count) { unknown_.Take(list, count); }

 private:
  // ---- The Mesh block ------------------------------------------------------------------------

  LyrResult ReadMeshBlock() {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(object_, &b);
    if (Failed(r)) return r;
    const uint64_t size = b.size();
    uint32_t nv = 0, nf = 0;
    if (!b.U32(&nv) || size < 8 + 12 * uint64_t(nv)) return ErrFail;
    const uint8_t* positions = b.Take(nv, 12);
    if (!b.U32(&nf)) return ErrFail;
    if (nv && nf && size < 8 + 12 * uint64_t(nv) + 4 * uint64_t(nf)) return ErrFail;
    if (nv == 0 || nf == 0) return ErrMeshWithoutData;
    polygons_ = b.here();
    polygonBytes_ = static_cast<uint32_t>(b.remaining());
    polygonCount_ = nf;
    uint64_t triangleCount = 0;
    for (uint32_t f = 0; f < nf; ++f) {
      uint32_t k = 0;
      if (!b.U32(&k) || k < 3 || !b.Take(k, 4)) return ErrFail;
      triangleCount += k - 2;
    }
    if (b.remaining() != 0) return ErrFail;
    fileVertexCount_ = nv;
    if (nv > vertices_.max_size() / 2) return ErrOutOfMemory;
    vertices_.resize(nv);
    for (uint32_t i = 0; i < nv; ++i) {
      LoadVertex& v = vertices_[i];
      std::memcpy(v.position, positions + size_t(i) * 12, 12);
      v.color[0] = v.color[1] = v.color[2] = 1.0f;
      v.color[3] = 0.0f;
      v.uv[0] = v.uv[1] = 0.0f;
      v.normal[0] = v.normal[1] = v.normal[2] = 0.0f;
      v.representative = v.ring = v.sourceRow = i;
      v.normalSet = v.reserved = 0;
      v.group = 0;
      v.normalCount = 0;
    }
    if (triangleCount > triangles_.max_size()) return ErrOutOfMemory;
    triangles_.resize(static_cast<size_t>(triangleCount));
    BlockReader faces(polygons_, polygonBytes_);
    size_t t = 0;
    for (uint32_t f = 0; f < nf; ++f) {
      uint32_t k = 0;
      faces.U32(&k);
      const uint8_t* q = faces.Take(k, 4);
      const uint32_t q0 = LoadAt<uint32_t>(q, 0);
      for (uint32_t i = 0; i < k; ++i)
        if (LoadAt<uint32_t>(q, i) >= nv) return ErrFail;
      for (uint32_t j = 1; j + 1 < k; ++j, ++t) {
        LoadTriangle& tri = triangles_[t];
        tri.v[0] = q0;
        tri.v[1] = LoadAt<uint32_t>(q, j);
        tri.v[2] = LoadAt<uint32_t>(q, j + 1);
        tri.adjacency[0] = tri.adjacency[1] = tri.adjacency[2] = kNone;
        tri.flags = 0;
        tri.material = tri.attributeId = tri.group = 0;
        tri.polygon = f;
      }
    }
    return Ok;
  }

  // ---- Children --------------------------------------------------------------------------------

  LyrResult ReadChild(VekDataObject* c) {
    const Guid* id = nullptr;
    LyrResult r = c->ReadTemplateId(&id);
    if (Failed(r)) return r;
    if (!id) return ErrFail;
    if (*id == tid::kMeshTextureCoords) return ReadTexCoords(c);
    if (*id == tid::kMeshVertexColors) return ReadColors(c);
    if (*id == tid::kMeshNormals) return ReadNormals(c);
    if (*id == tid::kMeshMaterialList) return ReadMaterialList(c);
    if (*id == tid::kVertexDuplicationIndices) return ReadDuplicationIndices(c);
    if (*id == tid::kFaceAdjacency) return ReadFaceAdjacency(c);
    if (*id == tid::kPMInfo) return ReadPmInfo(c);
    if (*id == tid::kVekSkinMeshHeader) return ReadSkinHeader(c);
    if (*id == tid::kSkinWeights) return ReadSkinWeights(c);
    if (*id == tid::kFVFData) return ReadFvfData(c);
    if (*id == tid::kDeclData) return ReadDeclData(c);
    return AddUnknown(c);
  }

  LyrResult ReadTexCoords(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t n = 0;
    const uint8_t* uv = nullptr;
    if (!b.U32(&n) || n != fileVertexCount_ || !(uv = b.Take(n, 8))) return ErrFail;
    for (uint32_t i = 0; i < n; ++i) std::memcpy(vertices_[i].uv, uv + size_t(i) * 8, 8);
    hasTexCoords_ = true;
    return Ok;
  }

  LyrResult ReadColors(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t n = 0;
    const uint8_t* entries = nullptr;
    if (!b.U32(&n) || !(entries = b.Take(n, 20))) return ErrFail;
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* e = entries + size_t(i) * 20;
      const uint32_t index = LoadAt<uint32_t>(e, 0);
      if (index >= fileVertexCount_) return ErrFail;
      for (int k = 0; k < 4; ++k)
        vertices_[index].color[k] = float(ColorByte(LoadAt<float>(e + 4, k))) / 255.0f;
    }
    hasColors_ = true;
    return Ok;
  }

  LyrResult ReadNormals(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t nn = 0, nfn = 0;
    const uint8_t* normals = nullptr;
    if (!b.U32(&nn) || !(normals = b.Take(nn, 12)) || !b.U32(&nfn)) return ErrFail;
    if (pmRead_) {
      // A progressive mesh keeps its vertices: the normals are one per vertex.
      if (nn != fileVertexCount_ || nfn != polygonCount_) return ErrFail;
      CopyVertexNormals(normals);
      return Ok;
    }
    if (nfn != polygonCount_) return ErrFail;
    // Per triangle corner the index of its normal, in the order of the triangles.
    cornerNormals_.resize(triangles_.size() * 3);
    uint32_t* corner = cornerNormals_.data();
    BlockReader faces(polygons_, polygonBytes_);  // checked when the Mesh block was read
    for (uint32_t f = 0; f < nfn; ++f) {
      uint32_t k = 0, kn = 0;
      faces.U32(&k);
      faces.Skip(uint64_t(k) * 4);
      const uint8_t* idx = nullptr;
      if (!b.U32(&kn) || kn != k || !(idx = b.Take(kn, 4))) return ErrFail;
      for (uint32_t i = 0; i < kn; ++i)
        if (LoadAt<uint32_t>(idx, i) >= nn) return ErrFail;
      const uint32_t n0 = LoadAt<uint32_t>(idx, 0);
      for (uint32_t j = 1; j + 1 < kn; ++j) {
        *corner++ = n0;
        *corner++ = LoadAt<uint32_t>(idx, j);
        *corner++ = LoadAt<uint32_t>(idx, j + 1);
      }
    }
    hasNormals_ = true;
    normals_.resize(size_t(nn) * 3);
    if (nn) std::memcpy(normals_.data(), normals, size_t(nn) * 12);
    return Ok;
  }

  void CopyVertexNormals(const uint8_t* normals) {
    for (uint32_t i = 0; i < fileVertexCount_; ++i) {
      std::memcpy(vertices_[i].normal, normals + size_t(i) * 12, 12);
      vertices_[i].normalSet = 1;
      vertices_[i].normalCount = 1;
    }
    hasNormals_ = true;
    cornerNormals_.clear();
  }

  LyrResult ReadMaterialList(VekDataObject* c) {
    if (!wantMaterials && !wantEffects) return Ok;
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t nm = 0, nfi = 0;
    const uint8_t* faceIndexes = nullptr;
    if (!b.U32(&nm) || !b.U32(&nfi) || !(faceIndexes = b.Take(nfi, 4))) return ErrFail;
    for (uint32_t i = 0; i < nfi; ++i)
      if (LoadAt<uint32_t>(faceIndexes, i) >= nm) return ErrFail;
    for (LoadTriangle& t : triangles_) {
      if (t.polygon < nfi) {
        t.material = LoadAt<uint32_t>(faceIndexes, t.polygon);
        t.flags |= kTriangleHasMaterial;
      } else {
        t.material = 0;
        t.flags &= ~kTriangleHasMaterial;
      }
    }
    if (Failed(r = ReadMaterials(c, nm, wantEffects, materialRecords_))) return r;
    for (LoadTriangle& t : triangles_) t.attributeId = t.material;
    return Ok;
  }

  LyrResult ReadDuplicationIndices(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t n = 0, original = 0;
    if (!b.U32(&n) || !b.U32(&original)) return ErrFail;
    if (n != fileVertexCount_ || original > n) return ErrInvalidCall;
    const uint8_t* reps = b.Take(n, 4);
    if (!reps) return ErrFail;
    for (uint32_t i = 0; i < n; ++i)
      if (LoadAt<uint32_t>(reps, i) >= n) return ErrFail;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t rep = LoadAt<uint32_t>(reps, i);
      if (LoadAt<uint32_t>(reps, rep) != rep) return ErrInvalidCall;
    }
    for (uint32_t i = 0; i < n; ++i) {
      vertices_[i].representative = LoadAt<uint32_t>(reps, i);
      vertices_[i].ring = i;
    }
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t rep = vertices_[i].representative;
      if (rep == i) continue;
      vertices_[i].ring = vertices_[rep].ring;
      vertices_[rep].ring = i;
    }
    hasPointReps_ = true;
    return Ok;
  }

  LyrResult ReadFaceAdjacency(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t n = 0;
    if (!b.U32(&n)) return ErrFail;
    if (uint64_t(n) != 3 * uint64_t(triangles_.size())) return ErrInvalidCall;
    const uint8_t* values = b.Take(n, 4);
    if (!values) return ErrFail;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t a = LoadAt<uint32_t>(values, i);
      if (a != kNone && a >= triangles_.size()) return ErrFail;
    }
    for (size_t t = 0; t < triangles_.size(); ++t)
      std::memcpy(triangles_[t].adjacency, values + t * 12, 12);
    hasAdjacency_ = true;
    return Ok;
  }

  LyrResult ReadPmInfo(VekDataObject* c) {
    if (!wantPm) return Ok;
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    void* copy = Alloc(b.size());
    if (!copy) return ErrOutOfMemory;
    if (b.size()) std::memcpy(copy, b.here(), b.size());
    Free(pm_);
    pm_ = copy;
    pmSize_ = b.size();
    pmRead_ = true;
    if (!cornerNormals_.empty() && normals_.size() == size_t(fileVertexCount_) * 3)
      CopyVertexNormals(reinterpret_cast<const uint8_t*>(normals_.data()));
    return Ok;
  }

  LyrResult ReadSkinHeader(VekDataObject* c) {
    if (!wantSkin) return Ok;
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint16_t header[3];
    if (!b.Has(6)) return ErrFail;
    std::memcpy(header, b.here(), 6);
    return bones.Start(header[2]);
  }

  LyrResult ReadSkinWeights(VekDataObject* c) {
    if (!bones.present()) return Ok;
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    const char* name = nullptr;
    uint32_t n = 0;
    if (!b.Str(&name) || !b.U32(&n) || b.remaining() != 8 * uint64_t(n) + 64) return ErrFail;
    const uint8_t* indices = b.Take(n, 4);
    const uint8_t* weights = b.Take(n, 4);
    const uint8_t* matrix = b.Take(16, 4);
    for (uint32_t i = 0; i < n; ++i)
      if (LoadAt<uint32_t>(indices, i) >= fileVertexCount_) return ErrFail;
    return bones.Add(name, n, indices, weights, matrix);
  }

  LyrResult ReadFvfData(VekDataObject* c) {
    return meshload::ReadFvfData(c, fileVertexCount_, &fvfCode_, &fvf_);
  }

  LyrResult ReadDeclData(VekDataObject* c) {
    return meshload::ReadDeclData(c, fileVertexCount_, &decl_);
  }

  LyrResult AddUnknown(VekDataObject* c) { return wantUnknown ? unknown_.Add(c) : Ok; }

  // ---- Building --------------------------------------------------------------------------------

  LyrResult MakeLayout() {
    FormatCode code = kFormatPosition;
    if (fvf_.present) {
      code = fvfCode_;
      if ((code & kFormatPositionMask) == 0) code |= kFormatPosition;
    }
    code |= kFormatNormal;  // normals are read or computed
    if (hasColors_) code |= kFormatDiffuse;
    if (hasTexCoords_) {
      const uint32_t sets = (code & kFormatTexCountMask) >> kFormatTexCountShift;
      if (sets >= kMaxTextureSets) return ErrInvalidCall;
      code = (code & 0xFFFFu & ~kFormatTexCountMask) | FormatTexCount(sets + 1) |
             (((code >> 16) << 18) & 0xFFFF0000u);
    }
    LyrResult r = FormatCodeToElements(code, layout_);
    if (Failed(r)) return r;
    if (decl_.present && Failed(r = AppendElements(decl_.elements, layout_))) return r;
    if (fvf_.present) {
      // The rows hold the code's components after the position, with the texture sets numbered
      // from 1 when MeshTextureCoords supplies set 0.
      if (Failed(r = FormatCodeToElements(fvfCode_, fvf_.elements))) return r;
      const VertexElement first = fvf_.elements[0];
      if (!IsEndElement(first)) RemoveElement(fvf_.elements, first.usage, first.usageIndex);
      if (hasTexCoords_) {
        for (VertexElement* e = fvf_.elements; !IsEndElement(*e); ++e)
          if (e->usage == ElementUsage::TexCoord) ++e->usageIndex;
      }
      if (StreamVertexSize(fvf_.elements, 0) > fvf_.stride) return ErrFail;
    }
    return Ok;
  }

  // The first vertex of v's ring (v excluded) that carries v's per-vertex data and matches.
  template <class Match>
  uint32_t FindInRing(uint32_t v, Match&& match) const {
    const uint32_t row = vertices_[v].sourceRow;
    size_t steps = 0;
    for (uint32_t w = vertices_[v].ring; w != v && steps < vertices_.size();
         w = vertices_[w].ring) {
      ++steps;
      if (vertices_[w].sourceRow == row && match(vertices_[w])) return w;
    }
    return kNone;
  }

  uint32_t Split(uint32_t v) {
    const uint32_t w = static_cast<uint32_t>(vertices_.size());
    LoadVertex copy = vertices_[v];
    copy.ring = vertices_[v].ring;
    copy.normal[0] = copy.normal[1] = copy.normal[2] = 0.0f;
    copy.normalSet = 0;
    copy.normalCount = 0;
    copy.group = 0;
    vertices_[v].ring = w;
    vertices_.push_back(copy);
    return w;
  }

  void AddNormal(uint32_t v, const float* n, uint16_t group) {
    LoadVertex& x = vertices_[v];
    for (int k = 0; k < 3; ++k) x.normal[k] += n[k];
    x.group = group;
    ++x.normalCount;
  }

  void ComputeNormals() {
    for (LoadTriangle& t : triangles_) {
      if (!(t.flags & kTriangleComputeNormal)) continue;
      float n[3];
      FaceNormal(vertices_[t.v[0]].position, vertices_[t.v[1]].position, vertices_[t.v[2]].position,
                 n);
      const uint16_t group = static_cast<uint16_t>(t.group);
      for (int s = 0; s < 3; ++s) {
        const uint32_t v = t.v[s];
        const LoadVertex& x = vertices_[v];
        auto matches = [&](const LoadVertex& y) {
          return y.normalCount > 0 && y.group == group && (group != 0 || SameNormal(y.normal, n));
        };
        uint32_t target = v;
        if (x.normalCount > 0 && !matches(x)) {
          target = FindInRing(v, matches);
          if (target == kNone) target = Split(v);
          t.v[s] = target;
        }
        AddNormal(target, n, group);
      }
    }
    for (LoadVertex& x : vertices_)
      if (x.normalCount > 1) Normalize(x.normal);
  }

  void ApplyCornerNormals() {
    for (size_t i = 0; i < cornerNormals_.size(); ++i) {
      const float* normal = normals_.data() + size_t(cornerNormals_[i]) * 3;
      uint32_t& slot = triangles_[i / 3].v[i % 3];
      LoadVertex& x = vertices_[slot];
      if (!x.normalSet) {
        std::memcpy(x.normal, normal, 12);
        x.normalSet = 1;
        continue;
      }
      if (SameNormal(x.normal, normal)) continue;
      uint32_t target = FindInRing(
          slot, [&](const LoadVertex& y) { return y.normalSet && SameNormal(y.normal, normal); });
      if (target == kNone) {
        target = Split(slot);
        std::memcpy(vertices_[target].normal, normal, 12);
        vertices_[target].normalSet = 1;
      }
      slot = target;
    }
  }

  LyrResult WriteVertices() {
    void* locked = nullptr;
    LyrResult r = mesh->LockVertices(0, &locked);
    if (Failed(r)) return r;
    const uint32_t stride = mesh->GetVertexStride();
    uint8_t* base = static_cast<uint8_t*>(locked);
    const VertexElement* position = FindElement(layout_, ElementUsage::Position, 0);
    const VertexElement* normal = FindElement(layout_, ElementUsage::Normal, 0);
    const VertexElement* diffuse = FindElement(layout_, ElementUsage::Color, 0);
    const VertexElement* tex0 =
        hasTexCoords_ ? FindElement(layout_, ElementUsage::TexCoord, 0) : nullptr;
    if (position && position->type != ElementType::F32x3) position = nullptr;
    if (normal && normal->type != ElementType::F32x3) normal = nullptr;
    if (diffuse && diffuse->type != ElementType::ColorArgb8) diffuse = nullptr;
    if (tex0 && tex0->type != ElementType::F32x2) tex0 = nullptr;
    VertexConverter fvfConverter, declConverter;
    if (fvf_.present) AttachRows(fvfConverter, fvf_, layout_, base, stride);
    if (decl_.present) AttachRows(declConverter, decl_, layout_, base, stride);
    for (size_t i = 0; i < vertices_.size(); ++i) {
      const LoadVertex& v = vertices_[i];
      uint8_t* out = base + i * stride;
      if (position) std::memcpy(out + position->offset, v.position, 12);
      if (normal) std::memcpy(out + normal->offset, v.normal, 12);
      if (diffuse) {
        const uint32_t packed = PackColor(v.color[0], v.color[1], v.color[2], v.color[3]);
        std::memcpy(out + diffuse->offset, &packed, 4);
      }
      if (tex0) std::memcpy(out + tex0->offset, v.uv, 8);
      const uint32_t d = static_cast<uint32_t>(i);
      if (fvf_.present) ConvertVertex(fvfConverter, v.sourceRow, d, false);
      if (decl_.present) ConvertVertex(declConverter, v.sourceRow, d, false);
    }
    return mesh->UnlockVertices();
  }

  template <class Index>
  void WriteIndices(Index* out) const {
    for (const LoadTriangle& t : triangles_) {
      if (t.v[0] == kNone) continue;
      out[0] = static_cast<Index>(t.v[0]);
      out[1] = static_cast<Index>(t.v[1]);
      out[2] = static_cast<Index>(t.v[2]);
      out += 3;
    }
  }

  LyrResult WriteFaces(bool wide) {
    uint32_t* ids = nullptr;
    LyrResult r = mesh->LockAttributeIds(0, &ids);
    if (Failed(r)) return r;
    for (const LoadTriangle& t : triangles_)
      if (t.v[0] != kNone) *ids++ = t.attributeId;
    if (Failed(r = mesh->UnlockAttributeIds())) return r;
    void* indices = nullptr;
    if (Failed(r = mesh->LockIndices(0, &indices))) return r;
    if (wide)
      WriteIndices(static_cast<uint32_t*>(indices));
    else
      WriteIndices(static_cast<uint16_t*>(indices));
    return mesh->UnlockIndices();
  }

  LyrResult MakeAdjacency(uint32_t usedCount, uint32_t* adj) {
    if (hasAdjacency_) {
      Vector<uint32_t> renumber(triangles_.size(), kNone);
      uint32_t next = 0;
      for (size_t t = 0; t < triangles_.size(); ++t)
        if (triangles_[t].v[0] != kNone) renumber[t] = next++;
      for (const LoadTriangle& t : triangles_) {
        if (t.v[0] == kNone) continue;
        for (int e = 0; e < 3; ++e)
          *adj++ = t.adjacency[e] == kNone ? kNone : renumber[t.adjacency[e]];
      }
      return Ok;
    }
    (void)usedCount;
    if (hasPointReps_) {
      Vector<uint32_t> reps(vertices_.size());
      for (size_t i = 0; i < vertices_.size(); ++i) reps[i] = vertices_[i].representative;
      return mesh->AdjacencyFromPointReps(reps.data(), adj);
    }
    return mesh->BuildAdjacency(0.0f, adj);
  }

  LyrResult Build() {
    LyrResult r = MakeLayout();
    if (Failed(r)) return r;
    if (!hasNormals_) {
      for (LoadTriangle& t : triangles_) {
        t.flags |= kTriangleComputeNormal;
        t.group = 1;
      }
    }
    if (FindElement(layout_, ElementUsage::Normal, 0)) {
      ComputeNormals();
      ApplyCornerNormals();
    }
    cornerNormals_ = Vector<uint32_t>();
    normals_ = Vector<float>();
    uint32_t used = 0;
    for (LoadTriangle& t : triangles_) {
      if (t.v[0] == t.v[1] || t.v[1] == t.v[2] || t.v[0] == t.v[2])
        t.v[0] = t.v[1] = t.v[2] = kNone;
      else
        ++used;
    }
    if (used == 0 || vertices_.empty()) return ErrMeshWithoutData;
    if (vertices_.size() > UINT32_MAX) return ErrOutOfMemory;
    const uint32_t vertexCount = static_cast<uint32_t>(vertices_.size());
    uint32_t options = MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory;
    if (used > 0xFFFE || vertexCount > 0xFFFE) options |= MeshOptions::Index32;
    if (Failed(r = CreateMesh(used, vertexCount, options, layout_, device_, mesh.put()))) return r;
    if (Failed(r = WriteVertices())) return r;
    if (Failed(r = WriteFaces((options & MeshOptions::Index32) != 0))) return r;
    uint32_t* adj = nullptr;
    if (wantAdjacency) {
      if (uint64_t(used) * 12 > UINT32_MAX) return ErrOutOfMemory;
      if (Failed(r = CreateBuffer(used * 12, adjacency.put()))) return r;
      adj = static_cast<uint32_t*>(adjacency->GetBytes());
      if (Failed(r = MakeAdjacency(used, adj))) return r;
    }
    constexpr uint32_t kFinalOptimize =
        OptimizeFlags::AttributeSort | OptimizeFlags::KeepVertices | OptimizeFlags::DoNotSplit;
    if (Failed(r = mesh->OptimizeSelf(kFinalOptimize, adj, adj, nullptr, nullptr))) return r;
    if (wantMaterials && Failed(r = PackMaterials(materialRecords_, materials.put()))) return r;
    if (wantEffects && Failed(r = PackEffects(materialRecords_, effects.put()))) return r;
    return Ok;
  }

  VekDataObject* object_;
  GraphicsDevice* device_;

  uint32_t fileVertexCount_ = 0;
  uint32_t polygonCount_ = 0;
  const uint8_t* polygons_ = nullptr;  // inside the Mesh block, which lives as long as object_
  uint32_t polygonBytes_ = 0;
  Vector<LoadVertex> vertices_;
  Vector<LoadTriangle> triangles_;
  Vector<uint32_t> cornerNormals_;  // per triangle corner: its normal's index in normals_
  Vector<float> normals_;           // the MeshNormals normals, three floats each
  bool hasTexCoords_ = false, hasColors_ = false, hasNormals_ = false, pmRead_ = false;
  bool hasAdjacency_ = false, hasPointReps_ = false;
  Vector<LoadedMaterial> materialRecords_;
  uint32_t fvfCode_ = 0;
  VertexRows fvf_, decl_;
  VertexElement layout_[MaxElementEntries];
  void* pm_ = nullptr;
  uint32_t pmSize_ = 0;
  ChildList unknown_;
};

}  // namespace meshload

LyrResult LoadMeshData(VekDataObject* object, uint32_t options, GraphicsDevice* device,
                       Buffer** adjacency, Buffer** materials, Buffer** effects,
                       uint32_t* materialCount, SkinInfo** skin, Mesh** mesh, void** pmBlock,
                       uint32_t* pmSize, VekDataObject*** unknown, uint32_t* unknownCount) {
  (void)options;  // meshes are always made in system memory
  if (!mesh) return ErrInvalidCall;
  *mesh = nullptr;
  if (adjacency) *adjacency = nullptr;
  if (materials) *materials = nullptr;
  if (effects) *effects = nullptr;
  if (materialCount) *materialCount = 0;
  if (skin) *skin = nullptr;
  if (pmBlock) *pmBlock = nullptr;
  if (pmSize) *pmSize = 0;
  if (unknown) *unknown = nullptr;
  if (unknownCount) *unknownCount = 0;
  if (!object || !device) return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    meshload::MeshReader reader(object, device);
    reader.wantAdjacency = adjacency != nullptr;
    reader.wantMaterials = materials != nullptr;
    reader.wantEffects = effects != nullptr;
    reader.wantSkin = skin != nullptr;
    reader.wantPm = pmBlock != nullptr;
    reader.wantUnknown = unknown != nullptr;
    LyrResult r;
    {
      platform::ScopedCLocale locale;
      r = reader.Run();
    }
    if (Failed(r)) return r;
    Ref<SkinInfo> madeSkin;
    if (skin && reader.bones.present() &&
        Failed(r = reader.bones.MakeSkin(reader.mesh.get(), madeSkin.put())))
      return r;
    if (adjacency) *adjacency = reader.adjacency.detach();
    if (materials) *materials = reader.materials.detach();
    if (effects) *effects = reader.effects.detach();
    if (materialCount) *materialCount = reader.MaterialCount();
    if (skin) *skin = madeSkin.detach();
    if (pmBlock) {
      uint32_t size = 0;
      reader.TakePm(pmBlock, &size);
      if (pmSize) *pmSize = size;
    }
    if (unknown) {
      uint32_t count = 0;
      reader.TakeUnknown(unknown, &count);
      if (unknownCount) *unknownCount = count;
    }
    *mesh = reader.mesh.detach();
    return Ok;
  });
}

}  // namespace lyr
