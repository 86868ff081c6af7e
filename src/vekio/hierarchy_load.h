// The hierarchy loader behind the three exported load functions.
#pragma once

#include "lyr/hierarchy_load.h"

namespace lyr::vekio {

// Loads a whole scene from a Vek source (OpenEnumeration's source and mode). The arguments are
// those of the exported functions, already checked: device, allocator and root are not null.
// *root, and *controller when given, are cleared first and stay null on failure.
LyrResult LoadMeshHierarchy(const void* source, uint32_t mode, uint32_t options,
                            GraphicsDevice* device, HierarchyAllocator* allocator,
                            UserDataLoader* userDataLoader, Frame** root,
                            AnimationController** controller);

}  // namespace lyr::vekio
