// The precise check against the hand-labelled corpus of published formulas, and how the
// plain search does on the same files.
#include "check.h"
#include "encoding.h"
#include "functionlist.h"
#include "precise.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QTest>

using namespace morvane;
using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

struct Row
{
    QString file;
    QStringList expected;
};

QString corpusDir()
{
    // Another labelled set, such as formulas the check was never tuned on, can be named here.
    const QString other = qEnvironmentVariable("MORVANE_CORPUS_DIR");
    return other.isEmpty() ? QStringLiteral(MORVANE_FORMULA_CORPUS) : other;
}

std::vector<Row> readCorpus()
{
    std::vector<Row> rows;
    QFile f(corpusDir() + u"/corpus.tsv"_s);
    if (!f.open(QIODevice::ReadOnly))
        return rows;
    const QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // header first
        const QStringList cols = lines[i].trimmed().split(u'\t');
        if (cols.size() < 2)
            continue;
        const QString expected = cols[1].trimmed();
        rows.push_back(
            {cols[0], expected == u"-" ? QStringList() : expected.split(u' ', Qt::SkipEmptyParts)});
    }
    return rows;
}

QString readFormula(const QString &file)
{
    QFile f(corpusDir() + u'/' + file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return decodeUserText(f.readAll());
}

} // namespace

class TestCorpus : public QObject
{
    Q_OBJECT

private slots:
    void precise_data();
    void precise();
    void plainSearchBeside();
};

void TestCorpus::precise_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("expected");
    const std::vector<Row> rows = readCorpus();
    if (rows.empty())
        QSKIP("no corpus.tsv in tests/data/formulas");
    for (const Row &r : rows)
        QTest::newRow(qPrintable(r.file)) << r.file << r.expected;
}

void TestCorpus::precise()
{
    QFETCH(QString, file);
    QFETCH(QStringList, expected);
    const QString text = readFormula(file);
    QVERIFY2(!text.isEmpty(), qPrintable(file));
    QStringList found;
    for (const FoundName &f : preciseCheck(text, builtinFunctionNames()).found)
        found << f.name;
    QCOMPARE(found, expected);
}

void TestCorpus::plainSearchBeside()
{
    const std::vector<Row> rows = readCorpus();
    if (rows.empty())
        QSKIP("no corpus.tsv in tests/data/formulas");
    const QStringList &list = builtinFunctionNames();
    int plainExact = 0;
    int plainMissed = 0;
    int plainFalse = 0;
    int preciseExact = 0;
    for (const Row &r : rows) {
        const QString text = readFormula(r.file);
        const QList<bool> hits = plainSearch(text.toUpper(), list);
        QSet<QString> plain;
        for (qsizetype i = 0; i < list.size(); ++i) {
            if (hits[i])
                plain.insert(list[i]);
        }
        const QSet<QString> expected(r.expected.cbegin(), r.expected.cend());
        plainExact += plain == expected ? 1 : 0;
        plainMissed += static_cast<int>((expected - plain).size());
        plainFalse += static_cast<int>((plain - expected).size());
        QStringList found;
        for (const FoundName &f : preciseCheck(text, list).found)
            found << f.name;
        preciseExact += found == r.expected ? 1 : 0;
    }
    qInfo("%zu formulas: precise check exactly right on %d; plain search exactly right on %d, "
          "missed %d names that count, %d false alarms",
          rows.size(), preciseExact, plainExact, plainMissed, plainFalse);
}

QTEST_APPLESS_MAIN(TestCorpus)
#include "tst_corpus.moc"
