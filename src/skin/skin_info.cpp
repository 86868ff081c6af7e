// The SkinInfo object: bone records, vertex layout and the derived per-vertex views.
#include "skin/skin_info.h"

#include <cstring>

namespace lyr {

namespace {

char* CopyText(const char* text) {
  size_t n = std::strlen(text) + 1;
  char* p = static_cast<char*>(Alloc(n));
  if (p) std::memcpy(p, text, n);
  return p;
}

}  // namespace

bool CopySkinDeclaration(VertexElement* out, const VertexElement* elements) {
  if (!elements) return false;
  uint32_t n = 0;
  while (n < MaxElementEntries && elements[n].stream != 0xFF) ++n;
  if (n == MaxElementEntries || !IsSingleStream(elements)) return false;
  std::memcpy(out, elements, (n + 1) * sizeof(VertexElement));
  return true;
}

// ---- Creation and destruction -----------------------------------------------------------------

LyrResult SkinInfoImpl::Create(uint32_t vertexCount, const VertexElement* elements,
                               uint32_t boneCount, BoneRecord* bones, SkinInfo** out) {
  if (!out) return ErrInvalidCall;
  *out = nullptr;
  VertexElement probe[MaxElementEntries];
  if (!CopySkinDeclaration(probe, elements)) return ErrInvalidCall;
  if (bones) {
    for (uint32_t i = 0; i < boneCount; ++i)
      if (bones[i].influenceCount && (!bones[i].vertices || !bones[i].weights))
        return ErrInvalidCall;
  }
  SkinInfoImpl* skin = New<SkinInfoImpl>();
  if (!skin) return ErrOutOfMemory;
  LyrResult r = skin->SetSkinDeclaration(elements);
  if (Succeeded(r) && !skin->vertexInfluences_.allocate(vertexCount)) r = ErrOutOfMemory;
  if (Succeeded(r) && !bones) {
    bones = static_cast<BoneRecord*>(AllocArray(boneCount, sizeof(BoneRecord)));
    if (bones) {
      std::memset(bones, 0, size_t(boneCount) * sizeof(BoneRecord));
    } else {
      r = ErrOutOfMemory;
    }
  }
  if (Failed(r)) {
    skin->Release();
    return r;
  }
  std::memset(skin->vertexInfluences_.get(), 0, size_t(vertexCount) * sizeof(uint32_t));
  skin->bones_ = bones;
  skin->boneCount_ = boneCount;
  skin->vertexCount_ = vertexCount;
  *out = skin;
  return Ok;
}

void SkinInfoImpl::FreeBone(BoneRecord& b) {
  Free(b.vertices);
  Free(b.weights);
  Free(b.name);
  b.vertices = nullptr;
  b.weights = nullptr;
  b.name = nullptr;
  b.influenceCount = 0;
}

SkinInfoImpl::~SkinInfoImpl() {
  if (bones_) {
    for (uint32_t i = 0; i < boneCount_; ++i) FreeBone(bones_[i]);
    Free(bones_);
  }
}

LyrResult CreateSkinInfo(uint32_t vertexCount, const VertexElement* elements, uint32_t boneCount,
                         SkinInfo** out) {
  return Guard(
      [&] { return SkinInfoImpl::Create(vertexCount, elements, boneCount, nullptr, out); });
}

LyrResult CreateSkinInfoFromBones(uint32_t vertexCount, const VertexElement* elements,
                                  uint32_t boneCount, BoneRecord* bones, SkinInfo** out) {
  if (boneCount && !bones) {
    if (out) *out = nullptr;
    return ErrInvalidCall;
  }
  return Guard([&] { return SkinInfoImpl::Create(vertexCount, elements, boneCount, bones, out); });
}

void SkinInfoImpl::DropDerivedViews() {
  cache_ = 0;
  tableBones_ = Block<uint32_t>();
  tableWeights_ = Block<float>();
}

// ---- Bones ------------------------------------------------------------------------------------

LyrResult SkinInfoImpl::SetBoneWeights(uint32_t bone, uint32_t count, const uint32_t* vertices,
                                       const float* weights) {
  if (bone >= boneCount_ || (count && (!vertices || !weights))) return ErrInvalidCall;
  // The new arrays are made before the old ones go, so a failure keeps the bone as it was.
  Block<uint32_t> v;
  Block<float> w;
  if (count && (!v.allocate(count) || !w.allocate(count))) return ErrOutOfMemory;
  if (count) {
    std::memcpy(v.get(), vertices, size_t(count) * sizeof(uint32_t));
    std::memcpy(w.get(), weights, size_t(count) * sizeof(float));
  }
  BoneRecord& b = bones_[bone];
  Free(b.vertices);
  Free(b.weights);
  b.vertices = v.release();
  b.weights = w.release();
  b.influenceCount = count;
  DropDerivedViews();
  return Ok;
}

uint32_t SkinInfoImpl::GetBoneWeightCount(uint32_t bone) {
  return bone < boneCount_ ? bones_[bone].influenceCount : 0;
}

LyrResult SkinInfoImpl::GetBoneWeights(uint32_t bone, uint32_t* vertices, float* weights) {
  if (bone >= boneCount_) return ErrInvalidCall;
  const BoneRecord& b = bones_[bone];
  if (!b.influenceCount) return Ok;
  if (!vertices || !weights) return ErrInvalidCall;
  std::memcpy(vertices, b.vertices, size_t(b.influenceCount) * sizeof(uint32_t));
  std::memcpy(weights, b.weights, size_t(b.influenceCount) * sizeof(float));
  return Ok;
}

LyrResult SkinInfoImpl::SetBoneLabel(uint32_t bone, const char* name) {
  if (bone >= boneCount_) return ErrInvalidCall;
  char* copy = nullptr;
  if (name && !(copy = CopyText(name))) return ErrOutOfMemory;
  Free(bones_[bone].name);
  bones_[bone].name = copy;
  return Ok;
}

const char* SkinInfoImpl::GetBoneLabel(uint32_t bone) {
  return bone < boneCount_ ? bones_[bone].name : nullptr;
}

LyrResult SkinInfoImpl::SetBoneOffset(uint32_t bone, const Matrix* offset) {
  if (bone >= boneCount_ || !offset) return ErrInvalidCall;
  std::memcpy(&bones_[bone].offset, offset, sizeof(Matrix));
  return Ok;
}

Matrix* SkinInfoImpl::GetBoneOffset(uint32_t bone) {
  return bone < boneCount_ ? &bones_[bone].offset : nullptr;
}

LyrResult SkinInfoImpl::SetWeightThreshold(float threshold) {
  minWeight_ = threshold;
  cache_ &= ~kUpdateTableBuilt;
  return Ok;
}

// ---- Layout -----------------------------------------------------------------------------------

LyrResult SkinInfoImpl::SetSkinFormatCode(uint32_t formatCode) {
  VertexElement elements[MaxElementEntries];
  LyrResult r = FormatCodeToElements(formatCode, elements);
  if (Failed(r)) return r;
  std::memcpy(declaration_, elements, sizeof(declaration_));
  formatCode_ = formatCode;
  cache_ &= ~kUpdateTableBuilt;
  return Ok;
}

LyrResult SkinInfoImpl::SetSkinDeclaration(const VertexElement* elements) {
  VertexElement copy[MaxElementEntries];
  if (!CopySkinDeclaration(copy, elements)) return ErrInvalidCall;
  uint32_t code = 0;
  if (Failed(ElementsToFormatCode(copy, &code))) code = 0;
  std::memcpy(declaration_, copy, sizeof(declaration_));
  formatCode_ = code;
  cache_ &= ~kUpdateTableBuilt;
  return Ok;
}

LyrResult SkinInfoImpl::GetSkinDeclaration(VertexElement* out) {
  if (!out) return ErrInvalidCall;
  CopyElements(out, declaration_);
  return Ok;
}

// ---- Derived views ----------------------------------------------------------------------------

void SkinInfoImpl::ComputeMaxWeights() {
  if (cache_ & kMaxWeightsKnown) return;
  uint32_t* counts = vertexInfluences_.get();
  std::memset(counts, 0, size_t(vertexCount_) * sizeof(uint32_t));
  uint32_t largest = 0;
  for (uint32_t b = 0; b < boneCount_; ++b) {
    const BoneRecord& bone = bones_[b];
    for (uint32_t i = 0; i < bone.influenceCount; ++i) {
      uint32_t v = bone.vertices[i];
      if (v < vertexCount_ && ++counts[v] > largest) largest = counts[v];
    }
  }
  maxWeights_ = largest;
  cache_ |= kMaxWeightsKnown;
}

LyrResult SkinInfoImpl::GetMaxWeightsPerVertex(uint32_t* out) {
  ComputeMaxWeights();
  if (out) *out = maxWeights_;
  return Ok;
}

LyrResult SkinInfoImpl::BuildVertexTables() {
  if (cache_ & kVertexTablesBuilt) return Ok;
  ComputeMaxWeights();
  const uint32_t m = maxWeights_;
  Block<uint32_t> rowBone;
  Block<float> rowWeight;
  size_t cells = size_t(vertexCount_) * m;
  if (m && cells / m != vertexCount_) return ErrOutOfMemory;
  if (!rowBone.allocate(cells) || !rowWeight.allocate(cells)) return ErrOutOfMemory;
  uint32_t* counts = vertexInfluences_.get();
  std::memset(counts, 0, size_t(vertexCount_) * sizeof(uint32_t));
  for (uint32_t b = 0; b < boneCount_; ++b) {
    const BoneRecord& bone = bones_[b];
    for (uint32_t i = 0; i < bone.influenceCount; ++i) {
      uint32_t v = bone.vertices[i];
      if (v >= vertexCount_) continue;
      size_t cell = size_t(v) * m + counts[v]++;
      rowBone[cell] = b;
      rowWeight[cell] = bone.weights[i];
    }
  }
  for (uint32_t v = 0; v < vertexCount_; ++v) {
    uint32_t* bones = rowBone.get() + size_t(v) * m;
    float* weights = rowWeight.get() + size_t(v) * m;
    const uint32_t c = counts[v];
    // Partial selection sort: the four heaviest positive weights lead, in decreasing order.
    for (uint32_t j = 0; j < c && j < 4; ++j) {
      float best = 0.0f;
      uint32_t at = c;
      for (uint32_t k = j; k < c; ++k) {
        if (weights[k] > best) {
          best = weights[k];
          at = k;
        }
      }
      if (at != c && at != j) {
        std::swap(weights[j], weights[at]);
        std::swap(bones[j], bones[at]);
      }
    }
    for (uint32_t k = c; k < m; ++k) {
      bones[k] = 0;
      weights[k] = 0.0f;
    }
  }
  tableBones_ = std::move(rowBone);
  tableWeights_ = std::move(rowWeight);
  cache_ |= kVertexTablesBuilt;
  return Ok;
}

template <class Index>
LyrResult SkinInfoImpl::MaxBonesPerFace(const Index* indices, uint32_t faceCount, uint32_t* out) {
  if (!out || (faceCount && !indices)) return ErrInvalidCall;
  *out = 0;
  LyrResult r = BuildVertexTables();
  if (Failed(r)) return r;
  // stamp[b] = face number + 1 once bone b has been counted for that face.
  Block<uint32_t> stamp;
  if (!stamp.allocate(boneCount_)) return ErrOutOfMemory;
  std::memset(stamp.get(), 0, size_t(boneCount_) * sizeof(uint32_t));
  uint32_t largest = 0;
  for (uint32_t f = 0; f < faceCount; ++f) {
    uint32_t distinct = 0;
    for (int corner = 0; corner < 3; ++corner) {
      uint32_t v = indices[size_t(f) * 3 + corner];
      // Unused faces (all-ones indices) and indices past the skin's vertices add no bones.
      if (v >= vertexCount_) continue;
      const uint32_t* bones = rowBones(v);
      for (uint32_t k = 0; k < vertexInfluences_[v]; ++k) {
        if (stamp[bones[k]] != f + 1) {
          stamp[bones[k]] = f + 1;
          ++distinct;
        }
      }
    }
    if (distinct > largest) largest = distinct;
  }
  *out = largest;
  return Ok;
}

LyrResult SkinInfoImpl::GetMaxBonesPerFace16(const uint16_t* indices, uint32_t faceCount,
                                             uint32_t* out) {
  return Guard([&] { return MaxBonesPerFace(indices, faceCount, out); });
}

LyrResult SkinInfoImpl::GetMaxBonesPerFace32(const uint32_t* indices, uint32_t faceCount,
                                             uint32_t* out) {
  return Guard([&] { return MaxBonesPerFace(indices, faceCount, out); });
}

LyrResult SkinInfoImpl::GetMaxBonesPerFaceFromIndexBuffer(IndexBuffer* indices, uint32_t faceCount,
                                                          uint32_t* out) {
  if (!indices || !out) return ErrInvalidCall;
  BufferInfo info{};
  LyrResult r = indices->ReadBufferInfo(&info);
  if (Failed(r)) return r;
  void* data = nullptr;
  r = indices->LockBuffer(0, 0, &data, kLockReadOnly);
  if (Failed(r)) return r;
  // The lock covers the whole buffer: never read past it whatever faceCount says.
  const size_t indexSize = info.format == kIndexFormat16 ? 2 : 4;
  const size_t available = info.size / (3 * indexSize);
  if (faceCount > available) {
    r = ErrInvalidCall;
  } else if (info.format == kIndexFormat16) {
    r = GetMaxBonesPerFace16(static_cast<const uint16_t*>(data), faceCount, out);
  } else {
    r = GetMaxBonesPerFace32(static_cast<const uint32_t*>(data), faceCount, out);
  }
  indices->UnlockBuffer();
  return r;
}

// ---- Copies and renumbering --------------------------------------------------------------------

LyrResult SkinInfoImpl::CloneSkin(SkinInfo** out) {
  if (!out) return ErrInvalidCall;
  *out = nullptr;
  Ref<SkinInfo> clone;
  LyrResult r = CreateSkinInfo(vertexCount_, declaration_, boneCount_, clone.put());
  for (uint32_t b = 0; Succeeded(r) && b < boneCount_; ++b) {
    const BoneRecord& bone = bones_[b];
    r = clone->SetBoneWeights(b, bone.influenceCount, bone.vertices, bone.weights);
    if (Succeeded(r)) r = clone->SetBoneLabel(b, bone.name);
    if (Succeeded(r)) r = clone->SetBoneOffset(b, &bone.offset);
  }
  if (Failed(r)) return r;
  *out = clone.detach();
  return Ok;
}

LyrResult SkinInfoImpl::RemapSkinVertices(uint32_t newVertexCount, const uint32_t* oldIndex) {
  if (newVertexCount && !oldIndex) return ErrInvalidCall;
  for (uint32_t i = 0; i < newVertexCount; ++i)
    if (oldIndex[i] >= vertexCount_) return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    LyrResult r = BuildVertexTables();
    if (Failed(r)) return r;
    const uint32_t m = maxWeights_;
    // Everything is made before anything is replaced, so a failure leaves the object unchanged.
    Block<uint32_t> counts;
    if (!counts.allocate(boneCount_)) return ErrOutOfMemory;
    std::memset(counts.get(), 0, size_t(boneCount_) * sizeof(uint32_t));
    for (uint32_t i = 0; i < newVertexCount; ++i) {
      const uint32_t* row = rowBones(oldIndex[i]);
      for (uint32_t k = 0; k < m; ++k) ++counts[row[k]];
    }
    Vector<Block<uint32_t>> vertices(boneCount_);
    Vector<Block<float>> weights(boneCount_);
    for (uint32_t b = 0; b < boneCount_; ++b)
      if (counts[b] && (!vertices[b].allocate(counts[b]) || !weights[b].allocate(counts[b])))
        return ErrOutOfMemory;
    Block<uint32_t> influences;
    if (!influences.allocate(newVertexCount)) return ErrOutOfMemory;
    std::memset(counts.get(), 0, size_t(boneCount_) * sizeof(uint32_t));
    for (uint32_t i = 0; i < newVertexCount; ++i) {
      const uint32_t* rowB = rowBones(oldIndex[i]);
      const float* rowW = rowWeights(oldIndex[i]);
      for (uint32_t k = 0; k < m; ++k) {
        uint32_t b = rowB[k];
        vertices[b][counts[b]] = i;
        weights[b][counts[b]] = rowW[k];
        ++counts[b];
      }
    }
    for (uint32_t b = 0; b < boneCount_; ++b) {
      BoneRecord& bone = bones_[b];
      Free(bone.vertices);
      Free(bone.weights);
      bone.vertices = vertices[b].release();
      bone.weights = weights[b].release();
      bone.influenceCount = counts[b];
    }
    std::memset(influences.get(), 0, size_t(newVertexCount) * sizeof(uint32_t));
    vertexInfluences_ = std::move(influences);
    vertexCount_ = newVertexCount;
    DropDerivedViews();
    return Ok;
  });
}

}  // namespace lyr
