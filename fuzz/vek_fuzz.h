// Shared pieces of the Vek component fuzz targets: the component is compiled into each target
// (so that it is instrumented) and driven through its interfaces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lyr/vekfile.h"
#include "vekio/vek_component.h"

extern "C" LyrResult LYR_CALL OrvaneFileCreate(lyr::VekFile** out);

namespace vekfuzz {

// A VekFile with the library's templates, made once.
inline lyr::VekFile* File() {
  static lyr::VekFile* file = [] {
    lyr::VekFile* f = nullptr;
    if (OrvaneFileCreate(&f) != lyr::Ok) __builtin_trap();
    for (int i = 0; i < lyr::vekio::kTemplateBlockCount; ++i) {
      lyr::vekio::TemplateBlock b = lyr::vekio::GetTemplateBlock(i);
      if (f->AddTemplates(b.data, b.size) != lyr::Ok) __builtin_trap();
    }
    return f;
  }();
  return file;
}

// Reads every object, child, reference and block of an enumeration.
inline void Walk(lyr::VekDataObject* o, int depth) {
  uint32_t size = 0;
  const void* data = nullptr;
  if (o->ReadData(nullptr, &size, &data) != lyr::Ok) __builtin_trap();
  if (size) {
    volatile uint8_t last = static_cast<const uint8_t*>(data)[size - 1];
    (void)last;
  }
  char name[64];
  uint32_t n = sizeof name;
  o->ReadName(name, &n);
  for (;;) {
    lyr::Unknown* c = nullptr;
    if (o->NextChild(&c) != lyr::Ok) break;
    lyr::VekDataObject* d = nullptr;
    lyr::VekReference* r = nullptr;
    if (c->QueryInterface(lyr::VekDataObject::kIid, reinterpret_cast<void**>(&d)) == lyr::Ok) {
      Walk(d, depth + 1);
      d->Release();
    } else if (c->QueryInterface(lyr::VekReference::kIid, reinterpret_cast<void**>(&r)) ==
               lyr::Ok) {
      lyr::VekDataObject* t = nullptr;
      if (r->Resolve(&t) == lyr::Ok) {
        if (t->ReadData(nullptr, &size, &data) != lyr::Ok) __builtin_trap();
        t->Release();
      }
      r->Release();
    }
    c->Release();
  }
}

// Parses bytes; on success walks everything. Returns the open result.
inline LyrResult ParseAndWalk(const std::vector<uint8_t>& bytes) {
  lyr::VekMemorySource src{bytes.data(), bytes.size()};
  lyr::VekEnumeration* e = nullptr;
  LyrResult r = File()->OpenEnumeration(&src, lyr::kVekSourceMemory, &e);
  if (r != lyr::Ok) return r;
  for (;;) {
    lyr::VekDataObject* o = nullptr;
    if (e->NextTopLevelObject(&o) != lyr::Ok) break;
    Walk(o, 0);
    o->Release();
  }
  e->Release();
  return r;
}

// The input with its first 16 bytes replaced by the header given.
inline std::vector<uint8_t> WithHeader(const char* header, const uint8_t* data, size_t size) {
  std::vector<uint8_t> v(header, header + 16);
  if (size > 16) v.insert(v.end(), data + 16, data + size);
  return v;
}

}  // namespace vekfuzz
