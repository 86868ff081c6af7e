// Conversion of a skinned Mesh into a Mesh the device blends itself: faces grouped by the bones
// they need (bone combinations, or palettes for indexed blending), blend weights (and palette
// indices) written into every vertex.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "mesh/mesh_impl.h"
#include "skin/skin_info.h"

namespace lyr {

namespace {

namespace MO = MeshOptions;

constexpr uint32_t kNone = 0xFFFFFFFFu;
// Bone sets are 256-bit masks: a SkinInfo converted here has at most 256 bones.
constexpr uint32_t kMaxBlendBones = 256;
// The options bit that keeps ToBlendedMesh to the device's own matrix count on a device in mixed
// processing.
constexpr uint32_t kHardwareBlendOnly = 0x2000;
// The optimiser's word always gets compaction and the attribute sort.
constexpr uint32_t kBlendedOptimize = OptimizeFlags::Compact | OptimizeFlags::AttributeSort;

using BoneMask = std::array<uint32_t, 8>;

void MaskAdd(BoneMask& m, uint32_t bone) {
  m[bone >> 5] |= 1u << (bone & 31);
}
bool MaskHas(const BoneMask& m, uint32_t bone) {
  return (m[bone >> 5] >> (bone & 31)) & 1;
}
uint32_t MaskCount(const BoneMask& m) {
  uint32_t n = 0;
  for (uint32_t w : m) n += static_cast<uint32_t>(std::popcount(w));
  return n;
}
BoneMask MaskUnion(const BoneMask& a, const BoneMask& b) {
  BoneMask u;
  for (int i = 0; i < 8; ++i) u[i] = a[i] | b[i];
  return u;
}
bool MaskContains(const BoneMask& outer, const BoneMask& inner) {
  for (int i = 0; i < 8; ++i)
    if (inner[i] & ~outer[i]) return false;
  return true;
}

// What the device can blend, read with hardware processing selected on a mixed device.
struct BlendCaps {
  uint32_t matrices = 0;  // matrices blended per vertex
  bool mixed = false;     // switched to hardware processing for the query
  bool indexed = false;   // indexed blending available
};

LyrResult ReadBlendCaps(GraphicsDevice* device, BlendCaps* out) {
  DeviceCreationParameters params{};
  LyrResult r = device->ReadCreationFlags(&params);
  if (Failed(r)) return r;
  DeviceCapabilities caps{};
  if (Failed(r = device->ReadCapabilities(&caps))) return r;
  if (params.behaviorFlags & kCreateMixedProcessing) {
    const int32_t mode = device->ReadSoftwareMode();
    r = device->WriteSoftwareMode(0);
    if (Succeeded(r)) r = device->ReadCapabilities(&caps);
    const LyrResult restored = device->WriteSoftwareMode(mode);
    if (Failed(r)) return r;
    if (Failed(restored)) return restored;
    out->mixed = true;
  }
  out->matrices = caps.maxVertexBlendMatrices;
  out->indexed = caps.maxVertexBlendMatrixIndex != 0 || caps.vertexShaderVersion > 0xFFFE0100u;
  if ((params.behaviorFlags & (kCreatePureDevice | kCreateHardwareProcessing)) && out->matrices < 2)
    return ErrDeviceCannotBlend;
  return Ok;
}

// The source's faces (32-bit, kNone for all ones) and attribute ids.
struct SourceFaces {
  uint32_t count = 0;
  Vector<uint32_t> indices;
  Vector<uint32_t> attributes;
};

LyrResult ReadSourceFaces(Mesh* mesh, SourceFaces* out) {
  out->count = mesh->GetFaceCount();
  const size_t n = size_t(out->count) * 3;
  out->indices.resize(n);
  out->attributes.resize(out->count);
  const bool wide = (mesh->GetOptionBits() & MO::Index32) != 0;
  void* data = nullptr;
  LyrResult r = mesh->LockIndices(kLockReadOnly, &data);
  if (Failed(r)) return r;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v =
        wide ? static_cast<const uint32_t*>(data)[i] : static_cast<const uint16_t*>(data)[i];
    out->indices[i] = (!wide && v == 0xFFFF) ? kNone : v;
  }
  mesh->UnlockIndices();
  uint32_t* ids = nullptr;
  if (Failed(r = mesh->LockAttributeIds(kLockReadOnly, &ids))) return r;
  std::memcpy(out->attributes.data(), ids, size_t(out->count) * sizeof(uint32_t));
  mesh->UnlockAttributeIds();
  return Ok;
}

// The source's declaration without blend weights and indices, then `weights` - 1 weight floats
// and (for indexed blending) four byte indices right after the position.
LyrResult BlendedDeclaration(Mesh* source, uint32_t weights, bool indexed, VertexElement* out) {
  LyrResult r = source->CopyDeclaration(out);
  if (Failed(r)) return r;
  RemoveElement(out, ElementUsage::BlendWeights, 0);
  RemoveElement(out, ElementUsage::BlendIndices, 0);
  uint32_t at = 0;
  const uint32_t count = CountElements(out);
  for (uint32_t i = 0; i < count; ++i)
    if (out[i].usage == ElementUsage::Position && out[i].usageIndex == 0) {
      at = i + 1;
      break;
    }
  if (weights > 1) {
    const VertexElement e = {0,
                             0,
                             static_cast<ElementType>(weights - 2),
                             ElementMethod::Default,
                             ElementUsage::BlendWeights,
                             0};
    if (Failed(r = InsertElement(at++, e, out))) return r;
  }
  if (indexed) {
    const VertexElement e = {
        0, 0, ElementType::U8x4, ElementMethod::Default, ElementUsage::BlendIndices, 0};
    if (Failed(r = InsertElement(at, e, out))) return r;
  }
  return Ok;
}

// The optimised Mesh in its new layout while its blend data is written.
struct BlendedMesh {
  uint32_t options = 0;  // what the caller asked for the result
  Ref<GraphicsDevice> device;
  Ref<Mesh> mesh;
  Ref<Buffer> remap;  // old index of each new vertex
  Vector<uint32_t> adjacency;
  Vector<uint32_t> faceRemap;
  Vector<AttributeRange> table;
  SourceFaces faces;  // of the result
  uint32_t vertexCount = 0;
  uint8_t* vertices = nullptr;  // locked while the blend data is written
  uint32_t stride = 0;
  const VertexElement* weights = nullptr;
  const VertexElement* indices = nullptr;
  VertexElement declaration[MaxElementEntries];

