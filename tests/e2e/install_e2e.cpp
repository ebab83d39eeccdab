// Installing as a user does: `make install` into a staging folder puts the programs, the
// desktop entry, the icon and the manual pages in place, the installed Velmo works away from
// the source and build folders, and `make uninstall` takes it all away again. `make package`
// builds a Debian package with its dependencies named. Nothing is installed on the machine.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <tuple>

#include "app/desktop_entries.h"
#include "base/files.h"
#include "base/process.h"
#include "base/text.h"
#include "base/version.h"
#include "e2e/velmo_run.h"
#include "support/home.h"

namespace {

namespace fs = std::filesystem;

std::string buildDir() {
  return fs::path(VELMO_BINARY).parent_path().string();
}

/// The first of `tools` that is not on PATH ("" when all are).
std::string missing(const std::vector<std::string>& tools) {
  for (const auto& t : tools)
    if (!Terminals::shell("sh", {"-c", "command -v \"$0\"", t}, 10)) return t;
  return "";
}

Terminals::Outcome make(const std::vector<std::string>& args, double timeout) {
  Terminals::Job job;
  job.path = "make";
  // `-o build`: the build is there already; the test must not rebuild or install packages.
  job.args = {"-o", "build", "BUILD=" + buildDir()};
  job.args.insert(job.args.end(), args.begin(), args.end());
  job.cwd = VELMO_SOURCE_DIR;
  job.timeout = timeout;
  return Terminals::run(job);
}

/// Every file and link under `root`, relative to it, sorted.
std::vector<std::string> filesUnder(const std::string& root) {
  std::vector<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (!it->is_directory(ec) || it->is_symlink(ec))
      out.push_back(fs::relative(it->path(), root).string());
  std::sort(out.begin(), out.end());
  return out;
}

/// `man -l FILE`, laid out 80 wide: what it shows and what it warns about.
Terminals::Outcome manPage(const std::string& file) {
  Terminals::Job job;
  job.path = "man";
  job.args = {"--warnings", "-P", "cat", "-l", file};
  job.env = {{"MANWIDTH", "80"}, {"LANG", "C.UTF-8"}, {"LC_ALL", "C.UTF-8"}};
  job.timeout = 30;
  return Terminals::run(job);
}

const std::vector<std::string> kInstalled = {
    "usr/bin/velmo",
    "usr/bin/velmo-q",
    "usr/share/applications/velmo.desktop",
    "usr/share/icons/hicolor/scalable/apps/velmo.svg",
    "usr/share/man/he/man1/velmo-q.1",
    "usr/share/man/he/man1/velmo.1",
    "usr/share/man/man1/velmo-q.1",
    "usr/share/man/man1/velmo.1",
};

}  // namespace

