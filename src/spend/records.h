#pragma once
// The records of the token account: counters, what each session and each transcript file
// has contributed, and the store that holds them.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Spend {

/// Token counts (and calls) of some usage; adding two adds every field.
struct Counters {
  int64_t input = 0;
  int64_t output = 0;
  int64_t write5 = 0;   ///< tokens written to the 5-minute prompt cache
  int64_t write1h = 0;  ///< tokens written to the 1-hour prompt cache
  int64_t read = 0;     ///< tokens read from the prompt cache
  int64_t calls = 0;    ///< counted assistant messages (API calls)

  Counters& operator+=(const Counters& o);
  Counters& operator-=(const Counters& o);
  bool zero() const;
  bool operator==(const Counters&) const = default;
};

/// Field by field, the larger of the two.
Counters largest(const Counters& a, const Counters& b);

/// model name → counters
using ModelMap = std::map<std::string, Counters>;
/// day or hour key → model name → counters
using KeyedMap = std::map<std::string, ModelMap>;

/// Every model's counters summed into one.
Counters total(const ModelMap& models);

/// What one agent session has used.
struct SessionSpend {
  std::string project;  ///< display name of the project
  ModelMap models;      ///< all time
  KeyedMap daily;       ///< "yyyy-MM-dd" → model → counters, the last 14 days
  double last = 0;      ///< seconds since 1970 of the newest counted message
};

/// A message of a log whose later records may still raise its usage: what has been
/// counted for it so far, and when and under which model it was booked.
struct Recent {
  uint64_t id = 0;  ///< hash of the message id
  std::string model;
  double at = 0;
  Counters counted;
  bool foreign = false;  ///< counted by another log (a fork repeating it): never booked here
};

/// The reading position of one transcript file, and what that file alone has added, so a
/// file that shrinks can take back its own counts and nothing else.
struct Mark {
  int64_t pos = 0;             ///< byte offset up to which the file has been read
  int64_t size = 0;            ///< the file's size at that time
  std::string lastMsg;         ///< id of the last counted message
  std::string sid;             ///< the session the file belongs to
  std::vector<Recent> recent;  ///< the last few messages, newest last
  ModelMap models;             ///< this file's all-time counts
  KeyedMap daily;              ///< this file's counts by day (pruned as the sessions' are)
  KeyedMap hours;              ///< this file's counts by hour (pruned as the store's are)
};

/// The whole account as stored.
struct Store {
  std::map<std::string, Mark> marks;             ///< log key → mark
  std::map<std::string, SessionSpend> sessions;  ///< session id → spend
  KeyedMap hours;              ///< "yyyy-MM-dd HH" → model → counters, the last 21 days
  uint64_t idsGeneration = 0;  ///< which counted-ids file belongs to this store
};

/// One transcript file found on disk (not stored).
struct Log {
  std::string path;
  std::string key;  ///< project folder name, "/", the path below it
  std::string sid;
  int64_t size = 0;
  double modified = 0;
  std::string project;  ///< display name
};

/// One message as a stretch of a log shows it: the largest usage of its records there.
struct Use {
  uint64_t id = 0;     ///< hash of the message id (0 when the record had none)
  uint32_t model = 0;  ///< index into the stretch's model names
  double at = 0;       ///< time of its first record
  Counters counters;
};

}  // namespace Spend
