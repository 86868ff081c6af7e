// A host for the scene-loader tests: a HierarchyAllocator that counts what it has made (and can
// fail any call), a UserDataLoader that records its calls, and a one-line picture of a tree.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/hierarchy_load.h"
#include "lyr/material.h"
#include "lyr/mesh.h"
#include "lyr/skin.h"
#include "vek_test_util.h"

namespace lyr::test {

inline constexpr LyrResult kHostFailure = static_cast<LyrResult>(0x80041234u);

// How an injected allocator failure shows itself.
enum class HostFault { kNone, kFailCode, kSucceedEmpty };

class TestHost final : public HierarchyAllocator {
 public:
  ~TestHost() { EXPECT_TRUE(Empty()) << frames_.size() << " frames, " << containers_.size(); }

  // Fails the n-th (0-based) NewFrame or NewMeshContainer call from now on.
  HostFault frameFault = HostFault::kNone, containerFault = HostFault::kNone;
  int frameFaultAt = -1, containerFaultAt = -1;
  int newFrameCalls = 0, newContainerCalls = 0;
  // Gives every frame a name, an empty one where the loader passes none.
  bool nameEverything = false;

  bool Empty() const { return frames_.empty() && containers_.empty(); }
  size_t FrameCount() const { return frames_.size(); }

  LyrResult LYR_CALL NewFrame(const char* name, Frame** out) override {
    const int call = newFrameCalls++;
    if (call == frameFaultAt && frameFault != HostFault::kNone) {
      *out = nullptr;
      return frameFault == HostFault::kFailCode ? kHostFailure : Ok;
    }
    Frame* f = new Frame;
    // Garbage in every field the loader must set: a wrapper that forgot one shows up.
    std::memset(&f->matrix, 0x7F, sizeof f->matrix);
    f->meshContainers = &poisonContainer_;
    f->nextSibling = f->firstChild = &poisonFrame_;
    f->name = name ? Copy(name) : nameEverything ? Copy("") : nullptr;
    frames_.insert(f);
    *out = f;
    return Ok;
  }

  LyrResult LYR_CALL NewMeshContainer(const char* name, const MeshData* meshData,
                                      const Material* materials,
                                      const EffectInstance* effectInstances, uint32_t materialCount,
                                      const uint32_t* adjacency, SkinInfo* skinInfo,
                                      MeshContainer** out) override {
    const int call = newContainerCalls++;
    if (call == containerFaultAt && containerFault != HostFault::kNone) {
      *out = nullptr;
      return containerFault == HostFault::kFailCode ? kHostFailure : Ok;
    }
    MeshContainer* c = new MeshContainer{};
    c->name = name ? Copy(name) : nullptr;
    c->meshType = meshData->meshType;
    c->mesh = meshData->mesh;
    reinterpret_cast<Unknown*>(c->mesh)->AddRef();
    c->materialCount = materialCount;
    if (materials) {
      c->materials = new Material[materialCount];
      std::memcpy(c->materials, materials, sizeof(Material) * materialCount);
      for (uint32_t i = 0; i < materialCount; ++i) c->materials[i].textureFilename = nullptr;
    }
    EXPECT_EQ(materials == nullptr, effectInstances == nullptr);
    if (adjacency && c->meshType == MeshTypeMesh) {
      const uint32_t n = 3 * c->mesh->GetFaceCount();
      c->adjacency = new uint32_t[n];
      std::memcpy(c->adjacency, adjacency, 4 * n);
    }
    c->skinInfo = skinInfo;
    if (skinInfo) skinInfo->AddRef();
    c->next = &poisonContainer_;
    containers_.insert(c);
    *out = c;
    return Ok;
  }

  LyrResult LYR_CALL DeleteFrame(Frame* frame) override {
    EXPECT_EQ(frames_.erase(frame), 1u) << "a frame this host did not make";
    delete[] frame->name;
    delete frame;
    return Ok;
  }

  LyrResult LYR_CALL DeleteMeshContainer(MeshContainer* c) override {
    EXPECT_EQ(containers_.erase(c), 1u) << "a container this host did not make";
    reinterpret_cast<Unknown*>(c->mesh)->Release();
    if (c->skinInfo) c->skinInfo->Release();
    delete[] c->name;
    delete[] c->materials;
    delete[] c->adjacency;
    delete c;
    return Ok;
  }

