#include "replay.h"

#include "tails_p.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

namespace morvane::formula {

namespace {

using Sz = std::size_t;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same(double a, double b, double tolerance)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::abs(a - b) <= tolerance * std::max({1.0, std::abs(a), std::abs(b)});
}

} // namespace

bool ReplayReport::anyRewrites() const
{
    return std::any_of(outputs.begin(), outputs.end(),
                       [](const OutputReplay &o) { return o.rewrites(); });
}

bool ReplayReport::allChecked() const
{
    return std::all_of(outputs.begin(), outputs.end(),
                       [](const OutputReplay &o) { return o.checked && !o.untested(); });
}

Unchanging unchangingOver(const std::vector<Series> &channels)
{
    bool never = true; // 0 or nothing throughout
    if (std::all_of(channels.begin(), channels.end(), [](const Series &c) { return c.empty(); }))
        return Unchanging::No; // no bars: said elsewhere
    for (const Series &c : channels) {
        for (const double v : c) {
            if (!std::isnan(v) && v != 0)
                never = false;
            if (!same(v, c.front(), 0))
                return Unchanging::No;
        }
    }
    return never ? Unchanging::NeverSignals : Unchanging::Constant;
}

std::vector<qsizetype> cutPoints(const Bars &bars, const ReplayOptions &options,
                                 const QStringList &periods, qsizetype statements)
{
    const qsizetype n = bars.size();
    if (n < 2)
        return {};
    const qsizetype baseStride = options.stride > 0 ? options.stride : statements <= 20 ? 1 : 10;
    std::vector<qsizetype> periodEnds; // before the tail: the tail holds every bar anyway
    auto periodEndsBefore = [&](qsizetype limit) {
        periodEnds.clear();
        for (qsizetype t = 0; t + 1 < n && t < limit; ++t)
            for (const QString &p : periods)
                if (periodKey(p, bars.dates[Sz(t)]) != periodKey(p, bars.dates[Sz(t + 1)])) {
                    periodEnds.push_back(t);
                    break;
                }
    };
    // The rule: the dense tail, every stride-th bar before it, every period end.
    const qsizetype fullTail = std::max<qsizetype>(0, n - 1 - options.denseTail);
    periodEndsBefore(fullTail);
    std::vector<qsizetype> cuts;
    for (qsizetype t = 0, e = 0; t < n - 1; ++t) {
        const bool periodEnd = e < qsizetype(periodEnds.size()) && periodEnds[Sz(e)] == t;
        e += periodEnd ? 1 : 0;
        if (t >= fullTail || (t + 1) % baseStride == 0 || periodEnd)
            cuts.push_back(t);
    }
    // The bound: each cut evaluates its whole history again. Past it, the tail shrinks to half
    // the cuts, the period ends are sampled evenly to half the rest, the remainder spread
    // evenly over the bars before the tail.
    const qint64 byBudget = options.barBudget / n;
    const qsizetype allowed = std::min<qsizetype>(
        n - 1, std::max<qsizetype>(
                   {1, options.minCuts, qsizetype(std::min<qint64>(options.maxCuts, byBudget))}));
    if (qsizetype(cuts.size()) <= allowed)
        return cuts;
    const qsizetype dense = std::min<qsizetype>({options.denseTail, n - 1, allowed / 2});
    const qsizetype tail = n - 1 - dense;
    periodEndsBefore(tail);
    const qsizetype rest = std::max<qsizetype>(1, allowed - dense);
    const qsizetype ends = qsizetype(periodEnds.size());
    const qsizetype taken = std::min(ends, rest / 2);
    const qsizetype spread = std::min(tail, rest - taken);
    cuts.clear();
    for (qsizetype i = 0; i < taken; ++i) // evenly over the period ends
        cuts.push_back(periodEnds[Sz(i * ends / taken)]);
    for (qsizetype k = 1; k <= spread; ++k) // evenly over the bars before the tail
        cuts.push_back(k * tail / spread - 1);
    for (qsizetype t = tail; t < n - 1; ++t)
        cuts.push_back(t);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    return cuts;
}

