// The evaluator against values worked out by hand on small series, and the bars reader.
#include "bars.h"
#include "eval.h"
#include "evalmode.h"
#include "parser.h"
#include "replay.h"

#include <QBuffer>
#include <QDir>
#include <QLocale>
#include <QTemporaryFile>
#include <QTest>

#include <cmath>
#include <random>

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

const double n = qQNaN();

// Weekdays from Monday 2024-01-01; the close is the given series, the other prices follow it.
Bars barsOf(const QList<double> &close)
{
    Bars b;
    QDate day(2024, 1, 1);
    for (double c : close) {
        while (day.dayOfWeek() > 5)
            day = day.addDays(1);
        b.dates.push_back(day);
        b.open.push_back(c);
        b.high.push_back(c + 1);
        b.low.push_back(c - 1);
        b.close.push_back(c);
        b.volume.push_back(100);
        b.amount.push_back(100 * c);
        day = day.addDays(1);
    }
    return b;
}

bool sameSeries(const Series &got, const QList<double> &want)
{
    if (qsizetype(got.size()) != want.size())
        return false;
    for (qsizetype i = 0; i < want.size(); ++i) {
        const double g = got[std::size_t(i)], w = want[i];
        if (std::isnan(w) != std::isnan(g) || (!std::isnan(w) && std::abs(g - w) > 1e-9))
            return false;
    }
    return true;
}

QString show(const Series &s)
{
    QStringList parts;
    for (double x : s)
        parts << (std::isnan(x) ? u"nan"_s : QString::number(x));
    return parts.join(u' ');
}

void columns()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QList<double>>("close");
    QTest::addColumn<QList<double>>("expected");
}

// The last output of the formula on the closes, against the expected values.
void checkRow()
{
    QFETCH(QString, formula);
    QFETCH(QList<double>, close);
    QFETCH(QList<double>, expected);
    const Program program = parse(formula);
    QVERIFY(program.notes.empty());
    const Evaluation ev = evaluate(program, barsOf(close));
    QVERIFY(!ev.outputs.empty());
    const OutputLine &out = ev.outputs.back();
    QVERIFY2(out.ok(), qPrintable(out.missing.join(u',')));
    QVERIFY2(sameSeries(out.channels.front(), expected), qPrintable(show(out.channels.front())));
}

using L = QList<double>;
// The seven closes whose first ZIG move at 5 % is down, after a rise to 10.3.
const L seven{10, 10.3, 9.5, 9.0, 10, 9.4, 9.6};

} // namespace

class TestEval : public QObject
{
    Q_OBJECT

private slots:
    void functions_data();
    void functions();
    void references_data();
    void references() { checkRow(); }
    void averages_data();
    void averages() { checkRow(); }
    void windows_data();
    void windows() { checkRow(); }
    void statistics_data();
    void statistics() { checkRow(); }
    void logicAndMath_data();
    void logicAndMath() { checkRow(); }
    void zigzag_data();
    void zigzag() { checkRow(); }
    void oddArguments_data();
    void oddArguments() { checkRow(); }
    void repeatedCalls_data();
    void repeatedCalls() { checkRow(); }
    void wholeHistoryAtScale();
    void longChainOfVariables();
    void evalCommand();
    void evalWarnings_data();
    void evalWarnings();
    void evalRefusesLargeBarsUnread();
    void evalCsvWritesQtNumbers();
    void dmiWithExpmemaReplays();
    void unknownNamesAndParameters();
    void stockFacts_data();
    void stockFacts();
    void csv_data();
    void csv();
    void builtinBars();
};

