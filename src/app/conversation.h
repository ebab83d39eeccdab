#pragma once
// The conversation open in the chat view: which one, how much of it the page wants, the
// find-in-chat request that opened it, and the texts sent to it that its transcript does
// not show yet. Sending types into its terminal.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/follow.h"
#include "app/lanes.h"
#include "app/page_link.h"
#include "app/reports.h"
#include "app/sources.h"
#include "base/clock.h"

/// A text the user sent to the open conversation that the transcript does not show yet.
struct PendingText {
  std::string text;
  Clock::Time at = 0;
};

class Conversation {
 public:
  static constexpr int kFirstWant = 24;  ///< chat lines a freshly opened conversation shows

  Conversation(Lanes& lanes, Reports& reports, std::shared_ptr<const AppSources> sources);

  std::string openSID;        ///< persisted as "openSID"; empty shows the rack
  int chatWant = kFirstWant;  ///< how many chat lines the page should get
  nlohmann::json find;        ///< null, or the find-in-chat request (holds "sid")
  int64_t findToken = 0;      ///< raised for every new find, so the page scrolls again
  std::vector<PendingText> pending;

  /// The conversation left open by the last run.
  void restore();
  /// Sets the open conversation (persisted); a find of another conversation is forgotten.
  void setOpenSID(const std::string& sid);
  /// Opens `sid` at its first window with nothing pending; a `find` whose trimmed query has
  /// 2 or more characters becomes the find request, "ready" once its moment is read.
  void open(const std::string& sid, const nlohmann::json& find);
  /// Back to the rack.
  void close();
  /// Opens `sid` as stepping does: first window, nothing pending, the find kept if its own.
  void stepTo(const std::string& sid);
  /// Opens the conversation `by` rows on in rack order (the first row when none is open).
  Follow step(const std::vector<std::string>& order, int by);
  /// The next, wider window of chat lines.
  Follow more();
  /// Forgets the find request; the next scan paints without it.
  Follow forgetFind();
  /// The find request of the open conversation, or null.
  nlohmann::json shownFind() const;

  /// Forgets texts unconfirmed for two minutes; the texts of the rest.
  std::vector<std::string> pendingTexts(Clock::Time now);

  /// Where the find request points: its moment (0: none) and token (-1: none).
  struct Reach {
    double at = 0;
    int64_t token = -1;
  };
  Reach reach() const;
  /// A read of `sid` showed that `need` lines hold the find's moment: widen the window and
  /// let the page scroll. False when another conversation is open by now.
  bool reached(const std::string& sid, int need, int64_t token);

  /// Types the text into the terminal of `sid`, shown as pending until the transcript has
  /// it; alerts when the terminal is closed or the text did not take, and gives text that
  /// was not typed back to the composer of the page that sent it.
  void send(PageLink& page, const std::string& sid, const std::string& text);

 private:
  Lanes& lanes;
  Reports& reports;
  std::shared_ptr<const AppSources> sources;
};
