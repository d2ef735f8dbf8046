#pragma once

// What every family of built-in functions shares: the series helpers and the shape of a
// table entry. Each family file holds one table; functions/registry.cpp gathers them.

#include "functions.h"
#include "functions/sums.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

namespace morvane::formula {

using Sz = std::size_t;
using Index = long long;
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Args = std::vector<Value>;
using Fn = Series (*)(const Args &, const Bars &);
// The same function on the newest bars only (its arguments cut to them), going on from its
// own values before them. For the replay's tails.
using Resume = Series (*)(const Args &, const TailSeed &);

// Whether a function's value at a bar reads only that bar and the ones before, so that on the
// first k bars it gives exactly the first k values of the whole history (the replay then takes
// them instead of computing them again). Bit for bit, not nearly: a function whose rounding
// depends on the later bars is not causal. When in doubt, No.
enum class Causal : unsigned char
{
    No,
    Yes,
    PastOffset, // REF, REFV: unless the offset is a constant below 0
    FixedArgs   // SAR: when every argument is constant (it reads them on the newest bar)
};

struct FunctionEntry
{
    const char *name;
    int minArgs;
    int maxArgs;
    Fn fn;
    Causal causal = Causal::No;
    bool elementwise = false; // constant arguments give a constant result
    Resume resume = nullptr;
};

// The table's entry for NAME, or nullptr: what the replay calls again and again resolves once.
const FunctionEntry *functionEntry(const QString &name);

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

// Drawings whose channels are their arguments bar by bar; DRAWLINE joins its ends across
// bars, so it is not counted among them.
bool causalDrawing(const QString &name);

inline bool isTrue(double x)
{
    return !std::isnan(x) && x != 0.0;
}

inline Series empty(Sz n)
{
    return Series(n, kNaN);
}

// Counts beyond this are "more bars than any history has": exact in a double and far from
// int64's ends, so index arithmetic on a clamped count never overflows.
inline constexpr double kMaxCount = 1e15;

// The one conversion of a count argument (N, M, an offset) to whole bars, shared by every
// function: NaN stays NaN, the fraction is cut off like the charting software does, and
// anything beyond ±kMaxCount, infinities included, is clamped there.
inline double safeCount(double x)
{
    if (std::isnan(x))
        return kNaN;
    return std::clamp(std::trunc(x), -kMaxCount, kMaxCount);
}

inline double countAt(const Value &n, Sz i)
{
    return safeCount(n.v[i]);
}

// Window [from, i] for N at bar i; N = 0 means every bar since `first` (the input's first
// value), none before it. Partial windows at the start when partial is set, else none (-1).
inline Index windowStart(double count, Sz i, bool partial, Sz first = 0)
{
    if (std::isnan(count) || count < 0)
        return -1;
    if (count == 0)
        return i >= first ? Index(first) : -1;
    const Index from = Index(i) + 1 - Index(count);
    if (from < 0)
        return partial ? 0 : -1;
    return from;
}

// The first bar where x has a value (x's size when none).
inline Sz firstValue(const Series &x)
{
    return Sz(std::find_if(x.begin(), x.end(), [](double v) { return !std::isnan(v); }) -
              x.begin());
}

template <typename F>
Series windowed(const Value &x, const Value &n, bool partial, F f, Sz first = 0)
{
    const Sz size = x.v.size();
    Series out = empty(size);
    if (n.constant && !n.v.empty()) { // one N for every bar: converted once
        const double count = countAt(n, 0);
        for (Sz i = 0; i < size; ++i) {
            const Index from = windowStart(count, i, partial, first);
            if (from >= 0)
                out[i] = f(Sz(from), i);
        }
        return out;
    }
    for (Sz i = 0; i < size; ++i) {
        const Index from = windowStart(countAt(n, i), i, partial, first);
        if (from >= 0)
            out[i] = f(Sz(from), i);
    }
    return out;
}

// Running sums over the bars, so that any window's sum costs two reads whatever N is.
// Infinite and NaN values are counted apart (and only when there are any), so one of them
// spoils the windows that hold it and no other.
class Prefix
{
public:
    Prefix() = default;
    template <typename F> Prefix(Sz size, F valueAt) : m_s(size + 1)
    {
        double *s = m_s.data();
        s[0] = 0.0;
        for (Sz k = 0; k < size; ++k) {
            const double v = valueAt(k);
            if (std::isfinite(v)) {
                s[k + 1] = s[k] + v;
                continue;
            }
            if (m_special.empty())
                m_special.assign(3 * (size + 1), 0);
            s[k + 1] = s[k];
            const Sz kind = std::isnan(v) ? 0 : v > 0 ? 1 : 2;
            m_special[3 * (k + 1) + kind] = 1;
        }
        for (Sz k = 1; k < m_special.size() / 3; ++k)
            for (Sz kind = 0; kind < 3; ++kind)
                m_special[3 * k + kind] += m_special[3 * (k - 1) + kind];
        if (!std::isfinite(m_s.back())) { // finite values beyond a double's range: sum wider
            m_wide.assign(size + 1, 0.0L);
            for (Sz k = 0; k < size; ++k) {
                const double v = valueAt(k);
                m_wide[k + 1] = m_wide[k] + (std::isfinite(v) ? static_cast<long double>(v) : 0.0L);
            }
        }
    }
    // Sum over bars [from, to]. Without infinities and overflow, the plain difference: the
    // same bits as through wideSum, without its long double.
    double sum(Sz from, Sz to) const
    {
        if (m_special.empty() && m_wide.empty())
            return m_s[to + 1] - m_s[from];
        return double(wideSum(from, to));
    }
    // The same before it is rounded to a double: a mean of values near a double's limit.
    long double wideSum(Sz from, Sz to) const
    {
        if (!m_special.empty()) {
            auto count = [&](Sz kind) {
                return m_special[3 * (to + 1) + kind] - m_special[3 * from + kind];
            };
            const Sz nans = count(0), up = count(1), down = count(2);
            if (nans > 0 || (up > 0 && down > 0))
                return kNaN;
            if (up > 0 || down > 0)
                return up > 0 ? std::numeric_limits<long double>::infinity()
                              : -std::numeric_limits<long double>::infinity();
        }
        // Only where the plain sums overflowed: a window before that gives the same bits
        // whatever later bars do, as the replay's shorter histories need.
        if (!m_wide.empty() && !std::isfinite(m_s[to + 1]))
            return m_wide[to + 1] - m_wide[from];
        return m_s[to + 1] - m_s[from];
    }

private:
    std::vector<double> m_s;
    std::vector<long double> m_wide;
    std::vector<Sz> m_special; // running counts of NaN, +inf, −inf, three a bar
};

// Whether the window [from, i] holds an empty bar of x, asked for bars i that never go back:
// the latest empty bar so far answers, with no table.
class EmptyBars
{
public:
    explicit EmptyBars(const Series &x) : m_x(x) {}
    bool any(Sz from, Sz i)
    {
        for (; m_next <= i; ++m_next)
            if (std::isnan(m_x[m_next]))
                m_last = Index(m_next);
        return m_last >= Index(from);
    }

private:
    const Series &m_x;
    Sz m_next = 0;
    Index m_last = -1;
};

// Bars of x that are empty, counted.
inline Prefix nanCounts(const Series &x)
{
    return Prefix(x.size(), [&](Sz k) { return std::isnan(x[k]) ? 1.0 : 0.0; });
}

// Bars where x holds, counted.
inline Prefix trueCounts(const Series &x)
{
    return Prefix(x.size(), [&](Sz k) { return isTrue(x[k]) ? 1.0 : 0.0; });
}

// Whether an earlier bar's value stays the highest (or lowest) against a later one's: only
// when strictly beyond it, and NaN never wins.
inline bool earlierStays(double earlier, double later, bool highest)
{
    if (std::isnan(later))
        return true;
    if (std::isnan(earlier))
        return false;
    return highest ? earlier > later : earlier < later;
}

// The bar of the highest (or lowest) value over [from, to], the latest of equal ones; NaN
// never wins. A monotonic queue when the windows only move forward (a constant N, or 0),
// else a sparse table: both n log n at worst, whatever N does.
class RangeExtreme
{
public:
    RangeExtreme(const Series &x, bool highest) : m_x(x), m_highest(highest) {}

