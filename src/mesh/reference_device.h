// Loading the reference graphics device of the stand-in platform module, for tests, tools and
// benchmarks.
#pragma once

#include "lyr/refdevice.h"

namespace lyr {

// Loads "tsl9.dll" (kept loaded for the process's life) and makes a device from desc.
// The module's missing file or export gives the code of the last error; the device's own
// failures are passed on.
LyrResult LoadReferenceDevice(const RefDeviceDesc& desc, GraphicsDevice** out);

// The module's debug-output state; false when the module cannot be loaded.
bool ReadReferenceDebugState(RefDebugState* out);

}  // namespace lyr
