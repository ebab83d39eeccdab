#pragma once
// A terminal host whose screens the test writes and whose typing it records. Hooks let a
// test change the screens as the code types, the way the agent would redraw.

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "terminals/host.h"

class ScriptedHost final : public Terminals::TerminalHost {
 public:
  /// One thing done to a terminal.
  struct Call {
    std::string
        kind;  ///< "line", "keys", "paste", "title", "raise", "open", "close", "closeSingle",
               ///< "lastingId", "closeById"
    std::string tty;
    int moves = 0;
    std::string text;  ///< typed text, title, or the folder of "open"
    Terminals::Launch launch;
  };

  /// Installs itself as the host for the test's life.
  ScriptedHost();
  ~ScriptedHost() override;

  // What the test scripts (guarded, so answers on other threads may read them).
  void show(const std::string& tty, const std::string& screen);  ///< sets a visible screen
  void hide(const std::string& tty);                             ///< the tty leaves the dump
  void setReadable(bool readable);  ///< false: every read answers "no value"
  void setTypingWorks(bool works);  ///< false: every typing call fails
  void setRaiseWorks(bool works);
  void setOpenWorks(bool works);
  /// Runs after every typing call ("line", "keys" or "paste"), with the call; may change
  /// screens.
  void onType(std::function<void(ScriptedHost&, const Call&)> hook);
  /// Runs before every dump, with the number of dumps so far; may change screens.
  void onDump(std::function<void(ScriptedHost&, int)> hook);

  std::vector<Call> calls() const;
  /// Only the typing calls ("line", "keys" and "paste").
  std::vector<Call> typed() const;
  int dumps() const;
  /// Plain reads of one screen (`screen`); the reads with attributes are counted apart.
  int reads() const;
  int styledReads() const;

  std::optional<std::map<std::string, std::string>> titles() override;
  std::optional<std::vector<Terminals::Screen>> screens() override;
  std::optional<std::string> screen(const std::string& tty) override;
  /// The screen as the test set it: the test writes any attribute codes into it.
  std::optional<std::string> styledScreen(const std::string& tty) override;
  bool typeLine(const std::string& tty, const std::string& text) override;
  bool typeKeys(const std::string& tty, int moves, const std::string& text) override;
  bool pasteLine(const std::string& tty, const std::string& text) override;
  bool setTitle(const std::string& tty, const std::string& title) override;
  bool raise(const std::string& tty) override;
  bool open(const std::string& cwd, const Terminals::Launch& what) override;
  void close(const std::string& tty) override;
  bool closeSingle(const std::string& tty) override;
  /// "pane:" and the tty, recorded as "lastingId".
  std::optional<std::string> lastingId(const std::string& tty) override;
  /// Recorded as "closeById" with the id as its text; answers what `setClosedAnswer` set.
  Closed closeSingleById(const std::string& id) override;
  void setClosedAnswer(Closed answer);
  /// What `occupant` answers for every id: by default nothing, as for a terminal gone.
  std::optional<Occupant> occupant(const std::string& id) override;
  void setOccupant(std::optional<Occupant> answer);

 private:
  bool record(Call call);

  mutable std::recursive_mutex lock;
  std::map<std::string, std::string> visible;
  std::map<std::string, std::string> titleOf;
  bool readable = true;
  bool typingWorks = true;
  bool raiseWorks = true;
  bool openWorks = true;
  Closed closedAnswer = Closed::window;
  std::optional<Occupant> occupantAnswer;
  std::function<void(ScriptedHost&, const Call&)> typeHook;
  std::function<void(ScriptedHost&, int)> dumpHook;
  std::vector<Call> log;
  int dumpCount = 0;
  int readCount = 0;
  int styledCount = 0;
};
