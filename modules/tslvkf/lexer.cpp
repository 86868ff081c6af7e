#include "lexer.h"

#include <charconv>

namespace vek {

using lyr::ErrVekBadData;
using lyr::ErrVekBadSyntax;
using lyr::Ok;

// ---- Text --------------------------------------------------------------------------------------

namespace {

bool IsIdentStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool IsIdentChar(char c) {
  return IsIdentStart(c) || (c >= '0' && c <= '9');
}
int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Keyword {
  const char* text;
  Tok kind;
};
constexpr Keyword kKeywords[] = {
    {"template", Tok::kTemplate}, {"array", Tok::kArray},     {"WORD", Tok::kWord},
    {"DWORD", Tok::kDword},       {"float", Tok::kFloatType}, {"UCHAR", Tok::kUchar},
    {"STRING", Tok::kStringType}, {"binary", Tok::kBinary},
};

// Parses an integer literal (decimal, or hexadecimal after 0x, with an optional sign) at [p, end);
// false when there is none or it does not fit 64 bits.
bool ParseInteger(const char*& p, const char* end, bool* negative, uint64_t* value) {
  const char* q = p;
  *negative = false;
  if (q < end && (*q == '-' || *q == '+')) {
    *negative = *q == '-';
    ++q;
  }
  uint64_t v = 0;
  if (end - q > 2 && q[0] == '0' && (q[1] == 'x' || q[1] == 'X') && HexDigit(q[2]) >= 0) {
    q += 2;
    const char* start = q;
    while (q < end && HexDigit(*q) >= 0) {
      if (q - start >= 16) return false;
      v = (v << 4) | static_cast<uint64_t>(HexDigit(*q++));
    }
  } else {
    const char* start = q;
    while (q < end && *q >= '0' && *q <= '9') {
      uint64_t d = static_cast<uint64_t>(*q - '0');
      if (v > (UINT64_MAX - d) / 10) return false;
      v = v * 10 + d;
      ++q;
    }
    if (q == start) return false;
  }
  p = q;
  *value = v;
  return true;
}

}  // namespace

void TextLexer::SkipBlanks(bool separators) {
  while (p_ < end_) {
    char c = *p_;
    if (c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\v') {
      ++p_;
    } else if (separators && (c == ',' || c == ';')) {
      ++p_;
    } else if (c == '#' || (c == '/' && end_ - p_ > 1 && p_[1] == '/')) {
      const void* nl = std::memchr(p_, '\n', static_cast<size_t>(end_ - p_));
      p_ = nl ? static_cast<const char*>(nl) + 1 : end_;
    } else if (c == '/' && end_ - p_ > 1 && p_[1] == '*') {
      const char* q = p_ + 2;
      while (q + 1 < end_ && !(q[0] == '*' && q[1] == '/')) ++q;
      p_ = q + 1 < end_ ? q + 2 : end_;
    } else {
      break;
    }
  }
}

bool TextLexer::AtDelimiter() const {
  if (p_ >= end_) return true;
  char c = *p_;
  return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\v' || c == ',' ||
         c == ';' || c == '}' || c == '{' || c == '#' || c == '/' || c == ']';
}

bool TextLexer::ConsumeIf(char c) {
  SkipBlanks(false);
  if (p_ < end_ && *p_ == c) {
    ++p_;
    return true;
  }
  return false;
}

LyrResult TextLexer::ReadQuoted(std::string_view* out) {
  // p_ is at the opening quote.
  ++p_;
  scratch_.clear();
  for (;;) {
    const char* start = p_;
    while (p_ < end_ && *p_ != '"' && *p_ != '\\' && *p_ != '\0') ++p_;
    scratch_.append(start, static_cast<size_t>(p_ - start));
    if (p_ >= end_ || *p_ == '\0') return ErrVekBadSyntax;
    if (*p_ == '"') {
      ++p_;
      break;
    }
    if (end_ - p_ < 2) return ErrVekBadSyntax;
    char e = p_[1];
    p_ += 2;
    switch (e) {
      case '\\':
        scratch_.push_back('\\');
        break;
      case '"':
        scratch_.push_back('"');
        break;
      case 'n':
        scratch_.push_back('\n');
        break;
      case 'r':
        scratch_.push_back('\r');
        break;
      case 't':
        scratch_.push_back('\t');
        break;
      case 'x': {
        if (end_ - p_ < 2) return ErrVekBadSyntax;
        int hi = HexDigit(p_[0]), lo = HexDigit(p_[1]);
        if (hi < 0 || lo < 0 || (hi | lo) == 0) return ErrVekBadSyntax;
        scratch_.push_back(static_cast<char>(hi * 16 + lo));
        p_ += 2;
        break;
      }
      default:
        return ErrVekBadSyntax;
    }
  }
  *out = scratch_;
  return Ok;
}

LyrResult TextLexer::Next(Token* t) {
  SkipBlanks(false);
  if (p_ >= end_) {
    t->kind = Tok::kEnd;
    return Ok;
  }
  char c = *p_;
  switch (c) {
    case '{':
      ++p_;
      t->kind = Tok::kLBrace;
      return Ok;
    case '}':
      ++p_;
      t->kind = Tok::kRBrace;
      return Ok;
    case '[':
      ++p_;
      t->kind = Tok::kLBracket;
      return Ok;
    case ']':
      ++p_;
      t->kind = Tok::kRBracket;
      return Ok;
    case ',':
      ++p_;
      t->kind = Tok::kComma;
      return Ok;
    case ';':
      ++p_;
      t->kind = Tok::kSemicolon;
      return Ok;
    case '"':
      t->kind = Tok::kString;
      return ReadQuoted(&t->text);
    case '<': {
      ++p_;
      SkipBlanks(false);
      if (end_ - p_ < 36 || !ParseGuidText(p_, 36, &t->guid)) return ErrVekBadSyntax;
      p_ += 36;
      SkipBlanks(false);
      if (p_ >= end_ || *p_ != '>') return ErrVekBadSyntax;
      ++p_;
      t->kind = Tok::kGuid;
      return Ok;
    }
    default:
      break;
  }
  if (c == '.' && !(end_ - p_ > 1 && p_[1] >= '0' && p_[1] <= '9')) {
    ++p_;
    t->kind = Tok::kDot;
    return Ok;
  }
  if (IsIdentStart(c)) {
    const char* start = p_;
    while (p_ < end_ && IsIdentChar(*p_)) ++p_;
    t->text = std::string_view(start, static_cast<size_t>(p_ - start));
    t->kind = Tok::kName;
    for (const Keyword& k : kKeywords) {
      if (t->text == k.text) t->kind = k.kind;
    }
    // "inf" and "nan" are values, but only where values are read; here they are names.
    return Ok;
  }
  if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') {
    const char* q = p_;
    bool negative;
    uint64_t v;
    if (ParseInteger(q, end_, &negative, &v) &&
        (q >= end_ || (*q != '.' && *q != 'e' && *q != 'E'))) {
      p_ = q;
      if (!AtDelimiter()) return ErrVekBadSyntax;
      t->kind = Tok::kInteger;
      t->value = (!negative && v <= UINT32_MAX) ? static_cast<uint32_t>(v) : UINT32_MAX;
      return Ok;
    }
    double d;
    const char* s = (c == '+') ? p_ + 1 : p_;
    auto r = std::from_chars(s, end_, d);
    if (r.ec != std::errc() && r.ec != std::errc::result_out_of_range) return ErrVekBadSyntax;
    p_ = r.ptr;
    if (!AtDelimiter()) return ErrVekBadSyntax;
    t->kind = Tok::kFloat;
    return Ok;
  }
  return ErrVekBadSyntax;
}

