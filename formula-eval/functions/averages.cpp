#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

bool valueAt(const Args &a, Sz k, Sz i)
{
    return !std::isnan(a[k].v[i]);
}

// EMA(X,N) = (2·X + (N−1)·previous)/(N+1), from X's first value
Series ema(const Args &a, double seed)
{
    return recursiveWhen(
        a[0].v, [&](Sz i) { return valueAt(a, 1, i); },
        [&](double prev, double x, Sz i) {
            const double n = a[1].v[i];
            return (2 * x + (n - 1) * prev) / (n + 1);
        },
        seed);
}

// SMA(X,N,M) = (M·X + (N−M)·previous)/N
Series sma(const Args &a, double seed)
{
    return recursiveWhen(
        a[0].v, [&](Sz i) { return valueAt(a, 1, i) && valueAt(a, 2, i); },
        [&](double prev, double x, Sz i) {
            const double n = a[1].v[i], m = a[2].v[i];
            return n != 0 ? (m * x + (n - m) * prev) / n : 0.0;
        },
        seed);
}

// MEMA(X,N) = SMA(X,N,1)
Series mema(const Args &a, double seed)
{
    return recursiveWhen(
        a[0].v, [&](Sz i) { return valueAt(a, 1, i); },
        [&](double prev, double x, Sz i) {
            const double n = a[1].v[i];
            return n != 0 ? (x + (n - 1) * prev) / n : 0.0;
        },
        seed);
}

// DMA(X,A) = A·X + (1−A)·previous, A per bar. It starts at X on the first bar where X and A
// both have values; a bar where either is empty shows nothing and does not restart it.
Series dma(const Args &a, double seed)
{
    return recursiveWhen(
        a[0].v, [&](Sz i) { return valueAt(a, 1, i); },
        [&](double prev, double x, Sz i) {
            const double w = a[1].v[i];
            return w * x + (1 - w) * prev;
        },
        seed);
}

// AMA(X,A) = previous + A·(X − previous), starting at X (A the adaptive factor, < 1)
Series ama(const Args &a, double seed)
{
    return recursiveWhen(
        a[0].v, [&](Sz i) { return valueAt(a, 1, i); },
        [&](double prev, double x, Sz i) { return prev + a[1].v[i] * (x - prev); }, seed);
}

// A recursion's entry: from nothing on the whole bars, from its latest value on a tail.
template <Series (*F)(const Args &, double)> Series whole(const Args &a, const Bars &)
{
    return F(a, kNaN);
}
template <Series (*F)(const Args &, double)> Series resumed(const Args &a, const TailSeed &seed)
{
    return F(a, seed.lastShown);
}

Series expmema(const Args &a, const Bars &)
{
    const Series &x = a[0].v;
    const Sz size = x.size();
    const WindowSums sums(x);
    Series out = empty(size);
    double prev = kNaN;
    Sz run = 0; // bars with a value in a row
    for (Sz i = 0; i < size; ++i) {
        const double n = countAt(a[1], i);
        if (std::isnan(x[i]) || std::isnan(n) || n < 1) {
            if (std::isnan(prev))
                run = 0;
            continue;
        }
        if (std::isnan(prev)) {
            if (double(++run) < n)
                continue;
            prev = sums.mean(i + 1 - Sz(n), i);
        } else {
            prev = (2 * x[i] + (n - 1) * prev) / (n + 1);
        }
        out[i] = prev;
    }
    return out;
}

Series xma(const Args &a, const Bars &)
{
    const Sz size = a[0].v.size();
    const WindowSums sums(a[0].v);
    const Prefix nans = nanCounts(a[0].v);
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const double n = countAt(a[1], i);
        if (std::isnan(n) || n < 1)
            continue;
        const Index half = Index(n) / 2;
        const Index from = std::max<Index>(0, Index(i) - std::min<Index>(half, Index(i)));
        const Index to = Index(i) + std::min<Index>(half, Index(size) - 1 - Index(i));
        if (nans.sum(Sz(from), Sz(to)) > 0)
            continue;
        out[i] = sums.mean(Sz(from), Sz(to));
    }
    return out;
}

Series tma(const Args &a, const Bars &)
{
    Series out = empty(a[0].v.size());
    double prev = kNaN;
    for (Sz i = 0; i < out.size(); ++i) {
        const double x = a[0].v[i];
        if (std::isnan(x))
            continue;
        prev = std::isnan(prev) ? a[2].v[i] * x : a[1].v[i] * prev + a[2].v[i] * x;
        out[i] = prev;
    }
    return out;
}

} // namespace

// Moving averages, simple and recursive.
std::span<const FunctionEntry> averageFunctions()
{
    static const FunctionEntry table[] = {

        // MA(X,N) = (X + X₋₁ + … + X₋ₙ₊₁)/N, empty for the first N−1 bars
        {"MA", 2, 2,
         [](const Args &a, const Bars &) {
             const WindowSums sums(a[0].v);
             EmptyBars gaps(a[0].v);
             return windowed(
                 a[0], a[1], false,
                 [&](Sz from, Sz i) { return gaps.any(from, i) ? kNaN : sums.mean(from, i); },
                 firstValue(a[0].v));
         },
         Causal::Yes},
        {"EMA", 2, 2, whole<ema>, Causal::Yes, false, resumed<ema>},
        {"EXPMA", 2, 2, whole<ema>, Causal::Yes, false, resumed<ema>},
        // EXPMEMA(X,N) = EMA seeded with MA(X,N) on the N-th bar of X instead of X's first value,
        // empty before it (chosen: N as it stands on that bar)
        {"EXPMEMA", 2, 2, expmema, Causal::Yes},
        {"SMA", 3, 3, whole<sma>, Causal::Yes, false, resumed<sma>},
        {"MEMA", 2, 2, whole<mema>, Causal::Yes, false, resumed<mema>},
        {"DMA", 2, 2, whole<dma>, Causal::Yes, false, resumed<dma>},
        {"AMA", 2, 2, whole<ama>, Causal::Yes, false, resumed<ama>},
        // TMA(X,A,B) = A·previous + B·X, starting at B·X
        {"TMA", 3, 3, tma, Causal::Yes},
        // WMA(X,N) = (1·X₋ₙ₊₁ + 2·X₋ₙ₊₂ + … + N·X)/(1+2+…+N)
        {"WMA", 2, 2,
         [](const Args &a, const Bars &) {
             const WindowSums sums(a[0].v, WindowSums::Weighted);
             EmptyBars gaps(a[0].v);
             return windowed(
                 a[0], a[1], false,
                 [&](Sz from, Sz i) {
                     return gaps.any(from, i) ? kNaN : sums.weightedMean(from, i);
                 },
                 firstValue(a[0].v));
         },
         Causal::Yes},
        // XMA(X,N) = MA centred on the bar (N/2 bars each side); near the newest bar the
        // window shrinks to the bars there are, so it is redrawn as bars arrive
        {"XMA", 2, 2, xma},

    };
    return table;
}

} // namespace morvane::formula
