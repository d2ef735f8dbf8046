// The replay at every bar through its tails, held to the plain evaluation of each shorter
// history, bit for bit; its work, counted, stays linear in the bars.
#include "builtin.h"
#include "parser.h"
#include "replay.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

using Sz = std::size_t;
constexpr qsizetype kBars = 240;

QString corpusDir()
{
    return QStringLiteral(MORVANE_TEST_DATA) + u"/formulas/"_s;
}

// The same bits, NaN matching NaN.
bool identical(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// A built-in security's first bars, or the same bars with empty stretches: days with no
// price at all, and a stretch where only the volume is missing.
Bars barsFor(int which)
{
    const std::vector<Security> all = builtinSecurities();
    Bars b = all[Sz(which % 3)].bars.head(kBars);
    if (which < 3)
        return b;
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    for (Sz i = 0; i < b.dates.size(); ++i) {
        const bool gap = (i >= 30 && i < 37) || (i >= 150 && i < 152) || i == 200;
        if (gap)
            b.open[i] = b.high[i] = b.low[i] = b.close[i] = b.volume[i] = b.amount[i] = nan;
        if (i >= 90 && i < 100)
            b.volume[i] = nan;
    }
    return b;
}

// Formulas written for the tails: each kind of node, alone and chained after a look-ahead.
const std::pair<const char *, const char *> kWritten[] = {
    {"zig", "Z:ZIG(3,5);P:PEAK(3,5,1);T:TROUGHBARS(2,5,2);PB:PEAKBARS(1,8,1);"},
    {"zig of a series", "M:=MA(C,3);Z:ZIG(M,4);T:TROUGH(M,4,1);"},
    {"zig chained", "Z:=ZIG(3,5);A:MA(Z,5);E:EMA(Z,12);S:SMA(Z,6,1);X:CROSS(Z,MA(C,10));"
                    "B:BARSLAST(Z>REF(Z,1));V:VALUEWHEN(Z<REF(Z,1),C);H:HHV(Z,10)-LLV(Z,10);"
                    "K:COUNT(Z>REF(Z,1),5);D:DMA(Z,0.2);"},
    {"zig into zig", "Z:=ZIG(3,5);Y:ZIG(Z,2);P:PEAK(Z,2,1);"},
    {"look-ahead references", "A:REF(C,-2);B:REFX(H,3);X:REFXV(L,2);D:REFX(C,0)+REF(C,-1);"},
    {"backset", "S:=C>REF(C,1)*1.02;B:BACKSET(S,3);D:BACKSET(S,1)+BACKSET(CROSS(C,MA(C,5)),6);"},
    {"centred", "X:XMA(C,9);Y:XMA(C,4);"},
    {"last bar", "A:ISLASTBAR;B:IF(ISLASTBAR,C,MA(C,5));"},
    {"drawings", "Z:=ZIG(3,6);STICKLINE(Z>REF(Z,1),Z,C,1,0);DRAWTEXT(CROSS(C,Z),L,'b');"
                 "DRAWICON(PEAKBARS(3,6,1)=0,H,1);"},
    {"sums over empty bars", "Z:ZIG(3,5);F:SUM(Z,4);M:SUM(C/3,3);"},
    {"filters", "Z:=ZIG(3,5);A:FILTER(Z>REF(Z,1),3);B:COUNT(Z<REF(Z,1),0);"},
    {"counts", "Z:=ZIG(3,5);A:BARSLASTCOUNT(Z>REF(Z,1));B:BARSSINCE(Z<REF(Z,1));"
               "D:BARSCOUNT(REFX(C,2));E:STD(Z,5);F:SUM(Z,4);G:WMA(Z,4);"},
    // N from the look-ahead itself, so that a cut's N differs from the whole history's.
    {"per-bar windows", "Z:=ZIG(3,5);U:=Z>REF(Z,1);N:=REF(BARSLAST(U),1)+1;A:COUNT(U,N);"
                        "B:HHV(Z,N);D:LLVBARS(IF(U,L,10000),N);E:SUM(Z,N);F:MA(C,N);"
                        "G:HHVBARS(Z,N)+LLV(C,N);"},
    // N of 0 (from the first bar), NaN on empty bars and before a signal, fractions cut
    // off, and reaching before the first bar.
    {"per-bar N of 0, NaN, fractions", "Z:=ZIG(3,5);U:=Z>REF(Z,1);N:=IF(U,0,BARSLAST(U)*1.7);"
                                       "A:COUNT(U,N);B:HHV(Z,N);D:LLVBARS(Z,N);E:SUM(Z,N);"
                                       "F:COUNT(U,C/C*BARSLAST(U)+0.5);G:SUM(Z,BARSCOUNT(C)+3);"
                                       "H:MA(Z,N-2.5);"},
    {"per-bar windows of every shape",
     "Z:=ZIG(3,5);U:=Z>REF(Z,1);N:=REF(BARSLAST(U),1)+2;A:EXIST(U,N);B:EVERY(U,N);D:STD(Z,N);"
     "E:SLOPE(Z,N);F:FORCAST(Z,N);G:WMA(Z,N);H:VAR(Z,N)+DEVSQ(Z,N);I:COVAR(Z,C,N);"
     "J:RELATE(Z,C,N);K:LONGCROSS(Z,MA(C,5),N-1);M:UPNDAY(Z,N)+DOWNNDAY(Z,N);"
     "P:NDAY(Z,C,N);Q:BARSSINCEN(U,N);R:MULAR(Z/C,N);S:STDP(Z,N)+VARP(Z,N);"},
    {"per-bar offsets", "Z:=ZIG(3,5);U:=Z>REF(Z,1);A:REF(C,BARSLAST(U));B:REF(Z,BARSLAST(U)+1);"
                        "D:REFV(Z,BARSLAST(U)*1.7);E:REF(Z,C/C*BARSCOUNT(C)*(Z>REF(Z,2)));"},
    {"per-bar backsets", "Z:=ZIG(3,5);HD:=Z>REF(Z,1);A:BACKSET(ISLASTBAR,BARSLAST(HD)+1);"
                         "B:BACKSET(HD,BARSLAST(C<O)+1);D:BACKSET(C>O,REF(BARSLAST(HD),1)+2);"
                         "E:BACKSET(HD,IF(C>O,-2,0.5+BARSLAST(C>REF(C,3))));"
                         "F:BACKSET(C>REF(C,1),Z/C*BARSCOUNT(C));"},
    // Operators computed inside the one that reads them (not B, read three times), shifts
    // read in place, the newest bar named twice.
    {"operators and shifts", "Z:=ZIG(3,5);U:=Z>REF(Z,1);A:(U AND NOT(C>O OR ISLASTBAR))+-Z*2/(H-L);"
                             "B:=Z-REF(Z,2);D:B*B+B;E:REF(Z,3)+REFV(Z,2)+REF(U,1)*ISLASTBAR;"},
    // The trace keeps none of these operands and one copy of H and of L (tst_causal).
    {"operands and prices kept once", "Z:=ZIG(3,5);A:(Z>REF(Z,1) AND Z>C) OR ISLASTBAR;"
                                      "B:ISLASTBAR OR Z<C;D:IF(Z>H,H,L)+IF(Z<H,H,L);"},
    // ISLASTBAR read where a count is, as N of a BACKSET and of a window.
    {"the newest bar as a count", "A:BACKSET(C>O,ISLASTBAR);B:COUNT(C>O,ISLASTBAR);"
                                  "D:BACKSET(ISLASTBAR,ISLASTBAR+1);E:REF(C,ISLASTBAR);"},
    {"drawings written over", "Z:=ZIG(3,6);PARTLINE(Z,Z>REF(Z,1));VERTLINE(CROSS(Z,C)*Z);"
                              "DRAWLINE(Z>REF(Z,1),H,Z<REF(Z,1),L,1);DRAWBAND(Z,0,C,0);"},
    // Recursions resumed from their own values inside a tail of zeros and empty bars, which
    // the cut before left (L sets back to the latest turn at every cut).
    {"recursions resumed in their tails",
     "Z:=ZIG(3,5);U:=Z>REF(Z,1);L:=BACKSET(ISLASTBAR,BARSLAST(U)+1);A:FILTER(L,4);"
     "B:COUNT(L,0);D:BARSLASTCOUNT(L);E:VALUEWHEN(L,C);G:SMA(IF(L,C,DRAWNULL),5,1);"
     "H:BARSSINCE(L AND C>O);K:COUNT(IF(L,DRAWNULL,1),0);"},
};

} // namespace

