#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/anim.h"
#include "lyr/frame.h"

namespace lyr {
namespace {

// A host allocator that records every deletion and can be told to fail one of them.
class TestAllocator final : public HierarchyAllocator {
 public:
  LyrResult LYR_CALL NewFrame(const char* name, Frame** out) override {
    auto* f = new Frame{};
    if (name) {
      f->name = new char[std::strlen(name) + 1];
      std::strcpy(f->name, name);
    }
    *out = f;
    ++live;
    return Ok;
  }
  LyrResult LYR_CALL NewMeshContainer(const char* name, const MeshData*, const Material*,
                                      const EffectInstance*, uint32_t, const uint32_t*, SkinInfo*,
                                      MeshContainer** out) override {
    auto* c = new MeshContainer{};
    if (name) {
      c->name = new char[std::strlen(name) + 1];
      std::strcpy(c->name, name);
    }
    *out = c;
    ++live;
    return Ok;
  }
  LyrResult LYR_CALL DeleteFrame(Frame* f) override {
    log.push_back(std::string("F:") + (f->name ? f->name : "-"));
    if (failOn == log.back()) return failCode;
    delete[] f->name;
    delete f;
    --live;
    return Ok;
  }
  LyrResult LYR_CALL DeleteMeshContainer(MeshContainer* c) override {
    log.push_back(std::string("M:") + (c->name ? c->name : "-"));
    if (failOn == log.back()) return failCode;
    delete[] c->name;
    delete c;
    --live;
    return Ok;
  }

  Frame* Make(const char* name) {
    Frame* f = nullptr;
    NewFrame(name, &f);
    return f;
  }
  void AddContainer(Frame* f, const char* name) {
    MeshContainer* c = nullptr;
    MeshData data{MeshTypeMesh, {nullptr}};
    NewMeshContainer(name, &data, nullptr, nullptr, 0, nullptr, nullptr, &c);
    c->next = f->meshContainers;
    f->meshContainers = c;
  }

