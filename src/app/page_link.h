#pragma once
// The page as the application calls it. Calls go nowhere while no page is there (browser
// mode before a browser connects), and every page load starts a new generation, so an
// answer meant for the page that sent a message never reaches the one that replaced it.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "page/page_host.h"

/// Turns a text into a page string literal (JSON string with its quotes), safe inside a
/// script: line and paragraph separators are escaped too.
std::string jsString(const std::string& text);
/// Compact JSON text of a value for a page call; invalid UTF-8 is replaced, never fatal.
/// Empty when it cannot be written.
std::string scriptJson(const nlohmann::json& value);

class PageLink {
 public:
  explicit PageLink(PageHost* host) : host(host) {}

  bool attached() const { return host && host->attached(); }
  /// Calls `name(args…)` when a page is there.
  void call(const std::string& name, const std::vector<std::string>& args,
            PageHost::Done done = {});
  /// Calls `name(args…)` only when the page of `generation` is still the one loaded.
  void callSame(uint64_t generation, const std::string& name, const std::vector<std::string>& args);

  /// A page has (re)loaded.
  void loaded() { ++loads; }
  /// Page loads so far: replies and answers of an older page are stale.
  uint64_t generation() const { return loads; }

 private:
  PageHost* host;
  uint64_t loads = 0;
};
