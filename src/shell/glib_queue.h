#pragma once
// The main queue of both shells: the GLib main context of the main thread.

#include <functional>

#include "base/queue.h"

class GlibMainQueue final : public MainQueue {
 public:
  /// Runs the job on the main loop later, never inside the caller (any thread).
  void post(Job job) override;
};

/// Calls `tick` every `seconds` on the main loop for the life of the process.
void everySeconds(double seconds, std::function<void()> tick);
