// The component's reading objects: VekFile, the enumeration and the views over a parsed
// document (data objects, references, binary data). Every view holds a reference on the
// document, so blocks and names stay valid while any view lives.
#include <cstdio>
#include <memory>

#include "document.h"

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define VEK_MAPPED_FILES 1
#endif

namespace vek {

using lyr::ErrInvalidCall;
using lyr::Ok;

LyrResult CopyName(const char* name, uint32_t len, char* buffer, uint32_t* size) {
  if (!size) return ErrInvalidCall;
  uint32_t need = name ? len + 1 : 0;
  if (!buffer) {
    *size = need;
    return Ok;
  }
  if (*size < need) {
    *size = need;
    return lyr::ErrVekBufferTooSmall;
  }
  if (need) {
    std::memcpy(buffer, name, len);
    buffer[len] = '\0';
  }
  *size = need;
  return Ok;
}

namespace {

class DataView;

class ReferenceView final : public ComObject<ReferenceView, lyr::VekReference> {
 public:
  ReferenceView(Document* doc, const Child* c) : doc_(doc), c_(c) { doc->AddRef(); }
  LyrResult LYR_CALL ReadName(char* buffer, uint32_t* size) override {
    return CopyName(c_->name, c_->nameLen, buffer, size);
  }
  LyrResult LYR_CALL ReadId(Guid* out) override {
    if (!out) return ErrInvalidCall;
    if (!c_->hasId) return lyr::ErrVekNotFound;
    *out = c_->id;
    return Ok;
  }
  LyrResult LYR_CALL Resolve(lyr::VekDataObject** out) override;

 private:
  SharedRef<Document> doc_;
  const Child* c_;
};

class BinaryView final : public ComObject<BinaryView, lyr::VekBinaryData> {
 public:
  BinaryView(Document* doc, const Child* c) : doc_(doc), c_(c) { doc->AddRef(); }
  LyrResult LYR_CALL ReadData(uint32_t* size, const void** data) override {
    if (!size || !data) return ErrInvalidCall;
    *size = c_->size;
    *data = c_->bytes;
    return Ok;
  }

 private:
  SharedRef<Document> doc_;
  const Child* c_;
};

class DataView final : public ComObject<DataView, lyr::VekDataObject> {
 public:
  DataView(Document* doc, Node* node) : doc_(doc), node_(node) { doc->AddRef(); }

  LyrResult LYR_CALL ReadName(char* buffer, uint32_t* size) override {
    return CopyName(node_->name, node_->nameLen, buffer, size);
  }
  LyrResult LYR_CALL ReadId(Guid* out) override {
    if (!out) return ErrInvalidCall;
    if (!node_->hasId) return lyr::ErrVekNotFound;
    *out = node_->id;
    return Ok;
  }
  LyrResult LYR_CALL ReadData(const char* member, uint32_t* size, const void** data) override {
    return Guard([&] {
      if (!size || !data) return ErrInvalidCall;
      // An empty block still gets a valid address.
      static uint8_t empty[1];
      uint8_t* block = node_->block ? node_->block : empty;
      if (!member) {
        *size = node_->size;
        *data = block;
        return Ok;
      }
      size_t offset, length;
      LyrResult r = FindMember(*node_->tmpl, block, node_->size, member, &offset, &length);
      if (r != Ok) return r;
      *size = static_cast<uint32_t>(length);
      *data = block + offset;
      return Ok;
    });
  }
  LyrResult LYR_CALL ReadTemplateId(const Guid** out) override {
    if (!out) return ErrInvalidCall;
    *out = &node_->tmpl->id;
    return Ok;
  }
  LyrResult LYR_CALL NextChild(lyr::Unknown** out) override {
    return Guard([&]() -> LyrResult {
      if (!out) return ErrInvalidCall;
      *out = nullptr;
      if (next_ >= node_->childCount) return lyr::ErrVekNoMoreObjects;
      const Child& c = node_->children[next_];
      switch (c.kind) {
        case ChildKind::kObject:
          *out = static_cast<lyr::VekDataObject*>(new DataView(doc_.get(), c.node));
          break;
        case ChildKind::kReference:
          *out = new ReferenceView(doc_.get(), &c);
          break;
        case ChildKind::kBinary:
          *out = new BinaryView(doc_.get(), &c);
          break;
      }
      ++next_;
      return Ok;
    });
  }
  // Objects read from a file are complete: they take no further children.
  LyrResult LYR_CALL AddChild(lyr::VekDataObject*) override { return ErrInvalidCall; }
  LyrResult LYR_CALL AddReference(const char*, const Guid*) override { return ErrInvalidCall; }

