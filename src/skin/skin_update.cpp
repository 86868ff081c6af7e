// Software skinning: the update table and the layout analysis in front of the blending routine.
#include <cstring>

#include "math/fast_functions.h"
#include "skin/skin_blend.h"
#include "skin/skin_info.h"

namespace lyr {

namespace {

constexpr ElementType kTypeF32x3 = ElementType::F32x3;
constexpr ElementType kTypeF32x4 = ElementType::F32x4;
constexpr ElementMethod kMethodNoData = ElementMethod::UV;

bool IsTransformed(const VertexElement& e) {
  return e.usage == ElementUsage::Normal || e.usage == ElementUsage::Tangent ||
         e.usage == ElementUsage::Binormal;
}

// Where the blend reads and writes within one vertex.
struct SkinLayout {
  uint32_t stride = 0;
  uint32_t leading = 0;  // bytes 0..leading-1 are all produced by the blend
  uint32_t elementCount = 0;
  uint32_t offsets[kMaxSkinnedElements] = {};
  bool allInLeading = true;
};

LyrResult AnalyseLayout(const VertexElement* decl, SkinLayout* out) {
  const VertexElement* position = nullptr;
  uint32_t count = 0;
  while (decl[count].stream != 0xFF) ++count;
  for (uint32_t i = 0; i < count && !position; ++i)
    if (decl[i].usage == ElementUsage::Position && decl[i].usageIndex == 0) position = &decl[i];
  if (!position || position->offset != 0 || position->type != kTypeF32x3 ||
      position->method == kMethodNoData)
    return ErrInvalidCall;
  out->stride = StreamVertexSize(decl, 0);
  for (uint32_t i = 0; i < count; ++i) {
    const VertexElement& e = decl[i];
    if (!IsTransformed(e)) continue;
    if (e.type != kTypeF32x3 && e.type != kTypeF32x4) return ErrInvalidCall;
    // An element stored in no bytes has nothing to blend, and writing it would land elsewhere.
    if (e.method == kMethodNoData) continue;
    out->offsets[out->elementCount++] = e.offset;
  }
  // The leading block: the position and the transformed elements listed right after it, as long
  // as each one starts exactly where the block ends (a four-float element ends the block after
  // its third float). Every byte of the block is written by the blend, so none is copied.
  uint32_t leading = 12;
  for (const VertexElement* e = position + 1; e->stream != 0xFF; ++e) {
    if (!IsTransformed(*e) || e->method == kMethodNoData || e->offset != leading) break;
    leading += 12;
    if (e->type == kTypeF32x4) break;
  }
  out->leading = leading;
  for (uint32_t k = 0; k < out->elementCount; ++k)
    if (out->offsets[k] + 12 > leading) out->allInLeading = false;
  return Ok;
}

#if defined(LYR_HAVE_AVX_SKINNING)
// Packed rows are read with 32-byte loads; blocks from the allocator are 16-byte aligned at least.
constexpr size_t kPackedSlack = 4;

float* PackedBase(float* block) {
  return reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(block) + 31) & ~uintptr_t(31));
}
#endif

// Grows block to hold need elements unless it holds them already; on failure the block and its
// capacity stay as they were.
template <class T, class Count>
bool Reserve(Block<T>& block, Count& capacity, Count need) {
  if (need <= capacity) return true;
  Block<T> grown;
  if (!grown.allocate(need)) return false;
  block = std::move(grown);
  capacity = need;
  return true;
}

}  // namespace

