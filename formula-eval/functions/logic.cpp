#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// Whether cond holds on every bar of [i − n + 1, i], for n from count argument at bar i (n
// bars must exist, from bar `earliest` on); one running count serves any N.
template <typename Cond> Series holdsOver(Sz size, const Value &count, Sz earliest, Cond cond)
{
    const Prefix holds(size, [&](Sz k) { return k >= earliest && cond(k) ? 1.0 : 0.0; });
    Series out(size, 0.0);
    for (Sz i = 0; i < size; ++i) {
        const double n = countAt(count, i);
        if (std::isnan(n) || n < 1 || double(i) + 1 < n + double(earliest))
            continue;
        out[i] = holds.sum(i + 1 - Sz(n), i) == n ? 1 : 0;
    }
    return out;
}

// UPNDAY(X,M) = X rose on each of the last M bars; DOWNNDAY: fell
Series nday(const Args &a, int sign)
{
    return holdsOver(a[0].v.size(), a[1], 1,
                     [&](Sz k) { return sign * (a[0].v[k] - a[0].v[k - 1]) > 0; });
}

// IF(C,A,B) = A where C holds, else B
Series iff(const Args &a, const Bars &)
{
    return elementwise(a, [&](Sz i) {
        const double c = arg(a, 0, i);
        return std::isnan(c) ? kNaN : c != 0 ? arg(a, 1, i) : arg(a, 2, i);
    });
}

} // namespace

// Conditions, crossings and comparisons.
std::span<const FunctionEntry> logicFunctions()
{
    static const FunctionEntry table[] = {
        // CROSS(A,B) = A went from at or below B to above it on this bar
        {"CROSS", 2, 2,
         [](const Args &a, const Bars &) {
             Series out(a[0].v.size(), 0.0);
             for (Sz i = 1; i < out.size(); ++i)
                 out[i] = arg(a, 0, i) > arg(a, 1, i) && arg(a, 0, i - 1) <= arg(a, 1, i - 1) ? 1.0
                                                                                              : 0.0;
             return out;
         },
         Causal::Yes},
        // LONGCROSS(A,B,N) = A below B for the N bars before, above it now
        {"LONGCROSS", 3, 3,
         [](const Args &a, const Bars &) {
             const Sz size = a[0].v.size();
             const Prefix below(size,
                                [&](Sz k) { return arg(a, 0, k) < arg(a, 1, k) ? 1.0 : 0.0; });
             Series out(size, 0.0);
             for (Sz i = 1; i < size; ++i) {
                 const double n = countAt(a[2], i);
                 if (std::isnan(n) || n < 0 || double(i) < n || !(arg(a, 0, i) > arg(a, 1, i)))
                     continue;
                 out[i] = n == 0 || below.sum(i - Sz(n), i - 1) == n ? 1 : 0;
             }
             return out;
         },
         Causal::Yes},
        {"UPNDAY", 2, 2, [](const Args &a, const Bars &) { return nday(a, 1); }, Causal::Yes},
        {"DOWNNDAY", 2, 2, [](const Args &a, const Bars &) { return nday(a, -1); }, Causal::Yes},
        // NDAY(X,Y,N) = X above Y on each of the last N bars
        {"NDAY", 3, 3,
         [](const Args &a, const Bars &) {
             return holdsOver(a[0].v.size(), a[2], 0,
                              [&](Sz k) { return arg(a, 0, k) > arg(a, 1, k); });
         },
         Causal::Yes},
        {"IF", 3, 3, iff, Causal::Yes, true},
        {"IFF", 3, 3, iff, Causal::Yes, true},
        {"IIF", 3, 3, iff, Causal::Yes, true},
        // IFN(C,A,B) = IF(C,B,A): "若X不为0则返回B,否则返回A"
        {"IFN", 3, 3,
         [](const Args &a, const Bars &) {
             return elementwise(a, [&](Sz i) {
                 const double c = arg(a, 0, i);
                 return std::isnan(c) ? kNaN : c != 0 ? arg(a, 2, i) : arg(a, 1, i);
             });
         },
         Causal::Yes, true},
        // NOT(X) = 1 where X is 0
        {"NOT", 1, 1,
         [](const Args &a, const Bars &) {
             return elementwise(a, [&](Sz i) {
                 const double x = arg(a, 0, i);
                 return std::isnan(x) ? kNaN : x == 0 ? 1.0 : 0.0;
             });
         },
         Causal::Yes, true},
        // BETWEEN(A,B,C) = A lies between B and C, either way round, ends included
        {"BETWEEN", 3, 3,
         [](const Args &a, const Bars &) {
             return elementwise(a, [&](Sz i) {
                 const double x = arg(a, 0, i), lo = std::min(arg(a, 1, i), arg(a, 2, i)),
                              hi = std::max(arg(a, 1, i), arg(a, 2, i));
                 return std::isnan(x + lo + hi) ? kNaN : x >= lo && x <= hi ? 1.0 : 0.0;
             });
         },
         Causal::Yes, true},
        // RANGE(A,B,C) = B < A < C
        {"RANGE", 3, 3,
         [](const Args &a, const Bars &) {
             return elementwise(a, [&](Sz i) {
                 const double x = arg(a, 0, i), lo = arg(a, 1, i), hi = arg(a, 2, i);
                 return std::isnan(x + lo + hi) ? kNaN : x > lo && x < hi ? 1.0 : 0.0;
             });
         },
         Causal::Yes, true},

    };
    return table;
}

} // namespace morvane::formula