 private:
  SharedRef<Document> doc_;
  Node* node_;
  uint32_t next_ = 0;
};

LyrResult ReferenceView::Resolve(lyr::VekDataObject** out) {
  return Guard([&]() -> LyrResult {
    if (!out) return ErrInvalidCall;
    *out = nullptr;
    if (!c_->node) return lyr::ErrVekBadReference;
    *out = new DataView(doc_.get(), c_->node);
    return Ok;
  });
}

class Enumeration final : public ComObject<Enumeration, lyr::VekEnumeration> {
 public:
  explicit Enumeration(Document* doc) : doc_(doc) { doc->AddRef(); }
  LyrResult LYR_CALL NextTopLevelObject(lyr::VekDataObject** out) override {
    return Guard([&]() -> LyrResult {
      if (!out) return ErrInvalidCall;
      *out = nullptr;
      if (next_ >= doc_->roots().size()) return lyr::ErrVekNoMoreObjects;
      *out = new DataView(doc_.get(), doc_->roots()[next_]);
      ++next_;
      return Ok;
    });
  }

 private:
  SharedRef<Document> doc_;
  size_t next_ = 0;
};

// A whole regular file mapped read-only for the length of one parse, so that the parser reads the
// page cache directly instead of a copy. Empty when the file cannot be mapped (then it is read).
class MappedFile {
 public:
  explicit MappedFile(const char* name) {
#if VEK_MAPPED_FILES
    const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) <= SIZE_MAX) {
      int flags = MAP_PRIVATE;
#if defined(MAP_POPULATE)
      flags |= MAP_POPULATE;  // the parser reads every page: map them all in one go
#endif
      void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, flags, fd, 0);
      if (p != MAP_FAILED) {
        data_ = static_cast<const uint8_t*>(p);
        size_ = static_cast<size_t>(st.st_size);
      }
    }
    ::close(fd);
#else
    (void)name;
#endif
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() {
#if VEK_MAPPED_FILES
    if (data_) ::munmap(const_cast<uint8_t*>(data_), size_);
#endif
  }
  const uint8_t* data() const {
    return data_;
  }
  size_t size() const {
    return size_;
  }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// Reads a whole file into memory.
LyrResult ReadFile(const char* name, ByteBuffer* out) {
  std::FILE* f = std::fopen(name, "rb");
  if (!f) return lyr::ErrVekFileNotFound;
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{f};
  for (;;) {
    constexpr size_t kStep = size_t{1} << 20;
    uint8_t* p = out->Grow(kStep);
    size_t got = std::fread(p, 1, kStep, f);
    out->Truncate(out->size() - (kStep - got));
    if (got < kStep) break;
  }
  return std::ferror(f) ? lyr::ErrVekFileNotFound : Ok;
}

class File final : public ComObject<File, lyr::VekFile> {
 public:
  File() : registry_(new Registry) {}

  LyrResult LYR_CALL OpenEnumeration(const void* source, uint32_t mode,
                                     lyr::VekEnumeration** out) override {
    return Guard([&]() -> LyrResult {
      if (!out) return ErrInvalidCall;
      *out = nullptr;
      if (!source) return ErrInvalidCall;
      ByteBuffer file;
      const uint8_t* data;
      size_t size;
      std::unique_ptr<MappedFile> mapped;
      if (mode == lyr::kVekSourceFile) {
        mapped.reset(new MappedFile(static_cast<const char*>(source)));
        if (mapped->data()) {
          data = mapped->data();
          size = mapped->size();
        } else {
          LyrResult r = ReadFile(static_cast<const char*>(source), &file);
          if (r != Ok) return r;
          data = file.data();
          size = file.size();
        }
      } else if (mode == lyr::kVekSourceMemory) {
        const auto* m = static_cast<const lyr::VekMemorySource*>(source);
        if (!m->data && m->size) return ErrInvalidCall;
        data = static_cast<const uint8_t*>(m->data);
        size = m->size;
      } else {
        return ErrInvalidCall;
      }
      SharedRef<Document> doc(new Document(registry_.get()));
      LyrResult r = doc->Parse(data, size);
      if (r != Ok) return r;
      *out = new Enumeration(doc.get());
      return Ok;
    });
  }

  LyrResult LYR_CALL OpenSave(const char* fileName, uint32_t format,
                              lyr::VekSaveObject** out) override {
    return CreateSaveObject(registry_.get(), fileName, format, out);
  }

  LyrResult LYR_CALL AddTemplates(const void* block, uint32_t size) override {
    return Guard([&]() -> LyrResult {
      if (!block) return ErrInvalidCall;
      TemplateSet added(&registry_->templates, false);
      LyrResult r = Document::ParseTemplates(static_cast<const uint8_t*>(block), size, &added);
      if (r != Ok) return r;
      return added.MergeInto(&registry_->templates);
    });
  }

 private:
  SharedRef<Registry> registry_;
};

}  // namespace

}  // namespace vek

extern "C" {
#if defined(_WIN32)
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
    LyrResult LYR_CALL OrvaneFileCreate(lyr::VekFile** out) {
  return vek::Guard([&]() -> LyrResult {
    if (!out) return lyr::ErrInvalidCall;
    *out = nullptr;
    *out = new vek::File();
    return lyr::Ok;
  });
}
}
