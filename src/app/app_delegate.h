#pragma once
// The application's centre: it owns the collaborators that hold what is open (the
// conversation, the document pane, the search state and the open overlays), runs the scan
// loop that repaints the page, and runs what the page, the menu and the shells ask through the command table. Everything
// here runs on the main thread; work that is not cheap runs on background queues and comes
// back through the main queue. No GTK or GLib: the shells reach it through `pageLoaded`,
// `receive` and the timer.

#include <atomic>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "app/cmd.h"
#include "app/claim.h"
#include "app/conversation.h"
#include "app/dialogs.h"
#include "app/document_pane.h"
#include "app/follow.h"
#include "app/lanes.h"
#include "app/menu.h"
#include "app/page_link.h"
#include "app/rack.h"
#include "app/reports.h"
#include "app/scan.h"
#include "app/search_state.h"
#include "app/sources.h"
#include "app/view.h"
#include "base/queue.h"
#include "page/page_host.h"

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  using Sources = AppSources;

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
  /// Starts the one-shot jobs of a launch in the background.
  void launch();
  /// A message posted by the page, as JSON text or parsed. Malformed ones are ignored; one
  /// whose arguments do not fit its act is logged too, once per kind of fault.
  void receiveText(const std::string& text);
  void receive(const nlohmann::json& message);

  /// Requests a scan; at most one runs, requests meanwhile collapse into one more.
  void scan();
  /// Runs the command of the table by its name with the arguments (an object), checked
  /// first: a hot key, a notification's action, or code of the shells.
  void run(const std::string& name, const nlohmann::json& args = nlohmann::json::object());
  /// Reads a document into the pane; `reader` shows it on its own.
  void loadDoc(const std::string& path, bool reader);

  /// A menu item chosen, in the window's menu, the page's, or by its keys: the command of
  /// that id, with `value` (the choice of a submenu's item) as its argument. The window's
  /// own items (editing, hiding, quitting) are the shell's and do nothing here.
  void choose(const std::string& id, std::optional<int> value = std::nullopt);
  /// The menu bar as it stands.
  std::vector<Menu::Item> menuBar() const { return menu.bar(); }
  /// Called on the main thread with the bar whenever its check marks or day line change
  /// (and once at once).
  void onMenu(std::function<void(const std::vector<Menu::Item>&)> hook) {
    menu.onChange(std::move(hook));
  }

  /// Called on the main thread each time this Velmo becomes the one that types and
  /// notifies on its own (at launch, or when the one before it quits or lets go).
  void whenClaimed(std::function<void()> hook) { owning.claimed = std::move(hook); }
  /// What the owner alone keeps up while it owns (the control socket); set before launch.
  void wearBadge(Claim::Badge badge) { owning.claim.wear(std::move(badge)); }
  /// Whether this Velmo is that one right now (any thread; asked before every act only
  /// the owner does); the others only watch.
  bool owns() { return owning.claim.sure(); }

  /// Called after every paint the page took (smoke tests wait for it).
  void onPainted(std::function<void()> hook) { painted = std::move(hook); }

  /// JSON text of the last payload the page took; empty forces the next paint.
  const std::string& lastPaint() const { return painting.last; }
  bool scanning() const { return painting.scanning; }
  bool queued() const { return painting.queued; }

  /// The paint payload of a scan result and the current state (rack order applied).
  nlohmann::json payload(const ScanResult& result);
  /// The scan body: builds every payload the snapshot asks for (any thread).
  static ScanResult build(const Sources& sources, const ScanSnapshot& snapshot);

 private:
  AppDelegate(Hosts hosts, Sources sources);

  /// Does what an act said must follow, once.
  void apply(Follow follow);
  /// Checks the arguments against the command and runs it; a fault is logged once, under
  /// `asked` (the road and the word it came by).
  void obey(const Cmd::Entry& command, const nlohmann::json& args, const std::string& asked);
  void finishScan(const ScanSnapshot& snapshot, const ScanResult& result);
  void paint(const ScanResult& result);
  void openNow(const std::string& sid);
  void pushCommands();
  /// Checks the claim, or takes it when free; announces each taking.
  bool holdClaim();
  /// Runs a job on the serial chores queue (made on first use).
  void chore(std::function<void()> job);

  Hosts hosts;
  AppSources::Ptr sources;
  Lanes lanes;
  PageLink page;
  Reports reports;

 public:
  // What is open, one owner per concern; the acts work on these.
  Conversation conversation;
  DocumentPane document;
  SearchState search;
  Overlays views;  ///< the overlays open over the rack or the conversation
  Menu::Shown menu;

 private:
  std::vector<std::string> order;  ///< rack order: keys of the rows, top first
  Desk desk;

  struct Painting {
    bool ready = false;  ///< a page is there; no scan runs before
    std::string last;    ///< JSON text of the last payload the page took
    bool scanning = false;
    bool queued = false;
  } painting;

  struct Owning {
    Claim claim;
    std::function<void()> claimed;
    Claim::State last;       ///< as the last scan found it
    bool viewerSaid = false;  ///< the log said once that another Velmo owns
  } owning;

  std::set<std::string> faultsLogged;  ///< page-message faults said once already
  std::unique_ptr<SerialQueue> choresQueue;
  std::shared_ptr<std::atomic<bool>> choreWaiting = std::make_shared<std::atomic<bool>>(false);
  std::function<void()> painted;
};
