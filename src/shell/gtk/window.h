#pragma once
// The application window: GTK 3 with a WebKitGTK web view showing the page.

/// Runs the window until Velmo quits; returns the exit status. Sets `noDisplay` (and
/// returns at once) when GTK cannot reach a display server.
int runWindow(const char* program, bool& noDisplay);
