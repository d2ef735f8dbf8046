#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// EMA(X,N) = (2·X + (N−1)·previous)/(N+1)
Series ema(const Args &a, const Bars &)
{
    return recursive(a[0].v, [&](double prev, double x, Sz i) {
        const double n = a[1].v[i];
        return (2 * x + (n - 1) * prev) / (n + 1);
    });
}

} // namespace

// Moving averages, simple and recursive.
std::span<const FunctionEntry> averageFunctions()
{
    static const FunctionEntry table[] = {

        // MA(X,N) = (X + X₋₁ + … + X₋ₙ₊₁)/N, empty for the first N−1 bars
        {"MA", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
                 double s = 0;
                 for (Sz k = from; k <= i; ++k)
                     s += a[0].v[k];
                 return s / double(i - from + 1);
             });
         }},
        {"EMA", 2, 2, ema},
        {"EXPMA", 2, 2, ema},
        // SMA(X,N,M) = (M·X + (N−M)·previous)/N
        {"SMA", 3, 3,
         [](const Args &a, const Bars &) {
             return recursive(a[0].v, [&](double prev, double x, Sz i) {
                 const double n = a[1].v[i], m = a[2].v[i];
                 return n != 0 ? (m * x + (n - m) * prev) / n : 0.0;
             });
         }},
        // MEMA(X,N) = SMA(X,N,1)
        {"MEMA", 2, 2,
         [](const Args &a, const Bars &) {
             return recursive(a[0].v, [&](double prev, double x, Sz i) {
                 const double n = a[1].v[i];
                 return n != 0 ? (x + (n - 1) * prev) / n : 0.0;
             });
         }},
        // DMA(X,A) = A·X + (1−A)·previous, A per bar
        {"DMA", 2, 2,
         [](const Args &a, const Bars &) {
             return recursive(a[0].v, [&](double prev, double x, Sz i) {
                 const double w = a[1].v[i];
                 return w * x + (1 - w) * prev;
             });
         }},
        // AMA(X,A) = previous + A·(X − previous), starting at X (A the adaptive factor, < 1)
        {"AMA", 2, 2,
         [](const Args &a, const Bars &) {
             return recursive(a[0].v, [&](double prev, double x, Sz i) {
                 return prev + a[1].v[i] * (x - prev);
             });
         }},
        // TMA(X,A,B) = A·previous + B·X, starting at B·X
        {"TMA", 3, 3,
         [](const Args &a, const Bars &) {
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
         }},
        // WMA(X,N) = (1·X₋ₙ₊₁ + 2·X₋ₙ₊₂ + … + N·X)/(1+2+…+N)
        {"WMA", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
                 double s = 0, w = 0;
                 for (Sz k = from; k <= i; ++k) {
                     const double weight = double(k - from + 1);
                     s += weight * a[0].v[k];
                     w += weight;
                 }
                 return s / w;
             });
         }},
        // XMA(X,N) = MA centred on the bar (N/2 bars each side); near the newest bar the
        // window shrinks to the bars there are, so it is redrawn as bars arrive
        {"XMA", 2, 2,
         [](const Args &a, const Bars &) {
             const Sz size = a[0].v.size();
             Series out = empty(size);
             for (Sz i = 0; i < size; ++i) {
                 const double n = countAt(a[1], i);
                 if (std::isnan(n) || n < 1)
                     continue;
                 const Index half = Index(n) / 2;
                 const Index from = std::max<Index>(0, Index(i) - half);
                 const Index to = std::min<Index>(Index(size) - 1, Index(i) + half);
                 double s = 0;
                 for (Index k = from; k <= to; ++k)
                     s += a[0].v[Sz(k)];
                 out[i] = s / double(to - from + 1);
             }
             return out;
         }},

    };
    return table;
}

} // namespace morvane::formula
