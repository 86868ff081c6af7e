#include "json.h"

#include <cmath>
#include <cstdio>

namespace lyr::tool {

namespace {

// The length of the valid UTF-8 sequence at s[i], or 0 when the bytes there do not form one
// (overlong forms, surrogates and values beyond U+10FFFF included).
size_t Utf8Length(const std::string& s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = byte(i);
  size_t n = 0;
  uint32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF)
    n = 2, cp = c & 0x1F;
  else if (c >= 0xE0 && c <= 0xEF)
    n = 3, cp = c & 0x0F;
  else if (c >= 0xF0 && c <= 0xF4)
    n = 4, cp = c & 0x07;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
    return 0;
  return n;
}

}  // namespace

std::string JsonWriter::Quote(const std::string& text) {
  std::string q = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char escape[8];
    if (c == '"' || c == '\\') {
      q += '\\';
      q += static_cast<char>(c);
    } else if (c == '\n') {
      q += "\\n";
    } else if (c == '\t') {
      q += "\\t";
    } else if (c == '\r') {
      q += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(escape, sizeof escape, "\\u%04X", c);
      q += escape;
    } else if (c < 0x80) {
      q += static_cast<char>(c);
    } else if (const size_t n = Utf8Length(text, i)) {
      q.append(text, i, n);
      i += n;
      continue;
    } else {
      std::snprintf(escape, sizeof escape, "\\u%04X", c);
      q += escape;
    }
    ++i;
  }
  return q + "\"";
}

void JsonWriter::NewLine() {
  out_ += '\n';
  out_.append(levels_.size() * 2, ' ');
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (levels_.empty()) return;
  if (!levels_.back().empty) out_ += ',';
  levels_.back().empty = false;
  NewLine();
}

void JsonWriter::Key(const std::string& name) {
  BeforeValue();
  out_ += Quote(name) + ": ";
  afterKey_ = true;
}

void JsonWriter::Open(char bracket) {
  BeforeValue();
  out_ += bracket;
  levels_.push_back({});
}

void JsonWriter::Close(char bracket) {
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty) NewLine();
  out_ += bracket;
  if (levels_.empty()) out_ += '\n';
}

void JsonWriter::String(const std::string& value) {
  BeforeValue();
  out_ += Quote(value);
}

void JsonWriter::StringOrNull(const char* value) {
  if (value)
    String(value);
  else
    Null();
}

void JsonWriter::Number(double value) {
  if (!std::isfinite(value)) return Null();
  BeforeValue();
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  out_ += text;
}

void JsonWriter::Integer(uint64_t value) {
  BeforeValue();
  out_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
  BeforeValue();
  out_ += value ? "true" : "false";
}

void JsonWriter::Null() {
  BeforeValue();
  out_ += "null";
}

}  // namespace lyr::tool
