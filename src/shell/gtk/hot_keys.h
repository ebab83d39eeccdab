#pragma once
// The two keys that reach Velmo from any application: Ctrl+Alt+P shows or hides the
// window, Ctrl+Alt+F brings it forward with search open. They need a global grab, which
// X11 gives and Wayland does not; where it cannot be had, the log says so once.

#include <functional>

class HotKeys {
 public:
  HotKeys(std::function<void()> toggleWindow, std::function<void()> findAnywhere);
  ~HotKeys();
  HotKeys(const HotKeys&) = delete;
  HotKeys& operator=(const HotKeys&) = delete;

  /// Whether both keys are bound.
  bool bound() const { return held == 2; }

 private:
  std::function<void()> toggleWindow, findAnywhere;
  int held = 0;
};
