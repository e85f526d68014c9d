#pragma once
// A small JSON text writer: objects, arrays, strings, numbers given as text, null.
// Commas and escaping are its business; the caller keeps keys and values paired.
#include <string>
#include <string_view>
#include <vector>

namespace tagris::cli {

// The text between the quotes of a JSON string: quote, backslash and control
// characters escaped; other bytes (UTF-8) pass as they are.
std::string JsonEscape(std::string_view text);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  // A number already written as JSON number text ("1.25", "-3").
  JsonWriter& Number(std::string_view text);
  JsonWriter& Integer(long long value);
  JsonWriter& Null();

  const std::string& Text() const { return out_; }

 private:
  void BeforeValue();

  std::string out_;
  std::vector<bool> empty_;  // per open container: nothing in it yet
  bool afterKey_ = false;
};

}  // namespace tagris::cli
