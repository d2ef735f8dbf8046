// The signal scorecard against the brute force: every prefix of the history evaluated in full.
#include "builtin.h"
#include "eval.h"
#include "parser.h"
#include "replay.h"
#include "scorecard.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kCorpusBars = 240;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

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

// The outcome as scorecard.cpp trades it: a signal without a price at its bar or at the exit
// counts, but has no outcome.
SignalOutcome tradedOutcome(const std::vector<qsizetype> &bars, const Series &close, int horizon)
{
    SignalOutcome o;
    for (const qsizetype b : bars) {
        ++o.count;
        if (b + horizon >= qsizetype(close.size()))
            continue;
        const double from = close[std::size_t(b)], to = close[std::size_t(b + horizon)];
        if (!(from > 0) || !std::isfinite(to))
            continue;
        const double r = to / from - 1;
        ++o.withOutcome;
        o.wins += r > 0;
        o.sumReturn += r;
    }
    return o;
}

// What a scorecard must say when only the bars of `isCut` were cuts (the newest bar is its
// own), from each cut's plain run: `then[c]` is the signal on bars 0..c.
Scorecard bruteScorecard(const Series &full, const std::vector<Series> &then,
                         const std::vector<bool> &isCut, const Series &close, int horizon)
{
    Scorecard s;
    s.horizon = horizon;
    const qsizetype n = qsizetype(full.size());
    std::vector<qsizetype> hindsight, live;
    for (qsizetype b = 0; b < n; ++b) {
        const auto i = std::size_t(b);
        const bool cut = isCut[i] || b == n - 1;
        s.complete = s.complete && cut;
        const bool h = full[i] == 1.0;
        const bool l = cut && (b == n - 1 ? h : then[i][i] == 1.0);
        if (h)
            hindsight.push_back(b);
        if (l)
            live.push_back(b);
        if (l && !h)
            s.vanished.push_back(b);
        if (h && !l && cut) {
            qsizetype shown = b + 1;
            while (shown < n - 1 &&
                   !(isCut[std::size_t(shown)] && then[std::size_t(shown)][i] == 1.0))
                ++shown;
            s.late.push_back(b);
            s.lateBy.push_back(shown - b);
            s.lateShownAt.push_back(shown);
        }
    }
    s.hindsight = tradedOutcome(hindsight, close, horizon);
    s.live = tradedOutcome(live, close, horizon);
    return s;
}

bool sameBits(double a, double b)
{
    return std::bit_cast<quint64>(a) == std::bit_cast<quint64>(b);
}

void compareOutcome(const SignalOutcome &got, const SignalOutcome &want, const char *which)
{
    QVERIFY2(got.count == want.count && got.withOutcome == want.withOutcome &&
                 got.wins == want.wins && sameBits(got.sumReturn, want.sumReturn),
             qPrintable(u"%1: %2/%3/%4/%5 against %6/%7/%8/%9"_s.arg(QLatin1StringView(which))
                            .arg(got.count)
                            .arg(got.withOutcome)
                            .arg(got.wins)
                            .arg(got.sumReturn, 0, 'g', 17)
                            .arg(want.count)
                            .arg(want.withOutcome)
                            .arg(want.wins)
                            .arg(want.sumReturn, 0, 'g', 17)));
}

void compareScorecards(const Scorecard &got, const Scorecard &want)
{
    QCOMPARE(got.complete, want.complete);
    QCOMPARE(got.horizon, want.horizon);
    QCOMPARE(got.vanished, want.vanished);
    QCOMPARE(got.late, want.late);
    QCOMPARE(got.lateBy, want.lateBy);
    QCOMPARE(got.lateShownAt, want.lateShownAt);
    compareOutcome(got.hindsight, want.hindsight, "hindsight");
    if (QTest::currentTestFailed())
        return;
    compareOutcome(got.live, want.live, "live");
}

// A built-in security's first bars; with `gaps`, days without any price, so that signals meet
// bars they cannot trade at.
Bars corpusBars(int security, bool gaps)
{
    static const std::vector<Security> all = builtinSecurities(); // not cheap under ASan
    Bars b = all[std::size_t(security)].bars.head(kCorpusBars);
    for (std::size_t i = 0; gaps && i < b.dates.size(); ++i)
        if ((i >= 30 && i < 37) || (i >= 150 && i < 152) || i % 41 == 0)
            b.open[i] = b.high[i] = b.low[i] = b.close[i] = b.volume[i] = b.amount[i] = kNaN;
    return b;
}

QString corpusDir()
{
    return QStringLiteral(MORVANE_TEST_DATA) + u"/formulas/"_s;
}

} // namespace

