// The exported frame-tree operations.
#include <cstring>

#include "core/object_impl.h"
#include "frame/frame_walk.h"

namespace {

using lyr::Frame;

constexpr auto kNothing = [](Frame*) { return true; };

bool SameName(const char* a, const char* b) {
  return a == b || (a && b && std::strcmp(a, b) == 0);
}

}  // namespace

extern "C" {

LYR_API LyrResult LYR_CALL LyrFrameDestroy(Frame* frame, lyr::HierarchyAllocator* allocator) {
  if (!frame || !allocator) return lyr::ErrInvalidCall;
  LyrResult result = lyr::Ok;
  lyr::WalkFrames(frame, kNothing, [&](Frame* f) {
    for (lyr::MeshContainer* c = f->meshContainers; c;) {
      lyr::MeshContainer* next = c->next;
      result = lyr::Guard([&] { return allocator->DeleteMeshContainer(c); });
      if (lyr::Failed(result)) return false;
      c = next;
    }
    result = lyr::Guard([&] { return allocator->DeleteFrame(f); });
    return lyr::Succeeded(result);
  });
  return result;
}

LYR_API LyrResult LYR_CALL LyrFrameAppendChild(Frame* parent, Frame* child) {
  if (!parent || !child) return lyr::ErrInvalidCall;
  Frame** link = &parent->firstChild;
  while (*link) link = &(*link)->nextSibling;
  *link = child;
  return lyr::Ok;
}

LYR_API Frame* LYR_CALL LyrFrameFind(Frame* frame, const char* name) {
  if (!frame) return nullptr;
  Frame* found = nullptr;
  lyr::WalkFrames(
      frame,
      [&](Frame* f) {
        if (!SameName(f->name, name)) return true;
        found = f;
        return false;
      },
      kNothing);
  return found;
}

LYR_API LyrResult LYR_CALL LyrFrameRegisterNamedMatrices(Frame* frame,
                                                         lyr::AnimationController* controller) {
  if (!frame || !controller) return lyr::ErrInvalidCall;
  LyrResult result = lyr::Ok;
  lyr::WalkFrames(
      frame,
      [&](Frame* f) {
        if (!f->name) return true;
        const LyrResult r =
            lyr::Guard([&] { return controller->RegisterOutput(f->name, &f->matrix); });
        if (lyr::Succeeded(r)) return true;
        result = r;
        return false;
      },
      kNothing);
  return result;
}

LYR_API uint32_t LYR_CALL LyrFrameNumNamedMatrices(Frame* frame) {
  if (!frame) return 0;
  uint32_t count = 0;
  lyr::WalkFrames(
      frame,
      [&](Frame* f) {
        if (f->name) ++count;
        return true;
      },
      kNothing);
  return count;
}

}  // extern "C"
