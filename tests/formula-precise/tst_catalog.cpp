#include "catalog.h"
#include "functions.h"
#include "knowledge.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

// The names the evaluator runs, read from its sources: every quoted upper-case word that
// knowsFunction() accepts. Reading the sources keeps a function added there from slipping by.
QStringList evaluatorNames()
{
    static const QRegularExpression quoted(u"\"([A-Z][A-Z0-9_]*)\""_s);
    QSet<QString> names;
    QDirIterator it(QStringLiteral(MORVANE_EVAL_SOURCES), {u"*.cpp"_s, u"*.h"_s}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString text = QString::fromUtf8(file.readAll());
        for (const QRegularExpressionMatch &m : quoted.globalMatch(text))
            if (knowsFunction(m.captured(1)))
                names.insert(m.captured(1));
    }
    QStringList sorted(names.begin(), names.end());
    sorted.sort();
    return sorted;
}

} // namespace

class TestCatalog : public QObject
{
    Q_OBJECT

private slots:
    void entries_data();
    void entries();
    void wellFormed();
    void agreesWithKnowledge();
    void coversTheEvaluator();
    void agreesWithTheEvaluator();
};

void TestCatalog::entries_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cls"); // empty: not in the catalogue

    QTest::newRow("IFELSE is a plain choice") << u"IFELSE"_s << u"causal"_s;
    QTest::newRow("CON2STR builds text") << u"CON2STR"_s << u"text"_s;
    QTest::newRow("DRAWGBK draws") << u"DRAWGBK"_s << u"drawing"_s;
    QTest::newRow("DRAWCOLORLINE draws") << u"DRAWCOLORLINE"_s << u"drawing"_s;
    QTest::newRow("BACKGROUNDSTYLE draws") << u"BACKGROUNDSTYLE"_s << u"drawing"_s;
    QTest::newRow("ZIG looks ahead") << u"ZIG"_s << u"future"_s;
    QTest::newRow("BACKSET rewrites history") << u"BACKSET"_s << u"future"_s;
    QTest::newRow("REFDATE reads a later date") << u"REFDATE"_s << u"future"_s;
    QTest::newRow("FINANCE drifts") << u"FINANCE"_s << u"drift"_s;
    QTest::newRow("a period suffix drifts") << u"#WEEK"_s << u"drift"_s;
    QTest::newRow("CURRBARSCOUNT counts from the last bar") << u"CURRBARSCOUNT"_s << u"lastbar"_s;
    QTest::newRow("DRAWLINE waits for its second point") << u"DRAWLINE"_s << u"lastbar"_s;
    QTest::newRow("REF is causal, offsets are checked apart") << u"REF"_s << u"causal"_s;
    QTest::newRow("INBLOCK is a stock fact") << u"INBLOCK"_s << u"fact"_s;
    QTest::newRow("a short price name") << u"C"_s << u"causal"_s;
    QTest::newRow("any case") << u"ma"_s << u"causal"_s;
    QTest::newRow("mixed case") << u"StrCat"_s << u"text"_s;
    QTest::newRow("a plug-in is unknown") << u"TDXDLL1"_s << QString();
    QTest::newRow("nothing is unknown") << QString() << QString();
    QTest::newRow("a suffix needs its hash") << u"WEEKS"_s << QString();
}

void TestCatalog::entries()
{
    QFETCH(QString, name);
    QFETCH(QString, cls);
    const CatalogEntry *entry = catalogEntry(name);
    if (cls.isEmpty()) {
        QVERIFY(!entry);
        return;
    }
    QVERIFY(entry);
    QCOMPARE(functionClassWord(entry->cls), cls);
    QCOMPARE(entry->name, name.toUpper());
}

void TestCatalog::wellFormed()
{
    QSet<QString> seen;
    for (const CatalogEntry &e : catalog()) {
        QVERIFY2(!seen.contains(e.name), qPrintable(u"twice: "_s + e.name));
        seen.insert(e.name);
        QCOMPARE(e.name, e.name.toUpper());
        QCOMPARE(catalogEntry(e.name), &e);
        // The tooltip opens with the name (and its arguments), so a shifted column shows.
        QVERIFY2(e.definition.startsWith(e.name) && e.definition.contains(u'：'),
                 qPrintable(e.name + u": "_s + e.definition));
    }
    QVERIFY(catalog().size() > 250);
}

void TestCatalog::agreesWithKnowledge()
{
    for (const KnownName &k : knownNames()) {
        const CatalogEntry *entry = catalogEntry(k.name);
        QVERIFY2(entry, qPrintable(k.name + u" is not in the catalogue"_s));
        // REF and REFV look ahead only with a negative offset: causal here, the check sees
        // the offset.
        const QLatin1StringView expected =
            k.negativeOffsetOnly ? functionClassWord(FunctionClass::Causal) : classWord(k.cls);
        QVERIFY2(functionClassWord(entry->cls) == expected,
                 qPrintable(k.name + u": "_s + functionClassWord(entry->cls) + u" against "_s +
                            expected));
    }
}

void TestCatalog::coversTheEvaluator()
{
    const QStringList names = evaluatorNames();
    // Far fewer would mean the sources moved, not that the catalogue is complete.
    QVERIFY2(names.size() > 120, qPrintable(QString::number(names.size())));
    for (const QString &name : {u"MA"_s, u"STICKLINE"_s, u"INDEXC"_s, u"NAMELIKE"_s})
        QVERIFY2(names.contains(name), qPrintable(name));
    QStringList missing;
    for (const QString &name : names)
        if (!catalogEntry(name))
            missing << name;
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(u' ')));
}

void TestCatalog::agreesWithTheEvaluator()
{
    // What the evaluator proves causal, the catalogue may not call anything else.
    for (const QString &name : causalFunctions()) {
        const CatalogEntry *entry = catalogEntry(name);
        QVERIFY2(entry && entry->cls == FunctionClass::Causal, qPrintable(name));
    }
    for (const QString &name : evaluatorNames()) {
        const CatalogEntry *entry = catalogEntry(name);
        QVERIFY(entry);
        if (isDrawingCall(name))
            QVERIFY2(entry->cls == FunctionClass::Drawing || entry->cls == FunctionClass::LastBar,
                     qPrintable(name));
        else if (causalSeries(name))
            QVERIFY2(entry->cls == FunctionClass::Causal, qPrintable(name));
    }
}

QTEST_APPLESS_MAIN(TestCatalog)
#include "tst_catalog.moc"
