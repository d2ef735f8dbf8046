#include "replay.h"

#include <algorithm>
#include <cmath>
#include <set>

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
                       [](const OutputReplay &o) { return o.checked; });
}

std::vector<qsizetype> cutPoints(const Bars &bars, const ReplayOptions &options,
                                 const QStringList &periods, qsizetype statements)
{
    const qsizetype n = bars.size();
    std::set<qsizetype> cuts;
    const qsizetype tail = std::max<qsizetype>(0, n - 1 - options.denseTail);
    for (qsizetype t = tail; t < n - 1; ++t)
        cuts.insert(t);
    const qsizetype stride = options.stride > 0 ? options.stride : statements <= 20 ? 1 : 10;
    for (qsizetype t = stride - 1; t < tail; t += stride)
        cuts.insert(t);
    for (const QString &p : periods)
        for (qsizetype t = 0; t + 1 < n; ++t)
            if (periodKey(p, bars.dates[Sz(t)]) != periodKey(p, bars.dates[Sz(t + 1)]))
                cuts.insert(t);
    return {cuts.begin(), cuts.end()};
}

ReplayReport replay(const Program &program, const Bars &bars, const ReplayOptions &options)
{
    ReplayReport report;
    report.bars = bars.size();
    const Evaluator evaluator(program, EvalOptions{options.params});
    Evaluation full = evaluator.run(bars);
    report.params = full.params;
    report.periods = full.periods;
    for (OutputLine &line : full.outputs) {
        OutputReplay o;
        o.checked = line.ok();
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

    for (const qsizetype cut : report.cuts) {
        const Bars head = bars.head(cut + 1);
        const Evaluation part = evaluator.run(head);
        for (Sz k = 0; k < report.outputs.size(); ++k) {
            OutputReplay &o = report.outputs[k];
            const OutputLine &now = part.outputs[k];
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
    return report;
}

} // namespace morvane::formula