void TestEval::functions_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QList<double>>("close");
    QTest::addColumn<QList<double>>("expected");
    using L = QList<double>;
    QTest::newRow("MA") << u"MA(C,3)"_s << L{1, 2, 3, 4, 5} << L{n, n, 2, 3, 4};
    QTest::newRow("EMA") << u"EMA(C,3)"_s << L{1, 2, 3, 4} << L{1, 1.5, 2.25, 3.125};
    QTest::newRow("SMA") << u"SMA(C,3,1)"_s << L{3, 6, 9} << L{3, 4, 17.0 / 3};
    QTest::newRow("WMA") << u"WMA(C,3)"_s << L{1, 2, 3, 4} << L{n, n, 14.0 / 6, 20.0 / 6};
    QTest::newRow("DMA") << u"DMA(C,0.5)"_s << L{2, 4, 6} << L{2, 3, 4.5};
    QTest::newRow("AMA") << u"AMA(C,0.25)"_s << L{4, 8, 0} << L{4, 5, 3.75};
    QTest::newRow("REF") << u"REF(C,1)"_s << L{1, 2, 3} << L{n, 1, 2};
    QTest::newRow("REF negative") << u"REF(C,-1)"_s << L{1, 2, 3} << L{2, 3, n};
    QTest::newRow("REF per-bar N") << u"REF(C,BARSLAST(C>2))"_s << L{1, 3, 2, 4} << L{n, 3, 3, 4};
    QTest::newRow("REFX") << u"REFX(C,1)"_s << L{1, 2, 3} << L{2, 3, n};
    QTest::newRow("REFXV") << u"REFXV(C,1)"_s << L{1, 2, 3} << L{2, 3, 3};
    QTest::newRow("HHV") << u"HHV(C,2)"_s << L{1, 3, 2, 1} << L{1, 3, 3, 2};
    QTest::newRow("HHV per-bar N") << u"HHV(C,BARSCOUNT(C))"_s << L{2, 1, 3, 2} << L{2, 1, 3, 3};
    QTest::newRow("LLV all") << u"LLV(C,0)"_s << L{3, 1, 2} << L{3, 1, 1};
    QTest::newRow("HHVBARS") << u"HHVBARS(C,3)"_s << L{1, 3, 2, 1} << L{0, 0, 1, 2};
    QTest::newRow("LLVBARS") << u"LLVBARS(C,0)"_s << L{3, 1, 2} << L{0, 0, 1};
    QTest::newRow("SUM") << u"SUM(C,2)"_s << L{1, 2, 3} << L{1, 3, 5};
    QTest::newRow("SUM all") << u"SUM(C,0)"_s << L{1, 2, 3} << L{1, 3, 6};
    QTest::newRow("COUNT") << u"COUNT(C>1,2)"_s << L{1, 2, 3, 1} << L{0, 1, 2, 1};
    QTest::newRow("EVERY") << u"EVERY(C>1,2)"_s << L{1, 2, 3, 1} << L{0, 0, 1, 0};
    QTest::newRow("EXIST") << u"EXIST(C>2,2)"_s << L{1, 3, 1, 1} << L{0, 1, 1, 0};
    QTest::newRow("BARSLAST") << u"BARSLAST(C>2)"_s << L{3, 1, 1, 3} << L{0, 1, 2, 0};
    QTest::newRow("BARSLASTCOUNT") << u"BARSLASTCOUNT(C>1)"_s << L{2, 2, 1, 2} << L{1, 2, 0, 1};
    QTest::newRow("BARSSINCE") << u"BARSSINCE(C>1)"_s << L{1, 2, 1} << L{n, 0, 1};
    QTest::newRow("BARSNEXT") << u"BARSNEXT(C>2)"_s << L{1, 3, 1, 1} << L{1, 0, n, n};
    QTest::newRow("FILTER") << u"FILTER(C>1,2)"_s << L{2, 2, 2, 2, 2} << L{1, 0, 0, 1, 0};
    QTest::newRow("BACKSET") << u"BACKSET(C>2,3)"_s << L{1, 1, 1, 3} << L{0, 1, 1, 1};
    QTest::newRow("BACKSET 1") << u"BACKSET(C>2,1)"_s << L{1, 3, 1} << L{0, 1, 0};
    QTest::newRow("CROSS") << u"CROSS(C,2)"_s << L{1, 3, 3, 1, 3} << L{0, 1, 0, 0, 1};
    QTest::newRow("IF") << u"IF(C>2,C,0)"_s << L{1, 3} << L{0, 3};
    QTest::newRow("NaN propagates") << u"MA(C,2)>0"_s << L{1, 2} << L{n, 1};
    QTest::newRow("division by zero") << u"C/(C-C)"_s << L{1, 2} << L{0, 0};
    QTest::newRow("AND OR") << u"(C>1 AND C<3) OR C=5"_s << L{1, 2, 3, 5} << L{0, 1, 0, 1};
    QTest::newRow("MOD by zero") << u"MOD(C,3)+MOD(C,0)"_s << L{7} << L{1};
    QTest::newRow("LOG INTPART") << u"LOG(C)+INTPART(-C/40)"_s << L{100} << L{-0.0};
    QTest::newRow("ZTPRICE DTPRICE")
        << u"ZTPRICE(C,0.1)*100+DTPRICE(C,0.05)"_s << L{9.99} << L{1099 + 9.49};
    QTest::newRow("BETWEEN reversed") << u"BETWEEN(C,3,1)"_s << L{2, 4} << L{1, 0};
    QTest::newRow("RANGE open") << u"RANGE(C,1,3)"_s << L{2, 3} << L{1, 0};
    QTest::newRow("STD") << u"STD(C,2)"_s << L{1, 3} << L{n, std::sqrt(2.0)};
    QTest::newRow("STDP") << u"STDP(C,2)"_s << L{1, 3} << L{n, 1};
    QTest::newRow("VAR") << u"VAR(C,2)"_s << L{1, 3} << L{n, 2};
    QTest::newRow("AVEDEV") << u"AVEDEV(C,3)"_s << L{1, 2, 6} << L{n, n, 2};
    QTest::newRow("SLOPE") << u"SLOPE(C,3)"_s << L{1, 2, 4} << L{n, n, 1.5};
    QTest::newRow("FORCAST") << u"FORCAST(C,3)"_s << L{1, 2, 4} << L{n, n, 23.0 / 6};
    // Turns at 10% on 10 11 12 11 10.5 13: a trough at 0, a peak at 2, a trough at 4.
    const L wave{10, 11, 12, 11, 10.5, 13};
    QTest::newRow("ZIG") << u"ZIG(3,10)"_s << wave << L{10, 11, 12, 11.25, 10.5, 13};
    QTest::newRow("PEAK") << u"PEAK(3,10,1)"_s << wave << L{n, n, 12, 12, 12, 12};
    QTest::newRow("PEAKBARS") << u"PEAKBARS(3,10,1)"_s << wave << L{n, n, 0, 1, 2, 3};
    QTest::newRow("TROUGH") << u"TROUGH(3,10,1)"_s << wave << L{10, 10, 10, 10, 10.5, 10.5};
    QTest::newRow("TROUGHBARS") << u"TROUGHBARS(3,10,2)"_s << wave << L{n, n, n, n, 4, 5};
    QTest::newRow("XMA") << u"XMA(C,3)"_s << L{1, 2, 3, 4} << L{1.5, 2, 3, 3.5};
    QTest::newRow("CONST") << u"CONST(C)"_s << L{1, 2, 3} << L{3, 3, 3};
    QTest::newRow("CURRBARSCOUNT") << u"CURRBARSCOUNT"_s << L{1, 2, 3} << L{3, 2, 1};
    QTest::newRow("TOTALBARSCOUNT") << u"TOTALBARSCOUNT"_s << L{1, 2, 3} << L{3, 3, 3};
    QTest::newRow("ISLASTBAR") << u"ISLASTBAR"_s << L{1, 2, 3} << L{0, 0, 1};
    QTest::newRow("DYNAINFO newest") << u"DYNAINFO(7)"_s << L{1, 2, 3} << L{3, 3, 3};
    QTest::newRow("DATE") << u"DATE"_s << L{1, 1} << L{1240101, 1240102};
    // Monday to Friday, then Monday: each day reads its week as it stands.
    const L days{1, 2, 3, 4, 5, 6};
    QTest::newRow("CLOSE#WEEK") << u"CLOSE#WEEK"_s << days << L{5, 5, 5, 5, 5, 6};
    QTest::newRow("MA#WEEK") << u"MA(C,2)#WEEK"_s << days << L{n, n, n, n, n, 5.5};
    QTest::newRow("parameter line") << u"M:=(1,10,2); MA(C,M)"_s << L{1, 2, 3} << L{n, 1.5, 2.5};
    QTest::newRow("variable") << u"X:=C*2; X+1"_s << L{1, 2} << L{3, 5};
    QTest::newRow("DRAWTEXT where") << u"DRAWTEXT(C>2,C,'x')"_s << L{1, 3} << L{n, 3};
    QTest::newRow("DRAWTEXT_FIX where")
        << u"DRAWTEXT_FIX(C>2,0.5,0.1,0,CON2STR(C,2))"_s << L{1, 3} << L{n, 0.5};
}

