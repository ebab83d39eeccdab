#pragma once
// Helpers the benchmarks share for their generated transcript corpora.

#include <cstdint>
#include <filesystem>
#include <string>

/// The largest main transcript under a projects folder (sub-agent transcripts live one
/// folder deeper); empty when there is none.
inline std::filesystem::path largestTranscript(const std::string& projects) {
  namespace fs = std::filesystem;
  fs::path best;
  uintmax_t bestSize = 0;
  std::error_code ec;
  for (const auto& project : fs::directory_iterator(projects, ec)) {
    if (!project.is_directory()) continue;
    for (const auto& file : fs::directory_iterator(project.path(), ec)) {
      if (file.path().extension() != ".jsonl" || file.file_size() <= bestSize) continue;
      best = file.path();
      bestSize = file.file_size();
    }
  }
  return best;
}
