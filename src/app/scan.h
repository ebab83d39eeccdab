#pragma once
// One scan: what it reads of the application's state (taken on the main thread), the
// payloads its body builds off the main thread, and the one paint payload made of both.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/conversation.h"
#include "app/menu.h"
#include "app/document_pane.h"
#include "app/search_state.h"
#include "app/sources.h"
#include "app/view.h"
#include "page/panel.h"
#include "page/panel_chat.h"

/// What one scan body reads of the application state.
struct ScanSnapshot {
  std::string openSID;
  std::vector<std::string> pendingTexts;
  int chatWant = Conversation::kFirstWant;
  Overlays views;  ///< the overlays open when the scan began
};

/// The payloads one scan built, as records; they become JSON only in `paintPayload`. A
/// view's payload left none (null for the JSON ones) was not built and is not sent.
struct ScanResult {
  std::vector<Panel::Unit> units;
  std::optional<Panel::Chat> chat;  ///< none: no conversation open, or it could not be read
  std::optional<std::vector<Panel::CrewRow>> crew = std::vector<Panel::CrewRow>{};
  std::optional<std::vector<Panel::BookGroup>> book = std::vector<Panel::BookGroup>{};
  std::optional<Panel::WorksList> works = Panel::WorksList{};
  std::optional<std::vector<Panel::AskRow>> asks = std::vector<Panel::AskRow>{};
  nlohmann::json live = nlohmann::json::array();
  nlohmann::json spend = nlohmann::json::object();
  nlohmann::json alerts = nlohmann::json::array();
  std::optional<Menu::State> menu;  ///< none: not read by this scan
  bool lost = false;  ///< a conversation was open and could not be read
  double chatSeconds = 0;
};

/// The scan body: builds every payload the snapshot asks for (any thread).
ScanResult buildScan(const AppSources& sources, const ScanSnapshot& snapshot);

/// The paint payload: the scan's payloads of the views open now, the state around them,
/// and "view", the one view the page shows. Applies the rack order to the rows.
nlohmann::json paintPayload(const ScanResult& result, std::vector<std::string>& order,
                            const Overlays& views, const Conversation& conversation,
                            const SearchState& search, const DocumentPane& document);