  std::vector<std::string> log;
  std::string failOn;
  LyrResult failCode = ErrFail;
  int live = 0;
};

// root -> children A, B, C; A -> A1; B -> B1 -> (B1 child) B1x; C -> C1, C2.
struct Tree {
  explicit Tree(TestAllocator& a) {
    root = a.Make("root");
    for (const char* n : {"A", "B", "C"}) {
      Frame* f = a.Make(n);
      EXPECT_EQ(LyrFrameAppendChild(root, f), Ok);
      by[n] = f;
    }
    auto child = [&](const char* parent, const char* n) {
      Frame* f = a.Make(n);
      EXPECT_EQ(LyrFrameAppendChild(by[parent], f), Ok);
      by[n] = f;
    };
    child("A", "A1");
    child("B", "B1");
    child("B1", "B1x");
    child("C", "C1");
    child("C", "C2");
  }
  Frame* root;
  std::map<std::string, Frame*> by;
};

// Snapshot of every link of a tree, to check that a walk leaves them as they were.
void Links(const Frame* f, std::vector<const void*>* out) {
  for (; f; f = f->nextSibling) {
    out->push_back(f);
    out->push_back(f->firstChild);
    out->push_back(f->nextSibling);
    out->push_back(f->meshContainers);
    Links(f->firstChild, out);
  }
}

std::vector<const void*> Links(const Frame* f) {
  std::vector<const void*> v;
  Links(f, &v);
  return v;
}

TEST(Frame, RecordLayoutsMatchTheHostRecords) {
  EXPECT_EQ(offsetof(Frame, name), 0u);
  EXPECT_EQ(offsetof(Frame, matrix), sizeof(void*));
  EXPECT_EQ(offsetof(Frame, meshContainers), sizeof(void*) + 64);
  EXPECT_EQ(offsetof(MeshContainer, next), 8 * sizeof(void*));
  EXPECT_EQ(offsetof(MeshData, mesh), sizeof(void*));
}

TEST(Frame, AppendChildAddsAtTheEndAndBringsTheChildsSiblings) {
  TestAllocator a;
  Frame* parent = a.Make("p");
  Frame* c1 = a.Make("c1");
  EXPECT_EQ(LyrFrameAppendChild(nullptr, c1), ErrInvalidCall);
  EXPECT_EQ(LyrFrameAppendChild(parent, nullptr), ErrInvalidCall);
  EXPECT_EQ(parent->firstChild, nullptr);
  ASSERT_EQ(LyrFrameAppendChild(parent, c1), Ok);
  EXPECT_EQ(parent->firstChild, c1);
  Frame* c2 = a.Make("c2");
  Frame* c3 = a.Make("c3");
  ASSERT_EQ(LyrFrameAppendChild(parent, c2), Ok);
  ASSERT_EQ(LyrFrameAppendChild(parent, c3), Ok);
  Frame* c4 = a.Make("c4");
  Frame* c5 = a.Make("c5");
  c4->nextSibling = c5;
  ASSERT_EQ(LyrFrameAppendChild(parent, c4), Ok);
  EXPECT_EQ(c3->nextSibling, c4);
  EXPECT_EQ(c4->nextSibling, c5);
  EXPECT_EQ(LyrFrameNumNamedMatrices(parent), 6u);
  ASSERT_EQ(LyrFrameDestroy(parent, &a), Ok);
  EXPECT_EQ(a.live, 0);
}

TEST(Frame, FindSearchesTheFrameThenLaterSiblingsThenChildren) {
  TestAllocator a;
  Tree t(a);
  const auto before = Links(t.root);
  EXPECT_EQ(LyrFrameFind(nullptr, "A"), nullptr);
  EXPECT_EQ(LyrFrameFind(t.root, "C2"), t.by["C2"]);
  EXPECT_EQ(LyrFrameFind(t.root, "B1x"), t.by["B1x"]);
  EXPECT_EQ(LyrFrameFind(t.root, "nope"), nullptr);
  EXPECT_EQ(LyrFrameFind(t.root, "b1x"), nullptr);  // case-sensitive
  // Starting at A also covers B, C and their subtrees.
  EXPECT_EQ(LyrFrameFind(t.by["A"], "C1"), t.by["C1"]);
  EXPECT_EQ(LyrFrameFind(t.by["B"], "A1"), nullptr);
  // Duplicates: C's subtree comes before B's, B's before A's, a later sibling before a child.
  std::strcpy(t.by["A1"]->name, "X");
  std::strcpy(t.by["B1x"]->name, "X");
  EXPECT_EQ(LyrFrameFind(t.root, "X"), t.by["B1x"]);
  std::strcpy(t.by["C2"]->name, "X");
  EXPECT_EQ(LyrFrameFind(t.root, "X"), t.by["C2"]);
  // A null name finds only a frame whose name is null; a name never matches a null name.
  EXPECT_EQ(LyrFrameFind(t.root, nullptr), nullptr);
  char* saved = t.by["B1x"]->name;
  t.by["B1x"]->name = nullptr;
  EXPECT_EQ(LyrFrameFind(t.root, nullptr), t.by["B1x"]);
  EXPECT_EQ(LyrFrameFind(t.root, ""), nullptr);
  t.by["B1x"]->name = saved;
  EXPECT_EQ(Links(t.root), before);
  ASSERT_EQ(LyrFrameDestroy(t.root, &a), Ok);
}

TEST(Frame, CountsNamedFramesIncludingEmptyNames) {
  TestAllocator a;
  Frame* root = a.Make("r");
  Frame* unnamed1 = a.Make(nullptr);
  Frame* unnamed2 = a.Make(nullptr);
  Frame* empty = a.Make("");
  Frame* named = a.Make("n");
  LyrFrameAppendChild(root, unnamed1);
  LyrFrameAppendChild(root, empty);
  LyrFrameAppendChild(unnamed1, unnamed2);
  LyrFrameAppendChild(unnamed2, named);
  EXPECT_EQ(LyrFrameNumNamedMatrices(nullptr), 0u);
  EXPECT_EQ(LyrFrameNumNamedMatrices(root), 3u);
  EXPECT_EQ(LyrFrameNumNamedMatrices(unnamed1), 2u);  // itself unnamed, its sibling "", "n"
  ASSERT_EQ(LyrFrameDestroy(root, &a), Ok);
}

TEST(Frame, DestroyGoesSiblingsFirstThenChildrenThenContainersThenTheFrame) {
  TestAllocator a;
  Tree t(a);
  a.AddContainer(t.by["B"], "mb2");
  a.AddContainer(t.by["B"], "mb1");
  a.AddContainer(t.root, "mr");
  EXPECT_EQ(LyrFrameDestroy(nullptr, &a), ErrInvalidCall);
  EXPECT_EQ(LyrFrameDestroy(t.root, nullptr), ErrInvalidCall);
  ASSERT_EQ(LyrFrameDestroy(t.root, &a), Ok);
  const std::vector<std::string> expected = {"F:C2",  "F:C1", "F:C",  "F:B1x", "F:B1", "M:mb1",
                                             "M:mb2", "F:B",  "F:A1", "F:A",   "M:mr", "F:root"};
  EXPECT_EQ(a.log, expected);
  EXPECT_EQ(a.live, 0);
}

TEST(Frame, DestroyStopsAtTheFirstFailureAndLeavesTheRestLinked) {
  for (const std::string failOn : {"M:mb1", "F:B1", "F:root"}) {
    TestAllocator a;
    Tree t(a);
    a.AddContainer(t.by["B"], "mb2");
    a.AddContainer(t.by["B"], "mb1");
    a.failOn = failOn;
    a.failCode = static_cast<LyrResult>(0x80001234u);
    EXPECT_EQ(LyrFrameDestroy(t.root, &a), a.failCode) << failOn;
    EXPECT_EQ(a.log.back(), failOn);
    // The survivors still form the tree they were (links to deleted frames included); delete
    // them without the failure.
    a.failOn.clear();
    a.log.clear();
    if (failOn == "M:mb1") {
      EXPECT_EQ(t.root->firstChild, t.by["A"]);
      EXPECT_EQ(t.by["A"]->nextSibling, t.by["B"]);
      EXPECT_EQ(t.by["B"]->meshContainers->next->name, std::string("mb2"));
      t.by["B"]->nextSibling = nullptr;  // C went
      t.by["B"]->firstChild = nullptr;   // B1 went
      ASSERT_EQ(LyrFrameDestroy(t.root, &a), Ok);
      const std::vector<std::string> rest = {"M:mb1", "M:mb2", "F:B", "F:A1", "F:A", "F:root"};
      EXPECT_EQ(a.log, rest);
    } else if (failOn == "F:B1") {
      EXPECT_EQ(t.by["B"]->firstChild, t.by["B1"]);
      EXPECT_EQ(t.by["B1"]->firstChild, t.by["B1x"]);  // dangling, as the walk left it
      t.by["B1"]->firstChild = nullptr;
      t.by["B"]->nextSibling = nullptr;
      ASSERT_EQ(LyrFrameDestroy(t.root, &a), Ok);
    } else {
      t.root->firstChild = nullptr;
      ASSERT_EQ(LyrFrameDestroy(t.root, &a), Ok);
    }
    EXPECT_EQ(a.live, 0) << failOn;
  }
}

// A controller stand-in that records registrations and can refuse one.
struct RecordingController final : AnimationController {
  LyrResult LYR_CALL QueryInterface(const Guid&, void**) override { return ErrNoInterface; }
  uint32_t LYR_CALL AddRef() override { return 1; }
  uint32_t LYR_CALL Release() override { return 1; }
  LyrResult LYR_CALL RegisterOutput(const char* name, Matrix* target) override {
    ++calls;
    if (names.size() < 64) names.push_back(name);
    targets.push_back(target);
    if (refuseAt == calls) return ErrInvalidCall;
    return static_cast<LyrResult>(calls);  // index-valued successes
  }
  uint32_t LYR_CALL SetCount() override { return 0; }
  LyrResult LYR_CALL SetAt(uint32_t, AnimationSet**) override { return ErrFail; }
  LyrResult LYR_CALL RegisterSet(AnimationSet*) override { return ErrFail; }
  LyrResult LYR_CALL UnregisterSet(AnimationSet*) override { return ErrFail; }
  uint32_t LYR_CALL MaxTracks() override { return 0; }
  LyrResult LYR_CALL GetTrackState(uint32_t, TrackState*) override { return ErrFail; }
  LyrResult LYR_CALL SetTrackState(uint32_t, const TrackState*) override { return ErrFail; }
  LyrResult LYR_CALL GetTrackSet(uint32_t, AnimationSet**) override { return ErrFail; }
  LyrResult LYR_CALL SetTrackSet(uint32_t, AnimationSet*) override { return ErrFail; }
  LyrResult LYR_CALL SetTrackSpeed(uint32_t, float) override { return ErrFail; }
  LyrResult LYR_CALL SetTrackWeight(uint32_t, float) override { return ErrFail; }
  LyrResult LYR_CALL SetTrackPosition(uint32_t, double) override { return ErrFail; }
  LyrResult LYR_CALL SetTrackEnabled(uint32_t, uint32_t) override { return ErrFail; }
  double LYR_CALL Time() override { return 0; }
  LyrResult LYR_CALL SetTime(double) override { return ErrFail; }
  LyrResult LYR_CALL Clone(uint32_t, uint32_t, uint32_t, uint32_t, AnimationController**) override {
    return ErrFail;
  }
  uint32_t LYR_CALL MaxOutputs() override { return 0; }
  uint32_t LYR_CALL MaxEvents() override { return 0; }
  uint32_t LYR_CALL MaxSets() override { return 0; }
  LyrResult LYR_CALL KeySpeed(uint32_t, float, double, double, uint32_t) override {
    return ErrFail;
  }
  LyrResult LYR_CALL KeyWeight(uint32_t, float, double, double, uint32_t) override {
    return ErrFail;
  }
  LyrResult LYR_CALL KeyPosition(uint32_t, double, double) override { return ErrFail; }
  LyrResult LYR_CALL KeyEnabled(uint32_t, uint32_t, double) override { return ErrFail; }
  float LYR_CALL PriorityBlend() override { return 0; }
  LyrResult LYR_CALL SetPriorityBlend(float) override { return ErrFail; }
  LyrResult LYR_CALL KeyPriorityBlend(float, double, double, uint32_t) override { return ErrFail; }
  void LYR_CALL Destroy() override {}

