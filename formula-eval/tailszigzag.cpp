#include "tails_p.h"

#include <algorithm>

namespace morvane::formula::detail {

// The whole history's zigzag scan, its state kept after every bar.
std::unique_ptr<Tails::Zig> Tails::zigzagOf(const Node &node, const QString &name) const
{
    auto zig = std::make_unique<Zig>();
    zig->source = node.args[0];
    zig->values =
        zig->source.node >= 0 ? &node.args[0].value->v : &zigSource(*node.args[0].value, m_bars);
    zig->pct = node.args[1].value->v.empty() ? kNaN : node.args[1].value->v.front();
    zig->line = name == u"ZIG";
    zig->peak = name.startsWith(u"PEAK");
    zig->barsSince = name.endsWith(u"BARS");
    if (!std::isnan(zig->pct)) {
        ZigScan scan(zig->pct);
        const Series &x = *zig->values;
        zig->states.resize(x.size());
        for (Sz i = 0; i < x.size(); ++i) {
            scan.step(x, i, zig->turns);
            zig->states[i] = scan.state();
        }
    }
    zig->marksBefore.push_back(0);
    for (const Turn &t : zig->turns) {
        if (t.peak == zig->peak)
            zig->marks.push_back(t.bar);
        zig->marksBefore.push_back(zig->marks.size());
    }
    return zig;
}

void Tails::computeZigzag(Node &node, Sz c)
{
    Zig &z = *node.zig;
    if (std::isnan(z.pct))
        return; // nothing on any bar, on any history
    const Node *source = z.source.node >= 0 ? m_nodes[Sz(z.source.node)].get() : nullptr;
    const Sz from = std::min(c + 1, source ? source->k : c + 1);
    const Spliced x{z.values, source ? source->tails.front().data() : nullptr,
                    source ? source->k : kNever};
    // The whole history's scan as it stood before the bar the source changes from, then on.
    const ZigState state = from > 0 ? z.states[from - 1] : ZigState{};
    const Sz confirmed = state.turns;
    z.local.clear();
    if (confirmed > 0)
        z.local.push_back(z.turns[confirmed - 1]);
    ZigScan scan(z.pct, state);
    for (Sz i = from; i <= c; ++i)
        scan.step(x, i, z.local);
    scan.finish(x, c + 1, z.local);
    m_work += qint64(c + 2 - from);
    if (!z.line) {
        computeMarks(node, c, confirmed);
        return;
    }
    // Before the last turn confirmed by then, the line is the whole history's.
    node.k = confirmed > 0 ? z.turns[confirmed - 1].bar : 0;
    Series &out = node.tails.front();
    out.assign(c + 1 - node.k, kNaN);
    zigLine(x, z.local, 0, node.k, [&](Sz i, double v) { out[i - node.k] = v; });
    m_work += qint64(c + 1 - node.k);
}

void Tails::computeMarks(Node &node, Sz c, Sz confirmed)
{
    Zig &z = *node.zig;
    std::vector<Turn> &local = z.local;
    dropNewestEnd(local, c + 1);
    // The marks: the whole history's among its confirmed turns, then this cut's own.
    const Sz kept = z.marksBefore[confirmed];
    z.newMarks.clear();
    for (Sz t = confirmed > 0 ? 1 : 0; t < local.size(); ++t)
        if (local[t].peak == z.peak)
            z.newMarks.push_back(local[t].bar);
    const Input &m = node.args[2];
    const Sz mFrom = m.node >= 0 ? m_nodes[Sz(m.node)]->k : c + 1;
    node.k = std::min(confirmed > 0 ? z.turns[confirmed - 1].bar : 0, mFrom);
    const Node *source = z.source.node >= 0 ? m_nodes[Sz(z.source.node)].get() : nullptr;
    const Spliced x{z.values, source ? source->tails.front().data() : nullptr,
                    source ? source->k : kNever};
    auto mark = [&](Sz j) { return j < kept ? z.marks[j] : z.newMarks[j - kept]; };
    const Sz total = kept + z.newMarks.size();
    Sz seen = Sz(std::upper_bound(z.marks.begin(), z.marks.begin() + std::ptrdiff_t(kept), node.k) -
                 z.marks.begin());
    Series &out = node.tails.front();
    out.assign(c + 1 - node.k, kNaN);
    for (Sz i = node.k; i <= c; ++i) {
        while (seen < total && mark(seen) <= i)
            ++seen;
        const double count = safeCount(at(m, i));
        if (std::isnan(count) || count < 1 || count > double(seen))
            continue;
        const Sz b = mark(seen - Sz(count));
        out[i - node.k] = z.barsSince ? double(i - b) : x[b];
    }
    m_work += qint64(c + 1 - node.k);
}

// A zigzag's first bars that came out as the whole history's are no change: it changes from
// the first that differs (bit for bit), and what reads it computes less.
void Tails::trimSame(Node &node, Sz c)
{
    if (node.k > c || node.tails.size() != 1)
        return;
    const Series &full = *node.full.front();
    Series &tail = node.tails.front();
    Sz same = 0;
    while (same < tail.size() && node.k + same <= c && sameBits(tail[same], full[node.k + same]))
        ++same;
    if (same == 0)
        return;
    tail.erase(tail.begin(), tail.begin() + std::ptrdiff_t(same));
    node.k += same;
}

// Where the zigzag differs from the cut before's: found by comparing, from where either
// differs from the whole history's.
void Tails::settleZigzag(Node &node, Sz oldK, const Series &old)
{
    const Sz last = m_last == kNever ? 0 : m_last + 1;
    const Series &full = *node.full.front();
    node.from = std::min({oldK, node.k, last});
    node.dirty = last;
    node.before.resize(1);
    Series &was = node.before.front();
    was.resize(last - node.from);
    for (Sz i = node.from; i < last; ++i) {
        was[i - node.from] = i < oldK ? full[i] : old[i - oldK];
        const double now = i < node.k ? full[i] : node.tails.front()[i - node.k];
        if (i < node.dirty && !sameBits(was[i - node.from], now))
            node.dirty = i;
    }
    m_work += qint64(last - node.from);
}

} // namespace morvane::formula::detail
