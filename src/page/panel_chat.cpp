#include "page/panel_chat.h"

#include <algorithm>
#include <cmath>

#include "base/json_field.h"
#include "base/lang.h"
#include "base/text.h"
#include "base/timefmt.h"
#include "feed/state_feed.h"
#include "page/panel.h"
#include "search/titles.h"
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

std::string firstQuestion(const Json& ask) {
  if (!ask.is_object()) return "";
  auto parts = ask.find("parts");
  if (parts == ask.end() || !parts->is_array() || parts->empty()) return "";
  const Json& first = parts->front();
  return first.is_object() ? JsonField::text(first, "question") : "";
}
}  // namespace

std::string contextText(int64_t tokens) {
  if (tokens < 1) return "";
  if (tokens < 1000) return std::to_string(tokens) + Lang::pick(" context", " הקשר");
  return std::to_string(tokens / 1000) + Lang::pick("k context", "k הקשר");
}

std::string chatTitle(const Terminal* term, const std::optional<SessionState>& session) {
  if (term) return chatTerminalTitle(*term, session);
  if (!session) return Lang::pick("closed conversation", "שיחה סגורה");
  if (std::string name = UserNames::of(session->id); !name.empty()) return name;
  if (!session->title.empty()) return session->title;
  if (std::string known = Titles::known(session->id); !known.empty()) return known;
  if (!session->project.empty()) return session->project;
  return Lang::pick("closed conversation", "שיחה סגורה");
}

ChatLine lineRow(const Line& line) {
  const bool timed = line.time > 0;
  ChatLine row;
  row.role = line.role;
  row.text = line.text;
  row.arg = line.arg;
  row.when = timed ? TimeText::hoursMinutes(line.time) : "";
  row.ts = timed ? static_cast<int64_t>(std::floor(line.time)) : 0;
  row.paths = line.role == "tool" ? Json::array() : chatPaths(line.text);
  return row;
}

void to_json(Json& out, const ChatLine& l) {
  out = {{"role", l.role}, {"text", l.text}, {"arg", l.arg}, {"when", l.when}, {"paths", l.paths}};
  if (l.ts) out["ts"] = *l.ts;
  if (l.pending) out["pending"] = true;
}

void to_json(Json& out, const Chat& c) {
  out = {{"sid", c.sid},
         {"tty", c.tty},
         {"slot", c.slot},
         {"live", c.live},
         {"title", c.title},
         {"state", c.state},
         {"stateLabel", c.stateLabel},
         {"model", c.model},
         {"context", c.context},
         {"ctxLevel", c.ctxLevel},
         {"relay", c.relay},
         {"relayAgents", c.relayAgents},
         {"relayShell", c.relayShell},
         {"lines", c.lines},
         {"crew", c.crew},
         {"atStart", c.atStart},
         {"history", c.history},
         {"key", c.key},
         {"ask", c.ask},
         {"outputs", c.outputs}};
}

std::optional<Chat> chat(const std::string& sessionID, const std::vector<std::string>& pendingTexts,
                         int want) {
  if (sessionID.empty()) return std::nullopt;
  const std::optional<Terminal> term = terminalOf(sessionID);
  const std::optional<SessionState> session = Sessions::state(sessionID);
  // Neither a terminal nor a transcript: the conversation is gone.
  if (!term && !session) return std::nullopt;

  const Reading reading = Transcript::read(sessionID, want);
  Chat c;
  for (const Line& line : reading.lines) c.lines.push_back(lineRow(line));

  // What the person just sent shows until the transcript carries it as a prompt.
  size_t pendingLines = 0;
  for (const std::string& text : pendingTexts) {
    const std::string typed = Text::trim(text);
    bool carried = std::any_of(reading.lines.begin(), reading.lines.end(),
                               [&](const Line& l) { return l.role == "you" && l.text == typed; });
    if (carried) continue;
    ChatLine line;
    line.role = "you";
    line.text = text;
    line.paths = chatPaths(text);
    line.pending = true;
    c.lines.push_back(std::move(line));
    ++pendingLines;
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
  // Permission prompts ask the same words each time; the id of the one on screen (which
  // covers the command above it) tells the next one from the last, so its card is redrawn.
  auto expect = ask.find("expect");
  const std::string shown = expect != ask.end() && expect->is_string() && !expect->get<std::string>().empty()
                                ? "#" + expect->get<std::string>()
                                : "";
  c.key = Text::join({std::to_string(reading.lines.size()), reading.atStart ? "1" : "0",
                      Text::suffix(lastText, kKeyTextCharacters), std::to_string(pendingLines),
                      question ? question->toolID : "",
                      Text::prefix(firstQuestion(ask), kKeyQuestionCharacters) + shown, context},
                     "|");

  c.sid = sessionID;
  c.tty = tty;
  c.slot = term && !term->slot.empty() ? term->slot : "—";
  c.live = term.has_value();
  c.title = chatTitle(term ? &*term : nullptr, session);
  c.state = term ? stateWord(mode) : "closed";
  c.stateLabel = term ? chatModeLabel(mode) : Lang::pick("terminal closed", "המסוף נסגר");
  c.model = session ? session->model : "";
  c.context = context;
  c.ctxLevel = chatContextLevel(tokens, session ? session->modelID : "",
                                term ? term->modelArg : "");
  c.relay = relay.stage;
  c.relayAgents = relay.stage.empty() ? 0 : relay.agents;
  c.relayShell = !relay.stage.empty() && relay.shell;
  c.crew = chatCrew(sessionID);
  c.atStart = reading.atStart;
  c.history = history(sessionID);
  c.ask = std::move(ask);
  c.outputs = sessionOutputs(sessionID);
  return c;
}

std::vector<std::string> history(const std::string& sessionID) {
  const Reading reading = Transcript::read(sessionID, kHistoryWant);
  std::vector<std::string> texts;
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

std::set<std::string> liveSessions(const std::vector<Unit>& units) {
  std::set<std::string> live;
  for (const Unit& row : units)
    if (!row.sid.empty() && row.state != "quiet") live.insert(row.sid);
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
