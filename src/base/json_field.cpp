#include "base/json_field.h"

#include <nlohmann/json.hpp>

namespace JsonField {

std::string text(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return "";
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace JsonField
