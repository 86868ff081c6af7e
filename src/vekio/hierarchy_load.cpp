#include "vekio/hierarchy_load.h"

#include <cstring>

#include "anim/anim_internal.h"
#include "core/object_impl.h"
#include "math/math_util.h"
#include "mesh/mesh_load.h"
#include "patch/patch_load.h"
#include "platform/platform.h"
#include "pmesh/pmesh_file.h"
#include "vekio/anim_load.h"
#include "vekio/vek_component.h"
#include "vekio/vek_read.h"

namespace lyr::vekio {
namespace {

// The controller a load makes: two tracks and room for 30 scheduled changes, enough for a host
// to cross-fade between two sets without making a controller of its own.
constexpr uint32_t kControllerTracks = 2;
constexpr uint32_t kControllerEvents = 30;

// Wraps the host's HierarchyAllocator so that the rest of the loader can rely on what it gets:
// a new Frame starts with an identity matrix and no links, a new MeshContainer with no `next`,
// and a call that reports success without handing anything out is a failure. Host failures are
// passed on unchanged (a Frame or container handed back together with a failure is not used).
class CheckingAllocator final : public HierarchyAllocator {
 public:
  explicit CheckingAllocator(HierarchyAllocator* host) : host_(host) {}

  LyrResult LYR_CALL NewFrame(const char* name, Frame** out) override {
    *out = nullptr;
    Frame* made = nullptr;
    const LyrResult r = Guard([&] { return host_->NewFrame(name, &made); });
    if (Failed(r)) return r;
    if (!made) return ErrFail;
    made->matrix = mathutil::kIdentity;
    made->meshContainers = nullptr;
    made->nextSibling = nullptr;
    made->firstChild = nullptr;
    *out = made;
    return Ok;
  }

  LyrResult LYR_CALL NewMeshContainer(const char* name, const MeshData* meshData,
                                      const Material* materials,
                                      const EffectInstance* effectInstances, uint32_t materialCount,
                                      const uint32_t* adjacency, SkinInfo* skinInfo,
                                      MeshContainer** out) override {
    *out = nullptr;
    MeshContainer* made = nullptr;
    const LyrResult r = Guard([&] {
      return host_->NewMeshContainer(name, meshData, materials, effectInstances, materialCount,
                                     adjacency, skinInfo, &made);
    });
    if (Failed(r)) return r;
    if (!made) return ErrFail;
    made->next = nullptr;
    *out = made;
    return Ok;
  }

  LyrResult LYR_CALL DeleteFrame(Frame* frame) override {
    return Guard([&] { return host_->DeleteFrame(frame); });
  }
  LyrResult LYR_CALL DeleteMeshContainer(MeshContainer* container) override {
    return Guard([&] { return host_->DeleteMeshContainer(container); });
  }

 private:
  HierarchyAllocator* host_;
};

// Shared by every step of one load.
struct LoadContext {
  uint32_t options;
  GraphicsDevice* device;
  CheckingAllocator allocator;
  UserDataLoader* userData;
  double ticksPerSecond;
};

// A frame (with its sibling chain and everything below) that the load still owns: destroyed
// through the allocator unless released. Clean-up failures are not reported; the load's own
// failure is what the caller sees.
class OwnedFrames {
 public:
  explicit OwnedFrames(HierarchyAllocator* allocator) : allocator_(allocator) {}
  OwnedFrames(const OwnedFrames&) = delete;
  OwnedFrames& operator=(const OwnedFrames&) = delete;
  ~OwnedFrames() {
    if (first_) LyrFrameDestroy(first_, allocator_);
  }
  Frame* first() const { return first_; }
  Frame** put() { return &first_; }
  // Appends a frame (without siblings) at the end of the chain.
  void Append(Frame* frame) {
    if (last_) {
      last_->nextSibling = frame;
    } else {
      first_ = frame;
    }
    last_ = frame;
  }
  bool HasOne() const { return first_ && first_ == last_; }
  Frame* release() {
    Frame* f = first_;
    first_ = last_ = nullptr;
    return f;
  }