TEST(Install, PutsEverythingInPlaceAndUninstallTakesItAllAway) {
  if (auto tool = missing({"make", "cmake", "man", "desktop-file-validate", "xmllint", "tmux"});
      !tool.empty())
    GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
  // The record of what was installed is the test's own, so the user's stays as it is.
  std::string work = makeTempDir("velmo-install");
  std::string stage = work + "/root", record = "INSTALLED=" + work + "/installed.txt";
  auto installed = make({"install", "PREFIX=/usr", "DESTDIR=" + stage, record}, 300);
  ASSERT_TRUE(installed.finished && installed.status == 0)
      << installed.launchError << installed.output << installed.errors;

  // Exactly these, and the record names each with the staging folder in front.
  EXPECT_EQ(filesUnder(stage), kInstalled);
  std::vector<std::string> listed;
  for (const auto& line : Text::split(Files::read(work + "/installed.txt").value_or(""), '\n'))
    listed.push_back(fs::relative(line, stage).string());
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, kInstalled);
  for (const char* program : {"usr/bin/velmo", "usr/bin/velmo-q"})
    EXPECT_EQ(::access((stage + "/" + program).c_str(), X_OK), 0) << program;

  // The entry names the program where it will run (not the staging folder), with the icon
  // installed beside it, and is the very text Velmo writes when it claims Markdown.
  std::string entry = stage + "/usr/share/applications/velmo.desktop";
  EXPECT_EQ(Files::read(entry).value_or(""),
            DesktopEntries::entry("/usr/bin/velmo", DesktopEntries::markdownTypes()));
  auto valid = Terminals::shellOutcome("desktop-file-validate", {entry}, 30);
  EXPECT_TRUE(valid.finished && valid.status == 0 && valid.output.empty()) << valid.output;
  EXPECT_TRUE(Terminals::shell(
      "xmllint", {"--noout", stage + "/usr/share/icons/hicolor/scalable/apps/velmo.svg"}, 30));

  // Each manual page shows its program, in English and in Hebrew, without a warning.
  for (const auto& [page, name, heading] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"man/man1/velmo.1", "velmo - a status board", "SYNOPSIS"},
           {"man/man1/velmo-q.1", "velmo-q - ask a running Velmo", "EXIT STATUS"},
           {"man/he/man1/velmo.1", "velmo - לוח מצב", "תקציר"},
           {"man/he/man1/velmo-q.1", "velmo-q - שאלה לולמו", "קוד יציאה"}}) {
    auto shown = manPage(stage + "/usr/share/" + page);
    EXPECT_TRUE(shown.finished && shown.status == 0) << page << shown.errors;
    // Lines are justified: blanks are widened to fill them.
    std::string text = std::regex_replace(shown.output, std::regex(" +"), " ");
    EXPECT_TRUE(Text::contains(text, name)) << page << "\n" << shown.output;
    EXPECT_TRUE(Text::contains(shown.output, heading)) << page;
    EXPECT_EQ(shown.errors, "") << page;
  }

  // The installed programs run on their own: the version, the list on an empty home, and
  // the page (embedded, so no data folder is looked for).
  std::string bin = stage + "/usr/bin/";
  EXPECT_EQ(Terminals::shell(bin + "velmo", {"--version"}, 30).value_or("?"),
            Version::line("velmo") + "\n");
  EXPECT_EQ(Terminals::shell(bin + "velmo-q", {"--version"}, 30).value_or("?"),
            Version::line("velmo-q") + "\n");
  std::string home = makeTempDir("velmo-install-home");
  std::string tmuxDir = makeTempDir("velmo-install-tmux");
  {
    VelmoRun list(bin + "velmo", {"--list"}, servedBeside(home, tmuxDir));
    auto listed = nlohmann::json::parse(list.rest(60), nullptr, false);
    EXPECT_EQ(list.wait(10), 0);
    ASSERT_TRUE(listed.is_object() && listed["terminals"].is_array()) << listed.dump();

    VelmoRun served(bin + "velmo", {"--serve", "--no-open"}, servedBeside(home, tmuxDir));
    auto url = served.line(30).value_or("");
    std::smatch m;
    static const std::regex shape(R"(^http://127\.0\.0\.1:(\d+)(/\?token=[0-9a-f]{64})$)");
    ASSERT_TRUE(std::regex_match(url, m, shape)) << url;
    int port = std::stoi(m[1]);
    std::string page;
    EXPECT_EQ(httpStatus(port,
                         "GET " + m[2].str() + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(port) + "\r\nConnection: close\r\n\r\n",
                         &page),
              200);
    EXPECT_TRUE(Text::contains(page, "<title>Velmo</title>")) << page.substr(0, 400);
  }
  removeTree(home);
  removeTree(tmuxDir);

  auto removed = make({"uninstall", record}, 60);
  EXPECT_TRUE(removed.finished && removed.status == 0) << removed.output << removed.errors;
  EXPECT_EQ(filesUnder(stage), std::vector<std::string>{});
  EXPECT_FALSE(Files::exists(work + "/installed.txt"));
  // Once more there is nothing to remove, and it says so rather than claiming success.
  auto again = make({"uninstall", record}, 60);
  EXPECT_TRUE(again.finished && again.status != 0);
  EXPECT_TRUE(Text::contains(again.errors, "nothing installed")) << again.errors;
  removeTree(work);
}

TEST(Install, PackageNamesItsLibrariesAndTmuxAndShipsTheSameFiles) {
  if (auto tool = missing({"make", "cpack", "dpkg-deb", "dpkg-shlibdeps", "file", "strip"});
      !tool.empty())
    GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
  std::string out = makeTempDir("velmo-package");
  auto built = make({"package", "PACKAGE_DIR=" + out}, 600);
  ASSERT_TRUE(built.finished && built.status == 0) << built.output << built.errors;

  std::string deb;
  for (const auto& name : filesUnder(out))
    if (Text::endsWith(name, ".deb")) deb = out + "/" + name;
  ASSERT_TRUE(Text::contains(deb, "/velmo_" + std::string(Version::number()) + "_")) << deb;

  auto info = Terminals::shell("dpkg-deb", {"-I", deb}, 60).value_or("");
  std::smatch m;
  static const std::regex dependsLine(R"(\n Depends: ([^\n]*))");
  ASSERT_TRUE(std::regex_search(info, m, dependsLine)) << info;
  std::vector<std::string> depends;
  for (const auto& d : Text::split(m[1].str(), ','))
    depends.push_back(Text::split(Text::trim(d), ' ').front());
  for (const char* needed : {"tmux", "libc6", "libgtk-3-0", "libstdc++6"})
    EXPECT_NE(std::find(depends.begin(), depends.end(), needed), depends.end())
        << needed << " missing from: " << m[1];
  EXPECT_TRUE(Text::contains(info, "\n Version: " + std::string(Version::number()) + "\n"));
  EXPECT_TRUE(Text::contains(info, "\n Section: devel\n")) << info;
  EXPECT_TRUE(Text::contains(info, "\n Maintainer: ")) << info;

  // The package holds what `make install` puts under /usr, and its entry names /usr/bin/velmo.
  std::string root = out + "/root";
  ASSERT_TRUE(Terminals::shell("dpkg-deb", {"-x", deb, root}, 60));
  EXPECT_EQ(filesUnder(root), kInstalled);
  EXPECT_EQ(Files::read(root + "/usr/share/applications/velmo.desktop").value_or(""),
            DesktopEntries::entry("/usr/bin/velmo", DesktopEntries::markdownTypes()));
  EXPECT_EQ(Terminals::shell(root + "/usr/bin/velmo", {"--version"}, 30).value_or("?"),
            Version::line("velmo") + "\n");
  removeTree(out);
}
