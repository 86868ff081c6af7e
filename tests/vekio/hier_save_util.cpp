// Directory listings of 32-bit builds need 64-bit inode numbers (readdir fails on large ones).
#define _FILE_OFFSET_BITS 64
#include "hier_save_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "core/object_impl.h"
#include "vekio/vek_component.h"

namespace lyr::test {

using namespace vekio::tid;

Frame* Tree::Add(const char* name, Frame* parent) {
  Frame f{};
  if (name) f.name = names_.emplace_back(name).data();
  f.matrix = Matrix{};
  for (int i = 0; i < 4; ++i) f.matrix.m[i][i] = 1;
  Frame* added = &frames_.emplace_back(f);
  if (parent) {
    Frame** link = &parent->firstChild;
    while (*link) link = &(*link)->nextSibling;
    *link = added;
  }
  return added;
}

void Tree::AddSibling(Frame* frame, Frame* sibling) {
  while (frame->nextSibling) frame = frame->nextSibling;
  frame->nextSibling = sibling;
}

MeshContainer* Tree::AddContainer(Frame* frame, uint32_t type, Mesh* mesh) {
  MeshContainer c{};
  c.name = names_.emplace_back("mesh" + std::to_string(containers_.size())).data();
  c.meshType = type;
  c.mesh = mesh;
  MeshContainer* added = &containers_.emplace_back(c);
  MeshContainer** link = &frame->meshContainers;
  while (*link) link = &(*link)->next;
  *link = added;
  return added;
}

namespace {

class FakeInterpolator final : public Object<FakeInterpolator, KeyFrameInterpolator> {
 public:
  explicit FakeInterpolator(const FakeKeys& k) : k_(k) {}
  void* InterfaceFor(const Guid& iid) {
    if (iid == kIidInterpolator) return static_cast<KeyFrameInterpolator*>(this);
    return nullptr;
  }
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (!k_.keyFrame && iid == KeyFrameInterpolator::kIid) {
      *out = nullptr;
      return ErrNoInterface;
    }
    return Object::QueryInterface(iid, out);
  }
  const char* LYR_CALL Name() override { return k_.name; }
  double LYR_CALL Period() override { return 1; }
  LyrResult LYR_CALL Sample(double, Vector3*, Quaternion*, Vector3*) override { return Ok; }
  LyrResult LYR_CALL SampleEnd(Vector3*, Quaternion*, Vector3*) override { return Ok; }
  uint32_t LYR_CALL ScaleKeyCount() override { return uint32_t(k_.scale.size()); }
  LyrResult LYR_CALL CopyScaleKeys(VectorKey* d) override { return Copy(k_.scale, d); }
  uint32_t LYR_CALL RotationKeyCount() override { return uint32_t(k_.rotation.size()); }
  LyrResult LYR_CALL CopyRotationKeys(RotationKey* d) override { return Copy(k_.rotation, d); }
  uint32_t LYR_CALL TranslationKeyCount() override { return uint32_t(k_.translation.size()); }
  LyrResult LYR_CALL CopyTranslationKeys(VectorKey* d) override { return Copy(k_.translation, d); }
  double LYR_CALL TicksPerSecond() override { return k_.ticks; }

 private:
  template <class K>
  static LyrResult Copy(const std::vector<K>& keys, K* d) {
    if (!d) return ErrInvalidCall;
    std::copy(keys.begin(), keys.end(), d);
    return Ok;
  }
  FakeKeys k_;
};

class FakeSet final : public Object<FakeSet, AnimationSet> {
 public:
  FakeSet(const char* name, std::vector<Ref<KeyFrameInterpolator>> items)
      : name_(name), items_(std::move(items)) {}
  const char* LYR_CALL Name() override { return name_; }
  double LYR_CALL Period() override { return 1; }
  uint32_t LYR_CALL InterpolatorCount() override { return uint32_t(items_.size()); }
  LyrResult LYR_CALL InterpolatorAt(uint32_t i, KeyFrameInterpolator** out) override {
    if (!out || i >= items_.size()) return ErrInvalidCall;
    items_[i]->AddRef();
    *out = items_[i].get();
    return Ok;
  }
  LyrResult LYR_CALL FindInterpolator(const char*, KeyFrameInterpolator** out) override {
    *out = nullptr;
    return ErrFail;
  }