class TestTails : public QObject
{
    Q_OBJECT

private slots:
    void sameAsEachShorterHistory_data();
    void sameAsEachShorterHistory();
    void linearWork_data();
    void linearWork();
    void fallsBack_data();
    void fallsBack();
    void cutsInOrder();
};

void TestTails::sameAsEachShorterHistory_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("bars");
    QStringList files = QDir(corpusDir()).entryList({u"*.txt"_s}, QDir::Files, QDir::Name);
    for (const QString &name : std::as_const(files)) {
        QFile f(corpusDir() + name);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(f.readAll());
        for (int b : {0, 3})
            QTest::addRow("%s/%d", qPrintable(name), b) << text << b;
    }
    for (const auto &[name, text] : kWritten)
        for (int b : {0, 1, 2, 3, 4})
            QTest::addRow("%s/%d", name, b) << QString::fromUtf8(text) << b;
}

#if defined(__SANITIZE_ADDRESS__)
// Under the sanitizers the engine still takes every cut, and its memory is what they watch;
// the plain run beside every fourth cut (and the newest) keeps the suite within its time.
constexpr Sz kBruteStride = 4;
#else
constexpr Sz kBruteStride = 1;
#endif

// Every cut's values, the whole history's with the cut's changes written over them, are the
// plain evaluation of that shorter history, and `live` holds each cut's newest value.
void TestTails::sameAsEachShorterHistory()
{
    QFETCH(QString, text);
    QFETCH(int, bars);
    const Program program = parse(text);
    const Bars b = barsFor(bars);
    ReplayOptions options;
    options.tolerance = 0;
    std::vector<std::vector<CutChange>> seen;
    options.onCut = [&](qsizetype, const std::vector<CutChange> &changes) {
        seen.push_back(changes);
    };
    const ReplayReport report = replay(program, b, options);
    if (!report.linear)
        QSKIP(qPrintable(u"falls back: "_s + report.fallback.function));
    QCOMPARE(seen.size(), Sz(b.size() - 1));
    const Evaluator evaluator(program);
    for (Sz c = 0; c + 1 < Sz(b.size()); ++c) {
        if (c % kBruteStride != 0 && c + 2 < Sz(b.size()))
            continue;
        const Evaluation brute = evaluator.run(b.head(qsizetype(c) + 1));
        std::vector<std::vector<Series>> expected; // the whole history's, cut's changes over it
        for (const OutputReplay &o : report.outputs) {
            expected.emplace_back();
            for (const Series &ch : o.line.channels)
                expected.back().emplace_back(ch.begin(), ch.begin() + std::ptrdiff_t(c + 1));
        }
        for (const CutChange &change : seen[c]) {
            QVERIFY(change.bar <= qsizetype(c));
            expected[Sz(change.output)][Sz(change.channel)][Sz(change.bar)] = change.then;
        }
        for (Sz k = 0; k < report.outputs.size(); ++k) {
            const OutputReplay &o = report.outputs[k];
            if (!o.checked)
                continue;
            const OutputLine &line = brute.outputs[k];
            QVERIFY(line.ok());
            QCOMPARE(line.channels.size(), expected[k].size());
            for (Sz ch = 0; ch < line.channels.size(); ++ch) {
                for (Sz i = 0; i <= c; ++i)
                    QVERIFY2(
                        identical(line.channels[ch][i], expected[k][ch][i]),
                        qPrintable(u"output %1 channel %2 bar %3 at cut %4: %5, tails %6"_s.arg(k)
                                       .arg(ch)
                                       .arg(i)
                                       .arg(c)
                                       .arg(line.channels[ch][i], 0, 'g', 17)
                                       .arg(expected[k][ch][i], 0, 'g', 17)));
                QVERIFY(identical(o.live[ch][c], line.channels[ch][c]));
            }
        }
    }
    // Heard by no one, each cut tells 定型于 only what changed since the cut before: the same
    // tally as every change gives, and the same rewrites.
    options.onCut = {};
    options.keepFinalFrom = true;
    const ReplayReport quiet = replay(program, b, options);
    for (Sz k = 0; k < report.outputs.size(); ++k) {
        const OutputReplay &o = report.outputs[k];
        if (!o.checked)
            continue;
        FinalTally every(b.size());
        for (Sz c = 0; c < seen.size(); ++c)
            for (const CutChange &change : seen[c])
                if (Sz(change.output) == k)
                    every.changed(qsizetype(c), change.bar);
        QCOMPARE(quiet.outputs[k].finalFrom, every.finish(o.causal));
        QCOMPARE(quiet.outputs[k].cutsRewritten, o.cutsRewritten);
        QCOMPARE(quiet.outputs[k].first.bar, o.first.bar);
        QCOMPARE(quiet.outputs[k].farthestBack, o.farthestBack);
    }
}

