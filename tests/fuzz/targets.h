#pragma once
// Entry points that feed arbitrary bytes to the parsers of what other programs write: the
// agent's screens, transcripts, registry and sub-agent files, our own stores and files a
// person edits, and the messages of the page and the control socket. Each fuzz target calls
// one; the unit tests call the same ones to replay every input that once broke a parser.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Fuzz {

using Entry = void (*)(const uint8_t* data, size_t size);

/// A target's name (its folder under tests/fuzz/crashes/, its program fuzz_NAME and its line
/// in tests/fuzz/seeds) and its entry point.
struct Target {
  std::string name;
  Entry entry;
};

/// Every target.
const std::vector<Target>& targets();
/// The target of a name, or null.
const Target* find(const std::string& name);

/// A screen dump in, a prompt out.
void screen(const uint8_t* data, size_t size);
/// The tail of a transcript read for the session's state.
void sessionTail(const uint8_t* data, size_t size);
/// A transcript read for the chat's lines.
void transcript(const uint8_t* data, size_t size);
/// A transcript searched for a pending question or plan.
void questions(const uint8_t* data, size_t size);
/// A sub-agent's transcript and its meta file.
void subagents(const uint8_t* data, size_t size);
/// A transcript harvested for token use.
void harvest(const uint8_t* data, size_t size);
/// The search index's manifest and the records it indexes.
void index(const uint8_t* data, size_t size);
/// A transcript read for the files its conversation produced.
void outputs(const uint8_t* data, size_t size);
/// A command's or document's text with front matter.
void frontMatter(const uint8_t* data, size_t size);
/// The questions file a person edits.
void asks(const uint8_t* data, size_t size);
/// One request line on the control socket.
void control(const uint8_t* data, size_t size);
/// The quota file.
void quota(const uint8_t* data, size_t size);
/// One message from the page through the application's dispatcher.
void page(const uint8_t* data, size_t size);

}  // namespace Fuzz