  BlendedMesh() = default;
  BlendedMesh(const BlendedMesh&) = delete;
  BlendedMesh& operator=(const BlendedMesh&) = delete;
  ~BlendedMesh() {
    if (vertices) mesh->UnlockVertices();
  }

  // The old vertex a result vertex was made from (kNone when the optimiser names none).
  uint32_t OldVertex(uint32_t v) const {
    return v < vertexCount ? static_cast<const uint32_t*>(remap->GetBytes())[v] : kNone;
  }
  // Calls f(vertex) for each corner of each face of a range, so that every vertex is written
  // with the group of the faces that use it.
  template <class F>
  void ForEachCorner(const AttributeRange& range, F&& f) const {
    const uint64_t end = uint64_t(range.firstFace) + range.faceCount;
    for (uint64_t face = range.firstFace; face < end && face < faces.count; ++face)
      for (int k = 0; k < 3; ++k) {
        const uint32_t v = faces.indices[face * 3 + k];
        if (v < vertexCount) f(v);
      }
  }
  void WriteWeights(uint32_t v, const float* w, uint32_t count) {
    if (weights) std::memcpy(vertices + size_t(v) * stride + weights->offset, w, count * 4);
  }
  void WriteIndices(uint32_t v, const uint8_t* b) {
    if (indices) std::memcpy(vertices + size_t(v) * stride + indices->offset, b, 4);
  }
};

// Clones the source into the new layout, gives every face its group number as attribute id and
// optimises with the caller's options plus compaction and the attribute sort; then locks the
// result's vertices for the blend data. The source itself is never changed.
LyrResult BuildBlendedMesh(Mesh* source, uint32_t options, const Vector<uint32_t>& groups,
                           const uint32_t* adjacencyIn, bool wantAdjacency, bool wantFaceRemap,
                           BlendedMesh& out) {
  const uint32_t meshOptions = (options & MO::CloneMask) | (source->GetOptionBits() & MO::Index32);
  // A new layout cannot share the source's vertices.
  if (meshOptions & MO::ShareVertexBuffer) return ErrInvalidCall;
  out.options = meshOptions;
  LyrResult r = source->GetOwnerDevice(out.device.put());
  if (Failed(r)) return r;
  // Buffers the caller wants write-only are made at the end, once the blend data is in.
  const uint32_t writeOnly = MO::VertexWriteOnly | MO::IndexWriteOnly;
  r = source->CloneWithDeclaration(meshOptions & ~writeOnly, out.declaration, out.device.get(),
                                   out.mesh.put());
  if (Failed(r)) return r;
  const uint32_t faceCount = out.mesh->GetFaceCount();
  uint32_t* ids = nullptr;
  if (Failed(r = out.mesh->LockAttributeIds(0, &ids))) return r;
  std::memcpy(ids, groups.data(), size_t(faceCount) * sizeof(uint32_t));
  out.mesh->UnlockAttributeIds();
  MeshInternal* internal = GetMeshInternal(out.mesh.get());
  if (!internal) return ErrInvalidCall;
  out.adjacency.resize(wantAdjacency ? size_t(faceCount) * 3 : 0);
  out.faceRemap.resize(wantFaceRemap ? faceCount : 0);
  const uint32_t core = (options & ~(MO::CloneMask | kHardwareBlendOnly)) | kBlendedOptimize;
  r = internal->OptimizeInternal(core, adjacencyIn, wantAdjacency ? out.adjacency.data() : nullptr,
                                 wantFaceRemap ? out.faceRemap.data() : nullptr, out.remap.put());
  if (Failed(r)) return r;
  uint32_t ranges = 0;
  if (Failed(r = out.mesh->CopyAttributeTable(nullptr, &ranges))) return r;
  out.table.resize(ranges);
  if (ranges && Failed(r = out.mesh->CopyAttributeTable(out.table.data(), nullptr))) return r;
  if (Failed(r = ReadSourceFaces(out.mesh.get(), &out.faces))) return r;
  out.vertexCount =
      std::min<uint32_t>(out.mesh->GetVertexCount(), out.remap->GetByteCount() / sizeof(uint32_t));
  out.stride = out.mesh->GetVertexStride();
  out.weights = FindElement(out.declaration, ElementUsage::BlendWeights, 0);
  out.indices = FindElement(out.declaration, ElementUsage::BlendIndices, 0);
  void* data = nullptr;
  if (Failed(r = out.mesh->LockVertices(0, &data))) return r;
  out.vertices = static_cast<uint8_t*>(data);
  return Ok;
}

// Unlocks the vertices and hands out the Mesh, in write-only buffers when those were asked for.
LyrResult FinishBlendedMesh(BlendedMesh& b, Mesh** out) {
  b.mesh->UnlockVertices();
  b.vertices = nullptr;
  if (b.options & (MO::VertexWriteOnly | MO::IndexWriteOnly)) {
    Ref<Mesh> final;
    LyrResult r = b.mesh->CloneWithDeclaration(b.options, nullptr, b.device.get(), final.put());
    if (Failed(r)) return r;
    b.mesh = std::move(final);
  }
  *out = b.mesh.detach();
  return Ok;
}

// One BoneCombination per range of the result, each with `slots` bone ids that follow the
// records in the same Buffer. fill(range, record, ids) completes a record.
template <class F>
LyrResult MakeCombinations(const Vector<AttributeRange>& table, uint32_t slots, F&& fill,
                           Buffer** out) {
  const uint64_t n = table.size();
  const uint64_t size = n * sizeof(BoneCombination) + n * slots * sizeof(uint32_t);
  if (size > 0xFFFFFFFFu) return ErrOutOfMemory;
  LyrResult r = CreateBuffer(static_cast<uint32_t>(size), out);
  if (Failed(r)) return r;
  auto* records = static_cast<BoneCombination*>((*out)->GetBytes());
  auto* ids = reinterpret_cast<uint32_t*>(records + n);
  for (size_t i = 0; i < n; ++i) {
    const AttributeRange& range = table[i];
    BoneCombination& c = records[i];
    c.firstFace = range.firstFace;
    c.faceCount = range.faceCount;
    c.firstVertex = range.firstVertex;
    c.vertexCount = range.vertexCount;
    c.boneIds = ids + i * slots;
    for (uint32_t k = 0; k < slots; ++k) c.boneIds[k] = kNoBone;
    fill(range, c, c.boneIds);
  }
  return Ok;
}

// The caller's optional outputs, written only once everything has succeeded.
struct BlendedOutputs {
  uint32_t* adjacencyOut;
  uint32_t* faceRemap;
  Buffer** vertexRemap;
  uint32_t* largest;
  uint32_t* combinationCount;
  Buffer** combinations;
};

LyrResult HandOut(BlendedMesh& b, const BlendedOutputs& o, uint32_t largest,
                  Ref<Buffer>& combinations, Mesh** out) {
  LyrResult r = FinishBlendedMesh(b, out);
  if (Failed(r)) return r;
  if (o.adjacencyOut) std::copy(b.adjacency.begin(), b.adjacency.end(), o.adjacencyOut);
  if (o.faceRemap) std::copy(b.faceRemap.begin(), b.faceRemap.end(), o.faceRemap);
  if (o.vertexRemap) *o.vertexRemap = b.remap.detach();
  if (o.largest) *o.largest = largest;
  if (o.combinationCount) *o.combinationCount = static_cast<uint32_t>(b.table.size());
  if (o.combinations) *o.combinations = combinations.detach();
  return Ok;
}

// Without bones there is nothing to blend: a copy of the source with the caller's options.
LyrResult CloneWithoutBones(Mesh* source, uint32_t options, const uint32_t* adjacencyIn,
                            const BlendedOutputs& o, Mesh** out) {
  Ref<GraphicsDevice> device;
  LyrResult r = source->GetOwnerDevice(device.put());
  if (Failed(r)) return r;
  const uint32_t faces = source->GetFaceCount(), vertices = source->GetVertexCount();
  Ref<Buffer> remap;
  if (o.vertexRemap) {
    if (uint64_t(vertices) * 4 > 0xFFFFFFFFu) return ErrOutOfMemory;
    if (Failed(r = CreateBuffer(vertices * 4, remap.put()))) return r;
    auto* old = static_cast<uint32_t*>(remap->GetBytes());
    for (uint32_t v = 0; v < vertices; ++v) old[v] = v;
  }
  Ref<Mesh> clone;
  r = source->CloneWithDeclaration(
      (options & MO::CloneMask) | (source->GetOptionBits() & MO::Index32), nullptr, device.get(),
      clone.put());
  if (Failed(r)) return r;
  if (o.adjacencyOut) {
    for (size_t i = 0; i < size_t(faces) * 3; ++i)
      o.adjacencyOut[i] = adjacencyIn ? adjacencyIn[i] : kNone;
  }
  if (o.faceRemap)
    for (uint32_t f = 0; f < faces; ++f) o.faceRemap[f] = f;
  if (o.vertexRemap) *o.vertexRemap = remap.detach();
  if (o.largest) *o.largest = 0;
  if (o.combinationCount) *o.combinationCount = 0;
  if (o.combinations) *o.combinations = nullptr;
  *out = clone.detach();
  return Ok;
}

}  // namespace

