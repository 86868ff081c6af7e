#include "vekio/vek_component.h"

#include "core/object_impl.h"
#include "platform/platform.h"

namespace lyr::vekio {

LyrResult CreateVekFile(VekFile** out) {
  return CreateVekFileFrom(kVekModuleName, kVekCreateFunctionName, out);
}

LyrResult CreateVekFileFrom(const char* moduleName, const char* function, VekFile** out) {
  if (!out || !moduleName || !function) return ErrInvalidCall;
  *out = nullptr;
  platform::ModuleHandle module = platform::FindLoadedModule(moduleName);
  if (!module) module = platform::LoadModule(moduleName);
  void* proc = module ? platform::FindProcedure(module, function) : nullptr;
  if (!proc) {
    LyrResult r = platform::LastErrorResult();
    return Failed(r) ? r : ErrFail;
  }
  LyrResult r = reinterpret_cast<VekFileCreateFn>(proc)(out);
  if (Failed(r)) {
    *out = nullptr;
    return r;
  }
  return *out ? r : ErrFail;
}

LyrResult RegisterTemplates(VekFile* file) {
  if (!file) return ErrInvalidCall;
  for (int i = 0; i < kTemplateBlockCount; ++i) {
    TemplateBlock b = GetTemplateBlock(i);
    LyrResult r = file->AddTemplates(b.data, b.size);
    if (Failed(r)) return r;
  }
  return Ok;
}

LyrResult CreateVekFileWithTemplates(VekFile** out) {
  if (!out) return ErrInvalidCall;
  Ref<VekFile> file;
  LyrResult r = CreateVekFile(file.put());
  if (Failed(r)) {
    *out = nullptr;
    return r;
  }
  r = RegisterTemplates(file.get());
  if (Failed(r)) {
    *out = nullptr;
    return r;
  }
  *out = file.detach();
  return Ok;
}

}  // namespace lyr::vekio
