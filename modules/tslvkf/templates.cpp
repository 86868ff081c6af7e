#include <zlib.h>

#include "vek_internal.h"

namespace vek {

using lyr::Ok;

bool Template::SameAs(const Template& o) const {
  if (name != o.name || !(id == o.id) || restriction != o.restriction ||
      allowBinary != o.allowBinary || members.size() != o.members.size() ||
      allowed.size() != o.allowed.size())
    return false;
  for (size_t i = 0; i < members.size(); ++i) {
    const Member& a = members[i];
    const Member& b = o.members[i];
    if (a.name != b.name || a.kind != b.kind || a.array != b.array ||
        a.dims.size() != b.dims.size())
      return false;
    if (a.kind == Kind::kTemplate && (a.type->name != b.type->name || !(a.type->id == b.type->id)))
      return false;
    for (size_t d = 0; d < a.dims.size(); ++d) {
      if (a.dims[d].fixed != b.dims[d].fixed || a.dims[d].member != b.dims[d].member) return false;
    }
  }
  for (size_t i = 0; i < allowed.size(); ++i) {
    if (allowed[i].name != o.allowed[i].name || allowed[i].hasId != o.allowed[i].hasId ||
        (allowed[i].hasId && !(allowed[i].id == o.allowed[i].id)))
      return false;
  }
  return true;
}

bool Template::Accepts(const Template& c) const {
  if (restriction == Restriction::kOpen) return true;
  if (restriction == Restriction::kClosed) return false;
  for (const AllowedChild& a : allowed) {
    if (a.name == c.name && (!a.hasId || a.id == c.id)) return true;
  }
  return false;
}

bool FinishTemplate(Template& t) {
  t.depth = 1;
  t.minScalars = 0;
  t.fixed = true;
  t.fixedBytes = 0;
  t.uniform = true;
  t.uniformCount = 0;
  bool haveKind = false;
  uint64_t bytes = 0;
  uint64_t scalars = 0;
  for (const Member& m : t.members) {
    uint64_t fixedCount = 1;
    bool dynamic = false;
    for (const Dim& d : m.dims) {
      if (d.member >= 0)
        dynamic = true;
      else
        fixedCount *= d.fixed;
      if (fixedCount > UINT32_MAX) return false;
    }
    Kind k = m.kind;
    uint64_t perScalars = 1, perBytes = ScalarSize(k);
    uint64_t perMin = 1;
    if (k == Kind::kTemplate) {
      const Template& s = *m.type;
      if (s.depth + 1 > t.depth) t.depth = s.depth + 1;
      perMin = s.minScalars;
      if (!s.fixed) t.fixed = false;
      perScalars = s.uniformCount;
      perBytes = s.fixedBytes;
      if (!s.uniform) {
        t.uniform = false;
      } else {
        k = s.uniformKind;
      }
    }
    if (dynamic) {
      t.fixed = false;
    } else {
      t.minScalars += fixedCount * perMin;
      scalars += fixedCount * perScalars;
      bytes += fixedCount * perBytes;
    }
    if (haveKind && k != t.uniformKind) t.uniform = false;
    t.uniformKind = k;
    haveKind = true;
  }
  if (t.depth > kMaxTemplateDepth) return false;
  if (!t.fixed || !haveKind || bytes > UINT32_MAX || scalars > UINT32_MAX) {
    t.uniform = false;
  }
  if (t.fixed) {
    if (bytes > UINT32_MAX) return false;
    t.fixedBytes = static_cast<uint32_t>(bytes);
  }
  if (t.uniform) t.uniformCount = static_cast<uint32_t>(scalars);
  if (t.minScalars > UINT32_MAX) t.minScalars = UINT32_MAX;
  t.counted = t.members.size() == 2 && IsInteger(t.members[0].kind) && !t.members[0].array &&
              t.members[1].kind == t.members[0].kind && t.members[1].array &&
              t.members[1].dims.size() == 1 && t.members[1].dims[0].member == 0;
  return true;
}

const Template* TemplateSet::FindByName(std::string_view name) const {
  auto it = byName_.find(name);
  if (it != byName_.end()) return it->second;
  return base_ ? base_->FindByName(name) : nullptr;
}

const Template* TemplateSet::FindById(const Guid& id) const {
  auto it = byId_.find(id);
  if (it != byId_.end()) return it->second;
  return base_ ? base_->FindById(id) : nullptr;
}

void TemplateSet::Insert(std::unique_ptr<Template> t) {
  const Template* p = t.get();
  list_.push_back(std::move(t));
  try {
    byName_.emplace(p->name, p);  // the key views the template's own name
    try {
      byId_.emplace(p->id, p);
    } catch (...) {
      byName_.erase(p->name);
      throw;
    }
  } catch (...) {
    t = std::move(list_.back());
    list_.pop_back();
    throw;
  }
}

LyrResult TemplateSet::Add(std::unique_ptr<Template> t) {
  auto own = byName_.find(t->name);
  if (own != byName_.end()) return own->second->SameAs(*t) ? Ok : lyr::ErrVekBadTemplate;
  // Another template of this set with the same identifier would make lookups by identifier
  // ambiguous.
  if (byId_.count(t->id)) return lyr::ErrVekBadTemplate;
  if (base_) {
    const Template* b = base_->FindByName(t->name);
    if (b && b->SameAs(*t)) return Ok;
    if (!shadow_ && (b || base_->FindById(t->id))) return lyr::ErrVekBadTemplate;
  }
  Insert(std::move(t));
  return Ok;
}

LyrResult TemplateSet::MergeInto(TemplateSet* target) {
  size_t moved = 0;
  try {
    for (auto& t : list_) {
      target->Insert(std::move(t));
      ++moved;
    }
  } catch (...) {
    // Take back what went over, so that the target is as it was.
    for (size_t i = moved; i-- > 0;) {
      std::unique_ptr<Template>& back = target->list_.back();
      target->byName_.erase(back->name);
      target->byId_.erase(back->id);
      list_[i] = std::move(back);
      target->list_.pop_back();
    }
    throw;
  }
  list_.clear();
  byName_.clear();
  byId_.clear();
  return Ok;
}

// ---- Identifiers ---------------------------------------------------------------------------

namespace {
int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool HexField(const char* p, int digits, uint32_t* out) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int h = Hex(p[i]);
    if (h < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(h);
  }
  *out = v;
  return true;
}
}  // namespace

