#include "vekio/anim_load.h"

#include <cmath>
#include <cstring>

#include "anim/anim_internal.h"
#include "core/object_impl.h"
#include "vekio/vek_component.h"
#include "vekio/vek_read.h"

namespace lyr::vekio {
namespace {

template <class T>
T LoadAt(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The key arrays of one Animation. Each kind is made once, at its final size; a block of zero
// keys still makes its array (a valid empty block), so a later block of that kind is a repeat.
struct KeyArrays {
  Block<VectorKey> scale;
  Block<RotationKey> rotation;
  Block<VectorKey> translation;
  uint32_t scaleCount = 0;
  uint32_t rotationCount = 0;
  uint32_t translationCount = 0;
};

// An AnimationKey entry: time (unsigned 32-bit), a value count the fixed entry size ignores,
// then the values.
constexpr size_t kEntryHeader = 8;

float TimeOf(const uint8_t* entry) {
  return static_cast<float>(LoadAt<uint32_t>(entry));
}

float ValueOf(const uint8_t* entry, int index) {
  return LoadAt<float>(entry + kEntryHeader + 4 * size_t(index));
}

// Splits a matrix into a uniform scale (the first row's length, also for the other two axes), the
// conjugated rotation of its normalised upper rows and the translation of its fourth row.
void DecomposeMatrixKey(const uint8_t* entry, Vector3* scale, Quaternion* rotation,
                        Vector3* translation) {
  Matrix m;
  std::memcpy(&m, entry + kEntryHeader, sizeof m);
  *translation = {m.m[3][0], m.m[3][1], m.m[3][2]};
  Vector3 rows[3];
  for (int r = 0; r < 3; ++r) rows[r] = {m.m[r][0], m.m[r][1], m.m[r][2]};
  const float s = std::sqrt(rows[0].x * rows[0].x + rows[0].y * rows[0].y + rows[0].z * rows[0].z);
  *scale = {s, s, s};
  Matrix pure = {};
  for (int r = 0; r < 3; ++r) {
    NormalizeVector3(&rows[r], &rows[r]);
    pure.m[r][0] = rows[r].x;
    pure.m[r][1] = rows[r].y;
    pure.m[r][2] = rows[r].z;
  }
  pure.m[3][3] = 1.0f;
  Quaternion q;
  QuaternionFromMatrix(&q, &pure);
  *rotation = Conjugated(q);
}

float DistanceSquared(const Quaternion& a, const Quaternion& b, float sign) {
  const float x = a.x + sign * b.x, y = a.y + sign * b.y, z = a.z + sign * b.z,
              w = a.w + sign * b.w;
  return x * x + y * y + z * z + w * w;
}

// Flips each rotation that lies nearer the negation of its (already adjusted) predecessor, so that
// blending between decomposed keys never takes the long way round.
void MakeContinuous(RotationKey* keys, uint32_t count) {
  for (uint32_t i = 1; i < count; ++i) {
    Quaternion& q = keys[i].value;
    const Quaternion& prev = keys[i - 1].value;
    if (DistanceSquared(q, prev, -1.0f) > DistanceSquared(q, prev, 1.0f)) {
      q = {-q.x, -q.y, -q.z, -q.w};
    }
  }
}

// Converts one AnimationKey block into the arrays it fills. The block is read, never changed.
LyrResult ConvertKeyBlock(VekDataObject* object, KeyArrays* keys) {
  uint32_t size = 0;
  const void* data = nullptr;
  LyrResult r = object->ReadData(nullptr, &size, &data);
  if (Failed(r)) return r;
  if (!data || size < kEntryHeader) return ErrInvalidArg;
  const uint8_t* block = static_cast<const uint8_t*>(data);
  const uint32_t type = LoadAt<uint32_t>(block);
  const uint32_t count = LoadAt<uint32_t>(block + 4);
  size_t entrySize = 0;
  switch (type) {
    case kKeyTypeRotation:
      if (keys->rotation) return ErrInvalidArg;
      entrySize = kEntryHeader + 16;
      break;
    case kKeyTypeScale:
      if (keys->scale) return ErrInvalidArg;
      entrySize = kEntryHeader + 12;
      break;
    case kKeyTypeTranslation:
      if (keys->translation) return ErrInvalidArg;
      entrySize = kEntryHeader + 12;
      break;
    case kKeyTypeMatrix:
      if (keys->scale || keys->rotation || keys->translation) return ErrInvalidArg;
      entrySize = kEntryHeader + 64;
      break;
    default:
      return ErrInvalidArg;
  }
  // Entries are read at their fixed size whatever their value counts say, so the block must hold
  // all of them; the product is taken in 64 bits, where it cannot wrap.
  if (uint64_t(count) * entrySize > size - kEntryHeader) return ErrInvalidArg;
  const uint8_t* entries = block + kEntryHeader;

  switch (type) {
    case kKeyTypeRotation: {
      if (!keys->rotation.allocate(count)) return ErrOutOfMemory;
      for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + i * entrySize;
        keys->rotation[i] = {TimeOf(e),
                             {ValueOf(e, 1), ValueOf(e, 2), ValueOf(e, 3), ValueOf(e, 0)}};
      }
      keys->rotationCount = count;
      return Ok;
    }
    case kKeyTypeScale:
    case kKeyTypeTranslation: {
      Block<VectorKey>& out = type == kKeyTypeScale ? keys->scale : keys->translation;
      if (!out.allocate(count)) return ErrOutOfMemory;
      for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + i * entrySize;
        out[i] = {TimeOf(e), {ValueOf(e, 0), ValueOf(e, 1), ValueOf(e, 2)}};
      }
      (type == kKeyTypeScale ? keys->scaleCount : keys->translationCount) = count;
      return Ok;
    }
    default: {  // matrix
      KeyArrays made;
      if (!made.scale.allocate(count) || !made.rotation.allocate(count) ||
          !made.translation.allocate(count)) {
        return ErrOutOfMemory;
      }
      for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* e = entries + i * entrySize;
        const float time = TimeOf(e);
        made.scale[i].time = made.rotation[i].time = made.translation[i].time = time;
        DecomposeMatrixKey(e, &made.scale[i].value, &made.rotation[i].value,
                           &made.translation[i].value);
      }
      MakeContinuous(made.rotation.get(), count);
      made.scaleCount = made.rotationCount = made.translationCount = count;
      *keys = std::move(made);
      return Ok;
    }
  }
}

}  // namespace

