// Loading whole scenes through the exported loaders: Vek text read by the real component, meshes
// made on the reference device, frames and containers made by a counting test host.
#include <cmath>
#include <map>

#include "hierarchy_test_util.h"
#include "platform/platform.h"
#include "pmesh/pm_test_util.h"
#include "support/fault_injection.h"
#include "support/ref_device.h"

namespace lyr::test {
namespace {

std::string Text(const std::string& body) {
  return "vkf 0303txt 0032\n" + body;
}

std::string DataFile(const std::string& name) {
  std::string bytes = ReadBytes(std::string(LYR_TEST_DATA_DIR) + "/hierload/" + name);
  EXPECT_FALSE(bytes.empty()) << name;
  return bytes;
}

const char kQuad[] = "4; 0;0;0;, 1;0;0;, 1;1;0;, 0;1;0;; 1; 4; 0,1,2,3;;";
const char kKey[] = "AnimationKey { 2; 1; 0; 3; 1, 2, 3;;; }";

std::string MeshText(const std::string& name, const std::string& children = "") {
  return "Mesh " + name + " { " + kQuad + " " + children + " }\n";
}
std::string Set(const std::string& name, const std::string& frame) {
  return "AnimationSet " + name + " { Animation { { " + frame + " } " + kKey + " } }\n";
}

struct TreeCase {
  const char* what;
  std::string body;
  LyrResult result;
  const char* tree;                // Describe(root) on success
  std::vector<std::string> calls;  // of the UserDataLoader
  bool controller;                 // one is handed out
};

TEST(HierarchyLoad, TreesFromFiles) {
  const std::string kShortMatrix =
      "template FrameTransformMatrix <F6F23F41-7686-11CF-8F52-0040333594A3> "
      "{ array float m[15]; }\n";
  const std::string kLongMatrix =
      "template FrameTransformMatrix <F6F23F41-7686-11CF-8F52-0040333594A3> "
      "{ array float m[17]; }\n";
  const std::string kWideTicks =
      "template AnimTicksPerSecond <9E415A43-7BA6-4A73-8743-B73D47E88476> { DWORD a; DWORD b; }\n";
  // A frame that animations can name but that is not part of the scene.
  const std::string kHiddenFrame = "Material M { 1;1;1;1;; 1; 0;0;0;; 0;0;0;; Frame A {} }\n";
  const TreeCase cases[] = {
      {"a lone mesh is an unnamed root; no named frame, no controller",
       kHiddenFrame + MeshText("quad") + Set("s", "A"),
       Ok,
       "-[quad]",
       {"top:M"},
       false},
      {"two top-level frames get an unnamed root, in file order",
       "Frame A {} Frame B { Frame C {} }",
       Ok,
       "-{A,B{C}}",
       {},
       false},
      {"two top-level meshes: two unnamed frames under an unnamed root",
       MeshText("a") + MeshText("b"),
       Ok,
       "-{-[a],-[b]}",
       {},
       false},
      {"sets without a frame or mesh fail",
       kHiddenFrame + Set("s", "A"),
       ErrFail,
       "",
       {"top:M"},
       false},
      {"nothing at all fails", "", ErrFail, "", {}, false},
      {"a file of loose objects fails", "Header { 1; 0; 1; }", ErrFail, "", {"top:"}, false},
      {"patch meshes are not loaded at top level",
       "PatchMesh P { 0;; 0;; }\nFrame A {}",
       Ok,
       "A",
       {"top:P"},
       false},
      {"an empty mesh adds no container; loading goes on",
       "Frame A { Mesh E { 0;; 0;; } " + MeshText("q") + " }",
       Ok,
       "A[q]",
       {},
       false},
      {"an empty top-level mesh still makes its frame",
       "Mesh E { 0;; 0;; }\nFrame A {}",
       Ok,
       "-{-,A}",
       {},
       false},
      {"references among a frame's children are ignored",
       "Frame A {} Frame B { { A } }",
       Ok,
       "-{A,B}",
       {},
       false},
      {"a later matrix overwrites an earlier one",
       "Frame A { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 1,2,3,1;; } "
       "FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 4,5,6,1;; } }",
       Ok,
       "A<4,5,6>",
       {},
       false},
      {"a matrix block shorter than 16 floats is refused",
       kShortMatrix + "Frame A { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 7,8,9;; } }",
       ErrFail,
       "",
       {},
       false},
      {"a longer matrix block gives its first 16 floats",
       kLongMatrix + "Frame A { FrameTransformMatrix { 1,0,0,0, 0,1,0,0, 0,0,1,0, 7,8,9,1, 5;; } }",
       Ok,
       "A<7,8,9>",
       {},
       false},
      {"unknown children go to the host; frames and meshes keep file order",
       "Frame A { Material M { 1;1;1;1;; 1; 0;0;0;; 0;0;0;; } " +
           MeshText("q", "Frame X {} Frame Y {}") + MeshText("r") +
           " Frame B {} Frame C {} }\nHeader H { 1; 0; 1; }",
       Ok,
       "A[q][r]{B,C}",
       {"frame:A:M", "mesh:q:X", "mesh:q:Y", "top:H"},
       false},
      {"skin information is kept only with bones",
       "Frame A { " +
           MeshText("bones",
                    "VekSkinMeshHeader { 1; 1; 1; } SkinWeights { \"A\"; 1; 0; 1; "
                    "1,0,0,0, 0,1,0,0, 0,0,1,0, 0,0,0,1;; }") +
           MeshText("none", "VekSkinMeshHeader { 0; 0; 0; }") + " }",
       Ok,
       "A[bones+skin][none]",
       {},
       false},
      {"a mesh with level-of-detail records loads as a progressive mesh",
       "Frame A { " + MeshText("lod", "PMInfo { 1; 0;2;2;0;4;4;; 4; 4; 4; 0;; 0;; }") + " }",
       Ok,
       "A[lod:pm]",
       {},
       false},
      {"malformed level-of-detail records end the load",
       "Frame A { " + MeshText("lod", "PMInfo { 0;; 0; 4; 4; 0;; 0;; }") + " }",
       ErrInvalidCall,
       "",
       {},
       false},
      {"a named frame and a set make a controller",
       "Frame A {}\n" + Set("s", "A"),
       Ok,
       "A",
       {},
       true},
      {"a tick-rate block of another size is ignored",
       kWideTicks + "AnimTicksPerSecond { 30; 40; }\nFrame A {}\n" + Set("s", "A"),
       Ok,
       "A",
       {},
       true},
      {"a patch mesh that fails to load ends the load",
       "Frame A { PatchMesh P { 0;; 0;; } }",
       ErrFail,
       "",
       {},
       false},
      {"a set that fails to load ends the load",
       "Frame A {}\nAnimationSet s { Animation { { A } } }",
       ErrFail,
       "",
       {},
       false},
  };
  Ref<GraphicsDevice> device = MakeRefDevice();
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.what);
    SceneLoad load;
    Recorder user;
    EXPECT_EQ(load.Load(Text(c.body), device.get(), &user), c.result);
    EXPECT_EQ(user.calls, c.calls);
    if (Succeeded(c.result)) {
      EXPECT_EQ(Describe(load.root), c.tree);
      EXPECT_EQ(bool(load.controller), c.controller);
      if (load.controller) {
        Ref<AnimationSet> set;
        ASSERT_EQ(load.controller->SetAt(0, set.put()), Ok);
        Ref<KeyFrameInterpolator> it;
        ASSERT_EQ(set->InterpolatorAt(0, it.put()), Ok);
        EXPECT_EQ(it->TicksPerSecond(), 4800.0);
      }
    }
  }
}

