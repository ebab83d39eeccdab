#pragma once
// The application window: GTK 3 with a WebKitGTK web view showing the page.

#include <string>
#include <vector>

/// Runs the window until Velmo quits; returns the exit status. `files` open in the reader,
/// in the Velmo that runs already when there is one (this one then exits 0). Sets
/// `noDisplay` (and returns at once) when GTK cannot reach a display server.
int runWindow(const char* program, const std::vector<std::string>& files, bool& noDisplay);
