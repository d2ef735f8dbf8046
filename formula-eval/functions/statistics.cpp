#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// AVEDEV over windows that only move forward: values kept by rank in Fenwick trees of
// counts and sums, so each bar costs log n whatever N is.
class RankedWindow
{
public:
    explicit RankedWindow(const Series &x) : m_sorted(x)
    {
        std::sort(m_sorted.begin(), m_sorted.end());
        m_sorted.erase(std::unique(m_sorted.begin(), m_sorted.end()), m_sorted.end());
        m_count.assign(m_sorted.size() + 1, 0.0L);
        m_sum.assign(m_sorted.size() + 1, 0.0L);
    }
    void add(double v, long double sign)
    {
        const Sz r =
            Sz(std::lower_bound(m_sorted.begin(), m_sorted.end(), v) - m_sorted.begin()) + 1;
        for (Sz k = r; k < m_count.size(); k += k & (~k + 1)) {
            m_count[k] += sign;
            m_sum[k] += sign * v;
        }
        m_total += sign * v;
        m_n += sign;
    }
    // Mean absolute deviation from the mean of what is in the window.
    double meanDeviation() const
    {
        const long double mean = m_total / m_n;
        const Sz r =
            Sz(std::upper_bound(m_sorted.begin(), m_sorted.end(), double(mean)) - m_sorted.begin());
        long double below = 0, belowSum = 0;
        for (Sz k = r; k > 0; k -= k & (~k + 1)) {
            below += m_count[k];
            belowSum += m_sum[k];
        }
        const long double dev =
            mean * below - belowSum + (m_total - belowSum) - mean * (m_n - below);
        return double(dev / m_n);
    }

private:
    Series m_sorted;
    std::vector<long double> m_count, m_sum;
    long double m_total = 0, m_n = 0;
};

Series avedev(const Args &a)
{
    const Series &x = a[0].v;
    const Sz size = x.size();
    const std::vector<Index> starts = windowStarts(a[1], size, false, firstValue(x));
    const Prefix nans = nanCounts(x);
    Series out = empty(size);
    bool forward = true;
    for (Sz i = 1; i < size && forward; ++i)
        forward = starts[i] < 0 || starts[i - 1] < 0 || starts[i] >= starts[i - 1];
    if (!forward) { // windows that jump back and forth: each summed on its own
        return windowed(
            a[0], a[1], false,
            [&](Sz from, Sz i) {
                if (nans.sum(from, i) > 0)
                    return kNaN;
                long double mean = 0, dev = 0;
                for (Sz k = from; k <= i; ++k)
                    mean += x[k];
                mean /= static_cast<long double>(i - from + 1);
                for (Sz k = from; k <= i; ++k)
                    dev += std::abs(x[k] - mean);
                return double(dev / static_cast<long double>(i - from + 1));
            },
            firstValue(x));
    }
    Series finite(x);
    std::replace_if(
        finite.begin(), finite.end(), [](double v) { return std::isnan(v); }, 0.0);
    RankedWindow window(finite);
    Sz lo = 0, hi = 0; // the window holds bars [lo, hi)
    for (Sz i = 0; i < size; ++i) {
        if (starts[i] < 0)
            continue;
        for (; hi <= i; ++hi)
            window.add(finite[hi], 1);
        for (; lo < Sz(starts[i]); ++lo)
            window.add(finite[lo], -1);
        if (nans.sum(lo, i) == 0)
            out[i] = window.meanDeviation();
    }
    return out;
}

Series stat(const Args &a, int kind)
{
    const Series &x = a[0].v;
    const WindowSums sums(x, WindowSums::Squares);
    EmptyBars gaps(x);
    return windowed(
        a[0], a[1], false,
        [&](Sz from, Sz i) {
            const Sz n = i - from + 1;
            if (gaps.any(from, i) || sums.infinite(from, i))
                return kNaN;
            switch (kind) {
            case 0:
                return n > 1 ? std::sqrt(sums.devsq(from, i, n - 1)) : kNaN; // STD: sample
            case 1:
                return std::sqrt(sums.devsq(from, i, n)); // STDP: population
            case 2:
                return n > 1 ? sums.devsq(from, i, n - 1) : kNaN; // VAR: sample
            case 3:
                return sums.devsq(from, i, n); // VARP
            default:
                return sums.devsq(from, i, 1); // DEVSQ
            }
        },
        firstValue(x));
}

