// The signal scorecard against the brute force: every prefix of the history evaluated in full.
#include "builtin.h"
#include "eval.h"
#include "parser.h"
#include "replay.h"
#include "scorecard.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <optional>

using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

bool same(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

// What the scorecard must say, from every prefix's own run.
struct Brute
{
    std::vector<qsizetype> hindsight, live, vanished, late, lateBy;
};

Brute brute(const std::vector<Series> &prefixValues, const Series &full)
{
    Brute out;
    const qsizetype n = qsizetype(full.size());
    for (qsizetype b = 0; b < n; ++b) {
        const bool h = full[std::size_t(b)] == 1.0;
        const bool l = prefixValues[std::size_t(b)][std::size_t(b)] == 1.0;
        if (h)
            out.hindsight.push_back(b);
        if (l)
            out.live.push_back(b);
        if (l && !h)
            out.vanished.push_back(b);
        if (h && !l) {
            qsizetype c = b;
            while (prefixValues[std::size_t(c)][std::size_t(b)] != 1.0)
                ++c;
            out.late.push_back(b);
            out.lateBy.push_back(c - b);
        }
    }
    return out;
}

SignalOutcome naiveOutcome(const std::vector<qsizetype> &bars, const Series &close, int horizon)
{
    SignalOutcome o;
    for (const qsizetype b : bars) {
        ++o.count;
        if (b + horizon < qsizetype(close.size())) {
            const double r = close[std::size_t(b + horizon)] / close[std::size_t(b)] - 1;
            ++o.withOutcome;
            o.wins += r > 0;
            o.sumReturn += r;
        }
    }
    return o;
}

} // namespace

class TestScorecard : public QObject
{
    Q_OBJECT
private slots:
    void againstEveryPrefix_data();
    void againstEveryPrefix();
    void signalsOnly_data();
    void signalsOnly();
};

void TestScorecard::againstEveryPrefix_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<bool>("causal");
    QTest::newRow("zig trough") << u"Z:=ZIG(3,5);XG:Z>REF(Z,1) AND REF(Z,1)<REF(Z,2);"_s << false;
    QTest::newRow("backset") << u"XG:BACKSET(CROSS(C,MA(C,10)),3);"_s << false;
    QTest::newRow("peak bars") << u"XG:PEAKBARS(3,5,1)=0;"_s << false;
    QTest::newRow("tomorrow's close") << u"XG:REF(C,-1)>C*1.02;"_s << false;
    QTest::newRow("causal cross") << u"XG:CROSS(MA(C,5),MA(C,10));"_s << true;
}