 private:
  HierarchyAllocator* allocator_;
  Frame* first_ = nullptr;
  Frame* last_ = nullptr;
};

// Calls f(child) for every data-object child of `object` in file order; references and binary
// data are skipped. Stops at the first failure of f and returns it.
template <class F>
LyrResult ForEachDataChild(VekDataObject* object, F&& f) {
  for (;;) {
    Ref<Unknown> child;
    if (Failed(object->NextChild(child.put())) || !child) return Ok;
    Ref<VekDataObject> data;
    if (Failed(child->QueryInterface(VekDataObject::kIid, reinterpret_cast<void**>(data.put()))) ||
        !data) {
      continue;
    }
    const LyrResult r = f(data.get());
    if (Failed(r)) return r;
  }
}

// The appends keep file order.
void AppendContainer(Frame* frame, MeshContainer* container) {
  MeshContainer** link = &frame->meshContainers;
  while (*link) link = &(*link)->next;
  *link = container;
}

// Everything LoadMeshData hands out, released or freed on scope exit: the container keeps only
// what the host took in NewMeshContainer.
struct LoadedMesh {
  Ref<Buffer> adjacency, materials, effects;
  Ref<SkinInfo> skin;
  Ref<Mesh> mesh;
  Ref<ProgressiveMesh> progressive;  // made from mesh when the object carries PMInfo
  uint32_t materialCount = 0;
  void* pmBlock = nullptr;
  uint32_t pmSize = 0;
  VekDataObject** unknown = nullptr;
  uint32_t unknownCount = 0;

  LoadedMesh() = default;
  LoadedMesh(const LoadedMesh&) = delete;
  LoadedMesh& operator=(const LoadedMesh&) = delete;
  ~LoadedMesh() {
    for (uint32_t i = 0; i < unknownCount; ++i) unknown[i]->Release();
    Free(unknown);
    Free(pmBlock);
  }
};

const void* BytesOf(Buffer* b) {
  return b ? b->GetBytes() : nullptr;
}

// Progressive-mesh data found under a mesh: the Mesh and its PMInfo image become a
// ProgressiveMesh, which the container holds in its place. The index width is the loaded Mesh's
// (the mesh loader chooses it by size), whatever bit 0x1 of the caller's options says: the two
// must agree, and a host's preference should not make a sound file fail to load.
LyrResult MakeProgressive(LoadContext& ctx, LoadedMesh& m, MeshData* meshData) {
  const uint32_t options =
      (ctx.options & ~MeshOptions::Index32) | (m.mesh->GetOptionBits() & MeshOptions::Index32);
  const LyrResult r = CreateProgressiveMeshFromData(
      m.mesh.get(), options, static_cast<const uint32_t*>(BytesOf(m.adjacency.get())), m.pmBlock,
      m.pmSize, m.progressive.put());
  if (Failed(r)) return r;
  m.mesh = Ref<Mesh>();
  meshData->meshType = MeshTypeProgressiveMesh;
  meshData->progressiveMesh = m.progressive.get();
  return Ok;
}

// Calls OnMeshChild for every child the mesh loader left, in order.
LyrResult PassMeshChildren(LoadContext& ctx, MeshContainer* container, VekDataObject** children,
                           uint32_t count) {
  if (!ctx.userData) return Ok;
  for (uint32_t i = 0; i < count; ++i) {
    const LyrResult r = Guard([&] { return ctx.userData->OnMeshChild(container, children[i]); });
    if (Failed(r)) return r;
  }
  return Ok;
}

// A Mesh data object as a mesh container at the end of frame's list. A mesh that holds nothing
// to load adds no container and is not a failure.
LyrResult LoadMeshContainer(LoadContext& ctx, VekDataObject* object, Frame* frame) {
  NameBuffer name;
  LyrResult r = name.Read(object);
  if (Failed(r)) return r;
  LoadedMesh m;
  r = LoadMeshData(object, ctx.options, ctx.device, m.adjacency.put(), m.materials.put(),
                   m.effects.put(), &m.materialCount, m.skin.put(), m.mesh.put(), &m.pmBlock,
                   &m.pmSize, &m.unknown, &m.unknownCount);
  if (r == ErrMeshWithoutData) return Ok;
  if (Failed(r)) return r;
  if (m.skin && m.skin->GetBoneCount() == 0) m.skin = Ref<SkinInfo>();

  MeshData meshData{};
  meshData.meshType = MeshTypeMesh;
  meshData.mesh = m.mesh.get();
  if (m.pmSize != 0 && m.pmBlock && Failed(r = MakeProgressive(ctx, m, &meshData))) return r;

  MeshContainer* container = nullptr;
  r = ctx.allocator.NewMeshContainer(
      name.get(), &meshData, static_cast<const Material*>(BytesOf(m.materials.get())),
      static_cast<const EffectInstance*>(BytesOf(m.effects.get())), m.materialCount,
      static_cast<const uint32_t*>(BytesOf(m.adjacency.get())), m.skin.get(), &container);
  if (Failed(r)) return r;
  r = PassMeshChildren(ctx, container, m.unknown, m.unknownCount);
  if (Failed(r)) {
    ctx.allocator.DeleteMeshContainer(container);
    return r;
  }
  AppendContainer(frame, container);
  return Ok;
}

// Everything LoadPatchMeshes hands out, released or freed on scope exit.
struct LoadedPatches {
  Ref<Buffer> materials, effects;
  uint32_t materialCount = 0;
  PatchMesh* meshes[kMaxLoadedPatchMeshes] = {};
  uint32_t meshCount = 0;
  VekDataObject** unknown = nullptr;
  uint32_t unknownCount = 0;

