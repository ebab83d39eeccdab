#include "terminals/discover.h"

#include <re2/re2.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>

#include "base/caches.h"
#include "base/files.h"
#include "base/json_field.h"
#include "base/paths.h"
#include "base/process.h"
#include "base/text.h"
#include "terminals/host.h"
#include "terminals/on_scan.h"
#include "sessions/models.h"
#include "terminals/proc_list.h"

namespace Terminals {
namespace {

constexpr double kOpenFreshSeconds = 2.5;
constexpr double kTitlesFreshSeconds = 10.0;
// A tty file holds one device path.
constexpr int64_t kTtyFileBytes = 4096;

// Everything below is guarded by lock().
std::vector<Terminal> openCache;
Clock::Time openStamp = Clock::kDistantPast;
std::map<std::string, std::string> titleCache;
Clock::Time titleStamp = Clock::kDistantPast;
std::function<void()> onScan;
PsRunner psRunner;

// A clock set back (by hand, or a large NTP step) must not freeze a cache until the
// wall time catches up again, so a stamp in the future counts as stale.
bool fresh(Clock::Time stamp, double window) {
  double age = Clock::now() - stamp;
  return age >= 0 && age < window;
}

// Read from /proc; ps only where /proc cannot be read.
std::optional<std::string> runPs() {
  if (auto listed = listProcesses()) return listed;
  // -ww: procps cuts every line at $COLUMNS when that is set, which would lose the
  // "attach J" words behind a long executable path.
  return shell("/bin/ps", {"-ww", "-axo", "pid=,ruid=,tty=,etime=,args="}, 0);
}

bool isAgentExecutable(const std::string& executable) {
  return Text::endsWith(executable, "claude") || Text::contains(executable, "/claude/versions/");
}

// The first "attach" word that has a word after it, searched from the start.
std::optional<size_t> attachAt(const std::vector<std::string>& fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i] == "attach") {
      if (i + 1 < fields.size()) return i;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

}  // namespace

std::mutex& lock() {
  static std::mutex m;
  return m;
}

double seconds(const std::string& etime) {
  std::string_view rest = etime;
  double total = 0;
  if (size_t dash = rest.find('-'); dash != std::string_view::npos) {
    long long days = 0;
    if (Text::parseInt(rest.substr(0, dash), days)) total += static_cast<double>(days) * 86400;
    rest.remove_prefix(dash + 1);
  }
  double clock = 0;
  for (const auto& piece : Text::split(rest, ':')) {
    long long n = 0;
    clock = clock * 60 + (Text::parseInt(piece, n) ? static_cast<double>(n) : 0);
  }
  return total + clock;
}

std::string clean(const std::string& title) {
  std::string t = title;
  if (Text::startsWith(t, "user — ")) t.erase(0, std::string_view("user — ").size());
  if (Text::startsWith(t, "user - ")) t.erase(0, std::string_view("user - ").size());

  // The agent's working spinner, and the marks it puts before its own titles.
  static constexpr std::string_view kLeading[] = {"✳", "⠂", "⠐", "⠈", "⠠", "⢀",
                                                  "⡀", "⠄", "*", "·", " "};
  for (bool cut = true; cut && !t.empty();) {
    cut = false;
    for (auto mark : kLeading) {
      if (Text::startsWith(t, mark)) {
        t.erase(0, mark.size());
        cut = true;
        break;
      }
    }
  }

  for (std::string_view tail : {"— caffeinate ◂ claude", "— claude", "◂ claude"}) {
    if (size_t at = t.find(tail); at != std::string::npos) t.resize(at);
  }

  static const RE2 kWindowSize("—[ ]*[0-9]+×[0-9]+[ ]*$");
  re2::StringPiece match;
  if (kWindowSize.Match(t, 0, t.size(), RE2::UNANCHORED, &match, 1)) {
    t.resize(static_cast<size_t>(match.data() - t.data()));
  }
  return Text::trimBlanks(t);
}

std::string ttyFromPs(const std::string& column) {
  if (Text::startsWith(column, "pts/") && Text::allDigits(std::string_view(column).substr(4))) {
    return "/dev/" + column;
  }
  if (Text::startsWith(column, "ttys")) return "/dev/" + column;
  return "";
}

std::string slotOf(const std::string& tty) {
  std::string_view rest = tty;
  if (Text::startsWith(rest, "/dev/")) rest.remove_prefix(5);
  if (Text::startsWith(rest, "pts/")) {
    rest.remove_prefix(4);
    std::string slot(rest);
    if (slot.size() < 3) slot.insert(0, 3 - slot.size(), '0');
    return slot;
  }
  if (Text::startsWith(rest, "ttys")) rest.remove_prefix(4);
  return std::string(rest);
}

std::optional<nlohmann::json> registryObject(const std::string& path) {
  auto text = Files::read(path, kRegistryBytes);
  if (!text) return std::nullopt;
  auto doc = nlohmann::json::parse(*text, nullptr, false);
  // A name cut in the middle of an emoji leaves a lone surrogate escape behind, which this
  // parser rejects; mended, the rest of the record still counts.
  if (doc.is_discarded() && Text::replaceLoneSurrogateEscapes(*text))
    doc = nlohmann::json::parse(*text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  return doc;
}

std::map<int64_t, RegistryRecord> pidToSession() {
  std::map<int64_t, RegistryRecord> out;
  auto entries = Files::list(Paths::agent("sessions"));
  if (!entries) return out;
  for (const auto& entry : *entries) {
    if (Files::extension(entry.name) != "json") continue;
    auto found = registryObject(entry.path);
    if (!found) continue;
    const nlohmann::json& doc = *found;

    RegistryRecord record;
    record.id = JsonField::text(doc, "sessionId");
    if (record.id.empty()) continue;

    int64_t pid = -1;
    if (auto it = doc.find("pid"); it != doc.end() && it->is_number_integer()) {
      pid = it->get<int64_t>();
    } else {
      long long named = 0;
      if (Text::parseInt(Files::baseName(entry.name), named)) pid = named;
    }
    record.status = JsonField::text(doc, "status");
    record.waiting = record.status == "waiting";
    if (JsonField::text(doc, "kind") == "bg") record.job = JsonField::text(doc, "jobId");
    record.name = JsonField::text(doc, "name");
    out[pid] = std::move(record);
  }
  return out;
}

std::map<std::string, std::string> ttyToSession() {
  std::map<std::string, std::string> out;
  auto entries = Files::list(Paths::agent("ttys"));
  if (!entries) return out;
  std::map<std::string, Clock::Time> kept;
  for (const auto& entry : *entries) {
    auto text = Files::read(entry.path, kTtyFileBytes);
    if (!text) continue;
    std::string tty = Text::trim(*text);
    if (!Text::startsWith(tty, "/dev/")) continue;
    auto attributes = Files::attributes(entry.path);
    Clock::Time date = attributes ? attributes->modified : Clock::kDistantPast;
    auto at = kept.find(tty);
    if (at != kept.end() && !(at->second < date)) continue;
    kept[tty] = date;
    out[tty] = entry.name;
  }
  return out;
}

std::map<std::string, std::string> windowTitles() {
  {
    std::lock_guard<std::mutex> guard(lock());
    if (fresh(titleStamp, kTitlesFreshSeconds)) return titleCache;
    // Stamped before asking, so a host that fails is also asked at most once a window.
    titleStamp = Clock::now();
  }
  auto raw = host().titles();
  if (!raw) {
    std::lock_guard<std::mutex> guard(lock());
    return titleCache;
  }
  std::map<std::string, std::string> titles;
  for (const auto& [tty, title] : *raw) titles[tty] = clean(title);
  std::lock_guard<std::mutex> guard(lock());
  titleCache = titles;
  return titles;
}

std::vector<Terminal> parseProcesses(const std::string& psOutput, int64_t uid,
                                     const std::map<int64_t, RegistryRecord>& registry,
                                     const std::map<std::string, std::string>& ttySessions,
                                     const std::map<std::string, std::string>& titles) {
  // Each line: pid, real uid, tty, elapsed time, then the command line's words. Lines of
  // other users go first, so another user's "attach" cannot claim a session either.
  std::vector<std::vector<std::string>> lines;
  for (const auto& line : Text::split(psOutput, '\n')) {
    auto fields = Text::split(line, ' ');
    long long owner = 0;
    if (fields.size() < 2 || !Text::parseInt(fields[1], owner) || owner != uid) continue;
    fields.erase(fields.begin() + 1);
    lines.push_back(std::move(fields));
  }

  // Terminals running `claude … attach J` show background session J; they are not
  // agents of their own.
  std::map<std::string, std::string> attached;  // job id → tty of the attaching terminal
  std::set<int64_t> attachers;
  for (const auto& f : lines) {
    if (f.size() < 5) continue;
    long long pid = 0;
    if (!Text::parseInt(f[0], pid)) continue;
    std::string tty = ttyFromPs(f[1]);
    if (tty.empty() || !Text::endsWith(f[3], "claude")) continue;
    auto at = attachAt(f);
    if (!at) continue;
    attached[f[*at + 1]] = tty;
    attachers.insert(pid);
  }

  std::vector<Terminal> out;
  for (const auto& f : lines) {
    if (f.size() < 4) continue;
    long long pid = 0;
    if (!Text::parseInt(f[0], pid) || attachers.count(pid)) continue;
    auto found = registry.find(pid);
    const RegistryRecord* record = found != registry.end() ? &found->second : nullptr;
    if (!record && !isAgentExecutable(f[3])) continue;
    std::string ownTty = ttyFromPs(f[1]);
    if (ownTty.empty()) continue;

    Terminal t;
    std::string job = record ? record->job : std::string();
    auto shownIn = job.empty() ? attached.end() : attached.find(job);
    t.tty = shownIn != attached.end() ? shownIn->second : ownTty;
    t.slot = slotOf(t.tty);
    t.pid = pid;
    t.uptime = seconds(f[2]);
    if (record) {
      t.sessionID = record->id;
    } else if (auto s = ttySessions.find(ownTty); s != ttySessions.end()) {
      t.sessionID = s->second;
    }
    if (auto title = titles.find(t.tty); title != titles.end()) t.windowTitle = title->second;
    if (record) t.waiting = record->waiting;
    t.jobId = job;
    t.windowless = !job.empty() && shownIn == attached.end();
    t.status = record ? record->status : std::string();
    t.recordName = record ? record->name : std::string();
    t.modelArg = Models::chosenIn(std::vector<std::string>(f.begin() + 3, f.end()));
    out.push_back(std::move(t));
  }

  // Shorter slots first keeps number order past 999 ("1000" after "999"); among slots of
  // one length this is plain text order.
  std::stable_sort(out.begin(), out.end(), [](const Terminal& a, const Terminal& b) {
    if (a.slot.size() != b.slot.size()) return a.slot.size() < b.slot.size();
    return a.slot < b.slot;
  });
  return out;
}

std::vector<Terminal> discover() {
  return discoverListed().value_or(std::vector<Terminal>{});
}

std::optional<std::vector<Terminal>> discoverListed() {
  auto ttySessions = ttyToSession();
  auto registry = pidToSession();
  auto titles = windowTitles();

  PsRunner runner;
  {
    std::lock_guard<std::mutex> guard(lock());
    runner = psRunner;
  }
  auto listing = runner ? runner() : runPs();
  if (!listing) return std::nullopt;
  auto found =
      parseProcesses(*listing, static_cast<int64_t>(::getuid()), registry, ttySessions, titles);
  runOnScan();
  return found;
}

void runOnScan() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(lock());
    hook = onScan;
  }
  if (hook) hook();
}

