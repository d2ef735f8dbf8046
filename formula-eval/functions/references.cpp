#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// REF(X,A) = X A bars ago. The help: "平滑处理:当引用不到数据时进行的操作.此函数中,平滑时使用
// 上一个周期的引用值", so where A reaches before the first bar REF repeats its previous value;
// REFV, "未作平滑处理", is empty there. Chosen: only a constant negative A reads later bars
// (REF(C,-1) as REFX(C,1)); a per-bar A that turns negative is out of reach like one before
// the first bar, which keeps the help's "REF(CLOSE,BARSCOUNT(C)-1)表示第二根K线的收盘价" free
// of look-ahead on the first bar.
Series ref(const Args &a, bool smoothed)
{
    const Sz size = a[0].v.size();
    const bool forward = a[1].constant;
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const double k = countAt(a[1], i);
        if (std::isnan(k))
            continue;
        const double j = double(i) - k;
        if (j >= 0 && (j <= double(i) || (forward && j < double(size))))
            out[i] = a[0].v[Sz(j)];
        else if (smoothed && i > 0 && !(forward && j > double(i)))
            out[i] = out[i - 1];
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

// TOPRANGE/LOWRANGE: bars back to the last one at or beyond the current value (all bars
// before when there is none); empty where X is.
Series range(const Series &x, bool top)
{
    Series out = empty(x.size());
    std::vector<Sz> stack; // bars whose values beat every later one, nearest last
    for (Sz i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i]))
            continue;
        while (!stack.empty() && (top ? x[stack.back()] < x[i] : x[stack.back()] > x[i]))
            stack.pop_back();
        out[i] = double(stack.empty() ? i : i - stack.back() - 1);
        stack.push_back(i);
    }
    return out;
}

// Counts that go on from the bar before (`previous`, its own value there; NaN: none, as on
// the first bar), so that a tail of the bars resumes them.
Series barsLast(const Args &a, double previous)
{
    Series out = empty(a[0].v.size());
    double last = -1 - previous; // the bar it last held, counted from the first one here
    for (Sz i = 0; i < out.size(); ++i) {
        if (isTrue(a[0].v[i]))
            last = double(i);
        out[i] = double(i) - last;
    }
    return out;
}

Series barsLastCount(const Args &a, double previous)
{
    Series out(a[0].v.size(), 0.0);
    const double before = std::isnan(previous) ? 0.0 : previous;
    for (Sz i = 0; i < out.size(); ++i)
        out[i] = isTrue(a[0].v[i]) ? (i > 0 ? out[i - 1] : before) + 1 : 0;
    return out;
}

template <typename Holds> Series barsSinceFirst(const Args &a, double previous, Holds holds)
{
    Series out = empty(a[0].v.size());
    double first = -1 - previous;
    for (Sz i = 0; i < out.size(); ++i) {
        if (std::isnan(first) && holds(a[0].v[i]))
            first = double(i);
        out[i] = double(i) - first;
    }
    return out;
}

Series barsCount(const Args &a, double previous)
{
    return barsSinceFirst(a, previous, [](double x) { return !std::isnan(x); });
}

Series barsSince(const Args &a, double previous)
{
    return barsSinceFirst(a, previous, isTrue);
}

Series valueWhen(const Args &a, double previous)
{
    Series out = empty(a[0].v.size());
    for (Sz i = 0; i < out.size(); ++i)
        out[i] = isTrue(a[0].v[i]) ? a[1].v[i] : i > 0 ? out[i - 1] : previous;
    return out;
}

template <Series (*F)(const Args &, double)> Series whole(const Args &a, const Bars &)
{
    return F(a, kNaN);
}
template <Series (*F)(const Args &, double)> Series resumed(const Args &a, const TailSeed &seed)
{
    return F(a, seed.previous);
}

// FILTER(X,N) = X where it holds, then 0 for the next N bars; `blockedUntil` the last bar a
// signal before blocks.
Series filter(const Args &a, double blockedUntil)
{
    Series out(a[0].v.size(), 0.0);
    for (Sz i = 0; i < out.size(); ++i) {
        if (double(i) > blockedUntil && isTrue(a[0].v[i])) {
            out[i] = 1;
            blockedUntil = double(i) + countAt(a[1], i);
        }
    }
    return out;
}

Series refxv(const Args &a, const Bars &)
{
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
}

Series barsNext(const Args &a, const Bars &)
{
    Series out = empty(a[0].v.size());
    double next = kNaN;
    for (Sz i = out.size(); i-- > 0;) {
        if (isTrue(a[0].v[i]))
            next = double(i);
        out[i] = next - double(i);
    }
    return out;
}