bool ParseGuidText(const char* p, size_t n, Guid* out) {
  if (n < 36 || p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return false;
  Guid g{};
  uint32_t v;
  if (!HexField(p, 8, &v)) return false;
  g.data1 = v;
  if (!HexField(p + 9, 4, &v)) return false;
  g.data2 = static_cast<uint16_t>(v);
  if (!HexField(p + 14, 4, &v)) return false;
  g.data3 = static_cast<uint16_t>(v);
  static const int kPos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!HexField(p + kPos[i], 2, &v)) return false;
    g.data4[i] = static_cast<uint8_t>(v);
  }
  *out = g;
  return true;
}

void FormatGuidText(const Guid& g, char out[36]) {
  static const char kDigits[] = "0123456789ABCDEF";
  auto put = [&](int pos, uint32_t v, int digits) {
    for (int i = digits - 1; i >= 0; --i, v >>= 4) out[pos + i] = kDigits[v & 15];
  };
  put(0, g.data1, 8);
  out[8] = '-';
  put(9, g.data2, 4);
  out[13] = '-';
  put(14, g.data3, 4);
  out[18] = '-';
  put(19, g.data4[0], 2);
  put(21, g.data4[1], 2);
  out[23] = '-';
  for (int i = 0; i < 6; ++i) put(24 + 2 * i, g.data4[2 + i], 2);
}

// ---- Header and compression ----------------------------------------------------------------

LyrResult ParseHeader(const uint8_t* p, size_t n, Header* out) {
  if (n < kHeaderSize || std::memcmp(p, "vkf ", 4) != 0) return lyr::ErrVekBadFileHeader;
  // Version: major "03", minor "02" or "03"; no other version is known.
  if (std::memcmp(p + 4, "0302", 4) != 0 && std::memcmp(p + 4, "0303", 4) != 0)
    return lyr::ErrVekBadFileHeader;
  Header h;
  const char* form = reinterpret_cast<const char*>(p + 8);
  if (std::memcmp(form, "txt ", 4) == 0) {
    h.form = Form::kText;
  } else if (std::memcmp(form, "bin ", 4) == 0) {
    h.form = Form::kBinary;
  } else if (std::memcmp(form, "tzip", 4) == 0) {
    h.form = Form::kText;
    h.compressed = true;
  } else if (std::memcmp(form, "bzip", 4) == 0) {
    h.form = Form::kBinary;
    h.compressed = true;
  } else {
    return lyr::ErrVekBadFileHeader;
  }
  if (std::memcmp(p + 12, "0032", 4) == 0)
    h.doubles = false;
  else if (std::memcmp(p + 12, "0064", 4) == 0)
    h.doubles = true;
  else
    return lyr::ErrVekBadFileHeader;
  *out = h;
  return Ok;
}

void FormatHeader(uint32_t format, char out[16]) {
  static const char* const kForms[4] = {"bin ", "txt ", "bzip", "tzip"};
  std::memcpy(out, "vkf 0303", 8);
  std::memcpy(out + 8, kForms[format & 3], 4);
  std::memcpy(out + 12, "0032", 4);
}

LyrResult Inflate(const uint8_t* p, size_t n, ByteBuffer* out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return lyr::ErrOutOfMemory;
  struct End {
    z_stream* z;
    ~End() { inflateEnd(z); }
  } end{&z};
  size_t left = n;
  z.next_in = const_cast<Bytef*>(p);
  size_t chunk = n < (size_t{1} << 16) ? (size_t{1} << 16) : n;
  for (;;) {
    if (z.avail_in == 0 && left) {
      uInt step = left > 0x40000000u ? 0x40000000u : static_cast<uInt>(left);
      z.avail_in = step;
      left -= step;
    }
    if (out->size() >= kMaxInflatedSize) return lyr::ErrVekBadCompression;
    size_t room = chunk;
    if (room > kMaxInflatedSize - out->size()) room = kMaxInflatedSize - out->size();
    if (room > 0x40000000u) room = 0x40000000u;
    size_t at = out->size();
    z.next_out = out->Grow(room);
    z.avail_out = static_cast<uInt>(room);
    int r = inflate(&z, Z_NO_FLUSH);
    out->Truncate(at + (room - z.avail_out));
    if (r == Z_STREAM_END) {
      // Nothing may follow the stream.
      return (z.avail_in == 0 && left == 0) ? Ok : lyr::ErrVekBadCompression;
    }
    if (r == Z_MEM_ERROR) return lyr::ErrOutOfMemory;
    if (r != Z_OK && r != Z_BUF_ERROR) return lyr::ErrVekBadCompression;
    // No progress with all input consumed: the stream is truncated.
    if (r == Z_BUF_ERROR && z.avail_in == 0 && left == 0) return lyr::ErrVekBadCompression;
    if (z.avail_in == 0 && left == 0 && z.avail_out != 0) return lyr::ErrVekBadCompression;
    if (chunk < (size_t{1} << 26)) chunk *= 2;
  }
}

}  // namespace vek
