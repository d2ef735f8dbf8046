#include "check.h"
#include "encoding.h"
#include "functionlist.h"

#include <QRandomGenerator>
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
    void gbkPairs_data();
    void gbkPairs();
    void decoding_data();
    void decoding();
    void utf8ValidationIsQts();
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
    // QString::toUpper() replaces unpaired surrogates after the first letter it changes
    const QString lowHalf(QChar(0xDC00));
    QTest::newRow("unpaired after a change")
        << u"a"_s + lowHalf << QStringList{u"\uFFFD"_s} << hits({u"\uFFFD"_s});
    QTest::newRow("unpaired, nothing changed")
        << u"A"_s + lowHalf << QStringList{u"\uFFFD"_s} << none;
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

// The encoding guess never hides a name written in ASCII, and keeps GBK files as they were.
void TestCheck::decoding_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("stray byte before a name")
        << QByteArray("A:=\xE9ZIG(C,5)") << u"A:=\uFFFDZIG(C,5)"_s << true;
    QTest::newRow("chinese utf-8, one stray byte")
        << QByteArray("{\xE6\x9C\xAA\xE6\x9D\xA5}\xFFzig") << u"{未来}\uFFFDzig"_s << true;
    QTest::newRow("gbk") << QByteArray("a:=\xce\xb4\xc0\xb4(1);") << u"a:=未来(1);"_s << false;
    QTest::newRow("gbk, letters as second bytes")
        << encodeGb18030(u"{說明:時間週期}ZIG"_s) << u"{說明:時間週期}ZIG"_s << false;
    QTest::newRow("utf-16le mark") << QByteArray("\xFF\xFEZ\0I\0G\0", 8) << u"ZIG"_s << false;
    QTest::newRow("utf-16be mark") << QByteArray("\xFE\xFF\0Z\0I\0G", 8) << u"ZIG"_s << false;
    QTest::newRow("utf-32le mark") << QByteArray("\xFF\xFE\0\0Z\0\0\0", 8) << u"Z"_s << false;
    QTest::newRow("utf-8 mark, stray byte")
        << QByteArray("\xEF\xBB\xBFZIG\xFF") << u"ZIG\uFFFD"_s << true;
}

// Without ICU GBK goes through the system's code page pair by pair; a byte that starts no
// pair is U+FFFD on its own and never takes the line end after it.
void TestCheck::gbkPairs_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("ascii") << QByteArray("ZIG(C,5)\r\n") << u"ZIG(C,5)\r\n"_s << false;
    QTest::newRow("lead byte before a line end")
        << QByteArray("\x81\r\nZIG") << u"\uFFFD\r\nZIG"_s << true;
    QTest::newRow("lead byte at the end") << QByteArray("ZIG\x81") << u"ZIG\uFFFD"_s << true;
    QTest::newRow("two bytes no lead") << QByteArray("\xff\xff\n") << u"\uFFFD\uFFFD\n"_s << true;
    QTest::newRow("lead then punctuation") << QByteArray("\xb4(A") << u"\uFFFD(A"_s << true;
    if (!hasGb18030()) // the pairs themselves only where the code page is GBK's
        QTest::newRow("pairs") << QByteArray("a:=\xce\xb4\xc0\xb4(1);") << u"a:=未来(1);"_s
                               << false;
}

void TestCheck::gbkPairs()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(bool, replaced);
    bool actual = false;
    QCOMPARE(decodeGbkPairs(bytes, &actual), text);
    QCOMPARE(actual, replaced);
}

void TestCheck::decoding()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(bool, replaced);
    const DecodedText decoded = decodeUserTextDetailed(bytes);
    QCOMPARE(decoded.text, text);
    QCOMPARE(decoded.replaced, replaced);
    QCOMPARE(decodeUserText(bytes), text);
}

// Sequences valid and not, cut anywhere, around the validator's 32-byte steps.
void TestCheck::utf8ValidationIsQts()
{
    const QList<QByteArray> pieces = {"a",
                                      "ZIG(C,5)",
                                      "\xC2\x80",
                                      "\xDF\xBF",
                                      "\xE4\xB8\xAD",
                                      "\xEF\xBC\x9A",
                                      "\xE0\xA0\x80",
                                      "\xED\x9F\xBF",
                                      "\xF0\x90\x80\x80",
                                      "\xF4\x8F\xBF\xBF",
                                      "\xC0\x80",
                                      "\xC1\xBF",
                                      "\xE0\x9F\xBF",
                                      "\xED\xA0\x80",
                                      "\xF0\x8F\xBF\xBF",
                                      "\xF4\x90\x80\x80",
                                      "\xF5\x80",
                                      "\xFF",
                                      "\x80",
                                      "\xBF\xBF",
                                      "\xE4\xB8",
                                      "\xF0\x90\x80"};
    QRandomGenerator rng(32);
    for (int round = 0; round < 20000; ++round) {
        QByteArray bytes;
        const bool bad = rng.bounded(4) == 0;
        for (int n = rng.bounded(40); n > 0; --n)
            bytes += pieces[rng.bounded(bad ? pieces.size() : 10)];
        if (rng.bounded(3) == 0)
            bytes.chop(rng.bounded(qMin<qsizetype>(4, bytes.size() + 1)));
        QCOMPARE(isValidUtf8(bytes), QByteArrayView(bytes).isValidUtf8());
    }
}

QTEST_GUILESS_MAIN(TestCheck)
#include "tst_check.moc"
