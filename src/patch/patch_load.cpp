#include "patch/patch_load.h"

#include <cstring>

#include "core/object_impl.h"
#include "mesh/load_block.h"
#include "mesh/material_load.h"
#include "mesh/vertex_rows.h"
#include "patch/patch_impl.h"
#include "platform/platform.h"
#include "vekio/vek_component.h"

namespace lyr {

namespace {

using namespace meshload;
namespace tid = vekio::tid;

// PatchMesh data stores cubic Bézier patches in another control-point order: the PatchMesh's
// index i is the file's index at position kOrder16[i] (rectangles) or kOrder10[i] (triangles).
constexpr uint8_t kOrder16[16] = {6, 7, 8, 9, 5, 14, 15, 10, 4, 13, 12, 11, 3, 2, 1, 0};
constexpr uint8_t kOrder10[10] = {0, 8, 1, 7, 9, 2, 6, 5, 4, 3};

// The patch kinds of PatchMesh data, in the order their PatchMeshes are handed out. Only the
// cubic ones (1 and 3) can arise.
struct Kind {
  PatchInfo info;
  uint32_t controlPoints;
};
constexpr Kind kKinds[4] = {{{kPatchTriangle, kPatchQuadratic, kPatchBezier}, 6},
                            {{kPatchTriangle, kPatchCubic, kPatchBezier}, 10},
                            {{kPatchRectangle, kPatchQuadratic, kPatchBezier}, 9},
                            {{kPatchRectangle, kPatchCubic, kPatchBezier}, 16}};
constexpr uint32_t kKindCount = 4;

class PatchReader {
 public:
  PatchReader(VekDataObject* object, GraphicsDevice* device, uint32_t options)
      : object_(object), device_(device), options_(options) {}

  bool wantUnknown = false;

  LyrResult Run() {
    LyrResult r = ReadPatchBlock();
    if (Failed(r)) return r;
    r = ForEachDataChild(object_, [&](VekDataObject* child) { return ReadChild(child); });
    if (Failed(r)) return r;
    return Build();
  }

  // Outputs.
  Ref<PatchMesh> meshes[kKindCount];
  uint32_t meshCount = 0;
  Vector<LoadedMaterial> materials;
  ChildList unknown;

 private:
  // ---- The PatchMesh or PatchMesh9 block --------------------------------------------------------

  LyrResult ReadPatchBlock() {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(object_, &b);
    if (Failed(r)) return r;
    const Guid* id = nullptr;
    if (Failed(r = object_->ReadTemplateId(&id))) return r;
    if (!id || (*id != tid::kPatchMesh && *id != tid::kPatchMesh9)) return ErrInvalidCall;
    nine_ = *id == tid::kPatchMesh9;
    if (nine_) {
      if (!b.U32(&info_.type) || !b.U32(&info_.degree) || !b.U32(&info_.basis)) return ErrFail;
      if (Failed(r = ControlPointsPerPatchOf(info_, &controlPoints_))) return r;
    }
    uint32_t nv = 0, np = 0;
    if (!b.U32(&nv)) return ErrFail;
    if (nv > 0xFFFF) return ErrInvalidCall;
    const uint8_t* positions = b.Take(nv, 12);
    if (!positions || !b.U32(&np)) return ErrFail;
    if (nv == 0 || np == 0) return ErrFail;
    if (uint64_t(np) * 4 > b.remaining()) return ErrFail;  // every patch needs its count
    vertexCount_ = nv;
    patchCount_ = np;
    positions_.assign(positions, positions + size_t(nv) * 12);
    patches_ = b.here();
    patchBytes_ = static_cast<uint32_t>(b.remaining());

    // First walk: sizes, kinds and index ranges.
    kindOf_.resize(np);
    BlockReader w(patches_, patchBytes_);
    for (uint32_t p = 0; p < np; ++p) {
      uint32_t k = 0;
      if (!w.U32(&k)) return ErrFail;
      if (nine_) {
        if (k != controlPoints_) return ErrFail;
        kindOf_[p] = 0;
      } else {
        if (k != 10 && k != 16) return ErrInvalidCall;
        kindOf_[p] = k == 10 ? 1 : 3;
      }
      const uint8_t* indices = w.Take(k, 4);
      if (!indices) return ErrFail;
      for (uint32_t i = 0; i < k; ++i)
        if (LoadAt<uint32_t>(indices, i) >= nv) return ErrFail;
      ++kindCount_[kindOf_[p]];
    }

    // Second walk: the indices of every kind, in the PatchMesh's control-point order.
    WorkVector<uint16_t> stored[kKindCount];
    for (uint32_t kind = 0; kind < kKindCount; ++kind)
      stored[kind].resize(size_t(kindCount_[kind]) * PointsOf(kind));
    uint32_t filled[kKindCount] = {};
    BlockReader again(patches_, patchBytes_);
    for (uint32_t p = 0; p < np; ++p) {
      uint32_t k = 0;
      again.U32(&k);
      const uint8_t* in = again.Take(k, 4);
      const uint32_t kind = kindOf_[p];
      uint16_t* out = &stored[kind][size_t(filled[kind]++) * k];
      const uint8_t* order = k == 16 ? kOrder16 : kOrder10;
      for (uint32_t i = 0; i < k; ++i)
        out[i] = static_cast<uint16_t>(LoadAt<uint32_t>(in, nine_ ? i : order[i]));
    }
    for (uint32_t kind = 0; kind < kKindCount; ++kind) {
      if (!kindCount_[kind]) continue;
      const uint64_t bytes = uint64_t(stored[kind].size()) * 2;
      if (bytes > UINT32_MAX) return ErrOutOfMemory;
      r = device_->MakeIndexBuffer(static_cast<uint32_t>(bytes), 0, kIndexFormat16,
                                   kPoolSystemMemory, indexBuffers_[kind].put(), nullptr);
      if (Failed(r)) return r;
      void* locked = nullptr;
      if (Failed(r = indexBuffers_[kind]->LockBuffer(0, 0, &locked, 0))) return r;
      std::memcpy(locked, stored[kind].data(), static_cast<size_t>(bytes));
      if (Failed(r = indexBuffers_[kind]->UnlockBuffer())) return r;
    }
    attributes_.assign(np, 0);
    return Ok;
  }

