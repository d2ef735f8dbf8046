// What the replay's shortcut rests on: a function marked causal gives, on every head of the
// bars, exactly the head of its values on all of them; and a head evaluated from the whole
// history's run equals one evaluated from scratch.
#include "builtin.h"
#include "eval.h"
#include "parser.h"
#include "run_p.h"

#include <QTest>

#include <cmath>
#include <cstring>
#include <random>

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

// A seeded walk with empty stretches in each column, zeros and equal values: what the
// functions' special cases turn on. The engine's raw output only, so it is the same everywhere.
const Bars &bars()
{
    static const Bars b = [] {
        std::mt19937 rng(20240105);
        auto unit = [&rng] { return double(rng() % 1000000) / 1000000.0; };
        Bars out;
        QDate day(2023, 1, 2);
        double price = 10;
        for (int i = 0; i < 260; ++i) {
            while (day.dayOfWeek() > 5)
                day = day.addDays(1);
            out.dates.push_back(day);
            day = day.addDays(1);
            price = std::max(1.0, price * (1 + (unit() - 0.5) * 0.08));
            const double c = i % 41 == 7 ? out.close.back() : std::round(price * 100) / 100;
            const double o = std::round(price * (1 + (unit() - 0.5) * 0.02) * 100) / 100;
            out.close.push_back(c);
            out.open.push_back(o);
            out.high.push_back(std::max(o, c) + std::round(unit() * 20) / 100);
            out.low.push_back(std::min(o, c) - std::round(unit() * 20) / 100);
            out.volume.push_back(i % 53 == 0 ? 0 : std::round(unit() * 10000));
            out.amount.push_back(out.volume.back() * c);
            out.extra[u"INDEXC"_s].push_back(3000 + 100 * unit());
        }
        const double nan = qQNaN();
        for (std::size_t i = 30; i < 46; ++i)
            out.close[i] = nan;
        for (std::size_t i = 100; i < 106; ++i)
            out.open[i] = nan;
        for (std::size_t i = 180; i < 190; ++i)
            out.volume[i] = nan;
        for (std::size_t i : {3u, 77u, 150u, 151u, 259u})
            out.close[i] = nan;
        out.high[120] = out.low[121] = nan;
        return out;
    }();
    return b;
}

// Every bar count that varies per bar: 0 (the whole history) to 5, empty where C is.
const QString kPrelude = u"K:=MOD(DAY,6)+C-C;\n"_s;