void TestEval::functions()
{
    QFETCH(QString, formula);
    QFETCH(QList<double>, close);
    QFETCH(QList<double>, expected);
    const Program program = parse(formula);
    QVERIFY(program.notes.empty());
    const Evaluation ev = evaluate(program, barsOf(close));
    QVERIFY(!ev.outputs.empty());
    const OutputLine &out = ev.outputs.back();
    QVERIFY2(out.ok(), qPrintable(out.missing.join(u',')));
    QVERIFY2(sameSeries(out.channels.front(), expected), qPrintable(show(out.channels.front())));
}

// Worked out by hand from each function's definition. REF's smoothing: a reference before
// the first bar repeats the value before; REFV leaves it empty.
void TestEval::references_data()
{
    columns();
    QTest::newRow("REF smoothed") << u"REF(C,IF(C>2,5,1))"_s << L{1, 2, 3, 4} << L{n, 1, 1, 1};
    QTest::newRow("REFV not smoothed")
        << u"REFV(C,IF(C>2,5,1))"_s << L{1, 2, 3, 4} << L{n, 1, n, n};
    // The help's own example: the second bar's close, without reading ahead on the first.
    QTest::newRow("REF BARSCOUNT-1")
        << u"REF(C,BARSCOUNT(C)-1)"_s << L{5, 6, 7, 8} << L{n, 6, 6, 6};
    QTest::newRow("BARSCOUNT from 0") << u"BARSCOUNT(MA(C,2))"_s << L{1, 2, 3} << L{n, 0, 1};
    QTest::newRow("VALUEWHEN") << u"VALUEWHEN(C>2,C)"_s << L{1, 3, 2, 4} << L{n, 3, 3, 4};
    QTest::newRow("BARSSINCEN") << u"BARSSINCEN(C>2,3)"_s << L{1, 3, 2, 4, 1, 1}
                                << L{n, 0, 1, 2, 1, 2};
    QTest::newRow("TOPRANGE") << u"TOPRANGE(C)"_s << L{3, 1, 2, 5, 4} << L{0, 0, 1, 3, 0};
    QTest::newRow("LOWRANGE") << u"LOWRANGE(C)"_s << L{3, 1, 2, 5, 4} << L{0, 1, 0, 0, 1};
    QTest::newRow("BACKSET per-bar N")
        << u"BACKSET(C>2,C)"_s << L{1, 1, 1, 4, 1} << L{1, 1, 1, 1, 0};
    QTest::newRow("BACKSET overlapping")
        << u"BACKSET(C>2,2)"_s << L{1, 1, 3, 3, 1, 1, 3} << L{0, 1, 1, 1, 0, 1, 1};
    QTest::newRow("REF empty input") << u"REF(MA(C,2),1)"_s << L{1, 3, 5} << L{n, n, 2};
}

void TestEval::averages_data()
{
    columns();
    // A weight empty for three bars: the recursion starts where both have values, whatever
    // the parity of the warm-up.
    QTest::newRow("DMA warm-up") << u"DMA(C,MA(C,4)/MA(C,4)*0.5)"_s << L{2, 4, 6, 8, 10}
                                 << L{n, n, n, 8, 9};
    QTest::newRow("DMA empty step") << u"DMA(C,IF(C=5,DRAWNULL,0.5))"_s << L{2, 5, 6} << L{2, n, 4};
    QTest::newRow("DMA empty X") << u"DMA(MA(C,2),0.5)"_s << L{2, 4, 6} << L{n, 3, 4};
    QTest::newRow("EXPMEMA") << u"EXPMEMA(C,3)"_s << L{1, 2, 3, 4, 5} << L{n, n, 2, 3, 4};
    QTest::newRow("EXPMEMA empty input")
        << u"EXPMEMA(MA(C,2),2)"_s << L{1, 3, 5, 7} << L{n, n, 3, 5};
    QTest::newRow("EMA empty N") << u"EMA(C,IF(C=2,DRAWNULL,3))"_s << L{1, 2, 3} << L{1, n, 2};
    QTest::newRow("MA all") << u"MA(C,0)"_s << L{1, 2, 3} << L{1, 1.5, 2};
    QTest::newRow("MA empty input") << u"MA(MA(C,2),2)"_s << L{1, 3, 5, 7} << L{n, n, 3, 5};
    QTest::newRow("WMA per-bar N") << u"WMA(C,IF(C>2,2,1))"_s << L{1, 2, 4} << L{1, 2, 10.0 / 3};
    QTest::newRow("XMA") << u"XMA(C,5)"_s << L{1, 2, 3, 4, 5} << L{2, 2.5, 3, 3.5, 4};
    // Worked by hand from the published definitions.
    QTest::newRow("WMA by hand") << u"WMA(C,3)"_s << L{1, 2, 4} << L{n, n, 17.0 / 6};
    QTest::newRow("EXPMEMA by hand") << u"EXPMEMA(C,2)"_s << L{2, 4, 6} << L{n, 3, 5};
    QTest::newRow("MA of cents, a tie") << u"MA(C,3)=8.88"_s << L{8.87, 8.89, 8.88} << L{n, n, 1};
    QTest::newRow("SMA empty M") << u"SMA(C,2,IF(C=2,DRAWNULL,1))"_s << L{4, 2, 8} << L{4, n, 6};
}

