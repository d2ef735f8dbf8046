#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// HHV/LLV with one N for every bar (the usual case): a window with an empty bar has no
// value, so only the values matter, and one queue of the bars still in the running serves.
Series fixedExtreme(const Series &x, double count, bool highest)
{
    const Sz size = x.size();
    Series out = empty(size);
    if (std::isnan(count) || count < 0)
        return out;
    std::vector<Sz> queue(size);
    Sz head = 0, tail = 0;
    Index lastEmpty = -1;
    const Sz first = firstValue(x);
    for (Sz i = 0; i < size; ++i) {
        const double v = x[i];
        if (std::isnan(v)) {
            lastEmpty = Index(i);
            head = tail = 0;
            continue;
        }
        while (tail > head && (highest ? x[queue[tail - 1]] <= v : x[queue[tail - 1]] >= v))
            --tail;
        queue[tail++] = i;
        const Index from = windowStart(count, i, true, first);
        while (Index(queue[head]) < from)
            ++head;
        if (lastEmpty < from)
            out[i] = x[queue[head]];
    }
    return out;
}

// HHV/LLV: the extreme of a partial window, empty when the window holds an empty bar.
Series extreme(const Args &a, bool highest)
{
    if (a[1].constant && !a[1].v.empty())
        return fixedExtreme(a[0].v, countAt(a[1], 0), highest);
    const Sz size = a[0].v.size();
    const std::vector<Index> starts = windowStarts(a[1], size, true, firstValue(a[0].v));
    const std::vector<Index> best = RangeExtreme(a[0].v, highest).query(starts);
    EmptyBars gaps(a[0].v);
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i)
        if (best[i] >= 0 && !gaps.any(Sz(starts[i]), i))
            out[i] = a[0].v[Sz(best[i])];
    return out;
}

// HHVBARS/LLVBARS: bars since the extreme (its latest bar when several are equal).
Series extremeBars(const Args &a, bool highest)
{
    const Sz size = a[0].v.size();
    const std::vector<Index> best =
        RangeExtreme(a[0].v, highest).query(windowStarts(a[1], size, true));
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i)
        if (best[i] >= 0 && !std::isnan(a[0].v[Sz(best[i])]))
            out[i] = double(Index(i) - best[i]);
    return out;
}

// How many bars of a partial window X holds on; the window's length beside it. N = 0
// counts from `first`.
template <typename F> Series counted(const Args &a, bool partial, F f, Sz first = 0)
{
    const Sz size = a[0].v.size();
    const Prefix holds = trueCounts(a[0].v);
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const Index from = windowStart(countAt(a[1], i), i, partial, first);
        out[i] = f(from < 0 ? -1.0 : double(holds.sum(Sz(from), i)),
                   from < 0 ? 0.0 : double(Index(i) - from + 1));
    }
    return out;
}

Series sumBars(const Args &a, const Bars &)
{
    const Series &x = a[0].v;
    const Sz size = x.size();
    Series out = empty(size);
    const WindowSums sums(x);
    const bool growing = std::none_of(x.begin(), x.end(), [](double v) { return v < 0; });
    for (Sz i = 0; i < size; ++i) {
        const double target = a[1].v[i];
        if (std::isnan(target))
            continue;
        if (growing) {
            // The sum from k to i only grows as k moves back: the latest k that
            // reaches the target, by bisection.
            if (sums.sum(0, i) < target)
                continue;
            Sz lo = 0, hi = i;
            while (lo < hi) {
                const Sz mid = lo + (hi - lo + 1) / 2;
                if (sums.sum(mid, i) >= target)
                    lo = mid;
                else
                    hi = mid - 1;
            }
            out[i] = double(i - lo + 1);
            continue;
        }
        for (Sz k = i + 1; k-- > 0;) {
            if (sums.sum(k, i) >= target) {
                out[i] = double(i - k + 1);
                break;
            }
        }
    }
    return out;
}

Series mular(const Args &a, const Bars &)
{
    const Series &x = a[0].v;
    const Sz size = x.size();
    Series logValues(size);
    for (Sz k = 0; k < size; ++k)
        logValues[k] = std::isnan(x[k]) || x[k] == 0 ? 0.0 : std::log(std::abs(x[k]));
    const WindowSums logs(logValues);
    const Prefix zeros(size, [&](Sz k) { return x[k] == 0 ? 1.0 : 0.0; });
    const Prefix negatives(size, [&](Sz k) { return x[k] < 0 ? 1.0 : 0.0; });
    const Prefix nans = nanCounts(x);
    return windowed(
        a[0], a[1], true,
        [&](Sz from, Sz i) {
            if (nans.sum(from, i) > 0)
                return kNaN;
            if (zeros.sum(from, i) > 0)
                return 0.0;
            const double m = std::exp(logs.sum(from, i));
            return std::fmod(double(negatives.sum(from, i)), 2.0) != 0 ? -m : m;
        },
        firstValue(x));
}

