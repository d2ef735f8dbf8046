#include "functions/common.h"

namespace morvane::formula {

// Bar by bar, x (and y) being the arguments' values on the bar.
#define MORVANE_UNARY(NAME, EXPR)                                                                  \
    {                                                                                              \
        NAME, 1, 1,                                                                                \
            [](const Args &a, const Bars &) {                                                      \
                return elementwise(a, [&](Sz i) {                                                  \
                    const double x = arg(a, 0, i);                                                 \
                    return EXPR;                                                                   \
                });                                                                                \
            },                                                                                     \
            Causal::Yes, true                                                                      \
    }
#define MORVANE_BINARY(NAME, EXPR)                                                                 \
    {                                                                                              \
        NAME, 2, 2,                                                                                \
            [](const Args &a, const Bars &) {                                                      \
                return elementwise(a, [&](Sz i) {                                                  \
                    const double x = arg(a, 0, i), y = arg(a, 1, i);                               \
                    return EXPR;                                                                   \
                });                                                                                \
            },                                                                                     \
            Causal::Yes, true                                                                      \
    }

// Arithmetic and mathematics, bar by bar; constant arguments give a constant result.
std::span<const FunctionEntry> mathFunctions()
{
    static const FunctionEntry table[] = {
        MORVANE_UNARY("ABS", std::abs(x)),
        // ROUND(X) = X to the nearest whole number, halves away from zero (chosen)
        MORVANE_UNARY("ROUND", std::round(x)),
        MORVANE_UNARY("SQRT", x >= 0 ? std::sqrt(x) : kNaN),
        MORVANE_UNARY("LN", x > 0 ? std::log(x) : kNaN),
        // LOG(X) = base-10 logarithm
        MORVANE_UNARY("LOG", x > 0 ? std::log10(x) : kNaN),
        MORVANE_UNARY("EXP", std::exp(x)),
        // INTPART(X) = X without its fraction
        MORVANE_UNARY("INTPART", std::trunc(x)),
        MORVANE_UNARY("FRACPART", x - std::trunc(x)),
        MORVANE_UNARY("CEILING", std::ceil(x)),
        MORVANE_UNARY("FLOOR", std::floor(x)),
        MORVANE_UNARY("SIGN", std::isnan(x) ? kNaN
                              : x > 0       ? 1.0
                              : x < 0       ? -1.0
                                            : 0.0),
        MORVANE_UNARY("REVERSE", -x),
        MORVANE_UNARY("SIN", std::sin(x)),
        MORVANE_UNARY("COS", std::cos(x)),
        MORVANE_UNARY("TAN", std::tan(x)),
        MORVANE_UNARY("ASIN", std::asin(x)),
        MORVANE_UNARY("ACOS", std::acos(x)),
        MORVANE_UNARY("ATAN", std::atan(x)),
        MORVANE_BINARY("MAX", std::isnan(x) || std::isnan(y) ? kNaN : std::max(x, y)),
        MORVANE_BINARY("MIN", std::isnan(x) || std::isnan(y) ? kNaN : std::min(x, y)),
        // MOD(A,B) = remainder with A's sign (chosen: MOD(-7,3) = -1), 0 for B=0 (chosen, as
        // division by zero)
        MORVANE_BINARY("MOD", y != 0 ? std::fmod(x, y) : 0.0),
        MORVANE_BINARY("POW", std::pow(x, y)),
        MORVANE_BINARY("ROUND2", std::round(x * std::pow(10.0, y)) / std::pow(10.0, y)),
        // ZTPRICE(X,R) = the limit-up price from X at ratio R, in cents; DTPRICE: limit-down
        MORVANE_BINARY("ZTPRICE", std::round(x * (1 + y) * 100) / 100),
        MORVANE_BINARY("DTPRICE", std::round(x * (1 - y) * 100) / 100),
    };
    return table;
}
#undef MORVANE_UNARY
#undef MORVANE_BINARY

} // namespace morvane::formula
