// The component's writing side: data objects built for saving and the save object that writes
// templates and objects in the four forms.
//
// Compressed forms are one zlib stream after the header. After every WriteTemplates and
// WriteObject the stream is flushed to a byte boundary and closed with an empty final block and
// the checksum; the next write starts over those nine closing bytes. The file on disk is thus
// complete after every successful call, and nothing is left to fail when the object is released.
#include <zlib.h>

#include <charconv>
#include <cstdio>

#include "document.h"
#include "layout.h"
#include "lexer.h"

namespace vek {

using lyr::ErrInvalidCall;
using lyr::Ok;

namespace {

// ---- Data objects built for saving -----------------------------------------------------------

class SaveNode final : public ComObject<SaveNode, lyr::VekDataObject> {
 public:
  struct Kid {
    SaveNode* node = nullptr;  // one reference held; null for a reference
    std::string name;
    bool hasName = false;
    bool hasId = false;
    Guid id{};
  };

  SaveNode(Registry* registry, const Template* t) : registry_(registry), t_(t) {
    registry->AddRef();
  }
  ~SaveNode() {
    for (Kid& k : kids_) {
      if (k.node) {
        k.node->parent_ = nullptr;
        k.node->Release();
      }
    }
    std::free(block_);
  }

  // Copies the block and the strings it points to; ErrVekBadData when the block does not match
  // the template.
  LyrResult SetData(const uint8_t* data, uint32_t size);
  void SetName(const char* name) {
    if (name) {
      name_ = name;
      hasName_ = true;
    }
  }
  void SetId(const Guid* id) {
    if (id) {
      id_ = *id;
      hasId_ = true;
    }
  }

  LyrResult LYR_CALL QueryInterface(const Guid& iid, void** out) override {
    if (out && iid == kIidSelf) {
      AddRef();
      *out = this;
      return Ok;
    }
    return ComObject::QueryInterface(iid, out);
  }
  LyrResult LYR_CALL ReadName(char* buffer, uint32_t* size) override {
    if (name_.size() >= UINT32_MAX) return lyr::ErrVekBadData;
    return CopyName(hasName_ ? name_.c_str() : nullptr, static_cast<uint32_t>(name_.size()), buffer,
                    size);
  }
  LyrResult LYR_CALL ReadId(Guid* out) override {
    if (!out) return ErrInvalidCall;
    if (!hasId_) return lyr::ErrVekNotFound;
    *out = id_;
    return Ok;
  }
  LyrResult LYR_CALL ReadData(const char* member, uint32_t* size, const void** data) override {
    return Guard([&] {
      if (!size || !data) return ErrInvalidCall;
      if (!member) {
        *size = size_;
        *data = block_;
        return Ok;
      }
      size_t offset, length;
      LyrResult r = FindMember(*t_, block_, size_, member, &offset, &length);
      if (r != Ok) return r;
      *size = static_cast<uint32_t>(length);
      *data = block_ + offset;
      return Ok;
    });
  }
  LyrResult LYR_CALL ReadTemplateId(const Guid** out) override {
    if (!out) return ErrInvalidCall;
    *out = &t_->id;
    return Ok;
  }
  LyrResult LYR_CALL NextChild(lyr::Unknown** out) override;
  LyrResult LYR_CALL AddChild(lyr::VekDataObject* child) override;
  LyrResult LYR_CALL AddReference(const char* name, const Guid* id) override {
    return Guard([&]() -> LyrResult {
      if (!name && !id) return ErrInvalidCall;
      if (t_->restriction == Restriction::kClosed) return lyr::ErrVekBadChild;
      Kid k;
      if (name) {
        k.name = name;
        k.hasName = true;
      }
      if (id) {
        k.hasId = true;
        k.id = *id;
      }
      kids_.push_back(std::move(k));
      return Ok;
    });
  }

