#include "app/desktop_entries.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "base/files.h"
#include "base/paths.h"
#include "base/text.h"

namespace DesktopEntries {
namespace {

std::string xdgDir(const char* variable, const std::string& fallback) {
  const char* v = std::getenv(variable);
  // The base-directory rules ignore a relative value.
  if (v && *v == '/') return v;
  return Paths::home() + "/" + fallback;
}

}  // namespace

std::string execLine(const std::string& program, const std::string& codes) {
  if (program.empty() || program.find_first_of("\n\r") != std::string::npos) return "";
  // Inside double quotes the quote, backquote, dollar and backslash take a backslash; a
  // percent sign is a field code unless doubled.
  std::string quoted = "\"";
  for (char c : program) {
    if (c == '"' || c == '`' || c == '$' || c == '\\')
      quoted += std::string("\\") + c;
    else if (c == '%')
      quoted += "%%";
    else
      quoted += c;
  }
  quoted += "\"";
  // The value is a string first: its backslashes are escaped before the quoting is read.
  std::string value = Text::replaceAll(quoted, "\\", "\\\\");
  return codes.empty() ? value : value + " " + codes;
}

std::string entry(const std::string& program, const std::vector<std::string>& mimeTypes) {
  std::string exec = execLine(program, mimeTypes.empty() ? "" : "%f");
  if (exec.empty()) return "";
  std::string text =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Velmo\n"
      "Name[he]=ולמו\n"
      "Comment=A status screen for every open terminal\n"
      "Comment[he]=מסך־המצב של המסופים הפתוחים\n";
  text += "Exec=" + exec + "\n";
  text += std::string("Icon=") + kIcon + "\n";
  text +=
      "Terminal=false\n"
      "Categories=Development;\n";
  if (!mimeTypes.empty()) text += "MimeType=" + Text::join(mimeTypes, ";") + ";\n";
  return text;
}

std::string loginItem() {
  return xdgDir("XDG_CONFIG_HOME", ".config") + "/autostart/velmo.desktop";
}

bool loginItemInstalled() {
  return Files::exists(loginItem());
}

bool installLoginItem(const std::string& program) {
  std::string text = entry(program, {});
  if (text.empty()) return false;
  std::string path = loginItem();
  Files::makeDirectories(std::filesystem::path(path).parent_path().string());
  return Files::writeAtomic(path, text);
}

bool removeLoginItem() {
  std::error_code ec;
  std::filesystem::remove(loginItem(), ec);
  return !loginItemInstalled();
}

std::string application() {
  return xdgDir("XDG_DATA_HOME", ".local/share") + "/applications/velmo.desktop";
}

const std::vector<std::string>& markdownTypes() {
  static const std::vector<std::string> types = {"text/markdown", "text/x-markdown"};
  return types;
}

bool installApplication(const std::string& program) {
  std::string text = entry(program, markdownTypes());
  if (text.empty()) return false;
  std::string path = application();
  Files::makeDirectories(std::filesystem::path(path).parent_path().string());
  return Files::writeAtomic(path, text);
}

std::string runningProgram() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "";
  // A binary replaced by a rebuild while running reads "… (deleted)".
  std::string p = path.string();
  const std::string deleted = " (deleted)";
  if (Text::endsWith(p, deleted) && !Files::exists(p)) p.resize(p.size() - deleted.size());
  return p;
}

}  // namespace DesktopEntries
