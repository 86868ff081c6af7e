#include "vekio/hier_save.h"

#include <cmath>
#include <cstring>

#include "core/object_impl.h"
#include "frame/frame_walk.h"
#include "lyr/pmesh.h"
#include "platform/platform.h"
#include "vekio/mesh_write.h"
#include "vekio/vek_component.h"

namespace lyr::vekio {

uint32_t TruncatedTicks(double value) {
  if (!std::isfinite(value)) return 0;
  // fmod is exact, so the low 32 bits come out right for any magnitude (a plain conversion to an
  // integer type is undefined beyond its range).
  double low = std::fmod(std::trunc(value), 4294967296.0);
  if (low < 0) low += 4294967296.0;
  return static_cast<uint32_t>(low);
}

namespace {

constexpr double kDefaultTicksPerSecond = 4800.0;

// Every hierarchy save defines these; the four progressive-mesh ones follow when the tree holds a
// progressive mesh.
const Guid* const kHierarchyTemplates[] = {&tid::kVertexDuplicationIndices,
                                           &tid::kEffectParamDWord,
                                           &tid::kFVFData,
                                           &tid::kEffectFloats,
                                           &tid::kEffectString,
                                           &tid::kEffectDWord,
                                           &tid::kEffectInstance,
                                           &tid::kAnimTicksPerSecond,
                                           &tid::kVertexElement,
                                           &tid::kDeclData,
                                           &tid::kEffectParamFloats,
                                           &tid::kEffectParamString};
const Guid* const kProgressiveTemplates[] = {&tid::kPMAttributeRange, &tid::kPMVSplitRecord,
                                             &tid::kPMInfo, &tid::kFaceAdjacency};

// What the walk over the tree finds before anything is written.
struct TreeFacts {
  bool progressive = false;  // a container holds a progressive mesh
  bool meshless = false;     // a container holds no mesh
};

TreeFacts ExamineTree(Frame* root) {
  TreeFacts facts;
  WalkFrames(
      root,
      [&](Frame* f) {
        for (const MeshContainer* c = f->meshContainers; c; c = c->next) {
          if (!c->mesh) facts.meshless = true;
          if (c->meshType == MeshTypeProgressiveMesh) facts.progressive = true;
        }
        return !facts.meshless;
      },
      [](Frame*) { return true; });
  return facts;
}

struct Saver {
  SaveContext context;
  UserDataSaver* user;
  VekSaveObject* save() const { return context.save; }
};

LyrResult NewObject(VekSaveObject* save, const Guid& templateId, const char* name, uint32_t size,
                    const void* data, Ref<VekDataObject>* out) {
  LyrResult r = save->NewDataObject(templateId, name, nullptr, size, data, out->put());
  if (Failed(r)) return r;
  return *out ? Ok : ErrFail;
}

// The key-frame interface of an interpolator taken from a set, or none.
Ref<KeyFrameInterpolator> AsKeyFrame(KeyFrameInterpolator* any) {
  void* p = nullptr;
  if (!any || Failed(any->QueryInterface(KeyFrameInterpolator::kIid, &p))) return {};
  return Ref<KeyFrameInterpolator>(static_cast<KeyFrameInterpolator*>(p));
}

// ---- Animation ---------------------------------------------------------------------------------

// An AnimationKey block: keyType, nKeys, then per key its time, nValues and the values.
class KeyBlock {
 public:
  KeyBlock(uint32_t keyType, uint32_t count, uint32_t values)
      : values_(values), size_(8 + uint64_t(count) * (8 + 4 * uint64_t(values))) {
    if (!fits()) return;
    bytes_.resize(static_cast<size_t>(size_));
    Put(&keyType, 4);
    Put(&count, 4);
  }
  bool fits() const { return size_ <= UINT32_MAX; }
  void Add(float time, const float* values) {
    const uint32_t ticks = TruncatedTicks(time);
    Put(&ticks, 4);
    Put(&values_, 4);
    Put(values, 4 * size_t(values_));
  }
  LyrResult AddTo(VekSaveObject* save, VekDataObject* animation) const {
    Ref<VekDataObject> child;
    LyrResult r = NewObject(save, tid::kAnimationKey, nullptr, static_cast<uint32_t>(size_),
                            bytes_.data(), &child);
    return Failed(r) ? r : animation->AddChild(child.get());
  }

