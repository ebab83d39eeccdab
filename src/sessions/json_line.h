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

/// The prompt a person typed while the agent was busy: it waits in an "attachment" record
/// of type "queued_command" from a human. No value for any other record.
inline std::optional<std::string_view> queuedPrompt(simdjson::dom::object record) {
  using simdjson::SUCCESS;
  simdjson::dom::object attachment;
  std::string_view type, kind, origin, prompt;
  if (record["type"].get(type) == SUCCESS && type == "attachment" &&
      record["attachment"].get(attachment) == SUCCESS &&
      attachment["type"].get(kind) == SUCCESS && kind == "queued_command" &&
      attachment["origin"]["kind"].get(origin) == SUCCESS && origin == "human" &&
      attachment["prompt"].get(prompt) == SUCCESS)
    return prompt;
  return std::nullopt;
}

}  // namespace Sessions