// A progressive mesh saved into a stream loads back as a progressive container whose every level
// is the original's.
TEST(HierarchyLoad, SavedProgressiveMeshComesBackWithEveryLevel) {
  for (uint32_t options : {0u, MeshOptions::Index32}) {
    GridPM g({4, 4, 40, 1, 9, true},
             MeshOptions::IndexSystemMemory | MeshOptions::VertexSystemMemory | options);
    ASSERT_TRUE(g.pm);
    MemoryStream stream;
    ASSERT_EQ(g.pm->SaveToStream(&stream, nullptr, nullptr, 0), Ok);
    SceneLoad load;
    ASSERT_EQ(load.Load(stream.bytes, g.device.get()), Ok);
    ASSERT_TRUE(load.root && load.root->meshContainers);
    const MeshContainer* c = load.root->meshContainers;
    ASSERT_EQ(c->meshType, MeshTypeProgressiveMesh);
    EXPECT_EQ(Sweep(c->progressiveMesh), Sweep(g.pm.get()));
  }
}

TEST(HierarchyLoad, NewFramesStartCleanAndContainersCarryTheMeshData) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  SceneLoad load;
  Recorder user;
  ASSERT_EQ(load.Load(DataFile("kinds.vkf"), device.get(), &user), Ok);
  EXPECT_EQ(
      Describe(load.root),
      "-{Body<0,1,0>{Arm<2,0,0>[Sleeve+skin][Cuff],Hand[Palm:pm][Knuckles:patch][Knuckles:patch]"
      "[Pad:patch]},-[Floor]}");
  EXPECT_EQ(user.calls, (std::vector<std::string>{"top:", "top:Shared", "mesh:Sleeve:Tag",
                                                  "mesh:Knuckles:Crease", "mesh:Knuckles:Crease",
                                                  "frame:Hand:Glove"}));
  Frame* arm = LyrFrameFind(load.root, "Arm");
  ASSERT_NE(arm, nullptr);
  const MeshContainer* sleeve = arm->meshContainers;
  EXPECT_EQ(sleeve->meshType, MeshTypeMesh);
  EXPECT_EQ(sleeve->materialCount, 1u);
  ASSERT_NE(sleeve->materials, nullptr);
  EXPECT_EQ(sleeve->materials[0].diffuse.red, 1.0f);
  ASSERT_NE(sleeve->adjacency, nullptr);
  EXPECT_EQ(sleeve->mesh->GetFaceCount(), 2u);
  EXPECT_EQ(sleeve->skinInfo->GetBoneCount(), 1u);
  EXPECT_STREQ(sleeve->skinInfo->GetBoneLabel(0), "Arm");
  const MeshContainer* knuckles = LyrFrameFind(load.root, "Hand")->meshContainers->next;
  for (const MeshContainer* c = knuckles; c; c = c->next) {
    SCOPED_TRACE(c->name);
    EXPECT_EQ(c->meshType, MeshTypePatchMesh);
    EXPECT_EQ(c->adjacency, nullptr);
    EXPECT_EQ(c->skinInfo, nullptr);
    EXPECT_EQ(c->materialCount, std::strcmp(c->name, "Pad") == 0 ? 1u : 0u);
  }
  EXPECT_NE(knuckles->mesh, knuckles->next->mesh);
  const MeshContainer* cuff = sleeve->next;
  EXPECT_EQ(cuff->materials, nullptr);
  EXPECT_EQ(cuff->materialCount, 0u);
  EXPECT_EQ(cuff->next, nullptr);
}

