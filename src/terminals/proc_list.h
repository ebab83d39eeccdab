#pragma once
// The process list as `ps -ww -axo pid=,ruid=,tty=,etime=,args=` prints it, read from /proc
// directly: a scan every second and a half would otherwise start ps each time, which costs
// more than all the rest of the scan.

#include <optional>
#include <string>

namespace Terminals {

/// One line per process that has a controlling terminal ("pid ruid tty etime args"); the
/// others are left out, as nothing on a board can be shown without a terminal. Control
/// characters in a command line read as "?", as ps shows them. No value when /proc cannot
/// be read.
std::optional<std::string> listProcesses();

/// The name ps gives a controlling terminal number from /proc/PID/stat: "pts/N" for a
/// pseudo-terminal, "?" for none or one of another kind.
std::string terminalName(long long ttyNumber);

/// Elapsed seconds in ps's "[[DD-]hh:]mm:ss".
std::string elapsedText(long long seconds);

}  // namespace Terminals
