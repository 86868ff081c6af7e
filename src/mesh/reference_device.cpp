#include "mesh/reference_device.h"

#include "platform/platform.h"

namespace lyr {
namespace {

void* Procedure(const char* name) {
  platform::ModuleHandle module = platform::LoadModule(kRefModuleName);
  return module ? platform::FindProcedure(module, name) : nullptr;
}

}  // namespace

LyrResult LoadReferenceDevice(const RefDeviceDesc& desc, GraphicsDevice** out) {
  if (!out) return ErrInvalidCall;
  auto create = reinterpret_cast<RefCreateDeviceFn>(Procedure(kRefCreateDeviceName));
  if (!create) return platform::LastErrorResult();
  return create(&desc, out);
}

bool ReadReferenceDebugState(RefDebugState* out) {
  auto read = reinterpret_cast<RefDebugStateFn>(Procedure(kRefDebugStateName));
  if (!read || !out) return false;
  read(out);
  return true;
}

}  // namespace lyr
