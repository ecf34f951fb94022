#pragma once
// SUM as the server computes it over money: exactly. SQLite keeps money as
// doubles and adds them without compensation, so a long column of amounts drifts
// away from the cents it holds; this aggregate adds them as whole ten-thousandths
// (money's precision) in 64-bit integers instead. The shim sends "sum(" here.

#include <sqlite3.h>

namespace Velmora::Standin {

// The name the shim writes in place of SUM.
inline constexpr const char* ExactSumName = "velmora_sum";

// Registers the aggregate (also usable as a window function) on the connection;
// false when SQLite refuses it.
bool RegisterExactSum(sqlite3* db);

}  // namespace Velmora::Standin