// Hindsight, live, vanished, late with its delay, and the outcomes: exact on every built-in
// security's first 300 bars; a causal signal's live numbers are its hindsight's, bit for bit.
void TestScorecard::againstEveryPrefix()
{
    QFETCH(QString, formula);
    QFETCH(bool, causal);
    const Program program = parse(formula);
    const Evaluator evaluator(program);
    constexpr int horizon = 5;
    int securities = 0;
    for (const Security &security : builtinSecurities()) {
        if (++securities > 3)
            break;
        const Bars bars = security.bars.head(300);
        const qsizetype n = bars.size();
        const Series full = evaluator.run(bars).outputs.front().channels.front();
        QVERIFY(isSignal(evaluator.run(bars).outputs.front().channels));
        std::vector<Series> prefix(static_cast<std::size_t>(n));
        SignalTally tally(full);
        FinalTally finals(n);
        for (qsizetype c = 0; c < n; ++c) {
            prefix[std::size_t(c)] =
                evaluator.run(bars.head(c + 1)).outputs.front().channels.front();
            if (c == n - 1)
                break; // the newest bar is the whole history, no cut
            for (qsizetype b = 0; b <= c; ++b) {
                const double then = prefix[std::size_t(c)][std::size_t(b)];
                if (!same(then, full[std::size_t(b)])) {
                    tally.changed(c, b, then);
                    finals.changed(c, b);
                }
            }
            tally.endCut(c);
        }
        const Scorecard s = tally.finish(bars.close, horizon);
        const Brute want = brute(prefix, full);
        QVERIFY(s.complete);
        QCOMPARE(s.vanished, want.vanished);
        QCOMPARE(s.late, want.late);
        QCOMPARE(s.lateBy, want.lateBy);
        const SignalOutcome h = naiveOutcome(want.hindsight, bars.close, horizon);
        const SignalOutcome l = naiveOutcome(want.live, bars.close, horizon);
        for (const auto &[got, expected] : {std::pair{s.hindsight, h}, std::pair{s.live, l}}) {
            QCOMPARE(got.count, expected.count);
            QCOMPARE(got.withOutcome, expected.withOutcome);
            QCOMPARE(got.wins, expected.wins);
            QCOMPARE(got.sumReturn, expected.sumReturn);
        }
        // The replay's own scorecard, from the cuts its tails compute: the same numbers.
        const ReplayReport report = replay(program, bars, ReplayOptions{});
        QVERIFY(report.outputs.front().scorecard);
        const Scorecard &e = *report.outputs.front().scorecard;
        QVERIFY(report.linear && e.complete);
        QCOMPARE(e.vanished, s.vanished);
        QCOMPARE(e.late, s.late);
        QCOMPARE(e.lateBy, s.lateBy);
        QCOMPARE(e.live.count, s.live.count);
        QCOMPARE(e.live.sumReturn, s.live.sumReturn);
        QCOMPARE(e.hindsight.sumReturn, s.hindsight.sumReturn);
        // 定型于: after the newest cut that showed a bar otherwise; open where the newest bar's
        // arrival changed it.
        const std::vector<qsizetype> final = finals.finish(causal);
        qsizetype open = n;
        for (qsizetype b = 0; b + 1 < n; ++b)
            if (!same(prefix[std::size_t(n - 2)][std::size_t(b)], full[std::size_t(b)]))
                open = std::min(open, b);
        for (qsizetype b = 0; b < n; ++b) {
            qsizetype wantFinal = b;
            for (qsizetype c = b; c + 1 < n; ++c)
                if (!same(prefix[std::size_t(c)][std::size_t(b)], full[std::size_t(b)]))
                    wantFinal = c + 1;
            if (b >= open || (b == n - 1 && !causal))
                wantFinal = -1;
            QCOMPARE(final[std::size_t(b)], wantFinal);
        }
        // The replay's distribution of those delays, against a sort of them.
        std::vector<qsizetype> delays;
        for (qsizetype b = 0; b < n; ++b)
            if (final[std::size_t(b)] >= 0)
                delays.push_back(final[std::size_t(b)] - b);
        std::sort(delays.begin(), delays.end());
        const std::optional<FinalDelay> &d = report.outputs.front().finalDelay;
        QVERIFY(d && !delays.empty());
        QCOMPARE(d->values, qsizetype(delays.size()));
        QCOMPARE(d->open, n - qsizetype(delays.size()));
        QCOMPARE(d->median(), delays[(delays.size() - 1) / 2]);
        QCOMPARE(d->p90(), delays[std::size_t(std::ceil(0.9 * double(delays.size()))) - 1]);
        QCOMPARE(d->max(), delays.back());
        if (causal) {
            QVERIFY(s.vanished.empty() && s.late.empty());
            QCOMPARE(s.live.sumReturn, s.hindsight.sumReturn);
            QVERIFY(s.hindsight.count > 0);
        }
    }
}

void TestScorecard::signalsOnly_data()
{
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<bool>("signal");
    const double nan = std::nan("");
    QTest::newRow("zeros and ones") << QList<double>{0, 1, 0, 1} << true;
    QTest::newRow("with gaps") << QList<double>{nan, 1, 0, nan} << true;
    QTest::newRow("never fires") << QList<double>{0, 0, nan} << true;
    QTest::newRow("a price") << QList<double>{0, 1, 10.5} << false;
    QTest::newRow("minus one") << QList<double>{0, -1} << false;
}

void TestScorecard::signalsOnly()
{
    QFETCH(QList<double>, values);
    QFETCH(bool, signal);
    QCOMPARE(isSignal({Series(values.begin(), values.end())}), signal);
    QVERIFY(!isSignal({}));
}

QTEST_GUILESS_MAIN(TestScorecard)
#include "tst_scorecard.moc"
