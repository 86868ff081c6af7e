// Malformed input: every fault gives its code when the enumeration is opened, and no input, cut
// or damaged anywhere, makes the reader crash or read past the bytes it was given.
#include <algorithm>
#include <cstring>
#include <random>

#include "vek_test_util.h"

namespace lyr::test {
namespace {

struct Case {
  const char* body;  // after a text header
  LyrResult expected;
};

TEST(VekMalformed, TextFaultsGiveTheirCodes) {
  const Case cases[] = {
      {"Unknown { }", ErrVekUndefinedTemplate},
      {"Vector { 1; 2; }", ErrVekBadData},
      {"Vector { 1; 2; 3; 4; }", ErrVekBadData},
      {"Vector { 1; 2; x3; }", ErrVekBadData},
      {"Vector { 1; 2; 3x; }", ErrVekBadData},
      {"Vector { 1; 2; 3;", ErrVekBadSyntax},
      {"Vector 1 { 1; 2; 3; }", ErrVekBadSyntax},
      {"MeshFace { 5; 1, 2; }", ErrVekBadData},
      {"MeshFace { 4294967295; }", ErrVekBadData},
      {"MeshFace { 4294967296; }", ErrVekBadData},
      {"MeshFace { -2147483649; }", ErrVekBadData},
      {"MeshFace { 3; 1, 2, 3.5; }", ErrVekBadData},
      {"Header { 65536; 0; 0; }", ErrVekBadData},
      {"Guid { 1; 2; 3; 1, 2, 3, 4, 5, 6, 7, 256; }", ErrVekBadData},
      {"TextureFilename { \"abc }", ErrVekBadSyntax},
      {"TextureFilename { \"a\\qb\"; }", ErrVekBadSyntax},
      {"TextureFilename { \"a\\x00b\"; }", ErrVekBadSyntax},
      {"TextureFilename { 12; }", ErrVekBadData},
      {"MeshMaterialList { 0; 0; Frame { } }", ErrVekBadChild},
      {"Header { 1; 0; 1; Frame { } }", ErrVekBadChild},
      {"Header { 1; 0; 1; { x } }", ErrVekBadChild},
      {"InlineData { Frame { } }", ErrVekBadChild},
      {"Frame { binary { 0 } }", ErrVekBadSyntax},
      {"Frame { binary { zz } }", ErrVekBadSyntax},
      {"Frame { { } }", ErrVekBadSyntax},
      {"Frame { { x <1-2> } }", ErrVekBadSyntax},
      {"Frame { 1; }", ErrVekBadData},
      {"Frame <12345678-1234> { }", ErrVekBadSyntax},
      {"Frame { } }", ErrVekBadSyntax},
      {"@", ErrVekBadSyntax},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { Frame f; }", ErrVekBadTemplate},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD a; array DWORD x[b]; }",
       ErrVekBadTemplate},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { float a; array DWORD x[a]; }",
       ErrVekBadTemplate},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { array DWORD x; }", ErrVekBadTemplate},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD a; DWORD a; }",
       ErrVekBadTemplate},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { Missing m; }", ErrVekUndefinedTemplate},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { [ ... ] DWORD a; }", ErrVekBadSyntax},
      {"template T { DWORD a; }", ErrVekBadSyntax},
      // Arrays whose dimensions multiply past 32 bits.
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD a; DWORD b; "
       "array UCHAR x[a][b]; } T { 65536; 65536; 0; }",
       ErrVekBadData},
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { array UCHAR x[65536][65536]; }",
       ErrVekBadTemplate},
      // A file may not redefine a template's identifier for another name.
      {"template T <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD a; } "
       "template U <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD a; }",
       ErrVekBadTemplate},
  };
  Ref<VekFile> file = NewVekFile();
  for (const Case& c : cases) {
    std::string bytes = std::string("vkf 0303txt 0032\n") + c.body;
    Ref<VekEnumeration> e;
    EXPECT_EQ(OpenBytes(file.get(), bytes, e.put()), c.expected) << c.body;
    EXPECT_EQ(e.get(), nullptr);
  }
}

