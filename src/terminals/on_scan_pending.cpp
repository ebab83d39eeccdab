#include "terminals/on_scan.h"

// The hook itself is stored by discovery; until the two meet, a screen dump pokes nothing.
namespace Terminals {
void runOnScan() {}
}  // namespace Terminals
