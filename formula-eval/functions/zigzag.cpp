#include "functions/zigzag.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// Zigzag turning points of x at a reversal of pct percent; the last one is provisional.
std::vector<Turn> zigTurns(const Series &x, double pct)
{
    std::vector<Turn> turns;
    if (std::isnan(pct))
        return turns;
    ZigScan scan(pct);
    for (Sz i = 0; i < x.size(); ++i)
        scan.step(x, i, turns);
    scan.finish(x, x.size(), turns);
    return turns;
}

} // namespace

// The series ZIG reads: 0..3 are OPEN, HIGH, LOW, CLOSE, anything else is the series itself.
const Series &zigSource(const Value &k, const Bars &bars)
{
    if (k.constant && !k.v.empty()) {
        const double c = k.v.front();
        if (c == 0)
            return bars.open;
        if (c == 1)
            return bars.high;
        if (c == 2)
            return bars.low;
        if (c == 3)
            return bars.close;
    }
    return k.v;
}

namespace {

// ZIG(K,N) = straight lines between the turning points of K at N% reversals.
Series zig(const Value &k, const Value &n, const Bars &bars)
{
    const Series &x = zigSource(k, bars);
    Series out = empty(x.size());
    if (x.empty())
        return out;
    zigLine(x, zigTurns(x, n.v.back()), 0, 0, [&](Sz i, double v) { out[i] = v; });
    return out;
}

// PEAK/TROUGH(K,N,M) = value of the M-th latest ZIG peak (trough) at or before the bar;
// …BARS = bars since it. The line's end at the newest bar is not a turn.
Series zigTurnSeries(const std::vector<Value> &a, const Bars &bars, bool peak, bool barsSince)
{
    const Series &x = zigSource(a[0], bars);
    const Sz size = x.size();
    Series out = empty(size);
    if (size == 0)
        return out;
    std::vector<Turn> turns = zigTurns(x, a[1].v.back());
    dropNewestEnd(turns, size);
    std::vector<Sz> marks;
    for (const Turn &t : turns)
        if (t.peak == peak)
            marks.push_back(t.bar);
    Sz seen = 0;
    for (Sz i = 0; i < size; ++i) {
        while (seen < marks.size() && marks[seen] <= i)
            ++seen;
        const double m = countAt(a[2], i);
        if (std::isnan(m) || m < 1 || m > double(seen))
            continue;
        const Sz mark = marks[seen - Sz(m)];
        out[i] = barsSince ? double(i - mark) : x[mark];
    }
    return out;
}

} // namespace

// The ZIG family: the whole history decides every turn.
std::span<const FunctionEntry> zigzagFunctions()
{
    static const FunctionEntry table[] = {

        {"ZIG", 2, 2, [](const Args &a, const Bars &b) { return zig(a[0], a[1], b); }},
        {"PEAK", 3, 3,
         [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, true, false); }},
        {"PEAKBARS", 3, 3,
         [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, true, true); }},
        {"TROUGH", 3, 3,
         [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, false, false); }},
        {"TROUGHBARS", 3, 3,
         [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, false, true); }},

    };
    return table;
}

} // namespace morvane::formula
