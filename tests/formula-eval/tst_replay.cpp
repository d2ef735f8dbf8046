// The replay against known answers, the command's output, and the corpus figures.
#include "commandio.h"
#include "options.h"
#include "parser.h"
#include "replay.h"
#include "replayoutput.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <numeric>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

const Bars &bars()
{
    static const Bars b = builtinBars();
    return b;
}

} // namespace

class TestReplay : public QObject
{
    Q_OBJECT

private slots:
    void knownAnswers_data();
    void knownAnswers();
    void rewriteFigures();
    void cutBounds_data();
    void cutBounds();
    void progressAndCancel();
    void progressFramesLeaveAtOnce();
    void command_data();
    void command();
    void corpus();
    void shortcutKeepsVerdicts();
};

void TestReplay::knownAnswers_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<bool>("rewrites"); // the last output
    auto row = [](const char *name, const char16_t *formula, bool rewrites) {
        QTest::newRow(name) << QString::fromUtf16(formula) << rewrites;
    };
    row("ZIG", u"A:ZIG(3,5);", true);
    row("PEAK", u"A:PEAK(1,5,1);", true);
    row("PEAKBARS", u"A:PEAKBARS(1,5,1);", true);
    row("TROUGH", u"A:TROUGH(2,5,1);", true);
    row("TROUGHBARS", u"A:TROUGHBARS(2,5,1);", true);
    row("BACKSET 3", u"A:BACKSET(C>REF(C,1),3);", true);
    row("REF -1", u"A:REF(C,-1);", true);
    row("REF negative in a variable", u"D:=-1; A:REF(C,D);", true);
    row("REF back to the newest bar", u"D1:=CURRBARSCOUNT-1; A:REF(H,D1);", true);
    row("REFX", u"A:REFX(C,2);", true);
    row("REFXV", u"A:REFXV(C,2);", true);
    row("BARSNEXT", u"A:BARSNEXT(C>O);", true);
    row("XMA", u"A:XMA(C,5);", true);
    row("CONST CURRBARSCOUNT", u"A:CONST(REF(H,CURRBARSCOUNT));", true);
    row("DRAWTEXT ISLASTBAR", u"DRAWTEXT(ISLASTBAR,C,'now');", true);
    row("CLOSE#WEEK", u"A:CLOSE#WEEK;", true);
    row("MA#MONTH", u"A:MA(C,3)#MONTH;", true);
    row("DYNAINFO", u"A:C/DYNAINFO(3);", true);
    row("CAPITAL", u"A:V/CAPITAL;", true);
    row("MA", u"A:MA(C,5);", false);
    row("EMA", u"A:EMA(C,12);", false);
    row("SMA", u"A:SMA(C,9,1);", false);
    row("HHV", u"A:HHV(H,20);", false);
    row("HHV per-bar N", u"A:HHV(H,BARSLAST(CROSS(C,MA(C,5)))+1);", false);
    row("CROSS", u"A:CROSS(MA(C,5),MA(C,10));", false);
    row("BARSLAST", u"A:BARSLAST(C>O);", false);
    row("FILTER", u"A:FILTER(C>REF(C,1),5);", false);
    row("BACKSET 1", u"A:BACKSET(C>REF(C,1),1);", false);
    row("unused ZIG", u"Z:=ZIG(3,5); A:MA(C,5);", false);
    row("STICKLINE", u"STICKLINE(C>O,O,C,3,0);", false);
    row("DRAWTEXT on a cross", u"DRAWTEXT(CROSS(C,MA(C,5)),L,'买');", false);
    row("WEEKDAY DATE", u"A:IF(WEEKDAY=5,DATE,0);", false);
    row("SAR", u"A:SAR(10,2,20);", false);
    row("FINANCE(7) share issues", u"A:V/FINANCE(7);", true);
    row("WINNER", u"A:WINNER(C);", true);
    row("COST", u"A:COST(50);", true);
    row("FINANCE(3) PERIOD NAMELIKE",
        u"A:IF(PERIOD=5 AND FINANCE(3)=1 AND NOT(NAMELIKE('ST')),ZTPRICE(REF(C,1),0.1),0);", false);
    row("INDEXC", u"A:SMA((INDEXC-LLV(INDEXL,9))/(HHV(INDEXH,9)-LLV(INDEXL,9)),3,1);", false);
    row("AMA", u"A:AMA(C,1/12);", false);
    row("DRAWTEXT_FIX", u"DRAWTEXT_FIX(CROSS(C,MA(C,5)),0.5,0.5,0,'x');", false);
}

