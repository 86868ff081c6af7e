// Reading a PMInfo image into a ProgressiveMesh, and writing a ProgressiveMesh as a Vek file or
// into a stream.
#include "pmesh/pmesh_file.h"

#include <cstdio>
#include <cstring>

#include "core/object_impl.h"
#include "platform/platform.h"
#include "pmesh/pmesh_build.h"
#include "vekio/mesh_write.h"
#include "vekio/vek_component.h"

namespace lyr {
namespace {

// Little-endian 32-bit words of an image, each read only after its place is known to lie inside.
class WordReader {
 public:
  WordReader(const void* image, uint32_t bytes)
      : p_(static_cast<const uint8_t*>(image)), words_(bytes / 4) {}
  // True when `count` more words lie inside the image.
  bool Has(uint64_t count) const { return count <= words_ - at_; }
  bool Next(uint32_t* v) {
    if (!Has(1)) return false;
    *v = Word(at_++);
    return true;
  }
  // The word `i` words ahead of the read position (which must lie inside).
  uint32_t Ahead(uint64_t i) const { return Word(at_ + i); }
  void Skip(uint64_t count) { at_ += count; }

 private:
  uint32_t Word(uint64_t i) const {
    const uint8_t* w = p_ + i * 4;
    return uint32_t(w[0]) | uint32_t(w[1]) << 8 | uint32_t(w[2]) << 16 | uint32_t(w[3]) << 24;
  }
  const uint8_t* p_;
  uint64_t words_;
  uint64_t at_ = 0;
};

// The image's contents, copied out of it.
struct ParsedImage {
  WorkVector<PMRange> ranges;
  WorkVector<VSplitRecord> splits;
  WorkVector<uint16_t> mispredicts;
  PMContents contents;
};

LyrResult ParseImage(const void* image, uint32_t bytes, ParsedImage* out) {
  WordReader w(image, bytes);
  uint32_t ranges = 0;
  if (!w.Next(&ranges) || !w.Has(6ull * ranges)) return ErrInvalidCall;
  out->ranges.resize(ranges);
  for (PMRange& g : out->ranges) {
    uint32_t row[6] = {};  // every word is inside: Has() checked the whole table
    for (uint32_t& v : row) w.Next(&v);
    g = {row[0], row[1], row[2], row[3], row[4], row[5]};
  }
  PMContents& c = out->contents;
  uint32_t splits = 0;
  if (!w.Next(&c.maxValence) || !w.Next(&c.minLogicalVertices) || !w.Next(&c.maxLogicalVertices) ||
      !w.Next(&splits) || !w.Has(3ull * splits))
    return ErrInvalidCall;
  out->splits.resize(splits);
  for (VSplitRecord& s : out->splits) {
    uint32_t face = 0, vlr = 0, code = 0;
    w.Next(&face);
    w.Next(&vlr);
    w.Next(&code);
    s = {face, static_cast<uint16_t>(vlr), static_cast<uint16_t>(code)};
  }
  uint32_t mispredicts = 0;
  if (!w.Next(&mispredicts) || !w.Has(mispredicts)) return ErrInvalidCall;
  for (uint32_t i = 0; i < mispredicts; ++i)
    if (w.Ahead(i) > 0xFFFF) return ErrInvalidCall;
  out->mispredicts.resize(mispredicts);
  for (uint16_t& m : out->mispredicts) {
    uint32_t v = 0;
    w.Next(&v);
    m = static_cast<uint16_t>(v);
  }
  c.ranges = out->ranges.data();
  c.rangeCount = ranges;
  c.splits = out->splits.data();
  c.splitCount = splits;
  c.mispredicts = out->mispredicts.data();
  c.mispredictCount = mispredicts;
  return Ok;
}

// Face slots beyond the base level that no sequence of the usable records could fill (each
// adds one or two faces) only make a larger mesh; a small image could ask for billions.
bool FaceSlotsReachable(const PMContents& c) {
  if (c.minLogicalVertices > c.maxLogicalVertices) return false;
  uint64_t added = 0;
  for (uint32_t k = 0; k < c.rangeCount; ++k)
    if (c.ranges[k].facesMax > c.ranges[k].facesMin)
      added += c.ranges[k].facesMax - c.ranges[k].facesMin;
  return added <= 2ull * (c.maxLogicalVertices - c.minLogicalVertices);
}

// The references and blocks one save holds, released on every path.
struct SaveData {
  void* image = nullptr;
  uint32_t imageBytes = 0;
  uint32_t* adjacency = nullptr;
  Ref<Mesh> base;
  SaveData() = default;
  SaveData(const SaveData&) = delete;
  SaveData& operator=(const SaveData&) = delete;
  ~SaveData() {
    Free(image);
    Free(adjacency);
  }
};

// A temporary file's name; the file is deleted when the name goes, once it has been made.
class TempFileName {
 public:
  TempFileName() = default;
  TempFileName(const TempFileName&) = delete;
  TempFileName& operator=(const TempFileName&) = delete;
  ~TempFileName() {
    if (made_) platform::DeleteFile(path_);
  }
  // Makes a new file with the prefix in the temporary folder, whose name must fit 260
  // characters with its terminator.
  bool Make(const char* prefix) {
    char dir[260];
    if (!platform::TempDirectory(dir, sizeof dir)) return false;
    made_ = platform::MakeTempFile(dir, prefix, path_, sizeof path_);
    return made_;
  }
  const char* path() const { return path_; }

