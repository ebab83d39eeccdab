#pragma once
// A temporary home for one test: HOME points at a fresh folder (removed afterwards),
// and every cache keyed by the home is forgotten on the way in and out.

#include <string>

class ScopedHome {
 public:
  ScopedHome();
  ~ScopedHome();
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;

  const std::string& path() const { return root; }
  /// A path inside the agent's folder (~/.claude/…).
  std::string agent(const std::string& relative) const;
  /// Writes a file (creating its folders) and returns its path.
  std::string write(const std::string& relative, const std::string& text) const;

 private:
  std::string root;
  std::string oldHome;
  bool hadHome = false;
  std::string oldConfig;
  bool hadConfig = false;
};

/// A fresh temporary folder's path (mkdtemp under $TMPDIR or /tmp).
std::string makeTempDir(const std::string& stem = "velmo-test");
/// Removes a folder and everything in it.
void removeTree(const std::string& path);
/// Sets a file's modification time (seconds since 1970).
void setModified(const std::string& path, double when);
