#pragma once
// The seam to the page: the web view in the window, or the WebSocket in browser mode.

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

class PageHost {
 public:
  /// How a page call ended: an empty error on success, with the function's result.
  struct Reply {  // NOLINT(bugprone-exception-escape): plain data; its members only allocate
    std::string error;
    nlohmann::json value;  ///< null when the function returned nothing
  };
  using Done = std::function<void(const Reply&)>;

  virtual ~PageHost() = default;

  /// Calls the page function `name(args…)`. Each argument is a script value already
  /// (compact JSON text, `true`/`false` or a number). `done`, when given, runs on the main
  /// thread once the page has run the call or failed to.
  virtual void call(const std::string& name, const std::vector<std::string>& args,
                    Done done = {}) = 0;

  /// False while no page is there to call (browser mode before a browser connects).
  virtual bool attached() const { return true; }
};