void TestEval::windows_data()
{
    columns();
    QTest::newRow("SUM all, empty bars") << u"SUM(MA(C,2),0)"_s << L{1, 3, 5} << L{0, 2, 6};
    QTest::newRow("HHV all") << u"HHV(C,0)"_s << L{3, 1, 4, 1} << L{3, 3, 4, 4};
    QTest::newRow("HHV empty input") << u"HHV(MA(C,2),2)"_s << L{1, 3, 5} << L{n, n, 4};
    QTest::newRow("HHVBARS equal, latest") << u"HHVBARS(C,0)"_s << L{1, 3, 3, 2} << L{0, 0, 0, 1};
    // Windows that move back and forth: N per bar.
    QTest::newRow("HHV per-bar N")
        << u"HHV(C,IF(C>2,1,3))"_s << L{5, 1, 4, 1, 2} << L{5, 5, 4, 4, 4};
    QTest::newRow("LLV per-bar N")
        << u"LLV(C,IF(C>2,1,3))"_s << L{5, 1, 4, 1, 2} << L{5, 1, 4, 1, 1};
    QTest::newRow("LLVBARS per-bar N")
        << u"LLVBARS(C,IF(C>2,1,3))"_s << L{5, 1, 4, 1, 2} << L{0, 0, 0, 0, 1};
    QTest::newRow("COUNT all") << u"COUNT(C>1,0)"_s << L{2, 1, 2} << L{1, 1, 2};
    QTest::newRow("EXIST all") << u"EXIST(C>5,0)"_s << L{2, 1, 2} << L{0, 0, 0};
    QTest::newRow("EVERY all") << u"EVERY(C>1,0)"_s << L{2, 1, 2} << L{1, 0, 0};
    QTest::newRow("LAST") << u"LAST(C>1,3,1)"_s << L{2, 2, 2, 1, 2} << L{n, n, n, 1, 0};
    QTest::newRow("LAST from the first bar") << u"LAST(C>1,0,0)"_s << L{2, 2, 1} << L{1, 1, 0};
    QTest::newRow("MULAR") << u"MULAR(C,2)"_s << L{2, -3, 4} << L{2, -6, -12};
    QTest::newRow("MULAR all, zero") << u"MULAR(C,0)"_s << L{2, -3, 0, 4} << L{2, -6, 0, 0};
    QTest::newRow("SUMBARS") << u"SUMBARS(C,5)"_s << L{1, 2, 3, 4} << L{n, n, 2, 2};
    QTest::newRow("SUM of tenths") << u"SUM(C,3)=0.6"_s << L{0.1, 0.2, 0.3} << L{0, 0, 1};
    QTest::newRow("HHV(X,0) from the first value")
        << u"HHV(REF(C,2),0)"_s << L{5, 1, 2, 9} << L{n, n, 5, 5};
    QTest::newRow("SUMBARS negative") << u"SUMBARS(C-2,3)"_s << L{5, 1, 4, 6} << L{1, n, 3, 1};
}

void TestEval::statistics_data()
{
    columns();
    QTest::newRow("STD all") << u"STD(C,0)"_s << L{1, 3} << L{n, std::sqrt(2.0)};
    QTest::newRow("VAR constant") << u"VAR(C,3)"_s << L{7.1, 7.1, 7.1} << L{n, n, 0};
    QTest::newRow("AVEDEV sliding")
        << u"AVEDEV(C,3)"_s << L{5, 1, 1, 5, 1} << L{n, n, 16.0 / 9, 16.0 / 9, 16.0 / 9};
    QTest::newRow("AVEDEV per-bar N")
        << u"AVEDEV(C,IF(C>4,1,3))"_s << L{5, 1, 1, 5, 1} << L{0, n, 16.0 / 9, 0, 16.0 / 9};
    QTest::newRow("AVEDEV all") << u"AVEDEV(C,0)"_s << L{1, 2, 6} << L{0, 0.5, 2};
    QTest::newRow("AVEDEV empty input") << u"AVEDEV(MA(C,2),2)"_s << L{1, 3, 7} << L{n, n, 1.5};
    QTest::newRow("SLOPE all") << u"SLOPE(C,0)"_s << L{1, 2, 4} << L{n, 1, 1.5};
    QTest::newRow("FORCAST per-bar N") << u"FORCAST(C,IF(C>3,2,3))"_s << L{1, 2, 4} << L{n, n, 4};
    QTest::newRow("COVAR") << u"COVAR(C,C*2,2)"_s << L{1, 3} << L{n, 2};
    // x 1 2 4, mean 7/3; y = x², mean 7.
    QTest::newRow("DEVSQ by hand") << u"DEVSQ(C,3)"_s << L{1, 2, 4} << L{n, n, 42.0 / 9};
    QTest::newRow("VARP by hand") << u"VARP(C,3)"_s << L{1, 2, 4} << L{n, n, 14.0 / 9};
    QTest::newRow("COVAR by hand") << u"COVAR(C,C*C,3)"_s << L{1, 2, 4} << L{n, n, 8};
    QTest::newRow("SLOPE by hand") << u"SLOPE(C,3)"_s << L{1, 2, 4} << L{n, n, 1.5};
    QTest::newRow("FORCAST by hand") << u"FORCAST(C,3)"_s << L{1, 2, 4} << L{n, n, 23.0 / 6};
    QTest::newRow("RELATE bounded") << u"RELATE(C,-C,3)"_s << L{1, 2, 4} << L{n, n, -1};
    QTest::newRow("STD flat window") << u"STD(C,2)"_s << L{8.88, 8.88, 8.88} << L{n, 0, 0};
    QTest::newRow("RELATE") << u"RELATE(C,C*2,2)"_s << L{1, 3} << L{n, 1};
    // High and low one above and below the close. With S=50 % the plain step would enter
    // the two bars before; Wilder's rule holds it at their lows, and the turn comes on the
    // last bar.
    QTest::newRow("SAR no bars") << u"SAR(2,10,20)"_s << L{} << L{};
    QTest::newRow("SAR Wilder") << u"SAR(2,50,100)"_s << L{10, 11, 12, 13, 14, 15, 14.5, 14}
                                << L{n, 9, 9, 10, 11, 12, 13, 16};
}

void TestEval::logicAndMath_data()
{
    columns();
    QTest::newRow("ROUND") << u"ROUND(C)"_s << L{2.5, -2.5, 2.4} << L{3, -3, 2};
    QTest::newRow("MOD negative") << u"MOD(C,3)"_s << L{-7} << L{-1};
    QTest::newRow("LN 0") << u"LN(C-C)"_s << L{1} << L{n};
    QTest::newRow("IFN") << u"IFN(C>1,1,2)"_s << L{1, 2} << L{1, 2};
    QTest::newRow("NDAY per-bar N")
        << u"NDAY(C,1,IF(C>3,3,1))"_s << L{2, 0.5, 4, 4} << L{1, 0, 0, 0};
    QTest::newRow("UPNDAY") << u"UPNDAY(C,2)"_s << L{1, 2, 3, 2} << L{0, 0, 1, 0};
    QTest::newRow("LONGCROSS") << u"LONGCROSS(C,2,2)"_s << L{1, 1, 3, 1, 3} << L{0, 0, 1, 0, 0};
}