 private:
  static char* Copy(const char* s) {
    char* c = new char[std::strlen(s) + 1];
    std::strcpy(c, s);
    return c;
  }
  std::set<Frame*> frames_;
  std::set<MeshContainer*> containers_;
  Frame poisonFrame_{};
  MeshContainer poisonContainer_{};
};

// Records "top:<object>", "frame:<frame>:<object>" and "mesh:<container>:<object>", and can
// fail its n-th (0-based) call.
class Recorder final : public UserDataLoader {
 public:
  std::vector<std::string> calls;
  int failAt = -1;

  LyrResult LYR_CALL OnTopLevelObject(VekDataObject* o) override {
    return Note("top:" + NameOf(o));
  }
  LyrResult LYR_CALL OnFrameChild(Frame* f, VekDataObject* o) override {
    return Note("frame:" + std::string(f->name ? f->name : "-") + ":" + NameOf(o));
  }
  LyrResult LYR_CALL OnMeshChild(MeshContainer* c, VekDataObject* o) override {
    EXPECT_NE(c->mesh, nullptr);
    return Note("mesh:" + std::string(c->name ? c->name : "-") + ":" + NameOf(o));
  }

 private:
  LyrResult Note(std::string call) {
    calls.push_back(std::move(call));
    return int(calls.size()) - 1 == failAt ? kHostFailure : Ok;
  }
};

inline bool IsIdentity(const Matrix& m) {
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      if (m.m[r][c] != (r == c ? 1.0f : 0.0f)) return false;
  return true;
}

// A tree as text: a frame is its name ("-" when unnamed), its translation in angle brackets when
// its matrix is not the identity, its containers in square brackets ("name" for a Mesh, "+skin"
// with skin information, ":pm" for a progressive and ":patch" for a patch mesh), and its children
// in braces; siblings are separated by commas.
inline std::string Describe(const Frame* f) {
  std::string s;
  for (; f; f = f->nextSibling) {
    if (!s.empty()) s += ",";
    s += f->name ? f->name : "-";
    if (!IsIdentity(f->matrix)) {
      char t[64];
      std::snprintf(t, sizeof t, "<%g,%g,%g>", f->matrix.m[3][0], f->matrix.m[3][1],
                    f->matrix.m[3][2]);
      s += t;
    }
    for (const MeshContainer* c = f->meshContainers; c; c = c->next) {
      s += "[";
      s += c->name ? c->name : "-";
      if (c->skinInfo) s += "+skin";
      if (c->meshType == MeshTypeProgressiveMesh) s += ":pm";
      if (c->meshType == MeshTypePatchMesh) s += ":patch";
      s += "]";
    }
    if (f->firstChild) s += "{" + Describe(f->firstChild) + "}";
  }
  return s;
}

// One load from memory, freed on destruction through the same host.
struct SceneLoad {
  TestHost host;
  Frame* root = nullptr;
  Ref<AnimationController> controller;
  LyrResult result = Ok;

  SceneLoad() = default;
  SceneLoad(const SceneLoad&) = delete;
  SceneLoad& operator=(const SceneLoad&) = delete;
  ~SceneLoad() { Free(); }
  void Free() {
    controller = Ref<AnimationController>();
    if (root) {
      EXPECT_EQ(LyrFrameDestroy(root, &host), Ok);
    }
    root = nullptr;
  }

  LyrResult Load(const std::string& bytes, GraphicsDevice* device, UserDataLoader* user = nullptr,
                 bool wantController = true) {
    Free();
    result = LyrLoadMeshHierarchyFromVekInMemory(bytes.data(), uint32_t(bytes.size()), 0, device,
                                                 &host, user, &root,
                                                 wantController ? controller.put() : nullptr);
    if (Failed(result)) {
      EXPECT_EQ(root, nullptr);
      EXPECT_FALSE(controller);
      EXPECT_TRUE(host.Empty());
    }
    return result;
  }
};

}  // namespace lyr::test