  const Template& tmpl() const { return *t_; }
  const uint8_t* block() const { return block_; }
  uint32_t size() const { return size_; }
  const std::string* name() const { return hasName_ ? &name_ : nullptr; }
  const Guid* id() const { return hasId_ ? &id_ : nullptr; }
  const std::vector<Kid>& kids() const { return kids_; }

 private:
  SharedRef<Registry> registry_;
  const Template* t_;
  std::string name_;
  bool hasName_ = false;
  bool hasId_ = false;
  Guid id_{};
  uint8_t* block_ = nullptr;  // block followed by the strings it points to
  uint32_t size_ = 0;
  std::vector<Kid> kids_;
  SaveNode* parent_ = nullptr;  // not owned; cleared when the parent goes
  int height_ = 1;              // levels of objects from this one down
  size_t next_ = 0;             // NextChild cursor
};

// A reference added for saving, seen through NextChild. It names an object of a file not yet
// written, so it resolves to nothing.
class SavedReference final : public ComObject<SavedReference, lyr::VekReference> {
 public:
  // Kept by index: the owner's list may grow while this object lives.
  SavedReference(SaveNode* owner, size_t index) : owner_(owner), index_(index) { owner->AddRef(); }
  ~SavedReference() { owner_->Release(); }
  LyrResult LYR_CALL ReadName(char* buffer, uint32_t* size) override {
    const SaveNode::Kid& k = owner_->kids()[index_];
    return CopyName(k.hasName ? k.name.c_str() : nullptr, static_cast<uint32_t>(k.name.size()),
                    buffer, size);
  }
  LyrResult LYR_CALL ReadId(Guid* out) override {
    const SaveNode::Kid& k = owner_->kids()[index_];
    if (!out) return ErrInvalidCall;
    if (!k.hasId) return lyr::ErrVekNotFound;
    *out = k.id;
    return Ok;
  }
  LyrResult LYR_CALL Resolve(lyr::VekDataObject** out) override {
    if (!out) return ErrInvalidCall;
    *out = nullptr;
    return lyr::ErrVekBadReference;
  }

