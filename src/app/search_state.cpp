#include "app/search_state.h"

#include <vector>

#include "base/log.h"
#include "base/paths.h"
#include "base/settings.h"
#include "base/text.h"

SearchState::SearchState(Lanes& l, std::shared_ptr<const AppSources> s)
    : lanes(l), sources(std::move(s)) {}

void SearchState::restore() {
  // Unlike the menu's switches, search starts closed unless it was left open.
  auto stored = Settings::value("searchOpen");
  open = stored && stored->is_boolean() && stored->get<bool>();
  query = Settings::text("searchQuery");
}

void SearchState::setOpen(bool now) {
  if (now == open) return;
  open = now;
  Settings::set("searchOpen", now);
}

void SearchState::setQuery(const std::string& text) {
  if (text == query) return;
  query = text;
  Settings::set("searchQuery", text);
}

Follow SearchState::search(const std::string& text) {
  std::string q = Text::trim(text);
  setQuery(q);
  if (Text::length(q) >= 2) {
    run(q);
  } else {
    stopRunning();
    hits = fileHits = titleHits = nlohmann::json::array();
    searching = false;
  }
  return Follow::repaint;
}

void SearchState::stopRunning() {
  if (running) running->stop();
  running.reset();
}

void SearchState::run(const std::string& q) {
  // Each keystroke starts a search: the one before must not keep the cores grepping.
  stopRunning();
  auto stop = std::make_shared<Terminals::Stop>();
  running = stop;
  searching = true;
  lanes.then(
      [src = sources, q, stop] {
        std::vector<nlohmann::json> found;
        if (src->search && !stop->stopped()) found = src->search(q, *stop);
        found.resize(3, nlohmann::json::array());
        return found;
      },
      [this, q, stop](std::vector<nlohmann::json> found) {
        // Results of a query the user has since changed would show under the wrong text.
        if (query != q || stop->stopped()) return Follow::nothing;
        if (running == stop) running.reset();
        hits = found[0];
        fileHits = found[1];
        titleHits = found[2];
        searching = false;
        return Follow::repaint;
      });
}

Follow SearchState::startSmart(const std::string& text) {
  const std::string q = Text::trim(text);
  Log::line(Paths::agent("velmo-smart.log"), "asked from the page: " + q);
  if (Text::length(q) < 3) return Follow::nothing;
  // The same question again (Enter after the pause already asked it) costs no second run,
  // unless the last one failed.
  if (q == smartQuery && !smartFailed) return Follow::nothing;
  smartFailed = false;
  smartQuery = q;
  smartBusy = true;
  smartHits = nullptr;
  const uint64_t run = ++smartRun;
  lanes.then(
      [src = sources, q] { return src->smart ? src->smart(q) : std::optional<nlohmann::json>(); },
      [this, run](std::optional<nlohmann::json> found) {
        // A slower, older question must not show its rows under the one asked since.
        if (run != smartRun) return Follow::nothing;
        smartBusy = false;
        smartFailed = !found;
        smartHits = found ? *found : nlohmann::json();
        return Follow::repaint;
      },
      true);
  return Follow::repaint;
}

void SearchState::close() {
  setOpen(false);
  forgetQuery();
}

void SearchState::forgetQuery() {
  setQuery("");
  // Files and titles too: search opened again would show them under an empty box. A search
  // still running is stopped, so it is no longer busy.
  stopRunning();
  hits = fileHits = titleHits = nlohmann::json::array();
  searching = false;
}

nlohmann::json SearchState::payload() const {
  return {{"query", query},
          {"hits", hits},
          {"files", fileHits},
          {"titles", titleHits},
          {"busy", searching},
          {"building", sources->indexing ? sources->indexing() : 0},
          {"smartQuery", smartQuery},
          {"smartBusy", smartBusy},
          {"smartFailed", smartFailed},
          {"smart", smartHits.is_null() ? nlohmann::json::array() : smartHits}};
}
