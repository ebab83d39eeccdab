#include "support/transcripts.h"

#include <filesystem>

#include "base/files.h"
#include "base/timefmt.h"

namespace Records {

namespace {
int serial = 0;

Json common(const std::string& type, Clock::Time at) {
  ++serial;
  return Json{{"parentUuid", nullptr},
              {"isSidechain", false},
              {"type", type},
              {"uuid", "uuid-" + std::to_string(serial)},
              {"timestamp", TimeText::iso8601(at)},
              {"cwd", "/tmp/work"},
              {"sessionId", "session"},
              {"version", "2.1.337"},
              {"userType", "external"}};
}
}  // namespace

Json user(const std::string& text, Clock::Time at) {
  Json r = common("user", at);
  r["message"] = {{"role", "user"}, {"content", text}};
  return r;
}

Json userBlocks(Json content, Clock::Time at) {
  Json r = common("user", at);
  r["message"] = {{"role", "user"}, {"content", std::move(content)}};
  return r;
}

Json toolResult(const std::string& toolUseID, const std::string& output, Clock::Time at) {
  Json r = userBlocks(
      Json::array({{{"type", "tool_result"}, {"tool_use_id", toolUseID}, {"content", output}}}), at);
  r["toolUseResult"] = {{"stdout", output}, {"stderr", ""}, {"interrupted", false}};
  return r;
}

Json assistant(Json content, Clock::Time at, const std::string& model, int64_t input,
               int64_t cacheRead, int64_t cacheWrite) {
  Json r = common("assistant", at);
  r["message"] = {{"id", "msg_" + std::to_string(serial)},
                  {"type", "message"},
                  {"role", "assistant"},
                  {"model", model},
                  {"content", std::move(content)},
                  {"usage",
                   {{"input_tokens", input},
                    {"cache_creation_input_tokens", cacheWrite},
                    {"cache_read_input_tokens", cacheRead},
                    {"output_tokens", 60}}}};
  return r;
}

Json text(const std::string& text) { return {{"type", "text"}, {"text", text}}; }

Json toolUse(const std::string& name, Json input) {
  return {{"type", "tool_use"},
          {"id", "toolu_" + std::to_string(++serial)},
          {"name", name},
          {"input", std::move(input)}};
}

Json thinking(const std::string& thought) {
  return {{"type", "thinking"}, {"thinking", thought}, {"signature", "sig"}};
}

Json queued(const std::string& prompt, Clock::Time at, const std::string& origin) {
  Json r = common("attachment", at);
  r["attachment"] = {
      {"type", "queued_command"}, {"prompt", prompt}, {"origin", {{"kind", origin}}}};
  return r;
}

Json customTitle(const std::string& title) {
  return {{"type", "custom-title"}, {"customTitle", title}, {"sessionId", "session"}};
}

Json aiTitle(const std::string& title) {
  return {{"type", "ai-title"}, {"aiTitle", title}, {"sessionId", "session"}};
}

Json sidechain(Json record) {
  record["isSidechain"] = true;
  return record;
}

Json meta(Json record) {
  record["isMeta"] = true;
  return record;
}

Json question(const std::string& question, const std::string& header,
              const std::vector<std::pair<std::string, std::string>>& options, bool multi) {
  Json list = Json::array();
  for (const auto& [label, detail] : options) {
    Json option = {{"label", label}};
    if (!detail.empty()) option["description"] = detail;
    list.push_back(option);
  }
  return {{"question", question}, {"header", header}, {"multiSelect", multi}, {"options", list}};
}

Json askCall(Json questions) {
  return toolUse("AskUserQuestion", {{"questions", std::move(questions)}});
}

Json planCall(const std::string& plan) { return toolUse("ExitPlanMode", {{"plan", plan}}); }

std::string lines(const std::vector<Json>& records) {
  std::string out;
  for (const Json& r : records) out += r.dump() + "\n";
  return out;
}

}  // namespace Records

std::string writeTranscript(const ScopedHome& home, const std::string& sessionID,
                            const std::string& text, const std::string& project) {
  return home.write(".claude/projects/" + project + "/" + sessionID + ".jsonl", text);
}

void appendTranscript(const std::string& path, const std::string& text) {
  Files::append(path, text);
}

std::string writeSubagent(const std::string& transcript, const std::string& name,
                          Clock::Time modified) {
  std::string folder = transcript.substr(0, transcript.size() - 6) + "/subagents";
  Files::makeDirectories(folder);
  std::string path = folder + "/" + name;
  Files::writeAtomic(path, "{}\n");
  setModified(path, modified);
  return path;
}

void copyFixtureAgentHome(const ScopedHome& home) {
  namespace fs = std::filesystem;
  fs::copy(fs::path(VELMO_FIXTURES_DIR) / "agent-home/.claude", home.agent(""),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}