TEST(VekMalformed, ReasonableTextIsAccepted) {
  const char* good[] = {
      "Vector { 1 2 3 }",
      "Vector{1;2;3}",
      "Vector {\n  1, // x\n  2, # y\n  /* z */ 3\n}",
      "Vector { +1; -2.5e0; .5 }",
      "Vector { inf; -inf; 1e-50 }",
      "MeshFace { 0; }",
      "MeshFace { 2; 0x10, -1 }",
      "Frame a <01020304-0506-0708-090A-0B0C0D0E0F10> { Frame b { } { a } { \"a\" } }",
      "Frame \"name with \\\"quotes\\\"\" { }",
      "template T <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD n; array Vector v[n][2]; }\n"
      "T { 1; 1 2 3 4 5 6 }",
      "template T <01020304-0506-0708-090A-0B0C0D0E0F10> { DWORD a; [ Frame, Vector ] }",
  };
  Ref<VekFile> file = NewVekFile();
  for (const char* g : good) {
    std::string bytes = std::string("vkf 0303txt 0032\n") + g;
    Ref<VekEnumeration> e;
    EXPECT_EQ(OpenBytes(file.get(), bytes, e.put()), Ok) << g;
  }
}

std::string Bin(std::initializer_list<uint32_t> words16) {
  std::string s = "vkf 0303bin 0032";
  for (uint32_t w : words16) {
    s.push_back(static_cast<char>(w & 0xFF));
    s.push_back(static_cast<char>(w >> 8));
  }
  return s;
}

TEST(VekMalformed, OnlyVersions0302And0303AreRead) {
  Ref<VekFile> file = NewVekFile();
  const struct {
    const char* version;
    bool known;
  } cases[] = {{"0302", true},  {"0303", true},  {"0300", false}, {"0301", false},
               {"0304", false}, {"0399", false}, {"0203", false}, {"0403", false},
               {"1303", false}, {"03 3", false}, {"03x2", false}};
  for (const auto& c : cases)
    for (const char* form : {"txt 0032", "bin 0064"}) {
      const std::string bytes = std::string("vkf ") + c.version + form;
      Ref<VekEnumeration> e;
      EXPECT_EQ(OpenBytes(file.get(), bytes, e.put()), c.known ? Ok : ErrVekBadFileHeader) << bytes;
    }
}

TEST(VekMalformed, BinaryAndCompressedFaultsGiveTheirCodes) {
  Ref<VekFile> file = NewVekFile();
  struct BinCase {
    std::string bytes;
    LyrResult expected;
  } cases[] = {
      {"", ErrVekBadFileHeader},
      {"vkf 0303txt 003", ErrVekBadFileHeader},
      {"vkf 0303xyz 0032", ErrVekBadFileHeader},
      {"vkf 0303txt 0016", ErrVekBadFileHeader},
      {"VKF 0303txt 0032", ErrVekBadFileHeader},
      {Bin({99}), ErrVekBadSyntax},
      {Bin({1}), ErrVekBadSyntax},
      {Bin({1, 100, 0}), ErrVekBadSyntax},  // a name longer than the data
      // Vector { int list [2] }: too few values
      {Bin({1, 6, 0, 'V' | 'e' << 8, 'c' | 't' << 8, 'o' | 'r' << 8, 10, 6, 2, 0, 1, 0, 2, 0, 11}),
       ErrVekBadData},
      // Vector { float list claiming 1000 values }
      {Bin({1, 6, 0, 'V' | 'e' << 8, 'c' | 't' << 8, 'o' | 'r' << 8, 10, 7, 1000, 0}),
       ErrVekBadSyntax},
      {"vkf 0303tzip0032garbage", ErrVekBadCompression},
      {"vkf 0303bzip0032", ErrVekBadCompression},
  };
  for (const BinCase& c : cases) {
    Ref<VekEnumeration> e;
    EXPECT_EQ(OpenBytes(file.get(), c.bytes, e.put()), c.expected) << c.bytes.size();
  }
  // A compressed file cut anywhere in its stream, or with anything after it.
  std::string text = ReadBytes(CorpusPath("scene.vkf"));
  LyrResult r;
  std::string packed = Convert(file.get(), text, kVekFormatTextCompressed, &r);
  ASSERT_EQ(r, Ok);
  for (size_t cut = 17; cut < packed.size(); cut += 7) {
    Ref<VekEnumeration> e;
    EXPECT_EQ(OpenBytes(file.get(), packed.substr(0, cut), e.put()), ErrVekBadCompression) << cut;
  }
  Ref<VekEnumeration> e;
  EXPECT_EQ(OpenBytes(file.get(), packed + "x", e.put()), ErrVekBadCompression);
}

// Opens exactly these bytes (in a block of their own size, so that any over-read is caught by
// the address checker) and walks whatever was read.
LyrResult OpenAndWalk(VekFile* file, const std::string& bytes) {
  std::vector<char> exact(bytes.begin(), bytes.end());
  VekMemorySource src{exact.empty() ? nullptr : exact.data(), exact.size()};
  Ref<VekEnumeration> e;
  LyrResult r = file->OpenEnumeration(&src, kVekSourceMemory, e.put());
  if (Failed(r)) return r;
  exact.clear();
  exact.shrink_to_fit();  // the enumeration needs nothing of the input
  std::vector<Ref<VekDataObject>> stack = TopLevel(e.get());
  while (!stack.empty()) {
    Ref<VekDataObject> o = stack.back();
    stack.pop_back();
    uint32_t size;
    const void* data;
    EXPECT_EQ(o->ReadData(nullptr, &size, &data), Ok);
    if (size) {
      volatile uint8_t last = static_cast<const uint8_t*>(data)[size - 1];
      (void)last;
    }
    for (auto& c : DataChildren(o.get())) stack.push_back(c);
  }
  return r;
}

