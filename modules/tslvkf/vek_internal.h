// Shared pieces of the Vek file component: the object base, memory helpers, the template model
// and the registry. The component has its own allocation (plain operator new and malloc);
// allocation failures surface as std::bad_alloc and become ErrOutOfMemory at every boundary.
#pragma once

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "lyr/vekfile.h"

namespace vek {

using lyr::Guid;

// Deepest nesting of data objects in a file, and of template members inside templates. Both
// bound the recursion of the parser and the writer.
inline constexpr int kMaxObjectDepth = 256;
inline constexpr int kMaxTemplateDepth = 32;
// Members of one template that other members name as array dimensions.
inline constexpr int kMaxCountMembers = 16;
// Templates one restriction list may name.
inline constexpr size_t kMaxAllowedChildren = 256;
// Largest stream a compressed file may inflate to.
inline constexpr size_t kMaxInflatedSize =
    sizeof(void*) == 4 ? (size_t{512} << 20) : (size_t{1} << 30);

// Runs f (returning LyrResult) and turns any exception into a result code.
template <class F>
LyrResult Guard(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return lyr::ErrOutOfMemory;
  } catch (...) {
    return lyr::ErrFail;
  }
}

// Identifier only the component's save-side data objects answer to, with their implementation:
// lets AddChild and WriteObject recognise objects they can take.
inline constexpr Guid kIidSelf = {
    0x6F1A2C1F, 0x5B3E, 0x4D7A, {0x9C, 0x21, 0x0E, 0x5D, 0x8B, 0x3A, 0x7F, 0xFF}};

// Reference-counted object implementing Iface; Derived is made with new and destroyed by the
// last Release.
template <class Derived, class Iface>
class ComObject : public Iface {
 public:
  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (!out) return lyr::ErrInvalidCall;
    void* p = nullptr;
    if (iid == lyr::kIidUnknown || iid == Iface::kIid) p = static_cast<Iface*>(this);
    if (!p) {
      *out = nullptr;
      return lyr::ErrNoInterface;
    }
    ++refs_;
    *out = p;
    return lyr::Ok;
  }
  uint32_t LYR_CALL AddRef() override { return ++refs_; }
  uint32_t LYR_CALL Release() override {
    uint32_t n = --refs_;
    if (n == 0) delete static_cast<Derived*>(this);
    return n;
  }

 protected:
  ComObject() = default;
  ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  uint32_t refs_ = 1;
};

// Shared ownership for the component's internal (non-interface) objects.
class Shared {
 public:
  void AddRef() { ++refs_; }
  void Release() {
    if (--refs_ == 0) delete this;
  }

 protected:
  Shared() = default;
  virtual ~Shared() = default;

 private:
  uint32_t refs_ = 1;
};

