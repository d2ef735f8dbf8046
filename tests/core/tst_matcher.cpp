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
// whose upper case is longer, a character outside the BMP, caseless punctuation,
// a lone high surrogate (which toUpper() may turn into U+FFFD).
const QString kLoneHigh(QChar(char16_t(0xD83D)));
const QStringList kPieces = {
    u"ZIG"_s,  u"ZIGA"_s, u"FLATZIG"_s, u"FLATZIGA"_s, u"zig"_s, u"Peak"_s,   u"PEAKBARS"_s,
    u"A"_s,    u"AA"_s,   u"AAA"_s,     u" ZIG "_s,    u"  "_s,  u"#MONTH"_s, u"#"_s,
    u"未来"_s, u"未"_s,   u"ß"_s,       u"SS"_s,       u"ﬁ"_s,   u"FI"_s,     u"Σ"_s,
    u"σ"_s,    u"😀"_s,    u"\t"_s,      u"\r\n"_s,     u"("_s,   u","_s,      u"ǅ"_s,
    u"ſ"_s,    u"ΐ"_s,    u"ﬃ"_s,       u"𐐨"_s,        u"ı"_s,   u"ａ"_s,     u"\r"_s,
    u"，"_s,   u"“"_s,    u"\uFFFD"_s,  kLoneHigh,
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
    void longTextsAgree();
    void foldIsQtUpperCase();
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
        const FunctionMatcher matcher(list);
        for (qsizetype e = 0; e < list.size(); ++e)
            QCOMPARE(matcher.patternLength(e), list[e].toUpper().size());
        // as written: the matcher upper-cases inside
        const QList<bool> actual = matcher.present(round % 2 ? formula : upper);
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

// Long enough for the scan to split the text between lanes and to keep a tail between blocks.
void TestMatcher::longTextsAgree()
{
    QRandomGenerator rng(11);
    for (int round = 0; round < 9; ++round) {
        QStringList list;
        for (int i = rng.bounded(1, 10); i > 0; --i) {
            const QString entry = randomText(rng, 3);
            list << (entry.isEmpty() ? u"ZIG"_s : entry);
        }
        QString formula;
        while (formula.size() < (round < 8 ? 30000 : 1200000))
            formula += randomText(rng, 40);
        const FunctionMatcher matcher(list);
        // QString::toUpper() is slow on long texts full of ß: the plain search gets pieces
        QString upper;
        for (qsizetype at = 0, n; at < formula.size(); at += n) {
            n = std::min<qsizetype>(1000, formula.size() - at);
            n += formula[at + n - 1].isHighSurrogate() ? 1 : 0; // a pair stays whole
            upper += formula.mid(at, n).toUpper();
        }
        QCOMPARE(matcher.present(formula), plainSearch(upper, list));
        if (round >= 8)
            continue;
        const QList<Occurrence> found = findOccurrences(formula, matcher);
        for (qsizetype e = 0; e < list.size(); ++e) {
            const auto actual = std::count_if(found.begin(), found.end(),
                                              [&](const Occurrence &o) { return o.entry == e; });
            QCOMPARE(actual, countOverlapping(upper, list[e].toUpper()));
        }
    }
}

// The scan's upper case of each character, and of a whole text, is QString::toUpper()'s.
void TestMatcher::foldIsQtUpperCase()
{
    QString all;
    QString rebuilt;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (QChar::isSurrogate(c))
            continue;
        const QChar units16[2] = {QChar(QChar::highSurrogate(c)), QChar(QChar::lowSurrogate(c))};
        const QString one = c < 0x10000 ? QString(QChar(char16_t(c))) : QString(units16, 2);
        all += one;
        rebuilt += one.toUpper();
        unsigned char bytes[18];
        const int n = foldCodePoint(c, bytes);
        QString units; // one UTF-8 sequence per code unit, surrogates included
        for (int i = 0; i < n;) {
            const unsigned b = bytes[i];
            const int length = b < 0x80 ? 1 : b < 0xE0 ? 2 : 3;
            const unsigned u = length == 1   ? b
                               : length == 2 ? (b & 0x1F) << 6 | (bytes[i + 1] & 0x3Fu)
                                             : (b & 0x0F) << 12 | (bytes[i + 1] & 0x3Fu) << 6 |
                                                   (bytes[i + 2] & 0x3Fu);
            units += QChar(char16_t(u));
            i += length;
        }
        if (units != one.toUpper())
            QFAIL(qPrintable(u"U+"_s + QString::number(quint32(c), 16)));
    }
    QVERIFY(all.toUpper() == rebuilt); // character by character, no context
    QCOMPARE(FunctionMatcher({u"SS"_s, u"FFI"_s}).present(u"straﬃße"_s), QList<bool>({true, true}));
    QCOMPARE(findOccurrences(all, FunctionMatcher({u"𐐀"_s})).size(), 2);
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
    QTest::newRow("inside ﬃ") << u"aﬃ"_s << QStringList{u"FI"_s} << u"0:1:2"_s;
    QTest::newRow("long s") << u"ſſzig"_s << QStringList{u"SSZ"_s} << u"0:1:1"_s;
    QTest::newRow("lone highs that end the text stay") // toUpper() keeps the whole run
        << (u"ſ"_s + kLoneHigh + kLoneHigh) << QStringList{u"\uFFFD"_s, kLoneHigh}
        << u"1:1:2 1:1:3"_s;
    QTest::newRow("after deseret") << u"𐐨\rzig"_s << QStringList{u"ZIG"_s} << u"0:2:1"_s;
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