bool identical(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

// The first bar, channel and output where got is not the head of full, or an empty text.
QString firstDifference(const Evaluation &got, const Evaluation &full, qsizetype count)
{
    for (std::size_t k = 0; k < full.outputs.size(); ++k) {
        const OutputLine &g = got.outputs[k], &f = full.outputs[k];
        if (g.channels.size() != f.channels.size() || g.ok() != f.ok())
            return u"output %1: channels or state differ"_s.arg(k);
        for (std::size_t c = 0; c < f.channels.size(); ++c) {
            if (qsizetype(g.channels[c].size()) != count)
                return u"output %1: %2 bars"_s.arg(k).arg(g.channels[c].size());
            for (std::size_t i = 0; i < std::size_t(count); ++i)
                if (!identical(g.channels[c][i], f.channels[c][i]))
                    return u"output %1 channel %2 bar %3 of %4: %5, all bars %6"_s.arg(k)
                        .arg(c)
                        .arg(i)
                        .arg(count)
                        .arg(g.channels[c][i], 0, 'g', 17)
                        .arg(f.channels[c][i], 0, 'g', 17);
        }
    }
    return {};
}

struct Row
{
    const char *function;
    const char16_t *formula;
};

// One row per function the registry marks causal, with the argument shapes formulas use: a
// fixed count, a per-bar one, the whole history.
const std::vector<Row> &causalRows()
{
    static const std::vector<Row> rows = [] {
        std::vector<Row> r = {
            {"REF", u"A:REF(C,3); B:REF(C,K); D:REF(C,0); E:REF(C,-0.5);"},
            {"REFV", u"A:REFV(C,3); B:REFV(C,K);"},
            {"BARSLAST", u"A:BARSLAST(C>O);"},
            {"BARSLASTCOUNT", u"A:BARSLASTCOUNT(C>O);"},
            {"BARSCOUNT", u"A:BARSCOUNT(C);"},
            {"BARSSINCE", u"A:BARSSINCE(C>O*1.01);"},
            {"FILTER", u"A:FILTER(C>O,3); B:FILTER(C>O,K);"},
            {"VALUEWHEN", u"A:VALUEWHEN(C>O,H);"},
            {"BARSSINCEN", u"A:BARSSINCEN(C>O,5); B:BARSSINCEN(C>O,K);"},
            {"TOPRANGE", u"A:TOPRANGE(C);"},
            {"LOWRANGE", u"A:LOWRANGE(C);"},
            {"MA", u"A:MA(C,5); B:MA(C,K); D:MA(C,0); E:MA(IF(C>O,1E308,C),3);"},
            {"EMA", u"A:EMA(C,12); B:EMA(C,K+1);"},
            {"EXPMA", u"A:EXPMA(C,12);"},
            {"EXPMEMA", u"A:EXPMEMA(C,5); B:EXPMEMA(C,K+1);"},
            {"SMA", u"A:SMA(C,5,1); B:SMA(C,K+2,1);"},
            {"MEMA", u"A:MEMA(C,5);"},
            {"DMA", u"A:DMA(C,0.2); B:DMA(C,V/(V+1000));"},
            {"AMA", u"A:AMA(C,0.3);"},
            {"TMA", u"A:TMA(C,0.8,0.2);"},
            {"WMA", u"A:WMA(C,5); B:WMA(C,K);"},
            {"HHV", u"A:HHV(H,5); B:HHV(H,K); D:HHV(H,0);"},
            {"LLV", u"A:LLV(L,5); B:LLV(L,K); D:LLV(L,0);"},
            {"HHVBARS", u"A:HHVBARS(C,5); B:HHVBARS(C,K);"},
            {"LLVBARS", u"A:LLVBARS(C,5); B:LLVBARS(C,0);"},
            {"SUM", u"A:SUM(V,5); B:SUM(V,K); D:SUM(V,0); E:SUM(IF(C>O,1E308,C),3);"},
            {"COUNT", u"A:COUNT(C>O,5); B:COUNT(C>O,K); D:COUNT(C>O,0);"},
            {"EVERY", u"A:EVERY(C>O,3); B:EVERY(C>O,K);"},
            {"EXIST", u"A:EXIST(C>O,3); B:EXIST(C>O,K);"},
            {"LAST", u"A:LAST(C>O,5,1); B:LAST(C>O,K,0); D:LAST(C>O,0,2);"},
            {"SUMBARS", u"A:SUMBARS(V,20000); B:SUMBARS(C-O,0.3);"},
            {"MULAR", u"A:MULAR(C/REF(C,1),5); B:MULAR(C-O,K);"},
            {"CROSS", u"A:CROSS(C,MA(C,5));"},
            {"LONGCROSS", u"A:LONGCROSS(C,O,3); B:LONGCROSS(C,O,K);"},
            {"UPNDAY", u"A:UPNDAY(C,3);"},
            {"DOWNNDAY", u"A:DOWNNDAY(C,K);"},
            {"NDAY", u"A:NDAY(C,O,3);"},
            {"IF", u"A:IF(C>O,H,L);"},
            {"IFF", u"A:IFF(C>O,H,L);"},
            {"IIF", u"A:IIF(C>O,H,L);"},
            {"IFN", u"A:IFN(C>O,H,L);"},
            {"NOT", u"A:NOT(C>O);"},
            {"BETWEEN", u"A:BETWEEN(C,O,H);"},
            {"RANGE", u"A:RANGE(C,L,H);"},
            {"STD", u"A:STD(C,5); B:STD(C,K); D:STD(C,0); E:STD(IF(C>O,1E308,C),3);"},
            {"STDP", u"A:STDP(C,5); B:STDP(C,0);"},
            {"VAR", u"A:VAR(C,5); B:VAR(C,K);"},
            {"VARP", u"A:VARP(C,5);"},
            {"DEVSQ", u"A:DEVSQ(C,5);"},
            {"COVAR", u"A:COVAR(C,O,5); B:COVAR(C,V,K);"},
            {"RELATE", u"A:RELATE(C,O,5); B:RELATE(C,V,0);"},
            {"SLOPE", u"A:SLOPE(C,5); B:SLOPE(C,K);"},
            {"FORCAST", u"A:FORCAST(C,5); B:FORCAST(C,0);"},
            {"SAR", u"A:SAR(10,2,20);"},
        };
        for (const char *f :
             {"ABS", "ROUND", "SQRT", "LN", "LOG", "EXP", "INTPART", "FRACPART", "CEILING", "FLOOR",
              "SIGN", "REVERSE", "SIN", "COS", "TAN", "ASIN", "ACOS", "ATAN"})
            r.push_back({f, u"A:%1(C-O); B:%1(C/100);"});
        for (const char *f : {"MAX", "MIN", "MOD", "POW", "ROUND2", "ZTPRICE", "DTPRICE"})
            r.push_back({f, u"A:%1(C,O); B:%1(C,2);"});
        return r;
    }();
    return rows;
}

void evaluateHeads(const QString &formula, bool expectCausal)
{
    const Program program = parse(kPrelude + formula);
    QVERIFY2(program.notes.empty(), qPrintable(formula));
    const Evaluator evaluator(program);
    const HeadEvaluator heads(evaluator, bars());
    const Evaluation &full = heads.full();
    QVERIFY(!full.outputs.empty());
    for (std::size_t k = 0; k < full.outputs.size(); ++k) {
        QVERIFY2(full.outputs[k].ok(), qPrintable(full.outputs[k].missing.join(u',')));
        if (expectCausal)
            QVERIFY2(heads.causal(k), qPrintable(u"output %1 not marked causal"_s.arg(k)));
    }
    for (qsizetype count = 1; count < bars().size(); ++count) {
        const Evaluation plain = evaluator.run(bars().head(count));
        const Evaluation shortcut = heads.head(count);
        if (expectCausal) {
            const QString d = firstDifference(plain, full, count);
            QVERIFY2(d.isEmpty(), qPrintable(d));
        }
        const QString d = firstDifference(shortcut, plain, count);
        QVERIFY2(d.isEmpty(), qPrintable(u"from the whole run: "_s + d));
    }
}

} // namespace

