#pragma once

#include "barfiles.h"

#include <vector>

namespace morvane::formula {

// Seeded, made-up securities (code "MN0001"…, names 模拟…), each about 1,000 trading days
// with suspensions, ±10 % limit days, flat days, equal highs and the common candle
// patterns; identical on every platform. Cheap: built on each call.
std::vector<Security> builtinSecurities();

} // namespace morvane::formula