template <class T>
class SharedRef {
 public:
  SharedRef() = default;
  explicit SharedRef(T* p) : p_(p) {}  // adopts
  SharedRef(const SharedRef& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  SharedRef& operator=(SharedRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~SharedRef() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

// Growable byte buffer over malloc/realloc (no zero-filling on growth).
// Asks for large pages under a large block (a parsed mesh's blocks run to tens of megabytes):
// fresh memory then costs one fault per large page instead of one per page. Only a hint.
inline constexpr size_t kLargePage = size_t{2} << 20;
inline void AdviseLarge(void* p, size_t n) {
#if defined(MADV_HUGEPAGE)
  constexpr uintptr_t kLarge = kLargePage;
  if (n < 2 * kLarge) return;
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kLarge - 1) & ~(kLarge - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kLarge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }
  uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  // Makes room for n more bytes and returns where they go.
  uint8_t* Grow(size_t n) {
    if (n > cap_ - size_) Reserve(size_ + n);
    uint8_t* p = data_ + size_;
    size_ += n;
    return p;
  }
  void Append(const void* p, size_t n) {
    if (n) std::memcpy(Grow(n), p, n);
  }
  void Push(uint8_t b) {
    if (size_ == cap_) Reserve(size_ + 1);
    data_[size_++] = b;
  }
  void Reserve(size_t total) {
    if (total <= cap_) return;
    size_t c = cap_ < 64 ? 64 : cap_;
    while (c < total) {
      if (c > SIZE_MAX / 2) {
        c = total;
        break;
      }
      c *= 2;
    }
    void* p = nullptr;
#if defined(MADV_HUGEPAGE)
    if (c >= 2 * kLargePage && c <= SIZE_MAX - kLargePage) {
      // A fresh block on large-page boundaries, advised before the old bytes are copied in:
      // realloc would copy them (and fault the new pages one small page at a time) before any
      // advice could be given.
      c = (c + kLargePage - 1) & ~(kLargePage - 1);
      p = std::aligned_alloc(kLargePage, c);
      if (!p) throw std::bad_alloc();
      AdviseLarge(p, c);
      if (size_) std::memcpy(p, data_, size_);
      std::free(data_);
    }
#endif
    if (!p) p = std::realloc(data_, c);
    if (!p) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    cap_ = c;
  }
  void Clear() { size_ = 0; }
  void Truncate(size_t n) {
    if (n < size_) size_ = n;
  }
  // Hands the bytes to the caller (free with std::free); the buffer is empty afterwards.
  uint8_t* Release() {
    uint8_t* p = data_;
    data_ = nullptr;
    size_ = cap_ = 0;
    return p;
  }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// Bump allocator whose blocks all go when it does.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    while (head_) {
      Chunk* next = head_->next;
      std::free(head_);
      head_ = next;
    }
  }
  void* Allocate(size_t n, size_t align = alignof(std::max_align_t)) {
    size_t at = (used_ + align - 1) & ~(align - 1);
    if (!head_ || at > avail_ || n > avail_ - at) {
      size_t want = n + align > kChunk ? n + align : kChunk;
      Chunk* c = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + want));
      if (!c) throw std::bad_alloc();
      c->next = head_;
      head_ = c;
      used_ = 0;
      avail_ = want;
      at = 0;  // chunk data is aligned to max_align_t
    }
    void* p = reinterpret_cast<uint8_t*>(head_ + 1) + at;
    used_ = at + n;
    return p;
  }
  // A zero-terminated copy of s.
  char* CopyString(std::string_view s) {
    char* p = static_cast<char*>(Allocate(s.size() + 1, 1));
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
  }
  template <class T>
  T* NewArray(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(Allocate(n * sizeof(T), alignof(T)));
  }

 private:
  struct alignas(std::max_align_t) Chunk {
    Chunk* next;
  };
  static constexpr size_t kChunk = 64 * 1024;
  Chunk* head_ = nullptr;
  size_t used_ = 0;
  size_t avail_ = 0;
};

// ---- Templates ---------------------------------------------------------------------------------

enum class Kind : uint8_t { kWord, kDword, kFloat, kUchar, kString, kTemplate };

inline constexpr uint32_t ScalarSize(Kind k) {
  switch (k) {
    case Kind::kWord:
      return 2;
    case Kind::kDword:
      return 4;
    case Kind::kFloat:
      return 4;
    case Kind::kUchar:
      return 1;
    case Kind::kString:
      return sizeof(const char*);
    default:
      return 0;
  }
}
inline constexpr bool IsInteger(Kind k) {
  return k == Kind::kWord || k == Kind::kDword || k == Kind::kUchar;
}

struct Template;

// One array dimension: a fixed count, or the value of an earlier integer member.
struct Dim {
  uint32_t fixed = 0;
  int member = -1;  // index of the member holding the count, or -1
};

struct Member {
  std::string name;
  Kind kind = Kind::kDword;
  const Template* type = nullptr;  // kTemplate only
  bool array = false;
  std::vector<Dim> dims;
  int countSlot = -1;  // slot holding this member's value when others use it as a dimension
};

enum class Restriction : uint8_t { kClosed, kOpen, kRestricted };

struct AllowedChild {
  std::string name;
  bool hasId = false;
  Guid id{};
};

