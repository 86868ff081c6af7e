// The hierarchy saver: what each object of a saved file holds and in what order, the host's
// callbacks, the argument checks, the 16-bit entry's temporary file on every path, and failures
// of allocation, component and callbacks.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <memory>

#include "anim/anim_test_util.h"
#include "hier_save_util.h"
#include "lyr/anim.h"
#include "hierarchy_test_util.h"
#include "mesh_write_util.h"
#include "patch/patch_test_util.h"
#include "pmesh/pm_grid.h"
#include "support/fault_injection.h"
#include "vekio/anim_load.h"
#include "mesh/mesh_load.h"
#include "vekio/hier_save.h"

namespace lyr::test {
namespace {

using namespace vekio::tid;

constexpr LyrResult kComponentCode = static_cast<LyrResult>(0x88761234u);

// Saves through the 8-bit entry to a fresh file and returns its bytes.
std::string Save(Frame* root, AnimationController* controller, uint32_t format, LyrResult* result,
                 UserDataSaver* user = nullptr) {
  TempFile tmp;
  *result = LyrSaveMeshHierarchyToFileA(tmp.path(), format, root, controller, user);
  return ReadBytes(tmp.path());
}

std::vector<std::string> Names(const std::vector<Ref<VekDataObject>>& objects) {
  std::vector<std::string> names;
  for (const Ref<VekDataObject>& o : objects) names.push_back(NameOf(o.get()));
  return names;
}

template <class T>
T BlockValue(VekDataObject* o, size_t offset) {
  uint32_t size = 0;
  const void* data = nullptr;
  EXPECT_EQ(o->ReadData(nullptr, &size, &data), Ok);
  EXPECT_LE(offset + sizeof(T), size);
  return ValueAt<T>(data, offset);
}

TEST(TruncatedTicks, TowardZeroLow32Bits) {
  const struct {
    double in;
    uint32_t out;
  } cases[] = {{2.9, 2},
               {29.97, 29},
               {4800.0, 4800},
               {-0.5, 0},
               {-1.0, 0xFFFFFFFFu},
               {-2.9, 0xFFFFFFFEu},
               {4294967296.0 + 5, 5},
               {4294967295.0, 0xFFFFFFFFu},
               {1e30, uint32_t(std::fmod(1e30, 4294967296.0))},
               {std::numeric_limits<double>::quiet_NaN(), 0},
               {std::numeric_limits<double>::infinity(), 0}};
  for (const auto& c : cases) EXPECT_EQ(vekio::TruncatedTicks(c.in), c.out) << c.in;
}

// The ticks objects: only with sets; set 0's rate ahead of the frames, and another one before
// each set whose rate (as written, truncated) differs from the last one written, so that sets of
// mixed rates load back with their own.
TEST(HierarchySave, TicksObjects) {
  auto kf = [](double ticks, bool keyFrame = true) {
    FakeKeys k;
    k.ticks = ticks;
    k.keyFrame = keyFrame;
    k.rotation = {{0, {0, 0, 0, 1}}};
    return MakeFakeInterpolator(k);
  };
  const struct {
    const char* what;
    std::vector<std::vector<Ref<KeyFrameInterpolator>>> sets;  // empty: no controller
    bool controller;
    const char* top;  // the top-level objects, "T<rate>" for a ticks object
  } cases[] = {
      {"no controller", {}, false, "Frame"},
      {"controller without sets", {}, true, "Frame"},
      {"30 ticks", {{kf(30)}}, true, "T30 Frame Set"},
      {"29.97 ticks", {{kf(29.97)}}, true, "T29 Frame Set"},
      {"set 0 first, then changes",
       {{kf(25)}, {kf(60)}, {kf(60.5)}, {kf(25)}},
       true,
       "T25 Frame Set T60 Set Set T25 Set"},
      {"first key-frame interpolator", {{kf(12, false), kf(24), kf(48)}}, true, "T24 Frame Set"},
      {"no key-frame interpolator", {{kf(12, false)}}, true, "T4800 Frame Set"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Tree tree;
    Frame* root = tree.Add("bone");
    std::vector<Ref<AnimationSet>> sets;
    for (const auto& items : c.sets) sets.push_back(MakeFakeSet("s", items));
    Ref<AnimationController> controller;
    if (c.controller) controller = MakeController(sets);
    LyrResult r;
    SavedFile f = ParseSaved(Save(root, controller.get(), kVekFormatText, &r));
    ASSERT_EQ(r, Ok);
    ASSERT_EQ(f.result, Ok);
    const std::vector<std::string> names = TemplateNamesOf(f.top);
    std::string top;
    for (size_t i = 0; i < names.size(); ++i) {
      if (i) top += ' ';
      if (names[i] == "AnimTicksPerSecond") {
        top += 'T';
        top += std::to_string(BlockValue<uint32_t>(f.top[i].get(), 0));
      } else {
        top += names[i] == "AnimationSet" ? "Set" : names[i];
      }
    }
    EXPECT_EQ(top, c.top);
  }
}

// Top-level frames come out as the root's sibling chain reversed (the root last); children keep
// their order, each frame with its matrix first.
TEST(HierarchySave, FrameOrderAndMatrices) {
  Tree tree;
  Frame* a = tree.Add("A");
  Frame* b = tree.Add("B");
  Frame* c = tree.Add(nullptr);
  tree.AddSibling(a, b);
  tree.AddSibling(a, c);
  Frame* a1 = tree.Add("A1", a);
  tree.Add("A2", a);
  tree.Add("A11", a1);
  b->matrix.m[3][0] = 7.5f;
  b->matrix.m[1][2] = -2;
  RecordingSaver user;
  LyrResult r;
  SavedFile f = ParseSaved(Save(a, nullptr, kVekFormatBinary, &r, &user));
  ASSERT_EQ(r, Ok);
  EXPECT_EQ(Names(f.top), (std::vector<std::string>{"", "B", "A"}));
  // Frames are visited depth first, a frame's children before its later siblings.
  EXPECT_EQ(user.calls, (std::vector<std::string>{
                            "AddOwnTemplates", "WriteOwnTemplates", "BeforeTopLevelObjects",
                            "OnSaveFrame:A", "OnSaveFrame:A1", "OnSaveFrame:A11", "OnSaveFrame:A2",
                            "OnSaveFrame:B", "OnSaveFrame", "AfterTopLevelObjects"}));
  std::vector<Ref<VekDataObject>> children = DataChildren(f.top[2].get());
  EXPECT_EQ(TemplateNamesOf(children),
            (std::vector<std::string>{"FrameTransformMatrix", "Frame", "Frame"}));
  EXPECT_EQ(Names(children), (std::vector<std::string>{"", "A1", "A2"}));
  EXPECT_EQ(Names(DataChildren(children[1].get())), (std::vector<std::string>{"", "A11"}));
  Matrix written = BlockValue<Matrix>(DataChildren(f.top[1].get())[0].get(), 0);
  EXPECT_EQ(std::memcmp(&written, &b->matrix, sizeof(Matrix)), 0);
}

// A long sibling chain is written without exhausting the stack (the component itself limits the
// depth of nesting).
TEST(HierarchySave, LongChainsAndDeepTrees) {
  Tree tree;
  Frame* root = tree.Add("root");
  Frame* deep = root;
  for (int i = 0; i < 30; ++i) deep = tree.Add("d", deep);
  Frame* wide = tree.Add("w", root);
  for (int i = 0; i < 20000; ++i) wide = wide->nextSibling = tree.Add("w");
  LyrResult r;
  Save(root, nullptr, kVekFormatBinary, &r);
  EXPECT_EQ(r, Ok);
}

// Each Animation holds its key kinds (rotation w, x, y, z first, then scale, then translation;
// times truncated) and the frame reference; interpolators without the key-frame interface are
// left out.
TEST(HierarchySave, AnimationContents) {
  FakeKeys rotationOnly;
  rotationOnly.name = "arm";
  rotationOnly.rotation = {{2.9f, {0.1f, 0.2f, 0.3f, 0.9f}}, {7.0f, {0, 0, 1, 0}}};
  FakeKeys hidden;
  hidden.keyFrame = false;
  hidden.rotation = rotationOnly.rotation;
  Ref<KeyFrameInterpolator> made;
  const RotationKey rot[] = {{1.5f, {0, 0, 0, 1}}};
  ASSERT_EQ(LyrCreateKeyFrameInterpolator("leg", nullptr, 0, rot, 1, nullptr, 0, 30, made.put()),
            Ok);
  Ref<AnimationController> controller = MakeController({MakeFakeSet(
      "walk", {MakeFakeInterpolator(rotationOnly), MakeFakeInterpolator(hidden), made})});
  Tree tree;
  LyrResult r;
  const std::string text = Save(tree.Add("arm"), controller.get(), kVekFormatText, &r);
  SavedFile f = ParseSaved(text);
  ASSERT_EQ(r, Ok);
  ASSERT_EQ(f.top.size(), 3u);
  EXPECT_EQ(NameOf(f.top[2].get()), "walk");
  std::vector<Ref<VekDataObject>> animations = DataChildren(f.top[2].get());
  ASSERT_EQ(animations.size(), 2u);

  std::vector<Ref<VekDataObject>> keys = DataChildren(animations[0].get());
  ASSERT_EQ(TemplateNamesOf(keys), std::vector<std::string>{"AnimationKey"});
  uint32_t size = 0;
  const void* block = nullptr;
  ASSERT_EQ(keys[0]->ReadData(nullptr, &size, &block), Ok);
  ASSERT_EQ(size, 8u + 24 * 2);
  EXPECT_EQ(ValueAt<uint32_t>(block, 0), 0u);
  EXPECT_EQ(ValueAt<uint32_t>(block, 4), 2u);
  EXPECT_EQ(ValueAt<uint32_t>(block, 8), 2u);  // 2.9 ticks
  EXPECT_EQ(ValueAt<uint32_t>(block, 12), 4u);
  const float wxyz[4] = {ValueAt<float>(block, 16), ValueAt<float>(block, 20),
                         ValueAt<float>(block, 24), ValueAt<float>(block, 28)};
  EXPECT_EQ(wxyz[0], 0.9f);
  EXPECT_EQ(wxyz[1], 0.1f);
  EXPECT_EQ(wxyz[3], 0.3f);
  EXPECT_EQ(ValueAt<uint32_t>(block, 32), 7u);

  // A created interpolator reports every kind, but the kinds it was made without (one default
  // key at time 0) are left out.
  keys = DataChildren(animations[1].get());
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(BlockValue<uint32_t>(keys[0].get(), 0), 0u);  // rotation
  EXPECT_EQ(BlockValue<uint32_t>(keys[0].get(), 8), 1u);  // 1.5 ticks
  // The frame references name the frames (read from a fresh parse: the walk above used up the
  // children).
  SavedFile again = ParseSaved(text);
  std::vector<Ref<VekDataObject>> fresh = DataChildren(again.top[2].get());
  for (const auto& [animation, frame] :
       {std::pair{fresh[0].get(), "arm"}, std::pair{fresh[1].get(), "leg"}}) {
    Ref<Unknown> child;
    std::string referenced;
    while (Succeeded(animation->NextChild(child.put()))) {
      void* p = nullptr;
      if (Succeeded(child->QueryInterface(VekReference::kIid, &p)))
        referenced = NameOf(Ref<VekReference>(static_cast<VekReference*>(p)).get());
    }
    EXPECT_EQ(referenced, frame);
  }
}

// Animation sets come back through the animation loader with the same keys, in every form: the
// samples agree exactly wherever the key times were whole ticks, and within the truncation of the
// times elsewhere.
TEST(HierarchySave, AnimationRoundTrip) {
  std::vector<Ref<KeyFrameInterpolator>> items;
  const char* names[] = {"hip", "knee", "toe"};
  for (int i = 0; i < 3; ++i) {
    std::vector<VectorKey> s, t;
    std::vector<RotationKey> q;
    for (int k = 0; k < 6; ++k) {
      const float time = 10.0f * k + (i == 2 ? 0.75f : 0.0f);
      s.push_back({time, {1 + 0.1f * k, 1, 1 - 0.05f * k}});
      t.push_back({time, {float(k), -0.5f * k * i, 3}});
      const float a = 0.3f * k + i;
      q.push_back({time, {std::sin(a) * 0.6f, 0, std::sin(a) * 0.8f, std::cos(a)}});
    }
    KeyFrameInterpolator* p = nullptr;
    ASSERT_EQ(
        LyrCreateKeyFrameInterpolator(names[i], s.data(), 6, q.data(), 6, t.data(), 6, 30, &p), Ok);
    items.emplace_back(p);
  }
  Ref<AnimationSet> set;
  std::vector<KeyFrameInterpolator*> raw = {items[0].get(), items[1].get(), items[2].get()};
  ASSERT_EQ(LyrCreateAnimationSet("run", raw.data(), 3, set.put()), Ok);
  Ref<AnimationController> controller = MakeController({set});
  Tree tree;
  Frame* root = tree.Add("hip");
  tree.Add("toe", tree.Add("knee", root));
  for (uint32_t format = 0; format < 4; ++format) {
    SCOPED_TRACE(format);
    LyrResult r;
    SavedFile f = ParseSaved(Save(root, controller.get(), format, &r));
    ASSERT_EQ(r, Ok);
    ASSERT_EQ(f.top.size(), 3u);
    const double ticks = BlockValue<uint32_t>(f.top[0].get(), 0);
    Ref<AnimationSet> loaded;
    ASSERT_EQ(vekio::LoadAnimationSet(f.top[2].get(), ticks, loaded.put()), Ok);
    EXPECT_STREQ(loaded->Name(), "run");
    ASSERT_EQ(loaded->InterpolatorCount(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
      Ref<KeyFrameInterpolator> a, b;
      ASSERT_EQ(set->InterpolatorAt(i, a.put()), Ok);
      ASSERT_EQ(loaded->InterpolatorAt(i, b.put()), Ok);
      EXPECT_STREQ(a->Name(), b->Name());
      // A time of t + 0.75 ticks is written as t: the samples shift by at most 0.75 ticks (and
      // the period shrinks by as much, so the times stay within the first period).
      const bool shifted = std::string(a->Name()) == "toe";
      for (double time = 0; time < 1.6; time += 0.01) {
        Vector3 sa, sb, ta, tb;
        Quaternion qa, qb;
        ASSERT_EQ(a->Sample(time, &sa, &qa, &ta), Ok);
        ASSERT_EQ(b->Sample(time, &sb, &qb, &tb), Ok);
        const float tol = shifted ? 0.08f : 0.0f;
        ExpectVec(sa, sb, tol);
        ExpectVec(ta, tb, tol);
        ExpectQuat(qa, qb, tol);
      }
    }
  }
}

// Every combination of kinds an interpolator is made with (keys ending at 60 ticks, or a lone
// non-default key at time 0) loads back with the same period and samples: the default keys of
// the kinds it was made without do not turn into keys that change the period.
TEST(HierarchySave, PeriodSurvivesForEveryCombinationOfKinds) {
  for (int mask = 0; mask < 27; ++mask) {
    const int kinds[3] = {mask % 3, mask / 3 % 3, mask / 9};  // 0 none, 1 keys to 60, 2 lone
    SCOPED_TRACE(testing::Message() << kinds[0] << kinds[1] << kinds[2]);
    std::vector<VectorKey> s, t;
    std::vector<RotationKey> q;
    for (float time : {0.0f, 30.0f, 60.0f}) {
      const float k = time / 60;
      auto wanted = [&](int kind) { return kind == 1 || (kind == 2 && time == 0); };
      if (wanted(kinds[0])) s.push_back({time, {1 + k, 2, 1}});
      if (wanted(kinds[1])) q.push_back({time, {0, std::sin(k + 0.5f), 0, std::cos(k + 0.5f)}});
      if (wanted(kinds[2])) t.push_back({time, {k, 1, -k}});
    }
    Ref<KeyFrameInterpolator> made;
    ASSERT_EQ(LyrCreateKeyFrameInterpolator("bone", s.data(), uint32_t(s.size()), q.data(),
                                            uint32_t(q.size()), t.data(), uint32_t(t.size()), 30,
                                            made.put()),
              Ok);
    Ref<AnimationController> controller = MakeController({MakeFakeSet("clip", {made})});
    Tree tree;
    LyrResult r;
    SavedFile f = ParseSaved(Save(tree.Add("bone"), controller.get(), kVekFormatText, &r));
    ASSERT_EQ(r, Ok);
    Ref<AnimationSet> loaded;
    ASSERT_EQ(vekio::LoadAnimationSet(f.top[2].get(), 30, loaded.put()), Ok);
    Ref<KeyFrameInterpolator> back;
    ASSERT_EQ(loaded->InterpolatorAt(0, back.put()), Ok);
    // Made without any keys, it still writes one kind (an Animation needs a key to load); the
    // samples are the identity either way.
    if (mask != 0) {
      EXPECT_EQ(back->Period(), made->Period());
    }
    for (double time = 0; time < 2.5; time += 0.125) {
      Vector3 sa, sb, ta, tb;
      Quaternion qa, qb;
      ASSERT_EQ(made->Sample(time, &sa, &qa, &ta), Ok);
      ASSERT_EQ(back->Sample(time, &sb, &qb, &tb), Ok);
      ExpectVec(sa, sb, 0.0f);
      ExpectVec(ta, tb, 0.0f);
      ExpectQuat(qa, qb, 0.0f);
    }
  }
}

// Mesh containers: each plain mesh is its own Mesh child after the matrix, a patch mesh a
// PatchMesh9 child, and the host sees each container after its mesh was added.
TEST(HierarchySave, Containers) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  Loaded cube, quad;
  ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("cube.vkf"), &cube), Ok);
  ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("quad.vkf"), &quad), Ok);
  Ref<PatchMesh> patches = MakePatchMesh(device.get(), {kPatchNPatch, kPatchCubic, kPatchBezier},
                                         {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 1, 2, 0, 2, 3});
  Tree tree;
  Frame* root = tree.Add("body");
  tree.AddContainer(root, MeshTypeMesh, cube.mesh.get());
  tree.AddContainer(root, MeshTypeMesh, quad.mesh.get());
  tree.AddContainer(root, MeshTypePatchMesh, reinterpret_cast<Mesh*>(patches.get()));
  RecordingSaver user;
  LyrResult r;
  SavedFile f = ParseSaved(Save(root, nullptr, kVekFormatText, &r, &user));
  ASSERT_EQ(r, Ok);
  std::vector<Ref<VekDataObject>> children = DataChildren(f.top[0].get());
  EXPECT_EQ(TemplateNamesOf(children),
            (std::vector<std::string>{"FrameTransformMatrix", "Mesh", "Mesh", "PatchMesh9"}));
  EXPECT_EQ(Names(children), (std::vector<std::string>{"", "mesh0", "mesh1", "mesh2"}));
  EXPECT_EQ(BlockValue<uint32_t>(children[3].get(), 0), kPatchNPatch);
  EXPECT_EQ(BlockValue<uint32_t>(children[3].get(), 12), 4u);
  EXPECT_EQ(BlockValue<uint32_t>(children[1].get(), 0), cube.mesh->GetVertexCount());
  EXPECT_EQ(BlockValue<uint32_t>(children[2].get(), 0), quad.mesh->GetVertexCount());
  EXPECT_EQ(user.calls[4], "OnSaveMeshContainer:mesh0");
  EXPECT_EQ(user.calls[5], "OnSaveMeshContainer:mesh1");
  EXPECT_EQ(user.calls[6], "OnSaveMeshContainer:mesh2");
}