  uint32_t PointsOf(uint32_t kind) const {
    return nine_ ? controlPoints_ : kKinds[kind].controlPoints;
  }

  // ---- Children --------------------------------------------------------------------------------

  LyrResult ReadChild(VekDataObject* c) {
    const Guid* id = nullptr;
    LyrResult r = c->ReadTemplateId(&id);
    if (Failed(r)) return r;
    if (!id) return ErrFail;
    if (*id == tid::kMeshTextureCoords) return ReadTexCoords(c);
    if (*id == tid::kMeshNormals) return nine_ ? ReadNormals(c) : Ok;
    if (*id == tid::kMeshVertexColors) return ReadColors(c);
    if (*id == tid::kMeshMaterialList) return ReadMaterialList(c);
    if (*id == tid::kFVFData) return ReadFvfData(c);
    if (*id == tid::kDeclData) return ReadDeclData(c);
    return wantUnknown ? unknown.Add(c) : Ok;
  }

  LyrResult ReadTexCoords(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t n = 0;
    const uint8_t* uv = nullptr;
    if (!b.U32(&n) || n != vertexCount_ || !(uv = b.Take(n, 8))) return ErrFail;
    uv_.assign(uv, uv + size_t(n) * 8);
    return Ok;
  }

  // The normals count only when every patch's normal list names exactly its control vertices;
  // otherwise the normal is computed from the derivatives.
  LyrResult ReadNormals(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t nn = 0, nfn = 0;
    const uint8_t* normals = nullptr;
    if (!b.U32(&nn) || !(normals = b.Take(nn, 12)) || !b.U32(&nfn)) return ErrFail;
    if (nn != vertexCount_ || nfn != patchCount_) return ErrFail;
    BlockReader patches(patches_, patchBytes_);  // checked when the block was read
    bool same = true;
    for (uint32_t p = 0; p < nfn; ++p) {
      uint32_t k = 0, kn = 0;
      patches.U32(&k);
      const uint8_t* indices = patches.Take(k, 4);
      const uint8_t* list = nullptr;
      if (!b.U32(&kn) || kn != controlPoints_ || !(list = b.Take(kn, 4))) return ErrFail;
      same = same && std::memcmp(list, indices, size_t(kn) * 4) == 0;
    }
    normals_.clear();
    if (same) normals_.assign(normals, normals + size_t(nn) * 12);
    return Ok;
  }

  LyrResult ReadColors(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t n = 0;
    const uint8_t* entries = nullptr;
    if (!b.U32(&n) || !(entries = b.Take(n, 20))) return ErrFail;
    colors_.assign(vertexCount_, 0u);
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t* e = entries + size_t(i) * 20;
      const uint32_t index = LoadAt<uint32_t>(e, 0);
      if (index >= vertexCount_) return ErrFail;
      const uint8_t* rgba = e + 4;
      colors_[index] = PackColor(LoadAt<float>(rgba, 0), LoadAt<float>(rgba, 1),
                                 LoadAt<float>(rgba, 2), LoadAt<float>(rgba, 3));
    }
    return Ok;
  }

