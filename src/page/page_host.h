#pragma once
// The seam to the page: the web view in the window, or the WebSocket in browser mode.

#include <string>

class PageHost {
 public:
  virtual ~PageHost() = default;
  /// Evaluates a script text in the page ("paint({...})").
  virtual void evaluate(const std::string& script) = 0;
};