namespace {

using detail::Tails;

// What one cut showed of output k: its oldest changed bar, across channels, into the report;
// every change into `changes` when they are asked for.
struct CutCompare
{
    const ReplayOptions &options;
    const Bars &bars;
    std::vector<CutChange> *changes; // null: only the oldest is wanted

    // The values of channel ch from bar `from` to the cut: then[i - from] against the whole
    // history's.
    void channel(OutputReplay &o, Sz k, Sz ch, Sz from, Sz cut, const double *then, Rewrite *oldest,
                 bool *changed) const
    {
        const Series &after = o.line.channels[ch];
        for (Sz i = from; i <= cut; ++i) {
            if (same(then[i - from], after[i], options.tolerance))
                continue;
            if (changes)
                changes->push_back(
                    {qsizetype(i), std::int32_t(k), std::int32_t(ch), then[i - from]});
            if (!*changed || qsizetype(i) < oldest->bar) {
                oldest->bar = qsizetype(i);
                oldest->channel = int(ch);
                oldest->before = then[i - from];
                oldest->after = after[i];
            }
            *changed = true;
            if (!changes)
                break;
        }
    }

    // Only the oldest change, channels side by side: a drawing's tail may run far back while
    // its first bar already differs in one channel.
    bool oldestOf(const OutputReplay &o, const std::vector<const double *> &then, Sz from, Sz cut,
                  Rewrite *oldest) const
    {
        for (Sz i = from; i <= cut; ++i)
            for (Sz ch = 0; ch < then.size(); ++ch) {
                if (same(then[ch][i - from], o.line.channels[ch][i], options.tolerance))
                    continue;
                oldest->bar = qsizetype(i);
                oldest->channel = int(ch);
                oldest->before = then[ch][i - from];
                oldest->after = o.line.channels[ch][i];
                return true;
            }
        return false;
    }

    // The bars from `since` to the cut where a channel shows another value.
    void differing(const OutputReplay &o, const std::vector<const double *> &then, Sz from,
                   Sz since, Sz cut, std::vector<qsizetype> *out) const
    {
        out->clear();
        for (Sz i = std::max(from, since); i <= cut; ++i)
            for (Sz ch = 0; ch < then.size(); ++ch)
                if (!same(then[ch][i - from], o.line.channels[ch][i], options.tolerance)) {
                    out->push_back(qsizetype(i));
                    break;
                }
    }

    void settle(OutputReplay &o, Sz cut, Rewrite oldest) const
    {
        oldest.date = bars.dates[Sz(oldest.bar)];
        oldest.cut = qsizetype(cut);
        oldest.cutDate = bars.dates[cut];
        if (o.cutsRewritten == 0)
            o.first = oldest;
        ++o.cutsRewritten;
        o.farthestBack = std::max(o.farthestBack, qsizetype(cut) - oldest.bar);
    }
};

// Bars of FinalTally held at once over a replay's outputs: 32 MiB.
constexpr qint64 kFinalTallyBars = qint64(4) << 20;

// The outputs' 定型于 tallies, each made when a bar of it first differs, within the bound.
struct Finals
{
    std::vector<std::unique_ptr<FinalTally>> tallies;
    std::vector<bool> lost;
    // Told by the cuts directly (FinalTally::cut), from where the output changed since the cut
    // before; the others from every change onCut hears.
    std::vector<bool> direct;
    qint64 bars = 0, held = 0;

