// The precise check against the hand-labelled corpus of published formulas, and how the
// plain search does on the same files.
#include "check.h"
#include "encoding.h"
#include "functionlist.h"
#include "lexer.h"
#include "precise.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTest>

using namespace morvane;
using namespace morvane::formula;
using namespace Qt::StringLiterals;

namespace {

struct Row
{
    QString file; // path from the set's folder
    QStringList expected;
    QString affects; // hand label: NAME=output,output* ("*" a signal, "@7DRAWTEXT" a drawing)
};

// The labelled sets: the corpus, and the formulas kept apart while the check was written.
// Another labelled set can be named in MORVANE_CORPUS_DIR.
QStringList corpusDirs()
{
    const QString other = qEnvironmentVariable("MORVANE_CORPUS_DIR");
    if (!other.isEmpty())
        return {other};
    return {QStringLiteral(MORVANE_FORMULA_CORPUS),
            QStringLiteral(MORVANE_FORMULA_CORPUS "-apart")};
}

std::vector<Row> readCorpus(const QString &dir)
{
    std::vector<Row> rows;
    QFile f(dir + u"/corpus.tsv"_s);
    if (!f.open(QIODevice::ReadOnly))
        return rows;
    const QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // header first
        const QStringList cols = lines[i].trimmed().split(u'\t');
        if (cols.size() < 2)
            continue;
        const QString expected = cols[1].trimmed();
        rows.push_back({dir + u'/' + cols[0],
                        expected == u"-" ? QStringList() : expected.split(u' ', Qt::SkipEmptyParts),
                        cols.value(5)});
    }
    return rows;
}

QString readFormula(const QString &file)
{
    QFile f(file);
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
    void affects();
    void brokenStatements();
    void publishedForms_data();
    void publishedForms();
    void plainSearchBeside();

private:
    void compare(const QString &dir);
};

void TestCorpus::precise_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("expected");
    for (const QString &dir : corpusDirs()) {
        const std::vector<Row> rows = readCorpus(dir);
        QVERIFY2(!rows.empty(), qPrintable(dir));
        for (const Row &r : rows) {
            QTest::newRow(
                qPrintable(QFileInfo(dir).fileName() + u'/' + QFileInfo(r.file).fileName()))
                << r.file << r.expected;
        }
    }
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

// The outputs each finding reaches, against labels made by reading the formulas.
void TestCorpus::affects()
{
    int labelled = 0;
    for (const QString &dir : corpusDirs()) {
        for (const Row &r : readCorpus(dir)) {
            if (r.affects.isEmpty())
                continue;
            ++labelled;
            QStringList out;
            for (const FoundName &f :
                 preciseCheck(readFormula(r.file), builtinFunctionNames()).found) {
                QStringList names;
                for (const AffectedOutput &a : f.affects) {
                    const QString n =
                        a.drawing || a.name.isEmpty() ? u"@%1%2"_s.arg(a.line).arg(a.name) : a.name;
                    names << n + (a.signal ? u"*"_s : QString());
                }
                out << f.name + u'=' + names.join(u',');
            }
            QCOMPARE(out.join(u' '), r.affects);
        }
    }
    QVERIFY2(labelled >= 20, qPrintable(QString::number(labelled)));
}

// One broken statement never turns a formula green, nor hides what counts elsewhere: each
// statement's last ')' removed in turn.
void TestCorpus::brokenStatements()
{
    int mutants = 0;
    for (const QString &dir : corpusDirs()) {
        for (const Row &r : readCorpus(dir)) {
            const QString text = readFormula(r.file);
            const PreciseResult intact = preciseCheck(text, builtinFunctionNames());
            const std::vector<Token> tokens = lex(text);
            qsizetype lastParen = -1;
            for (const Token &t : tokens) {
                if (t.kind == TokenKind::RightParen)
                    lastParen = t.offset;
                if (t.kind != TokenKind::Semicolon || lastParen < 0)
                    continue;
                const QString broken = QString(text).remove(lastParen, 1);
                lastParen = -1;
                ++mutants;
                const PreciseResult r2 = preciseCheck(broken, builtinFunctionNames());
                const QString where =
                    r.file + u" without the ')' before offset "_s + QString::number(t.offset);
                QVERIFY2(verdictOf(r2) != Verdict::Clean, qPrintable(where));
                QSet<QString> named;
                for (const auto *list : {&r2.found, &r2.doubts}) {
                    for (const FoundName &f : *list)
                        named.insert(f.name);
                }
                for (const FoundName &f : intact.found)
                    QVERIFY2(named.contains(f.name), qPrintable(f.name + u" lost: "_s + where));
            }
        }
    }
    QVERIFY(mutants > 500);
    qInfo("%d broken statements checked", mutants);
}

// Forms that published formulas use and the charting software accepts read without a note.
void TestCorpus::publishedForms_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("style word after a call") << u"明日价:REF(C,1)COLORRED,LINETHICK2;"_s;
    QTest::newRow("style word after a drawing") << u"STICKLINE(C>O,C,O,2,0)DOTLINE;"_s;
    QTest::newRow("style words without commas")
        << u"A:C,LINETHICK1 DOTLINE;B:C DOTLINE COLORRED;"_s;
    QTest::newRow("full-width punctuation") << u"A：＝MA（C，5）；B：A，COLORRED；"_s;
    QTest::newRow("full-width parentheses in a name") << u"营收（亿）:FINANCE(20)/10000;"_s;
    QTest::newRow("heading pasted with the code") << u"#主力进出#\nA:MA(C,5);"_s;
    QTest::newRow("stray quote first") << u"\"A:MA(C,5);"_s;
    QTest::newRow("colour by number") << u"A:MA(C,5),COLOR00FFFF,NODRAW;"_s;
    QTest::newRow("text after the call") << u"DRAWTEXT(CROSS(C,MA(C,5)),L,'买'),COLORRED;"_s;
}

void TestCorpus::publishedForms()
{
    QFETCH(QString, text);
    const PreciseResult r = preciseCheck(text, builtinFunctionNames());
    QVERIFY2(r.notes.empty(), qPrintable(r.notes.empty() ? QString() : r.notes[0].message));
}

void TestCorpus::plainSearchBeside()
{
    for (const QString &dir : corpusDirs())
        compare(dir);
}

void TestCorpus::compare(const QString &dir)
{
    const std::vector<Row> rows = readCorpus(dir);
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
    qInfo("%s, %zu formulas: precise check exactly right on %d; plain search exactly right on %d, "
          "missed %d names that count, %d false alarms",
          qPrintable(QFileInfo(dir).fileName()), rows.size(), preciseExact, plainExact, plainMissed,
          plainFalse);
}

QTEST_APPLESS_MAIN(TestCorpus)
#include "tst_corpus.moc"
