// Writing Vek files: every form reads back to the same objects, the text is the documented
// one, and the save objects refuse what would make a wrong or unreadable file.
#include <cmath>
#include <limits>

#include "lyr/guid.h"
#include "vek_test_util.h"

namespace lyr::test {
namespace {

using namespace vekio::tid;

TEST(VekWrite, EveryFormReadsBackToTheSameObjects) {
  Ref<VekFile> file = NewVekFileForCorpus();
  for (const std::string& name : CorpusFiles()) {
    SCOPED_TRACE(name);
    std::string bytes = ReadBytes(CorpusPath(name));
    // Binary children cannot be made through a save object: every copy leaves them out alike.
    std::string canonical = Canonical(file.get(), bytes);
    ASSERT_FALSE(canonical.empty());
    // text -> binary -> compressed binary -> compressed text -> text
    std::string chain = bytes;
    for (uint32_t format :
         {kVekFormatBinary, kVekFormatBinaryCompressed, kVekFormatTextCompressed, kVekFormatText}) {
      LyrResult r;
      chain = Convert(file.get(), chain, format, &r, kCorpusTemplates);
      ASSERT_EQ(r, Ok) << format;
      EXPECT_EQ(Canonical(file.get(), chain), canonical) << format;
    }
    EXPECT_EQ(chain.substr(0, 16), "vkf 0303txt 0032");
  }
}

TEST(VekWrite, FilesCarryTheirTemplatesForReadersWithoutThem) {
  Ref<VekFile> file = NewVekFileForCorpus();
  std::string bytes = ReadBytes(CorpusPath("loose.vkf"));
  size_t cut = bytes.find("InlineData Blob");
  size_t end = bytes.find("Guid {");
  bytes.erase(cut, end - cut);
  for (uint32_t format = 0; format < 4; ++format) {
    LyrResult r;
    std::string written = Convert(file.get(), bytes, format, &r, kCorpusTemplates);
    ASSERT_EQ(r, Ok);
    // A VekFile with only the standard templates reads the file through its own definitions.
    Ref<VekFile> plain = NewVekFile();
    Ref<VekEnumeration> e;
    ASSERT_EQ(OpenBytes(plain.get(), written, e.put()), Ok) << format;
    auto top = TopLevel(e.get());
    ASSERT_EQ(top.size(), 25u);
    EXPECT_EQ(NameOf(top[23].get()), "Mine");
    uint32_t size;
    const void* data;
    ASSERT_EQ(top[23]->ReadData("path", &size, &data), Ok);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(Canonical(file.get(), written), Canonical(file.get(), bytes));
  }
}

TEST(VekWrite, TextIsIndentedEscapedAndLocaleFree) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  {
    Ref<VekSaveObject> save;
    ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatText, save.put()), Ok);
    const char* texture = "C:\\a\\b.bmp";
    Ref<VekDataObject> frame, tex, mesh;
    ASSERT_EQ(save->NewDataObject(kFrame, "Bip01 L Hand", nullptr, 0, nullptr, frame.put()), Ok);
    ASSERT_EQ(save->NewDataObject(kTextureFilename, nullptr, nullptr, sizeof texture, &texture,
                                  tex.put()),
              Ok);
    uint32_t m[] = {3, 0, 0, 0, 0x3F800000, 0x40000000, 0x40400000, 0x3DCCCCCD,
                    0, 0, 1, 3, 0,          1,          2};
    ASSERT_EQ(save->NewDataObject(kMesh, "m", nullptr, sizeof m, m, mesh.put()), Ok);
    ASSERT_EQ(frame->AddChild(tex.get()), Ok);
    ASSERT_EQ(frame->AddChild(mesh.get()), Ok);
    ASSERT_EQ(frame->AddReference("m", nullptr), Ok);
    ASSERT_EQ(save->WriteObject(frame.get()), Ok);
  }
  std::string text = ReadBytes(tmp.path());
  EXPECT_EQ(text,
            "vkf 0303txt 0032\n"
            "Frame \"Bip01 L Hand\" {\n"
            "  TextureFilename {\n"
            "    \"C:\\\\a\\\\b.bmp\";\n"
            "  }\n"
            "  Mesh m {\n"
            "    3;\n"
            "    0 0 0,\n"
            "    1 2 3,\n"
            "    0.1 0 0;\n"
            "    1;\n"
            "    3 0 1 2;\n"
            "  }\n"
            "  { m }\n"
            "}\n\n");
  Ref<VekEnumeration> e;
  ASSERT_EQ(file->OpenEnumeration(tmp.path(), kVekSourceFile, e.put()), Ok);
  auto top = TopLevel(e.get());
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(NameOf(top[0].get()), "Bip01 L Hand");
  auto kids = DataChildren(top[0].get());
  uint32_t size;
  const void* data;
  ASSERT_EQ(kids[0]->ReadData(nullptr, &size, &data), Ok);
  EXPECT_STREQ(ValueAt<const char*>(data, 0), "C:\\a\\b.bmp");
}

