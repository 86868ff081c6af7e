// Helpers for the hierarchy saver tests: host-side frame trees, interpolators and sets that
// report what a test chooses, a UserDataSaver that records and fails its calls, and reading a
// saved file back through the component.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "lyr/hierarchy_save.h"
#include "vek_test_util.h"

namespace lyr::test {

// Frames and containers owned by the test (the saver only reads them).
class Tree {
 public:
  Frame* Add(const char* name, Frame* parent = nullptr);  // appended as the last child
  void AddSibling(Frame* frame, Frame* sibling);
  MeshContainer* AddContainer(Frame* frame, uint32_t type, Mesh* mesh);

 private:
  std::deque<Frame> frames_;
  std::deque<MeshContainer> containers_;
  std::deque<std::string> names_;
};

// A key-frame interpolator with chosen keys that may refuse the key-frame interface.
struct FakeKeys {
  const char* name = "bone";
  bool keyFrame = true;
  double ticks = 4800.0;
  std::vector<VectorKey> scale, translation;
  std::vector<RotationKey> rotation;
};
Ref<KeyFrameInterpolator> MakeFakeInterpolator(const FakeKeys& keys);
// A set of the given interpolators in this order (not sorted).
Ref<AnimationSet> MakeFakeSet(const char* name, std::vector<Ref<KeyFrameInterpolator>> items);
// A controller holding the sets in order.
Ref<AnimationController> MakeController(const std::vector<Ref<AnimationSet>>& sets);

// Records the calls of a UserDataSaver ("OnSaveFrame:name", "OnSaveMeshContainer:name",
// "BeforeTopLevelObjects", ...) and fails the call noted as failOp with failCode.
class RecordingSaver final : public UserDataSaver {
 public:
  std::vector<std::string> calls;
  std::string failOp;
  LyrResult failCode = static_cast<LyrResult>(0x88765432u);
  LyrResult LYR_CALL OnSaveFrame(Frame* f, VekSaveObject*, VekDataObject*) override {
    return Note("OnSaveFrame", f->name);
  }
  LyrResult LYR_CALL OnSaveMeshContainer(MeshContainer* c, VekSaveObject*,
                                         VekDataObject*) override {
    return Note("OnSaveMeshContainer", c->name);
  }
  LyrResult LYR_CALL BeforeTopLevelObjects(VekSaveObject*) override {
    return Note("BeforeTopLevelObjects", nullptr);
  }
  LyrResult LYR_CALL AfterTopLevelObjects(VekSaveObject*) override {
    return Note("AfterTopLevelObjects", nullptr);
  }
  LyrResult LYR_CALL AddOwnTemplates(VekFile*) override { return Note("AddOwnTemplates", nullptr); }
  LyrResult LYR_CALL WriteOwnTemplates(VekSaveObject*) override {
    return Note("WriteOwnTemplates", nullptr);
  }

 private:
  LyrResult Note(const char* op, const char* name) {
    calls.push_back(name ? std::string(op) + ":" + name : std::string(op));
    return failOp == calls.back() ? failCode : Ok;
  }
};

// A parsed file: its top-level objects (kept alive with the file).
struct SavedFile {
  Ref<VekFile> file;
  Ref<VekEnumeration> enumeration;
  std::vector<Ref<VekDataObject>> top;
  LyrResult result = ErrFail;
};
SavedFile ParseSaved(const std::string& bytes);
std::vector<std::string> TemplateNamesOf(const std::vector<Ref<VekDataObject>>& objects);

// A folder of its own for temporary files while it lives (TMPDIR points there).
class PrivateTempFolder {
 public:
  PrivateTempFolder();
  ~PrivateTempFolder();
  const std::string& path() const { return path_; }
  std::vector<std::string> Files() const;

 private:
  std::string path_, saved_;
  bool had_ = false;
};

}  // namespace lyr::test
