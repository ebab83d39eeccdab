#include "terminals/applescript_host.h"

#include "base/lang.h"
#include "base/process.h"
#include "base/text.h"
#include "terminals/quoting.h"

namespace Terminals {
namespace {

constexpr double kReadLimit = 4;

bool ok(const std::optional<std::string>& result) {
  return result && Text::startsWith(*result, "ok");
}

// The loop every tab-addressed script shares: find the window whose first tab has the
// tty and run `action` on it, answering "ok", or "no" when there is none.
std::string onFirstTab(const std::string& tty, const std::string& action) {
  return "tell application \"Terminal\"\n"
         "  repeat with i from 1 to (count of windows)\n"
         "    try\n"
         "      if (tty of tab 1 of window i as text) is \"" +
         scriptQuote(tty) + "\" then\n" + action +
         "        return \"ok\"\n"
         "      end if\n"
         "    end try\n"
         "  end repeat\n"
         "  return \"no\"\n"
         "end tell";
}

}  // namespace

AppleScriptHost::AppleScriptHost(std::string path) : osascript(std::move(path)) {}

std::optional<std::string> AppleScriptHost::run(const std::string& script, double timeout) {
  auto out = shell(osascript, {"-e", script}, timeout);
  if (!out) return std::nullopt;
  return Text::trim(*out);
}

std::optional<std::map<std::string, std::string>> AppleScriptHost::titles() {
  auto out =
      run("tell application \"Terminal\"\n"
          "  set out to \"\"\n"
          "  repeat with i from 1 to (count of windows)\n"
          "    try\n"
          "      set out to out & (tty of tab 1 of window i as text) & tab & (name of window i as "
          "text) & linefeed\n"
          "    end try\n"
          "  end repeat\n"
          "  return out\n"
          "end tell",
          kReadLimit);
  if (!out) return std::nullopt;
  std::map<std::string, std::string> titles;
  for (const auto& line : Text::split(*out, '\n')) {
    auto parts = Text::split(line, '\t', false);
    if (parts.size() >= 2) titles[parts[0]] = parts[1];
  }
  return titles;
}

std::optional<std::vector<Screen>> AppleScriptHost::screens() {
  auto out =
      run("tell application \"Terminal\"\n"
          "  set out to \"\"\n"
          "  repeat with i from 1 to (count of windows)\n"
          "    try\n"
          "      set out to out & \"<<T>>\" & (tty of selected tab of window i as text) & \"|W|\" "
          "& (id of window i as text) & linefeed\n"
          "      set out to out & (contents of selected tab of window i as text) & linefeed\n"
          "    end try\n"
          "  end repeat\n"
          "  return out\n"
          "end tell",
          kReadLimit);
  if (!out || out->empty()) return std::nullopt;
  return splitDump(*out, "<<T>>");
}

std::optional<std::string> AppleScriptHost::screen(const std::string& tty) {
  return run(
      "tell application \"Terminal\"\n"
      "  repeat with i from 1 to (count of windows)\n"
      "    try\n"
      "      if (tty of selected tab of window i as text) is \"" +
          scriptQuote(tty) +
          "\" then return contents of selected tab of window i\n"
          "    end try\n"
          "  end repeat\n"
          "  return \"<<none>>\"\n"
          "end tell",
      kReadLimit);
}

bool AppleScriptHost::typeLine(const std::string& tty, const std::string& text) {
  return ok(
      run(onFirstTab(tty, "        do script \"" + scriptQuote(text) + "\" in tab 1 of window i\n"),
          0));
}

std::string AppleScriptHost::keys(int moves, const std::string& text) {
  std::vector<std::string> pieces;
  pieces.reserve(static_cast<size_t>(moves < 0 ? -moves : moves) + 1);
  for (int i = 0; i < (moves < 0 ? -moves : moves); ++i)
    pieces.push_back(moves < 0 ? "e & \"[A\"" : "e & \"[B\"");
  pieces.push_back("\"" + scriptQuote(text) + "\"");
  return Text::join(pieces, " & ");
}

bool AppleScriptHost::typeKeys(const std::string& tty, int moves, const std::string& text) {
  return ok(run(
      "set e to (ASCII character 27)\n" +
          onFirstTab(tty, "        do script (" + keys(moves, text) + ") in tab 1 of window i\n"),
      0));
}

bool AppleScriptHost::pasteLine(const std::string& tty, const std::string& text) {
  return typeLine(tty, Text::replaceAll(text, "\n", " "));
}

bool AppleScriptHost::setTitle(const std::string& tty, const std::string& title) {
  return ok(run(
      onFirstTab(tty, "        set custom title of tab 1 of window i to \"" + scriptQuote(title) +
                          "\"\n"
                          "        set title displays custom title of tab 1 of window i to true\n"),
      0));
}

bool AppleScriptHost::raise(const std::string& tty) {
  return ok(run(onFirstTab(tty,
                           "        set index of window i to 1\n"
                           "        activate\n"),
                0));
}

std::string AppleScriptHost::openCommand(const std::string& cwd, const Launch& what) {
  if (what.userShell) return "cd " + shellQuote(cwd) + " && " + shellLine(what.argv);
  std::vector<std::string> args;
  for (size_t i = 1; i < what.argv.size(); ++i) args.push_back(shellQuote(what.argv[i]));
  return "unset CLAUDE_CODE_SESSION_ID CLAUDE_CODE_CHILD_SESSION; cd " + shellQuote(cwd) + " && " +
         shellQuote(what.argv[0]) + " " + Text::join(args, " ");
}

bool AppleScriptHost::open(const std::string& cwd, const Launch& what) {
  if (what.argv.empty()) return false;
  auto out =
      run("tell application \"Terminal\"\n"
          "  activate\n"
          "  do script \"" +
              scriptQuote(openCommand(cwd, what)) +
              "\"\n"
              "end tell\n"
              "return \"ok\"",
          0);
  return out && *out == "ok";
}

void AppleScriptHost::close(const std::string& tty) {
  run("tell application \"Terminal\"\n"
      "  repeat with i from (count of windows) to 1 by -1\n"
      "    try\n"
      "      if (tty of tab 1 of window i as text) is \"" +
          scriptQuote(tty) +
          "\" then close window i saving no\n"
          "    end try\n"
          "  end repeat\n"
          "end tell",
      0);
}

bool AppleScriptHost::closeSingle(const std::string& tty) {
  return ok(
      run("tell application \"Terminal\"\n"
          "  repeat with i from (count of windows) to 1 by -1\n"
          "    try\n"
          "      if (count of tabs of window i) is 1 and (tty of tab 1 of window i as text) is \"" +
              scriptQuote(tty) +
              "\" then\n"
              "        close window i saving no\n"
              "        return \"ok\"\n"
              "      end if\n"
              "    end try\n"
              "  end repeat\n"
              "  return \"no\"\n"
              "end tell",
          0));
}

std::string AppleScriptHost::openFailure(bool forCommand) const {
  if (!forCommand)
    return Lang::pick("Opening the terminal failed — usually a missing automation permission.",
                      "פתיחת המסוף נכשלה — בדרך כלל חסר אישור אוטומציה.");
  return std::string(
             Lang::pick("Opening the terminal failed — usually a missing automation permission: ",
                        "פתיחת המסוף נכשלה — בדרך כלל חסר אישור אוטומציה: ")) +
         Lang::pick("System Settings → Privacy & Security → Automation → Velmo → Terminal.",
                    "הגדרות המערכת ← פרטיות ואבטחה ← אוטומציה ← ולמו ← מסוף.");
}

}  // namespace Terminals