TEST(VekWrite, FloatsAndStringsRoundTripExactlyInEveryForm) {
  Ref<VekFile> file = NewVekFile();
  const float specials[] = {0.1f,
                            -0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            1.0f / 3.0f,
                            16777217.0f,
                            std::nextafter(1.0f, 2.0f)};
  std::string everyByte;
  for (int c = 1; c < 256; ++c) everyByte.push_back(static_cast<char>(c));
  for (uint32_t format = 0; format < 4; ++format) {
    SCOPED_TRACE(format);
    TempFile tmp;
    {
      Ref<VekSaveObject> save;
      ASSERT_EQ(file->OpenSave(tmp.path(), format, save.put()), Ok);
      std::vector<uint8_t> keys(4 + sizeof specials);
      uint32_t n = std::size(specials);
      std::memcpy(keys.data(), &n, 4);
      std::memcpy(keys.data() + 4, specials, sizeof specials);
      Ref<VekDataObject> k, s;
      ASSERT_EQ(save->NewDataObject(kFloatKeys, everyByte.c_str(), nullptr,
                                    static_cast<uint32_t>(keys.size()), keys.data(), k.put()),
                Ok);
      const char* pair[2] = {everyByte.c_str(), nullptr};
      ASSERT_EQ(save->NewDataObject(kStringProperty, nullptr, nullptr, sizeof pair, pair, s.put()),
                Ok);
      ASSERT_EQ(save->WriteObject(k.get()), Ok);
      ASSERT_EQ(save->WriteObject(s.get()), Ok);
    }
    Ref<VekEnumeration> e;
    ASSERT_EQ(file->OpenEnumeration(tmp.path(), kVekSourceFile, e.put()), Ok);
    auto top = TopLevel(e.get());
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(NameOf(top[0].get()), everyByte);
    uint32_t size;
    const void* data;
    ASSERT_EQ(top[0]->ReadData(nullptr, &size, &data), Ok);
    ASSERT_EQ(size, 4 + sizeof specials);
    EXPECT_EQ(std::memcmp(static_cast<const uint8_t*>(data) + 4, specials, sizeof specials), 0);
    ASSERT_EQ(top[1]->ReadData(nullptr, &size, &data), Ok);
    EXPECT_EQ(ValueAt<const char*>(data, 0), everyByte);
    EXPECT_STREQ(ValueAt<const char*>(data, sizeof(char*)), "");  // null is written as ""
  }
}

TEST(VekWrite, SaveObjectsCopyWhatTheyAreGiven) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  Ref<VekSaveObject> save;
  ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatBinary, save.put()), Ok);
  Ref<VekDataObject> o;
  {
    std::string name = "temporary";
    std::string value = "value";
    const char* block[2] = {value.c_str(), value.c_str()};
    ASSERT_EQ(
        save->NewDataObject(kStringProperty, name.c_str(), nullptr, sizeof block, block, o.put()),
        Ok);
    name.assign(name.size(), 'x');
    value.assign(value.size(), 'y');
  }
  EXPECT_EQ(NameOf(o.get()), "temporary");
  uint32_t size;
  const void* data;
  ASSERT_EQ(o->ReadData("value", &size, &data), Ok);
  EXPECT_STREQ(ValueAt<const char*>(data, 0), "value");
}

