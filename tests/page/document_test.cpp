#include "page/document.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <vector>

#include "base/base64.h"
#include "base/sha256.h"

namespace {
std::string between(const std::string& text, const std::string& from, const std::string& to) {
  size_t a = text.find(from);
  if (a == std::string::npos) return "";
  a += from.size();
  size_t b = text.find(to, a);
  return b == std::string::npos ? "" : text.substr(a, b - a);
}
// The policy's source expression for an inline element of this text.
std::string hashOf(const std::string& text) {
  return "'sha256-" + Base64::encode(Sha256::digest(text)) + "'";
}

// The sources a policy gives one directive, e.g. "script-src".
std::vector<std::string> sourcesOf(const std::string& policy, const std::string& directive) {
  std::vector<std::string> out;
  size_t at = policy.find(directive + " ");
  if (at == std::string::npos) return out;
  std::string list = policy.substr(at + directive.size() + 1);
  list = list.substr(0, list.find(';'));
  std::istringstream words(list);
  for (std::string w; words >> w;) out.push_back(w);
  return out;
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

// Only the document's own inline scripts and style sheet may run: each named by its digest,
// the head's bridge too, and nothing that would let markup smuggled into the page run.
TEST(PageDocument, ThePolicyNamesEveryInlineScriptAndStyleAndAllowsNothingElse) {
  std::map<std::string, std::string> files = {
      {"index.html",
       "<!doctype html><html><head><style>{{style}}</style></head><body>"
       "<script>{{script}}</script></body></html>"},
      {"app.js", "go('<style>');\r\nstop();"},
      {"style.css", "b { color: red }"}};
  std::string doc = Page::document(files, "en", "<script>bridge()</script>");
  std::string policy = Page::policyOf(doc);
  ASSERT_FALSE(policy.empty()) << doc;
  EXPECT_LT(doc.find("<meta http-equiv=\"Content-Security-Policy\""), doc.find("<script>"))
      << "the policy must come before the first script it governs";

  // The parser reads line breaks as plain ones before the browser hashes them; a style
  // element named inside a script's text is not the style element.
  std::vector<std::string> scripts = {hashOf("window.velmoLang=\"en\";"), hashOf("bridge()"),
                                      hashOf("go('<style>');\nstop();")};
  EXPECT_EQ(sourcesOf(policy, "script-src"), scripts) << policy;
  EXPECT_EQ(sourcesOf(policy, "style-src"), std::vector<std::string>{hashOf("b { color: red }")});
  EXPECT_EQ(sourcesOf(policy, "default-src"), std::vector<std::string>{"'none'"});
  EXPECT_EQ(sourcesOf(policy, "object-src"), std::vector<std::string>{"'none'"});
  EXPECT_EQ(sourcesOf(policy, "base-uri"), std::vector<std::string>{"'none'"});
  EXPECT_EQ(sourcesOf(policy, "img-src"), std::vector<std::string>{"data:"});
  EXPECT_EQ(sourcesOf(policy, "connect-src"), std::vector<std::string>{"'none'"})
      << "the window's page talks through its host, never the network";
  for (const char* loose : {"unsafe-inline", "unsafe-eval", "*", "http:", "blob:"})
    EXPECT_EQ(policy.find(loose), std::string::npos) << loose;

  std::string served = Page::policyOf(Page::document(files, "en", "", "ws://127.0.0.1:9"));
  EXPECT_EQ(sourcesOf(served, "connect-src"), std::vector<std::string>{"ws://127.0.0.1:9"});
  EXPECT_EQ(Page::policyOf("<!doctype html><p>no policy</p>"), "");
}

// The page as built: every inline script of the document in both languages is named, and
// no markup of the template carries a handler or a script address the policy would block.
TEST(PageDocument, TheBuiltPageRunsUnderItsPolicy) {
  for (const char* lang : {"en", "he"}) {
    std::string doc = Page::document(Page::resources(), lang);
    auto allowed = sourcesOf(Page::policyOf(doc), "script-src");
    int count = 0;
    for (size_t at = 0; (at = doc.find("<script>", at)) != std::string::npos; ++count) {
      at += 8;
      std::string body = doc.substr(at, doc.find("</script>", at) - at);
      EXPECT_NE(std::find(allowed.begin(), allowed.end(), hashOf(body)), allowed.end())
          << lang << ": " << body.substr(0, 80);
    }
    EXPECT_EQ(count, 3) << "the language, the labels and the page's script";
    EXPECT_EQ(allowed.size(), 3u) << lang;
  }
  static const std::regex handler(R"(<[^>]*\son[a-z]+\s*=|javascript:)", std::regex::icase);
  EXPECT_FALSE(std::regex_search(Page::resources().at("index.html"), handler));
}
