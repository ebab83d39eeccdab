#pragma once
// The seam to the desktop: showing a file in the file manager and opening a file or URL
// with its default application. The Linux host lives in the shell; tests install a fake.

#include <memory>
#include <string>

namespace Desktop {

class Host {
 public:
  virtual ~Host() = default;
  /// Shows the file (or folder) selected in the file manager.
  virtual bool reveal(const std::string& path) = 0;
  /// Opens an absolute path or a URL with the default application.
  virtual bool open(const std::string& pathOrURL) = 0;
  /// Makes the application of the desktop entry at `entryPath` the default for the type.
  virtual bool makeDefault(const std::string& entryPath, const std::string& mimeType) {
    (void)entryPath;
    (void)mimeType;
    return false;
  }
};

/// The host in force; until one is installed, a host that refuses every request. Shared,
/// so a caller keeps it alive while a test installs another.
std::shared_ptr<Host> current();
/// Installs a host (nullptr goes back to the refusing one). Start-up and tests.
void install(std::shared_ptr<Host> host);

}  // namespace Desktop