Series last(const Args &a, const Bars &)
{
    const Sz size = a[0].v.size();
    const Prefix holds = trueCounts(a[0].v);
    const Index first = Index(firstValue(a[0].v));
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const double fa = countAt(a[1], i), fb = countAt(a[2], i);
        if (std::isnan(fa) || std::isnan(fb) || fa < 0 || fb < 0)
            continue;
        const Index from = fa == 0 ? first : Index(i) - Index(fa);
        const Index to = Index(i) - Index(fb);
        if (from < 0 || to < from)
            continue;
        out[i] = holds.sum(Sz(from), Sz(to)) == double(to - from + 1) ? 1 : 0;
    }
    return out;
}

} // namespace

// Windows and counts over the last N bars (N = 0 means every bar since the input's first
// value; windows are partial over the first bars). Each costs the same for any N.
std::span<const FunctionEntry> windowFunctions()
{
    static const FunctionEntry table[] = {

        // HHV(X,N) = highest X of the last N bars
        {"HHV", 2, 2, [](const Args &a, const Bars &) { return extreme(a, true); }, Causal::Yes},
        // LLV(X,N) = lowest X of the last N bars
        {"LLV", 2, 2, [](const Args &a, const Bars &) { return extreme(a, false); }, Causal::Yes},
        // HHVBARS(X,N) = bars since the highest X of the last N bars (its latest bar)
        {"HHVBARS", 2, 2, [](const Args &a, const Bars &) { return extremeBars(a, true); },
         Causal::Yes},
        // LLVBARS(X,N) = bars since the lowest X of the last N bars
        {"LLVBARS", 2, 2, [](const Args &a, const Bars &) { return extremeBars(a, false); },
         Causal::Yes},
        // SUM(X,N) = X summed over the last N bars, empty bars counting nothing
        {"SUM", 2, 2,
         [](const Args &a, const Bars &) {
             const WindowSums sums(a[0].v);
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) { return sums.sum(from, i); });
         },
         Causal::Yes},
        // COUNT(X,N) = bars of the last N where X holds
        {"COUNT", 2, 2,
         [](const Args &a, const Bars &) {
             return counted(a, true, [](double c, double) { return c < 0 ? kNaN : c; });
         },
         Causal::Yes, false,
         // COUNT(X,0) on a tail: on from its count before (see tailRule)
         [](const Args &a, const TailSeed &seed) {
             Series out(a[0].v.size());
             double n = std::isnan(seed.previous) ? 0.0 : seed.previous;
             for (Sz i = 0; i < out.size(); ++i)
                 out[i] = n += isTrue(a[0].v[i]) ? 1.0 : 0.0;
             return out;
         }},
        // EVERY(X,N) = X held on each of the last N bars (0 before N bars exist)
        {"EVERY", 2, 2,
         [](const Args &a, const Bars &) {
             return counted(
                 a, false, [](double c, double len) { return c >= 0 && c == len ? 1.0 : 0.0; },
                 firstValue(a[0].v));
         },
         Causal::Yes},
        // EXIST(X,N) = X held on one of the last N bars
        {"EXIST", 2, 2,
         [](const Args &a, const Bars &) {
             return counted(a, true, [](double c, double) {
                 return c < 0 ? kNaN : c > 0 ? 1.0 : 0.0;
             });
         },
         Causal::Yes},
        // LAST(X,A,B) = X held from A bars ago to B bars ago (A = 0: from X's first value).
        // It looks back only: a negative A or B reads no bar, and the bar has no value.
        {"LAST", 3, 3, last, Causal::Yes},
        // SUMBARS(X,A) = bars back until X summed from here reaches A
        {"SUMBARS", 2, 2, sumBars, Causal::Yes},
        // MULAR(X,N) = X multiplied over the last N bars (N = 0: every bar so far), through
        // sums of logarithms, zeros and signs so that any N costs the same
        {"MULAR", 2, 2, mular, Causal::Yes},

    };
    return table;
}

} // namespace morvane::formula