LyrResult LoadAnimation(VekDataObject* object, double ticksPerSecond, KeyFrameInterpolator** out) {
  if (!object || !out) return ErrInvalidCall;
  *out = nullptr;
  NameBuffer frameName;
  KeyArrays keys;
  bool anyChild = false;
  LyrResult r = Ok;
  for (;;) {
    Ref<Unknown> child;
    if (Failed(object->NextChild(child.put())) || !child) break;
    anyChild = true;
    Ref<VekReference> reference;
    Ref<VekDataObject> data;
    const Guid* id = nullptr;
    if (Succeeded(
            child->QueryInterface(VekReference::kIid, reinterpret_cast<void**>(reference.put()))) &&
        reference) {
      Ref<VekDataObject> target;
      if (Failed(reference->Resolve(target.put())) || !target) continue;
      if (Failed(r = target->ReadTemplateId(&id))) return r;
      if (!TemplateIs(id, tid::kFrame)) continue;
      if (frameName.get()) return ErrInvalidArg;
      if (Failed(r = frameName.Read(target.get()))) return r;
      if (!frameName.get()) return ErrInvalidArg;
    } else if (Succeeded(child->QueryInterface(VekDataObject::kIid,
                                               reinterpret_cast<void**>(data.put()))) &&
               data) {
      if (Failed(r = data->ReadTemplateId(&id))) return r;
      if (TemplateIs(id, tid::kFrame)) return ErrInvalidArg;
      if (TemplateIs(id, tid::kAnimationKey) && Failed(r = ConvertKeyBlock(data.get(), &keys))) {
        return r;
      }
    }
  }
  if (!anyChild ||
      (keys.scaleCount == 0 && keys.rotationCount == 0 && keys.translationCount == 0)) {
    return ErrFail;
  }
  return CreateKeyFrameInterpolator(frameName.get(), keys.scale.get(), keys.scaleCount,
                                    keys.rotation.get(), keys.rotationCount, keys.translation.get(),
                                    keys.translationCount, ticksPerSecond, out);
}

LyrResult LoadAnimationSet(VekDataObject* object, double ticksPerSecond, AnimationSet** out) {
  if (!object || !out) return ErrInvalidCall;
  *out = nullptr;
  return Guard([&]() -> LyrResult {
    NameBuffer setName;
    LyrResult r = setName.Read(object);
    if (Failed(r)) return r;
    Vector<Ref<KeyFrameInterpolator>> loaded;  // file order
    LyrResult status = Ok;                     // the latest child's
    for (;;) {
      Ref<Unknown> child;
      if (Failed(object->NextChild(child.put())) || !child) break;
      Ref<VekDataObject> data;
      r = child->QueryInterface(VekDataObject::kIid, reinterpret_cast<void**>(data.put()));
      if (Failed(r) || !data) {
        status = Failed(r) ? r : ErrNoInterface;
        continue;
      }
      const Guid* id = nullptr;
      if (Failed(r = data->ReadTemplateId(&id))) return r;
      if (!TemplateIs(id, tid::kAnimation)) {
        status = Ok;
        continue;
      }
      Ref<KeyFrameInterpolator> interpolator;
      status = LoadAnimation(data.get(), ticksPerSecond, interpolator.put());
      if (status == ErrOutOfMemory) return status;
      if (Succeeded(status) && !interpolator->Name()) status = ErrInvalidArg;
      if (Succeeded(status)) loaded.push_back(std::move(interpolator));
    }
    if (loaded.empty()) return status;
    Vector<KeyFrameInterpolator*> newestFirst;
    newestFirst.reserve(loaded.size());
    for (size_t i = loaded.size(); i-- > 0;) newestFirst.push_back(loaded[i].get());
    return CreateAnimationSet(setName.get(), newestFirst.data(),
                              static_cast<uint32_t>(newestFirst.size()), out);
  });
}

}  // namespace lyr::vekio
