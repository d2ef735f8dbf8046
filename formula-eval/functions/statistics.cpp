#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// The first finite value x has, subtracted before squaring: sums of squares of prices near 10
// then stay small, and a constant window gives exactly 0.
double pivot(const Series &x)
{
    const auto it = std::find_if(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
    return it == x.end() ? 0.0 : *it;
}

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
    const std::vector<Index> starts = windowStarts(a[1], size, false);
    const Prefix nans = nanCounts(x);
    Series out = empty(size);
    bool forward = true;
    for (Sz i = 1; i < size && forward; ++i)
        forward = starts[i] < 0 || starts[i - 1] < 0 || starts[i] >= starts[i - 1];
    if (!forward) { // windows that jump back and forth: each summed on its own
        return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
            if (nans.sum(from, i) > 0)
                return kNaN;
            long double mean = 0, dev = 0;
            for (Sz k = from; k <= i; ++k)
                mean += x[k];
            mean /= static_cast<long double>(i - from + 1);
            for (Sz k = from; k <= i; ++k)
                dev += std::abs(x[k] - mean);
            return double(dev / static_cast<long double>(i - from + 1));
        });
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
    const double p = pivot(x);
    EmptyBars gaps(x);
    const Prefix sums(x.size(), [&](Sz k) { return std::isnan(x[k]) ? 0.0 : x[k] - p; });
    const Prefix squares(x.size(),
                         [&](Sz k) { return std::isnan(x[k]) ? 0.0 : (x[k] - p) * (x[k] - p); });
    return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
        if (gaps.any(from, i))
            return kNaN;
        const auto n = static_cast<long double>(i - from + 1);
        const long double s = sums.sum(from, i);
        const long double raw = squares.sum(from, i) - s * s / n;
        if (!std::isfinite(raw)) // an infinity in the window
            return kNaN;
        const long double sq = std::max(0.0L, raw);
        switch (kind) {
        case 0:
            return n > 1 ? double(std::sqrt(sq / (n - 1))) : kNaN; // STD: sample
        case 1:
            return double(std::sqrt(sq / n)); // STDP: population
        case 2:
            return n > 1 ? double(sq / (n - 1)) : kNaN; // VAR: sample
        case 3:
            return double(sq / n); // VARP
        default:
            return double(sq); // DEVSQ
        }
    });
}

// SLOPE(X,N) = least-squares slope of X over the last N bars; FORCAST(X,N) = that
// line's value on this bar. From running sums of X and bar·X: any N costs the same.
Series regression(const Args &a, bool forecast)
{
    const Series &x = a[0].v;
    const double p = pivot(x);
    EmptyBars gaps(x);
    const Prefix sums(x.size(), [&](Sz k) { return std::isnan(x[k]) ? 0.0 : x[k] - p; });
    const Prefix weighted(x.size(),
                          [&](Sz k) { return std::isnan(x[k]) ? 0.0 : double(k) * (x[k] - p); });
    return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
        const auto n = static_cast<long double>(i - from + 1);
        if (gaps.any(from, i) || n < 2)
            return kNaN;
        // Positions 0…n−1 within the window.
        const long double sx = n * (n - 1) / 2, sxx = (n - 1) * n * (2 * n - 1) / 6;
        const long double sy = sums.sum(from, i);
        const long double sxy = weighted.sum(from, i) - static_cast<long double>(from) * sy;
        const long double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        return forecast ? double((sy - slope * sx) / n + slope * (n - 1)) + p : double(slope);
    });
}

// COVAR(X,Y,N) = covariance of X and Y over the last N bars (chosen: the population form,
// divided by N); RELATE(X,Y,N) = their correlation.
Series covariance(const Args &a, bool correlate)
{
    const Series &x = a[0].v, &y = a[1].v;
    const double px = pivot(x), py = pivot(y);
    const Sz size = x.size();
    auto dx = [&](Sz k) { return std::isnan(x[k]) || std::isnan(y[k]) ? 0.0 : x[k] - px; };
    auto dy = [&](Sz k) { return std::isnan(x[k]) || std::isnan(y[k]) ? 0.0 : y[k] - py; };
    const Prefix nans(size, [&](Sz k) { return std::isnan(x[k]) || std::isnan(y[k]) ? 1.0 : 0.0; });
    const Prefix sx(size, dx), sy(size, dy);
    const Prefix sxy(size, [&](Sz k) { return dx(k) * dy(k); });
    const Prefix sxx(size, [&](Sz k) { return dx(k) * dx(k); });
    const Prefix syy(size, [&](Sz k) { return dy(k) * dy(k); });
    return windowed(a[0], a[2], false, [&](Sz from, Sz i) {
        if (nans.sum(from, i) > 0)
            return kNaN;
        const auto len = static_cast<long double>(i - from + 1);
        const long double mx = sx.sum(from, i) / len, my = sy.sum(from, i) / len;
        const long double cov = sxy.sum(from, i) / len - mx * my;
        if (!correlate)
            return double(cov);
        const long double vx = sxx.sum(from, i) / len - mx * mx;
        const long double vy = syy.sum(from, i) / len - my * my;
        return vx > 0 && vy > 0 ? double(cov / std::sqrt(vx * vy)) : kNaN;
    });
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
