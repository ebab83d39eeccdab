// Every input a fuzzer once broke a parser with, kept under tests/fuzz/crashes/<target>/,
// goes through the same entry point again, so a mended parser stays mended; the fixtures
// that seed each target go through too, so an entry point that breaks on ordinary input
// is found here before a fuzzer wastes its time on it.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "fuzz/targets.h"
#include "support/home.h"

namespace fs = std::filesystem;

namespace Fuzz {
// The name alone, so the tests' names stay the same from run to run.
void PrintTo(const Target& target, std::ostream* out) {
  *out << target.name;
}
}  // namespace Fuzz

namespace {

const fs::path kFuzzDir = fs::path(VELMO_SOURCE_DIR) / "tests/fuzz";

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void feed(const Fuzz::Target& target, const fs::path& file) {
  SCOPED_TRACE(file.string());
  std::string data = slurp(file);
  target.entry(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

// The files of a folder and the folders below it, or the file itself.
std::vector<fs::path> filesUnder(const fs::path& root) {
  std::vector<fs::path> out;
  if (fs::is_regular_file(root)) return {root};
  if (!fs::is_directory(root)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root))
    if (e.is_regular_file()) out.push_back(e.path());
  return out;
}

// tests/fuzz/seeds: a target's name, then the fixture paths that seed it.
std::map<std::string, std::vector<std::string>> seedTable() {
  std::map<std::string, std::vector<std::string>> out;
  std::istringstream in(slurp(kFuzzDir / "seeds"));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string name, path;
    words >> name;
    auto& paths = out[name];
    while (words >> path) paths.push_back(path);
  }
  return out;
}

class FuzzReplay : public ::testing::TestWithParam<Fuzz::Target> {
 protected:
  ScopedHome home;  // the entry points that need no home of their own still find a fresh one
};

TEST_P(FuzzReplay, KeptCrashInputsAndSeedsPassThroughTheParser) {
  const auto& target = GetParam();
  size_t seeds = 0;
  const auto table = seedTable();
  auto paths = table.find(target.name);
  ASSERT_NE(paths, table.end()) << target.name << " has no line in tests/fuzz/seeds";
  for (const auto& seed : paths->second) {
    auto files = filesUnder(fs::path(VELMO_FIXTURES_DIR) / seed);
    EXPECT_FALSE(files.empty()) << "seed " << seed << " of " << target.name << " holds no file";
    for (const auto& f : files) feed(target, f), ++seeds;
  }
  for (const auto& f : filesUnder(kFuzzDir / "crashes" / target.name)) feed(target, f);
  // The empty input and a lone byte of each kind a parser branches on.
  for (const std::string& tiny :
       std::vector<std::string>{"", "\n", "{", "\x80", std::string(1, '\0')})
    target.entry(reinterpret_cast<const uint8_t*>(tiny.data()), tiny.size());
  EXPECT_GT(seeds, 0u);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(Fuzz::targets()),
                         [](const auto& info) { return info.param.name; });

// The crash folders, the programs and the seed lines are named after the table's targets; a folder
// or a program with another name would be skipped without a word.
TEST(FuzzTable, EveryProgramAndCrashFolderNamesATarget) {
  std::set<std::string> programs;
  for (const auto& e : fs::directory_iterator(kFuzzDir / "targets"))
    programs.insert(e.path().stem().string());
  std::set<std::string> names;
  for (const auto& t : Fuzz::targets()) names.insert(t.name);
  EXPECT_EQ(programs, names);
  std::set<std::string> seeded;
  for (const auto& [name, paths] : seedTable()) seeded.insert(name);
  EXPECT_EQ(seeded, names);
  for (const auto& e : fs::directory_iterator(kFuzzDir / "crashes")) {
    if (!e.is_directory()) continue;
    EXPECT_NE(Fuzz::find(e.path().filename().string()), nullptr) << e.path();
  }
}

}  // namespace
