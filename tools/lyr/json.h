// A small streaming JSON writer for the tool's --json output: two-space indentation, strings
// escaped so that any bytes (names read from files may hold any) give well-formed JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lyr::tool {

class JsonWriter {
 public:
  void BeginObject() { Open('{'); }
  void EndObject() { Close('}'); }
  void BeginArray() { Open('['); }
  void EndArray() { Close(']'); }
  // The member name of the next value (inside an object).
  void Key(const std::string& name);
  void String(const std::string& value);
  // A string, or null for a null pointer.
  void StringOrNull(const char* value);
  void Number(double value);  // null when not finite
  void Integer(uint64_t value);
  void Bool(bool value);
  void Null();

  // The document, ending in a newline once the outermost value is closed.
  const std::string& Text() const { return out_; }

  // `text` as a JSON string literal, quotes included. Bytes that do not form valid UTF-8 are
  // written as the code points of the same value (\u0080 to \u00FF), so the output is always
  // valid.
  static std::string Quote(const std::string& text);

 private:
  void BeforeValue();
  void Open(char bracket);
  void Close(char bracket);
  void NewLine();

  std::string out_;
  struct Level {
    bool empty = true;
  };
  std::vector<Level> levels_;
  bool afterKey_ = false;
};

}  // namespace lyr::tool
