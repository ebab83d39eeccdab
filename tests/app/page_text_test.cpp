#include <gtest/gtest.h>

#include "app/page_text.h"

namespace {
const std::map<std::string, std::string> kFiles = {
    {"index.html",
     "<!doctype html><html lang=\"{{lang}}\" dir=\"{{dir}}\"><head>"
     "<link rel=\"stylesheet\" href=\"style.css\"><link rel=\"icon\" href=\"style.css\">"
     "</head><body><h1>{{Refresh now|רענון עכשיו}}</h1>"
     "<script src='app.js'></script><script src=\"other.js\"></script></body></html>"},
    {"style.css", "body{color:red}"},
    {"app.js", "const s = '</script>'; const t = a || b; label('{{No open terminals.|אין מסופים פתוחים.}}');"},
};
}

TEST(PageText, InlinesTheStyleSheetAndScript) {
  std::string doc = PageText::document(kFiles, false);
  EXPECT_NE(doc.find("<style>body{color:red}</style>"), std::string::npos) << doc;
  EXPECT_NE(doc.find("<link rel=\"icon\" href=\"style.css\">"), std::string::npos)
      << "only style sheets are inlined";
  EXPECT_NE(doc.find("<script>const s = '<\\/script>';"), std::string::npos) << doc;
  EXPECT_NE(doc.find("<script src=\"other.js\"></script>"), std::string::npos)
      << "a file the page does not have stays a reference";
  EXPECT_EQ(doc.find("src='app.js'"), std::string::npos);
}

TEST(PageText, WritesTheLabelsOfTheInterfaceLanguage) {
  std::string en = PageText::document(kFiles, false);
  std::string he = PageText::document(kFiles, true);
  EXPECT_NE(en.find("<html lang=\"en\" dir=\"ltr\">"), std::string::npos);
  EXPECT_NE(en.find("<h1>Refresh now</h1>"), std::string::npos);
  EXPECT_NE(en.find("label('No open terminals.')"), std::string::npos);
  EXPECT_NE(en.find("a || b"), std::string::npos) << "script operators are not labels";
  EXPECT_NE(he.find("<html lang=\"he\" dir=\"rtl\">"), std::string::npos);
  EXPECT_NE(he.find("<h1>רענון עכשיו</h1>"), std::string::npos);
  EXPECT_NE(he.find("window.velmoLang=\"he\""), std::string::npos);
}

TEST(PageText, ExtraHeadRunsBeforeThePageScript) {
  std::string doc = PageText::document(kFiles, false, "<script>shim()</script>");
  size_t shim = doc.find("shim()"), app = doc.find("const s");
  ASSERT_NE(shim, std::string::npos);
  EXPECT_LT(shim, app);
  EXPECT_LT(doc.find("<head>"), shim);
}

TEST(PageText, APageWithoutIndexStillGivesADocument) {
  std::string doc = PageText::document({}, false, "<script>x</script>");
  EXPECT_NE(doc.find("<script>x</script>"), std::string::npos);
  EXPECT_NE(doc.find("<title>Velmo</title>"), std::string::npos);
  EXPECT_EQ(doc.find("<!doctype html>"), 0u) << "the doctype stays first";
}
