// Progressive meshes through Vek files and streams: round trips in every file form, malformed
// information images, and the temporary file of a stream save on every path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "fault_injection.h"
#include "pm_test_util.h"
#include "pmesh/pmesh_file.h"

namespace lyr::test {
namespace {

namespace MO = MeshOptions;
constexpr uint32_t kSys = MO::IndexSystemMemory | MO::VertexSystemMemory;

// The information image of a grid description, as a file stores it.
std::vector<uint32_t> ImageOf(const PMGrid& g) {
  std::vector<uint32_t> w{uint32_t(g.ranges.size())};
  for (const PMRange& r : g.ranges)
    w.insert(w.end(),
             {r.faceOffset, r.facesMin, r.facesMax, r.vertexOffset, r.verticesMin, r.verticesMax});
  w.insert(w.end(), {g.maxValence, g.minLogical, g.maxLogical, uint32_t(g.splits.size())});
  for (const VSplitRecord& s : g.splits) w.insert(w.end(), {s.faceClw, s.vlrOffset, s.code});
  w.push_back(uint32_t(g.mispredicts.size()));
  w.insert(w.end(), g.mispredicts.begin(), g.mispredicts.end());
  return w;
}

std::string ReadFile(const std::string& path) {
  std::string s;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

// A private temporary folder for the test's saves; TMPDIR points there while it lives.
class TempFolder {
 public:
  TempFolder() {
    char pattern[] = "/tmp/pmvtestXXXXXX";
    path_ = mkdtemp(pattern);
    if (const char* old = std::getenv("TMPDIR")) old_ = old, hadOld_ = true;
    setenv("TMPDIR", path_.c_str(), 1);
  }
  ~TempFolder() {
    hadOld_ ? setenv("TMPDIR", old_.c_str(), 1) : unsetenv("TMPDIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  // Through std::filesystem, which reads folders with 64-bit inode numbers on 32-bit hosts too.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      names.push_back(e.path().filename().string());
    return names;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_, old_;
  bool hadOld_ = false;
};

std::vector<Material> Materials(uint32_t n) {
  std::vector<Material> m(n);
  for (uint32_t i = 0; i < n; ++i) m[i] = {{0.1f * i, 0.5f, 0.5f, 1}, {}, {}, {}, 4, nullptr};
  return m;
}

// ---- Round trips --------------------------------------------------------------------------------

struct TripCase {
  PMGridOptions grid;
  uint32_t options;
  int format;  // 0 to 3 through WriteProgressiveMeshFile, -1 through SaveToStream
  bool materials;
};

class PMeshFileTrip : public ::testing::TestWithParam<TripCase> {};

TEST_P(PMeshFileTrip, EveryLevelComesBack) {
  const TripCase& c = GetParam();
  GridPM g(c.grid, c.options);
  ASSERT_TRUE(g.pm);
  ProgressiveMesh* pm = g.pm.get();
  const uint32_t ranges = uint32_t(g.grid.ranges.size());
  const std::vector<Material> mats = Materials(ranges);
  const Material* m = c.materials ? mats.data() : nullptr;
  const uint32_t count = c.materials ? ranges : 0;
  // The saved object stands somewhere in the middle; saving leaves it there.
  ASSERT_EQ(pm->SetFaceCount((pm->GetMinFaceCount() + pm->GetMaxFaceCount()) / 2), Ok);
  const LevelShot before = Capture(pm);
  TempFolder temp;
  std::string bytes;
  if (c.format < 0) {
    MemoryStream stream;
    ASSERT_EQ(pm->SaveToStream(&stream, m, nullptr, count), Ok);
    EXPECT_LE(stream.largestChunk, kStreamChunkBytes);
    EXPECT_TRUE(temp.Files().empty());
    bytes = stream.bytes;
  } else {
    void* image = nullptr;
    uint32_t imageBytes = 0, *adjacency = nullptr;
    Ref<Mesh> base;
    ASSERT_EQ(pm->BuildSaveData(&image, &imageBytes, &adjacency, base.put()), Ok);
    const std::string path = temp.path() + "/pm.vkf";
    EXPECT_EQ(WriteProgressiveMeshFile(path.c_str(), base.get(), adjacency, m, nullptr, count,
                                       uint32_t(c.format), image, imageBytes),
              Ok);
    Free(image);
    Free(adjacency);
    bytes = ReadFile(path);
  }
  EXPECT_EQ(Capture(pm), before);

  Ref<ProgressiveMesh> back;
  ASSERT_EQ(LoadProgressive(bytes, g.device.get(), back.put()), Ok);
  EXPECT_EQ(back->GetMinFaceCount(), pm->GetMinFaceCount());
  EXPECT_EQ(back->GetMaxFaceCount(), pm->GetMaxFaceCount());
  EXPECT_EQ(back->GetMinVertexCount(), pm->GetMinVertexCount());
  EXPECT_EQ(back->GetMaxVertexCount(), pm->GetMaxVertexCount());
  PMSnapshot a, b;
  ASSERT_TRUE(ReadProgressiveSnapshot(pm, &a));
  ASSERT_TRUE(ReadProgressiveSnapshot(back.get(), &b));
  EXPECT_EQ(b.appliedSplits, 0u);
  EXPECT_EQ(std::vector<AttributeRange>(a.maximum, a.maximum + a.rangeCount),
            std::vector<AttributeRange>(b.maximum, b.maximum + b.rangeCount));
  ASSERT_EQ(a.splitCount, b.splitCount);
  for (uint32_t i = 0; i < a.splitCount; ++i)
    EXPECT_TRUE(a.splits[i].faceClw == b.splits[i].faceClw &&
                a.splits[i].vlrOffset == b.splits[i].vlrOffset &&
                a.splits[i].code == b.splits[i].code)
        << "record " << i;
  EXPECT_EQ(std::vector<uint16_t>(a.mispredicts, a.mispredicts + a.mispredictCount),
            std::vector<uint16_t>(b.mispredicts, b.mispredicts + b.mispredictCount));
  EXPECT_EQ(a.maxValence, b.maxValence);
  EXPECT_EQ(Sweep(back.get()), Sweep(pm));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PMeshFileTrip,
    ::testing::Values(TripCase{{4, 4, 40, 1, 1, true}, kSys, 0, false},
                      TripCase{{4, 4, 40, 1, 2, true}, kSys, 1, true},
                      TripCase{{5, 3, 50, 1, 3, true}, kSys, 2, true},
                      TripCase{{5, 3, 50, 1, 4, true}, kSys | MO::Index32, 3, false},
                      TripCase{{4, 5, 60, 1, 5, true}, kSys | MO::Index32, -1, true},
                      TripCase{{3, 3, 30, 1, 6, false}, kSys, -1, false},
                      TripCase{{3, 3, 0, 1, 7, true}, kSys, -1, true}));

// ---- Malformed images -------------------------------------------------------------------------

struct BadImage {
  const char* what;
  std::function<void(std::vector<uint32_t>&, const PMGrid&)> spoil;
};

// Word offsets in the image of a description.
size_t HeaderAt(const PMGrid& g) {
  return 1 + 6 * g.ranges.size();
}
size_t SplitsAt(const PMGrid& g) {
  return HeaderAt(g) + 4;
}
size_t MispredictsAt(const PMGrid& g) {
  return SplitsAt(g) + 3 * g.splits.size();
}

TEST(PMeshFileImage, MalformedImagesAreRefused) {
  const BadImage cases[] = {
      {"no ranges", [](auto& w, auto&) { w[0] = 0; }},
      {"ranges past the image", [](auto& w, auto&) { w[0] = 0xFFFFFFFFu; }},
      {"records past the image", [](auto& w, auto& g) { w[SplitsAt(g) - 1] = 0x20000000u; }},
      {"mispredicts past the image", [](auto& w, auto& g) { w[MispredictsAt(g)] += 1; }},
      {"mispredict above 16 bits", [](auto& w, auto& g) { w[MispredictsAt(g) + 1] = 0x10000; }},
      {"base faces above full", [](auto& w, auto&) { w[2] = w[3] + 1; }},
      {"overlapping ranges", [](auto& w, auto&) { w[7] = w[1]; }},
      {"range past the base vertices", [](auto& w, auto&) { w[4 + 6] += 1000; }},
      {"base faces not the base Mesh's", [](auto& w, auto&) { w[2] -= 1, w[3] -= 1; }},
      {"unreachable face slots", [](auto& w, auto& g) { w[6 * g.ranges.size() - 3] += 1000; }},
      {"logical counts reversed",
       [](auto& w, auto& g) { w[HeaderAt(g) + 1] = w[HeaderAt(g) + 2] + 1; }},
      {"more logical vertices than records",
       [](auto& w, auto& g) { w[HeaderAt(g) + 2] += uint32_t(g.splits.size()); }},
      {"no corner list", [](auto& w, auto& g) { w[HeaderAt(g)] = 0; }},
      {"first record's face past the level", [](auto& w, auto& g) { w[SplitsAt(g)] = 100000; }},
      {"first record's corner 3", [](auto& w, auto& g) { w[SplitsAt(g) + 2] |= 3; }},
      {"last record's face past the level",
       [](auto& w, auto& g) { w[MispredictsAt(g) - 3] = 100000; }},
      {"last record's walk too long", [](auto& w, auto& g) { w[MispredictsAt(g) - 2] = 60; }},
      {"mispredict naming no range",
       [](auto& w, auto& g) {
         for (size_t i = 1; i <= g.mispredicts.size(); ++i) w[MispredictsAt(g) + i] = 7;
       }},
  };
  // Three ranges with mispredicts, so that every check has something to find.
  GridPM g({4, 4, 40, 3, 11, true});
  ASSERT_TRUE(g.pm);
  ASSERT_GE(g.grid.mispredicts.size(), 2u);
  ASSERT_EQ(g.grid.minLogical + g.grid.splits.size(), g.grid.maxLogical);
  for (bool wide : {false, true}) {
    const uint32_t options = kSys | (wide ? MO::Index32 : 0);
    Ref<Mesh> base;
    ASSERT_EQ(MakeGridBase(g.grid, g.device.get(), options, base.put()), Ok);
    const auto load = [&](const std::vector<uint32_t>& w, size_t bytes) {
      // An exact-size copy, so that a read past the image is a read past the block.
      std::vector<uint8_t> image(reinterpret_cast<const uint8_t*>(w.data()),
                                 reinterpret_cast<const uint8_t*>(w.data()) + bytes);
      Ref<ProgressiveMesh> pm;
      const LyrResult r = CreateProgressiveMeshFromData(base.get(), options, g.grid.baseAdj.data(),
                                                        image.data(), uint32_t(bytes), pm.put());
      EXPECT_EQ(!pm, Failed(r));
      return r;
    };
    const std::vector<uint32_t> good = ImageOf(g.grid);
    ASSERT_EQ(load(good, good.size() * 4), Ok);
    std::vector<uint32_t> longer = good;
    longer.push_back(0xDEADBEEF);
    EXPECT_EQ(load(longer, longer.size() * 4 - 1), Ok) << "bytes past the image are ignored";
    for (size_t bytes = 0; bytes < good.size() * 4; ++bytes)
      ASSERT_EQ(load(good, bytes), ErrInvalidCall) << "truncated to " << bytes;
    for (const BadImage& c : cases) {
      std::vector<uint32_t> w = good;
      c.spoil(w, g.grid);
      EXPECT_EQ(load(w, w.size() * 4), ErrInvalidCall) << c.what;
    }
  }
  Ref<ProgressiveMesh> pm;
  const std::vector<uint32_t> good = ImageOf(g.grid);
  Ref<Mesh> base;
  ASSERT_EQ(MakeGridBase(g.grid, g.device.get(), kSys, base.put()), Ok);
  EXPECT_EQ(CreateProgressiveMeshFromData(base.get(), kSys | MO::Index32, g.grid.baseAdj.data(),
                                          good.data(), uint32_t(good.size() * 4), pm.put()),
            ErrInvalidCall)
      << "index width other than the base Mesh's";
  EXPECT_EQ(CreateProgressiveMeshFromData(base.get(), kSys, nullptr, nullptr, 0, pm.put()),
            ErrInvalidCall);
}

TEST(PMeshFileImage, NoSplitsGivesTheBaseMeshOnly) {
  GridPM g({3, 2, 0, 2, 1, true});
  ASSERT_TRUE(g.pm);
  Ref<Mesh> base;
  ASSERT_EQ(MakeGridBase(g.grid, g.device.get(), kSys, base.put()), Ok);
  const std::vector<uint32_t> image = ImageOf(g.grid);
  Ref<ProgressiveMesh> pm;
  ASSERT_EQ(CreateProgressiveMeshFromData(base.get(), kSys, g.grid.baseAdj.data(), image.data(),
                                          uint32_t(image.size() * 4), pm.put()),
            Ok);
  EXPECT_EQ(pm->GetMinFaceCount(), base->GetFaceCount());
  EXPECT_EQ(pm->GetMaxFaceCount(), base->GetFaceCount());
  EXPECT_EQ(pm->GetMinVertexCount(), pm->GetMaxVertexCount());
}

TEST(PMeshFileImage, AllocationFailuresLeaveNothing) {
  GridPM g({4, 4, 30, 2, 3, true});
  ASSERT_TRUE(g.pm);
  Ref<Mesh> base;
  ASSERT_EQ(MakeGridBase(g.grid, g.device.get(), kSys, base.put()), Ok);
  const std::vector<uint32_t> image = ImageOf(g.grid);
  ProgressiveMesh* pm = nullptr;
  const int points = ForEachAllocationFailure(
      [&] {
        pm = nullptr;
        return CreateProgressiveMeshFromData(base.get(), kSys, g.grid.baseAdj.data(), image.data(),
                                             uint32_t(image.size() * 4), &pm);
      },
      [&](LyrResult r) {
        EXPECT_EQ(pm != nullptr, Succeeded(r));
        SafeRelease(pm);
      });
  EXPECT_GT(points, 5);
}

// ---- Stream saves ------------------------------------------------------------------------------

TEST(PMeshFileStream, TemporaryFileNeverOutlivesTheCall) {
  // One range: the save keeps every vertex, which ranges sharing vertices would not allow.
  GridPM g({4, 4, 40, 1, 2, true});
  ASSERT_TRUE(g.pm);
  ProgressiveMesh* pm = g.pm.get();
  const std::vector<Material> mats = Materials(1);
  TempFolder temp;
  struct Case {
    const char* what;
    uint32_t limit;
    LyrResult failWith;
    uint32_t count;  // materials
    LyrResult expected;
  };
  const LyrResult kStreamCode = static_cast<LyrResult>(0x887612AAu);
  const Case cases[] = {
      {"short write", 100, Ok, 1, ErrFail},
      {"nothing taken", 0, Ok, 1, ErrFail},
      {"failing write", 0xFFFFFFFFu, kStreamCode, 1, kStreamCode},
      {"whole stream", 0xFFFFFFFFu, Ok, 1, Ok},
  };
  for (const Case& c : cases) {
    MemoryStream s;
    s.limit = c.limit;
    s.failWith = c.failWith;
    EXPECT_EQ(pm->SaveToStream(&s, mats.data(), nullptr, c.count), c.expected) << c.what;
    EXPECT_TRUE(temp.Files().empty()) << c.what;
    EXPECT_LE(s.largestChunk, kStreamChunkBytes) << c.what;
  }
  MemoryStream s;
  EXPECT_EQ(pm->SaveToStream(nullptr, nullptr, nullptr, 0), ErrInvalidCall);
  EXPECT_EQ(pm->SaveToStream(&s, nullptr, nullptr, 3), ErrInvalidCall);
  EXPECT_TRUE(s.bytes.empty());

  // Every allocation failing in turn: the code, nothing leaked, no file left behind.
  ForEachAllocationFailure([&] { return pm->SaveToStream(&s, mats.data(), nullptr, 1); },
                           [&](LyrResult) {
                             EXPECT_TRUE(temp.Files().empty());
                             s.bytes.clear();
                           });
}

TEST(PMeshFileStream, TemporaryFolderProblemsFail) {
  GridPM g({3, 3, 20, 1, 4, true});
  ASSERT_TRUE(g.pm);
  MemoryStream s;
  TempFolder temp;
  const std::string longName = temp.path() + "/" + std::string(270, 'd');
  for (const std::string& dir : {temp.path() + "/missing", longName}) {
    setenv("TMPDIR", dir.c_str(), 1);
    EXPECT_EQ(g.pm->SaveToStream(&s, nullptr, nullptr, 0), ErrFail) << dir;
  }
  setenv("TMPDIR", temp.path().c_str(), 1);
  EXPECT_TRUE(temp.Files().empty());
  EXPECT_TRUE(s.bytes.empty());
}

}  // namespace
}  // namespace lyr::test
