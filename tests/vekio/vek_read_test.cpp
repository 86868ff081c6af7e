// Reading Vek files: objects in file order, names, identifiers, packed blocks, member parts,
// references, binary children, and the lifetime of what the reader hands out.
#include "vek_test_util.h"

namespace lyr::test {
namespace {

using vekio::tid::kFrame;
using vekio::tid::kMesh;

struct Opened {
  Ref<VekFile> file;
  Ref<VekEnumeration> e;
  std::vector<Ref<VekDataObject>> top;
};

Opened OpenCorpus(const std::string& name) {
  Opened o;
  o.file = NewVekFile();
  Ref<VekEnumeration> e;
  EXPECT_EQ(o.file->OpenEnumeration(CorpusPath(name).c_str(), kVekSourceFile, o.e.put()), Ok);
  if (o.e) o.top = TopLevel(o.e.get());
  return o;
}

const Guid& TemplateOf(VekDataObject* o) {
  const Guid* id = nullptr;
  EXPECT_EQ(o->ReadTemplateId(&id), Ok);
  return *id;
}

std::string Block(VekDataObject* o, const char* member = nullptr) {
  uint32_t size = 0;
  const void* data = nullptr;
  EXPECT_EQ(o->ReadData(member, &size, &data), Ok);
  return std::string(static_cast<const char*>(data), size);
}

TEST(VekRead, TopLevelObjectsComeInFileOrderWithTheirNames) {
  Opened o = OpenCorpus("scene.vkf");
  ASSERT_EQ(o.top.size(), 5u);
  EXPECT_EQ(TemplateOf(o.top[3].get()), kFrame);
  EXPECT_EQ(NameOf(o.top[3].get()), "Root");
  EXPECT_EQ(NameOf(o.top[0].get()), "");
  uint32_t size = 7;
  EXPECT_EQ(o.top[0]->ReadName(nullptr, &size), Ok);
  EXPECT_EQ(size, 0u);
  // A buffer too small gets nothing and learns the size needed.
  char small[3];
  size = sizeof small;
  EXPECT_EQ(o.top[3]->ReadName(small, &size), ErrVekBufferTooSmall);
  EXPECT_EQ(size, 5u);
  Ref<VekDataObject> none;
  EXPECT_EQ(o.e->NextTopLevelObject(none.put()), ErrVekNoMoreObjects);
  EXPECT_EQ(none.get(), nullptr);
}

TEST(VekRead, BlocksArePackedAsTheTemplatesSay) {
  Opened o = OpenCorpus("scene.vkf");
  // Header: WORD, WORD, DWORD without padding.
  std::string header = Block(o.top[0].get());
  ASSERT_EQ(header.size(), 8u);
  EXPECT_EQ(ValueAt<uint16_t>(header.data(), 0), 1);
  EXPECT_EQ(ValueAt<uint16_t>(header.data(), 2), 0);
  EXPECT_EQ(ValueAt<uint32_t>(header.data(), 4), 1u);

  auto rootKids = DataChildren(o.top[3].get());
  ASSERT_EQ(rootKids.size(), 2u);
  auto armKids = DataChildren(rootKids[1].get());
  ASSERT_EQ(armKids.size(), 2u);
  std::string matrix = Block(armKids[0].get());
  ASSERT_EQ(matrix.size(), 64u);
  EXPECT_EQ(ValueAt<float>(matrix.data(), 48), 0.5f);
  EXPECT_EQ(ValueAt<float>(matrix.data(), 52), -2.25f);
  EXPECT_EQ(ValueAt<float>(matrix.data(), 56), 1e-3f);

  VekDataObject* mesh = armKids[1].get();
  EXPECT_EQ(TemplateOf(mesh), kMesh);
  std::string m = Block(mesh);
  ASSERT_EQ(m.size(), 4u + 8 * 12 + 4 + 6 * 20);
  EXPECT_EQ(ValueAt<uint32_t>(m.data(), 0), 8u);
  EXPECT_EQ(ValueAt<float>(m.data(), 4 + 12 * 7 + 8), 1.0f);
  EXPECT_EQ(ValueAt<uint32_t>(m.data(), 100), 6u);
  EXPECT_EQ(ValueAt<uint32_t>(m.data(), 104 + 20 * 5), 4u);
  EXPECT_EQ(ValueAt<uint32_t>(m.data(), 104 + 20 * 5 + 16), 7u);
  // Member parts are the matching bytes of the block.
  EXPECT_EQ(Block(mesh, "nFaces"), m.substr(100, 4));
  EXPECT_EQ(Block(mesh, "faces"), m.substr(104));
  EXPECT_EQ(Block(mesh, "vertices"), m.substr(4, 96));
  uint32_t size;
  const void* data;
  EXPECT_EQ(mesh->ReadData("nothing", &size, &data), ErrVekNotFound);

  // A block with WORDs, nested templates and arrays of arrays.
  auto meshKids = DataChildren(mesh);
  ASSERT_EQ(meshKids.size(), 13u);
  std::string skinHeader = Block(meshKids[9].get());
  ASSERT_EQ(skinHeader.size(), 6u);
  EXPECT_EQ(ValueAt<uint16_t>(skinHeader.data(), 4), 2);
  std::string weights = Block(meshKids[10].get());
  ASSERT_EQ(weights.size(), sizeof(char*) + 4 + 8 + 8 + 64);
  EXPECT_STREQ(ValueAt<const char*>(weights.data(), 0), "Root");
  EXPECT_EQ(ValueAt<float>(weights.data(), sizeof(char*) + 4 + 8 + 4), 1.0f);
  std::string pm = Block(meshKids[12].get());
  EXPECT_EQ(pm.size(), 4u * (6 + 6 + 3 + 2));
}

TEST(VekRead, StringsComeBackUnescapedAndOwnedByTheObject) {
  Opened o = OpenCorpus("scene.vkf");
  auto kids = DataChildren(o.top[2].get());  // the material Red
  ASSERT_EQ(kids.size(), 1u);
  std::string block = Block(kids[0].get());
  ASSERT_EQ(block.size(), sizeof(char*));
  EXPECT_STREQ(ValueAt<const char*>(block.data(), 0), "C:\\textures\\red \"brick\".bmp");

  Opened l = OpenCorpus("loose.vkf");
  std::string url = Block(l.top[11].get());
  EXPECT_STREQ(ValueAt<const char*>(url.data(), 4 + sizeof(char*)), "tab\there and \x01 control");
}

TEST(VekRead, ReferencesResolveToNamedObjectsAnywhereInTheFile) {
  Opened o = OpenCorpus("scene.vkf");
  auto root = DataChildren(o.top[3].get());
  VekDataObject* arm = root[1].get();
  EXPECT_EQ(NameOf(arm), "Arm");
  Guid id;
  ASSERT_EQ(arm->ReadId(&id), Ok);
  EXPECT_EQ(id.data1, 0x11111111u);
  EXPECT_EQ(o.top[3]->ReadId(&id), ErrVekNotFound);

  // The Arm frame's last child is a reference to its own (nested, earlier) mesh; resolving it
  // twice walks the mesh's children from the first both times.
  Ref<Unknown> last;
  for (;;) {
    Ref<Unknown> c;
    if (Failed(arm->NextChild(c.put()))) break;
    last = c;
  }
  Ref<VekReference> ref;
  ASSERT_EQ(last->QueryInterface(VekReference::kIid, reinterpret_cast<void**>(ref.put())), Ok);
  Ref<VekDataObject> notData;
  EXPECT_EQ(last->QueryInterface(VekDataObject::kIid, reinterpret_cast<void**>(notData.put())),
            ErrNoInterface);
  EXPECT_EQ(NameOf(ref.get()), "Cube");
  for (int pass = 0; pass < 2; ++pass) {
    Ref<VekDataObject> cube;
    ASSERT_EQ(ref->Resolve(cube.put()), Ok);
    EXPECT_EQ(TemplateOf(cube.get()), kMesh);
    EXPECT_EQ(DataChildren(cube.get()).size(), 13u);
  }

  // Animations: one reference to a later frame; one naming an identifier no object has.
  auto anims = DataChildren(o.top[4].get());
  ASSERT_EQ(anims.size(), 2u);
  Ref<Unknown> first;
  ASSERT_EQ(anims[0]->NextChild(first.put()), Ok);
  ASSERT_EQ(first->QueryInterface(VekReference::kIid, reinterpret_cast<void**>(ref.put())), Ok);
  Ref<VekDataObject> target;
  ASSERT_EQ(ref->Resolve(target.put()), Ok);
  EXPECT_EQ(NameOf(target.get()), "Arm");
  ASSERT_EQ(anims[1]->NextChild(first.put()), Ok);
  ASSERT_EQ(first->QueryInterface(VekReference::kIid, reinterpret_cast<void**>(ref.put())), Ok);
  ASSERT_EQ(ref->ReadId(&id), Ok);
  EXPECT_EQ(id.data1, 0x33333333u);
  EXPECT_EQ(ref->Resolve(target.put()), ErrVekBadReference);
  EXPECT_EQ(target.get(), nullptr);
}

TEST(VekRead, BinaryChildrenAnswerNeitherObjectInterface) {
  Opened o = OpenCorpus("loose.vkf");
  VekDataObject* blob = o.top[12].get();
  EXPECT_EQ(NameOf(blob), "Blob");
  Ref<Unknown> c;
  ASSERT_EQ(blob->NextChild(c.put()), Ok);
  void* p = nullptr;
  EXPECT_EQ(c->QueryInterface(VekDataObject::kIid, &p), ErrNoInterface);
  EXPECT_EQ(c->QueryInterface(VekReference::kIid, &p), ErrNoInterface);
  Ref<VekBinaryData> bin;
  ASSERT_EQ(c->QueryInterface(VekBinaryData::kIid, reinterpret_cast<void**>(bin.put())), Ok);
  uint32_t size;
  const void* data;
  ASSERT_EQ(bin->ReadData(&size, &data), Ok);
  EXPECT_EQ(std::string(static_cast<const char*>(data), size),
            std::string("\x00\x01\xfe\xff\x7f", 5));
}

TEST(VekRead, FileTemplatesAndWideFloatsAreRead) {
  Opened o = OpenCorpus("loose.vkf");
  ASSERT_EQ(o.top.size(), 27u);
  std::string vec = Block(o.top[0].get());
  EXPECT_EQ(ValueAt<float>(vec.data(), 8), 3.125f);
  std::string keys = Block(o.top[9].get());
  EXPECT_EQ(ValueAt<float>(keys.data(), 4), 1.0e10f);
  EXPECT_EQ(ValueAt<float>(keys.data(), 12), 3.4028235e38f);
  // Extra: WORD w; UCHAR grid[2][3]; STRING tag; Vector path[w]
  std::string extra = Block(o.top[25].get());
  ASSERT_EQ(extra.size(), 2u + 6 + sizeof(char*) + 24);
  EXPECT_EQ(static_cast<uint8_t>(extra[2 + 5]), 255);
  EXPECT_STREQ(ValueAt<const char*>(extra.data(), 8), "mine");
  EXPECT_EQ(ValueAt<float>(extra.data(), 8 + sizeof(char*) + 20), 6.0f);
  EXPECT_EQ(Block(o.top[25].get(), "grid"), extra.substr(2, 6));
}

TEST(VekRead, EveryFormAndFloatWidthGivesTheSameObjects) {
  Ref<VekFile> file = NewVekFileForCorpus();
  auto same = [&](const char* a, const char* b) {
    std::string ca = Canonical(file.get(), ReadBytes(CorpusPath(a)));
    EXPECT_FALSE(ca.empty()) << a;
    EXPECT_EQ(ca, Canonical(file.get(), ReadBytes(CorpusPath(b)))) << a << " " << b;
  };
  same("mesh_bin32.vkf", "mesh_bin64.vkf");
  same("anim_bin64.vkf", "anim_bzip32.vkf");
  same("scene.vkf", "scene_tzip.vkf");

  Opened o = OpenCorpus("mesh_bin64.vkf");
  ASSERT_EQ(o.top.size(), 2u);
  std::string texture = Block(DataChildren(o.top[0].get())[0].get());
  EXPECT_STREQ(ValueAt<const char*>(texture.data(), 0), "C:\\a\\b.bmp");
  auto body = DataChildren(o.top[1].get());
  ASSERT_EQ(body.size(), 3u);
  std::string matrix = Block(body[0].get());
  EXPECT_EQ(ValueAt<float>(matrix.data(), 52), 20.0f);
  // The file's own template: WORD n; UCHAR cells[2][2]; Coords2d uv[n]; STRING label
  std::string tagged = Block(body[2].get());
  ASSERT_EQ(tagged.size(), 2u + 4 + 16 + sizeof(char*));
  EXPECT_EQ(ValueAt<uint16_t>(tagged.data(), 0), 2);
  EXPECT_EQ(tagged[5], 4);
  EXPECT_EQ(ValueAt<float>(tagged.data(), 6 + 12), 1.0f);
  EXPECT_STREQ(ValueAt<const char*>(tagged.data(), 22), "tag \"x\"");
}

TEST(VekRead, AFileMayRedefineATemplateForItselfOnly) {
  Ref<VekFile> file = NewVekFile();
  const std::string own =
      "vkf 0303txt 0032\n"
      "template Vector <3D82AB5E-62DA-11CF-AB39-0020AF71E433> { float x; float y; }\n"
      "Vector { 1; 2; }\n";
  Ref<VekEnumeration> e;
  ASSERT_EQ(OpenBytes(file.get(), own, e.put()), Ok);
  auto top = TopLevel(e.get());
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(Block(top[0].get()).size(), 8u);
  ASSERT_EQ(OpenBytes(file.get(), "vkf 0303txt 0032\nVector { 1; 2; 3; }", e.put()), Ok);
  top = TopLevel(e.get());
  EXPECT_EQ(Block(top[0].get()).size(), 12u);
}

TEST(VekRead, BlocksOutliveTheFileAndMayBeChangedInPlace) {
  Ref<VekDataObject> mesh;
  {
    Opened o = OpenCorpus("scene.vkf");
    auto root = DataChildren(o.top[3].get());
    mesh = DataChildren(root[1].get())[1];
  }
  uint32_t size;
  const void* data;
  ASSERT_EQ(mesh->ReadData(nullptr, &size, &data), Ok);
  float f = 42.0f;
  std::memcpy(static_cast<uint8_t*>(const_cast<void*>(data)) + 4, &f, 4);
  const void* again;
  ASSERT_EQ(mesh->ReadData(nullptr, &size, &again), Ok);
  EXPECT_EQ(again, data);
  EXPECT_EQ(ValueAt<float>(again, 4), 42.0f);
  EXPECT_EQ(DataChildren(mesh.get()).size(), 13u);
}

TEST(VekRead, MissingOrBadArgumentsGiveCodes) {
  Ref<VekFile> file = NewVekFile();
  Ref<VekEnumeration> e;
  EXPECT_EQ(file->OpenEnumeration("/nonexistent/dir/file.vkf", kVekSourceFile, e.put()),
            ErrVekFileNotFound);
  EXPECT_EQ(file->OpenEnumeration(nullptr, kVekSourceFile, e.put()), ErrInvalidCall);
  VekMemorySource src{"vkf 0303txt 0032", 16};
  EXPECT_EQ(file->OpenEnumeration(&src, 1, e.put()), ErrInvalidCall);
  EXPECT_EQ(file->OpenEnumeration(&src, kVekSourceMemory, nullptr), ErrInvalidCall);
  // An empty file of the right header holds no objects.
  ASSERT_EQ(file->OpenEnumeration(&src, kVekSourceMemory, e.put()), Ok);
  Ref<VekDataObject> o;
  EXPECT_EQ(e->NextTopLevelObject(o.put()), ErrVekNoMoreObjects);
}

}  // namespace
}  // namespace lyr::test
