#include "support/scripted_host.h"

#include <memory>

namespace {
// The installed host must outlive no test, but installHost wants shared ownership.
struct NoDelete {
  void operator()(Terminals::TerminalHost*) const {}
};
}  // namespace

ScriptedHost::ScriptedHost() {
  Terminals::installHost(std::shared_ptr<Terminals::TerminalHost>(this, NoDelete()));
}

ScriptedHost::~ScriptedHost() {
  Terminals::installHost(nullptr);
}

void ScriptedHost::show(const std::string& tty, const std::string& screen) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  visible[tty] = screen;
}

void ScriptedHost::hide(const std::string& tty) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  visible.erase(tty);
}

void ScriptedHost::setReadable(bool r) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  readable = r;
}

void ScriptedHost::setTypingWorks(bool w) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  typingWorks = w;
}

void ScriptedHost::setRaiseWorks(bool w) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  raiseWorks = w;
}

void ScriptedHost::setOpenWorks(bool w) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  openWorks = w;
}

void ScriptedHost::onType(std::function<void(ScriptedHost&, const Call&)> hook) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  typeHook = std::move(hook);
}

void ScriptedHost::onDump(std::function<void(ScriptedHost&, int)> hook) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  dumpHook = std::move(hook);
}

std::vector<ScriptedHost::Call> ScriptedHost::calls() const {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return log;
}

std::vector<ScriptedHost::Call> ScriptedHost::typed() const {
  std::vector<Call> out;
  for (const auto& c : calls())
    if (c.kind == "line" || c.kind == "keys" || c.kind == "paste") out.push_back(c);
  return out;
}

int ScriptedHost::dumps() const {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return dumpCount;
}

int ScriptedHost::reads() const {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return readCount;
}

int ScriptedHost::styledReads() const {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return styledCount;
}

std::optional<std::map<std::string, std::string>> ScriptedHost::titles() {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (!readable) return std::nullopt;
  return titleOf;
}

std::optional<std::vector<Terminals::Screen>> ScriptedHost::screens() {
  std::function<void(ScriptedHost&, int)> hook;
  int count;
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    hook = dumpHook;
    count = dumpCount++;
  }
  if (hook) hook(*this, count);
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (!readable || visible.empty()) return std::nullopt;
  std::vector<Terminals::Screen> out;
  int64_t window = 1;
  for (const auto& [tty, text] : visible) out.push_back({tty, window++, text});
  return out;
}

std::optional<std::string> ScriptedHost::screen(const std::string& tty) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  ++readCount;
  if (!readable) return std::nullopt;
  auto it = visible.find(tty);
  return it == visible.end() ? "<<none>>" : it->second;
}

std::optional<std::string> ScriptedHost::styledScreen(const std::string& tty) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  ++styledCount;
  if (!readable) return std::nullopt;
  auto it = visible.find(tty);
  return it == visible.end() ? "<<none>>" : it->second;
}

bool ScriptedHost::record(Call call) {
  std::function<void(ScriptedHost&, const Call&)> hook;
  bool works = true;
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    bool typing = call.kind == "line" || call.kind == "keys" || call.kind == "paste";
    if (typing) works = typingWorks;
    if (call.kind == "raise") works = raiseWorks;
    if (call.kind == "open") works = openWorks;
    log.push_back(call);
    if (typing && works) hook = typeHook;
  }
  if (hook) hook(*this, call);
  return works;
}

bool ScriptedHost::typeLine(const std::string& tty, const std::string& text) {
  return record({"line", tty, 0, text, {}});
}

bool ScriptedHost::typeKeys(const std::string& tty, int moves, const std::string& text) {
  return record({"keys", tty, moves, text, {}});
}

bool ScriptedHost::pasteLine(const std::string& tty, const std::string& text) {
  return record({"paste", tty, 0, text, {}});
}

bool ScriptedHost::setTitle(const std::string& tty, const std::string& title) {
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    titleOf[tty] = title;
  }
  return record({"title", tty, 0, title, {}});
}

bool ScriptedHost::raise(const std::string& tty) {
  return record({"raise", tty, 0, "", {}});
}

bool ScriptedHost::open(const std::string& cwd, const Terminals::Launch& what) {
  return record({"open", "", 0, cwd, what});
}

void ScriptedHost::close(const std::string& tty) {
  record({"close", tty, 0, "", {}});
}

bool ScriptedHost::closeSingle(const std::string& tty) {
  return record({"closeSingle", tty, 0, "", {}});
}

std::optional<std::string> ScriptedHost::lastingId(const std::string& tty) {
  record({"lastingId", tty, 0, "", {}});
  return "pane:" + tty;
}

ScriptedHost::Closed ScriptedHost::closeSingleById(const std::string& id) {
  record({"closeById", "", 0, id, {}});
  std::lock_guard<std::recursive_mutex> guard(lock);
  return closedAnswer;
}

void ScriptedHost::setClosedAnswer(Closed answer) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  closedAnswer = answer;
}

std::optional<Terminals::TerminalHost::Occupant> ScriptedHost::occupant(const std::string&) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  return occupantAnswer;
}

void ScriptedHost::setOccupant(std::optional<Occupant> answer) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  occupantAnswer = answer;
}
