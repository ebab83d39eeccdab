#include "page/panel_chat.h"

#include <algorithm>
#include <cmath>

#include "base/lang.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "page/panel.h"
#include "terminals/discover.h"

namespace Panel {

namespace {
using Json = nlohmann::json;

constexpr size_t kHistoryTexts = 30;
constexpr int kHistoryWant = 24;
constexpr size_t kKeyTextCharacters = 120;
constexpr size_t kKeyQuestionCharacters = 40;
constexpr int kWantSteps[] = {24, 80, 250, 800, 100000};

// The scan builds a chat every 1.5 s; the terminal list it just discovered will do, so
// a discovery is only forced before the first one.
std::optional<Terminal> terminalOf(const std::string& sessionID) {
  std::vector<Terminal> list = Terminals::cached();
  if (list.empty()) list = Terminals::open();
  for (Terminal& t : list)
    if (t.sessionID == sessionID) return std::move(t);
  return std::nullopt;
}

std::string textAt(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

std::string firstQuestion(const Json& ask) {
  if (!ask.is_object()) return "";
  auto parts = ask.find("parts");
  if (parts == ask.end() || !parts->is_array() || parts->empty()) return "";
  const Json& first = parts->front();
  return first.is_object() ? textAt(first, "question") : "";
}
}  // namespace

std::string contextText(int64_t tokens) {
  if (tokens < 1) return "";
  if (tokens < 1000) return std::to_string(tokens) + Lang::pick(" context", " הקשר");
  return std::to_string(tokens / 1000) + Lang::pick("k context", "k הקשר");
}

std::string chatTitle(const Terminal* term, const std::optional<SessionState>& session) {
  if (term) return chatTerminalTitle(*term, session);
  if (session && !session->title.empty()) return session->title;
  if (session && !session->project.empty()) return session->project;
  return Lang::pick("closed conversation", "שיחה סגורה");
}

Json lineRow(const Line& line) {
  const bool timed = line.time > 0;
  return Json{{"role", line.role},
              {"text", line.text},
              {"arg", line.arg},
              {"when", timed ? TimeText::hoursMinutes(line.time) : ""},
              {"ts", timed ? static_cast<int64_t>(std::floor(line.time)) : 0},
              {"paths", line.role == "tool" ? Json::array() : chatPaths(line.text)}};
}

Json chat(const std::string& sessionID, const Json& pendingTexts, int want) {
  if (sessionID.empty()) return nullptr;
  const std::optional<Terminal> term = terminalOf(sessionID);
  const std::optional<SessionState> session = Sessions::state(sessionID);
  // Neither a terminal nor a transcript: the conversation is gone.
  if (!term && !session) return nullptr;

  const Reading reading = Transcript::read(sessionID, want);
  Json lines = Json::array();
  for (const Line& line : reading.lines) lines.push_back(lineRow(line));

  // What the person just sent shows until the transcript carries it as a prompt.
  size_t pendingLines = 0;
  if (pendingTexts.is_array()) {
    for (const Json& entry : pendingTexts) {
      if (!entry.is_string()) continue;
      const std::string text = entry.get<std::string>();
      const std::string typed = Text::trim(text);
      bool carried = std::any_of(reading.lines.begin(), reading.lines.end(),
                                 [&](const Line& l) { return l.role == "you" && l.text == typed; });
      if (carried) continue;
      lines.push_back(Json{{"role", "you"},
                           {"text", text},
                           {"arg", ""},
                           {"when", ""},
                           {"paths", chatPaths(text)},
                           {"pending", true}});
      ++pendingLines;
    }
  }

  const std::string tty = term ? term->tty : "";
  const std::optional<PendingQuestion> question = Questions::pending(sessionID);
  Json ask;
  if (question)
    ask = chatAskOfQuestion(*question, tty);
  else if (term)
    ask = chatAskOfTerminal(*term);
  if (!ask.is_object()) ask = Json::object();

  const int64_t tokens = session ? session->contextTokens : 0;
  const std::string context = contextText(tokens);
  const SessionState::Mode mode = session ? session->mode : SessionState::Mode::quiet;
  const ChatRelay relay = term ? chatRelay(sessionID) : ChatRelay{};

  const std::string lastText = reading.lines.empty() ? "" : reading.lines.back().text;
  const std::string key =
      Text::join({std::to_string(reading.lines.size()), reading.atStart ? "1" : "0",
                  Text::suffix(lastText, kKeyTextCharacters), std::to_string(pendingLines),
                  question ? question->toolID : "",
                  Text::prefix(firstQuestion(ask), kKeyQuestionCharacters), context},
                 "|");

  Json payload = Json::object();
  payload["sid"] = sessionID;
  payload["tty"] = tty;
  payload["slot"] = term && !term->slot.empty() ? term->slot : "—";
  payload["live"] = term.has_value();
  payload["title"] = chatTitle(term ? &*term : nullptr, session);
  payload["state"] = term ? stateWord(mode) : "closed";
  payload["stateLabel"] = term ? chatModeLabel(mode) : Lang::pick("terminal closed", "המסוף נסגר");
  payload["model"] = session ? session->model : "";
  payload["context"] = context;
  payload["ctxLevel"] = chatContextLevel(tokens);
  payload["relay"] = relay.stage;
  payload["relayAgents"] = relay.stage.empty() ? 0 : relay.agents;
  payload["relayShell"] = !relay.stage.empty() && relay.shell;
  payload["lines"] = std::move(lines);
  payload["crew"] = chatCrew(sessionID);
  payload["atStart"] = reading.atStart;
  payload["history"] = history(sessionID);
  payload["key"] = key;
  payload["ask"] = std::move(ask);
  payload["outputs"] = sessionOutputs(sessionID);
  return payload;
}

Json history(const std::string& sessionID) {
  const Reading reading = Transcript::read(sessionID, kHistoryWant);
  Json texts = Json::array();
  std::string previous;
  for (auto it = reading.lines.rbegin(); it != reading.lines.rend() && texts.size() < kHistoryTexts;
       ++it) {
    if (it->role != "you") continue;
    std::string text = Text::trimBlanks(it->text);
    if (text.empty() || (!texts.empty() && text == previous)) continue;
    previous = text;
    texts.push_back(std::move(text));
  }
  return texts;
}

int nextWant(int current) {
  for (int step : kWantSteps)
    if (current < step) return step;
  return kWantSteps[std::size(kWantSteps) - 1];
}

std::set<std::string> liveSessions(const Json& units) {
  std::set<std::string> live;
  if (!units.is_array()) return live;
  for (const Json& row : units) {
    if (!row.is_object()) continue;
    const std::string sid = textAt(row, "sid");
    if (!sid.empty() && textAt(row, "state") != "quiet") live.insert(sid);
  }
  return live;
}

std::optional<std::string> stepLive(const std::vector<std::string>& order,
                                    const std::set<std::string>& live, const std::string& openSID,
                                    int by) {
  std::vector<std::string> candidates;
  for (const std::string& sid : order)
    if (live.count(sid)) candidates.push_back(sid);
  if (candidates.empty()) return std::nullopt;
  auto at = std::find(candidates.begin(), candidates.end(), openSID);
  if (at == candidates.end()) return by < 1 ? candidates.back() : candidates.front();
  const long n = static_cast<long>(candidates.size());
  const long i = static_cast<long>(at - candidates.begin());
  return candidates[static_cast<size_t>(((i + by) % n + n) % n)];
}

std::string noLiveNote() {
  return Lang::pick("No active terminal to jump to", "אין מסוף פעיל לדלג אליו");
}

}  // namespace Panel
