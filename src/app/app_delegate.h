#pragma once
// The application's stateful centre: what is open, the scan loop that repaints the page,
// and the handler of the page's messages. Everything here runs on the main thread; work
// that is not cheap runs on background queues and comes back through the main queue.
// No GTK or GLib: the shells reach it through `pageLoaded`, `receive` and the timer.

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "base/clock.h"
#include "base/queue.h"
#include "page/page_host.h"
#include "terminals/terminal.h"

/// A text the user sent to the open conversation that the transcript does not show yet.
struct PendingText {
  std::string text;
  Clock::Time at = 0;
};

/// What one scan body reads of the application state, taken on the main thread.
struct ScanSnapshot {
  std::string openSID;
  std::vector<std::string> pendingTexts;
  int chatWant = 24;
  bool agentsOpen = false;
  bool bookOpen = false;
  bool worksOpen = false;
  bool asksOpen = false;
  bool spendOpen = false;
};

/// The payloads one scan built, in paint order.
struct ScanResult {
  nlohmann::json units = nlohmann::json::array();
  nlohmann::json chat;  ///< null: no conversation open, or it could not be read
  nlohmann::json crew = nlohmann::json::array();
  nlohmann::json book = nlohmann::json::object();
  nlohmann::json works = nlohmann::json::object();
  nlohmann::json asks = nlohmann::json::array();
  nlohmann::json live = nlohmann::json::array();
  nlohmann::json spend = nlohmann::json::object();
  nlohmann::json alerts = nlohmann::json::array();
  bool lost = false;  ///< a conversation was open and could not be read
  double chatSeconds = 0;
};

/// The state the page shows, with the initial values of a fresh start.
struct AppState {
  bool ready = false;     ///< a page is there; no scan runs before
  std::string lastPaint;  ///< JSON text of the last payload the page took
  bool scanning = false;
  bool queued = false;
  std::vector<std::string> order;  ///< rack order: session ids of the rows, top first
  bool agentsOpen = false, bookOpen = false, worksOpen = false, asksOpen = false, spendOpen = false,
       readerOpen = false;
  int chatWant = 24;
  std::string docPath;  ///< persisted as "docPath"
  std::string docText;
  bool docEditing = false;
  std::string docNote;
  bool docWarn = false;
  int64_t docStamp = 0;  ///< raised whenever the page must redraw the document's text
  nlohmann::json docPaths = nlohmann::json::array();  ///< existing files named in docText
  std::string openSID;      ///< persisted as "openSID"; empty shows the rack
  nlohmann::json chatFind;  ///< null, or the find-in-chat dictionary (holds "sid")
  int64_t findToken = 0;
  bool searchOpen = false;  ///< persisted as "searchOpen"
  std::string query;        ///< persisted as "searchQuery"
  nlohmann::json hits = nlohmann::json::array();
  nlohmann::json fileHits = nlohmann::json::array();
  nlohmann::json titleHits = nlohmann::json::array();
  std::string smartQuery;
  bool smartBusy = false;
  nlohmann::json smartHits;  ///< null: none
  bool smartFailed = false;
  bool searching = false;
  std::vector<PendingText> pending;
};

/// Turns a text into a page string literal (JSON string with its quotes), safe inside a
/// script: line and paragraph separators are escaped too.
std::string jsString(const std::string& text);
/// Compact JSON text of a value for a page call; invalid UTF-8 is replaced, never fatal.
std::string scriptJson(const nlohmann::json& value);

