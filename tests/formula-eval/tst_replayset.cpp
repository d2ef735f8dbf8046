// A formula over many securities: every file counted once with its outcome, a cancelled run
// that says so, and the same answer for any number of threads.
#include "parser.h"
#include "replayset.h"
#include "testfiles.h"

#include <QTemporaryDir>
#include <QTest>

#include <cmath>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

// Sixty trading rows of a wave, so that ZIG has turns to move.
QByteArray goodCsv(int phase)
{
    QByteArray csv = "date,open,high,low,close\n";
    const QDate start(2024, 1, 1);
    for (int i = 0; i < 60; ++i) {
        const double close = 10 + 2 * std::sin((i + phase) / 5.0);
        csv += start.addDays(i).toString(Qt::ISODate).toLatin1() + ',' + QByteArray::number(close) +
               ',' + QByteArray::number(close + 0.5) + ',' + QByteArray::number(close - 0.5) + ',' +
               QByteArray::number(close) + '\n';
    }
    return csv;
}

// "kind:name" files into dir: good, twin (all alike), bad (dates backwards), notes (no bars),
// locked, pipe.
bool makeFiles(const QString &dir, const QStringList &files)
{
    for (const QString &spec : files) {
        const QString kind = spec.section(u':', 0, 0), name = spec.section(u':', 1);
        const QString path = dir + u'/' + name;
        if (kind == u"pipe") {
#ifdef Q_OS_UNIX
            if (::mkfifo(QFile::encodeName(path).constData(), 0600) != 0)
                return false;
#endif
            continue;
        }
        writeBytes(path, kind == u"bad"     ? "2024-01-03,10,11,9,10.5\n2024-01-02,10,11,9,10.5\n"
                         : kind == u"notes" ? "bought at 10.5, sell at 12\n"
                                            : goodCsv(kind == u"twin" ? 7 : int(qHash(name) % 50)));
#ifdef Q_OS_UNIX
        if (kind == u"locked" && ::chmod(QFile::encodeName(path).constData(), 0) != 0)
            return false;
#endif
    }
    return true;
}

QString outcome(const SecurityResult &r)
{
    switch (r.refusal.problem) {
    case BarsProblem::None:
        return u"replayed"_s;
    case BarsProblem::Denied:
        return u"denied"_s;
    case BarsProblem::NotRegular:
        return u"not regular"_s;
    default:
        return u"refused"_s; // by content: the readers' own tests say how
    }
}

const Program &formula()
{
    static const Program p = parse(u"Z:ZIG(3,5);M:MA(C,5);X:CROSS(C,1E9);W:FOO(C);"_s);
    return p;
}

// Signals whose returns are summed over the securities: a ZIG trough and a causal cross.
const Program &signalFormula()
{
    static const Program p = parse(u"Z:=ZIG(3,5);T:Z>REF(Z,1) AND REF(Z,1)<REF(Z,2);"
                                   "J:CROSS(MA(C,5),MA(C,10));"_s);
    return p;
}

ReplaySetOptions quick()
{
    ReplaySetOptions o;
    o.replay.maxCuts = 40;
    return o;
}

} // namespace

class TestReplaySet : public QObject
{
    Q_OBJECT

private slots:
    void everyFileOnce_data();
    void everyFileOnce();
    void cancelled_data();
    void cancelled();
    void sameForAnyThreads_data();
    void sameForAnyThreads();
};

void TestReplaySet::everyFileOnce_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expected"); // "name=outcome", in the folder's order
    QTest::newRow("good, malformed and not bars")
        << QStringList{u"good:a.csv"_s, u"bad:b.csv"_s, u"notes:c.txt"_s, u"good:d.csv"_s,
                       u"notes:readme.md"_s}
        << QStringList{u"a.csv=replayed"_s, u"b.csv=refused"_s, u"c.txt=refused"_s,
                       u"d.csv=replayed"_s};
    QTest::newRow("nothing readable") << QStringList{u"bad:b.csv"_s, u"notes:c.txt"_s}
                                      << QStringList{u"b.csv=refused"_s, u"c.txt=refused"_s};
#ifdef Q_OS_UNIX
    QTest::newRow("a pipe") << QStringList{u"pipe:p.csv"_s, u"good:q.csv"_s}
                            << QStringList{u"p.csv=not regular"_s, u"q.csv=replayed"_s};
    QTest::newRow("unreadable") << QStringList{u"locked:l.csv"_s, u"good:m.csv"_s}
                                << QStringList{u"l.csv=denied"_s, u"m.csv=replayed"_s};
#endif
}

void TestReplaySet::everyFileOnce()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, expected);
#ifdef Q_OS_UNIX
    if (files.contains(u"locked:l.csv"_s) && ::geteuid() == 0)
        QSKIP("running as root: every file is readable");