  LyrResult ReadMaterialList(VekDataObject* c) {
    BlockReader b(nullptr, 0);
    LyrResult r = ReadBlock(c, &b);
    if (Failed(r)) return r;
    uint32_t nm = 0, nfi = 0;
    if (!b.U32(&nm) || !b.U32(&nfi)) return ErrFail;
    if (nm == 0) return Ok;
    if (nfi > patchCount_) return ErrInvalidCall;
    const uint8_t* faceIndexes = b.Take(nfi, 4);
    if (!faceIndexes) return ErrFail;
    // An id naming no material would send the host past the material records.
    for (uint32_t i = 0; i < nfi; ++i)
      if (LoadAt<uint32_t>(faceIndexes, i) >= nm) return ErrFail;
    Vector<LoadedMaterial> read;
    if (Failed(r = ReadMaterials(c, nm, true, read))) return r;
    materials.swap(read);
    for (uint32_t p = 0; p < patchCount_; ++p)
      attributes_[p] = p < nfi ? LoadAt<uint32_t>(faceIndexes, p) : 0;
    return Ok;
  }

  LyrResult ReadFvfData(VekDataObject* c) {
    return meshload::ReadFvfData(c, vertexCount_, &fvfCode_, &fvf_);
  }

  LyrResult ReadDeclData(VekDataObject* c) {
    return meshload::ReadDeclData(c, vertexCount_, &decl_);
  }

  // ---- Building --------------------------------------------------------------------------------

  // Position; the read normal; colour; texture set 0; the FVFData elements (texture sets moved
  // up one when set 0 is read); the DeclData elements. Without usable normals, a normal computed
  // from the derivatives follows the position and takes no room.
  LyrResult MakeLayout() {
    using T = ElementType;
    using U = ElementUsage;
    constexpr ElementMethod M = ElementMethod::Default;
    layout_[0] = {0, 0, T::F32x3, M, U::Position, 0};
    layout_[1] = kEndElement;
    auto add = [&](ElementType type, ElementUsage usage) {
      const VertexElement e[2] = {{0, 0, type, M, usage, 0}, kEndElement};
      return AppendElements(e, layout_);
    };
    LyrResult r = Ok;
    if (!normals_.empty() && Failed(r = add(T::F32x3, U::Normal))) return r;
    if (!colors_.empty() && Failed(r = add(T::ColorArgb8, U::Color))) return r;
    if (!uv_.empty() && Failed(r = add(T::F32x2, U::TexCoord))) return r;
    if (fvf_.present) {
      // The rows hold the code's components after the position.
      if (Failed(r = FormatCodeToElements(fvfCode_, fvf_.elements))) return r;
      RemoveElement(fvf_.elements, U::Position, 0);
      if (!uv_.empty()) {
        for (VertexElement* e = fvf_.elements; !IsEndElement(*e); ++e)
          if (e->usage == U::TexCoord) ++e->usageIndex;
      }
      if (StreamVertexSize(fvf_.elements, 0) > fvf_.stride) return ErrFail;
      if (Failed(r = AppendElements(fvf_.elements, layout_))) return r;
    }
    if (decl_.present && Failed(r = AppendElements(decl_.elements, layout_))) return r;
    if (normals_.empty()) {
      const uint32_t n = CountElements(layout_);
      if (n >= kMaxElements || FindElement(layout_, U::Normal, 0)) return ErrInvalidCall;
      std::memmove(&layout_[2], &layout_[1], n * sizeof(VertexElement));  // end marker too
      layout_[1] = {0, 0, T::F32x3, ElementMethod::CrossUV, U::Normal, 0};
    }
    return Ok;
  }

  LyrResult WriteVertices(VertexBuffer* vb, uint32_t stride) {
    void* locked = nullptr;
    LyrResult r = vb->LockBuffer(0, 0, &locked, 0);
    if (Failed(r)) return r;
    uint8_t* base = static_cast<uint8_t*>(locked);
    std::memset(base, 0, size_t(vertexCount_) * stride);
    const VertexElement* normal =
        normals_.empty() ? nullptr : FindElement(layout_, ElementUsage::Normal, 0);
    const VertexElement* color =
        colors_.empty() ? nullptr : FindElement(layout_, ElementUsage::Color, 0);
    const VertexElement* tex0 =
        uv_.empty() ? nullptr : FindElement(layout_, ElementUsage::TexCoord, 0);
    VertexConverter fvfConverter, declConverter;
    if (fvf_.present) AttachRows(fvfConverter, fvf_, layout_, base, stride);
    if (decl_.present) AttachRows(declConverter, decl_, layout_, base, stride);
    for (uint32_t v = 0; v < vertexCount_; ++v) {
      uint8_t* out = base + size_t(v) * stride;
      std::memcpy(out, &positions_[size_t(v) * 12], 12);
      if (normal) std::memcpy(out + normal->offset, &normals_[size_t(v) * 12], 12);
      if (color) std::memcpy(out + color->offset, &colors_[v], 4);
      if (tex0) std::memcpy(out + tex0->offset, &uv_[size_t(v) * 8], 8);
      if (fvf_.present) ConvertVertex(fvfConverter, v, v, false);
      if (decl_.present) ConvertVertex(declConverter, v, v, false);
    }
    return vb->UnlockBuffer();
  }

