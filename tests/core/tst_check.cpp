#include "check.h"
#include "functionlist.h"

#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

namespace {
QString hits(const QStringList &names)
{
    QString text;
    for (const QString &n : names)
        text += u" 发现未来函数 "_s + n + u"\r\n"_s;
    return text;
}
} // namespace

class TestCheck : public QObject
{
    Q_OBJECT

private slots:
    void report_data();
    void report();
    void summaryAtMinute_data();
    void summaryAtMinute();
    void clockReadOnlyWhenNothingFound();
};

void TestCheck::report_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("expected");

    const QStringList builtin = builtinFunctionNames();
    const QString none = u" 没有发现未来函数。"_s;

    QTest::newRow("contained names") << u"X:FLATZIGA(C,5);"_s << builtin
                                     << hits({u"ZIG"_s, u"ZIGA"_s, u"FLATZIG"_s, u"FLATZIGA"_s});
    QTest::newRow("peakbars") << u"A:=PEAKBARS(3,5,1);"_s << builtin
                              << hits({u"PEAK"_s, u"PEAKBARS"_s});
    QTest::newRow("lower-case formula") << u"zig(close,3)"_s << builtin << hits({u"ZIG"_s});
    QTest::newRow("five times, one line")
        << u"ZIG ZIG zig Zig ZIG"_s << builtin << hits({u"ZIG"_s});
    QTest::newRow("list order, not text order")
        << u"PEAK(1);ZIG(2);"_s << builtin << hits({u"ZIG"_s, u"PEAK"_s});
    QTest::newRow("cross-period") << u"M:=CLOSE#MONTH;"_s << builtin << hits({u"#MONTH"_s});
    QTest::newRow("empty formula") << QString() << builtin << none;
    QTest::newRow("empty list") << u"ZIG(C,3)"_s << QStringList() << none;
    QTest::newRow("clean formula") << u"MA(C,5)"_s << builtin << none;
    QTest::newRow("spaces around entry miss")
        << u"A:ZIG(C,3)"_s << QStringList{u"  ZIG  "_s} << none;
    QTest::newRow("spaces around entry hit")
        << u"A:  zig  "_s << QStringList{u"  ZIG  "_s} << hits({u"  ZIG  "_s});
    QTest::newRow("lower-case entry matches")
        << u"ZIG(C,3)"_s << QStringList{u"zig"_s} << hits({u"zig"_s});
    QTest::newRow("duplicate entries")
        << u"zig"_s << QStringList{u"ZIG"_s, u"ZIG"_s} << hits({u"ZIG"_s, u"ZIG"_s});
    QTest::newRow("chinese entry") << u"x:未来(1)"_s << QStringList{u"未来"_s} << hits({u"未来"_s});
    QTest::newRow("longer upper case")
        << u"straße"_s << QStringList{u"STRASSE"_s} << hits({u"STRASSE"_s});
    QTest::newRow("tab entry") << u"A\tB"_s << QStringList{u"\t"_s} << hits({u"\t"_s});
}

void TestCheck::report()
{
    QFETCH(QString, formula);
    QFETCH(QStringList, list);
    QFETCH(QString, expected);

    const CheckReport r = checkFormula(formula, list, [] { return QTime(10, 30); });
    QCOMPARE(r.text, expected);
    QCOMPARE(r.found, expected.endsWith(u"\r\n"_s));
}

void TestCheck::summaryAtMinute_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QString>("expected");

    QTest::newRow("14:59:30") << QTime(14, 59, 30) << u"MA(C,5)"_s << u" 没有发现未来函数吖！"_s;
    QTest::newRow("15:00:01") << QTime(15, 0, 1) << u"MA(C,5)"_s << u" 没有发现未来函数。"_s;
    QTest::newRow("14:58:59") << QTime(14, 58, 59) << u"MA(C,5)"_s << u" 没有发现未来函数。"_s;
    QTest::newRow("hits at 59") << QTime(9, 59) << u"ZIG"_s << hits({u"ZIG"_s});
}

void TestCheck::summaryAtMinute()
{
    QFETCH(QTime, time);
    QFETCH(QString, formula);
    QFETCH(QString, expected);
    QCOMPARE(checkFormula(formula, builtinFunctionNames(), [&] { return time; }).text, expected);
}

void TestCheck::clockReadOnlyWhenNothingFound()
{
    int reads = 0;
    const LocalClock clock = [&] {
        ++reads;
        return QTime(12, 0);
    };
    checkFormula(u"ZIG"_s, builtinFunctionNames(), clock);
    QCOMPARE(reads, 0);
    checkFormula(u"MA"_s, builtinFunctionNames(), clock);
    QCOMPARE(reads, 1);
}

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