// ---- Point representatives and weight normalisation -------------------------------------------

LyrResult SkinInfoImpl::SkinPointReps(Mesh* mesh, const uint32_t* adjacency,
                                      Vector<uint32_t>& reps) {
  if (!mesh) return ErrInvalidCall;
  const uint32_t meshVertices = mesh->GetVertexCount();
  Vector<uint32_t> meshReps(meshVertices);
  LyrResult r = mesh->PointRepsFromAdjacency(adjacency, meshReps.data());
  if (Failed(r)) return r;
  // Only vertices the skin knows can stand for one another; any other vertex is its own.
  reps.resize(vertexCount_);
  for (uint32_t v = 0; v < vertexCount_; ++v)
    reps[v] = v < meshVertices && meshReps[v] < vertexCount_ ? meshReps[v] : v;
  return Ok;
}

LyrResult SkinInfoImpl::NormalizeWeights(Mesh* mesh, uint32_t limit, const uint32_t* adjacency) {
  return Guard([&]() -> LyrResult {
    LyrResult r = BuildVertexTables();
    if (Failed(r)) return r;
    Vector<uint32_t> reps;
    if (adjacency && Failed(r = SkinPointReps(mesh, adjacency, reps))) return r;
    for (uint32_t v = 0; v < vertexCount_; ++v) {
      if (vertexInfluences_[v] <= limit) continue;
      const uint32_t u = reps.empty() ? v : reps[v];
      float* weights = rowWeights(u);
      const uint32_t c = vertexInfluences_[u];
      const uint32_t kept = c < limit ? c : limit;
      float sum = 0.0f;
      for (uint32_t k = 0; k < kept; ++k) sum += weights[k];
      // A row whose kept weights sum to nothing stays as it is rather than turning into NaNs.
      if (sum > 0.0f) {
        const float scale = 1.0f / sum;
        for (uint32_t k = 0; k < kept; ++k) weights[k] *= scale;
      }
      for (uint32_t k = kept; k < c; ++k) weights[k] = 0.0f;
    }
    for (uint32_t v = 0; v < reps.size(); ++v) {
      const uint32_t u = reps[v];
      if (u == v) continue;
      const uint32_t c = vertexInfluences_[v];
      std::memcpy(rowBones(v), rowBones(u), size_t(c) * sizeof(uint32_t));
      std::memcpy(rowWeights(v), rowWeights(u), size_t(c) * sizeof(float));
    }
    return Ok;
  });
}