TEST(HierarchyLoad, ControllerPlaysTheLastSetWithEveryNamedFrame) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  SceneLoad load;
  ASSERT_EQ(load.Load(DataFile("kinds.vkf"), device.get()), Ok);
  AnimationController* c = load.controller.get();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->MaxOutputs(), 3u);  // Body, Arm, Hand
  EXPECT_EQ(c->MaxSets(), 3u);
  EXPECT_EQ(c->MaxTracks(), 2u);
  EXPECT_EQ(c->MaxEvents(), 30u);
  // Newest first, each with the tick rate in force where it stands in the file.
  const struct {
    const char* name;
    double ticks;
  } sets[] = {{"reach", 30}, {"wave", 30}, {"early", 4800}};
  ASSERT_EQ(c->SetCount(), 3u);
  for (uint32_t i = 0; i < 3; ++i) {
    Ref<AnimationSet> set;
    ASSERT_EQ(c->SetAt(i, set.put()), Ok);
    EXPECT_STREQ(set->Name(), sets[i].name);
    Ref<KeyFrameInterpolator> it;
    ASSERT_EQ(set->InterpolatorAt(0, it.put()), Ok);
    EXPECT_EQ(it->TicksPerSecond(), sets[i].ticks) << sets[i].name;
  }
  Ref<AnimationSet> playing;
  ASSERT_EQ(c->GetTrackSet(0, playing.put()), Ok);
  EXPECT_STREQ(playing->Name(), "reach");
  TrackState t{};
  ASSERT_EQ(c->GetTrackState(0, &t), Ok);
  EXPECT_EQ(t.speed, 1.0f);
  EXPECT_EQ(t.weight, 1.0f);
  EXPECT_NE(t.enabled, 0u);
  EXPECT_EQ(t.position, 0.0);
  // The controller writes straight into the frames: "reach" moves Arm halfway at one second.
  ASSERT_GE(c->SetTime(1.0), 0);
  const Frame* arm = LyrFrameFind(load.root, "Arm");
  EXPECT_NEAR(arm->matrix.m[3][2], 0.5f, 1e-6f);
  EXPECT_EQ(LyrFrameFind(load.root, "Body")->matrix.m[0][0], 2.0f);

  // A host that names every frame (the unnamed root and the top-level mesh's frame too) gets an
  // output for each.
  SceneLoad named;
  named.host.nameEverything = true;
  ASSERT_EQ(named.Load(DataFile("kinds.vkf"), device.get()), Ok);
  ASSERT_TRUE(named.controller);
  EXPECT_EQ(named.controller->MaxOutputs(), 5u);

  // Without an out-pointer no controller is made, and the tree is the same.
  SceneLoad bare;
  ASSERT_EQ(bare.Load(DataFile("kinds.vkf"), device.get(), nullptr, false), Ok);
  EXPECT_EQ(
      Describe(bare.root),
      "-{Body<0,1,0>{Arm<2,0,0>[Sleeve+skin][Cuff],Hand[Palm:pm][Knuckles:patch][Knuckles:patch]"
      "[Pad:patch]},-[Floor]}");
}

