#include "base/request.h"

#include "base/lang.h"
#include "base/text.h"

namespace Request {
namespace {

// The JSON type of a value, as an argument's fault names it.
const char* typeOf(const nlohmann::json& v) {
  if (v.is_string()) return "string";
  if (v.is_number_integer()) return "integer";
  if (v.is_number()) return "number";
  if (v.is_boolean()) return "boolean";
  if (v.is_object()) return "object";
  if (v.is_array()) return "array";
  return "null";
}

std::string typeNames(unsigned types) {
  std::vector<std::string> names;
  const std::pair<unsigned, const char*> all[] = {{text, "string"},     {integer, "integer"},
                                                  {fraction, "number"}, {flag, "boolean"},
                                                  {object, "object"},   {list, "array"}};
  for (const auto& [bit, name] : all)
    if (types & bit) names.push_back(name);
  return Text::join(names, Lang::pick(" or ", " או "));
}

// "an integer", "a string or integer".
std::string article(const std::string& noun) {
  bool vowel = !noun.empty() && std::string("aeiou").find(noun[0]) != std::string::npos;
  return (vowel ? "an " : "a ") + noun;
}

const nlohmann::json* member(const nlohmann::json& request, const char* key) {
  if (!request.is_object()) return nullptr;
  auto it = request.find(key);
  return it == request.end() ? nullptr : &*it;
}

}  // namespace

std::string Args::text(const char* key) const {
  const auto* v = member(request, key);
  return v && v->is_string() ? v->get<std::string>() : std::string();
}

int Args::integer(const char* key) const {
  const auto* v = member(request, key);
  return v && v->is_number_integer() ? v->get<int>() : 0;
}

std::optional<int64_t> Args::wide(const char* key) const {
  const auto* v = member(request, key);
  if (!v || !v->is_number_integer()) return std::nullopt;
  return v->get<int64_t>();
}

bool Args::flag(const char* key) const {
  const auto* v = member(request, key);
  return v && v->is_boolean() && v->get<bool>();
}

nlohmann::json Args::value(const char* key) const {
  const auto* v = member(request, key);
  return v ? *v : nlohmann::json();
}

std::string Args::number(const char* key) const {
  const auto* v = member(request, key);
  if (!v) return "";
  if (v->is_string()) return v->get<std::string>();
  if (v->is_number_integer()) return std::to_string(v->get<int64_t>());
  return "";
}

bool fits(const nlohmann::json& v, unsigned types) {
  return (types & any) || ((types & text) && v.is_string()) || ((types & integer) && v.is_number_integer()) ||
         ((types & fraction) && v.is_number()) || ((types & flag) && v.is_boolean()) ||
         ((types & object) && v.is_object()) || ((types & list) && v.is_array());
}

std::optional<std::string> fault(const std::vector<Arg>& args, const nlohmann::json& request) {
  for (const Arg& arg : args) {
    std::string key = std::string("\"") + arg.key + "\"";
    const auto* v = member(request, arg.key);
    if (!v) {
      if (arg.optional) continue;
      return Lang::hebrew() ? "חסר " + key : key + " is missing";
    }
    if (fits(*v, arg.types)) continue;
    std::string is = typeOf(*v), wanted = typeNames(arg.types);
    if (Lang::hebrew()) return key + " הוא " + is + " ולא " + wanted;
    return key + " is " + article(is) + ", not " + article(wanted);
  }
  return std::nullopt;
}

}  // namespace Request