// ---- Indexed blending ---------------------------------------------------------------------------

LyrResult SkinInfoImpl::ToIndexedBlendedMesh(Mesh* source, uint32_t options, uint32_t paletteSize,
                                             const uint32_t* adjacencyIn, uint32_t* adjacencyOut,
                                             uint32_t* faceRemap, Buffer** vertexRemap,
                                             uint32_t* maxWeightsPerVertex,
                                             uint32_t* combinationCount, Buffer** combinations,
                                             Mesh** out) {
  if (!source || !out || (options & (MO::Index32 | kIndexedBlendedRefusedOptions)) ||
      paletteSize == 0)
    return ErrInvalidCall;
  const BlendedOutputs o = {adjacencyOut,        faceRemap,        vertexRemap,
                            maxWeightsPerVertex, combinationCount, combinations};
  if (boneCount_ == 0)
    return Guard([&] { return CloneWithoutBones(source, options, adjacencyIn, o, out); });
  if (boneCount_ > kMaxBlendBones) return ErrInvalidCall;
  const LyrResult result = Guard([&]() -> LyrResult {
    Ref<GraphicsDevice> device;
    LyrResult r = source->GetOwnerDevice(device.put());
    if (Failed(r)) return r;
    BlendCaps caps;
    if (Failed(r = ReadBlendCaps(device.get(), &caps))) return r;
    // Weights per vertex: what the device blends with indices, or four in software; never more
    // than four palette indices fit in a vertex.
    if (!caps.indexed && !caps.mixed) return ErrDeviceCannotBlend;
    uint32_t w = std::clamp(caps.indexed ? caps.matrices : 4u, 1u, 4u);
    // Rows are cut to the weights that will be used (a device in mixed processing may report
    // no hardware blending at all while its software path takes four).
    if (Failed(r = NormalizeWeights(source, w, adjacencyIn))) return r;
    if (maxWeights_ < w) w = std::max(maxWeights_, 1u);

    SourceFaces faces;
    if (Failed(r = ReadSourceFaces(source, &faces))) return r;
    // Face bone masks: the first w bones of each corner's row.
    Vector<BoneMask> masks(faces.count, BoneMask{});
    for (uint32_t f = 0; f < faces.count; ++f) {
      for (int k = 0; k < 3; ++k) {
        const uint32_t v = faces.indices[size_t(f) * 3 + k];
        if (v >= vertexCount_) continue;
        const uint32_t c = std::min(vertexInfluences_[v], w);
        for (uint32_t j = 0; j < c; ++j) MaskAdd(masks[f], rowBones(v)[j]);
      }
      // No palette could take this face: refuse rather than search forever.
      if (MaskCount(masks[f]) > paletteSize) return ErrTooManyFaceBones;
    }
    // Palettes, filled one after another from the unassigned faces of one attribute id.
    Vector<BoneMask> palettes;
    palettes.reserve(static_cast<size_t>(
        (static_cast<float>(boneCount_) * 1.2f + static_cast<float>(paletteSize - 1)) /
        static_cast<float>(paletteSize)));
    Vector<uint32_t> paletteAttribute;
    Vector<uint32_t> group(faces.count, kNone);
    for (uint32_t first = 0; first < faces.count;) {
      BoneMask palette{};
      const uint32_t attribute = faces.attributes[first];
      const uint32_t number = static_cast<uint32_t>(palettes.size());
      for (uint32_t f = first; f < faces.count; ++f) {
        if (group[f] != kNone || faces.attributes[f] != attribute) continue;
        const BoneMask joined = MaskUnion(palette, masks[f]);
        if (MaskCount(joined) > paletteSize) continue;
        palette = joined;
        group[f] = number;
      }
      palettes.push_back(palette);
      paletteAttribute.push_back(attribute);
      while (first < faces.count && group[first] != kNone) ++first;
    }

    BlendedMesh b;
    if (Failed(r = BlendedDeclaration(source, w, true, b.declaration))) return r;
    if (Failed(r = BuildBlendedMesh(source, options, group, adjacencyIn, o.adjacencyOut != nullptr,
                                    o.faceRemap != nullptr, b)))
      return r;
    Ref<Buffer> combos;
    // Each range's palette: bone ids in increasing order; bone k goes to entry entryOf[k].
    uint8_t entryOf[kMaxBlendBones];
    auto fill = [&](const AttributeRange& range, BoneCombination& c, uint32_t* ids) {
      const size_t p = std::min<size_t>(range.attributeId, palettes.size() - 1);
      const BoneMask& palette = palettes[p];
      c.attributeId = paletteAttribute[p];
      std::memset(entryOf, 0, sizeof entryOf);
      uint32_t n = 0;
      for (uint32_t bone = 0; bone < kMaxBlendBones; ++bone)
        if (MaskHas(palette, bone)) {
          entryOf[bone] = static_cast<uint8_t>(n);
          if (n < paletteSize) ids[n] = bone;
          ++n;
        }
      b.ForEachCorner(range, [&](uint32_t v) {
        const uint32_t old = b.OldVertex(v);
        float weights[4] = {0, 0, 0, 0};
        uint8_t entries[4] = {0, 0, 0, 0};
        if (old < vertexCount_) {
          for (uint32_t k = 0; k + 1 < w; ++k) weights[k] = rowWeights(old)[k];
          const uint32_t count = std::min(vertexInfluences_[old], w);
          for (uint32_t k = 0; k < count; ++k) entries[k] = entryOf[rowBones(old)[k]];
        }
        b.WriteWeights(v, weights, w - 1);
        b.WriteIndices(v, entries);
      });
    };
    if (Failed(r = MakeCombinations(b.table, paletteSize, fill, combos.put()))) return r;
    return HandOut(b, o, w, combos, out);
  });
  // The conversion works on the per-vertex rows; they are rebuilt from the bones next time.
  DropDerivedViews();
  return result;
}

