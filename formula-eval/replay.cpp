#include "replay.h"

#include <algorithm>
#include <cmath>

namespace morvane::formula {

namespace {

using Sz = std::size_t;

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
        if (o.checked)
            o.unchanging = unchangingOver(line.channels);
        for (const QString &m : line.missing)
            if (!report.missing.contains(m))
                report.missing << m;
        o.line = std::move(line);
        report.outputs.push_back(std::move(o));
    }
    report.missing.sort();
    if (bars.size() == 0)
        return report;
    report.cuts = cutPoints(bars, options, full.periods, qsizetype(program.statements.size()));

    const qsizetype total = qsizetype(report.cuts.size());
    for (qsizetype done = 0; done < total; ++done) {
        if (options.progress && !options.progress(done, total)) {
            report.cancelled = true;
            break;
        }
        const qsizetype cut = report.cuts[Sz(done)];
        // A causal output is the head of its whole-history values at every cut: nothing to
        // compare, and nothing to compute unless the shortcut is off.
        const Evaluation part =
            options.reuse ? heads.head(cut + 1, false) : evaluator.run(bars.head(cut + 1));
        for (Sz k = 0; k < report.outputs.size(); ++k) {
            OutputReplay &o = report.outputs[k];
            const OutputLine &now = part.outputs[k];
            if (options.reuse && heads.causal(k))
                continue;
            if (!o.checked || !now.ok() || now.channels.size() != o.line.channels.size())
                continue;
            bool changed = false;
            Rewrite oldest;
            for (Sz c = 0; c < now.channels.size(); ++c) {
                const Series &before = now.channels[c], &after = o.line.channels[c];
                for (Sz i = 0; i <= Sz(cut); ++i) {
                    if (same(before[i], after[i], options.tolerance))
                        continue;
                    if (!changed || qsizetype(i) < oldest.bar) {
                        oldest.bar = qsizetype(i);
                        oldest.channel = int(c);
                        oldest.before = before[i];
                        oldest.after = after[i];
                    }
                    changed = true;
                    break;
                }
            }
            if (!changed)
                continue;
            oldest.date = bars.dates[Sz(oldest.bar)];
            oldest.cut = cut;
            oldest.cutDate = bars.dates[Sz(cut)];
            if (o.cutsRewritten == 0)
                o.first = oldest;
            ++o.cutsRewritten;
            o.farthestBack = std::max(o.farthestBack, cut - oldest.bar);
        }
    }
    if (options.progress && !report.cancelled)
        options.progress(total, total);
    return report;
}

} // namespace morvane::formula
