// lyr demo: a small skeleton played by two animation sets, printed frame by frame.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "lyr/lyr.h"

namespace {

// ---- lyr demo: a small skeleton played by two animation sets ----------------------------------

// The host side of a frame tree: frames allocated with the tool's own allocator.
class DemoAllocator final : public lyr::HierarchyAllocator {
 public:
  LyrResult LYR_CALL NewFrame(const char* name, lyr::Frame** out) override {
    auto* f = new lyr::Frame{};
    if (name) {
      f->name = new char[std::strlen(name) + 1];
      std::strcpy(f->name, name);
    }
    for (int i = 0; i < 4; ++i) f->matrix.m[i][i] = 1.0f;
    ++made;
    *out = f;
    return lyr::Ok;
  }
  LyrResult LYR_CALL NewMeshContainer(const char*, const lyr::MeshData*, const lyr::Material*,
                                      const lyr::EffectInstance*, uint32_t, const uint32_t*,
                                      lyr::SkinInfo*, lyr::MeshContainer**) override {
    return lyr::ErrInvalidCall;  // the demo skeleton carries no geometry
  }
  LyrResult LYR_CALL DeleteFrame(lyr::Frame* frame) override {
    deleted.push_back(frame->name ? frame->name : "(unnamed helper)");
    delete[] frame->name;
    delete frame;
    return lyr::Ok;
  }
  LyrResult LYR_CALL DeleteMeshContainer(lyr::MeshContainer*) override { return lyr::ErrFail; }
  int made = 0;                      // frames made by NewFrame
  std::vector<std::string> deleted;  // names of the frames freed, in the order they were freed
};

bool Check(LyrResult r, const char* what) {
  if (lyr::Succeeded(r)) return true;
  const char* name = lyr::ResultName(r);
  std::fprintf(stderr, "lyr demo: %s failed: %s (0x%08X): %s\n", what, name ? name : "code",
               static_cast<unsigned>(r), lyr::ResultMessage(r));
  return false;
}

// A value as printed with three decimals, with the tiny negatives of rotation sums shown as 0
// (never "-0.000").
double Shown(double v) {
  return std::fabs(v) < 0.0005 ? 0.0 : v;
}

// One interpolator for a bone: `keys` keys one tick apart, 30 ticks per second, rotating about z
// by `swing` radians back and forth and moving `lift` along y.
lyr::KeyFrameInterpolator* MakeBoneTrack(const char* bone, float swing, float lift, float offset) {
  std::vector<lyr::RotationKey> rotation;
  std::vector<lyr::VectorKey> translation;
  for (int i = 0; i <= 30; ++i) {
    const float a = swing * std::sin(static_cast<float>(i) * 3.14159265f / 15.0f);
    rotation.push_back({float(i), {0.0f, 0.0f, std::sin(a / 2), std::cos(a / 2)}});
    translation.push_back({float(i), {offset, lift * static_cast<float>(i) / 30.0f, 0.0f}});
  }
  lyr::KeyFrameInterpolator* out = nullptr;
  LyrCreateKeyFrameInterpolator(bone, nullptr, 0, rotation.data(), 31, translation.data(), 31, 30.0,
                                &out);
  return out;
}

lyr::AnimationSet* MakeClip(const char* name, float swing, float lift) {
  const char* bones[] = {"hip", "spine", "arm", "hand"};
  lyr::KeyFrameInterpolator* items[4];
  for (int i = 0; i < 4; ++i)
    items[i] = MakeBoneTrack(bones[i], swing * float(i + 1), lift, i ? 1.0f : 0.0f);
  lyr::AnimationSet* set = nullptr;
  LyrCreateAnimationSet(name, items, 4, &set);
  for (auto* it : items) {
    if (it) it->Release();
  }
  return set;
}

int RunDemo() {
  DemoAllocator host;
  // hip -> spine -> arm -> hand, and an unnamed helper frame beside the spine.
  const char* names[] = {"hip", "spine", "arm", "hand"};
  lyr::Frame* frames[4] = {};
  for (int i = 0; i < 4; ++i) {
    if (!Check(host.NewFrame(names[i], &frames[i]), "NewFrame")) return 1;
    if (i > 0 && !Check(LyrFrameAppendChild(frames[i - 1], frames[i]), "append")) return 1;
  }
  lyr::Frame* helper = nullptr;
  host.NewFrame(nullptr, &helper);
  LyrFrameAppendChild(frames[0], helper);
  lyr::Frame* root = frames[0];
  std::printf(
      "lyr demo: two animation sets, \"walk\" and \"wave\", played on a small skeleton.\n\n"
      "skeleton: hip -> spine -> arm -> hand, and an unnamed helper frame under hip\n"
      "  %d frames made, %u of them named; LyrFrameFind(\"arm\") finds the arm frame: %s\n\n",
      host.made, LyrFrameNumNamedMatrices(root),
      LyrFrameFind(root, "arm") == frames[2] ? "yes" : "no");
  std::printf(
      "Track 0 plays \"walk\" at weight 1, track 1 plays \"wave\" at weight 0. From 0.5 s to 1.5 "
      "s\n"
      "the weights cross-fade; from 2 s to 3 s the wave slows to half speed.\n\n"
      "Each matrix is a frame's transformation relative to its parent frame, as the controller\n"
      "writes it: rows x, y and z axes, then t, the translation. A host places a frame in the\n"
      "world by multiplying its matrix by its parent's world matrix before drawing.\n");

  lyr::AnimationController* controller = nullptr;
  lyr::AnimationSet* walk = MakeClip("walk", 0.2f, 0.0f);
  lyr::AnimationSet* wave = MakeClip("wave", 0.6f, 0.5f);
  bool ok =
      walk && wave &&
      Check(LyrCreateAnimationController(LyrFrameNumNamedMatrices(root), 2, 2, 8, &controller),
            "create controller") &&
      Check(LyrFrameRegisterNamedMatrices(root, controller), "register frames") &&
      Check(controller->RegisterSet(walk), "register walk") &&
      Check(controller->RegisterSet(wave), "register wave");
  if (ok) {
    // Track 0 walks at full weight, track 1 waves at weight 0; from 0.5 s to 1.5 s the weights
    // cross-fade, and the wave slows to half speed over 2 s to 3 s.
    const lyr::TrackState walkState{lyr::PriorityLow, 1.0f, 1.0f, 1, 0.0};
    const lyr::TrackState waveState{lyr::PriorityLow, 0.0f, 1.0f, 1, 0.0};
    ok = Check(controller->SetTrackSet(0, walk), "track 0") &&
         Check(controller->SetTrackSet(1, wave), "track 1") &&
         Check(controller->SetTrackState(0, &walkState), "track 0 state") &&
         Check(controller->SetTrackState(1, &waveState), "track 1 state") &&
         Check(controller->KeyWeight(0, 0.0f, 0.5, 1.0, lyr::TransitionEaseInOut), "fade out") &&
         Check(controller->KeyWeight(1, 1.0f, 0.5, 1.0, lyr::TransitionEaseInOut), "fade in") &&
         Check(controller->KeySpeed(1, 0.5f, 2.0, 1.0, lyr::TransitionLinear), "slow down");
  }
  for (double time : {0.0, 0.2, 0.7, 1.2, 1.9, 2.6, 3.3}) {
    if (!ok || !Check(controller->SetTime(time), "SetTime")) {
      ok = false;
      break;
    }
    lyr::TrackState t0{}, t1{};
    controller->GetTrackState(0, &t0);
    controller->GetTrackState(1, &t1);
    std::printf(
        "\nt = %.2f s   walk: weight %.3f position %.3f   wave: weight %.3f speed %.3f "
        "position %.3f\n",
        time, Shown(t0.weight), Shown(t0.position), Shown(t1.weight), Shown(t1.speed),
        Shown(t1.position));
    for (lyr::Frame* f : frames) {
      const lyr::Matrix& m = f->matrix;
      std::printf(
          "  %-6s [%7.3f %7.3f %7.3f] [%7.3f %7.3f %7.3f] [%7.3f %7.3f %7.3f] t(%6.3f %6.3f "
          "%6.3f)\n",
          f->name, Shown(m.m[0][0]), Shown(m.m[0][1]), Shown(m.m[0][2]), Shown(m.m[1][0]),
          Shown(m.m[1][1]), Shown(m.m[1][2]), Shown(m.m[2][0]), Shown(m.m[2][1]), Shown(m.m[2][2]),
          Shown(m.m[3][0]), Shown(m.m[3][1]), Shown(m.m[3][2]));
    }
  }
  if (controller) controller->Release();
  if (walk) walk->Release();
  if (wave) wave->Release();
  if (!Check(LyrFrameDestroy(root, &host), "destroy")) return 1;
  std::printf("\nLyrFrameDestroy freed %zu of the %d frames made:", host.deleted.size(), host.made);
  for (size_t i = 0; i < host.deleted.size(); ++i)
    std::printf("%s %s", i ? "," : "", host.deleted[i].c_str());
  std::printf("\n");
  if (static_cast<int>(host.deleted.size()) != host.made) {
    std::fprintf(stderr, "lyr demo: %d frames were not freed\n",
                 host.made - static_cast<int>(host.deleted.size()));
    ok = false;
  }
  if (ok) {
    std::printf(
        "\nTry next:\n"
        "  - change the weights, speeds or times in RunDemo (tools/lyr/cmd_demo.cpp) and run lyr "
        "demo "
        "again;\n"
        "  - build your own program against the installed library: README.md, \"Use it in your\n"
        "    project\";\n"
        "  - load a mesh from a Vek file onto the reference device: lyr::LoadReferenceDevice and\n"
        "    lyr::LoadMeshFromVekFile (include/lyr/meshload.h).\n");
  }
  return ok ? 0 : 1;
}

}  // namespace

namespace lyr::tool {

Command AddDemoCommand(CLI::App& app) {
  CLI::App* sub = app.add_subcommand(
      "demo",
      "Play two animation sets on a small skeleton and print each frame's parent-relative matrix");
  return {sub, [] { return RunDemo(); }};
}

}  // namespace lyr::tool
