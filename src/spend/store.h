#pragma once
// The account on disk: ~/.claude/velmo-spend/spend.json (the store) beside ids.bin (the
// counted message ids), each written whole and atomically. The store names the ids file's
// generation; a pair that does not match (a crash between the two writes) is read as no
// store at all, so the account is built again rather than trusted half-way.

#include <optional>
#include <string>
#include <string_view>

#include "spend/records.h"

namespace Spend {

/// ~/.claude/velmo-spend
std::string storeDir();
std::string storePath();
std::string idsPath();

/// The store as JSON text; counters keep the order input, output, write5, write1h, read, calls.
std::string encodeStore(const Store& store);
/// No value for text that is not a store.
std::optional<Store> decodeStore(std::string_view text);

}  // namespace Spend