// ---- Blending without indices ------------------------------------------------------------------

LyrResult SkinInfoImpl::ToBlendedMesh(Mesh* source, uint32_t options, const uint32_t* adjacencyIn,
                                      uint32_t* adjacencyOut, uint32_t* faceRemap,
                                      Buffer** vertexRemap, uint32_t* maxBonesPerFace,
                                      uint32_t* combinationCount, Buffer** combinations,
                                      Mesh** out) {
  if (!source || !out || (options & (MO::Index32 | kBlendedRefusedOptions))) return ErrInvalidCall;
  const BlendedOutputs o = {adjacencyOut,    faceRemap,        vertexRemap,
                            maxBonesPerFace, combinationCount, combinations};
  if (boneCount_ == 0)
    return Guard([&] { return CloneWithoutBones(source, options, adjacencyIn, o, out); });
  if (boneCount_ > kMaxBlendBones) return ErrInvalidCall;
  const LyrResult result = Guard([&]() -> LyrResult {
    Ref<GraphicsDevice> device;
    LyrResult r = source->GetOwnerDevice(device.put());
    if (Failed(r)) return r;
    BlendCaps caps;
    if (Failed(r = ReadBlendCaps(device.get(), &caps))) return r;
    // A combination holds at most four bones.
    uint32_t t = caps.matrices;
    if (caps.mixed && !(options & kHardwareBlendOnly)) t = 4;
    if (t > 4) t = 4;
    if (Failed(r = BuildVertexTables())) return r;
    SourceFaces faces;
    if (Failed(r = ReadSourceFaces(source, &faces))) return r;

    // Point representatives, once a face needs more bones than the device blends; vertices are
    // then read through them. byRep lists the vertices of each representative together.
    Vector<uint32_t> reps, byRep, repStart;
    auto computeReps = [&]() -> LyrResult {
      LyrResult pr = SkinPointReps(source, adjacencyIn, reps);
      if (Failed(pr)) return pr;
      repStart.assign(size_t(vertexCount_) + 1, 0);
      for (uint32_t v = 0; v < vertexCount_; ++v) ++repStart[reps[v] + 1];
      for (uint32_t v = 0; v < vertexCount_; ++v) repStart[v + 1] += repStart[v];
      byRep.resize(vertexCount_);
      Vector<uint32_t> fill(repStart.begin(), repStart.end() - 1);
      for (uint32_t v = 0; v < vertexCount_; ++v) byRep[fill[reps[v]]++] = v;
      return Ok;
    };

    // The distinct bones with a non-zero weight on a face, each with its largest weight there.
    struct Found {
      uint32_t bone;
      float weight;
    };
    Vector<Found> found;
    auto collect = [&](uint32_t f) {
      found.clear();
      for (int k = 0; k < 3; ++k) {
        uint32_t v = faces.indices[size_t(f) * 3 + k];
        if (v >= vertexCount_) continue;
        if (!reps.empty()) v = reps[v];
        for (uint32_t j = 0; j < vertexInfluences_[v]; ++j) {
          const uint32_t bone = rowBones(v)[j];
          const float weight = rowWeights(v)[j];
          if (weight == 0.0f) continue;
          auto it = std::find_if(found.begin(), found.end(),
                                 [&](const Found& x) { return x.bone == bone; });
          if (it == found.end()) {
            found.push_back({bone, weight});
          } else if (weight > it->weight) {
            it->weight = weight;
          }
        }
      }
    };
    // Takes the weights of a vertex's bones in `removed` out and scales the rest back up.
    auto strip = [&](uint32_t x, const BoneMask& removed) {
      float sum = 0.0f;
      float* weights = rowWeights(x);
      for (uint32_t j = 0; j < vertexInfluences_[x]; ++j)
        if (MaskHas(removed, rowBones(x)[j])) {
          sum += weights[j];
          weights[j] = 0.0f;
        }
      if (sum != 0.0f && 1.0f - sum > 0.0f) {
        const float scale = 1.0f / (1.0f - sum);
        for (uint32_t j = 0; j < vertexInfluences_[x]; ++j) weights[j] *= scale;
      }
    };
    // The bone of a row's largest positive weight (the first of equals), kNone without one.
    auto heaviestBone = [&](uint32_t x) {
      uint32_t bone = kNone;
      float best = 0.0f;
      for (uint32_t j = 0; j < vertexInfluences_[x]; ++j)
        if (rowWeights(x)[j] > best) {
          best = rowWeights(x)[j];
          bone = rowBones(x)[j];
        }
      return bone;
    };
    // Keeps the first three bones and the heaviest others up to t; every other bone leaves the
    // face's vertices and every vertex at their places. No vertex may lose its heaviest bone: a
    // vertex stripped of all its bones would hand its whole weight to a slot that is unused or
    // holds a bone it does not follow. Where that choice drops one, the bone takes the place of
    // the lightest kept bone that no vertex of the face needs. A face has at most three such
    // bones and t is at least three, so there is always room; and since every face keeps the
    // heaviest bone of each of its vertices, the heaviest bone of a row never changes.
    auto limitBones = [&](uint32_t f) {
      Vector<Found> kept(found.begin(), found.begin() + 3);
      Vector<Found> rest(found.begin() + 3, found.end());
      while (kept.size() < t && !rest.empty()) {
        auto heaviest =
            std::max_element(rest.begin(), rest.end(),
                             [](const Found& a, const Found& b) { return a.weight < b.weight; });
        kept.push_back(*heaviest);
        rest.erase(heaviest);
      }
      uint32_t needed[3];
      int neededCount = 0;
      for (int k = 0; k < 3; ++k) {
        const uint32_t v = faces.indices[size_t(f) * 3 + k];
        if (v >= vertexCount_) continue;
        const uint32_t bone = heaviestBone(reps[v]);
        if (bone != kNone && std::find(needed, needed + neededCount, bone) == needed + neededCount)
          needed[neededCount++] = bone;
      }
      const auto isNeeded = [&](const Found& x) {
        return std::find(needed, needed + neededCount, x.bone) != needed + neededCount;
      };
      for (int n = 0; n < neededCount; ++n) {
        auto missing = std::find_if(rest.begin(), rest.end(),
                                    [&](const Found& x) { return x.bone == needed[n]; });
        if (missing == rest.end()) continue;
        auto lightest = kept.end();
        for (auto it = kept.begin(); it != kept.end(); ++it)
          if (!isNeeded(*it) && (lightest == kept.end() || it->weight < lightest->weight))
            lightest = it;
        if (lightest == kept.end()) continue;
        std::swap(*lightest, *missing);
      }
      BoneMask removed{};
      for (const Found& x : rest) MaskAdd(removed, x.bone);
      uint32_t done[3];
      int doneCount = 0;
      for (int k = 0; k < 3; ++k) {
        const uint32_t v = faces.indices[size_t(f) * 3 + k];
        if (v >= vertexCount_) continue;
        const uint32_t u = reps[v];
        if (std::find(done, done + doneCount, u) != done + doneCount) continue;
        done[doneCount++] = u;
        strip(u, removed);
        for (uint32_t i = repStart[u]; i < repStart[u + 1]; ++i)
          if (byRep[i] != u) strip(byRep[i], removed);
      }
      found.swap(kept);
    };

    struct FaceBones {
      uint32_t count = 0;
      uint32_t bones[4] = {};
    };
    Vector<FaceBones> lists(faces.count);
    auto store = [&](uint32_t f) {
      lists[f].count = static_cast<uint32_t>(found.size());
      for (size_t i = 0; i < found.size(); ++i) lists[f].bones[i] = found[i].bone;
    };
    uint32_t largest = 0;
    for (uint32_t f = 0; f < faces.count; ++f) {
      collect(f);
      if (found.size() > t && reps.empty()) {
        if (Failed(r = computeReps())) return r;
        collect(f);
      }
      largest = std::max(largest, static_cast<uint32_t>(found.size()));
      if (found.size() > t) {
        if (t < 3) return ErrTooManyFaceBones;
        limitBones(f);
      }
      store(f);
    }
    if (largest > t) {
      // Removals changed rows that earlier faces had read: every face again, through the
      // representatives, each held to t bones.
      largest = t;
      for (uint32_t f = 0; f < faces.count; ++f) {
        collect(f);
        if (found.size() > t) limitBones(f);
        store(f);
      }
    }
    const uint32_t J = std::max(largest, 1u);

    // Keys: J fields of bone + 1, the attribute id above them.
    uint32_t maxAttribute = 0;
    for (uint32_t a : faces.attributes) maxAttribute = std::max(maxAttribute, a);
    const uint32_t attributeBits =
        static_cast<uint32_t>(std::bit_width(uint64_t(maxAttribute) + 1));
    const uint32_t fieldBits = attributeBits >= 32 ? 0 : (32 - attributeBits) / J;
    const uint32_t fieldLimit = (1u << fieldBits) - 1;

    struct Combination {
      uint32_t attribute;
      BoneMask set;
      uint32_t key;
      uint32_t count;
      uint32_t bones[4];
    };
    Vector<Combination> combos;
    combos.reserve(10);
    const auto blends = [&](uint32_t n) { return n <= caps.matrices; };
    Vector<uint32_t> group(faces.count, kNone);
    for (uint32_t f = 0; f < faces.count; ++f) {
      const FaceBones& face = lists[f];
      Combination mine{faces.attributes[f], BoneMask{}, 0, face.count, {}};
      for (uint32_t z = 0; z < face.count; ++z) {
        // A bone index the key cannot hold: such a skin cannot be grouped.
        if (face.bones[z] >= fieldLimit) return ErrInvalidCall;
        MaskAdd(mine.set, face.bones[z]);
        mine.key |= (face.bones[z] + 1) << (z * fieldBits);
        mine.bones[z] = face.bones[z];
      }
      mine.key |= mine.attribute << (J * fieldBits);
      for (size_t i = 0; i < combos.size() && group[f] == kNone; ++i) {
        Combination& c = combos[i];
        if (c.attribute != mine.attribute) continue;
        if ((c.key == mine.key || MaskContains(c.set, mine.set)) &&
            !(blends(mine.count) && !blends(c.count))) {
          group[f] = static_cast<uint32_t>(i);
        } else if (MaskContains(mine.set, c.set) && !(blends(c.count) && !blends(mine.count))) {
          c = mine;
          group[f] = static_cast<uint32_t>(i);
        }
      }
      if (group[f] == kNone) {
        group[f] = static_cast<uint32_t>(combos.size());
        combos.push_back(mine);
      }
    }

    BlendedMesh b;
    if (Failed(r = BlendedDeclaration(source, J, false, b.declaration))) return r;
    if (Failed(r = BuildBlendedMesh(source, options, group, adjacencyIn, o.adjacencyOut != nullptr,
                                    o.faceRemap != nullptr, b)))
      return r;
    auto fill = [&](const AttributeRange& range, BoneCombination& c, uint32_t* ids) {
      const Combination& combo = combos[std::min<size_t>(range.attributeId, combos.size() - 1)];
      c.attributeId = combo.attribute;
      for (uint32_t z = 0; z < combo.count; ++z) ids[z] = combo.bones[z];
      b.ForEachCorner(range, [&](uint32_t v) {
        const uint32_t old = b.OldVertex(v);
        float weights[4] = {0, 0, 0, 0};
        for (uint32_t z = 0; z + 1 < J && z < combo.count && old < vertexCount_; ++z)
          for (uint32_t j = 0; j < vertexInfluences_[old]; ++j)
            if (rowBones(old)[j] == combo.bones[z]) {
              weights[z] = rowWeights(old)[j];
              break;
            }
        b.WriteWeights(v, weights, J - 1);
      });
    };
    Ref<Buffer> combos4;
    if (Failed(r = MakeCombinations(b.table, 4, fill, combos4.put()))) return r;
    return HandOut(b, o, J, combos4, out);
  });
  DropDerivedViews();
  return result;
}

}  // namespace lyr