 private:
  void Put(const void* p, size_t n) {
    std::memcpy(bytes_.data() + at_, p, n);
    at_ += n;
  }
  uint32_t values_;
  uint64_t size_;
  WorkVector<uint8_t> bytes_;
  size_t at_ = 0;
};

constexpr uint32_t kKeyRotation = 0, kKeyScale = 1, kKeyTranslation = 2;

LyrResult WriteRotationKeys(VekSaveObject* save, KeyFrameInterpolator* kf,
                            VekDataObject* animation) {
  const uint32_t n = kf->RotationKeyCount();
  if (n == 0) return Ok;
  KeyBlock block(kKeyRotation, n, 4);
  if (!block.fits()) return ErrInvalidCall;
  Vector<RotationKey> keys(n);
  LyrResult r = kf->CopyRotationKeys(keys.data());
  if (Failed(r)) return r;
  for (const RotationKey& k : keys) {
    const float wxyz[4] = {k.value.w, k.value.x, k.value.y, k.value.z};
    block.Add(k.time, wxyz);
  }
  return block.AddTo(save, animation);
}

LyrResult WriteVectorKeys(VekSaveObject* save, KeyFrameInterpolator* kf, uint32_t keyType,
                          VekDataObject* animation) {
  const bool scale = keyType == kKeyScale;
  const uint32_t n = scale ? kf->ScaleKeyCount() : kf->TranslationKeyCount();
  if (n == 0) return Ok;
  KeyBlock block(keyType, n, 3);
  if (!block.fits()) return ErrInvalidCall;
  Vector<VectorKey> keys(n);
  LyrResult r = scale ? kf->CopyScaleKeys(keys.data()) : kf->CopyTranslationKeys(keys.data());
  if (Failed(r)) return r;
  for (const VectorKey& k : keys) {
    const float xyz[3] = {k.value.x, k.value.y, k.value.z};
    block.Add(k.time, xyz);
  }
  return block.AddTo(save, animation);
}

// Whether a channel holds nothing but the one key an interpolator gets for a channel it was made
// without: time 0 and the identity value (scale 1, rotation (0, 0, 0, 1), translation 0).
bool OnlyDefaultKey(KeyFrameInterpolator* kf, uint32_t keyType) {
  if (keyType == kKeyRotation) {
    RotationKey k{};
    return kf->RotationKeyCount() == 1 && Succeeded(kf->CopyRotationKeys(&k)) && k.time == 0 &&
           k.value.x == 0 && k.value.y == 0 && k.value.z == 0 && k.value.w == 1;
  }
  const bool scale = keyType == kKeyScale;
  VectorKey k{};
  const float v = scale ? 1.0f : 0.0f;
  return (scale ? kf->ScaleKeyCount() : kf->TranslationKeyCount()) == 1 &&
         Succeeded(scale ? kf->CopyScaleKeys(&k) : kf->CopyTranslationKeys(&k)) && k.time == 0 &&
         k.value.x == v && k.value.y == v && k.value.z == v;
}

// An Animation: rotation, scale and translation keys (each kind only when it has keys) and a
// reference to the animated frame by name.
//
// A kind that holds only the default key is left out (unless all three do: an Animation needs a
// key to load). It is the key an interpolator gets for a kind it was made without, and a loader
// makes the same key for a kind the file leaves out; but the period counts a kind made without
// keys differently from one with a single key at time 0, so writing it would turn, for example,
// a translation-only animation into one with a period of 0 that no longer plays once loaded.
LyrResult WriteAnimation(VekSaveObject* save, KeyFrameInterpolator* kf, VekDataObject* set) {
  Ref<VekDataObject> animation;
  LyrResult r = NewObject(save, tid::kAnimation, nullptr, 0, nullptr, &animation);
  if (Failed(r)) return r;
  bool writeScale = kf->ScaleKeyCount() > 0 && !OnlyDefaultKey(kf, kKeyScale);
  bool writeTranslation = kf->TranslationKeyCount() > 0 && !OnlyDefaultKey(kf, kKeyTranslation);
  bool writeRotation = kf->RotationKeyCount() > 0 && !OnlyDefaultKey(kf, kKeyRotation);
  if (!writeRotation && !writeScale && !writeTranslation) {
    writeRotation = kf->RotationKeyCount() > 0;
    writeScale = !writeRotation && kf->ScaleKeyCount() > 0;
    writeTranslation = !writeRotation && !writeScale;
  }
  if ((writeRotation && Failed(r = WriteRotationKeys(save, kf, animation.get()))) ||
      (writeScale && Failed(r = WriteVectorKeys(save, kf, kKeyScale, animation.get()))) ||
      (writeTranslation &&
       Failed(r = WriteVectorKeys(save, kf, kKeyTranslation, animation.get()))) ||
      Failed(r = animation->AddReference(kf->Name(), nullptr)))
    return r;
  return set->AddChild(animation.get());
}

LyrResult WriteSet(VekSaveObject* save, AnimationSet* set) {
  Ref<VekDataObject> object;
  LyrResult r = NewObject(save, tid::kAnimationSet, set->Name(), 0, nullptr, &object);
  if (Failed(r)) return r;
  const uint32_t count = set->InterpolatorCount();
  for (uint32_t i = 0; i < count; ++i) {
    Ref<KeyFrameInterpolator> any;
    if (Failed(r = set->InterpolatorAt(i, any.put()))) return r;
    Ref<KeyFrameInterpolator> kf = AsKeyFrame(any.get());
    if (kf && Failed(r = WriteAnimation(save, kf.get(), object.get()))) return r;
  }
  return save->WriteObject(object.get());
}

// The tick rate a set is saved with: that of its first key-frame interpolator (4800 when it has
// none), truncated as the file stores it.
LyrResult SetTicks(AnimationSet* set, uint32_t* out) {
  double ticks = kDefaultTicksPerSecond;
  const uint32_t count = set ? set->InterpolatorCount() : 0;
  for (uint32_t i = 0; i < count; ++i) {
    Ref<KeyFrameInterpolator> any;
    if (const LyrResult r = set->InterpolatorAt(i, any.put()); Failed(r)) return r;
    if (Ref<KeyFrameInterpolator> kf = AsKeyFrame(any.get())) {
      ticks = kf->TicksPerSecond();
      break;
    }
  }
  *out = TruncatedTicks(ticks);
  return Ok;
}

LyrResult WriteTicksObject(VekSaveObject* save, uint32_t block) {
  Ref<VekDataObject> object;
  if (const LyrResult r = NewObject(save, tid::kAnimTicksPerSecond, nullptr, 4, &block, &object);
      Failed(r))
    return r;
  return save->WriteObject(object.get());
}

// AnimTicksPerSecond of set 0, ahead of the frames; nothing without sets. *written receives the
// rate written.
LyrResult WriteTicks(VekSaveObject* save, AnimationController* controller, uint32_t* written) {
  if (!controller || controller->SetCount() == 0) return Ok;
  Ref<AnimationSet> set;
  LyrResult r = controller->SetAt(0, set.put());
  if (Failed(r) || Failed(r = SetTicks(set.get(), written))) return r;
  return WriteTicksObject(save, *written);
}

// The sets in controller order. A loader applies a tick rate to every set after it, so a set
// whose rate differs from the one last written gets its own AnimTicksPerSecond first: sets of
// mixed rates keep their timing through a save and a load.
LyrResult WriteSets(VekSaveObject* save, AnimationController* controller, uint32_t written) {
  if (!controller) return Ok;
  const uint32_t count = controller->SetCount();
  for (uint32_t i = 0; i < count; ++i) {
    Ref<AnimationSet> set;
    LyrResult r = controller->SetAt(i, set.put());
    if (Failed(r)) return r;
    if (!set) return ErrFail;
    uint32_t ticks = 0;
    if (Failed(r = SetTicks(set.get(), &ticks))) return r;
    if (ticks != written) {
      if (Failed(r = WriteTicksObject(save, ticks))) return r;
      written = ticks;
    }
    if (Failed(r = WriteSet(save, set.get()))) return r;
  }
  return Ok;
}

// ---- Frames ------------------------------------------------------------------------------------

// A progressive mesh as its base level with the adjacency and the PMInfo block it gives for
// saving.
LyrResult WriteProgressiveMeshData(const SaveContext& context, const MeshContainer* c,
                                   VekDataObject** out) {
  void* image = nullptr;
  uint32_t imageBytes = 0;
  uint32_t* adjacency = nullptr;
  Ref<Mesh> base;
  LyrResult r = c->progressiveMesh->BuildSaveData(&image, &imageBytes, &adjacency, base.put());
  const Block<uint8_t> imageHeld(static_cast<uint8_t*>(image));
  const Block<uint32_t> adjacencyHeld(adjacency);
  if (Failed(r)) return r;
  if (!base || !image) return ErrFail;
  return WriteMeshData(context, base.get(), c->name, adjacency, c->materials, c->effectInstances,
                       c->materialCount, image, imageBytes, out);
}

// A container's mesh, added to its frame's data object.
LyrResult WriteContainer(const SaveContext& context, MeshContainer* c, VekDataObject* frame) {
  Ref<VekDataObject> mesh;
  LyrResult r;
  switch (c->meshType) {
    case MeshTypePatchMesh:
      r = WritePatchMeshData(context, c->patchMesh, c->name, c->materials, c->effectInstances,
                             c->materialCount, mesh.put());
      break;
    case MeshTypeProgressiveMesh:
      // A skinned progressive mesh has no skinned form: the skinned writer leaves it out.
      if (c->skinInfo) return WriteSkinnedMesh(context, c, frame);
      r = WriteProgressiveMeshData(context, c, mesh.put());
      break;
    default:
      if (c->skinInfo) return WriteSkinnedMesh(context, c, frame);
      r = WriteMeshData(context, c->mesh, c->name, c->adjacency, c->materials, c->effectInstances,
                        c->materialCount, nullptr, 0, mesh.put());
      break;
  }
  return Failed(r) ? r : frame->AddChild(mesh.get());
}

// One frame's own data object: the frame, the host's children, its matrix and its meshes.
LyrResult WriteFrame(const Saver& s, Frame* frame, Ref<VekDataObject>* out) {
  Ref<VekDataObject> object;
  LyrResult r = NewObject(s.save(), tid::kFrame, frame->name, 0, nullptr, &object);
  if (Failed(r)) return r;
  if (s.user && Failed(r = s.user->OnSaveFrame(frame, s.save(), object.get()))) return r;
  Ref<VekDataObject> matrix;
  if (Failed(r = NewObject(s.save(), tid::kFrameTransformMatrix, nullptr, sizeof(Matrix),
                           &frame->matrix, &matrix)) ||
      Failed(r = object->AddChild(matrix.get())))
    return r;
  for (MeshContainer* c = frame->meshContainers; c; c = c->next) {
    if (!c->mesh) return ErrInvalidCall;
    if (Failed(r = WriteContainer(s.context, c, object.get()))) return r;
    if (s.user && Failed(r = s.user->OnSaveMeshContainer(c, s.save(), object.get()))) return r;
  }
  *out = std::move(object);
  return Ok;
}

// The tree from root: each frame, then its children (inside its object, in order), then its next
// sibling. Top-level frames are written once the whole tree is built, the last of the root's
// sibling chain first and the root last. The walk keeps its own stack, so neither depth nor long
// sibling chains can exhaust the call stack.
LyrResult WriteFrames(const Saver& s, Frame* root) {
  struct Pending {
    Frame* frame;
    Ref<VekDataObject> parent;  // none at top level
  };
  Vector<Pending> pending;
  Vector<Ref<VekDataObject>> topLevel;
  pending.push_back({root, {}});
  while (!pending.empty()) {
    Pending p = std::move(pending.back());
    pending.pop_back();
    Ref<VekDataObject> object;
    LyrResult r = WriteFrame(s, p.frame, &object);
    if (Failed(r)) return r;
    if (p.parent && Failed(r = p.parent->AddChild(object.get()))) return r;
    if (p.frame->nextSibling) pending.push_back({p.frame->nextSibling, p.parent});
    if (p.frame->firstChild) pending.push_back({p.frame->firstChild, object});
    if (!p.parent) topLevel.push_back(std::move(object));
  }
  for (size_t i = topLevel.size(); i-- > 0;) {
    LyrResult r = s.save()->WriteObject(topLevel[i].get());
    if (Failed(r)) return r;
  }
  return Ok;
}

LyrResult CheckArguments(const char* fileName, uint32_t format, Frame* root, TreeFacts* facts) {
  if (!fileName || !root || format > kVekFormatTextCompressed) return ErrInvalidCall;
  // A container without a mesh is refused before the file is made, not half-way through it.
  *facts = ExamineTree(root);
  return facts->meshless ? ErrInvalidCall : Ok;
}

LyrResult CallUser(UserDataSaver* user, LyrResult (LYR_CALL UserDataSaver::*op)(VekSaveObject*),
                   VekSaveObject* save) {
  return user ? (user->*op)(save) : Ok;
}

}  // namespace

LyrResult SaveHierarchyThrough(VekFile* file, const char* fileName, uint32_t format, Frame* root,
                               AnimationController* controller, UserDataSaver* user) {
  TreeFacts facts;
  LyrResult r = CheckArguments(fileName, format, root, &facts);
  if (Failed(r)) return r;
  if (!file) return ErrInvalidCall;
  platform::ScopedCLocale locale;
  if (user && Failed(r = user->AddOwnTemplates(file))) return r;
  SaveStrings strings;  // outlives the save object and everything it made
  Ref<VekSaveObject> save;
  if (Failed(r = file->OpenSave(fileName, format, save.put()))) return r;
  if (!save) return ErrFail;
  const Saver s{{save.get(), format, &strings}, user};
  if (Failed(r = save->WriteTemplates(std::size(kHierarchyTemplates), kHierarchyTemplates)) ||
      Failed(r = CallUser(user, &UserDataSaver::WriteOwnTemplates, save.get())))
    return r;
  if (facts.progressive &&
      Failed(r = save->WriteTemplates(std::size(kProgressiveTemplates), kProgressiveTemplates)))
    return r;
  uint32_t ticks = 0;
  if (Failed(r = CallUser(user, &UserDataSaver::BeforeTopLevelObjects, save.get())) ||
      Failed(r = WriteTicks(save.get(), controller, &ticks)) || Failed(r = WriteFrames(s, root)) ||
      Failed(r = WriteSets(save.get(), controller, ticks)))
    return r;
  return user ? user->AfterTopLevelObjects(save.get()) : Ok;
}

LyrResult SaveHierarchyToFile(const char* fileName, uint32_t format, Frame* root,
                              AnimationController* controller, UserDataSaver* user) {
  TreeFacts facts;
  LyrResult r = CheckArguments(fileName, format, root, &facts);
  if (Failed(r)) return r;
  Ref<VekFile> file;
  if (Failed(r = CreateVekFileWithTemplates(file.put()))) return r;
  return SaveHierarchyThrough(file.get(), fileName, format, root, controller, user);
}

namespace {

// The temporary file of a 16-bit save; deleted when this goes, whatever happened.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (made_) platform::DeleteFile(path_);
  }
  // A new, empty file with the prefix "pmv" in the temporary folder. ErrFail when the folder's
  // name is longer than 260 characters or no file can be made.
  LyrResult Make() {
    char folder[kFolderCapacity];
    if (!platform::TempDirectory(folder, sizeof folder)) return ErrFail;
    if (!platform::MakeTempFile(folder, "pmv", path_, sizeof path_)) return ErrFail;
    made_ = true;
    return Ok;
  }
  const char* path() const { return path_; }