void TestTails::linearWork_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("perBar"); // bars computed per bar of history, at most
    for (const char *name :
         {"009-hq-xt-box.txt", "052-fft-signal-v5.txt", "010-hq-cyx-support-pressure.txt"}) {
        QFile f(corpusDir() + QString::fromLatin1(name));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QTest::newRow(name) << QString::fromUtf8(f.readAll()) << qint64(400);
    }
    QTest::newRow("windows as long as the bars since a signal")
        << u"Z:=ZIG(3,5);H1:=Z>REF(Z,1);X1:=REF(BARSLAST(H1),1)+1;A:COUNT(H1,X1);"
           "B:LLVBARS(IF(H1,L,10000),X1);D:BACKSET(H1,X1);E:BACKSET(ISLASTBAR,BARSLAST(H1)+1);"_s
        << qint64(400);
    // A shift past what a look-ahead changes stays the whole history's: ISLASTBAR and BACKSET
    // compute some 8 bars a cut, the shifts none (recomputed, they would add 15).
    QTest::newRow("shifts past a look-ahead's reach")
        << u"A:=BACKSET(ISLASTBAR,3);B:REF(A,3)+REFV(A,4);"_s << qint64(10);
}

// 20,000 bars, every one a cut: a quadratic replay would compute some 2·10⁸ bars a node.
void TestTails::linearWork()
{
    QFETCH(QString, text);
    QFETCH(qint64, perBar);
    const Bars b = builtinBars(20000);
    const ReplayReport report = replay(parse(text), b, {});
    QVERIFY(report.linear);
    QCOMPARE(report.cuts.size(), Sz(b.size() - 1));
    qInfo("%lld bars computed, %.1f a bar", report.barsEvaluated,
          double(report.barsEvaluated) / double(b.size()));
    QVERIFY(report.barsEvaluated > 0);
    QVERIFY(report.barsEvaluated <= perBar * b.size());
}

