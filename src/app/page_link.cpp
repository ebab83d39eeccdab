#include "app/page_link.h"

#include "base/text.h"

namespace {

std::string replaceSeparators(std::string text) {
  // Line and paragraph separators are valid inside JSON strings but end a line in older
  // script engines; escaped they mean the same to both.
  text = Text::replaceAll(std::move(text), "\xE2\x80\xA8", "\\u2028");
  return Text::replaceAll(std::move(text), "\xE2\x80\xA9", "\\u2029");
}

}  // namespace

std::string jsString(const std::string& text) {
  std::string list;
  try {
    list = nlohmann::json::array({text}).dump(-1, ' ', false,
                                              nlohmann::json::error_handler_t::replace);
  } catch (const std::exception&) {
    return "\"\"";
  }
  return replaceSeparators(list.substr(1, list.size() - 2));
}

std::string scriptJson(const nlohmann::json& value) {
  try {
    return replaceSeparators(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  } catch (const std::exception&) {
    return "";
  }
}

void PageLink::call(const std::string& name, const std::vector<std::string>& args,
                    PageHost::Done done) {
  if (!attached()) return;
  host->call(name, args, std::move(done));
}

void PageLink::callSame(uint64_t generation, const std::string& name,
                        const std::vector<std::string>& args) {
  if (generation == loads) call(name, args);
}