 private:
  static constexpr size_t kFolderCapacity = 260 + 1;
  char path_[kFolderCapacity + 16] = {};
  bool made_ = false;
};

}  // namespace

LyrResult SaveHierarchyToFileW(const char16_t* fileName, uint32_t format, Frame* root,
                               AnimationController* controller, UserDataSaver* user) {
  if (!fileName) return ErrInvalidCall;
  // The destination's name is converted first: a name that cannot be a file name is refused
  // before any work is done (with the code of a destination that cannot be created).
  const size_t length = platform::Utf8LengthOfUtf16(fileName);
  if (length == SIZE_MAX) return ErrFileOpenFailed;
  WorkVector<char> destination(length + 1);
  if (!platform::Utf16ToUtf8(fileName, destination.data(), destination.size()))
    return ErrFileOpenFailed;

  TemporaryFile temporary;
  LyrResult r = temporary.Make();
  if (Failed(r)) return r;
  if (Failed(r = SaveHierarchyToFile(temporary.path(), format, root, controller, user))) return r;
  platform::MappedFile saved;  // closed before the temporary file is deleted
  if (Failed(saved.Open(temporary.path()))) return ErrFileOpenFailed;
  r = platform::WriteWholeFile(destination.data(), saved.data(), saved.size());
  // A copy that fell short would leave a truncated file that looks like a saved one.
  if (r == ErrFail) platform::DeleteFile(destination.data());
  return r;
}

}  // namespace lyr::vekio