  uint32_t calls = 0;
  uint32_t refuseAt = 0;
  std::vector<std::string> names;
  std::vector<Matrix*> targets;
};

TEST(Frame, RegisterNamedMatricesInWalkingOrderAndStopsAtARefusal) {
  TestAllocator a;
  Tree t(a);
  char* unnamed = t.by["B1"]->name;
  t.by["B1"]->name = nullptr;
  const auto before = Links(t.root);
  RecordingController rec;
  EXPECT_EQ(LyrFrameRegisterNamedMatrices(nullptr, &rec), ErrInvalidCall);
  EXPECT_EQ(LyrFrameRegisterNamedMatrices(t.root, nullptr), ErrInvalidCall);
  ASSERT_EQ(LyrFrameRegisterNamedMatrices(t.root, &rec), Ok);
  const std::vector<std::string> order = {"root", "A", "B", "C", "C1", "C2", "B1x", "A1"};
  EXPECT_EQ(rec.names, order);
  EXPECT_EQ(rec.targets[1], &t.by["A"]->matrix);
  EXPECT_EQ(LyrFrameNumNamedMatrices(t.root), order.size());

  RecordingController refusing;
  refusing.refuseAt = 5;
  EXPECT_EQ(LyrFrameRegisterNamedMatrices(t.root, &refusing), ErrInvalidCall);
  EXPECT_EQ(refusing.calls, 5u);
  EXPECT_EQ(Links(t.root), before);

  // With the real controller, the named frames' matrices receive the animation.
  KeyFrameInterpolator* it = nullptr;
  const VectorKey key{0, {3, 4, 5}};
  ASSERT_EQ(LyrCreateKeyFrameInterpolator("C1", nullptr, 0, nullptr, 0, &key, 1, 1.0, &it), Ok);
  Ref<AnimationSet> set;
  ASSERT_EQ(LyrCreateAnimationSet("s", &it, 1, set.put()), Ok);
  it->Release();
  Ref<AnimationController> c;
  ASSERT_EQ(LyrCreateAnimationController(LyrFrameNumNamedMatrices(t.root), 1, 1, 1, c.put()), Ok);
  ASSERT_EQ(LyrFrameRegisterNamedMatrices(t.root, c.get()), Ok);
  ASSERT_EQ(c->RegisterSet(set.get()), Ok);
  ASSERT_EQ(c->SetTrackSet(0, set.get()), Ok);
  const TrackState ts{PriorityLow, 1.0f, 1.0f, 1, 0.0};
  ASSERT_EQ(c->SetTrackState(0, &ts), Ok);
  ASSERT_EQ(c->SetTime(0.5), Ok);
  EXPECT_EQ(t.by["C1"]->matrix.m[3][0], 3.0f);
  EXPECT_EQ(t.by["C1"]->matrix.m[3][2], 5.0f);
  t.by["B1"]->name = unnamed;
  ASSERT_EQ(LyrFrameDestroy(t.root, &a), Ok);
}

TEST(Frame, LongSiblingChainsAndDeepChainsNeedNoStack) {
  TestAllocator a;
  // 100,000 siblings under one root, the last one named "last" with a child "deep".
  Frame* root = a.Make("root");
  Frame* prev = nullptr;
  for (int i = 0; i < 100000; ++i) {
    Frame* f = a.Make(i == 99999 ? "last" : (i % 2 ? "s" : nullptr));
    if (prev) {
      prev->nextSibling = f;
    } else {
      root->firstChild = f;
    }
    prev = f;
  }
  Frame* deepChild = a.Make("deep");
  prev->firstChild = deepChild;
  // A chain 10,000 deep below the first sibling.
  Frame* parent = root->firstChild;
  for (int i = 0; i < 10000; ++i) {
    Frame* f = a.Make(i == 9999 ? "bottom" : "d");
    parent->firstChild = f;
    parent = f;
  }
  EXPECT_EQ(LyrFrameFind(root, "bottom"), parent);
  EXPECT_EQ(LyrFrameFind(root, "deep"), deepChild);
  EXPECT_EQ(LyrFrameFind(root, "missing"), nullptr);
  EXPECT_EQ(LyrFrameNumNamedMatrices(root), 1u + 50000u + 1u + 10000u);
  RecordingController rec;
  ASSERT_EQ(LyrFrameRegisterNamedMatrices(root, &rec), Ok);
  EXPECT_EQ(rec.calls, 1u + 50000u + 1u + 10000u);
  // The first sibling's subtree comes last, its deepest frame at the very end.
  EXPECT_EQ(rec.targets.back(), &parent->matrix);
  EXPECT_EQ(LyrFrameFind(root->firstChild, "bottom"), parent);
  ASSERT_EQ(LyrFrameDestroy(root, &a), Ok);
  EXPECT_EQ(a.live, 0);
  EXPECT_EQ(a.log.back(), "F:root");
}

}  // namespace
}  // namespace lyr