// SLOPE(X,N) = least-squares slope of X over the last N bars; FORCAST(X,N) = that
// line's value on this bar. From running double-double sums of X and bar·X: any N costs the
// same, and a flat window has slope 0 exactly.
Series regression(const Args &a, bool forecast)
{
    const Series &x = a[0].v;
    const WindowSums sums(x, unsigned(WindowSums::Weighted) | WindowSums::Centred);
    EmptyBars gaps(x);
    return windowed(
        a[0], a[1], false,
        [&](Sz from, Sz i) {
            const Sz len = i - from + 1;
            if (gaps.any(from, i) || len < 2 || sums.infinite(from, i))
                return kNaN;
            if (sums.flat(from, i))
                return forecast ? x[i] : 0.0;
            const double n = double(len);
            // Positions 0…n−1 within the window, values less the pivot.
            const double sx = n * (n - 1) / 2, sxx = (n - 1) * n * (2 * n - 1) / 6;
            const DD sy = sums.centredSum(from, i);
            const DD sxy = ddSub(sums.centredWeightedSum(from, i), ddMul(sy, {double(from), 0}));
            const DD num = ddSub(ddMul(sxy, {n, 0}), ddMul(sy, {sx, 0}));
            const double slope = ddValue(num) / (n * sxx - sx * sx);
            if (!forecast)
                return slope;
            // The line at position n − 1: mean + slope·(n − 1 − mean position).
            const DD mean = ddDiv(sy, n);
            return ddValue(ddAdd(ddAdd(mean, {slope * ((n - 1) / 2), 0}), {sums.pivot(), 0}));
        },
        firstValue(x));
}

// COVAR(X,Y,N) = covariance of X and Y over the last N bars (chosen: the population form,
// divided by N); RELATE(X,Y,N) = their correlation coefficient, in [−1, 1], empty where a
// window of either is flat. Double-double running sums from pivots: no drift with N.
Series covariance(const Args &a, bool correlate)
{
    const Series &x = a[0].v, &y = a[1].v;
    const Sz size = x.size();
    const WindowSums xs(x, WindowSums::Runs), ys(y, WindowSums::Runs);
    const double px = xs.pivot(), py = ys.pivot();
    std::vector<DD> sx(size + 1), sy(size + 1), sxy(size + 1), sxx(size + 1), syy(size + 1);
    Sz first = size;
    for (Sz k = 0; k < size; ++k) {
        const bool both = !std::isnan(x[k]) && !std::isnan(y[k]);
        if (both && first == size)
            first = k;
        const DD dx = both ? twoSum(x[k], -px) : DD{}, dy = both ? twoSum(y[k], -py) : DD{};
        sx[k + 1] = ddAdd(sx[k], dx);
        sy[k + 1] = ddAdd(sy[k], dy);
        sxy[k + 1] = ddAdd(sxy[k], ddMul(dx, dy));
        sxx[k + 1] = ddAdd(sxx[k], ddMul(dx, dx));
        syy[k + 1] = ddAdd(syy[k], ddMul(dy, dy));
    }
    const Prefix nans(size, [&](Sz k) { return std::isnan(x[k]) || std::isnan(y[k]) ? 1.0 : 0.0; });
    auto window = [](const std::vector<DD> &s, Sz from, Sz i) { return ddSub(s[i + 1], s[from]); };
    return windowed(
        a[0], a[2], false,
        [&](Sz from, Sz i) {
            if (nans.sum(from, i) > 0 || xs.infinite(from, i) || ys.infinite(from, i))
                return kNaN;
            const double len = double(i - from + 1);
            const bool flatX = xs.flat(from, i), flatY = ys.flat(from, i);
            if (correlate && (flatX || flatY))
                return kNaN;
            if (flatX || flatY)
                return 0.0;
            const DD mx = window(sx, from, i), my = window(sy, from, i);
            // Σ(x − x̄)(y − ȳ) = Σxy − Σx·Σy/n, and the same for x with x, y with y
            const double cov = ddValue(ddSub(window(sxy, from, i), ddDiv(ddMul(mx, my), len)));
            if (!correlate)
                return cov / len;
            const double vx = ddValue(ddSub(window(sxx, from, i), ddDiv(ddMul(mx, mx), len)));
            const double vy = ddValue(ddSub(window(syy, from, i), ddDiv(ddMul(my, my), len)));
            if (!(vx > 0 && vy > 0))
                return kNaN;
            return std::clamp(cov / std::sqrt(vx) / std::sqrt(vy), -1.0, 1.0);
        },
        first);
}

} // namespace