TEST(VekMalformed, CutOrDamagedFilesNeverCrashOrOverRead) {
  Ref<VekFile> file = NewVekFileForCorpus();
  std::mt19937 rng(12345);
  for (const std::string& name : CorpusFiles()) {
    std::string original = ReadBytes(CorpusPath(name));
    std::vector<std::string> forms = {original};
    for (uint32_t f = 0; f < 4; ++f) {
      LyrResult r;
      forms.push_back(Convert(file.get(), original, f, &r, kCorpusTemplates));
      ASSERT_EQ(r, Ok) << name;
    }
    for (const std::string& bytes : forms) {
      SCOPED_TRACE(name + " " + bytes.substr(0, 16));
      ASSERT_EQ(OpenAndWalk(file.get(), bytes), Ok);
      // Every cut for small files, an even sample of about 400 for larger ones.
      size_t step = bytes.size() / 400 + 1;
      for (size_t cut = 0; cut < bytes.size(); cut += step)
        OpenAndWalk(file.get(), bytes.substr(0, cut));
      for (int i = 0; i < 300; ++i) {
        std::string damaged = bytes;
        size_t at = rng() % damaged.size();
        damaged[at] = static_cast<char>(rng() & 0xFF);
        if (i % 3 == 0) damaged[rng() % damaged.size()] ^= static_cast<char>(1u << (rng() % 8));
        OpenAndWalk(file.get(), damaged);
      }
    }
  }
}

// Binary tokens for hand-made inputs: a name, a brace, an integer list.
void PutName(std::string& s, const char* name) {
  const uint32_t n = static_cast<uint32_t>(std::strlen(name));
  s += std::string("\x01\x00", 2);
  s.append(reinterpret_cast<const char*>(&n), 4);
  s += name;
}
void PutList(std::string& s, const uint32_t* v, uint32_t n) {
  s += std::string("\x06\x00", 2);
  s.append(reinterpret_cast<const char*>(&n), 4);
  s.append(reinterpret_cast<const char*>(v), 4 * size_t{n});
}

TEST(VekMalformed, FaceRecordsSplitAnywhereAcrossIntegerListsReadAlike) {
  // Face records are taken whole from an integer list where they lie in it; every split of the
  // values into lists (inside a record too) must give the same block, and a count that asks for
  // more values than the input holds must fail.
  Ref<VekFile> file = NewVekFile();
  std::mt19937 rng(31);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    const uint32_t faces = rng() % 40;
    std::vector<uint32_t> values = {0, faces};  // no vertices, then the faces
    for (uint32_t f = 0; f < faces; ++f) {
      const uint32_t n = rng() % 6;
      values.push_back(n);
      for (uint32_t i = 0; i < n; ++i) values.push_back(rng());
    }
    const bool damaged = round % 5 == 4 && faces > 0;
    std::vector<uint32_t> written = values;
    if (damaged) written.resize(written.size() - 1 - rng() % 2);  // a record cut short
    std::string bytes = "vkf 0303bin 0032";
    PutName(bytes, "Mesh");
    bytes += std::string("\x0A\x00", 2);
    for (size_t at = 0; at < written.size();) {
      const size_t n = std::min<size_t>(written.size() - at, 1 + rng() % 9);
      PutList(bytes, written.data() + at, static_cast<uint32_t>(n));
      at += n;
    }
    bytes += std::string("\x0B\x00", 2);
    Ref<VekEnumeration> e;
    const LyrResult r = OpenBytes(file.get(), bytes, e.put());
    if (damaged) {
      EXPECT_NE(r, Ok);
      continue;
    }
    ASSERT_EQ(r, Ok);
    Ref<VekDataObject> mesh;
    ASSERT_EQ(e->NextTopLevelObject(mesh.put()), Ok);
    uint32_t size = 0;
    const void* data = nullptr;
    ASSERT_EQ(mesh->ReadData(nullptr, &size, &data), Ok);
    ASSERT_EQ(size, values.size() * 4);
    EXPECT_EQ(std::memcmp(data, values.data(), size), 0);
  }
}

}  // namespace
}  // namespace lyr::test
