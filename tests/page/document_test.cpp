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
    std::string html = Page::document(lang);
    bool hebrew = std::string(lang) == "he";
    EXPECT_NE(
        html.find(hebrew ? "<html lang=\"he\" dir=\"rtl\">" : "<html lang=\"en\" dir=\"ltr\">"),
        std::string::npos);
    EXPECT_EQ(html.find("{{"), std::string::npos) << lang;
    EXPECT_NE(html.find(Page::resources().at("app.js")), std::string::npos);
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
  EXPECT_NE(Page::document("fr").find("dir=\"ltr\""), std::string::npos);
}