class TestCausal : public QObject
{
    Q_OBJECT

private slots:
    void causalFunctions_data();
    void causalFunctions();
    void everyCausalFunctionHasARow();
    void namedSeries();
    void drawings();
    void notCausal_data();
    void notCausal();
    void mixedHeads_data();
    void mixedHeads();
    void traceKeepsWhatTheTailsRead();
};

void TestCausal::causalFunctions_data()
{
    QTest::addColumn<QString>("formula");
    for (const Row &r : causalRows()) {
        QString formula = QString::fromUtf16(r.formula);
        QTest::newRow(r.function) << formula.replace(u"%1"_s, QString::fromLatin1(r.function));
    }
}

void TestCausal::causalFunctions()
{
    QFETCH(QString, formula);
    evaluateHeads(formula, true);
}

// A function newly marked causal gets a row above, or this fails.
void TestCausal::everyCausalFunctionHasARow()
{
    QStringList rows;
    for (const Row &r : causalRows())
        rows << QString::fromLatin1(r.function);
    QStringList missing;
    for (const QString &f : morvane::formula::causalFunctions())
        if (!rows.contains(f))
            missing << f;
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u' ')));
}

void TestCausal::namedSeries()
{
    evaluateHeads(u"A:C+O+H+L+V+AMOUNT+AMO+INDEXC; B:DATE+YEAR+MONTH+DAY+WEEKDAY; "
                  "D:ISUP+ISDOWN+ISEQUAL; E:DRAWNULL; F:CLOSE+OPEN+HIGH+LOW+VOL;"_s,
                  true);
}

void TestCausal::drawings()
{
    evaluateHeads(u"STICKLINE(C>O,O,C,3,0); DRAWTEXT(C>O,L,'x'); DRAWICON(C<O,H,1); "
                  "DRAWNUMBER(C>O,H,C); DRAWKLINE(H,O,L,C); PARTLINE(C,C>O); VERTLINE(C>O); "
                  "POLYLINE(C>O,C); PLOYLINE(C>O,C); DRAWBAND(C,1,O,2); FILLRGN(C>O,H,L); "
                  "DRAWTEXT_FIX(C>O,0.5,0.5,0,'x'); DRAWRECTREL(0,0,100,100,1);"_s,
                  true);
}

// What must never be taken from the whole history: the look-ahead functions, the newest
// bar's data, the forming period bar, and whatever reads them.
void TestCausal::notCausal_data()
{
    QTest::addColumn<QString>("formula");
    const char16_t *const rows[] = {u"ZIG(3,5)",
                                    u"PEAK(1,5,1)",
                                    u"TROUGHBARS(2,5,1)",
                                    u"REF(C,-1)",
                                    u"REFV(C,-2)",
                                    u"REFX(C,1)",
                                    u"REFXV(C,1)",
                                    u"BARSNEXT(C>O)",
                                    u"BACKSET(C>O,2)",
                                    u"CONST(C)",
                                    u"CURRBARSCOUNT",
                                    u"TOTALBARSCOUNT",
                                    u"ISLASTBAR",
                                    u"ISLASTBAR()",
                                    u"BARSTATUS",
                                    u"C#WEEK",
                                    u"MA(C,5)#MONTH",
                                    u"XMA(C,5)",
                                    u"AVEDEV(C,5)",
                                    u"SAR(K+1,2,20)",
                                    u"REFDATE(C,1230301)",
                                    u"DYNAINFO(3)",
                                    u"MA(ZIG(3,5),5)",
                                    u"IF(ISLASTBAR,1,C)",
                                    u"DRAWLINE(C>O,H,C<O,L,0)"};
    for (const char16_t *r : rows)
        QTest::newRow(QString::fromUtf16(r).toUtf8().constData()) << QString::fromUtf16(r);
}