    Finals(Sz outputs, qint64 barCount)
        : tallies(outputs), lost(outputs, false), direct(outputs, false), bars(barCount)
    {
    }
    FinalTally *of(Sz k)
    {
        if (!tallies[k] && !lost[k]) {
            if (held + bars <= kFinalTallyBars) {
                held += bars;
                tallies[k] = std::make_unique<FinalTally>(bars);
            } else {
                lost[k] = true;
            }
        }
        return tallies[k].get();
    }
};

// Every bar but the newest a cut, each computing only its tails.
void everyCut(ReplayReport &report, Tails &tails, const Bars &bars, const ReplayOptions &options,
              Finals *finals)
{
    const Sz n = Sz(bars.size());
    report.linear = true;
    for (Sz c = 0; c + 1 < n; ++c)
        report.cuts.push_back(qsizetype(c));
    std::vector<CutChange> changes;
    const CutCompare compare{options, bars, options.onCut ? &changes : nullptr};
    const qsizetype total = qsizetype(report.cuts.size());
    std::vector<const double *> then; // each channel's tail
    std::vector<qsizetype> differing;
    for (Sz c = 0; c + 1 < n; ++c) {
        if (options.progress && !options.progress(qsizetype(c), total)) {
            report.cancelled = true;
            break;
        }
        tails.cut(c);
        changes.clear();
        for (Sz k = 0; k < report.outputs.size(); ++k) {
            OutputReplay &o = report.outputs[k];
            if (!o.checked)
                continue;
            for (Sz ch = 0; ch < o.live.size() && c + detail::kAhead < n; ++ch) {
                __builtin_prefetch(o.live[ch].data() + c + detail::kAhead);
                __builtin_prefetch(o.line.channels[ch].data() + c + detail::kAhead);
            }
            const Sz from = tails.changedFrom(k);
            const bool direct = finals && finals->direct[k];
            const Sz since = std::min(tails.dirtyFrom(k), c + 1);
            if (from > c) { // live already holds the whole history's value
                if (direct && finals->tallies[k])
                    finals->tallies[k]->cut(qsizetype(c), qsizetype(since), {});
                continue;
            }
            bool changed = false;
            Rewrite oldest;
            then.resize(o.line.channels.size());
            for (Sz ch = 0; ch < o.line.channels.size(); ++ch) {
                then[ch] = tails.tail(k, ch);
                o.live[ch][c] = then[ch][c - from];
                if (options.onCut && !direct)
                    compare.channel(o, k, ch, from, c, then[ch], &oldest, &changed);
            }
            if (!options.onCut || direct)
                changed = compare.oldestOf(o, then, from, c, &oldest);
            if (direct) {
                compare.differing(o, then, from, since, c, &differing);
                FinalTally *f = differing.empty() ? finals->tallies[k].get() : finals->of(k);
                if (f)
                    f->cut(qsizetype(c), qsizetype(since), differing);
            }
            if (changed)
                compare.settle(o, c, oldest);
        }
        if (options.onCut)
            options.onCut(qsizetype(c), changes);
    }
    report.barsEvaluated = tails.work();
    if (options.progress && !report.cancelled)
        options.progress(total, total);
}

// The cuts of cutPoints, each running its history again (what the formula reads from later
// bars is not bounded, or every cut was not asked for).
void sampledCuts(ReplayReport &report, const Evaluator &evaluator, const HeadEvaluator &heads,
                 const Bars &bars, const ReplayOptions &options, qsizetype statements)
{
    report.cuts = cutPoints(bars, options, report.periods, statements);
    for (OutputReplay &o : report.outputs)
        if (o.checked && !heads.causal(Sz(&o - report.outputs.data())))
            for (Series &l : o.live)
                std::fill(l.begin(), l.end() - 1, kNaN);
    std::vector<CutChange> changes;
    const CutCompare compare{options, bars, options.onCut ? &changes : nullptr};
    const qsizetype total = qsizetype(report.cuts.size());
    for (qsizetype done = 0; done < total; ++done) {
        if (options.progress && !options.progress(done, total)) {
            report.cancelled = true;
            break;
        }
        const Sz cut = Sz(report.cuts[Sz(done)]);
        // A causal output is the head of its whole-history values at every cut: nothing to
        // compare, and nothing to compute unless the shortcut is off.
        const Evaluation part = options.reuse ? heads.head(qsizetype(cut) + 1, false)
                                              : evaluator.run(bars.head(qsizetype(cut) + 1));
        report.barsEvaluated += qint64(cut + 1);
        changes.clear();
        for (Sz k = 0; k < report.outputs.size(); ++k) {
            OutputReplay &o = report.outputs[k];
            const OutputLine &now = part.outputs[k];
            if (options.reuse && heads.causal(k))
                continue;
            if (!o.checked || !now.ok() || now.channels.size() != o.line.channels.size())
                continue;
            bool changed = false;
            Rewrite oldest;
            for (Sz ch = 0; ch < now.channels.size(); ++ch) {
                o.live[ch][cut] = now.channels[ch][cut];
                compare.channel(o, k, ch, 0, cut, now.channels[ch].data(), &oldest, &changed);
            }
            if (changed)
                compare.settle(o, cut, oldest);
        }
        if (options.onCut)
            options.onCut(qsizetype(cut), changes);
    }
    if (options.progress && !report.cancelled)
        options.progress(total, total);
}

// Every bar a cut through the tails where they can replay the formula, else the sampled cuts.
void runCuts(ReplayReport &report, const Evaluator &evaluator, const HeadEvaluator &heads,
             const Bars &bars, const ReplayOptions &options, qsizetype statements, Finals *finals)
{
    if (options.everyCut && options.reuse) {
        Tails tails(evaluator, heads, bars, options.barBudget);
        report.fallback = tails.fallback();
        if (report.fallback.why == FallbackWhy::None) {
            everyCut(report, tails, bars, options, finals);
            return;
        }
    }
    sampledCuts(report, evaluator, heads, bars, options, statements);
}

} // namespace