// The template definitions: the twelve of every save, in order, with the host's after them.
TEST(HierarchySave, TemplateDefinitions) {
  Tree tree;
  LyrResult r;
  const std::string text = Save(tree.Add("f"), nullptr, kVekFormatText, &r);
  ASSERT_EQ(r, Ok);
  size_t at = 0;
  for (const char* name :
       {"VertexDuplicationIndices", "EffectParamDWord", "FVFData", "EffectFloats", "EffectString",
        "EffectDWord", "EffectInstance", "AnimTicksPerSecond", "VertexElement", "DeclData",
        "EffectParamFloats", "EffectParamString"}) {
    const size_t found = text.find(std::string("template ") + name + " ", at);
    ASSERT_NE(found, std::string::npos) << name;
    at = found;
  }
  EXPECT_EQ(text.find("template PMInfo"), std::string::npos);
}

// Argument checks come before anything is made.
TEST(HierarchySave, RefusedArguments) {
  Tree tree;
  Frame* good = tree.Add("g");
  Frame* meshless = tree.Add("m");
  tree.Add("child", meshless);
  tree.AddContainer(meshless->firstChild, MeshTypeMesh, nullptr);
  PrivateTempFolder temp;
  const std::string target = temp.path() + "/out.vkf";
  const struct {
    const char* what;
    bool name;
    uint32_t format;
    Frame* root;
  } cases[] = {{"no name", false, 1, good},
               {"no root", true, 1, nullptr},
               {"format 4", true, 4, good},
               {"container without mesh", true, 1, meshless}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingSaver user;
    EXPECT_EQ(LyrSaveMeshHierarchyToFileA(c.name ? target.c_str() : nullptr, c.format, c.root,
                                          nullptr, &user),
              ErrInvalidCall);
    const std::u16string wide(target.begin(), target.end());
    EXPECT_EQ(LyrSaveMeshHierarchyToFileW(c.name ? wide.c_str() : nullptr, c.format, c.root,
                                          nullptr, &user),
              ErrInvalidCall);
    EXPECT_TRUE(user.calls.empty());
    EXPECT_TRUE(temp.Files().empty());
  }
}