// The seven closes: turns at a trough on bar 0, a peak on 1, a trough on 3, a peak on 4 and a
// trough on 5 that the line's end has not confirmed.
void TestEval::zigzag_data()
{
    columns();
    QTest::newRow("ZIG down first") << u"ZIG(3,5)"_s << seven << L{10, 10.3, 9.65, 9, 10, 9.4, 9.6};
    QTest::newRow("PEAK 1") << u"PEAK(3,5,1)"_s << seven << L{n, 10.3, 10.3, 10.3, 10, 10, 10};
    QTest::newRow("PEAK 2") << u"PEAK(3,5,2)"_s << seven << L{n, n, n, n, 10.3, 10.3, 10.3};
    QTest::newRow("PEAKBARS 1") << u"PEAKBARS(3,5,1)"_s << seven << L{n, 0, 1, 2, 0, 1, 2};
    QTest::newRow("TROUGH 1") << u"TROUGH(3,5,1)"_s << seven << L{10, 10, 10, 9, 9, 9.4, 9.4};
    QTest::newRow("TROUGHBARS 1") << u"TROUGHBARS(3,5,1)"_s << seven << L{0, 1, 2, 0, 1, 0, 1};
    QTest::newRow("PEAK up first")
        << u"PEAK(3,5,1)"_s << L{10, 9.7, 10.5, 9.9} << L{10, 10, 10.5, 10.5};
    QTest::newRow("PEAK down from the start")
        << u"PEAKBARS(3,5,1)"_s << L{10, 9.4, 9.9, 9.3} << L{0, 1, 0, 1};
}

// Counts of any size, NaN and infinities, offsets that point nowhere: a value or empty,
// never a crash or an overflow.
void TestEval::oddArguments_data()
{
    columns();
    const L two{1, 2};
    QTest::newRow("LAST negative") << u"LAST(C>0,-1000,-1000)"_s << L{1, 2, 3} << L{n, n, n};
    QTest::newRow("LAST -1") << u"LAST(C>0,-1,-1)"_s << L{1, 2, 3} << L{n, n, n};
    QTest::newRow("LAST huge") << u"LAST(C>0,1E300,0)"_s << two << L{n, n};
    QTest::newRow("LAST 9.3e18") << u"LAST(C>0,0,9.3E18)"_s << two << L{n, n};
    QTest::newRow("HHV 1e300") << u"HHV(C,1E300)"_s << two << L{1, 2};
    QTest::newRow("HHVBARS 9.3e18") << u"HHVBARS(C,9.3E18)"_s << two << L{0, 0};
    QTest::newRow("SUM infinite") << u"SUM(C,POW(10,400))"_s << two << L{1, 3};
    QTest::newRow("SUM -inf") << u"SUM(C,-POW(10,400))"_s << two << L{n, n};
    QTest::newRow("SUM NaN") << u"SUM(C,SQRT(-1))"_s << two << L{n, n};
    QTest::newRow("MA 9.3e18") << u"MA(C,9.3E18)"_s << two << L{n, n};
    QTest::newRow("STD 1e300") << u"STD(C,1E300)"_s << two << L{n, n};
    QTest::newRow("REF 1e300") << u"REF(C,1E300)"_s << two << L{n, n};
    QTest::newRow("REF -inf") << u"REF(C,-POW(10,400))"_s << two << L{n, n};
    QTest::newRow("REFX 9.3e18") << u"REFX(C,9.3E18)"_s << two << L{n, n};
    QTest::newRow("BACKSET infinite") << u"BACKSET(C>1,POW(10,400))"_s << two << L{1, 1};
    QTest::newRow("BACKSET 9.3e18") << u"BACKSET(C>1,9.3E18)"_s << two << L{1, 1};
    QTest::newRow("FILTER infinite") << u"FILTER(C>0,POW(10,400))"_s << two << L{1, 0};
    QTest::newRow("UPNDAY 1e300") << u"UPNDAY(C,1E300)"_s << two << L{0, 0};
    QTest::newRow("NDAY -9.3e18") << u"NDAY(C,0,-9.3E18)"_s << two << L{0, 0};
    QTest::newRow("LONGCROSS 1e300") << u"LONGCROSS(C,0,1E300)"_s << two << L{0, 0};
    QTest::newRow("EXPMEMA infinite") << u"EXPMEMA(C,POW(10,400))"_s << two << L{n, n};
    QTest::newRow("XMA 9.3e18") << u"XMA(C,9.3E18)"_s << two << L{1.5, 1.5};
    QTest::newRow("BARSSINCEN 1e300") << u"BARSSINCEN(C>1,1E300)"_s << two << L{n, 0};
    QTest::newRow("MULAR 9.3e18") << u"MULAR(C,9.3E18)"_s << two << L{1, 2};
    QTest::newRow("PEAK 1e300") << u"PEAK(3,5,1E300)"_s << two << L{n, n};
    // An infinite value spoils the windows that hold it, not the later ones.
    QTest::newRow("SUM past an infinity")
        << u"SUM(IF(C=1,POW(10,400),C),2)"_s << L{1, 2, 3, 4} << L{qInf(), qInf(), 5, 7};
    QTest::newRow("MA past an infinity")
        << u"MA(IF(C=1,-POW(10,400),C),2)"_s << L{1, 2, 3, 4} << L{n, -qInf(), 2.5, 3.5};
    QTest::newRow("STD past an infinity") << u"STD(IF(C=1,POW(10,400),C),2)"_s << L{1, 2, 4, 6}
                                          << L{n, n, std::sqrt(2.0), std::sqrt(2.0)};
    QTest::newRow("SUMBARS infinite") << u"SUMBARS(C,POW(10,400))"_s << two << L{n, n};
}

// A call written more than once is computed once: only where it means the same.
void TestEval::repeatedCalls_data()
{
    columns();
    const L three{1, 2, 3};
    QTest::newRow("three times, one in a variable")
        << u"A:=MA(C,2)*2; B:MA(C,2)+A+MA(C,2);"_s << three << L{n, 6, 10};
    QTest::newRow("a variable redefined between")
        << u"X:=C; A:MA(X,2); X:=H; B:MA(X,2)-MA(C,2);"_s << three << L{n, 1, 1};
    QTest::newRow("the same call on weeks")
        << u"A:=REF(C,1)#WEEK; B:REF(C,1)-A;"_s << L{1, 2, 3, 4, 5, 6, 7} << L{n, n, n, n, n, 0, 1};
    QTest::newRow("inside and outside a drawing")
        << u"DRAWTEXT(C>MA(C,2),L,'x'); B:MA(C,2)*(C>MA(C,2));"_s << three << L{n, 1.5, 2.5};
}