// World matrices of the named frames: each frame's matrix after its parent's.
void WorldMatrices(const Frame* f, const Matrix& parent, std::map<std::string, Matrix>* out) {
  for (; f; f = f->nextSibling) {
    Matrix world;
    MultiplyMatrix(&world, &f->matrix, &parent);
    if (f->name) (*out)[f->name] = world;
    WorldMatrices(f->firstChild, world, out);
  }
}

TEST(HierarchyLoad, SkinnedLegFollowsItsAnimation) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  SceneLoad load;
  ASSERT_EQ(load.Load(DataFile("skinned.vkf"), device.get()), Ok);
  ASSERT_TRUE(load.controller);
  ASSERT_GE(load.controller->SetTime(0.5), 0);  // 50 of 100 ticks

  std::map<std::string, Matrix> world;
  const Matrix identity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
  WorldMatrices(load.root, identity, &world);
  const MeshContainer* leg = LyrFrameFind(load.root, "Skin")->meshContainers;
  ASSERT_NE(leg, nullptr);
  SkinInfo* skin = leg->skinInfo;
  ASSERT_NE(skin, nullptr);
  std::vector<Matrix> bones(skin->GetBoneCount());
  for (uint32_t b = 0; b < bones.size(); ++b) {
    ASSERT_TRUE(world.count(skin->GetBoneLabel(b)));
    MultiplyMatrix(&bones[b], skin->GetBoneOffset(b), &world[skin->GetBoneLabel(b)]);
  }
  Mesh* mesh = leg->mesh;
  const uint32_t n = mesh->GetVertexCount(), stride = mesh->GetVertexStride();
  ASSERT_EQ(n, 4u);
  void* locked = nullptr;
  ASSERT_EQ(mesh->LockVertices(0, &locked), Ok);
  std::vector<uint8_t> source(static_cast<uint8_t*>(locked),
                              static_cast<uint8_t*>(locked) + n * stride);
  ASSERT_EQ(mesh->UnlockVertices(), Ok);
  std::vector<uint8_t> skinned(source.size());
  ASSERT_EQ(skin->UpdateSkinnedVertices(bones.data(), nullptr, source.data(), skinned.data()), Ok);

  // Worked out by hand at half time: Hip has moved to (1, 0, 0); Knee, one unit further along x,
  // is scaled by 1.5 and turned 45 degrees about z (towards -y, rotations being stored
  // conjugated). The shared vertex blends the two bones half and half.
  const float h = std::sqrt(0.5f);
  const std::map<std::vector<float>, std::vector<float>> expected = {
      {{0, 0, 0}, {1, 0, 0}},
      {{1, 0, 0}, {2, 0, 0}},
      {{2, 0, 0}, {2.5f + 0.75f * h, -0.75f * h, 0}},
      {{0, 1, 0}, {1, 1, 0}},
  };
  for (uint32_t v = 0; v < n; ++v) {
    float in[3], out[3];
    std::memcpy(in, &source[v * stride], 12);
    std::memcpy(out, &skinned[v * stride], 12);
    auto it = expected.find({in[0], in[1], in[2]});
    ASSERT_NE(it, expected.end()) << "vertex " << v;
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(out[k], it->second[k], 1e-5f) << "vertex " << v;
  }
}

