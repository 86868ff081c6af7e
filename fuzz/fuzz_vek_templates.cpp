// Template registration: any block gives a code; a registered block can be registered again
// unchanged with every template written back out.
#include "vek_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lyr::VekFile* f = nullptr;
  if (OrvaneFileCreate(&f) != lyr::Ok) __builtin_trap();
  lyr::vekio::TemplateBlock b = lyr::vekio::GetTemplateBlock(0);
  if (f->AddTemplates(b.data, b.size) != lyr::Ok) __builtin_trap();
  if (f->AddTemplates(data, static_cast<uint32_t>(size)) == lyr::Ok) {
    if (f->AddTemplates(data, static_cast<uint32_t>(size)) != lyr::Ok) __builtin_trap();
  }
  f->Release();
  return 0;
}
