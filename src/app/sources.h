#pragma once
// What the application reads of the other subsystems: the payload builders of the scan
// and the few readers its acts need. Tests replace them; `live()` gives the real ones.

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/menu.h"
#include "base/process.h"
#include "page/panel.h"
#include "page/panel_chat.h"
#include "terminals/terminal.h"

struct AppSources {
  /// Shared by every job in flight, so a job never outlives what it reads.
  using Ptr = std::shared_ptr<const AppSources>;

  std::function<std::vector<Panel::Unit>()> units;
  std::function<std::optional<Panel::Chat>(const std::string& sid,
                                           const std::vector<std::string>& pending, int want)>
      chat;
  std::function<nlohmann::json(const std::string& excluding)> alerts;
  std::function<std::vector<Panel::CrewRow>()> agents;
  std::function<std::vector<Panel::BookGroup>()> book;
  std::function<Panel::WorksList()> works;
  std::function<std::vector<Panel::AskRow>()> asks;
  std::function<nlohmann::json()> liveAsks, spend;
  /// Brings the spend account up to date; unforced, at most every 30 seconds.
  std::function<void(bool force)> refreshSpend;
  /// One-shot jobs at launch, off the main thread (the first full count of spend, the
  /// search index).
  std::function<void()> launchJobs;
  /// The chores of one scan (hand-off and naming passes), run one at a time on the
  /// serial queue "velmo.chores"; none when empty.
  std::function<void()> chores;
  /// The page's continue click for a ready hand-off; run on the chores queue.
  std::function<void(const std::string& sid)> relayGo;
  std::function<std::vector<Terminal>()> terminals;
  /// How many chat lines reach back to a moment of the conversation (a search hit).
  std::function<int(double time, const std::string& sid)> reach;
  /// Word search: conversations, files, titles. Once `stop` is stopped (the query was
  /// overtaken), the programs it runs are killed and what it gives is dropped.
  std::function<std::vector<nlohmann::json>(const std::string& query, const Terminals::Stop& stop)>
      search;
  /// Meaning search: rows, best first, or none when it could not run or failed. Blocks
  /// for seconds.
  std::function<std::optional<nlohmann::json>(const std::string& question)> smart;
  /// Transcripts the running index refresh has still to read (0 when none runs).
  std::function<int64_t()> indexing;
  /// What the menu shows of files (the login item, today's tally).
  std::function<Menu::State()> menuState;
  /// The slash-command catalogue sent after every page load.
  std::function<nlohmann::json()> commands;

  /// The real subsystems.
  static AppSources live();

  /// The open terminals, or none without a reader.
  std::vector<Terminal> openTerminals() const {
    return terminals ? terminals() : std::vector<Terminal>{};
  }
  /// The rack rows, or none without a builder.
  std::vector<Panel::Unit> rackRows() const { return units ? units() : std::vector<Panel::Unit>{}; }
};