void TestReplay::knownAnswers()
{
    QFETCH(QString, formula);
    QFETCH(bool, rewrites);
    const Program program = parse(formula);
    QVERIFY(program.notes.empty());
    const ReplayReport report = replay(program, bars(), {});
    QVERIFY2(report.allChecked(), qPrintable(report.missing.join(u',')));
    QCOMPARE(report.outputs.back().rewrites(), rewrites);
}

void TestReplay::rewriteFigures()
{
    const ReplayReport report =
        replay(parse(u"A:REF(C,-1); B:BACKSET(C>REF(C,1),4); W:C#WEEK;"_s), bars(), {});
    // Every cut changes its newest bar, and nothing older.
    const OutputReplay &a = report.outputs[0];
    QCOMPARE(std::size_t(a.cutsRewritten), report.cuts.size());
    QCOMPARE(a.farthestBack, 0);
    QVERIFY(std::isnan(a.first.before));
    QCOMPARE(a.first.after, bars().close[std::size_t(a.first.cut) + 1]);
    // BACKSET(X,4) reaches two bars behind the newest bar of a cut.
    QCOMPARE(report.outputs[1].farthestBack, 2);
    // A week is rewritten only by a cut inside it.
    const OutputReplay &w = report.outputs[2];
    QVERIFY(w.rewrites());
    QVERIFY(w.first.cutDate.dayOfWeek() < 5);
    QVERIFY(w.farthestBack <= 3);
    QCOMPARE(report.periods, QStringList{u"#WEEK"_s});
    // The chips drift only while the newest float shares are still to change (the last
    // issue is at bar 666; the first bar holds all chips whatever the shares), and the
    // facts the replay assumed are listed.
    const ReplayReport chips =
        replay(parse(u"A:WINNER(C)*(PERIOD=5)*NOT(INBLOCK('ST'));"_s), bars(), {});
    QCOMPARE(chips.outputs[0].cutsRewritten,
             int(std::count_if(chips.cuts.begin(), chips.cuts.end(),
                               [](qsizetype c) { return c > 0 && c < 666; })));
    QCOMPARE(chips.params.size(), 2u);
    QCOMPARE(chips.params[0].name, u"INBLOCK('ST')"_s);
    QVERIFY(chips.params[1].assumed && chips.params[1].value == 5.0);
}

// The cut rule as the README states it, and the bound past it: the cuts a history of any
// length costs stay linear in its bars.
void TestReplay::cutBounds_data()
{
    QTest::addColumn<qsizetype>("count");
    QTest::addColumn<qsizetype>("statements");
    QTest::addColumn<QStringList>("periods");
    QTest::addColumn<qsizetype>("exactly"); // -1: only the bound
    QTest::newRow("short formula: every bar")
        << qsizetype(1000) << qsizetype(3) << QStringList() << qsizetype(999);
    // The last 200 bars, then every 10th before them.
    QTest::newRow("long formula: every 10th")
        << qsizetype(1000) << qsizetype(50) << QStringList() << qsizetype(200 + 79);
    QTest::newRow("40,000 bars") << qsizetype(40000) << qsizetype(3) << QStringList()
                                 << qsizetype(-1);
    QTest::newRow("100,000 bars, weeks")
        << qsizetype(100000) << qsizetype(3) << QStringList{u"#WEEK"_s} << qsizetype(-1);
    QTest::newRow("3,000,000 bars")
        << qsizetype(3000000) << qsizetype(3) << QStringList{u"#MONTH"_s} << qsizetype(-1);
}

void TestReplay::cutBounds()
{
    QFETCH(qsizetype, count);
    QFETCH(qsizetype, statements);
    QFETCH(QStringList, periods);
    QFETCH(qsizetype, exactly);
    Bars b; // the cut rule reads only the dates
    b.dates.reserve(std::size_t(count));
    for (QDate d(1900, 1, 1); b.size() < count; d = d.addDays(1))
        b.dates.push_back(d);
    const ReplayOptions options;
    const std::vector<qsizetype> cuts = cutPoints(b, options, periods, statements);
    QVERIFY(std::is_sorted(cuts.begin(), cuts.end()));
    QVERIFY(std::adjacent_find(cuts.begin(), cuts.end()) == cuts.end());
    QVERIFY(!cuts.empty() && cuts.front() >= 0 && cuts.back() == count - 2);
    if (exactly >= 0) {
        QCOMPARE(qsizetype(cuts.size()), exactly);
        return;
    }
    QVERIFY(qsizetype(cuts.size()) <= options.maxCuts);
    // A spread cut and a period end may fall on one bar.
    QVERIFY(qsizetype(cuts.size()) >= options.minCuts - 2);
    const qint64 evaluated = std::accumulate(cuts.begin(), cuts.end(), qint64(0),
                                             [](qint64 sum, qsizetype c) { return sum + c + 1; });
    QVERIFY2(evaluated <= std::max(options.barBudget, qint64(options.minCuts) * count),
             qPrintable(QString::number(evaluated)));
    // Cuts reach back over the whole history, not just its end.
    QVERIFY(cuts.front() < count / 10);
}

