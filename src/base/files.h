#pragma once
// File helpers: whole and bounded reads, atomic writes, attributes and listings.
// Nothing here throws; failures come back as "no value" or false.

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "base/clock.h"

namespace Files {

struct Attributes {
  int64_t size = 0;
  Clock::Time modified = Clock::kDistantPast;
  bool directory = false;
  bool regular = false;
};

std::optional<Attributes> attributes(const std::string& path);
bool exists(const std::string& path);
bool isDirectory(const std::string& path);
bool isExecutableFile(const std::string& path);

std::optional<std::string> read(const std::string& path);

/// The last `maxBytes` bytes of a file (the whole file when smaller), and the file's
/// size at the time of reading. A tail that starts mid-file may begin with a cut line.
struct Tail {
  std::string bytes;
  int64_t fileSize = 0;
  bool cut = false;  ///< true when the read began after the file's first byte
};
std::optional<Tail> readTail(const std::string& path, int64_t maxBytes);

/// Writes the whole file through a temporary file in the same folder and a rename,
/// so a reader never sees a half-written file. `mode` applies to the new file.
bool writeAtomic(const std::string& path, const std::string& data, mode_t mode = 0644);

/// Creates the folder and its parents; `mode` applies to folders it creates.
bool makeDirectories(const std::string& path, mode_t mode = 0755);

/// Appends one piece of text (creating the file with `mode` when absent).
bool append(const std::string& path, const std::string& data, mode_t mode = 0644);

struct Entry {
  std::string name;
  std::string path;
};
/// The entries of a folder (not recursive, without "." and ".."), in directory order.
std::optional<std::vector<Entry>> list(const std::string& folder);

std::string join(const std::string& folder, const std::string& name);
/// The extension after the last dot of the last component ("" when none).
std::string extension(const std::string& name);
/// The last component without its extension.
std::string baseName(const std::string& name);

}  // namespace Files