ReplayReport replay(const Program &program, const Bars &bars, const ReplayOptions &options)
{
    ReplayReport report;
    report.bars = bars.size();
    const Evaluator evaluator(program, EvalOptions{options.params});
    const HeadEvaluator heads(evaluator, bars);
    Evaluation full = heads.full();
    report.params = full.params;
    report.periods = full.periods;
    for (OutputLine &line : full.outputs) {
        OutputReplay o;
        o.checked = line.ok();
        if (o.checked) {
            o.unchanging = unchangingOver(line.channels);
            o.live = line.channels; // what differs is written over at each cut
        }
        for (const QString &m : line.missing)
            if (!report.missing.contains(m))
                report.missing << m;
        o.line = std::move(line);
        report.outputs.push_back(std::move(o));
    }
    report.missing.sort();
    for (Sz k = 0; k < report.outputs.size(); ++k)
        report.outputs[k].causal = heads.causal(k);
    if (bars.size() == 0)
        return report;
    // The signals' scorecards follow the changes each cut shows.
    std::vector<std::optional<SignalTally>> tallies(report.outputs.size());
    bool scored = false;
    for (Sz k = 0; k < report.outputs.size() && options.horizon > 0; ++k) {
        const OutputReplay &o = report.outputs[k];
        if (o.checked && isSignal(o.line.channels)) {
            tallies[k].emplace(o.line.channels.front());
            scored = true;
        }
    }
    // From which cut each value stood, for the outputs that change, within a memory bound: told
    // by the cuts themselves where no one asks for every change.
    Finals finals(report.outputs.size(), bars.size());
    for (Sz k = 0; k < report.outputs.size(); ++k)
        finals.direct[k] = !options.onCut && !tallies[k];
    ReplayOptions run = options;
    run.onCut = [&](qsizetype cut, const std::vector<CutChange> &changes) {
        for (const CutChange &c : changes)
            if (FinalTally *f = finals.of(Sz(c.output)))
                f->changed(cut, c.bar);
        if (scored) {
            for (const CutChange &c : changes)
                if (c.channel == 0 && tallies[Sz(c.output)])
                    tallies[Sz(c.output)]->changed(cut, c.bar, c.then);
            for (std::optional<SignalTally> &t : tallies)
                if (t)
                    t->endCut(cut);
        }
        if (options.onCut)
            options.onCut(cut, changes);
    };
    runCuts(report, evaluator, heads, bars, run, qsizetype(program.statements.size()), &finals);
    report.finalDelaysCapped =
        std::find(finals.lost.begin(), finals.lost.end(), true) != finals.lost.end();
    for (Sz k = 0; k < report.outputs.size() && !report.cancelled; ++k) {
        OutputReplay &o = report.outputs[k];
        if (tallies[k])
            o.scorecard = tallies[k]->finish(bars.close, options.horizon);
        if (report.linear && o.checked && !finals.lost[k]) {
            const std::unique_ptr<FinalTally> &f = finals.tallies[k];
            std::vector<qsizetype> from = (f ? *f : FinalTally(bars.size())).finish(o.causal);
            o.finalDelay = finalDelay(from);
            if (options.keepFinalFrom)
                o.finalFrom = std::move(from);
        }
    }
    return report;
}

} // namespace morvane::formula