  LyrResult Build() {
    LyrResult r = MakeLayout();
    if (Failed(r)) return r;
    const uint32_t stride = StreamVertexSize(layout_, 0);
    Ref<VertexBuffer> vb;
    if (Failed(r = device_->MakeVertexBuffer(vertexCount_ * stride, 0, 0, kPoolSystemMemory,
                                             vb.put(), nullptr)))
      return r;
    if (Failed(r = WriteVertices(vb.get(), stride))) return r;
    uint32_t position = 0;  // attribute ids of each kind follow the kind's patch order
    for (uint32_t kind = 0; kind < kKindCount; ++kind) {
      const uint32_t count = kindCount_[kind];
      if (!count) continue;
      const PatchInfo& info = nine_ ? info_ : kKinds[kind].info;
      Ref<PatchMesh> mesh;
      if (Failed(r = CreatePatchMeshOnBuffers(&info, count, vertexCount_, options_, layout_,
                                              device_, vb.get(), indexBuffers_[kind].get(),
                                              mesh.put())))
        return r;
      uint32_t* ids = nullptr;
      if (Failed(r = mesh->LockPatchAttributes(0, &ids))) return r;
      uint32_t i = 0;
      for (uint32_t p = 0; p < patchCount_; ++p)
        if (kindOf_[p] == kind) ids[i++] = attributes_[p];
      position += i;
      // The unlock builds the attribute table, regrouping the patches by id.
      if (Failed(r = mesh->UnlockPatchAttributes())) return r;
      meshes[meshCount++] = std::move(mesh);
    }
    return position == patchCount_ ? Ok : ErrFail;
  }

  VekDataObject* object_;
  GraphicsDevice* device_;
  uint32_t options_;

  bool nine_ = false;
  PatchInfo info_{};
  uint32_t controlPoints_ = 0;
  uint32_t vertexCount_ = 0, patchCount_ = 0;
  const uint8_t* patches_ = nullptr;  // inside the object's block, which lives as long as it
  uint32_t patchBytes_ = 0;
  Vector<uint8_t> positions_, normals_, uv_;
  Vector<uint32_t> colors_;
  Vector<uint8_t> kindOf_;
  uint32_t kindCount_[kKindCount] = {};
  Ref<IndexBuffer> indexBuffers_[kKindCount];
  Vector<uint32_t> attributes_;  // per patch of the file
  uint32_t fvfCode_ = 0;
  VertexRows fvf_, decl_;
  VertexElement layout_[MaxElementEntries];
};

}  // namespace

LyrResult LoadPatchMeshes(VekDataObject* object, uint32_t options, GraphicsDevice* device,
                          Buffer** materials, Buffer** effects, uint32_t* materialCount,
                          PatchMesh** meshes, uint32_t* meshCount, bool oldFormat,
                          VekDataObject*** unknown, uint32_t* unknownCount) {
  (void)oldFormat;
  if (!meshes || !meshCount) return ErrInvalidCall;
  for (uint32_t i = 0; i < kMaxLoadedPatchMeshes; ++i) meshes[i] = nullptr;
  *meshCount = 0;
  if (materials) *materials = nullptr;
  if (effects) *effects = nullptr;
  if (materialCount) *materialCount = 0;
  if (unknown) *unknown = nullptr;
  if (unknownCount) *unknownCount = 0;
  if (!object || !device) return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    PatchReader reader(object, device, options);
    reader.wantUnknown = unknown != nullptr;
    LyrResult r;
    {
      platform::ScopedCLocale locale;
      r = reader.Run();
    }
    if (Failed(r)) return r;
    Ref<Buffer> packedMaterials, packedEffects;
    if (materials && Failed(r = PackMaterials(reader.materials, packedMaterials.put()))) return r;
    if (effects && Failed(r = PackEffects(reader.materials, packedEffects.put()))) return r;
    if (materials) *materials = packedMaterials.detach();
    if (effects) *effects = packedEffects.detach();
    if (materialCount) *materialCount = static_cast<uint32_t>(reader.materials.size());
    if (unknown) {
      uint32_t count = 0;
      reader.unknown.Take(unknown, &count);
      if (unknownCount) *unknownCount = count;
    }
    for (uint32_t i = 0; i < reader.meshCount; ++i) meshes[i] = reader.meshes[i].detach();
    *meshCount = reader.meshCount;
    return Ok;
  });
}

}  // namespace lyr
