// What the library costs per request: a PDF preview (four pages rendered and encoded),
// the worst-case preview whose pages are noise, paths found in a long chat text, and the
// command catalogue built cold from a few hundred files against the cached one.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/caches.h"
#include "base/clock.h"
#include "library/commands.h"
#include "library/documents.h"
#include "library/pdf_maker.h"
#include "support/home.h"

namespace {

// The median of `runs` timed calls, in milliseconds.
double median(int runs, const std::function<void()>& work) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    double start = Clock::monotonic();
    work();
    ms.push_back((Clock::monotonic() - start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

}  // namespace

int main() {
  ScopedHome home;

  home.write("ten.pdf", makePdf(std::vector<PdfPage>(10)));
  size_t shots = 0;
  double pdf = median(5, [&] { shots = Documents::asset("~/ten.pdf")["shots"].size(); });
  std::printf("asset, 10-page letter PDF (%zu shots of 1400x1811): %.1f ms\n", shots, pdf);

  PdfPage noisy{612, 792, 0, true};
  home.write("noise.pdf", makePdf(std::vector<PdfPage>(4, noisy), 1400, 1811));
  size_t bytes = 0;
  double noise = median(3, [&] {
    bytes = 0;
    auto asset = Documents::asset("~/noise.pdf");
    for (const auto& s : asset["shots"]) bytes += s.get<std::string>().size();
  });
  std::printf("asset, 4 pages of noise (%.1f MB of data URLs): %.1f ms\n", bytes / 1e6, noise);

  std::string text;
  for (int i = 0; i < 2000; ++i) {
    home.write("notes/n" + std::to_string(i % 200) + ".md", "x");
    text += "see ~/notes/n" + std::to_string(i) + ".md, and (/tmp/nothing" + std::to_string(i) +
            ".txt). ";
    text += std::string(60, 'w') + "\n";
  }
  size_t found = 0;
  double paths = median(5, [&] { found = Documents::paths(text).size(); });
  std::printf("paths(in:), %zu KB text, 4000 candidates, %zu found: %.2f ms\n", text.size() / 1024,
              found, paths);

  for (int i = 0; i < 300; ++i)
    home.write(".claude/commands/c" + std::to_string(i) + ".md",
               "---\ndescription: >-\n  a command\n  here\n---\n");
  for (int i = 0; i < 100; ++i)
    home.write(
        ".claude/skills/fam" + std::to_string(i % 10) + "-s" + std::to_string(i) + "/SKILL.md",
        "description: \"a skill\"\n");
  double cold = median(5, [] {
    Caches::emptyAll();
    Commands::all();
  });
  double warm = median(101, [] { Commands::all(); });
  std::printf("Commands::all, 429 entries: cold %.2f ms, cached %.4f ms (ratio %.0f)\n", cold, warm,
              cold / std::max(warm, 1e-6));
  return 0;
}