LyrResult TextLexer::ReadInts(Kind k, uint32_t n, uint8_t* out) {
  for (uint32_t i = 0; i < n; ++i) {
    SkipBlanks(true);
    bool negative;
    uint64_t v;
    if (!ParseInteger(p_, end_, &negative, &v) || !AtDelimiter()) return ErrVekBadData;
    switch (k) {
      case Kind::kDword: {
        if (negative ? v > 0x80000000u : v > 0xFFFFFFFFu) return ErrVekBadData;
        uint32_t x = negative ? static_cast<uint32_t>(0 - v) : static_cast<uint32_t>(v);
        std::memcpy(out + 4 * size_t{i}, &x, 4);
        break;
      }
      case Kind::kWord: {
        if (negative ? v > 0x8000u : v > 0xFFFFu) return ErrVekBadData;
        uint16_t x = static_cast<uint16_t>(negative ? 0 - v : v);
        std::memcpy(out + 2 * size_t{i}, &x, 2);
        break;
      }
      default: {
        if (negative ? v > 0x80u : v > 0xFFu) return ErrVekBadData;
        out[i] = static_cast<uint8_t>(negative ? 0 - v : v);
        break;
      }
    }
  }
  return Ok;
}

LyrResult TextLexer::ReadFloats(uint32_t n, uint8_t* out) {
  for (uint32_t i = 0; i < n; ++i) {
    SkipBlanks(true);
    const char* s = p_;
    if (s < end_ && *s == '+') ++s;
    float f;
    std::from_chars_result r;
    if (doubles_) {
      double d;
      r = std::from_chars(s, end_, d);
      f = static_cast<float>(d);
    } else {
      r = std::from_chars(s, end_, f);
    }
    // Out-of-range values read as infinity or zero of the right sign, as any text reader would.
    if (r.ec == std::errc::result_out_of_range) {
      double d = 0;
      r = std::from_chars(s, end_, d);
      f = static_cast<float>(d);
    }
    if (r.ec != std::errc()) return ErrVekBadData;
    p_ = r.ptr;
    if (!AtDelimiter()) return ErrVekBadData;
    std::memcpy(out + 4 * size_t{i}, &f, 4);
  }
  return Ok;
}