std::vector<Terminal> open() {
  return listed().value_or(std::vector<Terminal>{});
}

std::optional<std::vector<Terminal>> listed() {
  {
    std::lock_guard<std::mutex> guard(lock());
    if (!openCache.empty() && fresh(openStamp, kOpenFreshSeconds)) return openCache;
  }
  auto found = discoverListed();
  std::lock_guard<std::mutex> guard(lock());
  openCache = found.value_or(std::vector<Terminal>{});
  openStamp = Clock::now();
  return found;
}

std::vector<Terminal> cached() {
  std::lock_guard<std::mutex> guard(lock());
  return openCache;
}

void setOnScan(std::function<void()> hook) {
  std::lock_guard<std::mutex> guard(lock());
  onScan = std::move(hook);
}

void installPsRunner(PsRunner runner) {
  std::lock_guard<std::mutex> guard(lock());
  psRunner = std::move(runner);
}

namespace {
const Caches::Enrolled enrolled(
    "discovered terminals",
    [] {
      std::lock_guard<std::mutex> guard(lock());
      openCache.clear();
      openStamp = Clock::kDistantPast;
      titleCache.clear();
      titleStamp = Clock::kDistantPast;
    },
    [] {
      std::lock_guard<std::mutex> guard(lock());
      return openCache.size() + titleCache.size() + (openStamp > Clock::kDistantPast ? 1 : 0) +
             (titleStamp > Clock::kDistantPast ? 1 : 0);
    });
}  // namespace

}  // namespace Terminals