class TestScorecard : public QObject
{
    Q_OBJECT
private slots:
    void againstEveryPrefix_data();
    void againstEveryPrefix();
    void corpusAgainstEveryPrefix_data();
    void corpusAgainstEveryPrefix();
    void causalOnEveryBuiltin();
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
        FinalTally sinceBefore(n); // told only from where a cut differs from the cut before
        for (qsizetype c = 0; c < n; ++c) {
            prefix[std::size_t(c)] =
                evaluator.run(bars.head(c + 1)).outputs.front().channels.front();
            if (c == n - 1)
                break; // the newest bar is the whole history, no cut
            const Series &now = prefix[std::size_t(c)];
            qsizetype since = 0;
            while (c > 0 && since < c &&
                   std::memcmp(&now[std::size_t(since)],
                               &prefix[std::size_t(c - 1)][std::size_t(since)],
                               sizeof(double)) == 0)
                ++since;
            std::vector<qsizetype> differing;
            for (qsizetype b = 0; b <= c; ++b) {
                const double then = now[std::size_t(b)];
                if (!same(then, full[std::size_t(b)])) {
                    tally.changed(c, b, then);
                    finals.changed(c, b);
                    if (b >= since)
                        differing.push_back(b);
                }
            }
            sinceBefore.cut(c, since, differing);
            tally.endCut(c);
        }
        QCOMPARE(sinceBefore.finish(causal), finals.finish(causal));
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

void TestScorecard::corpusAgainstEveryPrefix_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<int>("security");
    QTest::addColumn<bool>("gaps");
    std::vector<std::pair<QString, QString>> formulas = {
        {u"filtered trough"_s, u"Z:=ZIG(3,5);XG:FILTER(Z>REF(Z,1) AND REF(Z,1)<REF(Z,2),5);"_s},
        {u"last bars"_s, u"XG:BACKSET(ISLASTBAR,4);"_s},
        {u"centred cross"_s, u"XG:CROSS(C,XMA(C,9));B:REFX(C,3)>C AND C>O;"_s},
        {u"counted peaks"_s, u"P:=PEAKBARS(2,6,1)=0;XG:COUNT(P,4)>0;S:IF(C>O,P,DRAWNULL);"_s},
    };
    const QStringList files = QDir(corpusDir()).entryList({u"*.txt"_s}, QDir::Files, QDir::Name);
    QVERIFY(files.size() > 50);
    for (const QString &file : files) {
        QFile f(corpusDir() + file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        formulas.emplace_back(file.chopped(4), QString::fromUtf8(f.readAll()));
    }
    for (const auto &[name, text] : formulas) {
        for (int security = 0; security < 3; ++security)
            QTest::addRow("%s@%d", qPrintable(name), security) << text << security << false;
        QTest::addRow("%s@0 gaps", qPrintable(name)) << text << 0 << true;
    }
}

// Every corpus formula (and a few written for the scorecard)'s signal scorecards from the replay,
// exact against each cut's plain run; where the replay fell back, on the cuts it ran (the scorecard
// says it is incomplete).
void TestScorecard::corpusAgainstEveryPrefix()
{
    QFETCH(QString, formula);
    QFETCH(int, security);
    QFETCH(bool, gaps);
    const Program program = parse(formula);
    const Bars bars = corpusBars(security, gaps);
    const qsizetype n = bars.size();
    const ReplayOptions options;
    const ReplayReport report = replay(program, bars, options);
    const Evaluator evaluator(program, EvalOptions{options.params});
    const Evaluation whole = evaluator.run(bars);
    QCOMPARE(whole.outputs.size(), report.outputs.size());
    std::vector<std::size_t> scored;
    for (std::size_t k = 0; k < whole.outputs.size(); ++k) {
        const bool signal = whole.outputs[k].ok() && isSignal(whole.outputs[k].channels);
        QCOMPARE(report.outputs[k].scorecard.has_value(), signal);
        if (signal)
            scored.push_back(k);
    }
    if (scored.empty())
        QSKIP("no output is a signal: nothing to score");
    if (!report.linear)
        qInfo("fell back (%s): compared on the %lld cuts it ran of %lld bars",
              qPrintable(report.fallback.function), qlonglong(report.cuts.size()), qlonglong(n));
    std::vector<bool> isCut(std::size_t(n), false);
    for (const qsizetype c : report.cuts)
        isCut[std::size_t(c)] = true;
    // then[k][c]: signal k as the run on bars 0..c shows it.
    std::vector<std::vector<Series>> then(scored.size(), std::vector<Series>(std::size_t(n)));
    for (const qsizetype c : report.cuts) {
        const Evaluation part = evaluator.run(bars.head(c + 1));
        for (std::size_t i = 0; i < scored.size(); ++i) {
            const OutputLine &line = part.outputs[scored[i]];
            QVERIFY2(line.ok(), qPrintable(line.missing.join(u' ')));
            then[i][std::size_t(c)] = line.channels.front();
        }
    }
    for (std::size_t i = 0; i < scored.size(); ++i) {
        const Series &full = whole.outputs[scored[i]].channels.front();
        const Scorecard want = bruteScorecard(full, then[i], isCut, bars.close, options.horizon);
        const Scorecard &got = *report.outputs[scored[i]].scorecard;
        compareScorecards(got, want);
        if (QTest::currentTestFailed())
            return;
    }
}

// A causal signal's live numbers are its hindsight's, bit for bit, on every built-in
// security's whole history.
void TestScorecard::causalOnEveryBuiltin()
{
    const Program program = parse(u"XG:CROSS(MA(C,5),MA(C,10));"_s);
    const std::vector<Security> all = builtinSecurities();
    QVERIFY(all.size() >= 3);
    for (const Security &security : all) {
        const ReplayReport report = replay(program, security.bars, ReplayOptions{});
        QVERIFY(report.linear && report.outputs.front().causal);
        const Scorecard &s = *report.outputs.front().scorecard;
        QVERIFY(s.complete && s.vanished.empty() && s.late.empty());
        QVERIFY(s.hindsight.count > 0 && s.hindsight.withOutcome > 0);
        compareOutcome(s.live, s.hindsight, qPrintable(security.code));
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
