// A JSON object written as nlohmann's dump(2) writes it, one of whose
// members is an array whose elements come one at a time: a listing of
// millions of records is written as it is read, never held.
#ifndef KIVLOG_JSON_STREAM_H_
#define KIVLOG_JSON_STREAM_H_

#include <stddef.h>

#include <nlohmann/json.hpp>
#include <string>

namespace kivlog {

class StreamedArray {
 public:
  using Json = nlohmann::ordered_json;
  using Handler = Json::error_handler_t;

  explicit StreamedArray(Handler handler = Handler::strict) : handler_(handler) {}

  // The object's opening, its members in head, then name's array opened.
  std::string Open(const Json& head, const char* name) {
    std::string text = "{";
    for (const auto& [key, value] : head.items()) text += Member(key, value) + ",";
    return text + "\n  " + Json(name).dump() + ": ";
  }

  std::string Add(const Json& element) {
    std::string text = count_++ == 0 ? "[\n" : ",\n";
    return text + Indented(element.dump(2, ' ', false, handler_), 4, true);
  }

  // The array closed, the members in tail after it, and the object.
  std::string Close(const Json& tail = Json::object()) {
    std::string text = count_ == 0 ? "[]" : "\n  ]";
    for (const auto& [key, value] : tail.items()) text += "," + Member(key, value);
    return text + "\n}";
  }

 private:
  std::string Member(const std::string& key, const Json& value) const {
    return "\n  " + Json(key).dump() + ": " +
           Indented(value.dump(2, ' ', false, handler_), 2, false);
  }

  // Every line of text moved right by width (the first too, when first).
  static std::string Indented(const std::string& text, size_t width, bool first) {
    const std::string pad(width, ' ');
    std::string out = first ? pad : "";
    for (char c : text) {
      out += c;
      if (c == '\n') out += pad;
    }
    return out;
  }

  Handler handler_;
  size_t count_ = 0;
};

}  // namespace kivlog

#endif  // KIVLOG_JSON_STREAM_H_
