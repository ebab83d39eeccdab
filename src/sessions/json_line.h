#pragma once
// One transcript line parsed as a JSON object: the one parser every reader of the agent's
// JSON-lines files goes through. The parser reads past the end of a document, so a line is
// parsed where it lies only when its buffer has room behind it; otherwise it is copied into
// one that has (only the lines that are parsed are copied: prompts and replies, small next
// to tool results).
//
// A program that cuts text by UTF-16 units writes half an emoji as a lone surrogate escape
// ("\ud83d"), which JavaScript accepts and this parser rejects. Such a line is mended (each
// lone surrogate becomes U+FFFD) and parsed again, so one bad escape does not cost the whole
// record; lines that parse the first time never pay for this.

#include <simdjson.h>

#include <optional>
#include <string>
#include <string_view>

#include "base/text.h"

namespace Sessions {

class JsonLine {
 public:
  /// The line's top-level object; valid until the next call.
  std::optional<simdjson::dom::object> object(std::string_view line) {
    scratch.assign(line.data(), line.size());
    if (auto record = parseScratch(line.size())) return record;
    return mended(line.size());
  }

  /// The same for a line followed in its buffer by at least SIMDJSON_PADDING readable bytes:
  /// parsed where it lies, copied only to be mended.
  std::optional<simdjson::dom::object> objectInPlace(std::string_view line) {
    simdjson::dom::object record;
    if (parser.parse(line.data(), line.size(), false).get(record) == simdjson::SUCCESS)
      return record;
    scratch.assign(line.data(), line.size());
    return mended(line.size());
  }

 private:
  std::optional<simdjson::dom::object> parseScratch(size_t size) {
    scratch.resize(size + simdjson::SIMDJSON_PADDING, ' ');
    simdjson::dom::object record;
    if (parser.parse(scratch.data(), size, false).get(record) != simdjson::SUCCESS)
      return std::nullopt;
    return record;
  }

  // The line is in `scratch` (its first `size` bytes); mending keeps its length.
  std::optional<simdjson::dom::object> mended(size_t size) {
    scratch.resize(size);
    if (!Text::replaceLoneSurrogateEscapes(scratch)) return std::nullopt;
    return parseScratch(size);
  }

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
