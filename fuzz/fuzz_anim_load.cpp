// Animation loader: any Vek text or binary bytes, parsed by the component, give every top-level
// AnimationSet to LoadAnimationSet and every top-level Animation to LoadAnimation. Each load ends
// with a code, never a crash or a read past a key block; a set handed out holds only named
// interpolators, and a failed load hands nothing out.
#include "core/object_impl.h"
#include "vek_fuzz.h"
#include "vekio/anim_load.h"

namespace {

void CheckInterpolator(lyr::KeyFrameInterpolator* it) {
  if (it->ScaleKeyCount() == 0 || it->RotationKeyCount() == 0 || it->TranslationKeyCount() == 0)
    __builtin_trap();
}

void Load(lyr::VekDataObject* o) {
  using namespace lyr;
  const Guid* id = nullptr;
  if (o->ReadTemplateId(&id) != Ok) __builtin_trap();
  if (*id == vekio::tid::kAnimationSet) {
    Ref<AnimationSet> set;
    LyrResult r = vekio::LoadAnimationSet(o, vekio::kDefaultTicksPerSecond, set.put());
    if (Failed(r) && set) __builtin_trap();
    if (!set) return;
    if (set->InterpolatorCount() == 0) __builtin_trap();
    for (uint32_t i = 0; i < set->InterpolatorCount(); ++i) {
      Ref<KeyFrameInterpolator> it;
      if (set->InterpolatorAt(i, it.put()) != Ok || !it->Name()) __builtin_trap();
      CheckInterpolator(it.get());
    }
  } else if (*id == vekio::tid::kAnimation) {
    Ref<KeyFrameInterpolator> it;
    LyrResult r = vekio::LoadAnimation(o, 30.0, it.put());
    if (Failed(r) != !it) __builtin_trap();
    if (it) CheckInterpolator(it.get());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> bytes = vekfuzz::AsVekFile(data, size);
  lyr::VekMemorySource src{bytes.data(), bytes.size()};
  lyr::VekEnumeration* e = nullptr;
  if (vekfuzz::File()->OpenEnumeration(&src, lyr::kVekSourceMemory, &e) != lyr::Ok) return 0;
  for (;;) {
    lyr::VekDataObject* o = nullptr;
    if (e->NextTopLevelObject(&o) != lyr::Ok) break;
    Load(o);
    o->Release();
  }
  e->Release();
  return 0;
}
