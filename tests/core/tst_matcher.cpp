#include "check.h"
#include "functionlist.h"
#include "functionmatcher.h"
#include "occurrences.h"

#include <QRandomGenerator>
#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

namespace {

// Pieces chosen to collide: contained names, overlaps, spaces, case, non-ASCII, letters
// whose upper case is longer, a character outside the BMP.
const QStringList kPieces = {
    u"ZIG"_s,  u"ZIGA"_s, u"FLATZIG"_s, u"FLATZIGA"_s, u"zig"_s, u"Peak"_s,   u"PEAKBARS"_s,
    u"A"_s,    u"AA"_s,   u"AAA"_s,     u" ZIG "_s,    u"  "_s,  u"#MONTH"_s, u"#"_s,
    u"未来"_s, u"未"_s,   u"ß"_s,       u"SS"_s,       u"ﬁ"_s,   u"FI"_s,     u"Σ"_s,
    u"σ"_s,    u"😀"_s,    u"\t"_s,      u"\r\n"_s,     u"("_s,   u","_s,      u"ǅ"_s,
};

QString randomText(QRandomGenerator &rng, int maxPieces)
{
    QString text;
    const int n = rng.bounded(maxPieces + 1);
    for (int i = 0; i < n; ++i) {
        if (rng.bounded(4) == 0)
            text += QChar(char16_t(u'A' + rng.bounded(4)));
        else
            text += kPieces[rng.bounded(kPieces.size())];
    }
    return text;
}

int countOverlapping(const QString &haystack, const QString &needle)
{
    int count = 0;
    for (qsizetype i = haystack.indexOf(needle); i >= 0 && !needle.isEmpty();
         i = haystack.indexOf(needle, i + 1))
        ++count;
    return count;
}

} // namespace

class TestMatcher : public QObject
{
    Q_OBJECT

private slots:
    void agreesWithPlainSearch();
    void occurrencesAgreeWithPlainSearch();
    void builtinList();
    void emptyEntryAndText();
    void positions_data();
    void positions();
};

void TestMatcher::agreesWithPlainSearch()
{
    QRandomGenerator rng(20261207);
    for (int round = 0; round < 4000; ++round) {
        QStringList list;
        const int entries = rng.bounded(12);
        for (int i = 0; i < entries; ++i) {
            QString entry = randomText(rng, 3);
            if (entry.isEmpty())
                entry = u"Z"_s;
            list << entry;
        }
        if (entries > 0 && rng.bounded(3) == 0)
            list << list[rng.bounded(list.size())]; // duplicate
        const QString formula = randomText(rng, 30);
        const QString upper = formula.toUpper();
        const QList<bool> expected = plainSearch(upper, list);
        const QList<bool> actual = FunctionMatcher(list).present(upper);
        if (actual != expected)
            QFAIL(qPrintable(u"formula %1, list %2"_s.arg(formula, list.join(u'|'))));
    }
}

void TestMatcher::occurrencesAgreeWithPlainSearch()
{
    QRandomGenerator rng(7);
    for (int round = 0; round < 1500; ++round) {
        QStringList list;
        for (int i = rng.bounded(1, 8); i > 0; --i) {
            const QString entry = randomText(rng, 2);
            list << (entry.isEmpty() ? u"A"_s : entry);
        }
        const QString formula = randomText(rng, 25);
        const FunctionMatcher matcher(list);
        const QList<Occurrence> found = findOccurrences(formula, matcher);
        for (qsizetype e = 0; e < list.size(); ++e) {
            const int expected = countOverlapping(formula.toUpper(), list[e].toUpper());
            const auto actual = std::count_if(found.begin(), found.end(),
                                              [&](const Occurrence &o) { return o.entry == e; });
            if (actual != expected)
                QFAIL(qPrintable(u"entry %1 in %2"_s.arg(list[e], formula)));
        }
        for (qsizetype i = 1; i < found.size(); ++i) {
            const auto a = std::pair(found[i - 1].line, found[i - 1].column);
            const auto b = std::pair(found[i].line, found[i].column);
            QVERIFY(a < b || (a == b && found[i - 1].entry <= found[i].entry));
        }
    }
}

void TestMatcher::builtinList()
{
    const FunctionMatcher matcher(builtinFunctionNames());
    const QList<bool> found = matcher.present(u"X:FLATZIGA(C,5)+PEAKBARS(1,2,3)#MONTH"_s);
    QStringList names;
    for (qsizetype i = 0; i < found.size(); ++i)
        if (found[i])
            names << builtinFunctionNames()[i];
    QCOMPARE(names, QStringList({u"ZIG"_s, u"ZIGA"_s, u"PEAK"_s, u"PEAKBARS"_s, u"FLATZIG"_s,
                                 u"FLATZIGA"_s, u"#MONTH"_s}));
}

void TestMatcher::emptyEntryAndText()
{
    const QStringList list{QString(), u"ZIG"_s};
    QCOMPARE(FunctionMatcher(list).present(QString()), plainSearch(QString(), list));
    QCOMPARE(FunctionMatcher(list).present(u"ZIG"_s), plainSearch(u"ZIG"_s, list));
    QCOMPARE(FunctionMatcher(QStringList()).present(u"ZIG"_s), QList<bool>());
}

void TestMatcher::positions_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QString>("expected"); // entry:line:column ...

    QTest::newRow("first line") << u"a:=zig(c,3);"_s << QStringList{u"ZIG"_s} << u"0:1:4"_s;
    QTest::newRow("line ends") << u"x\r\nzig\ry\nZIG"_s << QStringList{u"ZIG"_s}
                               << u"0:2:1 0:4:1"_s;
    QTest::newRow("same start, list order")
        << u"FLATZIGA"_s << QStringList{u"FLATZIGA"_s, u"ZIG"_s, u"FLATZIG"_s}
        << u"0:1:1 2:1:1 1:1:5"_s;
    QTest::newRow("overlapping") << u"AAA"_s << QStringList{u"AA"_s} << u"0:1:1 0:1:2"_s;
    QTest::newRow("after ß") << u"ß zig"_s << QStringList{u"ZIG"_s} << u"0:1:3"_s;
    QTest::newRow("ß itself") << u"xßy"_s << QStringList{u"SS"_s} << u"0:1:2"_s;
    QTest::newRow("after emoji") << u"😀zig"_s << QStringList{u"ZIG"_s} << u"0:1:2"_s;
    QTest::newRow("chinese") << u"取未来函数"_s << QStringList{u"未来"_s} << u"0:1:2"_s;
}

void TestMatcher::positions()
{
    QFETCH(QString, text);
    QFETCH(QStringList, list);
    QFETCH(QString, expected);
    QStringList actual;
    for (const Occurrence &o : findOccurrences(text, FunctionMatcher(list)))
        actual << u"%1:%2:%3"_s.arg(o.entry).arg(o.line).arg(o.column);
    QCOMPARE(actual.join(u' '), expected);
}

QTEST_GUILESS_MAIN(TestMatcher)
#include "tst_matcher.moc"