#endif
    QTemporaryDir dir;
    QVERIFY(makeFiles(dir.path(), files));
    ReplaySetOptions options = quick();
    options.keepReports = true;
    qsizetype calls = 0, lastDone = 0;
    options.finished = [&](const SecurityResult &) { ++calls; };
    options.progress = [&](qsizetype done, qsizetype) {
        lastDone = done;
        return true;
    };
    const ReplayUniverse universe = ReplayUniverse::ofFolder(dir.path());
    const ReplaySetResult got = replaySet(formula(), universe, options);

    QMap<qsizetype, QString> seen; // by index
    for (const auto *list : {&got.securities, &got.refused})
        for (const SecurityResult &r : *list) {
            QVERIFY2(!seen.contains(r.index), qPrintable(r.file)); // each file once
            seen.insert(r.index, r.file.sliced(dir.path().size() + 1) + u'=' + outcome(r));
        }
    QCOMPARE(seen.values(), expected);
    QCOMPARE(got.total, expected.size());
    QCOMPARE(got.replayed + qsizetype(got.refused.size()), got.total);
    QCOMPARE(got.notRun(), qsizetype(0));
    QVERIFY(!got.cancelled);
    QCOMPARE(calls, got.total);
    QCOMPARE(lastDone, got.total);
    // The aggregate counts each replayed security once per output.
    if (got.replayed > 0) {
        QCOMPARE(got.tallies.size(), std::size_t(4));
        const OutputTally &ma = got.tallies[1], &never = got.tallies[2], &foo = got.tallies[3];
        QCOMPARE(ma.checkedOn, int(got.replayed));
        QCOMPARE(never.neverSignalsOn, int(got.replayed));
        QCOMPARE(foo.missing, QStringList{u"FOO"_s});
        QCOMPARE(got.tallies[0].rewritesOn, int(got.replayed));
    }
    QVERIFY(!got.allChecked()); // files refused, an output never fires, another not computed
}

void TestReplaySet::cancelled_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<qsizetype>("replayed");
    QTest::newRow("progress says stop after one") << u"progress"_s << qsizetype(1);
    QTest::newRow("flag set before the start") << u"flag before"_s << qsizetype(0);
    QTest::newRow("flag set in the middle of a security") << u"flag at cut"_s << qsizetype(0);
    QTest::newRow("flag set as one finishes") << u"flag after"_s << qsizetype(1);
}

void TestReplaySet::cancelled()
{
    QFETCH(QString, how);
    QFETCH(qsizetype, replayed);
    std::atomic_bool cancel{how == u"flag before"};
    ReplaySetOptions options = quick();
    options.threads = 1; // how far it got is then exact
    options.cancel = &cancel;
    if (how == u"progress")
        options.progress = [](qsizetype done, qsizetype) { return done < 1; };
    if (how == u"flag after")
        options.finished = [&](const SecurityResult &) { cancel = true; };
    const ReplayUniverse universe = ReplayUniverse::builtin();
    ReplaySetResult got;
    if (how == u"flag at cut") { // one security, the flag raised at its tenth cut
        options.replay.progress = [&](qsizetype cut, qsizetype) {
            if (cut == 10)
                cancel = true;
            return true;
        };
        got = replaySet(formula(), ReplayUniverse::ofBars(universe.held[0]), options);
    } else {
        got = replaySet(formula(), universe, options);
    }
    QVERIFY(got.cancelled);
    QCOMPARE(got.replayed, replayed);
    QVERIFY(got.notRun() > 0);
    QCOMPARE(got.replayed + qsizetype(got.refused.size()) + got.notRun(), got.total);
    QVERIFY(!got.allChecked());
}

void TestReplaySet::sameForAnyThreads_data()
{
    QTest::addColumn<bool>("folder");
    QTest::newRow("built-in securities") << false;
    QTest::newRow("a folder with refusals") << true;
}

void TestReplaySet::sameForAnyThreads()
{
    QFETCH(bool, folder);
    QTemporaryDir dir;
    // Twins tie for the worst: the first in order must win, not the first to finish.
    QVERIFY(makeFiles(dir.path(), {u"twin:a.csv"_s, u"bad:b.csv"_s, u"good:c.csv"_s,
                                   u"notes:d.txt"_s, u"twin:e.csv"_s, u"twin:f.csv"_s}));
    const ReplayUniverse universe =
        folder ? ReplayUniverse::ofFolder(dir.path()) : ReplayUniverse::builtin();
    // Every figure a report draws on, flattened to compare.
    const auto figures = [&](int threads, const Program &program) {
        ReplaySetOptions options = quick();
        options.threads = threads;
        const ReplaySetResult r = replaySet(program, universe, options);
        QStringList out{QString::number(r.replayed), QString::number(r.maxCuts),
                        r.missing.join(u',')};
        for (const SecurityResult &s : r.refused)
            out << s.file;
        for (const OutputTally &t : r.tallies)
            out << u"%1 %2 %3 %4 %5 %6 %7 %8 %9"_s.arg(t.checkedOn)
                       .arg(t.rewritesOn)
                       .arg(t.neverSignalsOn)
                       .arg(t.worstIndex)
                       .arg(t.worstCuts)
                       .arg(t.worst.cutsRewritten)
                       .arg(t.worst.farthestBack)
                       .arg(t.worst.first.bar)
                       .arg(t.missing.join(u','));
        for (const OutputTally &t : r.tallies) {
            if (!t.scorecard)
                continue;
            // Every digit: sums added in whatever order the threads finish differ in the last.
            for (const SignalOutcome *o : {&t.scorecard->hindsight, &t.scorecard->live})
                out << u"%1 %2 %3"_s.arg(o->withOutcome).arg(o->wins).arg(o->sumReturn, 0, 'g', 17);
        }
        return out;
    };
    for (const Program *program : {&formula(), &signalFormula()}) {
        const QStringList one = figures(1, *program);
        QVERIFY(one.size() > 3);
        for (int round = 0; round < 3; ++round)
            for (const int threads : {2, 3, 8})
                QCOMPARE(figures(threads, *program), one);
    }
}

QTEST_GUILESS_MAIN(TestReplaySet)
#include "tst_replayset.moc"
