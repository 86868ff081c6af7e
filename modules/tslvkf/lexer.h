// The two token sources of the parser: text and binary. Both give the same structural tokens and
// read member values straight into a packed block; see docs/vek-format.md for both grammars.
#pragma once

#include "vek_internal.h"

namespace vek {

enum class Tok : uint8_t {
  kEnd,
  kName,
  kString,
  kInteger,
  kFloat,
  kGuid,
  kLBrace,
  kRBrace,
  kLBracket,
  kRBracket,
  kComma,
  kSemicolon,
  kDot,
  kTemplate,
  kArray,
  kWord,
  kDword,
  kFloatType,
  kUchar,
  kStringType,
  kBinary,  // a binary-data child: text keyword "binary" or the binary blob token
};

struct Token {
  Tok kind = Tok::kEnd;
  std::string_view text;  // kName, kString
  uint32_t value = 0;     // kInteger
  Guid guid{};            // kGuid
};

// Binary token codes.
namespace code {
inline constexpr uint16_t kName = 1;
inline constexpr uint16_t kString = 2;
inline constexpr uint16_t kInteger = 3;
inline constexpr uint16_t kGuid = 5;
inline constexpr uint16_t kIntegerList = 6;
inline constexpr uint16_t kFloatList = 7;
inline constexpr uint16_t kBlob = 8;
inline constexpr uint16_t kLBrace = 10;
inline constexpr uint16_t kRBrace = 11;
inline constexpr uint16_t kLBracket = 14;
inline constexpr uint16_t kRBracket = 15;
inline constexpr uint16_t kDot = 18;
inline constexpr uint16_t kComma = 19;
inline constexpr uint16_t kSemicolon = 20;
inline constexpr uint16_t kTemplate = 31;
inline constexpr uint16_t kWord = 40;
inline constexpr uint16_t kDword = 41;
inline constexpr uint16_t kFloat = 42;
inline constexpr uint16_t kUchar = 45;
inline constexpr uint16_t kStringType = 49;
inline constexpr uint16_t kArray = 52;
}  // namespace code

class TextLexer {
 public:
  TextLexer(const uint8_t* p, size_t n, bool doubles)
      : p_(reinterpret_cast<const char*>(p)), end_(p_ + n), doubles_(doubles) {}

  LyrResult Next(Token* t);
  // Skips blanks and comments; consumes c when it comes next.
  bool ConsumeIf(char c);
  // Bytes left: every value takes at least one.
  size_t Remaining() const { return static_cast<size_t>(end_ - p_); }

  LyrResult ReadInts(Kind k, uint32_t n, uint8_t* out);
  LyrResult ReadFloats(uint32_t n, uint8_t* out);
  LyrResult ReadString(std::string_view* out);
  // After the keyword "binary": "{ hex pairs }" into out.
  LyrResult ReadBlob(ByteBuffer* out);

 private:
  void SkipBlanks(bool separators);
  LyrResult ReadQuoted(std::string_view* out);
  bool AtDelimiter() const;

  const char* p_;
  const char* end_;
  bool doubles_;
  std::string scratch_;
};

class BinaryLexer {
 public:
  BinaryLexer(const uint8_t* p, size_t n, bool doubles) : p_(p), end_(p + n), doubles_(doubles) {}

  LyrResult Next(Token* t);
  bool ConsumeIf(char c);
  size_t Remaining() const { return static_cast<size_t>(end_ - p_) + listLeft_; }

  // The common case (32-bit values wholly inside the current list) is inline.
  LyrResult ReadInts(Kind k, uint32_t n, uint8_t* out) {
    if (k == Kind::kDword && listCode_ == code::kIntegerList && n <= listLeft_) {
      std::memcpy(out, listP_, 4 * size_t{n});
      listP_ += 4 * size_t{n};
      listLeft_ -= n;
      return lyr::Ok;
    }
    return ReadIntsSlow(k, n, out);
  }
  LyrResult ReadFloats(uint32_t n, uint8_t* out) {
    if (!doubles_ && listCode_ == code::kFloatList && n <= listLeft_) {
      std::memcpy(out, listP_, 4 * size_t{n});
      listP_ += 4 * size_t{n};
      listLeft_ -= n;
      return lyr::Ok;
    }
    return ReadFloatsSlow(n, out);
  }
  LyrResult ReadString(std::string_view* out);
  LyrResult ReadBlob(ByteBuffer* out);

  // The values left in the current integer list (none when no such list is open), for readers
  // that take whole records in place; SkipIntegers(n) consumes n <= *n of them.
  const uint8_t* IntegerRun(uint32_t* n) const {
    *n = listCode_ == code::kIntegerList ? listLeft_ : 0;
    return listP_;
  }
  void SkipIntegers(uint32_t n) {
    listP_ += 4 * size_t{n};
    listLeft_ -= n;
  }

 private:
  LyrResult ReadIntsSlow(Kind k, uint32_t n, uint8_t* out);
  LyrResult ReadFloatsSlow(uint32_t n, uint8_t* out);
  bool Read16(uint16_t* v);
  bool Read32(uint32_t* v);
  // Starts the next value token (skipping separators): an integer becomes a one-value list.
  LyrResult NextList();

  const uint8_t* p_;
  const uint8_t* end_;
  bool doubles_;
  uint16_t listCode_ = 0;  // kIntegerList or kFloatList while values are left
  uint32_t listLeft_ = 0;
  const uint8_t* listP_ = nullptr;
  std::string_view blob_;
};

}  // namespace vek