void TestCausal::notCausal()
{
    QFETCH(QString, formula);
    const Program program = parse(kPrelude + u"A:"_s + formula + u';');
    const Evaluator evaluator(program);
    const HeadEvaluator heads(evaluator, bars());
    QCOMPARE(heads.full().outputs.size(), 1u);
    QVERIFY(!heads.causal(0));
}

// Formulas that mix both: the head from the whole run equals the head computed afresh, at
// every bar count, whichever part is taken and whichever computed.
void TestCausal::mixedHeads_data()
{
    QTest::addColumn<QString>("formula");
    QTest::newRow("ZIG of a causal argument") << u"Z:ZIG(MA(C,5),5)+C; M:MA(C,5);"_s;
    QTest::newRow("variables on both sides")
        << u"X:=MA(C,5); Y:=REF(X,-2); A:Y+X; B:X; D:=HHV(Y,K)+X; E:D*2;"_s;
    QTest::newRow("BACKSET of a cross") << u"A:BACKSET(CROSS(C,MA(C,5)),3)*H;"_s;
    QTest::newRow("week and day") << u"W:MA(C,3)#WEEK+C; D:C#DAY-REF(C,1);"_s;
    QTest::newRow("drawing across bars")
        << u"DRAWLINE(C>O,H,C<O,L,0); DRAWTEXT(ISLASTBAR,C,'x');"_s;
    QTest::newRow("newest bar") << u"A:CONST(C)-C; B:IF(ISLASTBAR,C,REF(C,1)); D:SAR(K+1,2,20);"_s;
    QTest::newRow("turns against windows") << u"A:PEAK(1,5,1)-HHV(H,K); B:TROUGH(2,5,1);"_s;
    QTest::newRow("a variable redefined") << u"X:=C; A:ZIG(3,5)+X; X:=REFX(C,2); B:X+MA(C,3);"_s;
    // The whole run keeps each causal value once: equal constants (2 and 2.0, not 0 and -0)
    // and a variable named in several places share it, the others must not.
    QTest::newRow("values read in many places")
        << u"M:=5; U:=C>O; A:BACKSET(U,3)+BACKSET(U,3.5)+REFX(U,M)*REF(U,1)+REFX(C,M); "
           "B:ZIG(3,5)*2+U*2.0+REFX(O,0)+REFX(O,-0)+REFX(U*2,M+0); D:REFX(M,1)+REFX(U,1);"_s;
}

void TestCausal::mixedHeads()
{
    QFETCH(QString, formula);
    evaluateHeads(formula, false);
}

// The whole history's trace holds each series once, and none the replay's tails never read:
// ISLASTBAR's (they make their own), an operator's operators (computed inside it), a price
// named in several places (one copy).
void TestCausal::traceKeepsWhatTheTailsRead()
{
    const Program program = parse(u"Z:=ZIG(3,5);A:(Z>REF(Z,1) AND Z>C) OR ISLASTBAR;"
                                  u"B:ISLASTBAR OR Z<C;D:IF(Z>H,H,L)+IF(Z<H,H,L);"_s);
    const Evaluator evaluator(program);
    const Bars bars = builtinBars(200);
    const HeadEvaluator heads(evaluator, bars);
    const HeadEvaluator::Trace &t = heads.trace();
    for (const auto &[e, v] : t.values) {
        QVERIFY2(e->text != u"ISLASTBAR", "ISLASTBAR kept");
        QVERIFY2(!t.operands.contains(e), qPrintable(e->text));
    }
    QCOMPARE(t.operands.size(), std::size_t(4)); // A's AND and its two comparisons, B's Z<C
    for (auto a = t.keptValues.begin(); a != t.keptValues.end(); ++a)
        for (auto b = std::next(a); b != t.keptValues.end(); ++b)
            QVERIFY2(std::memcmp(a->v.data(), b->v.data(), a->v.size() * sizeof(double)) != 0,
                     "a series kept twice");
}

QTEST_GUILESS_MAIN(TestCausal)
#include "tst_causal.moc"