 private:
  SaveNode* owner_;
  size_t index_;
};

LyrResult SaveNode::NextChild(lyr::Unknown** out) {
  return Guard([&]() -> LyrResult {
    if (!out) return ErrInvalidCall;
    *out = nullptr;
    if (next_ >= kids_.size()) return lyr::ErrVekNoMoreObjects;
    const Kid& k = kids_[next_];
    if (k.node) {
      k.node->AddRef();
      *out = static_cast<lyr::VekDataObject*>(k.node);
    } else {
      *out = new SavedReference(this, next_);
    }
    ++next_;
    return Ok;
  });
}

LyrResult SaveNode::AddChild(lyr::VekDataObject* child) {
  return Guard([&]() -> LyrResult {
    if (!child) return ErrInvalidCall;
    // Room for one more before a reference is taken, so nothing below throws; grown
    // geometrically, since an exact reservation copies every child on each addition.
    if (kids_.size() == kids_.capacity()) kids_.reserve(kids_.empty() ? 4 : 2 * kids_.size());
    void* self = nullptr;
    if (child->QueryInterface(kIidSelf, &self) != Ok) return lyr::ErrVekBadChild;
    SaveNode* c = static_cast<SaveNode*>(self);
    // The extra reference from the query is the one the parent keeps, unless the child is
    // refused.
    auto refuse = [&](LyrResult r) {
      c->Release();
      return r;
    };
    if (!t_->Accepts(*c->t_)) return refuse(lyr::ErrVekBadChild);
    if (c->parent_) return refuse(lyr::ErrVekBadChild);
    int depth = 1;
    for (SaveNode* a = this; a; a = a->parent_, ++depth) {
      if (a == c) return refuse(lyr::ErrVekBadChild);  // would make a cycle
    }
    if (depth - 1 + c->height_ > kMaxObjectDepth) return refuse(lyr::ErrVekTooDeep);
    Kid k;
    k.node = c;
    kids_.push_back(std::move(k));
    c->parent_ = this;
    int h = c->height_ + 1;
    for (SaveNode* a = this; a && a->height_ < h; a = a->parent_, ++h) a->height_ = h;
    return Ok;
  });
}

// Checks a block against its template and measures its strings (a null one is written as an
// empty string and still takes a terminator).
struct BlockChecker : LayoutVisitor {
  static constexpr bool kFlat = true;
  size_t stringBytes = 0;
  bool Values(Kind k, const uint8_t* p, uint64_t n, uint32_t, int) {
    if (k != Kind::kString) return true;
    for (uint64_t i = 0; i < n; ++i) {
      const char* s;
      std::memcpy(&s, p + i * sizeof(s), sizeof(s));
      stringBytes += (s ? std::strlen(s) : 0) + 1;
    }
    return true;
  }
};

// Points the copied block's strings at the copies after it.
struct StringCopier : LayoutVisitor {
  static constexpr bool kFlat = true;
  const uint8_t* src;
  uint8_t* dst;
  char* strings;
  bool Values(Kind k, const uint8_t* p, uint64_t n, uint32_t, int) {
    if (k != Kind::kString) return true;
    for (uint64_t i = 0; i < n; ++i) {
      const char* s;
      std::memcpy(&s, p + i * sizeof(s), sizeof(s));
      const char* copy = strings;
      size_t len = s ? std::strlen(s) : 0;
      if (len) std::memcpy(strings, s, len);
      strings[len] = '\0';
      strings += len + 1;
      std::memcpy(dst + (p - src) + i * sizeof(s), &copy, sizeof(copy));
    }
    return true;
  }
};

LyrResult SaveNode::SetData(const uint8_t* data, uint32_t size) {
  BlockChecker check;
  size_t end = 0;
  LyrResult r = WalkLayout(*t_, data, size, &end, check);
  if (r != Ok) return r;
  if (end != size) return lyr::ErrVekBadData;
  size_t total = size_t{size} + check.stringBytes;
  block_ = static_cast<uint8_t*>(std::malloc(total ? total : 1));
  if (!block_) throw std::bad_alloc();
  if (size) std::memcpy(block_, data, size);
  size_ = size;
  if (check.stringBytes == 0) return Ok;  // no STRING member: nothing to point anywhere
  StringCopier copier;
  copier.src = data;
  copier.dst = block_;
  copier.strings = reinterpret_cast<char*>(block_ + size);
  WalkLayout(*t_, data, size, &end, copier);
  return Ok;
}

// ---- Output ------------------------------------------------------------------------------------

class SaveObject;

// Text form of names: a plain identifier when the name is one (and not a keyword), else quoted.
bool PlainName(std::string_view s) {
  if (s.empty()) return false;
  char c0 = s[0];
  if (!((c0 >= 'a' && c0 <= 'z') || (c0 >= 'A' && c0 <= 'Z') || c0 == '_')) return false;
  for (char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  }
  static const char* const kReserved[] = {"template", "array", "WORD",   "DWORD",
                                          "float",    "UCHAR", "STRING", "binary"};
  for (const char* k : kReserved) {
    if (s == k) return false;
  }
  return true;
}

void AppendQuoted(ByteBuffer& o, std::string_view s) {
  static const char kHex[] = "0123456789ABCDEF";
  o.Push('"');
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != 0x7F && c != '"' && c != '\\') continue;
    o.Append(s.data() + run, i - run);
    run = i + 1;
    o.Push('\\');
    switch (c) {
      case '"':
        o.Push('"');
        break;
      case '\\':
        o.Push('\\');
        break;
      case '\n':
        o.Push('n');
        break;
      case '\r':
        o.Push('r');
        break;
      case '\t':
        o.Push('t');
        break;
      default:
        o.Push('x');
        o.Push(static_cast<uint8_t>(kHex[c >> 4]));
        o.Push(static_cast<uint8_t>(kHex[c & 15]));
        break;
    }
  }
  o.Append(s.data() + run, s.size() - run);
  o.Push('"');
}