LyrResult TextLexer::ReadString(std::string_view* out) {
  SkipBlanks(true);
  if (p_ >= end_ || *p_ != '"') return ErrVekBadData;
  return ReadQuoted(out);
}

LyrResult TextLexer::ReadBlob(ByteBuffer* out) {
  if (!ConsumeIf('{')) return ErrVekBadSyntax;
  for (;;) {
    SkipBlanks(false);
    if (p_ >= end_) return ErrVekBadSyntax;
    if (*p_ == '}') {
      ++p_;
      return Ok;
    }
    if (end_ - p_ < 2) return ErrVekBadSyntax;
    int hi = HexDigit(p_[0]), lo = HexDigit(p_[1]);
    if (hi < 0 || lo < 0) return ErrVekBadSyntax;
    if (out->size() >= UINT32_MAX) return ErrVekBadData;
    out->Push(static_cast<uint8_t>(hi * 16 + lo));
    p_ += 2;
  }
}

// ---- Binary ------------------------------------------------------------------------------------

bool BinaryLexer::Read16(uint16_t* v) {
  if (end_ - p_ < 2) return false;
  *v = Load16(p_);
  p_ += 2;
  return true;
}

bool BinaryLexer::Read32(uint32_t* v) {
  if (end_ - p_ < 4) return false;
  *v = Load32(p_);
  p_ += 4;
  return true;
}

LyrResult BinaryLexer::Next(Token* t) {
  // A list that still holds values where a token is expected means surplus values.
  if (listLeft_) return ErrVekBadData;
  if (p_ >= end_) {
    t->kind = Tok::kEnd;
    return Ok;
  }
  uint16_t c;
  if (!Read16(&c)) return ErrVekBadSyntax;
  uint32_t n;
  switch (c) {
    case code::kName:
    case code::kString:
      if (!Read32(&n) || n > static_cast<size_t>(end_ - p_)) return ErrVekBadSyntax;
      t->text = std::string_view(reinterpret_cast<const char*>(p_), n);
      if (std::memchr(p_, 0, n)) return ErrVekBadSyntax;
      p_ += n;
      t->kind = c == code::kName ? Tok::kName : Tok::kString;
      return Ok;
    case code::kInteger:
      if (!Read32(&t->value)) return ErrVekBadSyntax;
      t->kind = Tok::kInteger;
      return Ok;
    case code::kGuid:
      if (end_ - p_ < 16) return ErrVekBadSyntax;
      t->guid = LoadGuid(p_);
      p_ += 16;
      t->kind = Tok::kGuid;
      return Ok;
    case code::kIntegerList:
    case code::kFloatList: {
      // Values where a structural token is expected: surplus values. The list is skipped over
      // only to report the right code.
      t->kind = Tok::kFloat;
      if (!Read32(&n)) return ErrVekBadSyntax;
      return ErrVekBadData;
    }
    case code::kBlob:
      if (!Read32(&n) || n > static_cast<size_t>(end_ - p_)) return ErrVekBadSyntax;
      blob_ = std::string_view(reinterpret_cast<const char*>(p_), n);
      p_ += n;
      t->kind = Tok::kBinary;
      return Ok;
    case code::kLBrace:
      t->kind = Tok::kLBrace;
      return Ok;
    case code::kRBrace:
      t->kind = Tok::kRBrace;
      return Ok;
    case code::kLBracket:
      t->kind = Tok::kLBracket;
      return Ok;
    case code::kRBracket:
      t->kind = Tok::kRBracket;
      return Ok;
    case code::kDot:
      t->kind = Tok::kDot;
      return Ok;
    case code::kComma:
      t->kind = Tok::kComma;
      return Ok;
    case code::kSemicolon:
      t->kind = Tok::kSemicolon;
      return Ok;
    case code::kTemplate:
      t->kind = Tok::kTemplate;
      return Ok;
    case code::kWord:
      t->kind = Tok::kWord;
      return Ok;
    case code::kDword:
      t->kind = Tok::kDword;
      return Ok;
    case code::kFloat:
      t->kind = Tok::kFloatType;
      return Ok;
    case code::kUchar:
      t->kind = Tok::kUchar;
      return Ok;
    case code::kStringType:
      t->kind = Tok::kStringType;
      return Ok;
    case code::kArray:
      t->kind = Tok::kArray;
      return Ok;
    default:
      return ErrVekBadSyntax;
  }
}

