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

/// The most any store or settings file of Velmo's own may hold when read whole.
constexpr int64_t kStoreBytes = int64_t{16} * 1024 * 1024;

// Every reader below reads only regular files. A name is opened without blocking and its
// type is checked on the open descriptor, so a FIFO, a device (a link to /dev/zero, say), a
// folder or a socket found by that name gives no value at once instead of a wait that never
// ends or a read that never stops. Each refusal is logged once per file, not once per scan.

/// A whole regular file of at most `cap` bytes; a larger one gives no value.
std::optional<std::string> read(const std::string& path, int64_t cap = kStoreBytes);

/// The first `limit` bytes of a regular file (all of it when smaller).
std::optional<std::string> readHead(const std::string& path, int64_t limit);

/// The last `maxBytes` bytes of a regular file (the whole file when smaller), and the file's
/// size at the time of reading. A tail that starts mid-file may begin with a cut line.
struct Tail {
  std::string bytes;
  int64_t fileSize = 0;
  bool cut = false;  ///< true when the read began after the file's first byte
};
std::optional<Tail> readTail(const std::string& path, int64_t maxBytes);

/// A regular file of at most `cap` bytes held open, for a library that opens files by name:
/// `name()` reaches this very file, so a name swapped for a pipe meanwhile is never opened.
class Held {
 public:
  explicit Held(int fd, int64_t size) : descriptor(fd), bytes(size) {}
  ~Held();
  Held(Held&& other) noexcept;
  Held& operator=(Held&&) = delete;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  int fd() const { return descriptor; }
  int64_t size() const { return bytes; }
  /// "/proc/self/fd/N" for the held descriptor.
  std::string name() const;

 private:
  int descriptor = -1;
  int64_t bytes = 0;
};
std::optional<Held> hold(const std::string& path, int64_t cap);

/// Writes the whole file through a temporary file in the same folder and a rename,
/// so a reader never sees a half-written file. `mode` applies to the new file.
bool writeAtomic(const std::string& path, const std::string& data, mode_t mode = 0644);

/// Creates the folder and its parents; `mode` applies to folders it creates.
bool makeDirectories(const std::string& path, mode_t mode = 0755);

/// Appends one piece of text (creating the file with `mode` when absent); only to a
/// regular file, so a FIFO by that name fails at once instead of waiting for a reader.
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