void AppendName(ByteBuffer& o, std::string_view s) {
  if (PlainName(s))
    o.Append(s.data(), s.size());
  else
    AppendQuoted(o, s);
}

void AppendGuid(ByteBuffer& o, const Guid& g) {
  char text[36];
  FormatGuidText(g, text);
  o.Push('<');
  o.Append(text, 36);
  o.Push('>');
}

void AppendIndent(ByteBuffer& o, int level) {
  uint8_t* p = o.Grow(2 * static_cast<size_t>(level));
  std::memset(p, ' ', 2 * static_cast<size_t>(level));
}

void Put16(ByteBuffer& o, uint16_t v) {
  uint8_t* p = o.Grow(2);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(ByteBuffer& o, uint32_t v) {
  uint8_t* p = o.Grow(4);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutBytesToken(ByteBuffer& o, uint16_t code, std::string_view s) {
  Put16(o, code);
  Put32(o, static_cast<uint32_t>(s.size()));
  o.Append(s.data(), s.size());
}
void PutGuid(ByteBuffer& o, const Guid& g) {
  Put16(o, code::kGuid);
  Put32(o, g.data1);
  Put16(o, g.data2);
  Put16(o, g.data3);
  o.Append(g.data4, 8);
}

const char* TypeKeyword(Kind k) {
  switch (k) {
    case Kind::kWord:
      return "WORD";
    case Kind::kDword:
      return "DWORD";
    case Kind::kFloat:
      return "float";
    case Kind::kUchar:
      return "UCHAR";
    default:
      return "STRING";
  }
}
uint16_t TypeCode(Kind k) {
  switch (k) {
    case Kind::kWord:
      return code::kWord;
    case Kind::kDword:
      return code::kDword;
    case Kind::kFloat:
      return code::kFloat;
    case Kind::kUchar:
      return code::kUchar;
    default:
      return code::kStringType;
  }
}

void TemplateText(ByteBuffer& o, const Template& t) {
  o.Append("template ", 9);
  o.Append(t.name.data(), t.name.size());
  o.Push(' ');
  AppendGuid(o, t.id);
  o.Append(" {\n", 3);
  for (const Member& m : t.members) {
    o.Append("  ", 2);
    if (m.array) o.Append("array ", 6);
    std::string_view type = m.kind == Kind::kTemplate ? std::string_view(m.type->name)
                                                      : std::string_view(TypeKeyword(m.kind));
    o.Append(type.data(), type.size());
    o.Push(' ');
    o.Append(m.name.data(), m.name.size());
    for (const Dim& d : m.dims) {
      o.Push('[');
      if (d.member >= 0) {
        const std::string& n = t.members[static_cast<size_t>(d.member)].name;
        o.Append(n.data(), n.size());
      } else {
        char buf[16];
        auto r = std::to_chars(buf, buf + sizeof(buf), d.fixed);
        o.Append(buf, static_cast<size_t>(r.ptr - buf));
      }
      o.Push(']');
    }
    o.Append(";\n", 2);
  }
  if (t.restriction == Restriction::kOpen) {
    o.Append("  [ ... ]\n", 10);
  } else if (t.restriction == Restriction::kRestricted) {
    o.Append("  [", 3);
    bool first = true;
    auto item = [&](std::string_view n, const Guid* id) {
      if (!first) o.Append(", ", 2);
      first = false;
      o.Append(n.data(), n.size());
      if (id) {
        o.Push(' ');
        AppendGuid(o, *id);
      }
    };
    for (const AllowedChild& a : t.allowed) item(a.name, a.hasId ? &a.id : nullptr);
    if (t.allowBinary) item("BINARY", nullptr);
    o.Append("]\n", 2);
  }
  o.Append("}\n\n", 3);
}

void TemplateBinary(ByteBuffer& o, const Template& t) {
  Put16(o, code::kTemplate);
  PutBytesToken(o, code::kName, t.name);
  PutGuid(o, t.id);
  Put16(o, code::kLBrace);
  for (const Member& m : t.members) {
    if (m.array) Put16(o, code::kArray);
    if (m.kind == Kind::kTemplate)
      PutBytesToken(o, code::kName, m.type->name);
    else
      Put16(o, TypeCode(m.kind));
    PutBytesToken(o, code::kName, m.name);
    for (const Dim& d : m.dims) {
      Put16(o, code::kLBracket);
      if (d.member >= 0) {
        PutBytesToken(o, code::kName, t.members[static_cast<size_t>(d.member)].name);
      } else {
        Put16(o, code::kInteger);
        Put32(o, d.fixed);
      }
      Put16(o, code::kRBracket);
    }
    Put16(o, code::kSemicolon);
  }
  if (t.restriction == Restriction::kOpen) {
    Put16(o, code::kLBracket);
    for (int i = 0; i < 3; ++i) Put16(o, code::kDot);
    Put16(o, code::kRBracket);
  } else if (t.restriction == Restriction::kRestricted) {
    Put16(o, code::kLBracket);
    bool first = true;
    for (const AllowedChild& a : t.allowed) {
      if (!first) Put16(o, code::kComma);
      first = false;
      PutBytesToken(o, code::kName, a.name);
      if (a.hasId) PutGuid(o, a.id);
    }
    if (t.allowBinary) {
      if (!first) Put16(o, code::kComma);
      PutBytesToken(o, code::kName, "BINARY");
    }
    Put16(o, code::kRBracket);
  }
  Put16(o, code::kRBrace);
}

// Output sink of one save: collects bytes and hands them to the file in large pieces.
class Sink {
 public:
  virtual LyrResult Flush() = 0;
  ByteBuffer out;
  LyrResult error = Ok;
  void MaybeFlush() {
    if (error == Ok && out.size() >= kFlushAt) error = Flush();
  }
  static constexpr size_t kFlushAt = size_t{1} << 20;

 protected:
  ~Sink() = default;
};

// Member values in the text form: one member per line, arrays of values wrapped, one element
// per line for arrays of templates.
struct TextValues : LayoutVisitor {
  Sink& sink;
  int indent;
  bool first = true;
  size_t lineStart = 0;
  TextValues(Sink& s, int level) : sink(s), indent(level) {}

  void NewLine() {
    sink.out.Push('\n');
    lineStart = sink.out.size();
    AppendIndent(sink.out, indent);
  }
  bool BeginMember(const Member&, int level, size_t) {
    if (level == 0) {
      lineStart = sink.out.size();
      AppendIndent(sink.out, indent);
      first = true;
    }
    return true;
  }
  bool EndMember(const Member&, int level, size_t) {
    if (level == 0) {
      sink.out.Append(";\n", 2);
      sink.MaybeFlush();
    }
    return sink.error == Ok;
  }
  bool BeginElement(int level) {
    if (level == 1 && !first) {
      sink.out.Push(',');
      NewLine();
      first = true;
    }
    return true;
  }
  bool Values(Kind k, const uint8_t* p, uint64_t n, uint32_t group, int level) {
    ByteBuffer& o = sink.out;
    uint32_t size = ScalarSize(k);
    for (uint64_t i = 0; i < n; ++i) {
      if (!first) {
        if (level > 0) {
          o.Push(' ');
        } else if (group > 1) {
          if (i % group == 0) {
            o.Push(',');
            NewLine();
          } else {
            o.Push(' ');
          }
        } else if (group == 1 && o.size() - lineStart > 96) {
          o.Push(',');
          NewLine();
        } else {
          o.Append(", ", 2);
        }
      }
      first = false;
      const uint8_t* v = p + i * size;
      if (k == Kind::kString) {
        const char* s;
        std::memcpy(&s, v, sizeof(s));
        AppendQuoted(o, s ? std::string_view(s) : std::string_view());
        continue;
      }
      char* w = reinterpret_cast<char*>(o.Grow(24));
      std::to_chars_result r;
      if (k == Kind::kFloat) {
        float f;
        std::memcpy(&f, v, 4);
        r = std::to_chars(w, w + 24, f);
      } else {
        r = std::to_chars(w, w + 24, ReadCount(k, v));
      }
      o.Truncate(o.size() - (24 - static_cast<size_t>(r.ptr - w)));
      if (group > 0 && (i & 0xFFFF) == 0xFFFF) {
        sink.MaybeFlush();
        if (sink.error != Ok) return false;
      }
    }
    return true;
  }
};

// Member values in the binary form: runs of integers and of floats as lists, strings alone.
struct BinaryValues : LayoutVisitor {
  static constexpr bool kFlat = true;
  ByteBuffer& o;
  uint16_t listCode = 0;
  size_t countAt = 0;
  uint32_t count = 0;
  explicit BinaryValues(ByteBuffer& out) : o(out) {}

  void Close() {
    if (!listCode) return;
    uint8_t* p = o.data() + countAt;
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(count >> (8 * i));
    listCode = 0;
  }
  void Open(uint16_t c) {
    if (listCode == c && count < UINT32_MAX / 2) return;
    Close();
    Put16(o, c);
    countAt = o.size();
    Put32(o, 0);
    listCode = c;
    count = 0;
  }
  bool Values(Kind k, const uint8_t* p, uint64_t n, uint32_t, int) {
    if (n == 0) return true;
    if (k == Kind::kString) {
      Close();
      for (uint64_t i = 0; i < n; ++i) {
        const char* s;
        std::memcpy(&s, p + i * sizeof(s), sizeof(s));
        PutBytesToken(o, code::kString, s ? std::string_view(s) : std::string_view());
      }
      return true;
    }
    Open(k == Kind::kFloat ? code::kFloatList : code::kIntegerList);
    if (k == Kind::kFloat || k == Kind::kDword) {
      o.Append(p, static_cast<size_t>(n) * 4);
    } else {
      for (uint64_t i = 0; i < n; ++i) Put32(o, ReadCount(k, p + i * ScalarSize(k)));
    }
    count += static_cast<uint32_t>(n);
    return true;
  }
};

void ObjectText(Sink& sink, const SaveNode& n, int level) {
  ByteBuffer& o = sink.out;
  AppendIndent(o, level);
  o.Append(n.tmpl().name.data(), n.tmpl().name.size());
  if (n.name()) {
    o.Push(' ');
    AppendName(o, *n.name());
  }
  if (n.id()) {
    o.Push(' ');
    AppendGuid(o, *n.id());
  }
  o.Append(" {\n", 3);
  TextValues values(sink, level + 1);
  size_t end;
  WalkLayout(n.tmpl(), n.block(), n.size(), &end, values);
  if (sink.error != Ok) return;
  for (const SaveNode::Kid& k : n.kids()) {
    if (k.node) {
      ObjectText(sink, *k.node, level + 1);
      if (sink.error != Ok) return;
      continue;
    }
    AppendIndent(o, level + 1);
    o.Append("{ ", 2);
    if (k.hasName) {
      AppendName(o, k.name);
      o.Push(' ');
    }
    if (k.hasId) {
      AppendGuid(o, k.id);
      o.Push(' ');
    }
    o.Append("}\n", 2);
  }
  AppendIndent(o, level);
  o.Append("}\n", 2);
  sink.MaybeFlush();
}

void ObjectBinary(Sink& sink, const SaveNode& n) {
  ByteBuffer& o = sink.out;
  PutBytesToken(o, code::kName, n.tmpl().name);
  if (n.name()) PutBytesToken(o, code::kName, *n.name());
  if (n.id()) PutGuid(o, *n.id());
  Put16(o, code::kLBrace);
  {
    BinaryValues values(o);
    size_t end;
    WalkLayout(n.tmpl(), n.block(), n.size(), &end, values);
    values.Close();
  }
  sink.MaybeFlush();
  if (sink.error != Ok) return;
  for (const SaveNode::Kid& k : n.kids()) {
    if (k.node) {
      ObjectBinary(sink, *k.node);
      if (sink.error != Ok) return;
      continue;
    }
    Put16(o, code::kLBrace);
    if (k.hasName) PutBytesToken(o, code::kName, k.name);
    if (k.hasId) PutGuid(o, k.id);
    Put16(o, code::kRBrace);
  }
  Put16(o, code::kRBrace);
}

class SaveObject final : public ComObject<SaveObject, lyr::VekSaveObject>, public Sink {
 public:
  SaveObject(Registry* registry, std::FILE* f, uint32_t format)
      : registry_(registry), f_(f), format_(format) {
    registry->AddRef();
  }
  ~SaveObject() {
    if (deflating_) deflateEnd(&z_);
    std::fclose(f_);
  }

  LyrResult Start() {
    char header[kHeaderSize];
    FormatHeader(format_, header);
    if (std::fwrite(header, 1, kHeaderSize, f_) != kHeaderSize) return lyr::ErrVekWriteFailed;
    if (compressed()) {
      if (deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return lyr::ErrOutOfMemory;
      deflating_ = true;
      static const uint8_t kZlibHeader[2] = {0x78, 0x9C};
      if (std::fwrite(kZlibHeader, 1, 2, f_) != 2) return lyr::ErrVekWriteFailed;
      end_ = kHeaderSize + 2;
      adler_ = adler32(0, nullptr, 0);
    }
    if (text()) out.Push('\n');
    return Finish();
  }

  LyrResult LYR_CALL WriteTemplates(uint32_t count, const Guid* const* ids) override {
    return Guard([&]() -> LyrResult {
      if (count && !ids) return ErrInvalidCall;
      if (error != Ok) return error;
      std::vector<const Template*> list;
      for (uint32_t i = 0; i < count; ++i) {
        if (!ids[i]) return ErrInvalidCall;
        const Template* t = registry_->templates.FindById(*ids[i]);
        if (!t) return lyr::ErrVekUndefinedTemplate;
        list.push_back(t);
      }
      for (const Template* t : list) Emit(*t);
      return Finish();
    });
  }

  LyrResult LYR_CALL NewDataObject(const Guid& templateId, const char* name, const Guid* id,
                                   uint32_t size, const void* data,
                                   lyr::VekDataObject** result) override {
    return Guard([&]() -> LyrResult {
      if (!result) return ErrInvalidCall;
      *result = nullptr;
      if (size && !data) return ErrInvalidCall;
      const Template* t = registry_->templates.FindById(templateId);
      if (!t) return lyr::ErrVekUndefinedTemplate;
      SaveNode* n = new SaveNode(registry_.get(), t);
      LyrResult r;
      try {
        n->SetName(name);
        n->SetId(id);
        r = n->SetData(static_cast<const uint8_t*>(data), size);
      } catch (...) {
        n->Release();
        throw;
      }
      if (r != Ok) {
        n->Release();
        return r;
      }
      *result = n;
      return Ok;
    });
  }

  LyrResult LYR_CALL WriteObject(lyr::VekDataObject* object) override {
    return Guard([&]() -> LyrResult {
      if (!object) return ErrInvalidCall;
      void* self = nullptr;
      if (object->QueryInterface(kIidSelf, &self) != Ok) return ErrInvalidCall;
      SaveNode* n = static_cast<SaveNode*>(self);
      n->Release();  // the caller's reference keeps it alive
      if (error != Ok) return error;
      if (text()) {
        ObjectText(*this, *n, 0);
        if (error == Ok) out.Push('\n');
      } else {
        ObjectBinary(*this, *n);
      }
      return Finish();
    });
  }

  // Sink: writes what is collected (for compressed forms: through deflate, then the closing
  // bytes after it).
  LyrResult Flush() override {
    if (!compressed()) {
      size_t n = out.size();
      if (n && std::fwrite(out.data(), 1, n, f_) != n) return lyr::ErrVekWriteFailed;
      out.Clear();
      return Ok;
    }
    adler_ = adler32_z(adler_, out.data(), out.size());
    z_.next_in = out.data();
    z_.avail_in = 0;
    size_t left = out.size();
    uint8_t buf[1 << 15];
    if (std::fseek(f_, static_cast<long>(end_), SEEK_SET) != 0) return lyr::ErrVekWriteFailed;
    for (;;) {
      if (z_.avail_in == 0 && left) {
        uInt step = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
        z_.avail_in = step;
        left -= step;
      }
      z_.next_out = buf;
      z_.avail_out = sizeof(buf);
      int r = deflate(&z_, left ? Z_NO_FLUSH : Z_SYNC_FLUSH);
      if (r != Z_OK && r != Z_BUF_ERROR) return lyr::ErrVekWriteFailed;
      size_t got = sizeof(buf) - z_.avail_out;
      if (got && std::fwrite(buf, 1, got, f_) != got) return lyr::ErrVekWriteFailed;
      end_ += got;
      if (!left && z_.avail_in == 0 && z_.avail_out != 0) break;
    }
    out.Clear();
    // An empty final stored block, then the checksum of everything so far.
    uint8_t tail[9] = {0x01,
                       0x00,
                       0x00,
                       0xFF,
                       0xFF,
                       static_cast<uint8_t>(adler_ >> 24),
                       static_cast<uint8_t>(adler_ >> 16),
                       static_cast<uint8_t>(adler_ >> 8),
                       static_cast<uint8_t>(adler_)};
    if (std::fwrite(tail, 1, sizeof(tail), f_) != sizeof(tail)) return lyr::ErrVekWriteFailed;
    return Ok;
  }

 private:
  bool compressed() const { return format_ >= 2; }
  bool text() const { return format_ == 1 || format_ == 3; }

  // Writes t's definition after those of the templates its members use, each once.
  void Emit(const Template& t) {
    if (written_.count(&t)) return;
    for (const Member& m : t.members) {
      if (m.kind == Kind::kTemplate) Emit(*m.type);
    }
    written_.insert(&t);
    if (text())
      TemplateText(out, t);
    else
      TemplateBinary(out, t);
  }

  LyrResult Finish() {
    if (error == Ok) error = Flush();
    if (error == Ok && std::fflush(f_) != 0) error = lyr::ErrVekWriteFailed;
    return error;
  }

  SharedRef<Registry> registry_;
  std::FILE* f_;
  uint32_t format_;
  std::unordered_set<const Template*> written_;
  z_stream z_{};
  bool deflating_ = false;
  size_t end_ = 0;  // where the closing bytes of a compressed stream start
  uLong adler_ = 0;
};

}  // namespace

LyrResult CreateSaveObject(Registry* registry, const char* fileName, uint32_t format,
                           lyr::VekSaveObject** out) {
  return Guard([&]() -> LyrResult {
    if (!out) return ErrInvalidCall;
    *out = nullptr;
    if (!fileName || format > 3) return ErrInvalidCall;
    std::FILE* f = std::fopen(fileName, "wb");
    if (!f) return lyr::ErrVekCannotCreateFile;
    SaveObject* s;
    try {
      s = new SaveObject(registry, f, format);
    } catch (...) {
      std::fclose(f);
      throw;
    }
    LyrResult r = s->Start();
    if (r != Ok) {
      s->Release();
      return r;
    }
    *out = s;
    return Ok;
  });
}

}  // namespace vek