bool BinaryLexer::ConsumeIf(char c) {
  if (listLeft_ || end_ - p_ < 2) return false;
  uint16_t want = c == '['   ? code::kLBracket
                  : c == '{' ? code::kLBrace
                  : c == ';' ? code::kSemicolon
                             : 0;
  if (Load16(p_) != want) return false;
  p_ += 2;
  return true;
}

LyrResult BinaryLexer::NextList() {
  for (;;) {
    uint16_t c;
    if (!Read16(&c)) return ErrVekBadData;  // the data ends before the values do
    if (c == code::kComma || c == code::kSemicolon) continue;
    uint32_t n;
    if (c == code::kInteger) {
      if (end_ - p_ < 4) return ErrVekBadSyntax;
      listCode_ = code::kIntegerList;
      listLeft_ = 1;
      listP_ = p_;
      p_ += 4;
      return Ok;
    }
    if (c != code::kIntegerList && c != code::kFloatList) return ErrVekBadData;
    if (!Read32(&n)) return ErrVekBadSyntax;
    size_t width = (c == code::kFloatList && doubles_) ? 8 : 4;
    if (n > static_cast<size_t>(end_ - p_) / width) return ErrVekBadSyntax;
    listCode_ = c;
    listLeft_ = n;
    listP_ = p_;
    p_ += n * width;
    if (n) return Ok;
  }
}

LyrResult BinaryLexer::ReadIntsSlow(Kind k, uint32_t n, uint8_t* out) {
  while (n) {
    if (!listLeft_) {
      LyrResult r = NextList();
      if (r != Ok) return r;
    }
    if (listCode_ != code::kIntegerList) return ErrVekBadData;
    uint32_t m = n < listLeft_ ? n : listLeft_;
    if (k == Kind::kDword) {
      std::memcpy(out, listP_, 4 * size_t{m});
      out += 4 * size_t{m};
    } else {
      uint32_t limit = k == Kind::kWord ? 0xFFFFu : 0xFFu;
      for (uint32_t i = 0; i < m; ++i) {
        uint32_t v = Load32(listP_ + 4 * size_t{i});
        if (v > limit) return ErrVekBadData;
        if (k == Kind::kWord) {
          uint16_t w = static_cast<uint16_t>(v);
          std::memcpy(out, &w, 2);
          out += 2;
        } else {
          *out++ = static_cast<uint8_t>(v);
        }
      }
    }
    listP_ += 4 * size_t{m};
    listLeft_ -= m;
    n -= m;
  }
  return Ok;
}

LyrResult BinaryLexer::ReadFloatsSlow(uint32_t n, uint8_t* out) {
  while (n) {
    if (!listLeft_) {
      LyrResult r = NextList();
      if (r != Ok) return r;
    }
    uint32_t m = n < listLeft_ ? n : listLeft_;
    if (listCode_ == code::kFloatList && !doubles_) {
      std::memcpy(out, listP_, 4 * size_t{m});
      listP_ += 4 * size_t{m};
    } else if (listCode_ == code::kFloatList) {
      for (uint32_t i = 0; i < m; ++i) {
        double d;
        std::memcpy(&d, listP_ + 8 * size_t{i}, 8);
        float f = static_cast<float>(d);
        std::memcpy(out + 4 * size_t{i}, &f, 4);
      }
      listP_ += 8 * size_t{m};
    } else {
      // Integers given for floats take their signed value.
      for (uint32_t i = 0; i < m; ++i) {
        float f = static_cast<float>(static_cast<int32_t>(Load32(listP_ + 4 * size_t{i})));
        std::memcpy(out + 4 * size_t{i}, &f, 4);
      }
      listP_ += 4 * size_t{m};
    }
    out += 4 * size_t{m};
    listLeft_ -= m;
    n -= m;
  }
  return Ok;
}

LyrResult BinaryLexer::ReadString(std::string_view* out) {
  if (listLeft_) return ErrVekBadData;
  for (;;) {
    uint16_t c;
    if (!Read16(&c)) return ErrVekBadData;
    if (c == code::kComma || c == code::kSemicolon) continue;
    if (c != code::kString) return ErrVekBadData;
    break;
  }
  uint32_t n;
  if (!Read32(&n) || n > static_cast<size_t>(end_ - p_)) return ErrVekBadSyntax;
  if (std::memchr(p_, 0, n)) return ErrVekBadSyntax;
  *out = std::string_view(reinterpret_cast<const char*>(p_), n);
  p_ += n;
  return Ok;
}

LyrResult BinaryLexer::ReadBlob(ByteBuffer* out) {
  out->Append(blob_.data(), blob_.size());
  return Ok;
}

}  // namespace vek