/// Applies the rack order: newcomers (in the builder's order) go on top, known rows keep
/// their places, rows that are gone leave. Returns the rows in the new order.
nlohmann::json orderRack(std::vector<std::string>& order, const nlohmann::json& units);

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  /// What the scan and the messages read of other subsystems; tests replace them.
  struct Sources {
    std::function<nlohmann::json()> units;
    std::function<nlohmann::json(const std::string& sid, const nlohmann::json& pending, int want)>
        chat;
    std::function<nlohmann::json(const std::string& excluding)> alerts;
    std::function<nlohmann::json()> agents, book, works, asks, liveAsks, spend;
    /// Brings the spend store up to date (unforced) before the board is built.
    std::function<void()> refreshSpend;
    /// The chores of one scan (hand-off and naming passes), run one at a time on the
    /// serial queue "velmo.chores"; none when empty.
    std::function<void()> chores;
    std::function<std::vector<Terminal>()> terminals;
    /// How many chat lines reach back to a moment of the conversation (a search hit).
    std::function<int(double time, const std::string& sid)> reach;
    /// Word search: conversations, files, titles.
    std::function<std::vector<nlohmann::json>(const std::string& query)> search;
    /// The slash-command catalogue sent after every page load.
    std::function<nlohmann::json()> commands;

    /// The real subsystems.
    static Sources live();
  };

  struct Hosts {
    PageHost* page = nullptr;
    MainQueue* main = nullptr;
    Dialogs* dialogs = nullptr;           ///< none: alerts become diagnostic lines
    std::function<void(Job)> background;  ///< default: the shared pool
    /// Work that blocks for seconds (typing into a terminal and watching it take), kept
    /// apart so a few answers never hold up the scan; default: a pool of its own, or
    /// `background` when only that is given.
    std::function<void(Job)> slow;
  };

  static std::shared_ptr<AppDelegate> make(Hosts hosts, Sources sources = Sources::live());
  ~AppDelegate();

  /// The page finished loading (or a browser connected): ready, forced repaint, scan.
  void pageLoaded();
  /// Browser mode: scans run from the start; painting waits for a page.
  void startWithoutPage();
  /// A message posted by the page, as JSON text or parsed; malformed ones are ignored.
  void receiveText(const std::string& text);
  void receive(const nlohmann::json& message);

  /// Requests a scan; at most one runs, requests meanwhile collapse into one more.
  void scan();
  void step(int by);
  void refreshNow();
  void wakeAll();
  void findAnywhere();
  void openSession(const std::string& sid, bool show, const nlohmann::json& find = nullptr);
  /// Opens the previous (-1) or next (+1) conversation that is not idle, in rack order.
  void stepLive(int by);
  /// Reads a document into the reader's state; `reader` shows it on its own.
  void loadDoc(const std::string& path, bool reader);

  /// Called after every paint the page took (smoke tests wait for it).
  void onPainted(std::function<void()> hook) { painted = std::move(hook); }

  AppState& state() { return s; }
  void setOpenSID(const std::string& sid);
  void setDocPath(const std::string& path);
  void setSearchOpen(bool open);
  void setQuery(const std::string& query);

  /// The paint payload of a scan result and the current state (rack order applied).
  nlohmann::json payload(const ScanResult& result);
  /// The scan body: builds every payload the snapshot asks for (any thread).
  static ScanResult build(const Sources& sources, const ScanSnapshot& snapshot);

 private:
  AppDelegate(Hosts hosts, Sources sources);

  using Message = nlohmann::json;
  using Effect = void (AppDelegate::*)(const Message&);
  struct Act {
    const char* name;
    Effect effect;  ///< null: accepted, its subsystem has not landed yet
  };
  static const std::vector<Act>& acts();

  void finishScan(const ScanSnapshot& snapshot, ScanResult result);
  void paint(const ScanResult& result);
  void repaint();
  void openNow(const std::string& sid);
  void background(Job job);
  void slow(Job job);
  void onMain(Job job);
  /// Runs `work` in the background (`blocking`: on the slow lane), then `then` with its
  /// result on the main thread while the application lives. `work` must not touch it.
  template <typename Work, typename Then>
  void backgroundThen(Work work, Then then, bool blocking = false);
  static void backgroundFailed(const std::exception& e);
  void callPage(const std::string& name, const std::vector<std::string>& args,
                PageHost::Done done = {});
  void alert(const Alert& alert, std::function<void(int)> done = {});
  void reportSendFailure();
  void reportSendFailure(const std::string& reason, const std::string& tty);
  /// The terminal's input row holds words the user has not sent: nothing was typed.
  void reportUnsentText(const std::string& tty);
  void reportClosedTerminal();
  void reportOpenFailure(const std::string& message);
  void sendText(const std::string& sid, const std::string& text);
  void runSearch(const std::string& query);
  void startSmart(const std::string& query);
  void pushCommands();
  void pushAsset(const nlohmann::json& asset);
  void newTerminal();
  void raiseTerminal(const std::string& tty);
  void openStepped(const std::string& sid);

  void openAct(const Message& m);
  void backAct(const Message& m);
  void agentsAct(const Message& m);
  void bookAct(const Message& m);
  void worksAct(const Message& m);
  void asksAct(const Message& m);
  void spendAct(const Message& m);
  void searchOpenAct(const Message& m);
  void refreshAct(const Message& m);
  void wakeAllAct(const Message& m);
  void quickAct(const Message& m);
  void sendAct(const Message& m);
  void newTerminalAct(const Message& m);
  void answerAskAct(const Message& m);
  void answerFreeAct(const Message& m);
  void muteAct(const Message& m);
  void resumeAct(const Message& m);
  void raiseAct(const Message& m);
  void raiseTtyAct(const Message& m);
  void moreAct(const Message& m);
  void stepAct(const Message& m);
  void findClearAct(const Message& m);
  void findHereAct(const Message& m);
  void searchAct(const Message& m);
  void smartSearchAct(const Message& m);
  void showInFinderAct(const Message& m);
  void revealAct(const Message& m);
  void openURLAct(const Message& m);
  void openDocAct(const Message& m);
  void editDocAct(const Message& m);
  void saveDocAct(const Message& m);
  void closeDocAct(const Message& m);
  void assetAct(const Message& m);
  void saveAssetAct(const Message& m);
  void stashAct(const Message& m);
  void pageErrorAct(const Message& m);
  void logAct(const Message& m);

  Hosts hosts;
  std::shared_ptr<const Sources> sources;
  AppState s;
  uint64_t pageGeneration = 0;  ///< page loads so far; replies from an older page are stale
  uint64_t docLoads = 0;        ///< document loads and closes so far; an older read is stale
  std::unique_ptr<SerialQueue> choresQueue;
  std::shared_ptr<std::atomic<bool>> choreWaiting = std::make_shared<std::atomic<bool>>(false);
  std::function<void()> painted;
};

template <typename Work, typename Then>
void AppDelegate::backgroundThen(Work work, Then then, bool blocking) {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  MainQueue* main = hosts.main;
  Job job = [weak, main, work = std::move(work), then = std::move(then)]() mutable {
    try {
      auto result = work();
      main->post([weak, then, result = std::move(result)]() mutable {
        if (auto self = weak.lock()) then(*self, std::move(result));
      });
    } catch (const std::exception& e) {
      // A pool thread must never end the process; the effect is simply lost.
      backgroundFailed(e);
    }
  };
  if (blocking)
    slow(std::move(job));
  else
    background(std::move(job));
}