Series backset(const Args &a, const Bars &)
{
    const Sz size = a[0].v.size();
    Series out(size, 0.0);
    Index reach = Index(size);
    for (Sz i = size; i-- > 0;) {
        const double n = countAt(a[1], i);
        if (isTrue(a[0].v[i]) && !std::isnan(n) && n >= 1)
            reach = std::min(reach, std::max<Index>(0, Index(i) - Index(n) + 1));
        if (reach <= Index(i))
            out[i] = 1;
    }
    return out;
}

Series barsSinceN(const Args &a, const Bars &)
{
    const Sz size = a[0].v.size();
    std::vector<Sz> next(size + 1, size);
    for (Sz k = size; k-- > 0;)
        next[k] = isTrue(a[0].v[k]) ? k : next[k + 1];
    return windowed(a[0], a[1], true,
                    [&](Sz from, Sz i) { return next[from] <= i ? double(i - next[from]) : kNaN; });
}

} // namespace

// Bars before and after: REF and its kin, bars since, the newest bar's value.
std::span<const FunctionEntry> referenceFunctions()
{
    static const FunctionEntry table[] = {
        {"REF", 2, 2, [](const Args &a, const Bars &) { return ref(a, true); }, Causal::PastOffset},
        {"REFV", 2, 2, [](const Args &a, const Bars &) { return ref(a, false); },
         Causal::PastOffset},
        {"REFX", 2, 2, refx},
        // REFXV(X,A) = REFX, and where no later bar exists yet, the previous bar's value
        {"REFXV", 2, 2, refxv},
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
        {"BARSLAST", 1, 1, whole<barsLast>, Causal::Yes, false, resumed<barsLast>},
        // BARSLASTCOUNT(X) = bars in a row, up to this one, where X holds
        {"BARSLASTCOUNT", 1, 1, whole<barsLastCount>, Causal::Yes, false, resumed<barsLastCount>},
        // BARSCOUNT(X): "第一个有效数据到当前的间隔周期数", 0 on the first bar with a value, as
        // the help's "REF(CLOSE,BARSCOUNT(C)-1)表示第二根K线的收盘价" needs
        {"BARSCOUNT", 1, 1, whole<barsCount>, Causal::Yes, false, resumed<barsCount>},
        // BARSSINCE(X) = bars since X first held
        {"BARSSINCE", 1, 1, whole<barsSince>, Causal::Yes, false, resumed<barsSince>},
        // BARSNEXT(X) = bars until X next holds (0 on a bar where it holds)
        {"BARSNEXT", 1, 1, barsNext},
        // FILTER(X,N) = X where it holds, then 0 for the next N bars
        {"FILTER", 2, 2, [](const Args &a, const Bars &) { return filter(a, -1); }, Causal::Yes,
         false,
         // on a tail: from its last signal before, N being constant (see tailRule)
         [](const Args &a, const TailSeed &seed) {
             const double n = a[1].v.empty() ? kNaN : countAt(a[1], 0);
             return filter(a, std::isnan(seed.sinceHeld) ? -1 : n - seed.sinceHeld);
         }},
        // BACKSET(X,N) = 1 on this bar and the N−1 before it wherever X holds: one sweep from
        // the newest bar, carrying the farthest bar any later signal reaches back to
        {"BACKSET", 2, 2, backset},
        // VALUEWHEN(COND,X) = X where COND holds, else the value before: "当COND条件成立时,
        // 取X的当前值,否则取VALUEWHEN的上个值"; empty before COND first holds
        {"VALUEWHEN", 2, 2, whole<valueWhen>, Causal::Yes, false, resumed<valueWhen>},
        // BARSSINCEN(X,N) = bars since X first held within the last N bars, empty when it did
        // not; the first bar holding at or after each bar is found once for all windows
        {"BARSSINCEN", 2, 2, barsSinceN, Causal::Yes},
        // TOPRANGE(X) = for how many bars before this one X stayed below its value now;
        // LOWRANGE(X): above. A stack of the bars still in the running makes it one pass.
        {"TOPRANGE", 1, 1, [](const Args &a, const Bars &) { return range(a[0].v, true); },
         Causal::Yes},
        {"LOWRANGE", 1, 1, [](const Args &a, const Bars &) { return range(a[0].v, false); },
         Causal::Yes},

        // CONST(X) = X's value on the newest bar, on every bar
        {"CONST", 1, 1,
         [](const Args &a, const Bars &) {
             return Series(a[0].v.size(), a[0].v.empty() ? kNaN : a[0].v.back());
         }},

    };
    return table;
}

} // namespace morvane::formula
