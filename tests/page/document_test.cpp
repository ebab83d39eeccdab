#include "page/document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

namespace {
std::string between(const std::string& text, const std::string& from, const std::string& to) {
  size_t a = text.find(from);
  if (a == std::string::npos) return "";
  a += from.size();
  size_t b = text.find(to, a);
  return b == std::string::npos ? "" : text.substr(a, b - a);
}
}  // namespace

TEST(PageDocument, FillsLanguageDirectionLabelsStyleAndScript) {
  for (const char* lang : {"en", "he"}) {
    std::string html = Page::document(Page::resources(), lang);
    bool hebrew = std::string(lang) == "he";
    EXPECT_NE(
        html.find(hebrew ? "<html lang=\"he\" dir=\"rtl\">" : "<html lang=\"en\" dir=\"ltr\">"),
        std::string::npos);
    EXPECT_EQ(html.find("{{"), std::string::npos) << lang;
    std::string script = Page::resources().at("app.js");
    size_t at = 0;
    while ((at = script.find("</", at)) != std::string::npos)
      script.replace(at, 2, "<\\/"), at += 3;
    EXPECT_NE(html.find(script), std::string::npos);
    EXPECT_NE(html.find(Page::resources().at("style.css")), std::string::npos);

    auto labels = nlohmann::json::parse(between(html, "const L = ", ";</script>"), nullptr, false);
    ASSERT_TRUE(labels.is_object()) << lang;
    EXPECT_EQ(labels["noUnits"], hebrew ? "אין מסופים פתוחים." : "No open terminals.");
  }
}

TEST(PageDocument, EveryLabelExistsInBothLanguages) {
  auto all = nlohmann::json::parse(Page::resources().at("labels.json"));
  for (const auto& [key, text] : all["en"].items()) {
    ASSERT_TRUE(all["he"].contains(key)) << key;
    EXPECT_FALSE(all["he"][key].get<std::string>().empty()) << key;
  }
  EXPECT_EQ(all["en"].size(), all["he"].size());
}

TEST(PageDocument, UnknownLanguageIsEnglish) {
  EXPECT_NE(Page::document(Page::resources(), "fr").find("dir=\"ltr\""), std::string::npos);
}

TEST(PageDocument, HeadMarkupRunsBeforeThePageScriptWhichCannotCloseItsElement) {
  std::map<std::string, std::string> files = {
      {"index.html",
       "<!doctype html><html><head><title>t</title></head><body>"
       "<script>{{script}}</script></body></html>"},
      {"app.js", "const s = '</script>'; shimUser();"}};
  std::string doc = Page::document(files, "he", "<script>shim()</script>");
  size_t shim = doc.find("shim()"), app = doc.find("shimUser");
  ASSERT_NE(shim, std::string::npos);
  ASSERT_NE(app, std::string::npos);
  EXPECT_LT(doc.find("<head>"), shim);
  EXPECT_LT(shim, app);
  EXPECT_NE(doc.find("window.velmoLang=\"he\""), std::string::npos);
  EXPECT_NE(doc.find("'<\\/script>'"), std::string::npos);
  EXPECT_EQ(doc.find("<!doctype html>"), 0u);
}

TEST(PageDocument, JoinsThePartsInTheOrderTheirListGives) {
  std::map<std::string, std::string> files = {
      {"scripts.txt", "# parts, in order\n b.js \n\na.js\ngone.js\n"},
      {"a.js", "a();"},
      {"b.js", "b();\n"},
      {"app.js", "stale();\n"},
      {"styles.txt", "base.css\n"},
      {"base.css", "a { }"},
      {"notes.js", "notes();\n"}};
  auto joined = Page::joinParts(files);
  // Each part ends its own line, so a part's last comment cannot swallow the next part;
  // a part the list names but the folder lacks is left out.
  EXPECT_EQ(joined["app.js"], "b();\na();\n");
  EXPECT_EQ(joined["style.css"], "a { }\n");
  EXPECT_EQ(joined["notes.js"], "notes();\n") << "a file no list names stays apart";

  std::map<std::string, std::string> single = {{"app.js", "one();"}, {"style.css", "b { }"}};
  EXPECT_EQ(Page::joinParts(single), single) << "a page of one script and one sheet needs no list";
}

TEST(PageDocument, ThePageOnDiskIsJoinedAsTheBuildJoinedIt) {
  const char* before = std::getenv("VELMO_PAGE_DIR");
  std::string kept = before ? before : "";
  setenv("VELMO_PAGE_DIR", VELMO_SOURCE_DIR "/page", 1);
  auto disk = Page::files();
  if (before)
    setenv("VELMO_PAGE_DIR", kept.c_str(), 1);
  else
    unsetenv("VELMO_PAGE_DIR");
  ASSERT_TRUE(disk.count("app.js"));
  EXPECT_EQ(disk["app.js"], Page::resources().at("app.js"));
  EXPECT_EQ(disk["style.css"], Page::resources().at("style.css"));
  EXPECT_EQ(disk["shim.js"], Page::resources().at("shim.js"));
  EXPECT_EQ(Page::resources().count("bridge.js"), 0u) << "the parts are embedded joined";
  EXPECT_EQ(Page::resources().count("palette.css"), 0u) << "the parts are embedded joined";
}
