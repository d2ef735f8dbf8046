#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// Zigzag turning points of x at a reversal of pct percent; the last one is provisional.
struct Turn
{
    Sz bar;
    bool peak;
};

std::vector<Turn> zigTurns(const Series &x, double pct)
{
    std::vector<Turn> turns;
    const Sz size = x.size();
    Sz start = 0;
    while (start < size && std::isnan(x[start]))
        ++start;
    if (start >= size || std::isnan(pct))
        return turns;
    const double up = 1.0 + pct / 100.0, down = 1.0 - pct / 100.0;
    int dir = 0; // 0 undecided, 1 rising, -1 falling
    Sz ext = start, hi = start, lo = start;
    for (Sz i = start + 1; i < size; ++i) {
        const double v = x[i];
        if (std::isnan(v))
            continue;
        if (dir == 0) {
            if (v > x[hi])
                hi = i;
            if (v < x[lo])
                lo = i;
            if (v >= x[lo] * up) {
                turns.push_back({start, lo != start});
                if (lo != start)
                    turns.push_back({lo, false});
                dir = 1;
                ext = i;
            } else if (v <= x[hi] * down) {
                // Down first: the start is a peak only when nothing rose above it; after a
                // rise to hi, the start was the trough before that peak.
                turns.push_back({start, hi == start});
                if (hi != start)
                    turns.push_back({hi, true});
                dir = -1;
                ext = i;
            }
        } else if (dir > 0) {
            if (v >= x[ext]) {
                ext = i;
            } else if (v <= x[ext] * down) {
                turns.push_back({ext, true});
                dir = -1;
                ext = i;
            }
        } else {
            if (v <= x[ext]) {
                ext = i;
            } else if (v >= x[ext] * up) {
                turns.push_back({ext, false});
                dir = 1;
                ext = i;
            }
        }
    }
    if (dir == 0) {
        turns.push_back({start, false});
        if (size - 1 != start)
            turns.push_back({size - 1, x[size - 1] > x[start]});
        return turns;
    }
    turns.push_back({ext, dir > 0});
    if (ext != size - 1)
        turns.push_back({size - 1, dir < 0}); // the line runs on to the newest bar
    return turns;
}

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

// ZIG(K,N) = straight lines between the turning points of K at N% reversals.
Series zig(const Value &k, const Value &n, const Bars &bars)
{
    const Series &x = zigSource(k, bars);
    Series out = empty(x.size());
    if (x.empty())
        return out;
    const std::vector<Turn> turns = zigTurns(x, n.v.back());
    for (Sz t = 0; t + 1 < turns.size(); ++t) {
        const Sz a = turns[t].bar, b = turns[t + 1].bar;
        for (Sz i = a; i <= b; ++i)
            out[i] = x[a] + (x[b] - x[a]) * double(i - a) / double(b - a);
    }
    if (turns.size() == 1)
        out[turns[0].bar] = x[turns[0].bar];
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
    if (!turns.empty() && turns.back().bar == size - 1 && turns.size() > 1 &&
        turns[turns.size() - 2].bar != size - 1)
        turns.pop_back();
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