TEST(VekWrite, BlocksMustMatchTheirTemplates) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  Ref<VekSaveObject> save;
  ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatText, save.put()), Ok);
  Ref<VekDataObject> o;
  uint32_t face[] = {3, 0, 1, 2};
  EXPECT_EQ(save->NewDataObject(kMeshFace, nullptr, nullptr, 12, face, o.put()), ErrVekBadData);
  EXPECT_EQ(save->NewDataObject(kMeshFace, nullptr, nullptr, 20, face, o.put()), ErrVekBadData);
  uint32_t huge[] = {0xFFFFFFFF, 0};
  EXPECT_EQ(save->NewDataObject(kMeshFace, nullptr, nullptr, 8, huge, o.put()), ErrVekBadData);
  const Guid unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(save->NewDataObject(unknown, nullptr, nullptr, 0, nullptr, o.put()),
            ErrVekUndefinedTemplate);
  EXPECT_EQ(save->NewDataObject(kMeshFace, nullptr, nullptr, 16, nullptr, o.put()), ErrInvalidCall);
  const Guid* ids[] = {&unknown};
  EXPECT_EQ(save->WriteTemplates(1, ids), ErrVekUndefinedTemplate);
  EXPECT_EQ(o.get(), nullptr);
}

TEST(VekWrite, ChildrenFollowTheTemplatesAndFormATree) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  Ref<VekSaveObject> save;
  ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatText, save.put()), Ok);
  Ref<VekDataObject> set, anim, frame, frame2, header;
  ASSERT_EQ(save->NewDataObject(kAnimationSet, nullptr, nullptr, 0, nullptr, set.put()), Ok);
  ASSERT_EQ(save->NewDataObject(kAnimation, nullptr, nullptr, 0, nullptr, anim.put()), Ok);
  ASSERT_EQ(save->NewDataObject(kFrame, "a", nullptr, 0, nullptr, frame.put()), Ok);
  ASSERT_EQ(save->NewDataObject(kFrame, "b", nullptr, 0, nullptr, frame2.put()), Ok);
  uint16_t h[4] = {1, 0, 0, 0};
  ASSERT_EQ(save->NewDataObject(kHeader, nullptr, nullptr, 8, h, header.put()), Ok);
  // A restricted template takes only the templates it names; a closed one takes nothing.
  EXPECT_EQ(set->AddChild(frame.get()), ErrVekBadChild);
  EXPECT_EQ(set->AddChild(anim.get()), Ok);
  EXPECT_EQ(header->AddChild(frame.get()), ErrVekBadChild);
  EXPECT_EQ(header->AddReference("a", nullptr), ErrVekBadChild);
  // No object gets two parents, and no cycle can be made.
  EXPECT_EQ(frame->AddChild(frame2.get()), Ok);
  EXPECT_EQ(frame2->AddChild(frame.get()), ErrVekBadChild);
  EXPECT_EQ(frame->AddChild(frame.get()), ErrVekBadChild);
  EXPECT_EQ(anim->AddChild(frame2.get()), ErrVekBadChild);
  EXPECT_EQ(anim->AddReference(nullptr, nullptr), ErrInvalidCall);
  // Children of objects being built can be walked; a reference seen so stays valid while more
  // are added, and resolves to nothing until the file is read.
  Ref<Unknown> child;
  ASSERT_EQ(anim->AddReference("a", nullptr), Ok);
  ASSERT_EQ(anim->NextChild(child.put()), Ok);
  Ref<VekReference> ref;
  ASSERT_EQ(child->QueryInterface(VekReference::kIid, reinterpret_cast<void**>(ref.put())), Ok);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(anim->AddReference("more", nullptr), Ok);
  EXPECT_EQ(NameOf(ref.get()), "a");
  Ref<VekDataObject> target;
  EXPECT_EQ(ref->Resolve(target.put()), ErrVekBadReference);
  auto setKids = DataChildren(set.get());
  ASSERT_EQ(setKids.size(), 1u);
  EXPECT_EQ(setKids[0].get(), anim.get());
  // Objects read from a file take no children.
  Ref<VekEnumeration> e;
  ASSERT_EQ(OpenBytes(file.get(), "vkf 0303txt 0032 Frame x {}", e.put()), Ok);
  auto top = TopLevel(e.get());
  EXPECT_EQ(top[0]->AddChild(frame.get()), ErrInvalidCall);
  EXPECT_EQ(frame->AddChild(top[0].get()), ErrVekBadChild);
  EXPECT_EQ(save->WriteObject(top[0].get()), ErrInvalidCall);
}