// Whole-history windows over a million bars: each bar costs the same as with a short N.
// A rescan from the first bar at every bar would need hours here.
void TestEval::wholeHistoryAtScale()
{
    QList<double> close(1'000'000);
    for (qsizetype i = 0; i < close.size(); ++i)
        close[i] = double(1 + i % 7);
    const Bars bars = barsOf(close);
    const Evaluation ev =
        evaluate(parse(u"A:SUM(C,0); B:HHV(C,0); D:LLV(C,0); E:COUNT(C>6,0); F:EXIST(C>7,0); "
                       "G:MA(C,0); H:STD(C,0); I:AVEDEV(C,0); J:SLOPE(C,0); K:LLVBARS(C,0);"_s),
                 bars);
    QCOMPARE(ev.outputs.size(), 10u);
    for (const OutputLine &o : ev.outputs)
        QVERIFY2(o.ok(), qPrintable(o.name));
    const auto last = std::size_t(close.size() - 1);
    double sum = 0;
    for (double c : close)
        sum += c;
    QCOMPARE(ev.outputs[0].channels[0][last], sum);
    QCOMPARE(ev.outputs[1].channels[0][last], 7.0);
    QCOMPARE(ev.outputs[2].channels[0][last], 1.0);
    QCOMPARE(ev.outputs[3].channels[0][last], double(close.count(7.0)));
    QCOMPARE(ev.outputs[4].channels[0][last], 0.0);
    QVERIFY(std::abs(ev.outputs[5].channels[0][last] - sum / double(close.size())) < 1e-9);
    QCOMPARE(ev.outputs[9].channels[0][last], double(last % 7)); // the latest 1
}

// Six thousand variables in a chain: each statement waits for the one before, which must
// not cost a stack frame per statement.
void TestEval::longChainOfVariables()
{
    QString text = u"V0:=C;\n"_s;
    const int count = 6000;
    for (int k = 1; k < count; ++k)
        text += u"V%1:=V%2+1;\n"_s.arg(k).arg(k - 1);
    text += u"OUT:V%1;"_s.arg(count - 1);
    const Program program = parse(text);
    QVERIFY(program.notes.empty());
    const Evaluation ev = evaluate(program, barsOf({1, 2}));
    QCOMPARE(ev.outputs.size(), 1u);
    QVERIFY(ev.outputs[0].ok());
    QCOMPARE(ev.outputs[0].channels[0][1], 2.0 + count - 1);
}

// morvane-check --eval on the seven closes: the turns as CSV, empty where there is none.
void TestEval::evalCommand()
{
    QTemporaryFile csv(QDir::tempPath() + u"/morvane-XXXXXX.csv"_s);
    QVERIFY(csv.open());
    csv.write("date,open,high,low,close\n");
    QDate day(2024, 1, 1);
    for (double c : seven) {
        csv.write(u"%1,%2,%2,%2,%2\n"_s.arg(day.toString(Qt::ISODate)).arg(c).toUtf8());
        day = day.addDays(1);
    }
    csv.close();
    QBuffer in, out, err;
    in.setData("P1:PEAK(3,5,1);P2:PEAK(3,5,2);PB:PEAKBARS(3,5,1);T1:TROUGH(3,5,1);"
               "W:WINNER(C);");
    QVERIFY(in.open(QIODevice::ReadOnly));
    QVERIFY(out.open(QIODevice::WriteOnly));
    QVERIFY(err.open(QIODevice::WriteOnly));
    const int status = morvane::runEvalCommand(u"-"_s, csv.fileName(), {}, false, in, out, err);
    QCOMPARE(status, 1); // WINNER needs the share capital the CSV does not carry
    QCOMPARE(out.data(), QByteArray("date,P1,P2,PB,T1\n"
                                    "2024-01-01,,,,10\n"
                                    "2024-01-02,10.3,,0,10\n"
                                    "2024-01-03,10.3,,1,10\n"
                                    "2024-01-04,10.3,,2,9\n"
                                    "2024-01-05,10,10.3,0,9\n"
                                    "2024-01-06,10,10.3,1,9.4\n"
                                    "2024-01-07,10,10.3,2,9.4\n"));
    QVERIFY(QString::fromUtf8(err.data()).contains(u"W: 无法计算 (缺 CAPITAL)"_s));

    QBuffer none, out2, err2;
    none.setData("A:NOSUCH(C);");
    QVERIFY(none.open(QIODevice::ReadOnly));
    QVERIFY(out2.open(QIODevice::WriteOnly));
    QVERIFY(err2.open(QIODevice::WriteOnly));
    QCOMPARE(morvane::runEvalCommand(u"-"_s, csv.fileName(), {}, false, none, out2, err2), 2);
    QVERIFY(out2.data().isEmpty());
    QVERIFY(QString::fromUtf8(err2.data()).contains(u"NOSUCH"_s));
}

void TestEval::evalWarnings_data()
{
    QTest::addColumn<QByteArray>("formula");
    QTest::addColumn<QStringList>("params"); // NAME=value
    QTest::addColumn<QByteArray>("firstLines");
    QTest::addColumn<QString>("said"); // on standard error; empty: nothing
    QTest::newRow("three outputs named A")
        << QByteArray("A:C;A:O;A:C*2;") << QStringList()
        << QByteArray("date,A,A,A\n2024-01-01,10,10,20\n") << u"输出 A 出现 3 次"_s;
    QTest::newRow("a parameter the formula does not use")
        << QByteArray("A:MA(C,N);") << QStringList{u"N=2"_s, u"M=3"_s}
        << QByteArray("date,A\n2024-01-01,\n2024-01-02,10.15\n")
        << u"公式没有用到参数 M，--param 被忽略"_s;
    QTest::newRow("parameters all used, names apart")
        << QByteArray("A:MA(C,N);B:C;") << QStringList{u"N=2"_s} << QByteArray("date,A,B\n")
        << QString();
    // The shortest form that reads back, as Qt writes it (past 1e17 too).
    QTest::newRow("numbers")
        << QByteArray("A:1200000;B:1E20;C1:0.00001;D:0.1+0.2;E:123456789012345678;F:-0.5;G:1E5;")
        << QStringList()
        << QByteArray("date,A,B,C1,D,E,F,G\n"
                      "2024-01-01,1200000,1e+20,1e-05,0.30000000000000004,123456789012345680,-0.5,"
                      "1e+05\n")
        << QString();
}

