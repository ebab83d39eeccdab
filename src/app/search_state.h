#pragma once
// The search view's state: whether it is open, the query (both kept across launches), the
// word-search results and the meaning search's question and answer.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "app/follow.h"
#include "app/lanes.h"
#include "app/sources.h"
#include "base/process.h"

class SearchState {
 public:
  SearchState(Lanes& lanes, std::shared_ptr<const AppSources> sources);

  bool open = false;                              ///< persisted as "searchOpen"
  std::string query;                              ///< persisted as "searchQuery"
  nlohmann::json hits = nlohmann::json::array();  ///< conversations
  nlohmann::json fileHits = nlohmann::json::array();
  nlohmann::json titleHits = nlohmann::json::array();
  bool searching = false;  ///< a word search runs
  std::string smartQuery;  ///< the meaning search's question
  bool smartBusy = false;
  nlohmann::json smartHits;  ///< null: none
  bool smartFailed = false;

  /// Search as the last run left it: open only when it was left open.
  void restore();
  void setOpen(bool open);
  void setQuery(const std::string& query);

  /// The text typed into the search box: searched from 2 characters, else the results go.
  Follow search(const std::string& text);
  /// Runs the word search. The search it overtakes is stopped (its grep killed), and
  /// results of a query changed meanwhile are dropped.
  void run(const std::string& query);
  /// Asks the meaning search (3 characters or more). Only the newest question's answer is
  /// shown; the same question is not asked twice unless its run failed.
  Follow startSmart(const std::string& query);
  /// Closes search and forgets its query and conversation hits ("back").
  void close();
  /// Forgets the query and everything it found (search closed, a conversation opened).
  void forgetQuery();

  /// The paint payload's "search".
  nlohmann::json payload() const;

 private:
  Lanes& lanes;
  std::shared_ptr<const AppSources> sources;
  uint64_t smartRun = 0;  ///< the meaning search whose answer may still be shown
  std::shared_ptr<Terminals::Stop> running;  ///< stops the word search in flight, if any

  /// Stops the word search in flight: its results would be dropped anyway.
  void stopRunning();
};