// The host's callbacks in order; a failing one ends the save with its code, and the 16-bit entry
// then leaves neither its temporary file nor a destination.
TEST(HierarchySave, UserDataSaverCallsAndFailures) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  Loaded quad;
  ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("quad.vkf"), &quad), Ok);
  Tree tree;
  Frame* root = tree.Add("r");
  tree.AddContainer(tree.Add("c", root), MeshTypeMesh, quad.mesh.get());
  const std::vector<std::string> order = {
      "AddOwnTemplates", "WriteOwnTemplates",         "BeforeTopLevelObjects", "OnSaveFrame:r",
      "OnSaveFrame:c",   "OnSaveMeshContainer:mesh0", "AfterTopLevelObjects"};
  for (size_t failing = 0; failing <= order.size(); ++failing) {
    RecordingSaver user;
    if (failing < order.size()) user.failOp = order[failing];
    SCOPED_TRACE(user.failOp);
    PrivateTempFolder temp;
    const std::string target = temp.path() + "/out.vkf";
    const std::u16string wide(target.begin(), target.end());
    const LyrResult r = LyrSaveMeshHierarchyToFileW(wide.c_str(), 1, root, nullptr, &user);
    const size_t calls = std::min(failing + 1, order.size());
    EXPECT_EQ(user.calls, std::vector<std::string>(order.begin(), order.begin() + calls));
    if (failing < order.size()) {
      EXPECT_EQ(r, user.failCode);
      EXPECT_TRUE(temp.Files().empty());
    } else {
      EXPECT_EQ(r, Ok);
      EXPECT_EQ(temp.Files(), std::vector<std::string>{"out.vkf"});
    }
  }
}