    // The answers for the given windows (from < 0: none, giving -1).
    std::vector<Index> query(const std::vector<Index> &starts) const
    {
        const Sz size = m_x.size();
        std::vector<Index> out(size, -1);
        bool forward = true;
        Index last = 0;
        for (Sz i = 0; i < size; ++i) {
            if (starts[i] < 0)
                continue;
            forward = forward && starts[i] >= last;
            last = starts[i];
        }
        if (forward) {
            std::vector<Sz> queue;
            queue.reserve(size);
            Sz head = 0;
            for (Sz i = 0; i < size; ++i) {
                while (queue.size() > head && !better(queue.back(), i))
                    queue.pop_back();
                queue.push_back(i);
                if (starts[i] < 0)
                    continue;
                while (queue[head] < Sz(starts[i]))
                    ++head;
                out[i] = Index(queue[head]);
            }
            return out;
        }
        // Bar numbers as 32 bits: the table is n log n of them.
        using Bar = std::uint32_t;
        std::vector<std::vector<Bar>> table(1, std::vector<Bar>(size));
        for (Sz i = 0; i < size; ++i)
            table[0][i] = Bar(i);
        for (Sz w = 1; 2 * w <= size; w *= 2) {
            const std::vector<Bar> &prev = table.back();
            std::vector<Bar> next(size - 2 * w + 1);
            for (Sz i = 0; i < next.size(); ++i)
                next[i] = Bar(pick(prev[i], prev[i + w]));
            table.push_back(std::move(next));
        }
        for (Sz i = 0; i < size; ++i) {
            if (starts[i] < 0)
                continue;
            const Sz from = Sz(starts[i]), len = i - from + 1;
            Sz level = 0;
            while ((Sz(2) << level) <= len)
                ++level;
            out[i] = Index(pick(table[level][from], table[level][i + 1 - (Sz(1) << level)]));
        }
        return out;
    }

private:
    // a (earlier) stays ahead of b (later) only when strictly better.
    bool better(Sz a, Sz b) const { return earlierStays(m_x[a], m_x[b], m_highest); }
    Sz pick(Sz a, Sz b) const
    {
        const Sz early = std::min(a, b), late = std::max(a, b);
        return better(early, late) ? early : late;
    }

    const Series &m_x;
    bool m_highest;
};

// Each bar's window start for count argument n (see windowStart).
inline std::vector<Index> windowStarts(const Value &n, Sz size, bool partial, Sz first = 0)
{
    std::vector<Index> starts(size);
    for (Sz i = 0; i < size; ++i)
        starts[i] = windowStart(countAt(n, i), i, partial, first);
    return starts;
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

// Recursive averages start at the first bar where X and every parameter have values; a bar
// where one is empty shows nothing and the recursion goes on from the value before it.
// `seed`: the value before the first bar, to go on from (NaN: none yet).
template <typename Ready, typename F>
Series recursiveWhen(const Series &x, Ready ready, F step, double seed = kNaN)
{
    Series out = empty(x.size());
    double prev = seed;
    for (Sz i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i]) || !ready(i))
            continue;
        const double next = std::isnan(prev) ? x[i] : step(prev, x[i], i);
        if (std::isnan(next))
            continue;
        prev = next;
        out[i] = prev;
    }
    return out;
}

template <typename F> Series recursive(const Series &x, F step)
{
    return recursiveWhen(
        x, [](Sz) { return true; }, step);
}

} // namespace morvane::formula
