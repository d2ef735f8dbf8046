#pragma once

// The zigzag's scan, one bar at a time. Its state after a bar is all the later bars need, so a
// shorter history resumes the whole history's scan from the bar where its values start to
// differ; the turns confirmed before that bar are the whole history's.

#include "functions/common.h"

#include <vector>

namespace morvane::formula {

struct Turn
{
    Sz bar;
    bool peak;
};

// The scan after a bar.
struct ZigState
{
    bool started = false; // a bar with a value was seen: `start`
    int dir = 0;          // 0 undecided, 1 rising, -1 falling
    Sz start = 0, ext = 0, hi = 0, lo = 0;
    Sz turns = 0; // confirmed so far
};

class ZigScan
{
public:
    using State = ZigState;

    explicit ZigScan(double pct, State state = {})
        : m_up(1.0 + pct / 100.0), m_down(1.0 - pct / 100.0), m_s(state)
    {
    }
    const State &state() const { return m_s; }

    // Bar i of x (any random access: the bars before it are read too); confirmed turns are
    // appended to `turns`.
    template <typename X> void step(const X &x, Sz i, std::vector<Turn> &turns)
    {
        const double v = x[i];
        if (std::isnan(v))
            return;
        State &s = m_s;
        if (!s.started) {
            s.started = true;
            s.start = s.ext = s.hi = s.lo = i;
            return;
        }
        const Sz before = turns.size();
        if (s.dir == 0) {
            if (v > x[s.hi])
                s.hi = i;
            if (v < x[s.lo])
                s.lo = i;
            if (v >= x[s.lo] * m_up) {
                turns.push_back({s.start, s.lo != s.start});
                if (s.lo != s.start)
                    turns.push_back({s.lo, false});
                s.dir = 1;
                s.ext = i;
            } else if (v <= x[s.hi] * m_down) {
                // Down first: the start is a peak only when nothing rose above it; after a
                // rise to hi, the start was the trough before that peak.
                turns.push_back({s.start, s.hi == s.start});
                if (s.hi != s.start)
                    turns.push_back({s.hi, true});
                s.dir = -1;
                s.ext = i;
            }
        } else if (s.dir > 0) {
            if (v >= x[s.ext]) {
                s.ext = i;
            } else if (v <= x[s.ext] * m_down) {
                turns.push_back({s.ext, true});
                s.dir = -1;
                s.ext = i;
            }
        } else {
            if (v <= x[s.ext]) {
                s.ext = i;
            } else if (v >= x[s.ext] * m_up) {
                turns.push_back({s.ext, false});
                s.dir = 1;
                s.ext = i;
            }
        }
        s.turns += turns.size() - before;
    }

    // The provisional turns of a history of `size` bars: the line runs on to the newest bar.
    template <typename X> void finish(const X &x, Sz size, std::vector<Turn> &turns) const
    {
        const State &s = m_s;
        if (!s.started)
            return;
        if (s.dir == 0) {
            turns.push_back({s.start, false});
            if (size - 1 != s.start)
                turns.push_back({size - 1, x[size - 1] > x[s.start]});
            return;
        }
        turns.push_back({s.ext, s.dir > 0});
        if (s.ext != size - 1)
            turns.push_back({size - 1, s.dir < 0});
    }

private:
    double m_up, m_down;
    State m_s;
};

// ZIG's line over turns[first…], into set(i, value) for bars from `from` on; a later segment
// overwrites the bar it shares with the one before, as the whole line does.
template <typename X, typename Set>
void zigLine(const X &x, const std::vector<Turn> &turns, Sz first, Sz from, Set set)
{
    for (Sz t = first; t + 1 < turns.size(); ++t) {
        const Sz a = turns[t].bar, b = turns[t + 1].bar;
        for (Sz i = std::max(a, from); i <= b; ++i)
            set(i, x[a] + (x[b] - x[a]) * double(i - a) / double(b - a));
    }
    if (turns.size() == 1 && turns[0].bar >= from)
        set(turns[0].bar, x[turns[0].bar]);
}

// PEAK and its kin drop the line's end at the newest bar: it is not a turn.
inline void dropNewestEnd(std::vector<Turn> &turns, Sz size)
{
    if (!turns.empty() && turns.back().bar == size - 1 && turns.size() > 1 &&
        turns[turns.size() - 2].bar != size - 1)
        turns.pop_back();
}

// The series ZIG reads: 0..3 are OPEN, HIGH, LOW, CLOSE, anything else is the series itself.
const Series &zigSource(const Value &k, const Bars &bars);

} // namespace morvane::formula