// The 16-bit entry's own failures: each has its code, and no temporary file survives.
TEST(HierarchySave, WideEntryFailures) {
  Tree tree;
  Frame* root = tree.Add("r");
  PrivateTempFolder temp;
  const std::string longFolder = temp.path() + "/" + std::string(250, 'x');
  ASSERT_EQ(mkdir(longFolder.c_str(), 0700), 0);
  const struct {
    const char* what;
    std::string tmpdir;  // empty: the private folder
    std::u16string name;
    LyrResult expected;
  } cases[] = {
      {"temporary folder name too long", longFolder, u"x.vkf", ErrFail},
      {"temporary folder missing", temp.path() + "/missing", u"x.vkf", ErrFail},
      {"destination folder missing", "", u"/nonexistent-folder/x.vkf", ErrFileOpenFailed},
      {"unpaired surrogate", "", std::u16string(u"a\xD800.vkf"), ErrFileOpenFailed},
      {"destination full", "", u"", ErrFail},
  };
  // The full destination is reached through a link, so that deleting the short copy removes the
  // link only.
  const std::string full = temp.path() + "/full";
  ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    setenv("TMPDIR", c.tmpdir.empty() ? temp.path().c_str() : c.tmpdir.c_str(), 1);
    const std::u16string name = c.name.empty() ? std::u16string(full.begin(), full.end()) : c.name;
    EXPECT_EQ(LyrSaveMeshHierarchyToFileW(name.c_str(), 1, root, nullptr, nullptr), c.expected);
    setenv("TMPDIR", temp.path().c_str(), 1);
    for (const std::string& f : temp.Files()) EXPECT_NE(f.rfind("pmv", 0), 0u) << f;
  }
  EXPECT_EQ(temp.Files(), std::vector<std::string>{std::string(250, 'x')});
  rmdir(longFolder.c_str());
}