 private:
  char path_[280] = {};
  bool made_ = false;
};

// Copies the file into the stream, kStreamChunkBytes at a time.
LyrResult CopyToStream(const char* path, OutputStream* stream) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return ErrFail;
  struct Close {
    std::FILE* f;
    ~Close() { std::fclose(f); }
  } close{f};
  uint8_t chunk[kStreamChunkBytes];
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, f);
    if (got == 0) return std::ferror(f) ? ErrFail : Ok;
    uint32_t written = 0;
    const LyrResult r = stream->Write(chunk, static_cast<uint32_t>(got), &written);
    if (Failed(r)) return r;
    if (written != got) return ErrFail;
  }
}

}  // namespace

LyrResult CreateProgressiveMeshFromData(Mesh* base, uint32_t options, const uint32_t* adjacency,
                                        const void* image, uint32_t imageBytes,
                                        ProgressiveMesh** out) {
  return Guard([&]() -> LyrResult {
    if (!base || !out || !image) return ErrInvalidCall;
    ParsedImage parsed;
    LyrResult r = ParseImage(image, imageBytes, &parsed);
    if (Failed(r)) return r;
    if (!FaceSlotsReachable(parsed.contents)) return ErrInvalidCall;
    Ref<ProgressiveMesh> made;
    if (Failed(r = CreateProgressiveMeshFromBase(base, options, adjacency, parsed.contents,
                                                 made.put())))
      return r;
    if (Failed(r = CheckEveryLevel(made.get()))) return r;
    *out = made.detach();
    return Ok;
  });
}

LyrResult WriteProgressiveMeshFile(const char* fileName, Mesh* base, const uint32_t* adjacency,
                                   const Material* materials, const EffectInstance* effects,
                                   uint32_t materialCount, uint32_t format, const void* image,
                                   uint32_t imageBytes) {
  return Guard([&]() -> LyrResult {
    if (!fileName || !base) return ErrInvalidCall;
    Ref<VekFile> file;
    LyrResult r = vekio::CreateVekFileWithTemplates(file.put());
    if (Failed(r)) return r;
    Ref<VekSaveObject> save;
    if (Failed(r = file->OpenSave(fileName, format, save.put()))) return r;
    namespace T = vekio::tid;
    const Guid* ids[] = {&T::kVertexDuplicationIndices,
                         &T::kFVFData,
                         &T::kVertexElement,
                         &T::kDeclData,
                         &T::kEffectParamFloats,
                         &T::kEffectParamString,
                         &T::kEffectParamDWord,
                         &T::kEffectInstance,
                         &T::kPMAttributeRange,
                         &T::kPMVSplitRecord,
                         &T::kPMInfo,
                         &T::kFaceAdjacency};
    if (Failed(r = save->WriteTemplates(image ? 12 : 8, ids))) return r;
    vekio::SaveStrings strings;
    Ref<VekDataObject> object;
    if (Failed(r = vekio::WriteMeshData({save.get(), format, &strings}, base, nullptr, adjacency,
                                        materials, effects, materialCount, image, imageBytes,
                                        object.put())))
      return r;
    return save->WriteObject(object.get());
  });
}

LyrResult SaveProgressiveToStream(ProgressiveMesh* mesh, OutputStream* stream,
                                  const Material* materials, const EffectInstance* effects,
                                  uint32_t materialCount) {
  if (!mesh || !stream || (materialCount && !materials && !effects)) return ErrInvalidCall;
  return Guard([&]() -> LyrResult {
    SaveData data;
    LyrResult r =
        mesh->BuildSaveData(&data.image, &data.imageBytes, &data.adjacency, data.base.put());
    if (Failed(r)) return r;
    TempFileName temp;
    if (!temp.Make("pmv")) return ErrFail;
    // The writer's objects are all released when it returns, so the file is complete and
    // closed before it is read.
    if (Failed(r = WriteProgressiveMeshFile(temp.path(), data.base.get(), data.adjacency, materials,
                                            effects, materialCount, kVekFormatBinary, data.image,
                                            data.imageBytes)))
      return r;
    return CopyToStream(temp.path(), stream);
  });
}

}  // namespace lyr
