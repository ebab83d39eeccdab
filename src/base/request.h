#pragma once
// What every road into Velmo has in common: a request names what it wants and carries its
// arguments as one JSON object. Each command declares its arguments with their JSON types;
// a request is checked against the declaration before anything runs, so a handler reads only
// arguments of the types it declared. The page, the menu and the control socket all use this
// one check.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Request {

/// The JSON types an argument may take, combined with `|`.
enum Type : unsigned {
  text = 1,
  integer = 2,
  fraction = 4,
  flag = 8,
  object = 16,
  list = 32,
  any = 64,  ///< any value, null too: an argument read leniently, its wrong types ignored
};

struct Arg {
  const char* key;
  unsigned types;
  bool optional = false;
};

/// A request's arguments, read after they were checked against the declaration: a read of
/// an absent optional argument gives the empty value.
class Args {
 public:
  explicit Args(const nlohmann::json& request) : request(request) {}
  std::string text(const char* key) const;
  int integer(const char* key) const;
  /// An integer argument at full width; none when absent.
  std::optional<int64_t> wide(const char* key) const;
  bool flag(const char* key) const;
  /// Any value, null when absent.
  nlohmann::json value(const char* key) const;
  /// A number sent as text or as an integer, as text.
  std::string number(const char* key) const;

 private:
  const nlohmann::json& request;
};

/// Whether a value is of one of the types.
bool fits(const nlohmann::json& value, unsigned types);
/// Why a request does not fit the declared arguments ("\"sid\" is missing", "\"by\" is a
/// string, not an integer"), in the interface language; none when it fits. A request that
/// is not an object fits no declaration with a required argument.
std::optional<std::string> fault(const std::vector<Arg>& args, const nlohmann::json& request);

}  // namespace Request