// Allocation failures at every point: the code is ErrOutOfMemory, nothing leaks, and the 16-bit
// entry leaves neither a temporary file nor a destination.
TEST(HierarchySave, AllocationFailures) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  Loaded skinned, rich;
  ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("skin.vkf"), &skinned), Ok);
  ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("materials.vkf"), &rich), Ok);
  Tree tree;
  Frame* root = tree.Add("r");
  MeshContainer* c = tree.AddContainer(tree.Add("Bone01", root), MeshTypeMesh, skinned.mesh.get());
  c->skinInfo = skinned.skin.get();
  c = tree.AddContainer(root, MeshTypeMesh, rich.mesh.get());
  c->materials = const_cast<Material*>(rich.Materials());
  c->materialCount = rich.materialCount;
  c->adjacency = const_cast<uint32_t*>(rich.Adjacency());
  FakeKeys keys;
  keys.name = "Bone01";
  keys.rotation = {{0, {0, 0, 0, 1}}, {5, {0, 1, 0, 0}}};
  keys.translation = {{0, {1, 2, 3}}};
  Ref<AnimationController> controller =
      MakeController({MakeFakeSet("a", {MakeFakeInterpolator(keys)})});
  PrivateTempFolder temp;
  const std::string target = temp.path() + "/out.vkf";
  const std::u16string wide(target.begin(), target.end());
  // One save first: the skin information keeps tables it builds on first use.
  ASSERT_EQ(LyrSaveMeshHierarchyToFileW(wide.c_str(), 0, root, controller.get(), nullptr), Ok);
  unlink(target.c_str());
  const int points = ForEachAllocationFailure(
      [&] {
        return LyrSaveMeshHierarchyToFileW(wide.c_str(), kVekFormatBinaryCompressed, root,
                                           controller.get(), nullptr);
      },
      [&](LyrResult r) {
        EXPECT_EQ(temp.Files().size(), Succeeded(r) ? 1u : 0u);
        unlink(target.c_str());
      });
  EXPECT_GT(points, 10);
}

// A VekFile that hands out save objects failing the chosen NewDataObject or AddChild.
class FailingFile final : public VekFile {
 public:
  FailingFile(VekFile* real, FaultPlan* plan) : real_(real), plan_(plan) {}
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    return real_->QueryInterface(iid, out);
  }
  uint32_t LYR_CALL AddRef() override { return 1; }
  uint32_t LYR_CALL Release() override { return 1; }
  LyrResult LYR_CALL OpenEnumeration(const void* s, uint32_t m, VekEnumeration** out) override {
    return real_->OpenEnumeration(s, m, out);
  }
  LyrResult LYR_CALL OpenSave(const char* name, uint32_t format, VekSaveObject** out) override {
    Ref<VekSaveObject> save;
    LyrResult r = real_->OpenSave(name, format, save.put());
    if (Failed(r)) return r;
    *out = MakeFailingSave(save.get(), plan_).detach();
    return Ok;
  }
  LyrResult LYR_CALL AddTemplates(const void* block, uint32_t size) override {
    return real_->AddTemplates(block, size);
  }

 private:
  VekFile* real_;
  FaultPlan* plan_;
};

// Every object the save makes or adds can fail: the component's code comes back unchanged.
TEST(HierarchySave, ComponentFailures) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  Loaded skinned;
  ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("skin.vkf"), &skinned), Ok);
  Tree tree;
  Frame* root = tree.Add("r");
  MeshContainer* c = tree.AddContainer(tree.Add("Bone01", root), MeshTypeMesh, skinned.mesh.get());
  c->skinInfo = skinned.skin.get();
  FakeKeys keys;
  keys.name = "Bone01";
  keys.rotation = {{0, {0, 0, 0, 1}}};
  keys.scale = {{0, {1, 1, 1}}};
  Ref<AnimationController> controller =
      MakeController({MakeFakeSet("a", {MakeFakeInterpolator(keys)})});
  Ref<VekFile> real = NewVekFile();
  TempFile tmp;
  std::vector<Guid> refused;
  for (int at = 0;; ++at) {
    FaultPlan plan;
    plan.failAt = at;
    plan.code = kComponentCode;
    FailingFile file(real.get(), &plan);
    const LyrResult r = vekio::SaveHierarchyThrough(&file, tmp.path(), kVekFormatText, root,
                                                    controller.get(), nullptr);
    if (!plan.failed) {
      EXPECT_EQ(r, Ok);
      EXPECT_GT(at, 12);
      break;
    }
    EXPECT_EQ(r, kComponentCode) << at;
    refused.push_back(plan.failedTemplate);
  }
  for (const Guid& t : {kAnimTicksPerSecond, kFrame, kFrameTransformMatrix, kMesh, kSkinWeights,
                        kAnimationSet, kAnimation, kAnimationKey})
    EXPECT_NE(std::find(refused.begin(), refused.end(), t), refused.end());
}

}  // namespace
}  // namespace lyr::test

