#pragma once
// Browser mode: the page served on 127.0.0.1 behind a random token, bridged over one
// WebSocket, with the scan loop running whether or not a browser is connected.

#include <string>

struct ServeOptions {
  int port = 0;       ///< 0: an ephemeral port
  bool open = true;   ///< open the URL with xdg-open
  std::string document;  ///< a file to show in the reader from the start ("" none)
};

/// Runs until interrupted; returns the exit status.
int runServe(const ServeOptions& options);