struct Template {
  std::string name;
  Guid id{};
  std::vector<Member> members;
  Restriction restriction = Restriction::kClosed;
  std::vector<AllowedChild> allowed;  // kRestricted only
  bool allowBinary = false;
  // Derived when the definition is complete.
  int depth = 1;            // template nesting, 1 with scalar members only
  int countSlots = 0;       // members used as dimensions
  uint64_t minScalars = 0;  // values an instance holds at least
  bool fixed = false;       // every instance has the same layout
  uint32_t fixedBytes = 0;  // block size of one instance when fixed
  bool uniform = false;     // fixed, and every value is of the one kind below
  Kind uniformKind = Kind::kDword;
  uint32_t uniformCount = 0;  // values per instance when uniform
  // A count member followed by an array of that many values of the count's kind, and nothing
  // else (a mesh face): instances differ in size but hold values of one kind only.
  bool counted = false;

  // True when the two definitions agree in everything a reader or writer sees.
  bool SameAs(const Template& o) const;
  // True when a data object of template c may be a child of this template's objects.
  bool Accepts(const Template& c) const;
};

// Completes the derived fields; false when the template is unusable (too deep).
bool FinishTemplate(Template& t);

// A set of templates by name and identifier, optionally over a base set whose templates lookups
// fall through to. A shadowing set (a file's own templates over the registered ones) may
// redefine a base template's name; a non-shadowing one (a template block being registered)
// accepts only unchanged redefinitions of the base's templates.
class TemplateSet {
 public:
  explicit TemplateSet(const TemplateSet* base = nullptr, bool shadow = true)
      : base_(base), shadow_(shadow) {}
  const Template* FindByName(std::string_view name) const;
  const Template* FindById(const Guid& id) const;
  // Adds t (taking ownership). An unchanged redefinition of a known template succeeds without
  // change; one that differs, or a second template with the same identifier, gives
  // ErrVekBadTemplate.
  LyrResult Add(std::unique_ptr<Template> t);
  // Moves every template into target (all or none).
  LyrResult MergeInto(TemplateSet* target);
  size_t size() const { return list_.size(); }

 private:
  const TemplateSet* base_;
  bool shadow_;
  struct GuidHash {
    size_t operator()(const Guid& g) const {
      uint64_t h = g.data1 * 0x9E3779B97F4A7C15ull ^ (uint64_t{g.data2} << 16 | g.data3);
      for (uint8_t b : g.data4) h = (h ^ b) * 0x100000001B3ull;
      return static_cast<size_t>(h ^ (h >> 29));
    }
  };
  // Adds t to the lookups and the list; on failure nothing is left behind.
  void Insert(std::unique_ptr<Template> t);

  std::vector<std::unique_ptr<Template>> list_;
  std::unordered_map<std::string_view, const Template*> byName_;
  std::unordered_map<Guid, const Template*, GuidHash> byId_;
};

// The templates registered with one VekFile; documents and save objects share it.
class Registry : public Shared {
 public:
  TemplateSet templates;
};

// ---- Identifiers -----------------------------------------------------------------------------

bool ParseGuidText(const char* text, size_t n, Guid* out);
void FormatGuidText(const Guid& g, char out[36]);

inline uint16_t Load16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline Guid LoadGuid(const uint8_t* p) {
  Guid g;
  g.data1 = Load32(p);
  g.data2 = Load16(p + 4);
  g.data3 = Load16(p + 6);
  std::memcpy(g.data4, p + 8, 8);
  return g;
}

// ---- File header -------------------------------------------------------------------------------

inline constexpr size_t kHeaderSize = 16;
enum class Form : uint8_t { kText, kBinary };
struct Header {
  Form form = Form::kText;
  bool compressed = false;
  bool doubles = false;  // binary floats are 8 bytes
};
// Reads the 16-byte header; ErrVekBadFileHeader when it is not one.
LyrResult ParseHeader(const uint8_t* p, size_t n, Header* out);
// Writes the header of save format code 0 to 3.
void FormatHeader(uint32_t format, char out[16]);

// Inflates a compressed body (everything after the header) into out.
LyrResult Inflate(const uint8_t* p, size_t n, ByteBuffer* out);

}  // namespace vek
