#include "shell/browser/shim.h"

#include "app/app_delegate.h"
#include "base/text.h"
#include "page/document.h"

std::string shimMarkup(const std::map<std::string, std::string>& files, const std::string& token) {
  auto own = files.find("shim.js");
  std::string script;
  if (own != files.end()) {
    script = own->second;
  } else if (auto builtIn = Page::resources().find("shim.js"); builtIn != Page::resources().end()) {
    script = builtIn->second;
  }
  static const std::string placeholder = "\"__TOKEN__\"";
  if (auto at = script.find(placeholder); at != std::string::npos)
    script.replace(at, placeholder.size(), jsString(token));
  // An empty icon keeps the browser from asking for /favicon.ico without the token.
  return "<link rel=\"icon\" href=\"data:,\"><script>" + Text::replaceAll(script, "</", "<\\/") +
         "</script>";
}
