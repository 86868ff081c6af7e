// The exported scene loaders.
#include "core/object_impl.h"
#include "platform/platform.h"
#include "vekio/hierarchy_load.h"

extern "C" {

LYR_API LyrResult LYR_CALL LyrLoadMeshHierarchyFromVekA(const char* fileName, uint32_t options,
                                                        lyr::GraphicsDevice* device,
                                                        lyr::HierarchyAllocator* allocator,
                                                        lyr::UserDataLoader* userDataLoader,
                                                        lyr::Frame** root,
                                                        lyr::AnimationController** controller) {
  if (!fileName || !device || !allocator || !root) return lyr::ErrInvalidCall;
  return lyr::vekio::LoadMeshHierarchy(fileName, lyr::kVekSourceFile, options, device, allocator,
                                       userDataLoader, root, controller);
}

// The required arguments are checked before the file is touched. The mapped bytes go straight to
// the loader, with their full size even where that does not fit the memory entry's 32 bits.
LYR_API LyrResult LYR_CALL LyrLoadMeshHierarchyFromVekW(const char16_t* fileName, uint32_t options,
                                                        lyr::GraphicsDevice* device,
                                                        lyr::HierarchyAllocator* allocator,
                                                        lyr::UserDataLoader* userDataLoader,
                                                        lyr::Frame** root,
                                                        lyr::AnimationController** controller) {
  if (!fileName || !device || !allocator || !root) return lyr::ErrInvalidCall;
  *root = nullptr;
  if (controller) *controller = nullptr;
  lyr::platform::MappedFile file;
  const LyrResult r = file.OpenUtf16(fileName);
  if (lyr::Failed(r)) return r;
  if (!file.data() || file.size() == 0) return lyr::ErrInvalidCall;
  const lyr::VekMemorySource source{file.data(), file.size()};
  return lyr::vekio::LoadMeshHierarchy(&source, lyr::kVekSourceMemory, options, device, allocator,
                                       userDataLoader, root, controller);
}

LYR_API LyrResult LYR_CALL LyrLoadMeshHierarchyFromVekInMemory(
    const void* data, uint32_t size, uint32_t options, lyr::GraphicsDevice* device,
    lyr::HierarchyAllocator* allocator, lyr::UserDataLoader* userDataLoader, lyr::Frame** root,
    lyr::AnimationController** controller) {
  if (!data || size == 0 || !device || !allocator || !root) return lyr::ErrInvalidCall;
  const lyr::VekMemorySource source{data, size};
  return lyr::vekio::LoadMeshHierarchy(&source, lyr::kVekSourceMemory, options, device, allocator,
                                       userDataLoader, root, controller);
}

}  // extern "C"