void TestTails::fallsBack_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("why");
    QTest::addColumn<QString>("function");
    QTest::newRow("per-bar offset")
        << u"N:=BARSLAST(C>O);A:REFX(C,N);"_s << int(FallbackWhy::PerBarOffset) << u"REFX"_s;
    QTest::newRow("per-bar offset turning negative")
        << u"Z:=ZIG(3,5);A:REF(C,BARSLAST(Z>REF(Z,1))-2);"_s << int(FallbackWhy::PerBarOffset)
        << u"REF"_s;
    QTest::newRow("newest bar everywhere")
        << u"A:CONST(C);"_s << int(FallbackWhy::Unbounded) << u"CONST"_s;
    QTest::newRow("forming period") << u"A:C#WEEK;"_s << int(FallbackWhy::Unbounded) << u"C#WEEK"_s;
    QTest::newRow("per-bar windows longer than the sampled cuts' bound")
        << u"Z:=ZIG(3,5);A:HHV(Z,BARSCOUNT(C)+1);"_s << int(FallbackWhy::PerBarReach) << u"HHV"_s;
    QTest::newRow("per-bar backset setting back to the first bar")
        << u"A:BACKSET(C>O,BARSCOUNT(C));"_s << int(FallbackWhy::PerBarReach) << u"BACKSET"_s;
    QTest::newRow("whole windows after a look-ahead")
        << u"A:HHV(REFX(C,1),0);"_s << int(FallbackWhy::Unbounded) << u"HHV"_s;
}

// What the tails cannot bound falls back to the sampled cuts, saying why as data.
void TestTails::fallsBack()
{
    QFETCH(QString, text);
    QFETCH(int, why);
    QFETCH(QString, function);
    const Bars b = builtinBars(6000); // past the bound a per-bar window's n²/2 bars would cost
    const ReplayReport report = replay(parse(text), b, {});
    QVERIFY(!report.linear);
    QCOMPARE(int(report.fallback.why), why);
    QCOMPARE(report.fallback.function, function);
    QVERIFY(report.cuts.size() < Sz(b.size() - 1));
    // Live values only at the cuts and the newest bar.
    const OutputReplay &o = report.outputs.front();
    const Series &live = o.live.front();
    QVERIFY(identical(live.back(), o.line.channels.front().back()));
    for (Sz i = 0; i + 1 < live.size(); ++i)
        if (!std::binary_search(report.cuts.begin(), report.cuts.end(), qsizetype(i)))
            QVERIFY(std::isnan(live[i]));
}

// onCut once per cut, in order; progress can stop it; a formula with no look-ahead computes
// nothing at its cuts.
void TestTails::cutsInOrder()
{
    const Bars b = builtinBars(500);
    ReplayOptions options;
    std::vector<qsizetype> cuts;
    options.onCut = [&](qsizetype cut, const std::vector<CutChange> &) { cuts.push_back(cut); };
    const ReplayReport zig = replay(parse(u"Z:ZIG(3,5);"_s), b, options);
    QVERIFY(zig.linear);
    QCOMPARE(cuts, zig.cuts);
    QCOMPARE(cuts.size(), Sz(499));
    QVERIFY(zig.outputs.front().rewrites());

    options.onCut = {};
    options.progress = [](qsizetype done, qsizetype) { return done < 100; };
    const ReplayReport stopped = replay(parse(u"Z:ZIG(3,5);"_s), b, options);
    QVERIFY(stopped.cancelled);
    QVERIFY(stopped.outputs.front().first.cut < 100);

    const ReplayReport plain = replay(parse(u"A:MA(C,5);B:EMA(C,9);"_s), b, {});
    QVERIFY(plain.linear);
    QCOMPARE(plain.barsEvaluated, qint64(0));
    QVERIFY(!plain.anyRewrites());
}

QTEST_GUILESS_MAIN(TestTails)
#include "tst_tails.moc"