namespace lyr::test {
namespace {

// A scene read back from a saved file by the readers the scene loader is built from: each Frame
// object's name, matrix, meshes (through the mesh data loader), patch meshes (through the patch
// loader) and child frames, and each animation set through the animation loader.
struct ReadFrame {
  std::string name;
  Matrix matrix{};
  std::vector<std::unique_ptr<Loaded>> meshes;
  std::vector<std::unique_ptr<LoadedPatches>> patches;
  std::vector<ReadFrame> children;
};

void ReadFrameObject(GraphicsDevice* device, VekDataObject* object, ReadFrame* out) {
  out->name = NameOf(object);
  for (Ref<VekDataObject>& child : DataChildren(object)) {
    const Guid t = TemplateOf(child.get());
    if (t == kFrameTransformMatrix) {
      out->matrix = BlockValue<Matrix>(child.get(), 0);
    } else if (t == kFrame) {
      ReadFrameObject(device, child.get(), &out->children.emplace_back());
    } else if (t == kMesh) {
      auto& l = out->meshes.emplace_back(std::make_unique<Loaded>());
      ASSERT_EQ(LoadMeshData(child.get(), 0, device, l->adjacency.put(), l->materials.put(),
                             l->effects.put(), &l->materialCount, l->skin.put(), l->mesh.put(),
                             &l->pm, &l->pmSize, &l->unknown, &l->unknownCount),
                Ok);
    } else if (t == kPatchMesh9) {
      auto& p = out->patches.emplace_back(std::make_unique<LoadedPatches>());
      ASSERT_EQ(LoadObject(device, child.get(), p.get()), Ok);
    }
  }
}

void ExpectSameTree(Frame* f, const ReadFrame& r, const std::map<Mesh*, Loaded*>& sources) {
  SCOPED_TRACE(r.name);
  EXPECT_EQ(f->name ? std::string(f->name) : std::string(), r.name);
  EXPECT_EQ(std::memcmp(&f->matrix, &r.matrix, sizeof(Matrix)), 0);
  size_t mesh = 0, patch = 0;
  for (MeshContainer* c = f->meshContainers; c; c = c->next) {
    if (c->meshType == MeshTypePatchMesh) {
      ASSERT_LT(patch, r.patches.size());
      EXPECT_EQ(IndicesOf(c->patchMesh), IndicesOf(r.patches[patch]->meshes[0]));
      EXPECT_EQ(AttributesOf(c->patchMesh), AttributesOf(r.patches[patch]->meshes[0]));
      ++patch;
      continue;
    }
    ASSERT_LT(mesh, r.meshes.size());
    ExpectSameLoad(*sources.at(c->mesh), *r.meshes[mesh++]);
  }
  EXPECT_EQ(mesh, r.meshes.size());
  EXPECT_EQ(patch, r.patches.size());
  size_t i = 0;
  for (Frame* child = f->firstChild; child; child = child->nextSibling, ++i) {
    ASSERT_LT(i, r.children.size());
    ExpectSameTree(child, r.children[i], sources);
  }
  EXPECT_EQ(i, r.children.size());
}

std::vector<uint8_t> MeshBytes(Mesh* mesh) {
  std::vector<uint8_t> out;
  auto append = [&](const void* p, size_t n) {
    out.insert(out.end(), static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + n);
  };
  void* p = nullptr;
  EXPECT_EQ(mesh->LockVertices(kLockReadOnly, &p), Ok);
  append(p, size_t(mesh->GetVertexCount()) * mesh->GetVertexStride());
  mesh->UnlockVertices();
  EXPECT_EQ(mesh->LockIndices(kLockReadOnly, &p), Ok);
  const bool wide = mesh->GetOptionBits() & MeshOptions::Index32;
  append(p, size_t(mesh->GetFaceCount()) * 3 * (wide ? 4 : 2));
  mesh->UnlockIndices();
  uint32_t* ids = nullptr;
  EXPECT_EQ(mesh->LockAttributeIds(kLockReadOnly, &ids), Ok);
  append(ids, size_t(mesh->GetFaceCount()) * 4);
  mesh->UnlockAttributeIds();
  return out;
}

// Two loaded trees agree: frames, matrices, meshes bit for bit, skin, materials, patch meshes.
void ExpectSameScene(const Frame* a, const Frame* b) {
  for (; a && b; a = a->nextSibling, b = b->nextSibling) {
    EXPECT_EQ(std::memcmp(&a->matrix, &b->matrix, sizeof(Matrix)), 0);
    const MeshContainer *x = a->meshContainers, *y = b->meshContainers;
    for (; x && y; x = x->next, y = y->next) {
      ASSERT_EQ(x->meshType, y->meshType);
      if (x->meshType == MeshTypePatchMesh) {
        EXPECT_EQ(IndicesOf(x->patchMesh), IndicesOf(y->patchMesh));
        continue;
      }
      EXPECT_EQ(MeshBytes(x->mesh), MeshBytes(y->mesh));
      ASSERT_EQ(x->materialCount, y->materialCount);
      for (uint32_t m = 0; m < x->materialCount; ++m)
        EXPECT_EQ(std::memcmp(&x->materials[m].diffuse, &y->materials[m].diffuse, 68), 0);
      ASSERT_EQ(!x->skinInfo, !y->skinInfo);
      if (!x->skinInfo) continue;
      ASSERT_EQ(x->skinInfo->GetBoneCount(), y->skinInfo->GetBoneCount());
      for (uint32_t bone = 0; bone < x->skinInfo->GetBoneCount(); ++bone) {
        EXPECT_STREQ(x->skinInfo->GetBoneLabel(bone), y->skinInfo->GetBoneLabel(bone));
        const uint32_t n = x->skinInfo->GetBoneWeightCount(bone);
        ASSERT_EQ(n, y->skinInfo->GetBoneWeightCount(bone));
        std::vector<uint32_t> vx(n), vy(n);
        std::vector<float> wx(n), wy(n);
        if (!n) continue;
        EXPECT_EQ(x->skinInfo->GetBoneWeights(bone, vx.data(), wx.data()), Ok);
        EXPECT_EQ(y->skinInfo->GetBoneWeights(bone, vy.data(), wy.data()), Ok);
        EXPECT_EQ(vx, vy);
        EXPECT_EQ(wx, wy);
      }
    }
    EXPECT_EQ(!x, !y);
    ExpectSameScene(a->firstChild, b->firstChild);
  }
  EXPECT_EQ(!a, !b);
}

// Every set of `a` has a set of the same name in `b` whose interpolators sample alike.
void ExpectSameAnimation(AnimationController* a, AnimationController* b) {
  ASSERT_EQ(a->SetCount(), b->SetCount());
  for (uint32_t i = 0; i < a->SetCount(); ++i) {
    Ref<AnimationSet> x, y;
    ASSERT_EQ(a->SetAt(i, x.put()), Ok);
    for (uint32_t j = 0; j < b->SetCount() && !y; ++j) {
      Ref<AnimationSet> candidate;
      ASSERT_EQ(b->SetAt(j, candidate.put()), Ok);
      if (std::string(candidate->Name()) == x->Name()) y = candidate;
    }
    ASSERT_TRUE(y) << x->Name();
    ASSERT_EQ(x->InterpolatorCount(), y->InterpolatorCount());
    for (uint32_t k = 0; k < x->InterpolatorCount(); ++k) {
      Ref<KeyFrameInterpolator> p, q;
      ASSERT_EQ(x->InterpolatorAt(k, p.put()), Ok);
      ASSERT_EQ(y->InterpolatorAt(k, q.put()), Ok);
      EXPECT_STREQ(p->Name(), q->Name());
      for (double time = -0.5; time < 3; time += 0.0625) {
        Vector3 sp, sq, tp, tq;
        Quaternion rp, rq;
        ASSERT_EQ(p->Sample(time, &sp, &rp, &tp), Ok);
        ASSERT_EQ(q->Sample(time, &sq, &rq, &tq), Ok);
        EXPECT_EQ(std::memcmp(&rp, &rq, sizeof rp), 0) << time;
        EXPECT_EQ(std::memcmp(&tp, &tq, sizeof tp), 0) << time;
        EXPECT_EQ(std::memcmp(&sp, &sq, sizeof sp), 0) << time;
      }
    }
  }
}

// A whole scene (a skinned mesh, meshes with materials, effects and adjacency, a patch mesh,
// nested frames with their matrices, two animation sets) saved through the 16-bit entry in every
// form reads back with the same tree, meshes, materials, skin and animation.
TEST(HierarchySave, SceneRoundTrip) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  std::map<Mesh*, Loaded*> sources;
  Loaded skinned, rich, normals;
  for (auto [loaded, file] : {std::pair{&skinned, "skin.vkf"}, std::pair{&rich, "materials.vkf"},
                              std::pair{&normals, "cube_normals.vkf"}}) {
    ASSERT_EQ(LoadWritten(device.get(), MeshLoadData(file), loaded), Ok);
    sources[loaded->mesh.get()] = loaded;
  }
  LoadedPatches teapot;
  {
    std::ifstream in(std::string(LYR_TEST_DATA_DIR) + "/patch/npatch.vkf", std::ios::binary);
    ASSERT_EQ(LoadText(device.get(), std::string(std::istreambuf_iterator<char>(in), {}), &teapot),
              Ok);
  }
  Tree tree;
  Frame* root = tree.Add("Scene");
  root->matrix.m[3][1] = 2.5f;
  Frame* body = tree.Add("Bone01", root);
  body->matrix.m[0][1] = 0.25f;
  MeshContainer* c = tree.AddContainer(body, MeshTypeMesh, skinned.mesh.get());
  c->skinInfo = skinned.skin.get();
  c->adjacency = const_cast<uint32_t*>(skinned.Adjacency());
  Frame* props = tree.Add("Props", root);
  c = tree.AddContainer(props, MeshTypeMesh, rich.mesh.get());
  c->materials = const_cast<Material*>(rich.Materials());
  c->effectInstances = const_cast<EffectInstance*>(rich.Effects());
  c->materialCount = rich.materialCount;
  c->adjacency = const_cast<uint32_t*>(rich.Adjacency());
  c = tree.AddContainer(props, MeshTypeMesh, normals.mesh.get());
  c->adjacency = const_cast<uint32_t*>(normals.Adjacency());
  c = tree.AddContainer(tree.Add("Bone02", props), MeshTypePatchMesh, nullptr);
  c->patchMesh = teapot.meshes[0];
  tree.Add(nullptr, props);