// Statistics over the last N bars, empty before N bars exist; the parabolic stop.
std::span<const FunctionEntry> statisticsFunctions()
{
    static const FunctionEntry table[] = {
        {"STD", 2, 2, [](const Args &a, const Bars &) { return stat(a, 0); }, Causal::Yes},
        {"STDP", 2, 2, [](const Args &a, const Bars &) { return stat(a, 1); }, Causal::Yes},
        {"VAR", 2, 2, [](const Args &a, const Bars &) { return stat(a, 2); }, Causal::Yes},
        {"VARP", 2, 2, [](const Args &a, const Bars &) { return stat(a, 3); }, Causal::Yes},
        {"AVEDEV", 2, 2, [](const Args &a, const Bars &) { return avedev(a); }},
        {"DEVSQ", 2, 2, [](const Args &a, const Bars &) { return stat(a, 5); }, Causal::Yes},
        {"COVAR", 3, 3, [](const Args &a, const Bars &) { return covariance(a, false); },
         Causal::Yes},
        {"RELATE", 3, 3, [](const Args &a, const Bars &) { return covariance(a, true); },
         Causal::Yes},
        {"SLOPE", 2, 2, [](const Args &a, const Bars &) { return regression(a, false); },
         Causal::Yes},
        {"FORCAST", 2, 2, [](const Args &a, const Bars &) { return regression(a, true); },
         Causal::Yes},

        // SAR(N,S,M) = Wilder's parabolic stop: the acceleration starts at S% and grows by
        // S% at each new extreme up to M%; it starts after N bars, rising when the close
        // rose over them, from the N-bar low (high when falling). Wilder's rule: the stop
        // never enters the range of the two bars before, so a rising stop stays at or below
        // their lows, a falling one at or above their highs.
        {"SAR", 3, 3,
         [](const Args &a, const Bars &b) {
             const Sz size = b.close.size();
             Series out = empty(size);
             if (size == 0)
                 return out;
             const double n = countAt(a[0], size - 1);
             if (std::isnan(n) || n < 1 || double(size) < n)
                 return out;
             const double step = a[1].v[size - 1] / 100, cap = a[2].v[size - 1] / 100;
             const Sz first = Sz(n) - 1;
             bool rising = b.close[first] >= b.close[0];
             double sar =
                 rising ? *std::min_element(b.low.begin(), b.low.begin() + Index(first) + 1)
                        : *std::max_element(b.high.begin(), b.high.begin() + Index(first) + 1);
             double extreme = rising ? b.high[first] : b.low[first];
             double af = step;
             out[first] = sar;
             for (Sz i = first + 1; i < size; ++i) {
                 sar += af * (extreme - sar);
                 const Sz back = i >= 2 ? i - 2 : i - 1;
                 if (rising)
                     sar = std::min({sar, b.low[i - 1], b.low[back]});
                 else
                     sar = std::max({sar, b.high[i - 1], b.high[back]});
                 if (rising ? b.low[i] < sar : b.high[i] > sar) { // the stop is hit: turn
                     rising = !rising;
                     sar = extreme;
                     extreme = rising ? b.high[i] : b.low[i];
                     af = step;
                 } else if (rising ? b.high[i] > extreme : b.low[i] < extreme) {
                     extreme = rising ? b.high[i] : b.low[i];
                     af = std::min(cap, af + step);
                 }
                 out[i] = sar;
             }
             return out;
         },
         Causal::FixedArgs},

    };
    return table;
}

} // namespace morvane::formula