 private:
  const char* name_;
  std::vector<Ref<KeyFrameInterpolator>> items_;
};

}  // namespace

Ref<KeyFrameInterpolator> MakeFakeInterpolator(const FakeKeys& keys) {
  return Ref<KeyFrameInterpolator>(New<FakeInterpolator>(keys));
}

Ref<AnimationSet> MakeFakeSet(const char* name, std::vector<Ref<KeyFrameInterpolator>> items) {
  return Ref<AnimationSet>(New<FakeSet>(name, std::move(items)));
}

Ref<AnimationController> MakeController(const std::vector<Ref<AnimationSet>>& sets) {
  Ref<AnimationController> c;
  EXPECT_EQ(
      LyrCreateAnimationController(4, sets.empty() ? 1 : uint32_t(sets.size()), 1, 1, c.put()), Ok);
  for (const Ref<AnimationSet>& s : sets) EXPECT_EQ(c->RegisterSet(s.get()), Ok);
  return c;
}

SavedFile ParseSaved(const std::string& bytes) {
  SavedFile f;
  f.file = NewVekFile();
  f.result = OpenBytes(f.file.get(), bytes, f.enumeration.put());
  if (Succeeded(f.result)) f.top = TopLevel(f.enumeration.get());
  return f;
}

std::vector<std::string> TemplateNamesOf(const std::vector<Ref<VekDataObject>>& objects) {
  static const std::pair<Guid, const char*> kNames[] = {
      {kFrame, "Frame"},
      {kFrameTransformMatrix, "FrameTransformMatrix"},
      {kMesh, "Mesh"},
      {kPatchMesh9, "PatchMesh9"},
      {kAnimTicksPerSecond, "AnimTicksPerSecond"},
      {kAnimationSet, "AnimationSet"},
      {kAnimation, "Animation"},
      {kAnimationKey, "AnimationKey"},
      {kMeshNormals, "MeshNormals"},
      {kMeshTextureCoords, "MeshTextureCoords"},
      {kMeshVertexColors, "MeshVertexColors"},
      {kFVFData, "FVFData"},
      {kDeclData, "DeclData"},
      {kMeshMaterialList, "MeshMaterialList"},
      {kVekSkinMeshHeader, "VekSkinMeshHeader"},
      {kSkinWeights, "SkinWeights"},
      {kPMInfo, "PMInfo"},
      {kFaceAdjacency, "FaceAdjacency"},
      {kVertexDuplicationIndices, "VertexDuplicationIndices"},
  };
  std::vector<std::string> names;
  for (const Ref<VekDataObject>& o : objects) {
    const Guid* t = nullptr;
    EXPECT_EQ(o->ReadTemplateId(&t), Ok);
    std::string name = "?";
    for (const auto& [id, n] : kNames)
      if (t && *t == id) name = n;
    names.push_back(name);
  }
  return names;
}

PrivateTempFolder::PrivateTempFolder() {
  char tmpl[] = "/tmp/lyr_hsXXXXXX";
  path_ = mkdtemp(tmpl);
  if (const char* old = std::getenv("TMPDIR")) {
    had_ = true;
    saved_ = old;
  }
  setenv("TMPDIR", path_.c_str(), 1);
}

PrivateTempFolder::~PrivateTempFolder() {
  for (const std::string& f : Files()) unlink((path_ + "/" + f).c_str());
  rmdir(path_.c_str());
  if (had_)
    setenv("TMPDIR", saved_.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

std::vector<std::string> PrivateTempFolder::Files() const {
  std::vector<std::string> names;
  if (DIR* d = opendir(path_.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
        names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

}  // namespace lyr::test