  std::vector<Ref<AnimationSet>> sets;
  for (const char* setName : {"walk", "run"}) {
    std::vector<Ref<KeyFrameInterpolator>> items;
    std::vector<KeyFrameInterpolator*> raw;
    for (const char* bone : {"Bone01", "Bone02", "Props"}) {
      const std::vector<VectorKey> t = {{0, {0, 1, 2}}, {15, {1, 1, 0.5f}}, {30, {0, 0, 0}}};
      const std::vector<RotationKey> q = {
          {0, {0, 0, 0, 1}}, {15, {0, 0.6f, 0, 0.8f}}, {30, {0.8f, 0, 0, -0.6f}}};
      // Every channel has keys: an empty one is saved as its default key at time 0, which
      // changes the period the interpolator derives from the last key times.
      raw.push_back(items.emplace_back(MakeInterpolator(bone, t, q, t, 30)).get());
    }
    ASSERT_EQ(LyrCreateAnimationSet(setName, raw.data(), 3, sets.emplace_back().put()), Ok);
  }
  Ref<AnimationController> controller = MakeController(sets);
  PrivateTempFolder temp;
  const std::string target = temp.path() + "/scene.vkf";
  const std::u16string wide(target.begin(), target.end());
  for (uint32_t format = 0; format < 4; ++format) {
    SCOPED_TRACE(format);
    ASSERT_EQ(LyrSaveMeshHierarchyToFileW(wide.c_str(), format, root, controller.get(), nullptr),
              Ok);
    SavedFile f = ParseSaved(ReadBytes(target));
    ASSERT_EQ(TemplateNamesOf(f.top), (std::vector<std::string>{"AnimTicksPerSecond", "Frame",
                                                                "AnimationSet", "AnimationSet"}));
    EXPECT_EQ(BlockValue<uint32_t>(f.top[0].get(), 0), 30u);
    ReadFrame scene;
    ReadFrameObject(device.get(), f.top[1].get(), &scene);
    ExpectSameTree(root, scene, sources);
    for (size_t s = 0; s < 2; ++s) {
      Ref<AnimationSet> loaded;
      ASSERT_EQ(vekio::LoadAnimationSet(f.top[2 + s].get(), 30, loaded.put()), Ok);
      EXPECT_STREQ(loaded->Name(), sets[s]->Name());
      ASSERT_EQ(loaded->InterpolatorCount(), 3u);
      for (uint32_t i = 0; i < 3; ++i) {
        Ref<KeyFrameInterpolator> a, b;
        ASSERT_EQ(sets[s]->InterpolatorAt(i, a.put()), Ok);
        ASSERT_EQ(loaded->InterpolatorAt(i, b.put()), Ok);
        EXPECT_STREQ(a->Name(), b->Name());
        for (double time = -0.5; time < 3; time += 0.0625) {
          Vector3 sa, sb, ta, tb;
          Quaternion qa, qb;
          ASSERT_EQ(a->Sample(time, &sa, &qa, &ta), Ok);
          ASSERT_EQ(b->Sample(time, &sb, &qb, &tb), Ok);
          EXPECT_EQ(std::memcmp(&qa, &qb, sizeof qa), 0) << time;
          EXPECT_EQ(std::memcmp(&ta, &tb, sizeof ta), 0) << time;
          EXPECT_EQ(std::memcmp(&sa, &sb, sizeof sa), 0) << time;
        }
      }
    }
  }
  EXPECT_EQ(temp.Files(), std::vector<std::string>{"scene.vkf"});
}

// Load, save, load again through the scene loader, in every form: the same tree, meshes,
// materials, skin, patch mesh and animation.
TEST(HierarchySave, LoadSaveLoad) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  LyrResult r;
  std::string source;
  {
    // The scene of SceneRoundTrip, kept small: a skinned mesh, a mesh with materials, a patch
    // mesh, nested frames and two sets.
    Loaded skinned, rich;
    ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("skin.vkf"), &skinned), Ok);
    ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("materials.vkf"), &rich), Ok);
    LoadedPatches patches;
    std::ifstream in(std::string(LYR_TEST_DATA_DIR) + "/patch/npatch.vkf", std::ios::binary);
    ASSERT_EQ(LoadText(device.get(), std::string(std::istreambuf_iterator<char>(in), {}), &patches),
              Ok);
    Tree tree;
    Frame* root = tree.Add("Scene");
    root->matrix.m[3][2] = -4;
    MeshContainer* c =
        tree.AddContainer(tree.Add("Bone01", root), MeshTypeMesh, skinned.mesh.get());
    c->skinInfo = skinned.skin.get();
    c->adjacency = const_cast<uint32_t*>(skinned.Adjacency());
    Frame* props = tree.Add("Bone02", root);
    c = tree.AddContainer(props, MeshTypeMesh, rich.mesh.get());
    c->materials = const_cast<Material*>(rich.Materials());
    c->materialCount = rich.materialCount;
    c->adjacency = const_cast<uint32_t*>(rich.Adjacency());
    c = tree.AddContainer(tree.Add("Lid", props), MeshTypePatchMesh, nullptr);
    c->patchMesh = patches.meshes[0];
    std::vector<Ref<AnimationSet>> sets;
    for (const char* setName : {"walk", "run"}) {
      std::vector<Ref<KeyFrameInterpolator>> items;
      std::vector<KeyFrameInterpolator*> raw;
      for (const char* bone : {"Bone01", "Bone02"}) {
        const std::vector<VectorKey> t = {{0, {0, 1, 2}}, {20, {1, 1, 0.5f}}};
        const std::vector<RotationKey> q = {{0, {0, 0, 0, 1}}, {20, {0, 0.6f, 0, 0.8f}}};
        raw.push_back(items.emplace_back(MakeInterpolator(bone, t, q, t, 25)).get());
      }
      ASSERT_EQ(LyrCreateAnimationSet(setName, raw.data(), 2, sets.emplace_back().put()), Ok);
    }
    Ref<AnimationController> controller = MakeController(sets);
    source = Save(root, controller.get(), kVekFormatText, &r);
    ASSERT_EQ(r, Ok);
  }
  SceneLoad first;
  ASSERT_EQ(first.Load(source, device.get()), Ok);
  EXPECT_EQ(Describe(first.root),
            "Scene<0,0,-4>{Bone01[mesh0+skin],Bone02[mesh1]{Lid[mesh2:patch]}}");
  for (uint32_t format = 0; format < 4; ++format) {
    SCOPED_TRACE(format);
    SceneLoad second;
    ASSERT_EQ(second.Load(Save(first.root, first.controller.get(), format, &r), device.get()), Ok);
    ASSERT_EQ(r, Ok);
    EXPECT_EQ(Describe(second.root), Describe(first.root));
    ExpectSameScene(first.root, second.root);
    ExpectSameAnimation(first.controller.get(), second.controller.get());
  }
}

}  // namespace
}  // namespace lyr::test