void TestEval::evalWarnings()
{
    QFETCH(QByteArray, formula);
    QFETCH(QStringList, params);
    QFETCH(QByteArray, firstLines);
    QFETCH(QString, said);
    QTemporaryFile csv(QDir::tempPath() + u"/morvane-XXXXXX.csv"_s);
    QVERIFY(csv.open());
    csv.write("date,open,high,low,close\n2024-01-01,10,10.3,10,10\n2024-01-02,10,10.3,10,10.3\n");
    csv.close();
    QMap<QString, double> values;
    for (const QString &p : params)
        values.insert(p.section(u'=', 0, 0), p.section(u'=', 1).toDouble());
    QBuffer in, out, err;
    in.setData(formula);
    QVERIFY(in.open(QIODevice::ReadOnly));
    QVERIFY(out.open(QIODevice::WriteOnly));
    QVERIFY(err.open(QIODevice::WriteOnly));
    QCOMPARE(morvane::runEvalCommand(u"-"_s, csv.fileName(), values, false, in, out, err), 0);
    QVERIFY2(out.data().startsWith(firstLines), out.data().constData());
    const QString errors = QString::fromUtf8(err.data());
    if (said.isEmpty())
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
    else
        QVERIFY2(errors.contains(said), qPrintable(errors));
}

// The CSV's numbers as QString::number's shortest form writes them, every value of outputs
// that are decimals, fractions, tiny, huge, negative and zero, on a seeded cent-price walk.
void TestEval::evalCsvWritesQtNumbers()
{
    std::mt19937 rng(11);
    QList<double> close;
    double c = 1000;
    for (int i = 0; i < 400; ++i) {
        c = std::max(1.0, c + double(int(rng() % 41) - 20));
        close << c / 100;
    }
    const Program program =
        parse(u"A:C;B:C/7;D:MA(C,5);E:MA(C,6);F:STD(C,5);G:V*1000;H:-C;I:C-C;J:1E6;K:C*1E-3;"
              "L:C*1E12;M:0-0;N:C/1E7;O:C*1E17;P:10;Q:-120;R:0.5;S:1E-7;"_s);
    const Bars bars = barsOf(close);
    const Evaluation ev = evaluate(program, bars);
    QByteArray want = "date,A,B,D,E,F,G,H,I,J,K,L,M,N,O,P,Q,R,S\n";
    for (std::size_t i = 0; i < bars.dates.size(); ++i) {
        want += bars.dates[i].toString(Qt::ISODate).toLatin1();
        for (const OutputLine &line : ev.outputs) {
            const double x = line.channels.front()[i];
            want += ',';
            if (!std::isnan(x))
                want += QString::number(x, 'g', QLocale::FloatingPointShortest).toLatin1();
        }
        want += '\n';
    }
    const QByteArray got = morvane::evalCsv(bars, ev);
    QCOMPARE(got.size(), want.size());
    QCOMPARE(got, want);
}

// A bars file over the input bound is refused by its size: a sparse file of 300 MiB reads
// nothing, so the refusal says the bound.
void TestEval::evalRefusesLargeBarsUnread()
{
    QTemporaryFile big(QDir::tempPath() + u"/morvane-XXXXXX.csv"_s);
    QVERIFY(big.open());
    QVERIFY(big.resize(qint64(300) << 20));
    big.close();
    QBuffer in, out, err;
    in.setData("A:C;");
    QVERIFY(in.open(QIODevice::ReadOnly));
    QVERIFY(out.open(QIODevice::WriteOnly));
    QVERIFY(err.open(QIODevice::WriteOnly));
    QCOMPARE(morvane::runEvalCommand(u"-"_s, big.fileName(), {}, false, in, out, err), 2);
    QVERIFY(out.data().isEmpty());
    QVERIFY2(QString::fromUtf8(err.data()).contains(u"未读取"_s), err.data().constData());
}

// DMI as charts write it with EXPMEMA: every output evaluated, none rewrites its past.
void TestEval::dmiWithExpmemaReplays()
{
    const Program program =
        parse(u"N:=(2,100,14); MM:=(1,100,6);\n"
              "MTR:=EXPMEMA(MAX(MAX(HIGH-LOW,ABS(HIGH-REF(CLOSE,1))),ABS(REF(CLOSE,1)-LOW)),N);\n"
              "HD:=HIGH-REF(HIGH,1); LD:=REF(LOW,1)-LOW;\n"
              "DMP:=EXPMEMA(IF(HD>0&&HD>LD,HD,0),N); DMM:=EXPMEMA(IF(LD>0&&LD>HD,LD,0),N);\n"
              "PDI:DMP*100/MTR; MDI:DMM*100/MTR;\n"
              "ADX:EXPMEMA(ABS(MDI-PDI)/(MDI+PDI)*100,MM); ADXR:EXPMEMA(ADX,MM);"_s);
    QVERIFY(program.notes.empty());
    const ReplayReport report = replay(program, morvane::formula::builtinBars(300), {});
    QVERIFY2(report.allChecked(), qPrintable(report.missing.join(u',')));
    QCOMPARE(report.outputs.size(), 4u);
    QVERIFY(!report.anyRewrites());
    // ADX has values once the averages have warmed up.
    const Series &adx = report.outputs[2].line.channels[0];
    QVERIFY(std::isnan(adx[0]) && !std::isnan(adx.back()));
}

void TestEval::unknownNamesAndParameters()
{
    const Program program =
        parse(u"A:WINNER(C); B:MA(C,N)+REF(C,P); D:MA(C); E:FINANCE(7); F:SHORT; G:FROMOPEN;"_s);
    EvalOptions options;
    options.params.insert(u"P"_s, 1);
    const Evaluation ev = evaluate(program, barsOf({1, 2, 3, 4, 5, 6}), options);
    QCOMPARE(ev.outputs.size(), 6u);
    QCOMPARE(ev.outputs[0].missing, QStringList{u"CAPITAL"_s}); // no turnover without it
    QVERIFY(ev.outputs[1].ok());
    QCOMPARE(ev.outputs[2].missing, QStringList{u"MA/1"_s});
    QCOMPARE(ev.outputs[3].missing, QStringList{u"FINANCE(7)"_s}); // no column for it
    QCOMPARE(ev.outputs[5].missing, QStringList{u"FROMOPEN"_s});   // a builtin, not a parameter
    QCOMPARE(ev.params.size(), 3u);
    QCOMPARE(ev.params[0].name, u"N"_s);
    QVERIFY(ev.params[0].assumed);
    QCOMPARE(ev.params[0].value, 5.0);
    QCOMPARE(ev.params[1].name, u"P"_s);
    QVERIFY(!ev.params[1].assumed);
    QCOMPARE(ev.params[2].value, 12.0); // SHORT, as MACD declares it

    // Undeclared periods differ, by first use: MA(C,M1) and MA(C,M2) are not one line.
    const Evaluation two = evaluate(
        parse(u"X:=M2;MA1:MA(CLOSE,M1);MA2:MA(CLOSE,M2);XG:CROSS(MA1,MA2);T:N+P1+P2+P3+P4;"_s),
        barsOf({1, 2, 3, 4, 5, 6}));
    QStringList assumed;
    for (const ParamUse &p : two.params)
        assumed << u"%1=%2"_s.arg(p.name).arg(p.value);
    assumed.sort();
    QCOMPARE(assumed, (QStringList{u"M1=10"_s, u"M2=5"_s, u"N=20"_s, u"P1=60"_s, u"P2=120"_s,
                                   u"P3=250"_s, u"P4=260"_s}));
}

