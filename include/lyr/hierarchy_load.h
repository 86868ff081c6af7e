// Loading whole scenes: one call turns a Vek file (by 8-bit name, by 16-bit name or from memory)
// into a frame tree that the host owns, with mesh containers and, when the file holds animation
// sets, an animation controller already bound to the loaded frames.
#pragma once

#include "lyr/anim.h"
#include "lyr/device.h"
#include "lyr/frame.h"
#include "lyr/vekfile.h"

namespace lyr {

// The host's optional receiver of data objects the loader does not handle itself: a plain table
// of three operations (no reference counting). Each object is handed over with the loader's
// reference only; the host adds a reference to any it keeps. A failure code ends the load with
// that code.
struct UserDataLoader {
  // A top-level object of a template that the loader does not handle.
  virtual LyrResult LYR_CALL OnTopLevelObject(VekDataObject* object) = 0;
  // A data-object child of a frame that the loader does not handle.
  virtual LyrResult LYR_CALL OnFrameChild(Frame* frame, VekDataObject* object) = 0;
  // A child of a mesh data object that the mesh loaders did not handle, with the container made
  // from that mesh (already filled in, not yet linked to its frame).
  virtual LyrResult LYR_CALL OnMeshChild(MeshContainer* container, VekDataObject* object) = 0;

 protected:
  ~UserDataLoader() = default;
};

}  // namespace lyr

extern "C" {

// Loads the Vek file `fileName` (8-bit). Required: the name, the device (on which every mesh is
// made), the allocator and `root`; else ErrInvalidCall and nothing else happens. `options` are
// the MeshOptions for the meshes made; the UserDataLoader and `controller` may be null.
//
// Top-level frames keep file order; a top-level Mesh becomes an unnamed frame of its own; more
// than one top-level frame get an unnamed root. When the file holds animation sets, named frames
// and the caller asks for it, *controller receives a controller with every named frame's matrix
// as an output, every set registered (the file's last set first) and track 0 playing the file's
// last set at speed 1 and weight 1; otherwise it is null.
//
// On success the host owns the tree (free it with LyrFrameDestroy and the same allocator) and
// the controller (one reference). On failure everything made is freed through the allocator and
// released, and *root and *controller are null. ErrFail: the file holds no frame and no mesh at
// top level. Failures of the component, the device, the host's callbacks and the mesh and
// animation loaders are passed on unchanged.
LYR_API LyrResult LYR_CALL LyrLoadMeshHierarchyFromVekA(const char* fileName, uint32_t options,
                                                        lyr::GraphicsDevice* device,
                                                        lyr::HierarchyAllocator* allocator,
                                                        lyr::UserDataLoader* userDataLoader,
                                                        lyr::Frame** root,
                                                        lyr::AnimationController** controller);

// The same with a UTF-16 name; the file is read through a read-only mapping instead of being
// copied. ErrFileOpenFailed when it cannot be opened or mapped (or the name is not well-formed
// UTF-16); an empty file gives ErrInvalidCall.
LYR_API LyrResult LYR_CALL LyrLoadMeshHierarchyFromVekW(const char16_t* fileName, uint32_t options,
                                                        lyr::GraphicsDevice* device,
                                                        lyr::HierarchyAllocator* allocator,
                                                        lyr::UserDataLoader* userDataLoader,
                                                        lyr::Frame** root,
                                                        lyr::AnimationController** controller);

// The same from `size` bytes in memory (a null pointer or a size of 0 gives ErrInvalidCall). The
// bytes are not needed after the call.
LYR_API LyrResult LYR_CALL LyrLoadMeshHierarchyFromVekInMemory(
    const void* data, uint32_t size, uint32_t options, lyr::GraphicsDevice* device,
    lyr::HierarchyAllocator* allocator, lyr::UserDataLoader* userDataLoader, lyr::Frame** root,
    lyr::AnimationController** controller);

}  // extern "C"
