#pragma once
// Browser mode: the page served on 127.0.0.1 behind a random token, bridged over one
// WebSocket, with the scan loop running whether or not a browser is connected.

struct ServeOptions {
  int port = 0;       ///< 0: an ephemeral port
  bool open = true;   ///< open the URL with xdg-open
};

/// Runs until interrupted; returns the exit status.
int runServe(const ServeOptions& options);