LyrResult SkinInfoImpl::BuildUpdateTable() {
  if (cache_ & kUpdateTableBuilt) return Ok;
  // First pass: the run length of every vertex; second pass: the runs, in bone order.
  Block<size_t> cursor;
  if (!cursor.allocate(vertexCount_)) return ErrOutOfMemory;
  std::memset(cursor.get(), 0, size_t(vertexCount_) * sizeof(size_t));
  uint64_t total = vertexCount_;
  uint32_t boneLimit = 0;
  for (uint32_t b = 0; b < boneCount_; ++b) {
    const BoneRecord& bone = bones_[b];
    for (uint32_t i = 0; i < bone.influenceCount; ++i) {
      if (bone.vertices[i] >= vertexCount_ || !(bone.weights[i] > minWeight_)) continue;
      float value;
      if (!EncodeSkinInfluence(b, bone.weights[i], &value)) return ErrInvalidCall;
      ++cursor[bone.vertices[i]];
      ++total;
      boneLimit = b + 1;
    }
  }
  if (total > SIZE_MAX / sizeof(float)) return ErrOutOfMemory;
  if (!Reserve(updateTable_, updateCapacity_, size_t(total))) return ErrOutOfMemory;
#if defined(LYR_HAVE_AVX_SKINNING)
  if (boneLimit > packedCapacity_ && avx::SkinningAvailable()) {
    if (!packedRows_.allocate(size_t(boneLimit) * 32 + kPackedSlack)) {
      packedCapacity_ = 0;
      return ErrOutOfMemory;
    }
    packedCapacity_ = boneLimit;
  }
#endif
  size_t at = 0;
  for (uint32_t v = 0; v < vertexCount_; ++v) {
    const size_t length = cursor[v];
    cursor[v] = at;
    at += length + 1;
  }
  float* table = updateTable_.get();
  for (uint32_t b = 0; b < boneCount_; ++b) {
    const BoneRecord& bone = bones_[b];
    for (uint32_t i = 0; i < bone.influenceCount; ++i) {
      const uint32_t v = bone.vertices[i];
      if (v >= vertexCount_ || !(bone.weights[i] > minWeight_)) continue;
      EncodeSkinInfluence(b, bone.weights[i], &table[cursor[v]++]);
    }
  }
  for (uint32_t v = 0; v < vertexCount_; ++v) table[cursor[v]] = -1.0f;
#if defined(LYR_HAVE_AVX_SKINNING)
  if (avx::SkinningAvailable()) {
    size_t spanCount = 0, influenceCount = 0;
    avx::CountSkinSpans(table, vertexCount_, &spanCount, &influenceCount);
    // Sized for one span per vertex, so that other thresholds rebuild it in place.
    if (!Reserve(spans_, spanCapacity_, size_t(vertexCount_)) ||
        !Reserve(spanInfluences_, spanInfluenceCapacity_, influenceCount))
      return ErrOutOfMemory;
    avx::BuildSkinSpans(table, vertexCount_, spans_.get(), spanInfluences_.get());
    spanCount_ = spanCount;
  }
#endif
  updateBoneLimit_ = boneLimit;
  cache_ |= kUpdateTableBuilt;
  return Ok;
}

LyrResult SkinInfoImpl::UpdateSkinnedVertices(const Matrix* boneMatrices,
                                              const Matrix* directionMatrices, const void* source,
                                              void* destination) {
  if (!boneMatrices || !source || !destination) return ErrInvalidCall;
  LyrResult r = BuildUpdateTable();
  if (Failed(r)) return r;
  SkinLayout layout;
  r = AnalyseLayout(declaration_, &layout);
  if (Failed(r)) return r;
  const uint8_t* src = static_cast<const uint8_t*>(source);
  uint8_t* dst = static_cast<uint8_t*>(destination);
  const void* srcElements[kMaxSkinnedElements];
  void* dstElements[kMaxSkinnedElements];
  for (uint32_t k = 0; k < layout.elementCount; ++k) {
    srcElements[k] = src + layout.offsets[k];
    dstElements[k] = dst + layout.offsets[k];
  }
  const Matrix* dirs = directionMatrices ? directionMatrices : boneMatrices;
  const bool aligned = (reinterpret_cast<uintptr_t>(boneMatrices) & 15) == 0 &&
                       (reinterpret_cast<uintptr_t>(dirs) & 15) == 0;
  // Only the matrices the table names are read: the caller's array may end after the last.
  const int flags = (layout.allInLeading ? kSkinAllInLeading : 0) |
                    (AffineBones(boneMatrices, updateBoneLimit_) ? kSkinAffineBones : 0);
  if (!aligned) {
    plain::BlendSkinnedVertices(boneMatrices, directionMatrices, source, destination, vertexCount_,
                                layout.stride, srcElements, dstElements, layout.elementCount,
                                layout.leading, updateTable_.get(), flags);
    return Ok;
  }
#if defined(LYR_HAVE_AVX_SKINNING)
  // Where the table holds the SSE form, the AVX form gives the same bits with half the products.
  // The processor is asked as well: a table naming no bone needs no packed rows, so their
  // capacity alone does not tell that the AVX form's tables were built.
  if (avx::SkinningAvailable() && packedCapacity_ >= updateBoneLimit_ && layout.elementCount > 0 &&
      SelectFastFunctions(1) != kSelectionPending &&
      CurrentFastFunctions().BlendSkinnedVertices == sse::BlendSkinnedVertices) {
    float* packed = PackedBase(packedRows_.get());
    avx::PackSkinMatrices(boneMatrices, directionMatrices, updateBoneLimit_, packed);
    avx::BlendSkinnedVertices(packed, dirs, source, destination, layout.stride, srcElements,
                              dstElements, layout.elementCount, layout.leading, spans_.get(),
                              spanCount_, spanInfluences_.get(), flags);
    return Ok;
  }
#endif
  // The processor-specific forms load matrix rows with aligned loads.
  BlendSkinnedVertices(boneMatrices, directionMatrices, source, destination, vertexCount_,
                       layout.stride, srcElements, dstElements, layout.elementCount, layout.leading,
                       updateTable_.get(), flags);
  return Ok;
}

}  // namespace lyr