// A frame drawn must reach the terminal then, not wait in a buffer until the report is out.
void TestReplay::progressFramesLeaveAtOnce()
{
#ifdef Q_OS_UNIX
    int fds[2];
    QVERIFY(::pipe(fds) == 0);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    QFile err;
    QVERIFY(err.open(fds[1], QIODevice::WriteOnly, QFileDevice::AutoCloseHandle));
    char got[256];
    {
        morvane::ProgressBar bar(err, u"回放截断点"_s);
        bar.show(1, 4);
        const auto n = ::read(fds[0], got, sizeof got); // the bar still drawing
        QVERIFY2(n > 0, "the first frame stayed in the buffer");
        QVERIFY(QByteArray(got, qsizetype(n)).contains("1/4"));
    }
    const auto n = ::read(fds[0], got, sizeof got);
    QVERIFY2(n > 0 && QByteArray(got, qsizetype(n)).contains("\x1b[K"), "the wipe did not leave");
    ::close(fds[0]);
#else
    QSKIP("a pipe's ends are POSIX here");
#endif
}

void TestReplay::progressAndCancel()
{
    const Program program = parse(u"A:ZIG(3,5);"_s);
    ReplayOptions options;
    qsizetype calls = 0, lastTotal = 0;
    options.progress = [&](qsizetype done, qsizetype total) {
        ++calls;
        lastTotal = total;
        return done < 3;
    };
    const ReplayReport report = replay(program, bars(), options);
    QVERIFY(report.cancelled);
    QCOMPARE(calls, 4);
    QCOMPARE(lastTotal, qsizetype(report.cuts.size()));
    QVERIFY(report.outputs[0].cutsRewritten <= 3);
    options.progress = [&](qsizetype, qsizetype) { return true; };
    QVERIFY(!replay(program, bars(), options).cancelled);
}

void TestReplay::command_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QByteArray>("barsCsv"); // empty: the built-in bars
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("saying");
    QTest::newRow("stable") << u"MA5:MA(C,N);"_s << QByteArray() << 0 << u"参数假设：N=5"_s;
    QTest::newRow("rewrites") << u"Z:ZIG(3,5);"_s << QByteArray() << 1 << u"Z：改写历史"_s;
    QTest::newRow("plug-in") << u"W:TDXDLL1(1,C,0,0);"_s << QByteArray() << 3
                             << u"无法计算：TDXDLL1"_s;
    QTest::newRow("bad bars") << u"A:C;"_s
                              << QByteArray("2024-01-02,1,2,0.5,1\n2024-01-01,1,2,1,1\n") << 2
                              << u"bars.csv：第 2 行"_s;
}

void TestReplay::command()
{
    QFETCH(QString, formula);
    QFETCH(QByteArray, barsCsv);
    QFETCH(int, status);
    QFETCH(QString, saying);
    const QString barsPath = QDir::temp().filePath(u"bars.csv"_s);
    if (!barsCsv.isEmpty()) {
        QFile f(barsPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(barsCsv);
    }
    QBuffer in, out, err;
    in.setData(formula.toUtf8());
    QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly) &&
            err.open(QIODevice::WriteOnly));
    morvane::Options options;
    options.inputs = QStringList{u"-"_s};
    options.bars = barsCsv.isEmpty() ? QString() : barsPath;
    const int got = morvane::runReplayCommand(options, in, out, err);
    QCOMPARE(got, status);
    const QString said = QString::fromUtf8(out.data() + err.data());
    QVERIFY2(said.contains(saying), qPrintable(said));
}

