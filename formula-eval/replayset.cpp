#include "replayset.h"

#include "builtin.h"

#include <QHash>
#include <QMutex>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <thread>
#include <tuple>

namespace morvane::formula {

namespace {

using Sz = std::size_t;

// The security's bars into `bars`; a file that does not read says why in the result.
SecurityResult load(const ReplayUniverse &u, qsizetype index, qint64 maxBytes, Bars *bars)
{
    SecurityResult r;
    r.index = index;
    if (u.kind == ReplayUniverse::Kind::Builtin || u.kind == ReplayUniverse::Kind::Held) {
        const Security &s = u.held[Sz(index)];
        r.code = s.code;
        r.name = s.name;
        *bars = s.bars;
        return r;
    }
    const BarsEntry &entry = u.files[Sz(index)];
    r.file = entry.shown;
    BarsFileRead read = readBarsEntry(entry, maxBytes);
    r.code = read.code;
    r.name = read.name;
    *bars = std::move(read.bars);
    read.bars = {};
    r.refusal = std::move(read);
    return r;
}

// Folds the securities in as they finish, in whatever order the threads bring them, into a
// result that does not depend on that order.
class Fold
{
public:
    explicit Fold(ReplaySetResult &result) : m_result(result) {}

    void add(SecurityResult r)
    {
        if (!r.replayed()) {
            m_result.refused.push_back(std::move(r));
            return;
        }
        const ReplayReport &report = r.report;
        // Every security has the same outputs; the first in order names them.
        if (m_result.replayed++ == 0 || r.index < m_first) {
            m_first = r.index;
            m_result.outputs.clear();
            for (const OutputReplay &o : report.outputs)
                m_result.outputs.push_back(o.line);
            m_result.params = report.params;
        }
        if (m_result.tallies.empty()) {
            m_result.tallies.resize(report.outputs.size());
            m_missingAt.resize(report.outputs.size());
            m_returns.resize(report.outputs.size());
        }
        for (const QString &m : report.missing)
            m_missing.insert(m);
        const qsizetype cuts = qsizetype(report.cuts.size());
        m_result.maxCuts = std::max(m_result.maxCuts, cuts);
        for (Sz k = 0; k < report.outputs.size() && k < m_result.tallies.size(); ++k)
            tally(k, report.outputs[k], r, cuts);
    }

    void finish(bool keep, std::vector<SecurityResult> kept)
    {
        const auto byIndex = [](const SecurityResult &a, const SecurityResult &b) {
            return a.index < b.index;
        };
        std::sort(m_result.refused.begin(), m_result.refused.end(), byIndex);
        if (keep) {
            std::sort(kept.begin(), kept.end(), byIndex);
            m_result.securities = std::move(kept);
        }
        m_result.missing = QStringList(m_missing.begin(), m_missing.end());
        m_result.missing.sort();
        for (Sz k = 0; k < m_result.tallies.size(); ++k) {
            if (std::optional<ScorecardSum> &sum = m_result.tallies[k].scorecard) {
                // Sums of returns in the universe's order: added as the threads finish, their
                // last digits would differ from run to run.
                std::vector<Returns> &r = m_returns[k];
                std::sort(r.begin(), r.end(),
                          [](const Returns &a, const Returns &b) { return a.index < b.index; });
                sum->hindsight.sumReturn = sum->live.sumReturn = 0;
                for (const Returns &one : r) {
                    sum->hindsight.sumReturn += one.hindsight;
                    sum->live.sumReturn += one.live;
                }
            }
            std::vector<std::pair<std::pair<qsizetype, int>, QString>> seen;
            for (auto it = m_missingAt[k].cbegin(); it != m_missingAt[k].cend(); ++it)
                seen.emplace_back(it.value(), it.key());
            std::sort(seen.begin(), seen.end());
            for (const auto &[at, name] : seen)
                m_result.tallies[k].missing << name;
        }
    }

private:
    void tally(Sz k, const OutputReplay &o, const SecurityResult &on, qsizetype cuts)
    {
        OutputTally &t = m_result.tallies[k];
        if (!o.checked) {
            QHash<QString, std::pair<qsizetype, int>> &at = m_missingAt[k];
            for (int p = 0; p < int(o.line.missing.size()); ++p) {
                const std::pair<qsizetype, int> here{on.index, p};
                auto it = at.find(o.line.missing[p]);
                if (it == at.end())
                    at.insert(o.line.missing[p], here);
                else
                    it.value() = std::min(it.value(), here);
            }
            return;
        }
        if (cuts == 0) {
            ++t.cutlessOn;
            return;
        }
        if (o.untested()) {
            ++(o.unchanging == Unchanging::NeverSignals ? t.neverSignalsOn : t.constantOn);
            return;
        }
        ++t.checkedOn;
        if (o.scorecard) {
            addScorecard(t, *o.scorecard, on);
            m_returns[k].push_back(
                {on.index, o.scorecard->hindsight.sumReturn, o.scorecard->live.sumReturn});
        }
        if (o.finalDelay) {
            if (!t.finalDelay)
                t.finalDelay.emplace();
            t.finalDelay->add(*o.finalDelay);
            ++t.finalDelayOn;
        } else {
            ++t.finalDelayMissingOn;
        }
        if (!o.rewrites())
            return;
        ++t.rewritesOn;
        const auto key = [](const OutputReplay &r, qsizetype i) {
            return std::tuple(r.farthestBack, r.cutsRewritten, -i);
        };
        if (t.worstIndex < 0 || key(o, on.index) > key(t.worst, t.worstIndex)) {
            t.worstIndex = on.index;
            t.worstCode = on.code;
            t.worstName = on.name;
            t.worstFile = on.file;
            t.worst = o;
            t.worstCuts = cuts;
        }
    }

