#pragma once

// What every family of built-in functions shares: the series helpers and the shape of a
// table entry. Each family file holds one table; functions/registry.cpp gathers them.

#include "functions.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>

namespace morvane::formula {

using Sz = std::size_t;
using Index = long long;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Args = std::vector<Value>;
using Fn = Series (*)(const Args &, const Bars &);

struct FunctionEntry
{
    const char *name;
    int minArgs;
    int maxArgs;
    Fn fn;
    bool elementwise = false; // constant arguments give a constant result
};

// One table per family.
std::span<const FunctionEntry> referenceFunctions();
std::span<const FunctionEntry> averageFunctions();
std::span<const FunctionEntry> windowFunctions();
std::span<const FunctionEntry> logicFunctions();
std::span<const FunctionEntry> mathFunctions();
std::span<const FunctionEntry> statisticsFunctions();
std::span<const FunctionEntry> zigzagFunctions();

// Functions that read the bars' extra columns rather than a series: DYNAINFO, FINANCE,
// WINNER, COST, RGB. Nothing when the name is none of them.
std::optional<CallResult> callMarketFunction(const QString &name, std::vector<Value> &args,
                                             const Bars &bars, Value *out);

double dateNumber(const QDate &d);

inline bool isTrue(double x)
{
    return !std::isnan(x) && x != 0.0;
}

inline Series empty(Sz n)
{
    return Series(n, kNaN);
}

// A count argument at one bar: NaN stays NaN, else truncated like the charting software.
inline double countAt(const Value &n, Sz i)
{
    const double x = n.v[i];
    return std::isnan(x) ? kNaN : std::trunc(x);
}

// Window [from, i] for N at bar i; N = 0 means from the first bar. Partial windows at the
// start when partial is set, else none (-1).
inline Index windowStart(double count, Sz i, bool partial)
{
    if (std::isnan(count) || count < 0)
        return -1;
    if (count == 0)
        return 0;
    const Index from = Index(i) + 1 - Index(count);
    if (from < 0)
        return partial ? 0 : -1;
    return from;
}

template <typename F> Series windowed(const Value &x, const Value &n, bool partial, F f)
{
    const Sz size = x.v.size();
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const Index from = windowStart(countAt(n, i), i, partial);
        if (from >= 0)
            out[i] = f(Sz(from), i);
    }
    return out;
}

inline bool anyNaN(const Series &s, Sz from, Sz to)
{
    for (Sz k = from; k <= to; ++k)
        if (std::isnan(s[k]))
            return true;
    return false;
}

// Element-wise over any number of arguments; constant when all are.
template <typename F> Value map(const std::vector<Value> &args, F f)
{
    Value out;
    const Sz size = args.front().v.size();
    out.v.resize(size);
    out.constant = std::all_of(args.begin(), args.end(), [](const Value &a) { return a.constant; });
    for (Sz i = 0; i < size; ++i)
        out.v[i] = f(i);
    return out;
}

inline double arg(const Args &a, Sz k, Sz i)
{
    return a[k].v[i];
}

template <typename F> Series elementwise(const Args &a, F f)
{
    return map(a, f).v;
}

// Recursive averages start at the first value X has.
template <typename F> Series recursive(const Series &x, F step)
{
    Series out = empty(x.size());
    double prev = kNaN;
    for (Sz i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i]))
            continue;
        prev = std::isnan(prev) ? x[i] : step(prev, x[i], i);
        out[i] = prev;
    }
    return out;
}

} // namespace morvane::formula
