#include "app/page_text.h"

#include <re2/re2.h>

#include <cstdlib>

#include "base/files.h"
#include "base/text.h"

namespace PageText {
namespace {

// The value of attribute `name` inside one tag's text ("" when absent).
std::string attribute(const std::string& tag, const std::string& name) {
  static const RE2 pattern(R"re(\s([a-zA-Z-]+)\s*=\s*(?:"([^"]*)"|'([^']*)'|([^\s>]+)))re");
  re2::StringPiece rest(tag);
  std::string key, dq, sq, bare;
  while (RE2::FindAndConsume(&rest, pattern, &key, &dq, &sq, &bare)) {
    if (Text::lower(key) == name) return !dq.empty() ? dq : !sq.empty() ? sq : bare;
    dq.clear(), sq.clear(), bare.clear();
  }
  return "";
}

// Text inside a <script> or <style> element must not close it early.
std::string inlineSafe(std::string body, const std::string& element) {
  return Text::replaceAll(std::move(body), "</" + element, "<\\/" + element);
}

std::string inlineFiles(const std::string& html, const std::map<std::string, std::string>& files) {
  static const RE2 tags(R"re((?is)(<link\b[^>]*>)|(<script\b[^>]*>\s*</script>))re");
  std::string out;
  re2::StringPiece rest(html);
  const char* copied = html.data();
  std::string link, script;
  while (RE2::FindAndConsume(&rest, tags, &link, &script)) {
    const std::string& tag = link.empty() ? script : link;
    const char* start = rest.data() - tag.size();
    std::string name = link.empty() ? attribute(script, "src") : attribute(link, "href");
    auto file = files.find(name);
    bool isSheet = !link.empty() && Text::lower(attribute(link, "rel")) == "stylesheet";
    if (file == files.end() || (!link.empty() && !isSheet)) continue;
    out.append(copied, start);
    if (isSheet)
      out += "<style>" + inlineSafe(file->second, "style") + "</style>";
    else
      out += "<script>" + inlineSafe(file->second, "script") + "</script>";
    copied = rest.data();
  }
  out.append(copied, html.data() + html.size());
  return out;
}

std::string insertHead(const std::string& html, const std::string& head) {
  if (head.empty()) return html;
  // First inside <head>; without one, after <html> or the doctype, so the document does
  // not fall into quirks mode.
  static const RE2 places[] = {RE2(R"re(((?i)<head\b[^>]*>))re"), RE2(R"re(((?i)<html\b[^>]*>))re"),
                               RE2(R"re(((?i)<!doctype\b[^>]*>))re")};
  for (const auto& place : places) {
    re2::StringPiece found;
    if (RE2::PartialMatch(html, place, &found)) {
      size_t at = static_cast<size_t>(found.data() - html.data()) + found.size();
      return html.substr(0, at) + head + html.substr(at);
    }
  }
  return head + html;
}

}  // namespace

std::map<std::string, std::string> files() {
  const char* dir = std::getenv("VELMO_PAGE_DIR");
  if (!dir || !*dir) return Page::resources();
  std::map<std::string, std::string> out;
  if (auto entries = Files::list(dir))
    for (const auto& e : *entries)
      if (auto text = Files::read(e.path)) out[e.name] = *text;
  return out;
}

std::string labels(const std::string& text, bool hebrew) {
  static const RE2 pair(R"re(\{\{([^{}|\n]*)\|([^{}|\n]*)\}\})re");
  std::string out = text;
  RE2::GlobalReplace(&out, pair, hebrew ? "\\2" : "\\1");
  out = Text::replaceAll(std::move(out), "{{lang}}", hebrew ? "he" : "en");
  return Text::replaceAll(std::move(out), "{{dir}}", hebrew ? "rtl" : "ltr");
}

std::string document(const std::map<std::string, std::string>& files, bool hebrew,
                     const std::string& head) {
  auto index = files.find("index.html");
  std::string html = index == files.end() ? "<!doctype html><title>Velmo</title>" : index->second;
  std::string lang = std::string("<script>window.velmoLang=\"") + (hebrew ? "he" : "en") +
                     "\";</script>";
  return labels(insertHead(inlineFiles(html, files), lang + head), hebrew);
}

}  // namespace PageText
