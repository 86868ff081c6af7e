// Shared pieces of the Vek component fuzz targets: the component is compiled into each target
// (so that it is instrumented) and driven through its interfaces.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

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

// Copies a read object and its subtree into a save object; false when its template is not the
// registered one.
inline bool Copy(lyr::VekDataObject* src, lyr::VekSaveObject* save, lyr::VekDataObject** out) {
  const lyr::Guid* tid = nullptr;
  uint32_t size = 0;
  const void* data = nullptr;
  if (src->ReadTemplateId(&tid) != lyr::Ok || src->ReadData(nullptr, &size, &data) != lyr::Ok)
    __builtin_trap();
  uint32_t nameSize = 0;
  src->ReadName(nullptr, &nameSize);
  std::string name(nameSize, '\0');
  if (nameSize && src->ReadName(name.data(), &nameSize) != lyr::Ok) __builtin_trap();
  lyr::Guid id;
  bool hasId = src->ReadId(&id) == lyr::Ok;
  lyr::VekDataObject* copy = nullptr;
  LyrResult r = save->NewDataObject(*tid, nameSize ? name.c_str() : nullptr, hasId ? &id : nullptr,
                                    size, data, &copy);
  // A file's own templates are not registered, and a file may redefine a registered one; both
  // leave objects that the save object cannot take.
  if (r == lyr::ErrVekUndefinedTemplate || r == lyr::ErrVekBadData) return false;
  if (r != lyr::Ok) __builtin_trap();
  bool ok = true;
  for (;;) {
    lyr::Unknown* c = nullptr;
    if (src->NextChild(&c) != lyr::Ok) break;
    lyr::VekDataObject* d = nullptr;
    lyr::VekReference* ref = nullptr;
    if (c->QueryInterface(lyr::VekDataObject::kIid, reinterpret_cast<void**>(&d)) == lyr::Ok) {
      lyr::VekDataObject* cc = nullptr;
      ok = Copy(d, save, &cc);
      if (ok && copy->AddChild(cc) != lyr::Ok) __builtin_trap();
      if (cc) cc->Release();
      d->Release();
    } else if (c->QueryInterface(lyr::VekReference::kIid, reinterpret_cast<void**>(&ref)) ==
               lyr::Ok) {
      uint32_t n = 0;
      ref->ReadName(nullptr, &n);
      std::string rn(n, '\0');
      if (n) ref->ReadName(rn.data(), &n);
      lyr::Guid rid;
      bool rHasId = ref->ReadId(&rid) == lyr::Ok;
      if (copy->AddReference(n ? rn.c_str() : nullptr, rHasId ? &rid : nullptr) != lyr::Ok)
        __builtin_trap();
      ref->Release();
    }
    c->Release();
    if (!ok) break;
  }
  if (!ok) {
    copy->Release();
    return false;
  }
  *out = copy;
  return true;
}

// Writes every top-level object of bytes in format; empty when bytes do not read or hold
// objects of unregistered templates.
inline std::vector<uint8_t> Rewrite(const std::vector<uint8_t>& bytes, uint32_t format) {
  static const std::string path = "/tmp/fuzz_vek_" + std::to_string(getpid()) + ".vkf";
  lyr::VekMemorySource src{bytes.data(), bytes.size()};
  lyr::VekEnumeration* e = nullptr;
  if (File()->OpenEnumeration(&src, lyr::kVekSourceMemory, &e) != lyr::Ok) return {};
  lyr::VekSaveObject* save = nullptr;
  if (File()->OpenSave(path.c_str(), format, &save) != lyr::Ok) __builtin_trap();
  bool ok = true;
  for (;;) {
    lyr::VekDataObject* o = nullptr;
    if (e->NextTopLevelObject(&o) != lyr::Ok) break;
    lyr::VekDataObject* copy = nullptr;
    ok = Copy(o, save, &copy);
    if (ok && save->WriteObject(copy) != lyr::Ok) __builtin_trap();
    if (copy) copy->Release();
    o->Release();
    if (!ok) break;
  }
  save->Release();
  e->Release();
  std::vector<uint8_t> out;
  if (ok) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) __builtin_trap();
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
  }
  std::remove(path.c_str());
  return out;
}

// Whatever reads must read the same after being written in each form: the text form of the
// first copy equals that of every later one.
inline void CheckRoundTrip(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> text = Rewrite(bytes, lyr::kVekFormatText);
  if (text.empty()) return;
  for (uint32_t format :
       {lyr::kVekFormatBinary, lyr::kVekFormatText, lyr::kVekFormatBinaryCompressed}) {
    std::vector<uint8_t> again = Rewrite(bytes, format);
    if (Rewrite(again, lyr::kVekFormatText) != text) __builtin_trap();
  }
}

// Whole files are taken as they are; anything else gets a text or binary header (chosen by the
// first byte, which it replaces).
inline std::vector<uint8_t> AsVekFile(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  if (size < 4 || std::memcmp(data, "vkf ", 4) != 0) {
    const char* header = size && (data[0] & 1) ? "vkf 0302bin 0032" : "vkf 0303txt 0032";
    bytes.assign(header, header + 16);
    if (size > 1) bytes.insert(bytes.end(), data + 1, data + size);
  }
  return bytes;
}

// The input with its first 16 bytes replaced by the header given.
inline std::vector<uint8_t> WithHeader(const char* header, const uint8_t* data, size_t size) {
  std::vector<uint8_t> v(header, header + 16);
  if (size > 16) v.insert(v.end(), data + 16, data + size);
  return v;
}

// Calls load(object) for every data object whose template id `wanted` accepts, at top level and
// inside frames (at most eight deep).
template <class Wanted, class Load>
void VisitLoadable(lyr::VekDataObject* o, int depth, Wanted& wanted, Load& load) {
  const lyr::Guid* id = nullptr;
  if (o->ReadTemplateId(&id) != lyr::Ok) return;
  if (wanted(*id)) {
    load(o);
    return;
  }
  if (*id != lyr::vekio::tid::kFrame || depth > 8) return;
  for (;;) {
    lyr::Unknown* c = nullptr;
    if (o->NextChild(&c) != lyr::Ok) break;
    lyr::VekDataObject* d = nullptr;
    if (c->QueryInterface(lyr::VekDataObject::kIid, reinterpret_cast<void**>(&d)) == lyr::Ok) {
      VisitLoadable(d, depth + 1, wanted, load);
      d->Release();
    }
    c->Release();
  }
}

// The loader targets' entry: the input as a Vek file (AsVekFile); every object `wanted` accepts
// goes to load.
template <class Wanted, class Load>
void LoadEach(const uint8_t* data, size_t size, Wanted wanted, Load load) {
  const std::vector<uint8_t> bytes = AsVekFile(data, size);
  lyr::VekMemorySource src{bytes.data(), bytes.size()};
  lyr::VekEnumeration* e = nullptr;
  if (File()->OpenEnumeration(&src, lyr::kVekSourceMemory, &e) != lyr::Ok) return;
  for (;;) {
    lyr::VekDataObject* o = nullptr;
    if (e->NextTopLevelObject(&o) != lyr::Ok) break;
    VisitLoadable(o, 0, wanted, load);
    o->Release();
  }
  e->Release();
}

}  // namespace vekfuzz
