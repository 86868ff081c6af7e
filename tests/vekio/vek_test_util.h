// Helpers for the Vek component tests: files, conversions between the four forms through the
// component's own reader and writer, and a canonical text form for comparing whole files.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/object_impl.h"
#include "lyr/vekfile.h"
#include "vekio/vek_component.h"

namespace lyr::test {

std::string ReadBytes(const std::string& path);
std::string CorpusPath(const std::string& name);
// Every file of the corpus folder.
std::vector<std::string> CorpusFiles();

// A temporary file deleted when the object goes.
class TempFile {
 public:
  TempFile();
  ~TempFile();
  const char* path() const { return path_; }

 private:
  char path_[1024];
};

// A VekFile with the library's templates; fails the test when it cannot be made.
Ref<VekFile> NewVekFile();

// The templates the corpus files define for themselves, and a VekFile that also has those
// registered (so that their objects can be written again).
extern const std::vector<Guid> kCorpusTemplates;
Ref<VekFile> NewVekFileForCorpus();

// Opens an enumeration over bytes in memory.
LyrResult OpenBytes(VekFile* file, const std::string& bytes, VekEnumeration** out);

// Reads bytes and writes every top-level object again, with children and references, in format
// code `format`, after the definitions of the templates `templates` (registered ones).
// Returns the new file's bytes; `result` receives the first failure.
std::string Convert(VekFile* file, const std::string& bytes, uint32_t format,
                    LyrResult* result = nullptr, const std::vector<Guid>& templates = {});

// The text form the writer gives the file's objects: equal for equal objects (names,
// identifiers, blocks bit for bit, strings, children, references).
std::string Canonical(VekFile* file, const std::string& bytes);

// The name of a data object or reference ("" when unnamed).
template <class T>
std::string NameOf(T* object) {
  uint32_t size = 0;
  EXPECT_EQ(object->ReadName(nullptr, &size), Ok);
  if (size == 0) return std::string();
  std::string s(size, '\0');
  EXPECT_EQ(object->ReadName(s.data(), &size), Ok);
  s.resize(size - 1);
  return s;
}

// Data children of an object, as data objects.
std::vector<Ref<VekDataObject>> DataChildren(VekDataObject* o);

// All top-level objects of an enumeration.
std::vector<Ref<VekDataObject>> TopLevel(VekEnumeration* e);

template <class T>
T ValueAt(const void* block, size_t offset) {
  T v;
  std::memcpy(&v, static_cast<const uint8_t*>(block) + offset, sizeof v);
  return v;
}

}  // namespace lyr::test