TEST(VekWrite, DepthIsBoundedOnBothSides) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  Ref<VekSaveObject> save;
  ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatBinary, save.put()), Ok);
  std::vector<Ref<VekDataObject>> chain(300);
  for (auto& f : chain)
    ASSERT_EQ(save->NewDataObject(kFrame, nullptr, nullptr, 0, nullptr, f.put()), Ok);
  size_t linked = 1;
  while (linked < chain.size() && Succeeded(chain[linked - 1]->AddChild(chain[linked].get())))
    ++linked;
  EXPECT_EQ(linked, 256u);
  EXPECT_EQ(save->WriteObject(chain[0].get()), Ok);
  save = Ref<VekSaveObject>();
  Ref<VekEnumeration> e;
  EXPECT_EQ(file->OpenEnumeration(tmp.path(), kVekSourceFile, e.put()), Ok);
  // One level more than the writer allows is refused by the reader (and does not exhaust the
  // stack however deep the input goes).
  std::string deep = "vkf 0303txt 0032\n";
  for (int i = 0; i < 100000; ++i) deep += "Frame {";
  EXPECT_EQ(OpenBytes(file.get(), deep, e.put()), ErrVekTooDeep);
}

TEST(VekWrite, CompressedFilesAreCompleteAfterEveryWrite) {
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  Ref<VekSaveObject> save;
  ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatTextCompressed, save.put()), Ok);
  Ref<VekEnumeration> e;
  ASSERT_EQ(file->OpenEnumeration(tmp.path(), kVekSourceFile, e.put()), Ok);
  for (int i = 0; i < 3; ++i) {
    Ref<VekDataObject> f;
    ASSERT_EQ(save->NewDataObject(kFrame, "f", nullptr, 0, nullptr, f.put()), Ok);
    ASSERT_EQ(save->WriteObject(f.get()), Ok);
    // Readable while the save object is still open.
    ASSERT_EQ(file->OpenEnumeration(tmp.path(), kVekSourceFile, e.put()), Ok);
    EXPECT_EQ(TopLevel(e.get()).size(), static_cast<size_t>(i + 1));
  }
}

TEST(VekWrite, SaveArgumentsAreChecked) {
  Ref<VekFile> file = NewVekFile();
  Ref<VekSaveObject> save;
  EXPECT_EQ(file->OpenSave("/nonexistent/dir/x.vkf", kVekFormatText, save.put()),
            ErrVekCannotCreateFile);
  EXPECT_EQ(file->OpenSave(nullptr, kVekFormatText, save.put()), ErrInvalidCall);
  TempFile tmp;
  EXPECT_EQ(file->OpenSave(tmp.path(), 4, save.put()), ErrInvalidCall);
  EXPECT_EQ(save.get(), nullptr);
}

}  // namespace
}  // namespace lyr::test