TEST(HierarchyLoad, EntriesCheckTheirArgumentsAndFiles) {
  Ref<GraphicsDevice> device = MakeRefDevice();
  TestHost host;
  const std::string bytes = Text("Frame A {}");
  Frame* root = reinterpret_cast<Frame*>(&host);  // not touched by a refused call
  AnimationController* controller = nullptr;
  const char* name = "x.vkf";
  const char16_t* wide = u"x.vkf";
  GraphicsDevice* d = device.get();
  EXPECT_EQ(LyrLoadMeshHierarchyFromVekInMemory(nullptr, 4, 0, d, &host, nullptr, &root, nullptr),
            ErrInvalidCall);
  EXPECT_EQ(
      LyrLoadMeshHierarchyFromVekInMemory(bytes.data(), 0, 0, d, &host, nullptr, &root, nullptr),
      ErrInvalidCall);
  EXPECT_EQ(LyrLoadMeshHierarchyFromVekInMemory(bytes.data(), 4, 0, nullptr, &host, nullptr, &root,
                                                nullptr),
            ErrInvalidCall);
  EXPECT_EQ(LyrLoadMeshHierarchyFromVekA(name, 0, d, nullptr, nullptr, &root, nullptr),
            ErrInvalidCall);
  EXPECT_EQ(LyrLoadMeshHierarchyFromVekA(nullptr, 0, d, &host, nullptr, &root, nullptr),
            ErrInvalidCall);
  EXPECT_EQ(LyrLoadMeshHierarchyFromVekW(nullptr, 0, d, &host, nullptr, &root, nullptr),
            ErrInvalidCall);
  EXPECT_EQ(LyrLoadMeshHierarchyFromVekW(wide, 0, d, &host, nullptr, nullptr, nullptr),
            ErrInvalidCall);
  EXPECT_EQ(root, reinterpret_cast<Frame*>(&host));

  // The same scene by 8-bit name, by a 16-bit name outside ASCII, and from memory.
  TempFile dir;
  const std::string path = std::string(dir.path()) + "-sc\u00e8ne-\U0001F600.vkf";
  ASSERT_EQ(platform::WriteWholeFile(path.c_str(), bytes.data(), bytes.size()), Ok);
  const std::u16string widePath = std::u16string(dir.path(), dir.path() + std::strlen(dir.path())) +
                                  u"-sc\u00e8ne-\U0001F600.vkf";
  for (int entry = 0; entry < 2; ++entry) {
    SCOPED_TRACE(entry);
    controller = reinterpret_cast<AnimationController*>(&host);
    const LyrResult r = entry == 0 ? LyrLoadMeshHierarchyFromVekA(path.c_str(), 0, d, &host,
                                                                  nullptr, &root, &controller)
                                   : LyrLoadMeshHierarchyFromVekW(widePath.c_str(), 0, d, &host,
                                                                  nullptr, &root, &controller);
    ASSERT_EQ(r, Ok);
    EXPECT_EQ(Describe(root), "A");
    EXPECT_EQ(controller, nullptr);
    EXPECT_EQ(LyrFrameDestroy(root, &host), Ok);
  }
  platform::DeleteFile(path.c_str());

  // Files that cannot be loaded leave both out-pointers null.
  const std::u16string emptyPath = widePath + u".empty";
  const std::string emptyPath8 = path + ".empty";
  ASSERT_EQ(platform::WriteWholeFile(emptyPath8.c_str(), "", 0), Ok);
  const char16_t loneSurrogate[] = {u'a', char16_t(0xD800), u'b', 0};
  const struct {
    const char16_t* name;
    LyrResult code;
  } files[] = {{emptyPath.c_str(), ErrInvalidCall},
               {u"/nonexistent/scene.vkf", ErrFileOpenFailed},
               {loneSurrogate, ErrFileOpenFailed}};
  for (const auto& f : files) {
    root = reinterpret_cast<Frame*>(&host);
    controller = reinterpret_cast<AnimationController*>(&host);
    EXPECT_EQ(LyrLoadMeshHierarchyFromVekW(f.name, 0, d, &host, nullptr, &root, &controller),
              f.code);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(controller, nullptr);
  }
  platform::DeleteFile(emptyPath8.c_str());
  root = reinterpret_cast<Frame*>(&host);
  EXPECT_EQ(
      LyrLoadMeshHierarchyFromVekA("/nonexistent/scene.vkf", 0, d, &host, nullptr, &root, nullptr),
      ErrVekFileNotFound);
  EXPECT_EQ(root, nullptr);
  EXPECT_TRUE(host.Empty());
}

}  // namespace
}  // namespace lyr::test
