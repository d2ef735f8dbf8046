// The evaluator against values worked out by hand on small series, and the bars reader.
#include "bars.h"
#include "eval.h"
#include "parser.h"

#include <QTest>

#include <cmath>

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

} // namespace

class TestEval : public QObject
{
    Q_OBJECT

private slots:
    void functions_data();
    void functions();
    void unknownNamesAndParameters();
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
    QTest::newRow("HHV per-bar N") << u"HHV(C,BARSCOUNT(C))"_s << L{2, 1, 3, 2} << L{2, 2, 3, 3};
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
