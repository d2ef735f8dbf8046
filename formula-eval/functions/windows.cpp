#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

} // namespace

// Windows and counts over the last N bars (HHV, LLV, SUM, COUNT, EXIST: N = 0 means every
// bar so far; windows are partial over the first bars).
std::span<const FunctionEntry> windowFunctions()
{
    static const FunctionEntry table[] = {

        // far; windows are partial over the first bars)
        // HHV(X,N) = highest X of the last N bars
        {"HHV", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                 return anyNaN(a[0].v, from, i) ? kNaN
                                                : *std::max_element(a[0].v.begin() + Index(from),
                                                                    a[0].v.begin() + Index(i) + 1);
             });
         }},
        // LLV(X,N) = lowest X of the last N bars
        {"LLV", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                 return anyNaN(a[0].v, from, i) ? kNaN
                                                : *std::min_element(a[0].v.begin() + Index(from),
                                                                    a[0].v.begin() + Index(i) + 1);
             });
         }},
        // HHVBARS(X,N) = bars since the highest X of the last N bars (its latest bar)
        {"HHVBARS", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                 Sz best = i;
                 for (Sz k = i + 1; k-- > from;)
                     if (a[0].v[k] > a[0].v[best])
                         best = k;
                 return double(i - best);
             });
         }},
        // LLVBARS(X,N) = bars since the lowest X of the last N bars
        {"LLVBARS", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                 Sz best = i;
                 for (Sz k = i + 1; k-- > from;)
                     if (a[0].v[k] < a[0].v[best])
                         best = k;
                 return double(i - best);
             });
         }},
        // SUM(X,N) = X summed over the last N bars
        {"SUM", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                 double s = 0;
                 for (Sz k = from; k <= i; ++k)
                     if (!std::isnan(a[0].v[k]))
                         s += a[0].v[k];
                 return s;
             });
         }},
        // COUNT(X,N) = bars of the last N where X holds
        {"COUNT", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                 double c = 0;
                 for (Sz k = from; k <= i; ++k)
                     c += isTrue(a[0].v[k]) ? 1 : 0;
                 return c;
             });
         }},
        // EVERY(X,N) = X held on each of the last N bars (0 before N bars exist)
        {"EVERY", 2, 2,
         [](const Args &a, const Bars &) {
             const Sz size = a[0].v.size();
             Series out = empty(size);
             for (Sz i = 0; i < size; ++i) {
                 const Index from = windowStart(countAt(a[1], i), i, false);
                 bool all = from >= 0;
                 for (Sz k = Sz(std::max<Index>(from, 0)); all && k <= i; ++k)
                     all = isTrue(a[0].v[k]);
                 out[i] = all ? 1 : 0;
             }
             return out;
         }},
        // EXIST(X,N) = X held on one of the last N bars
        {"EXIST", 2, 2,
         [](const Args &a, const Bars &) {
             return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                 for (Sz k = from; k <= i; ++k)
                     if (isTrue(a[0].v[k]))
                         return 1.0;
                 return 0.0;
             });
         }},
        // LAST(X,A,B) = X held from A bars ago to B bars ago (A = 0: from the first bar)
        {"LAST", 3, 3,
         [](const Args &a, const Bars &) {
             const Sz size = a[0].v.size();
             Series out = empty(size);
             for (Sz i = 0; i < size; ++i) {
                 const double fa = countAt(a[1], i), fb = countAt(a[2], i);
                 if (std::isnan(fa) || std::isnan(fb))
                     continue;
                 const Index from = fa == 0 ? 0 : Index(i) - Index(fa);
                 const Index to = Index(i) - Index(fb);
                 if (from < 0 || to < from)
                     continue;
                 bool all = true;
                 for (Index k = from; all && k <= to; ++k)
                     all = isTrue(a[0].v[Sz(k)]);
                 out[i] = all ? 1 : 0;
             }
             return out;
         }},
        // SUMBARS(X,A) = bars back until X summed from here reaches A
        {"SUMBARS", 2, 2,
         [](const Args &a, const Bars &) {
             Series out = empty(a[0].v.size());
             for (Sz i = 0; i < out.size(); ++i) {
                 double s = 0;
                 for (Sz k = i + 1; k-- > 0;) {
                     if (!std::isnan(a[0].v[k]))
                         s += a[0].v[k];
                     if (s >= a[1].v[i]) {
                         out[i] = double(i - k + 1);
                         break;
                     }
                 }
             }
             return out;
         }},

    };
    return table;
}

} // namespace morvane::formula
