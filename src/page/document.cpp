#include "page/document.h"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/base64.h"
#include "base/files.h"
#include "base/lang.h"
#include "base/log.h"
#include "base/sha256.h"
#include "base/text.h"

namespace Page {
namespace {

std::string fileText(const std::map<std::string, std::string>& files, const std::string& name) {
  auto it = files.find(name);
  return it == files.end() ? std::string() : it->second;
}

// Text placed inside a <script> element must not close it early.
std::string scriptSafe(const std::string& text) {
  return Text::replaceAll(text, "</", "<\\/");
}

std::string labelsFor(const std::map<std::string, std::string>& files, const std::string& lang) {
  auto all = nlohmann::json::parse(fileText(files, "labels.json"), nullptr, false);
  if (!all.is_object()) return "{}";
  auto chosen = all.find(lang);
  if (chosen == all.end() || !chosen->is_object()) chosen = all.find("en");
  if (chosen == all.end() || !chosen->is_object()) return "{}";
  return scriptSafe(chosen->dump());
}

std::string withHead(const std::string& html, const std::string& head) {
  size_t at = html.find("<head>");
  if (at == std::string::npos) {
    // No head element: after the doctype, which must stay first.
    size_t doctype = html.rfind("<!doctype html>", 0) == 0 ? 15 : 0;
    return html.substr(0, doctype) + head + html.substr(doctype);
  }
  at += 6;
  return html.substr(0, at) + head + html.substr(at);
}

struct Inline {
  std::vector<std::string> scripts, styles;
};

// The text of every attribute-less <script> and <style> element, in document order, so
// that neither's text is taken for the start of the other. The document is ours alone
// when this reads it: nothing shown comes in before load.
Inline inlineBodies(const std::string& html) {
  Inline out;
  size_t at = 0;
  for (;;) {
    size_t script = html.find("<script>", at), style = html.find("<style>", at);
    bool isScript = script <= style;
    size_t open = isScript ? script : style;
    if (open == std::string::npos) break;
    open += isScript ? 8 : 7;
    size_t end = html.find(isScript ? "</script>" : "</style>", open);
    if (end == std::string::npos) break;
    (isScript ? out.scripts : out.styles).push_back(html.substr(open, end - open));
    at = end;
  }
  return out;
}

std::string hashSources(const std::vector<std::string>& bodies) {
  std::string out;
  for (const auto& body : bodies) {
    // The browser hashes the text as its parser left it, line breaks made plain.
    std::string text = Text::replaceAll(Text::replaceAll(body, "\r\n", "\n"), "\r", "\n");
    std::string source = " 'sha256-" + Base64::encode(Sha256::digest(text)) + "'";
    if (!Text::contains(out, source)) out += source;
  }
  return out.empty() ? " 'none'" : out;
}

constexpr const char* kPolicyMeta = "<meta http-equiv=\"Content-Security-Policy\" content=\"";

}  // namespace

std::string policy(const std::string& html, const std::string& connect) {
  Inline found = inlineBodies(html);
  return "default-src 'none'; script-src" + hashSources(found.scripts) + "; style-src" +
         hashSources(found.styles) + "; img-src data:; connect-src " +
         (connect.empty() ? "'none'" : connect) +
         "; object-src 'none'; base-uri 'none'; form-action 'none'";
}

std::string policyOf(const std::string& document) {
  size_t at = document.find(kPolicyMeta);
  if (at == std::string::npos) return "";
  at += std::char_traits<char>::length(kPolicyMeta);
  size_t end = document.find('"', at);
  return end == std::string::npos ? "" : document.substr(at, end - at);
}

std::map<std::string, std::string> files() {
  const char* dir = std::getenv("VELMO_PAGE_DIR");
  if (!dir || !*dir) return resources();
  std::map<std::string, std::string> out;
  if (auto entries = Files::list(dir))
    for (const auto& e : *entries)
      if (auto text = Files::read(e.path, Files::kStoreBytes)) out[e.name] = *text;
  return joinParts(std::move(out));
}

std::map<std::string, std::string> joinParts(std::map<std::string, std::string> files) {
  static const std::pair<const char*, const char*> kLists[] = {{"scripts.txt", "app.js"},
                                                               {"styles.txt", "style.css"}};
  for (const auto& [listName, joinedName] : kLists) {
    auto list = files.find(listName);
    if (list == files.end()) continue;
    std::string joined;
    for (const auto& line : Text::split(list->second, '\n')) {
      std::string name = Text::trim(line);
      if (name.empty() || name[0] == '#') continue;
      auto part = files.find(name);
      if (part == files.end()) {
        Log::note(Lang::hebrew()
                      ? "דף: הקובץ " + name + " שברשימת " + listName + " חסר"
                      : "page: " + std::string(listName) + " names " + name + ", which is missing");
        continue;
      }
      joined += part->second;
      if (!Text::endsWith(part->second, "\n")) joined += '\n';
    }
    files[joinedName] = std::move(joined);
  }
  return files;
}

std::string document(const std::map<std::string, std::string>& files, const std::string& lang,
                     const std::string& head, const std::string& connect) {
  bool hebrew = lang == "he";
  std::map<std::string, std::string> fills = {
      {"lang", hebrew ? "he" : "en"},
      {"dir", hebrew ? "rtl" : "ltr"},
      {"labels", labelsFor(files, hebrew ? "he" : "en")},
      {"style", fileText(files, "style.css")},
      {"script", scriptSafe(fileText(files, "app.js"))},
  };
  std::string page = fileText(files, "index.html");
  if (page.empty()) page = "<!doctype html><title>Velmo</title>";
  // One pass over the template, so nothing inserted is itself searched for placeholders.
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
  std::string langScript =
      std::string("<script>window.velmoLang=\"") + (hebrew ? "he" : "en") + "\";</script>";
  std::string whole = withHead(out, langScript + head);
  // First in <head>, so it governs every script after it. Its sources hold no double quote.
  return withHead(whole, kPolicyMeta + policy(whole, connect) + "\">");
}

std::string document() {
  return document(files(), Lang::code());
}

}  // namespace Page
