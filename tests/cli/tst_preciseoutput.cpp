// --precise --json is streamed: it must be byte for byte what QJsonDocument writes of the tree.
#include "encoding.h"
#include "functionlist.h"
#include "preciseoutput.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

class TestPreciseOutput : public QObject
{
    Q_OBJECT

private slots:
    void sameAsTree_data();
    void sameAsTree();
    void empty();
};

void TestPreciseOutput::sameAsTree_data()
{
    QTest::addColumn<QStringList>("texts");
    QStringList corpus;
    for (const QString &set : {u"formulas"_s, u"formulas-apart"_s}) {
        const QDir dir(QStringLiteral(MORVANE_TEST_DATA "/") + set);
        for (const QString &name : dir.entryList({u"*.txt"_s}, QDir::Files, QDir::Name)) {
            QFile f(dir.filePath(name));
            if (f.open(QIODevice::ReadOnly))
                corpus << decodeUserText(f.readAll());
        }
    }
    QTest::newRow("the corpus, as one run") << corpus;
    QTest::newRow("every field") << QStringList{
        u"{PEAK}A:=ZIG(3,5);\nB:A>REF(A,1);N:=(-5,5,1);\nX:REF(C,N);"
        "Y:REF(C,-BARSLAST(C>O));\nZ:TDXDLL1(1,C,O,H)+\"KDJ.J\";W:MA(C,5;\n"
        "DRAWTEXT(B,L,'买\"\\\\\t');T:REF(C,-1E300);"_s};
    QTest::newRow("nothing") << QStringList{QString()};
    QTest::newRow("ignored past the bound")
        << QStringList{u"{"_s + u"ZIG "_s.repeated(1200) + u"}"_s};
}

void TestPreciseOutput::sameAsTree()
{
    QFETCH(QStringList, texts);
    std::vector<std::pair<QString, formula::PreciseResult>> results;
    QJsonArray tree;
    for (qsizetype i = 0; i < texts.size(); ++i) {
        const QString file = u"文件 %1.txt"_s.arg(i);
        results.emplace_back(file, formula::preciseCheck(texts[i], builtinFunctionNames()));
        tree.append(preciseJson(file, results.back().second));
    }
    const QString streamed = preciseJsonText(results);
    const QString expected = QString::fromUtf8(QJsonDocument(tree).toJson(QJsonDocument::Indented));
    if (streamed != expected) {
        qsizetype at = 0;
        while (at < streamed.size() && at < expected.size() && streamed[at] == expected[at])
            ++at;
        QFAIL(qPrintable(u"differ at %1:\n%2\n---\n%3"_s.arg(at).arg(streamed.mid(at - 80, 200),
                                                                     expected.mid(at - 80, 200))));
    }
}

void TestPreciseOutput::empty()
{
    QCOMPARE(preciseJsonText({}),
             QString::fromUtf8(QJsonDocument(QJsonArray()).toJson(QJsonDocument::Indented)));
}

QTEST_APPLESS_MAIN(TestPreciseOutput)
#include "tst_preciseoutput.moc"