// Facts no bar carries: assumed, listed with the parameters, and a given value wins.
void TestEval::stockFacts_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QString>("given"); // KEY=VALUE, or empty
    QTest::addColumn<QString>("key");
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("assumed");
    QTest::newRow("PERIOD") << u"A:PERIOD;"_s << QString() << u"PERIOD"_s << 5.0 << true;
    QTest::newRow("NAMELIKE") << u"A:NAMELIKE('ST');"_s << QString() << u"NAMELIKE('ST')"_s << 0.0
                              << true;
    QTest::newRow("NAMEINCLUDE") << u"A:NAMEINCLUDE('银行');"_s << QString()
                                 << u"NAMEINCLUDE('银行')"_s << 0.0 << true;
    QTest::newRow("CODELIKE given")
        << u"A:CODELIKE('60');"_s << u"CODELIKE('60')=1"_s << u"CODELIKE('60')"_s << 1.0 << false;
    QTest::newRow("TOTALFZNUM") << u"A:C/TOTALFZNUM*TOTALFZNUM;"_s << QString() << u"TOTALFZNUM"_s
                                << 240.0 << true;
}

void TestEval::stockFacts()
{
    QFETCH(QString, formula);
    QFETCH(QString, given);
    QFETCH(QString, key);
    QFETCH(double, value);
    QFETCH(bool, assumed);
    EvalOptions options;
    if (!given.isEmpty())
        options.params.insert(given.section(u'=', 0, 0), given.section(u'=', 1).toDouble());
    const Evaluation ev = evaluate(parse(formula), barsOf({1, 2, 3}), options);
    QVERIFY2(ev.outputs[0].ok(), qPrintable(ev.outputs[0].missing.join(u", "_s)));
    QCOMPARE(ev.params.size(), 1u);
    QCOMPARE(ev.params[0].name, key);
    QCOMPARE(ev.params[0].value, value);
    QCOMPARE(ev.params[0].assumed, assumed);
    QVERIFY(!ev.params[0].meaning.isEmpty() || !assumed);
    // A call known to the precise check too, which would otherwise name it as unchecked.
    QVERIFY(!key.contains(u'(') || knowsFunction(key.section(u'(', 0, 0)));
}

void TestEval::csv_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("problem");
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("bars");
    const auto ok = int(BarsProblem::None);
    QTest::newRow("header, dashes") << QByteArray("date,open,high,low,close,volume,amount\n"
                                                  "2024-01-02,1,2,0.5,1.5,100,150\n"
                                                  "2024-01-03,1.5,2,1,1.8,100,180\n")
                                    << ok << 0 << 2;
    QTest::newRow("compact, CRLF, no volume")
        << QByteArray("20240102,1,2,0.5,1.5\r\n20240103,1,2,0.5,1.5\r\n") << ok << 0 << 2;
    QTest::newRow("slashes, tabs")
        << QByteArray("2024/01/02\t1\t2\t0.5\t1.5\t10\n") << ok << 0 << 1;
    QTest::newRow("bad date") << QByteArray("2024-01-02,1,2,0.5,1.5\n2024-13-02,1,2,0.5,1.5\n")
                              << int(BarsProblem::BadDate) << 2 << 0;
    QTest::newRow("two-digit year")
        << QByteArray("24-01-02,1,2,0.5,1.5\n") << int(BarsProblem::BadDate) << 1 << 0;
    QTest::newRow("columns") << QByteArray("date,o,h,l,c\n2024-01-02,1,2,0.5\n")
                             << int(BarsProblem::ColumnCount) << 2 << 0;
    QTest::newRow("number") << QByteArray("2024-01-02,1,2,x,1.5\n") << int(BarsProblem::BadNumber)
                            << 1 << 0;
    QTest::newRow("low above high")
        << QByteArray("2024-01-02,1,2,3,1.5\n") << int(BarsProblem::BadPrices) << 1 << 0;
    QTest::newRow("order") << QByteArray("2024-01-03,1,2,0.5,1.5\n2024-01-03,1,2,0.5,1.5\n")
                           << int(BarsProblem::DateOrder) << 2 << 0;
    QTest::newRow("empty") << QByteArray("date,open,high,low,close\n") << int(BarsProblem::Empty)
                           << 0 << 0;
    QTest::newRow("named extra column") << QByteArray("date,o,h,l,c,v,FINANCE7\n"
                                                      "2024-01-02,1,2,0.5,1.5,10,5e8\n")
                                        << ok << 0 << 1;
    QTest::newRow("extra column missing")
        << QByteArray("date,o,h,l,c,v,FINANCE7\n2024-01-02,1,2,0.5,1.5,10\n")
        << int(BarsProblem::ColumnCount) << 2 << 0;
}

void TestEval::csv()
{
    QFETCH(QByteArray, text);
    QFETCH(int, problem);
    QFETCH(int, line);
    QFETCH(int, bars);
    const BarsRead read = readBarsCsv(text);
    QCOMPARE(int(read.problem), problem);
    QCOMPARE(read.line, line);
    QCOMPARE(read.bars.size(), bars);
}

void TestEval::builtinBars()
{
    const Bars b = morvane::formula::builtinBars();
    QCOMPARE(b.size(), 1000);
    for (std::size_t i = 0; i < b.dates.size(); ++i) {
        QVERIFY(b.dates[i].dayOfWeek() <= 5);
        QVERIFY(i == 0 || b.dates[i] > b.dates[i - 1]);
        QVERIFY(b.low[i] <= std::min(b.open[i], b.close[i]));
        QVERIFY(b.high[i] >= std::max(b.open[i], b.close[i]));
        QVERIFY(b.low[i] > 0 && b.volume[i] > 0);
    }
    // The same history everywhere: the replay's figures depend on it.
    QCOMPARE(b.close.back(), 5.19);
    QCOMPARE(b.dates.back(), QDate(2023, 11, 1));
}

QTEST_GUILESS_MAIN(TestEval)
#include "tst_eval.moc"
