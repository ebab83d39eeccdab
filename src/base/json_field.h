#pragma once
// Reading a record someone else wrote (the agent, another Velmo, the page): `value` and
// `get` throw on a member of the wrong type, and such a record must cost only its field.

#include <nlohmann/json_fwd.hpp>
#include <string>

namespace JsonField {

/// The string member `key` of the object, or "" when it is missing, is of another type, or
/// `object` is not an object at all.
std::string text(const nlohmann::json& object, const char* key);

}  // namespace JsonField
