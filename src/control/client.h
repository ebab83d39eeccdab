#pragma once
// The client side of the control socket, as the `velmo-q` tool uses it: its command line
// turned into one request object, and one exchange with a running Velmo.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace Control {

/// A command line read as a request.
struct ClientCall {  // NOLINT(bugprone-exception-escape): plain data; its members only allocate
  nlohmann::json request;  ///< null when there is none (help, or a usage error)
  bool help = false;
  bool version = false;  ///< `--version`: print the version, send nothing
  std::string error;     ///< the usage error, "" when none
};

/// Reads `velmo-q`'s arguments (without the program name).
ClientCall parseClient(const std::vector<std::string>& args);
/// The tool's usage text, in the interface language.
std::string clientUsage();

/// What one exchange gave.
struct Exchange {
  std::optional<nlohmann::json> reply;  ///< none when Velmo could not be reached
  std::string failure;                  ///< one line on why not
};

/// Connects to the socket at `path`, writes the request and a line feed, and reads the one
/// reply object (waiting at most `seconds`).
Exchange exchange(const std::string& path, const nlohmann::json& request, double seconds);

}  // namespace Control
