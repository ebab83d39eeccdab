#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <string>

#include "base/base64.h"
#include "base/files.h"
#include "library/documents.h"
#include "library/pdf_maker.h"
#include "sessions/language.h"
#include "support/fake_clock.h"
#include "support/home.h"

namespace {

class AssetTest : public ::testing::Test {
 protected:
  ScopedHome home;
  ScopedLanguage english{"en"};

  std::string file(const std::string& relative, const std::string& bytes) { return home.write(relative, bytes); }
  std::string sized(const std::string& relative, off_t size) {
    std::string path = file(relative, "");
    EXPECT_EQ(::truncate(path.c_str(), size), 0);
    return path;
  }
};

struct Jpeg {
  int width = 0, height = 0;
};

// The pixel size of a shot, read back from its JPEG header.
Jpeg decodeShot(const std::string& shot) {
  const std::string prefix = "data:image/jpeg;base64,";
  EXPECT_EQ(shot.rfind(prefix, 0), 0u);
  auto bytes = Base64::decode(shot.substr(prefix.size()));
  EXPECT_TRUE(bytes.has_value());
  Jpeg out;
  if (!bytes) return out;
  tjhandle handle = tjInitDecompress();
  int subsampling = 0, colorspace = 0;
  int rc = tjDecompressHeader3(handle, reinterpret_cast<const unsigned char*>(bytes->data()),
                               static_cast<unsigned long>(bytes->size()), &out.width, &out.height, &subsampling,
                               &colorspace);
  tjDestroy(handle);
  EXPECT_EQ(rc, 0);
  return out;
}

TEST_F(AssetTest, TenPagesGiveTheCountAndAtMostFourShots) {
  std::string path = file("docs/ten.pdf", makePdf(std::vector<PdfPage>(10)));
  auto asset = Documents::asset("~/docs/ten.pdf");
  EXPECT_EQ(asset["path"], path);
  EXPECT_EQ(asset["kind"], "pdf");
  EXPECT_EQ(asset["name"], "ten.pdf");
  EXPECT_EQ(asset["size"], static_cast<int64_t>(Files::attributes(path)->size));
  EXPECT_FALSE(asset.contains("error"));
  EXPECT_EQ(asset["pages"], 10);
  ASSERT_EQ(asset["shots"].size(), 4u);
  for (const auto& shot : asset["shots"]) {
    Jpeg j = decodeShot(shot);
    EXPECT_EQ(j.width, 1400);  // a letter page scaled to 1400 pixels across
    EXPECT_EQ(j.height, 1811);
  }
}

TEST_F(AssetTest, ShotsStopBeforeSevenMillionBytes) {
  // A tall page of noise at 1400 pixels across makes a JPEG of about four megabytes, so a
  // second one would pass the limit.
  PdfPage noisy{612, 3000, 0, true};
  file("noise.pdf", makePdf(std::vector<PdfPage>(4, noisy), 1400, 6862));
  auto asset = Documents::asset("~/noise.pdf");
  EXPECT_EQ(asset["pages"], 4);
  ASSERT_TRUE(asset.contains("shots")) << asset.value("error", "");
  size_t total = 0;
  for (const auto& shot : asset["shots"]) total += Base64::decode(shot.get<std::string>().substr(23))->size();
  EXPECT_EQ(asset["shots"].size(), 1u) << total;
  EXPECT_LE(total, 7'000'000u);
}

TEST_F(AssetTest, OnePageAndSmallOrTurnedPages) {
  file("one.pdf", makePdf({PdfPage{}}));
  auto one = Documents::asset("~/one.pdf");
  EXPECT_EQ(one["pages"], 1);
  EXPECT_EQ(one["shots"].size(), 1u);

  // A small page is drawn at three times its size, not stretched to 1400; a page turned a
  // quarter is drawn on its side.
  file("small.pdf", makePdf({PdfPage{100, 50, 0}, PdfPage{200, 100, 90}}));
  auto small = Documents::asset("~/small.pdf");
  ASSERT_EQ(small["shots"].size(), 2u);
  Jpeg a = decodeShot(small["shots"][0]);
  EXPECT_EQ(a.width, 300);
  EXPECT_EQ(a.height, 150);
  Jpeg b = decodeShot(small["shots"][1]);
  EXPECT_EQ(b.width, 300);
  EXPECT_EQ(b.height, 600);
}

TEST_F(AssetTest, PagesWithoutAreaAreSkipped) {
  file("flat.pdf", makePdf({PdfPage{0, 792, 0}, PdfPage{612, 792, 0}}));
  auto some = Documents::asset("~/flat.pdf");
  EXPECT_EQ(some["pages"], 2);
  EXPECT_EQ(some["shots"].size(), 1u);

  file("none.pdf", makePdf({PdfPage{0, 792, 0}}));
  auto none = Documents::asset("~/none.pdf");
  EXPECT_EQ(none["pages"], 1);
  EXPECT_FALSE(none.contains("shots"));
  EXPECT_EQ(none["error"], "Could not render the pages");
}

TEST_F(AssetTest, NotAPdf) {
  file("fake.pdf", "just some text, no PDF here");
  auto asset = Documents::asset("~/fake.pdf");
  EXPECT_EQ(asset["error"], "The file does not read as a PDF");
  EXPECT_FALSE(asset.contains("pages"));
}

TEST_F(AssetTest, ImagesAsDataURLs) {
  std::string bytes("\x89PNG\r\n\x1a\n\0\x01\xff", 11);
  file("pic.png", bytes);
  EXPECT_EQ(Documents::asset("~/pic.png")["src"], "data:image/png;base64," + Base64::encode(bytes));
  file("Photo.JPG", "jpg");
  EXPECT_EQ(Documents::asset("~/Photo.JPG")["src"], "data:image/jpeg;base64,anBn");
  file("logo.svg", "<svg/>");
  auto svg = Documents::asset("~/logo.svg");
  EXPECT_EQ(svg["kind"], "image");
  EXPECT_EQ(svg["src"], "data:image/svg+xml;base64,PHN2Zy8+");

  sized("huge.png", 12'000'001);
  auto huge = Documents::asset("~/huge.png");
  EXPECT_EQ(huge["error"], "Image too large");
  EXPECT_EQ(huge["size"], 12'000'001);
  EXPECT_FALSE(huge.contains("src"));
}

TEST_F(AssetTest, TextLikeFilesAndMissingOnes) {
  file("a.md", "# Title\n");
  auto md = Documents::asset("~/a.md");
  EXPECT_EQ(md["kind"], "md");
  EXPECT_EQ(md["text"], "# Title\n");
  EXPECT_FALSE(md.contains("error"));

  sized("big.log", 600'001);
  EXPECT_EQ(Documents::asset("~/big.log")["error"], "File too large to display here");

  auto missing = Documents::asset("~/gone.txt");
  EXPECT_EQ(missing["error"], "File not found");
  EXPECT_EQ(missing["size"], 0);
  EXPECT_EQ(missing["name"], "gone.txt");
  EXPECT_EQ(missing["path"], home.path() + "/gone.txt");
}

TEST_F(AssetTest, SaveAssetNotesTheOutcome) {
  FakeClock clock;
  file("n.md", "old");
  auto shown = Documents::asset("~/n.md");
  ASSERT_TRUE(shown["version"].is_string());
  EXPECT_FALSE(shown.contains("locked"));
  auto saved = Documents::saveAsset("~/n.md", "new", shown["version"].get<std::string>());
  EXPECT_EQ(saved["text"], "new");
  EXPECT_EQ(saved["note"].get<std::string>().rfind("saved ", 0), 0u);
  EXPECT_FALSE(saved.contains("warn"));
  EXPECT_NE(saved["version"], shown["version"]);

  // The card's editor saves against the reading it began with: once the file changed,
  // or with no reading at all, the file stays as it is and the note says why.
  for (const std::string& stale : {shown["version"].get<std::string>(), std::string()}) {
    auto refused = Documents::saveAsset("~/n.md", "stale", stale);
    EXPECT_EQ(refused["warn"], true);
    EXPECT_EQ(refused["text"], "new");
  }
  EXPECT_EQ(Files::read(home.path() + "/n.md").value_or(""), "new");

  // A text that is not valid UTF-8 shows, repaired, with why it may not be edited.
  file("odd.md", "caf\xE9");
  auto odd = Documents::asset("~/odd.md");
  EXPECT_EQ(odd["text"], "caf\uFFFD");
  EXPECT_FALSE(odd.contains("version"));
  EXPECT_NE(odd["locked"].get<std::string>().find("not valid UTF-8"), std::string::npos);

  auto failed = Documents::saveAsset("~/none.md", "x", "");
  EXPECT_EQ(failed["note"], "File not found — Velmo only saves over a file that exists");
  EXPECT_EQ(failed["warn"], true);
  EXPECT_EQ(failed["error"], "File not found");
}

TEST(AssetHebrew, MessagesInHebrew) {
  ScopedHome home;
  ScopedLanguage hebrew{"he"};
  home.write("fake.pdf", "nope");
  EXPECT_EQ(Documents::asset("~/fake.pdf")["error"], "הקובץ אינו נקרא כ-PDF");
  EXPECT_EQ(Documents::asset("~/gone.md")["error"], "הקובץ לא נמצא");
  EXPECT_EQ(Documents::write("~/gone.md", ""), "הקובץ לא נמצא — ולמו שומר רק על קובץ קיים");
}

}  // namespace