namespace lyr::test {
namespace {

// A progressive container writes its base level with FaceAdjacency and the PMInfo image it gives
// for saving, after the four progressive-mesh templates; a skinned one writes nothing for its
// mesh, and its frame is still written.
TEST(HierarchySave, ProgressiveContainers) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  const PMGrid grid = BuildPMGrid(PMGridOptions{});
  Ref<ProgressiveMesh> pm;
  ASSERT_EQ(MakeGridPM(grid, device.get(),
                       MeshOptions::VertexSystemMemory | MeshOptions::IndexSystemMemory, pm.put()),
            Ok);
  std::vector<uint8_t> image;
  {
    void* p = nullptr;
    uint32_t bytes = 0;
    uint32_t* adjacency = nullptr;
    Ref<Mesh> base;
    ASSERT_EQ(pm->BuildSaveData(&p, &bytes, &adjacency, base.put()), Ok);
    image.assign(static_cast<uint8_t*>(p), static_cast<uint8_t*>(p) + bytes);
    Free(p);
    Free(adjacency);
  }
  Loaded skinned;
  ASSERT_EQ(LoadWritten(device.get(), MeshLoadData("skin.vkf"), &skinned), Ok);
  Tree tree;
  Frame* root = tree.Add("lod");
  MeshContainer* c = tree.AddContainer(root, MeshTypeProgressiveMesh, nullptr);
  c->progressiveMesh = pm.get();
  c = tree.AddContainer(tree.Add("skinned", root), MeshTypeProgressiveMesh, nullptr);
  c->progressiveMesh = pm.get();
  c->skinInfo = skinned.skin.get();
  for (uint32_t format : {kVekFormatText, kVekFormatBinary}) {
    SCOPED_TRACE(format);
    LyrResult r;
    const std::string bytes = Save(root, nullptr, format, &r);
    ASSERT_EQ(r, Ok);
    if (format == kVekFormatText) {
      size_t at = bytes.find("template EffectParamString ");
      for (const char* name : {"PMAttributeRange", "PMVSplitRecord", "PMInfo", "FaceAdjacency"}) {
        const size_t found = bytes.find(std::string("template ") + name + " ");
        EXPECT_GT(found, at) << name;
        at = found;
      }
    }
    SavedFile f = ParseSaved(bytes);
    ASSERT_EQ(f.top.size(), 1u);
    std::vector<Ref<VekDataObject>> children = DataChildren(f.top[0].get());
    ASSERT_EQ(TemplateNamesOf(children),
              (std::vector<std::string>{"FrameTransformMatrix", "Mesh", "Frame"}));
    EXPECT_EQ(TemplateNamesOf(DataChildren(children[2].get())),
              std::vector<std::string>{"FrameTransformMatrix"});
    Loaded back;
    ASSERT_EQ(
        LoadMeshData(children[1].get(), 0, device.get(), back.adjacency.put(), back.materials.put(),
                     back.effects.put(), &back.materialCount, back.skin.put(), back.mesh.put(),
                     &back.pm, &back.pmSize, &back.unknown, &back.unknownCount),
        Ok);
    ASSERT_EQ(back.pmSize, image.size());
    EXPECT_EQ(std::memcmp(back.pm, image.data(), image.size()), 0);
  }
}

}  // namespace
}  // namespace lyr::test
