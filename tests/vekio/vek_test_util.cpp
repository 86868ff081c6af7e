#include "vek_test_util.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"

namespace lyr::test {

std::string ReadBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string CorpusPath(const std::string& name) {
  return std::string(LYR_TEST_DATA_DIR) + "/vek/" + name;
}

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> out;
  for (const auto& e :
       std::filesystem::directory_iterator(std::string(LYR_TEST_DATA_DIR) + "/vek")) {
    std::string n = e.path().filename().string();
    if (n.size() > 4 && n.substr(n.size() - 4) == ".vkf") out.push_back(n);
  }
  std::sort(out.begin(), out.end());
  return out;
}

TempFile::TempFile() {
  char dir[512];
  path_[0] = '\0';
  EXPECT_TRUE(platform::TempDirectory(dir, sizeof dir));
  EXPECT_TRUE(platform::MakeTempFile(dir, "vek", path_, sizeof path_));
}

TempFile::~TempFile() {
  if (path_[0]) platform::DeleteFile(path_);
}

Ref<VekFile> NewVekFile() {
  Ref<VekFile> f;
  EXPECT_EQ(vekio::CreateVekFileWithTemplates(f.put()), Ok);
  return f;
}

const std::vector<Guid> kCorpusTemplates = {
    {0x0A0B0C0D, 0x0102, 0x0304, {0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C}},
    {0x5E1F0A3C, 0x2B4D, 0x4C6E, {0x8F, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD}},
};

Ref<VekFile> NewVekFileForCorpus() {
  Ref<VekFile> f = NewVekFile();
  const std::string block =
      "vkf 0303txt 0032\n"
      "template Extra <0A0B0C0D-0102-0304-0506-0708090A0B0C> {\n"
      "  WORD w; array UCHAR grid[2][3]; STRING tag; array Vector path[w]; [ ... ] }\n"
      "template Tagged <5E1F0A3C-2B4D-4C6E-8F01-23456789ABCD> {\n"
      "  WORD n; array UCHAR cells[2][2]; array Coords2d uv[n]; STRING label; [ ... ] }\n";
  EXPECT_EQ(f->AddTemplates(block.data(), static_cast<uint32_t>(block.size())), Ok);
  return f;
}

LyrResult OpenBytes(VekFile* file, const std::string& bytes, VekEnumeration** out) {
  VekMemorySource src{bytes.data(), bytes.size()};
  return file->OpenEnumeration(&src, kVekSourceMemory, out);
}

std::vector<Ref<VekDataObject>> DataChildren(VekDataObject* o) {
  std::vector<Ref<VekDataObject>> out;
  for (;;) {
    Ref<Unknown> c;
    if (Failed(o->NextChild(c.put()))) break;
    Ref<VekDataObject> d;
    if (Succeeded(c->QueryInterface(VekDataObject::kIid, reinterpret_cast<void**>(d.put()))))
      out.push_back(d);
  }
  return out;
}

std::vector<Ref<VekDataObject>> TopLevel(VekEnumeration* e) {
  std::vector<Ref<VekDataObject>> out;
  for (;;) {
    Ref<VekDataObject> o;
    if (Failed(e->NextTopLevelObject(o.put()))) break;
    out.push_back(o);
  }
  return out;
}

namespace {

// Makes a save-side copy of a read object and its subtree.
LyrResult CopyTree(VekDataObject* src, VekSaveObject* save, VekDataObject** out) {
  const Guid* tid = nullptr;
  LyrResult r = src->ReadTemplateId(&tid);
  if (Failed(r)) return r;
  uint32_t size = 0;
  const void* data = nullptr;
  r = src->ReadData(nullptr, &size, &data);
  if (Failed(r)) return r;
  std::string name = NameOf(src);
  uint32_t nameSize = 0;
  src->ReadName(nullptr, &nameSize);
  Guid id;
  bool hasId = Succeeded(src->ReadId(&id));
  Ref<VekDataObject> copy;
  r = save->NewDataObject(*tid, nameSize ? name.c_str() : nullptr, hasId ? &id : nullptr, size,
                          data, copy.put());
  if (Failed(r)) return r;
  for (;;) {
    Ref<Unknown> c;
    if (Failed(src->NextChild(c.put()))) break;
    Ref<VekDataObject> d;
    Ref<VekReference> ref;
    if (Succeeded(c->QueryInterface(VekDataObject::kIid, reinterpret_cast<void**>(d.put())))) {
      Ref<VekDataObject> childCopy;
      r = CopyTree(d.get(), save, childCopy.put());
      if (Failed(r)) return r;
      r = copy->AddChild(childCopy.get());
    } else if (Succeeded(
                   c->QueryInterface(VekReference::kIid, reinterpret_cast<void**>(ref.put())))) {
      std::string refName = NameOf(ref.get());
      uint32_t refNameSize = 0;
      ref->ReadName(nullptr, &refNameSize);
      Guid refId;
      bool refHasId = Succeeded(ref->ReadId(&refId));
      r = copy->AddReference(refNameSize ? refName.c_str() : nullptr, refHasId ? &refId : nullptr);
    }
    if (Failed(r)) return r;
  }
  *out = copy.detach();
  return Ok;
}

}  // namespace

std::string Convert(VekFile* file, const std::string& bytes, uint32_t format, LyrResult* result,
                    const std::vector<Guid>& templates) {
  LyrResult dummy;
  if (!result) result = &dummy;
  Ref<VekEnumeration> e;
  *result = OpenBytes(file, bytes, e.put());
  if (Failed(*result)) return std::string();
  TempFile tmp;
  Ref<VekSaveObject> save;
  *result = file->OpenSave(tmp.path(), format, save.put());
  if (Failed(*result)) return std::string();
  std::vector<const Guid*> ids;
  for (const Guid& g : templates) ids.push_back(&g);
  *result = save->WriteTemplates(static_cast<uint32_t>(ids.size()), ids.data());
  if (Failed(*result)) return std::string();
  for (auto& o : TopLevel(e.get())) {
    Ref<VekDataObject> copy;
    *result = CopyTree(o.get(), save.get(), copy.put());
    if (Failed(*result)) return std::string();
    *result = save->WriteObject(copy.get());
    if (Failed(*result)) return std::string();
  }
  save = Ref<VekSaveObject>();
  return ReadBytes(tmp.path());
}

std::string Canonical(VekFile* file, const std::string& bytes) {
  LyrResult r;
  std::string text = Convert(file, bytes, kVekFormatText, &r);
  EXPECT_EQ(r, Ok);
  return text;
}

}  // namespace lyr::test