// The corpus figures go to the log; only the hard guarantee is asserted: no formula whose
// labels name no future function is said to rewrite history.
void TestReplay::corpus()
{
    const QString dir = QStringLiteral(MORVANE_TEST_DATA) + u"/formulas/"_s;
    QFile tsv(dir + u"corpus.tsv"_s);
    if (!tsv.open(QIODevice::ReadOnly))
        QSKIP("no corpus");
    const QStringList rows = QString::fromUtf8(tsv.readAll()).split(u'\n', Qt::SkipEmptyParts);
    const QStringList futureNames = {u"ZIG"_s,        u"PEAK"_s,    u"PEAKBARS"_s, u"TROUGH"_s,
                                     u"TROUGHBARS"_s, u"BACKSET"_s, u"XMA"_s,      u"FFT"_s,
                                     u"REFX"_s,       u"REFXV"_s,   u"BARSNEXT"_s, u"DHIGH"_s};
    int total = 0, full = 0, outputs = 0, checked = 0;
    QMap<QString, int> missing;
    for (qsizetype r = 1; r < rows.size(); ++r) {
        const QStringList f = rows[r].split(u'\t');
        QFile file(dir + f[0]);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(f[0]));
        const ReplayReport report = replay(parse(QString::fromUtf8(file.readAll())), bars(), {});
        ++total;
        full += report.allChecked() && !report.outputs.empty() ? 1 : 0;
        outputs += int(report.outputs.size());
        checked += int(std::count_if(report.outputs.begin(), report.outputs.end(),
                                     [](const OutputReplay &o) { return o.checked; }));
        for (const QString &m : report.missing)
            ++missing[m];
        const QStringList labels = f.value(1).split(u' ', Qt::SkipEmptyParts);
        const bool future = std::any_of(labels.begin(), labels.end(), [&](const QString &l) {
            return futureNames.contains(l) || l.startsWith(u"DHIGH") || l == u"REF-"_s;
        });
        if (future)
            qInfo("%s labelled %s: %s", qPrintable(f[0]), qPrintable(f[1]),
                  report.anyRewrites() ? "rewrites history"
                  : report.allChecked()
                      ? "stable on the built-in bars"
                      : qPrintable(u"not all checked, missing "_s + report.missing.join(u' ')));
        // Latest-data labels (CAPITAL, DYNAINFO, ISLASTBAR…) may rewrite; an unlabelled one may
        // not.
        if (labels.isEmpty() || labels == QStringList{u"-"_s})
            QVERIFY2(!report.anyRewrites(), qPrintable(f[0]));
    }
    qInfo("replayed fully: %d of %d formulas; outputs checked: %d of %d", full, total, checked,
          outputs);
    QList<std::pair<int, QString>> byCount;
    for (auto it = missing.begin(); it != missing.end(); ++it)
        byCount.append({-it.value(), it.key()});
    std::sort(byCount.begin(), byCount.end());
    for (const auto &[count, name] : std::as_const(byCount))
        qInfo("missing %s in %d", qPrintable(name), -count);
}

// Taking the causal parts of each cut from the whole history changes no figure of any
// corpus formula against evaluating every cut afresh: a pattern, a ZIG, weeks, the newest bar.
void TestReplay::shortcutKeepsVerdicts()
{
    const QString dir = QStringLiteral(MORVANE_TEST_DATA) + u"/formulas/"_s;
    QStringList files = QDir(dir).entryList({u"*.txt"_s}, QDir::Files, QDir::Name);
    QVERIFY(files.size() > 50);
    const Bars head = bars().head(400);
    ReplayOptions fresh, sampled; // the same cuts (every cut is tst_tails's)
    fresh.reuse = false;
    sampled.everyCut = false;
    int rewriting = 0;
    for (const QString &name : std::as_const(files)) {
        QFile file(dir + name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const Program program = parse(QString::fromUtf8(file.readAll()));
        const ReplayReport got = replay(program, head, sampled);
        const ReplayReport want = replay(program, head, fresh);
        QCOMPARE(got.cuts, want.cuts);
        QCOMPARE(got.outputs.size(), want.outputs.size());
        for (std::size_t k = 0; k < want.outputs.size(); ++k) {
            const OutputReplay &g = got.outputs[k], &w = want.outputs[k];
            const QByteArray where = (name + u" output "_s + QString::number(k)).toUtf8();
            QVERIFY2(g.checked == w.checked && g.cutsRewritten == w.cutsRewritten &&
                         g.farthestBack == w.farthestBack && g.first.bar == w.first.bar &&
                         g.first.cut == w.first.cut && g.first.channel == w.first.channel,
                     where.constData());
            QVERIFY2(std::isnan(g.first.before) == std::isnan(w.first.before) &&
                         (std::isnan(w.first.before) || g.first.before == w.first.before),
                     where.constData());
            rewriting += w.rewrites() ? 1 : 0;
        }
    }
    QVERIFY(rewriting > 10);
}

QTEST_GUILESS_MAIN(TestReplay)
#include "tst_replay.moc"
