#include "page/document.h"

#include <gtest/gtest.h>

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
    while ((at = script.find("</", at)) != std::string::npos) script.replace(at, 2, "<\\/"), at += 3;
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
      {"index.html", "<!doctype html><html><head><title>t</title></head><body>"
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