  LoadedPatches() = default;
  LoadedPatches(const LoadedPatches&) = delete;
  LoadedPatches& operator=(const LoadedPatches&) = delete;
  ~LoadedPatches() {
    for (PatchMesh* m : meshes) {
      if (m) m->Release();
    }
    for (uint32_t i = 0; i < unknownCount; ++i) unknown[i]->Release();
    Free(unknown);
  }
};

// A PatchMesh (isPatchMesh) or PatchMesh9 data object as patch-mesh containers at the end of
// frame's list, one per PatchMesh the loader made (PatchMesh9 data makes one), all sharing the
// name, the materials and the unhandled children. Each container is linked before its
// OnMeshChild calls, so a failing call leaves it to the frame's clean-up.
LyrResult LoadPatchContainers(LoadContext& ctx, VekDataObject* object, bool isPatchMesh,
                              Frame* frame) {
  NameBuffer name;
  LyrResult r = name.Read(object);
  if (Failed(r)) return r;
  LoadedPatches p;
  r = LoadPatchMeshes(object, 0, ctx.device, p.materials.put(), p.effects.put(), &p.materialCount,
                      p.meshes, &p.meshCount, isPatchMesh, &p.unknown, &p.unknownCount);
  if (Failed(r)) return r;
  // Only the slots the loader filled: a count it did not report would hand the host a null mesh.
  for (uint32_t i = 0; i < p.meshCount && i < kMaxLoadedPatchMeshes && p.meshes[i]; ++i) {
    MeshData meshData{};
    meshData.meshType = MeshTypePatchMesh;
    meshData.patchMesh = p.meshes[i];
    MeshContainer* container = nullptr;
    r = ctx.allocator.NewMeshContainer(name.get(), &meshData,
                                       static_cast<const Material*>(BytesOf(p.materials.get())),
                                       static_cast<const EffectInstance*>(BytesOf(p.effects.get())),
                                       p.materialCount, nullptr, nullptr, &container);
    if (Failed(r)) return r;
    AppendContainer(frame, container);
    if (Failed(r = PassMeshChildren(ctx, container, p.unknown, p.unknownCount))) return r;
  }
  return Ok;
}

// Copies a FrameTransformMatrix block into the frame. The block must hold all 16 floats: a
// shorter one is malformed data and is never read past.
LyrResult ReadFrameMatrix(VekDataObject* object, Frame* frame) {
  uint32_t size = 0;
  const void* data = nullptr;
  const LyrResult r = object->ReadData(nullptr, &size, &data);
  if (Failed(r)) return r;
  if (!data || size < sizeof(Matrix)) return ErrFail;
  std::memcpy(&frame->matrix, data, sizeof(Matrix));
  return Ok;
}

LyrResult LoadFrame(LoadContext& ctx, VekDataObject* object, Frame* parent, Frame** out);

LyrResult LoadFrameChild(LoadContext& ctx, VekDataObject* child, Frame* frame) {
  const Guid* id = nullptr;
  LyrResult r = child->ReadTemplateId(&id);
  if (Failed(r)) return r;
  if (TemplateIs(id, tid::kMesh)) return LoadMeshContainer(ctx, child, frame);
  if (TemplateIs(id, tid::kPatchMesh)) return LoadPatchContainers(ctx, child, true, frame);
  if (TemplateIs(id, tid::kPatchMesh9)) return LoadPatchContainers(ctx, child, false, frame);
  if (TemplateIs(id, tid::kFrameTransformMatrix)) return ReadFrameMatrix(child, frame);
  if (TemplateIs(id, tid::kFrame)) return LoadFrame(ctx, child, frame, nullptr);
  if (!ctx.userData) return Ok;
  return Guard([&] { return ctx.userData->OnFrameChild(frame, child); });
}

// Makes the Frame of a Frame data object and reads its children (recursion is bounded by the
// component's nesting limit). The frame is linked to its parent only once its whole subtree is
// built, as the parent's last child; without a parent it is handed back through *out. On failure
// the frame and its subtree are destroyed.
LyrResult LoadFrame(LoadContext& ctx, VekDataObject* object, Frame* parent, Frame** out) {
  OwnedFrames frame(&ctx.allocator);
  {
    NameBuffer name;
    LyrResult r = name.Read(object);
    if (Failed(r)) return r;
    if (Failed(r = ctx.allocator.NewFrame(name.get(), frame.put()))) return r;
  }
  Frame* f = frame.first();
  const LyrResult r =
      ForEachDataChild(object, [&](VekDataObject* child) { return LoadFrameChild(ctx, child, f); });
  if (Failed(r)) return r;
  if (parent) {
    LyrFrameAppendChild(parent, frame.release());
  } else {
    *out = frame.release();
  }
  return Ok;
}

// A top-level Mesh: an unnamed frame of its own, kept even when the mesh holds nothing to load.
LyrResult LoadTopLevelMesh(LoadContext& ctx, VekDataObject* object, Frame** out) {
  OwnedFrames frame(&ctx.allocator);
  LyrResult r = ctx.allocator.NewFrame(nullptr, frame.put());
  if (Failed(r)) return r;
  if (Failed(r = LoadMeshContainer(ctx, object, frame.first()))) return r;
  *out = frame.release();
  return Ok;
}

// An AnimTicksPerSecond block of exactly one DWORD sets the rate of the sets that follow it;
// anything else is ignored.
LyrResult ReadTicksPerSecond(LoadContext& ctx, VekDataObject* object) {
  uint32_t size = 0;
  const void* data = nullptr;
  const LyrResult r = object->ReadData(nullptr, &size, &data);
  if (Failed(r)) return r;
  if (data && size == 4) {
    uint32_t ticks;
    std::memcpy(&ticks, data, 4);
    ctx.ticksPerSecond = ticks;
  }
  return Ok;
}

// The controller for a loaded tree: an output for every named frame, every set registered newest
// first, and track 0 playing the newest set. No controller (and Ok) when the tree has no named
// frame.
LyrResult MakeController(Frame* root, const Vector<Ref<AnimationSet>>& sets,
                         AnimationController** out) {
  // Counted on the tree rather than while loading, so that it matches what registration walks
  // even when the host names a frame the file left unnamed.
  const uint32_t outputs = LyrFrameNumNamedMatrices(root);
  if (outputs == 0 || sets.empty()) return Ok;
  Ref<AnimationController> controller;
  LyrResult r = CreateAnimationController(outputs, static_cast<uint32_t>(sets.size()),
                                          kControllerTracks, kControllerEvents, controller.put());
  if (Failed(r)) return r;
  if (Failed(r = LyrFrameRegisterNamedMatrices(root, controller.get()))) return r;
  for (size_t i = sets.size(); i-- > 0;) {
    if (Failed(r = controller->RegisterSet(sets[i].get()))) return r;
  }
  controller->SetTrackSet(0, sets.back().get());
  controller->SetTrackSpeed(0, 1.0f);
  controller->SetTrackWeight(0, 1.0f);
  controller->SetTrackPosition(0, 0.0);
  controller->SetTrackEnabled(0, 1);
  *out = controller.detach();
  return Ok;
}

LyrResult LoadTopLevelObject(LoadContext& ctx, VekDataObject* object, OwnedFrames& frames,
                             Vector<Ref<AnimationSet>>& sets) {
  const Guid* id = nullptr;
  LyrResult r = object->ReadTemplateId(&id);
  if (Failed(r)) return r;
  if (TemplateIs(id, tid::kMesh) || TemplateIs(id, tid::kFrame)) {
    Frame* frame = nullptr;
    r = TemplateIs(id, tid::kMesh) ? LoadTopLevelMesh(ctx, object, &frame)
                                   : LoadFrame(ctx, object, nullptr, &frame);
    if (Succeeded(r)) frames.Append(frame);
    return r;
  }
  if (TemplateIs(id, tid::kAnimTicksPerSecond)) return ReadTicksPerSecond(ctx, object);
  if (TemplateIs(id, tid::kAnimationSet)) {
    Ref<AnimationSet> set;
    r = LoadAnimationSet(object, ctx.ticksPerSecond, set.put());
    if (Succeeded(r) && set) sets.push_back(std::move(set));
    return r;
  }
  if (!ctx.userData) return Ok;
  return Guard([&] { return ctx.userData->OnTopLevelObject(object); });
}

// The walk over an open enumeration.
LyrResult LoadMeshHierarchyFrom(VekEnumeration* enumeration, uint32_t options,
                                GraphicsDevice* device, HierarchyAllocator* allocator,
                                UserDataLoader* userDataLoader, Frame** root,
                                AnimationController** controller) {
  *root = nullptr;
  if (controller) *controller = nullptr;
  return Guard([&]() -> LyrResult {
    LoadContext ctx{options, device, CheckingAllocator(allocator), userDataLoader,
                    kDefaultTicksPerSecond};
    Vector<Ref<AnimationSet>> sets;  // file order
    OwnedFrames frames(&ctx.allocator);

    Ref<VekDataObject> object;
    if (Failed(enumeration->NextTopLevelObject(object.put())) || !object) return ErrFail;
    do {
      const LyrResult r = LoadTopLevelObject(ctx, object.get(), frames, sets);
      if (Failed(r)) return r;
    } while (Succeeded(enumeration->NextTopLevelObject(object.put())) && object);
    if (!frames.first()) return ErrFail;

    OwnedFrames top(&ctx.allocator);
    if (frames.HasOne()) {
      top.Append(frames.release());
    } else {
      Frame* made = nullptr;
      const LyrResult r = ctx.allocator.NewFrame(nullptr, &made);
      if (Failed(r)) return r;
      made->firstChild = frames.release();
      top.Append(made);
    }
    Ref<AnimationController> made;
    if (controller) {
      const LyrResult r = MakeController(top.first(), sets, made.put());
      if (Failed(r)) return r;
    }
    *root = top.release();
    if (controller) *controller = made.detach();
    return Ok;
  });
}

}  // namespace

LyrResult LoadMeshHierarchy(const void* source, uint32_t mode, uint32_t options,
                            GraphicsDevice* device, HierarchyAllocator* allocator,
                            UserDataLoader* userDataLoader, Frame** root,
                            AnimationController** controller) {
  *root = nullptr;
  if (controller) *controller = nullptr;
  return Guard([&]() -> LyrResult {
    platform::ScopedCLocale locale;
    Ref<VekFile> file;
    LyrResult r = CreateVekFileWithTemplates(file.put());
    if (Failed(r)) return r;
    Ref<VekEnumeration> enumeration;
    if (Failed(r = file->OpenEnumeration(source, mode, enumeration.put()))) return r;
    return LoadMeshHierarchyFrom(enumeration.get(), options, device, allocator, userDataLoader,
                                 root, controller);
  });
}

}  // namespace lyr::vekio
