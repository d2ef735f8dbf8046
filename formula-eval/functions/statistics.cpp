#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

Series stat(const Args &a, int kind)
{
    return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
        const double n = double(i - from + 1);
        if (anyNaN(a[0].v, from, i))
            return kNaN;
        double mean = 0;
        for (Sz k = from; k <= i; ++k)
            mean += a[0].v[k];
        mean /= n;
        double sq = 0, dev = 0;
        for (Sz k = from; k <= i; ++k) {
            sq += (a[0].v[k] - mean) * (a[0].v[k] - mean);
            dev += std::abs(a[0].v[k] - mean);
        }
        switch (kind) {
        case 0:
            return n > 1 ? std::sqrt(sq / (n - 1)) : kNaN; // STD: sample
        case 1:
            return std::sqrt(sq / n); // STDP: population
        case 2:
            return n > 1 ? sq / (n - 1) : kNaN; // VAR: sample
        case 3:
            return sq / n; // VARP
        case 4:
            return dev / n; // AVEDEV
        default:
            return sq; // DEVSQ
        }
    });
}

// SLOPE(X,N) = least-squares slope of X over the last N bars; FORCAST(X,N) = that
// line's value on this bar
Series regression(const Args &a, bool forecast)
{
    return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
        const double n = double(i - from + 1);
        if (n < 2 || anyNaN(a[0].v, from, i))
            return kNaN;
        double sx = 0, sy = 0, sxx = 0, sxy = 0;
        for (Sz k = from; k <= i; ++k) {
            const double x = double(k - from), y = a[0].v[k];
            sx += x;
            sy += y;
            sxx += x * x;
            sxy += x * y;
        }
        const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
        return forecast ? (sy - slope * sx) / n + slope * (n - 1) : slope;
    });
}

} // namespace

// Statistics over the last N bars, empty before N bars exist; the parabolic stop.
std::span<const FunctionEntry> statisticsFunctions()
{
    static const FunctionEntry table[] = {
        {"STD", 2, 2, [](const Args &a, const Bars &) { return stat(a, 0); }},
        {"STDP", 2, 2, [](const Args &a, const Bars &) { return stat(a, 1); }},
        {"VAR", 2, 2, [](const Args &a, const Bars &) { return stat(a, 2); }},
        {"VARP", 2, 2, [](const Args &a, const Bars &) { return stat(a, 3); }},
        {"AVEDEV", 2, 2, [](const Args &a, const Bars &) { return stat(a, 4); }},
        {"DEVSQ", 2, 2, [](const Args &a, const Bars &) { return stat(a, 5); }},
        {"SLOPE", 2, 2, [](const Args &a, const Bars &) { return regression(a, false); }},
        {"FORCAST", 2, 2, [](const Args &a, const Bars &) { return regression(a, true); }},

        // SAR(N,S,M) = Wilder's parabolic stop: the acceleration starts at S% and grows by
        // S% at each new extreme up to M%; it starts after N bars, rising when the close
        // rose over them, from the N-bar low (high when falling)
        {"SAR", 3, 3,
         [](const Args &a, const Bars &b) {
             const Sz size = b.close.size();
             Series out = empty(size);
             const double n = countAt(a[0], size ? size - 1 : 0);
             if (size == 0 || std::isnan(n) || n < 1 || double(size) < n)
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
         }},

    };
    return table;
}

} // namespace morvane::formula
