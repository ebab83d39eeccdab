#pragma once
// The account on disk: ~/.claude/velmo-spend/spend.json (the store) beside ids-GEN.bin (the
// counted message ids), each written whole and atomically. The store names the generation
// of its ids; a save writes the new generation's file, then the store, and only then removes
// the older ids, so a crash between the two writes leaves the old pair whole. A pair that
// still does not match (a file removed by hand) is read as no store at all, so the account
// is built again rather than trusted half-way. `ids.bin`, where earlier versions kept the
// ids, is still read.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "spend/records.h"

namespace Spend {

/// ~/.claude/velmo-spend
std::string storeDir();
std::string storePath();
/// The ids of one generation.
std::string idsPath(uint64_t generation);
/// Where earlier versions kept the ids, whatever their generation.
std::string legacyIdsPath();

/// The store as JSON text; counters keep the order input, output, write5, write1h, read, calls.
std::string encodeStore(const Store& store);
/// No value for text that is not a store.
std::optional<Store> decodeStore(std::string_view text);

}  // namespace Spend
