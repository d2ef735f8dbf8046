#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// REF(X,A) = X A bars ago (A may vary per bar; a negative A reads later bars)
Series ref(const Args &a, const Bars &)
{
    const Sz size = a[0].v.size();
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const double k = countAt(a[1], i);
        const double j = double(i) - k;
        if (!std::isnan(j) && j >= 0 && j < double(size))
            out[i] = a[0].v[Sz(j)];
    }
    return out;
}

// REFX(X,A) = X A bars later
Series refx(const Args &a, const Bars &)
{
    const Sz size = a[0].v.size();
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const double j = double(i) + countAt(a[1], i);
        if (!std::isnan(j) && j >= 0 && j < double(size))
            out[i] = a[0].v[Sz(j)];
    }
    return out;
}

} // namespace

// Bars before and after: REF and its kin, bars since, the newest bar's value.
std::span<const FunctionEntry> referenceFunctions()
{
    static const FunctionEntry table[] = {
        {"REF", 2, 2, ref},
        // REFV(X,A) = REF without smoothing: same values on a chart
        {"REFV", 2, 2, ref},
        {"REFX", 2, 2, refx},
        // REFXV(X,A) = REFX, and where no later bar exists yet, the previous bar's value
        {"REFXV", 2, 2,
         [](const Args &a, const Bars &) {
             const Sz size = a[0].v.size();
             Series out = empty(size);
             for (Sz i = 0; i < size; ++i) {
                 const double j = double(i) + countAt(a[1], i);
                 if (!std::isnan(j) && j >= 0 && j < double(size))
                     out[i] = a[0].v[Sz(j)];
                 else if (i > 0)
                     out[i] = out[i - 1];
             }
             return out;
         }},
        // REFDATE(X,D) = X on the bar dated D (YYMMDD+1000000 for 2000+) on every bar
        {"REFDATE", 2, 2,
         [](const Args &a, const Bars &b) {
             const Sz size = a[0].v.size();
             double v = kNaN;
             for (Sz i = 0; i < size && size > 0; ++i)
                 if (dateNumber(b.dates[i]) == a[1].v[size - 1])
                     v = a[0].v[i];
             return Series(size, v);
         }},
        // BARSLAST(X) = bars since X last held (0 on a bar where it holds)
        {"BARSLAST", 1, 1,
         [](const Args &a, const Bars &) {
             Series out = empty(a[0].v.size());
             double last = kNaN;
             for (Sz i = 0; i < out.size(); ++i) {
                 if (isTrue(a[0].v[i]))
                     last = double(i);
                 out[i] = double(i) - last;
             }
             return out;
         }},
        // BARSLASTCOUNT(X) = bars in a row, up to this one, where X holds
        {"BARSLASTCOUNT", 1, 1,
         [](const Args &a, const Bars &) {
             Series out(a[0].v.size(), 0.0);
             for (Sz i = 0; i < out.size(); ++i)
                 out[i] = isTrue(a[0].v[i]) ? (i > 0 ? out[i - 1] : 0) + 1 : 0;
             return out;
         }},
        // BARSCOUNT(X) = bars since X first had a value, this one included
        {"BARSCOUNT", 1, 1,
         [](const Args &a, const Bars &) {
             Series out = empty(a[0].v.size());
             double first = kNaN;
             for (Sz i = 0; i < out.size(); ++i) {
                 if (std::isnan(first) && !std::isnan(a[0].v[i]))
                     first = double(i);
                 out[i] = double(i) - first + 1;
             }
             return out;
         }},
        // BARSSINCE(X) = bars since X first held
        {"BARSSINCE", 1, 1,
         [](const Args &a, const Bars &) {
             Series out = empty(a[0].v.size());
             double first = kNaN;
             for (Sz i = 0; i < out.size(); ++i) {
                 if (std::isnan(first) && isTrue(a[0].v[i]))
                     first = double(i);
                 out[i] = double(i) - first;
             }
             return out;
         }},
        // BARSNEXT(X) = bars until X next holds (0 on a bar where it holds)
        {"BARSNEXT", 1, 1,
         [](const Args &a, const Bars &) {
             Series out = empty(a[0].v.size());
             double next = kNaN;
             for (Sz i = out.size(); i-- > 0;) {
                 if (isTrue(a[0].v[i]))
                     next = double(i);
                 out[i] = next - double(i);
             }
             return out;
         }},
        // FILTER(X,N) = X where it holds, then 0 for the next N bars
        {"FILTER", 2, 2,
         [](const Args &a, const Bars &) {
             Series out(a[0].v.size(), 0.0);
             double blockedUntil = -1;
             for (Sz i = 0; i < out.size(); ++i) {
                 if (double(i) > blockedUntil && isTrue(a[0].v[i])) {
                     out[i] = 1;
                     blockedUntil = double(i) + countAt(a[1], i);
                 }
             }
             return out;
         }},
        // BACKSET(X,N) = 1 on this bar and the N−1 before it wherever X holds
        {"BACKSET", 2, 2,
         [](const Args &a, const Bars &) {
             Series out(a[0].v.size(), 0.0);
             for (Sz i = 0; i < out.size(); ++i) {
                 const double n = countAt(a[1], i);
                 if (!isTrue(a[0].v[i]) || std::isnan(n) || n < 1)
                     continue;
                 const Index from = std::max<Index>(0, Index(i) - Index(n) + 1);
                 for (Index k = from; k <= Index(i); ++k)
                     out[Sz(k)] = 1;
             }
             return out;
         }},

        // CONST(X) = X's value on the newest bar, on every bar
        {"CONST", 1, 1,
         [](const Args &a, const Bars &) {
             return Series(a[0].v.size(), a[0].v.empty() ? kNaN : a[0].v.back());
         }},

    };
    return table;
}

} // namespace morvane::formula
