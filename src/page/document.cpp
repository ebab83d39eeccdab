#include "page/document.h"

#include <nlohmann/json.hpp>

#include "base/lang.h"
#include "base/text.h"

namespace Page {
namespace {

std::string resource(const std::string& name) {
  const auto& all = resources();
  auto it = all.find(name);
  return it == all.end() ? std::string() : it->second;
}

// The labels go into a script element, where "</" would end it early.
std::string labelsFor(const std::string& lang) {
  auto all = nlohmann::json::parse(resource("labels.json"), nullptr, false);
  if (!all.is_object()) return "{}";
  auto chosen = all.find(lang);
  if (chosen == all.end() || !chosen->is_object()) chosen = all.find("en");
  if (chosen == all.end() || !chosen->is_object()) return "{}";
  return Text::replaceAll(chosen->dump(), "</", "<\\/");
}

}  // namespace

std::string document(const std::string& lang) {
  bool hebrew = lang == "he";
  std::map<std::string, std::string> fills = {
      {"lang", hebrew ? "he" : "en"},
      {"dir", hebrew ? "rtl" : "ltr"},
      {"labels", labelsFor(hebrew ? "he" : "en")},
      {"style", resource("style.css")},
      {"script", resource("app.js")},
  };
  // One pass over the template, so nothing inserted is itself searched for placeholders.
  std::string page = resource("index.html");
  std::string out;
  out.reserve(page.size() + fills["style"].size() + fills["script"].size() +
              fills["labels"].size());
  size_t at = 0;
  while (at < page.size()) {
    size_t open = page.find("{{", at);
    if (open == std::string::npos) break;
    size_t close = page.find("}}", open + 2);
    if (close == std::string::npos) break;
    auto fill = fills.find(page.substr(open + 2, close - open - 2));
    out.append(page, at, open - at);
    if (fill == fills.end())
      out.append(page, open, close + 2 - open);
    else
      out += fill->second;
    at = close + 2;
  }
  out.append(page, at, std::string::npos);
  return out;
}

std::string document() {
  return document(Lang::code());
}

}  // namespace Page