    static void addScorecard(OutputTally &t, const Scorecard &s, const SecurityResult &on)
    {
        if (!t.scorecard)
            t.scorecard.emplace();
        t.scorecard->add(s);
        const double by = overstatement(s.hindsight, s.live);
        if (!(by > 0))
            return; // no overstatement to name
        auto &most = t.mostOverstated;
        most.push_back({on.index, on.code, on.name, on.file, by, s.hindsight, s.live});
        // Largest first, then the universe's order: the same whatever the threads.
        std::sort(most.begin(), most.end(), [](const auto &a, const auto &b) {
            return a.by != b.by ? a.by > b.by : a.index < b.index;
        });
        if (most.size() > OutputTally::kMostOverstated)
            most.pop_back();
    }

    struct Returns
    {
        qsizetype index;
        double hindsight, live;
    };

    ReplaySetResult &m_result;
    qsizetype m_first = -1;
    std::vector<std::vector<Returns>> m_returns; // per output, each security's sums
    QSet<QString> m_missing;
    std::vector<QHash<QString, std::pair<qsizetype, int>>> m_missingAt; // per output
};

} // namespace

ReplayUniverse ReplayUniverse::builtin()
{
    ReplayUniverse u;
    u.kind = Kind::Builtin;
    u.held = builtinSecurities();
    return u;
}

ReplayUniverse ReplayUniverse::ofBars(Security security)
{
    ReplayUniverse u;
    u.kind = Kind::Held;
    u.held.push_back(std::move(security));
    return u;
}

ReplayUniverse ReplayUniverse::ofFile(const QString &path)
{
    ReplayUniverse u;
    u.kind = Kind::File;
    u.path = path;
    u.files = {BarsEntry{path, {}, path, {}, {}}};
    return u;
}

ReplayUniverse ReplayUniverse::ofFolder(const QString &folder)
{
    ReplayUniverse u;
    u.kind = Kind::Folder;
    u.path = folder;
    u.files = barsEntriesIn(folder);
    return u;
}

bool ReplaySetResult::anyRewrites() const
{
    return std::any_of(tallies.begin(), tallies.end(),
                       [](const OutputTally &t) { return t.rewritesOn > 0; });
}

bool ReplaySetResult::allChecked() const
{
    return !outputs.empty() && refused.empty() && !cancelled && replayed > 0 &&
           std::all_of(tallies.begin(), tallies.end(),
                       [this](const OutputTally &t) { return t.checkedOn == replayed; });
}

ReplaySetResult replaySet(const Program &program, const ReplayUniverse &universe,
                          const ReplaySetOptions &options)
{
    ReplaySetResult result;
    const qsizetype count = universe.size();
    result.total = count;
    const int cores = options.threads > 0 ? options.threads : QThread::idealThreadCount();
    const qsizetype threads = std::min<qsizetype>(count, std::max(1, cores));
    std::atomic<qsizetype> next{0};
    std::atomic_bool stop{false};
    const auto stopped = [&] {
        return stop.load(std::memory_order_relaxed) ||
               (options.cancel && options.cancel->load(std::memory_order_relaxed));
    };
    ReplayOptions perSecurity = options.replay;
    const auto &cutProgress = options.replay.progress;
    perSecurity.progress = [&](qsizetype done, qsizetype total) {
        if (stopped())
            return false;
        return count != 1 || !cutProgress || cutProgress(done, total);
    };
    QMutex mutex;
    Fold fold(result);
    std::vector<SecurityResult> kept;
    qsizetype done = 0;
    auto work = [&] {
        for (qsizetype i; !stopped() && (i = next.fetch_add(1)) < count;) {
            Bars bars;
            SecurityResult r = load(universe, i, options.maxBytes, &bars);
            if (r.replayed()) {
                r.report = replay(program, bars, perSecurity);
                bars = {};
                for (OutputReplay &o : r.report.outputs)
                    o.line.channels.clear();
                if (r.report.cancelled) { // half a replay proves nothing: not counted
                    stop.store(true);
                    continue;
                }
            }
            const QMutexLocker lock(&mutex);
            if (options.finished)
                options.finished(r);
            ++done;
            if (options.keepReports && r.replayed())
                kept.push_back(r);
            fold.add(std::move(r));
            if (options.progress && !options.progress(done, count))
                stop.store(true);
        }
    };
    std::vector<std::thread> pool;
    for (qsizetype t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread &t : pool)
        t.join();
    fold.finish(options.keepReports, std::move(kept));
    result.cancelled = result.notRun() > 0;
    return result;
}

} // namespace morvane::formula