namespace lyr::test {
namespace {

// Arrays of counted elements (mesh faces) are checked and written as one run of values: every
// count must fit the block, and the block must end with the last element.
TEST(VekWrite, FaceRunsAreCheckedAndWrittenWhole) {
  struct Case {
    const char* name;
    std::vector<uint32_t> faces;  // nFaces and the faces
    LyrResult expected;
  };
  const Case cases[] = {
      {"triangle and quad", {2, 3, 0, 1, 2, 4, 0, 1, 2, 0}, Ok},
      {"no faces", {0}, Ok},
      {"count past the block", {2, 3, 0, 1, 2, 5, 0, 1, 2, 0}, ErrVekBadData},
      {"a face missing", {3, 3, 0, 1, 2, 4, 0, 1, 2, 0}, ErrVekBadData},
      {"bytes left over", {1, 3, 0, 1, 2, 7}, ErrVekBadData},
      {"a count too large for any block", {1, 0xFFFFFFFF, 0}, ErrVekBadData},
      {"a count cut off", {2, 3, 0, 1, 2}, ErrVekBadData},
  };
  Ref<VekFile> file = NewVekFile();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint32_t> block = {3, 0, 0, 0, 0x3F800000, 0, 0, 0, 0x3F800000, 0};
    block.insert(block.end(), c.faces.begin(), c.faces.end());
    for (uint32_t format : {kVekFormatBinary, kVekFormatText}) {
      TempFile tmp;
      {
        Ref<VekSaveObject> save;
        ASSERT_EQ(file->OpenSave(tmp.path(), format, save.put()), Ok);
        Ref<VekDataObject> mesh;
        ASSERT_EQ(
            save->NewDataObject(vekio::tid::kMesh, nullptr, nullptr,
                                static_cast<uint32_t>(block.size() * 4), block.data(), mesh.put()),
            c.expected);
        if (Failed(c.expected)) break;
        ASSERT_EQ(save->WriteObject(mesh.get()), Ok);
      }
      Ref<VekEnumeration> e;
      ASSERT_EQ(file->OpenEnumeration(tmp.path(), kVekSourceFile, e.put()), Ok);
      auto top = TopLevel(e.get());
      ASSERT_EQ(top.size(), 1u);
      uint32_t size;
      const void* data;
      ASSERT_EQ(top[0]->ReadData(nullptr, &size, &data), Ok);
      ASSERT_EQ(size, block.size() * 4);
      EXPECT_EQ(std::memcmp(data, block.data(), size), 0) << format;
    }
  }
}

TEST(VekWrite, BlocksOfManyMegabytesReadBackWhole) {
  // 2.4 MB of positions, then 4.8 MB of faces: the reader's block moves to blocks on large-page
  // boundaries at both steps, the second time with the positions in it.
  const uint32_t vertices = 200000, faces = 300000;
  std::vector<uint32_t> block = {vertices};
  uint32_t x = 12345;
  auto next = [&x] { return x = x * 1664525u + 1013904223u; };
  for (uint32_t i = 0; i < 3 * vertices; ++i)
    block.push_back(0x3F000000u | (next() >> 9));  // finite floats in [0.5, 1), every mantissa
  block.push_back(faces);
  for (uint32_t f = 0; f < faces; ++f)
    block.insert(block.end(), {3, next() % vertices, next() % vertices, next() % vertices});
  Ref<VekFile> file = NewVekFile();
  TempFile tmp;
  {
    Ref<VekSaveObject> save;
    ASSERT_EQ(file->OpenSave(tmp.path(), kVekFormatBinary, save.put()), Ok);
    Ref<VekDataObject> mesh;
    ASSERT_EQ(
        save->NewDataObject(vekio::tid::kMesh, nullptr, nullptr,
                            static_cast<uint32_t>(block.size() * 4), block.data(), mesh.put()),
        Ok);
    ASSERT_EQ(save->WriteObject(mesh.get()), Ok);
  }
  Ref<VekEnumeration> e;
  ASSERT_EQ(file->OpenEnumeration(tmp.path(), kVekSourceFile, e.put()), Ok);
  auto top = TopLevel(e.get());
  ASSERT_EQ(top.size(), 1u);
  uint32_t size;
  const void* data;
  ASSERT_EQ(top[0]->ReadData(nullptr, &size, &data), Ok);
  ASSERT_EQ(size, block.size() * 4);
  EXPECT_EQ(std::memcmp(data, block.data(), size), 0);
}

}  // namespace
}  // namespace lyr::test
