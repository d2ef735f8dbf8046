#include "builtin.h"

namespace morvane::formula {

std::vector<Security> builtinSecurities()
{
    return {};
}

} // namespace morvane::formula
