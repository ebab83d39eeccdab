#pragma once
// One transcript line parsed as a JSON object. The parser reads past the end of a
// document, so each line is copied into a buffer with room behind it; only the lines
// that are parsed (prompts and replies, small next to tool results) are copied.

#include <simdjson.h>

#include <optional>
#include <string>
#include <string_view>

namespace Sessions {

class JsonLine {
 public:
  /// The line's top-level object; valid until the next call.
  std::optional<simdjson::dom::object> object(std::string_view line) {
    scratch.assign(line.data(), line.size());
    scratch.resize(line.size() + simdjson::SIMDJSON_PADDING, ' ');
    simdjson::dom::object record;
    if (parser.parse(scratch.data(), line.size(), false).get(record) != simdjson::SUCCESS)
      return std::nullopt;
    return record;
  }

 private:
  simdjson::dom::parser parser;
  std::string scratch;
};

}  // namespace Sessions
