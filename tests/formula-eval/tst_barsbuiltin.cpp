// The built-in securities: sound, varied, the same everywhere, and rich enough that the
// replay proves look-ahead in pattern formulas and stays quiet on honest ones.
#include "builtin.h"
#include "parser.h"
#include "replay.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

const std::vector<Security> &securities()
{
    static const std::vector<Security> all = builtinSecurities();
    return all;
}

// The replay costs bars squared: the corpus runs on the first 300 bars of each security,
// which holds every kind of day and pattern several times over.
constexpr qsizetype kCorpusBars = 300;

} // namespace

class TestBarsBuiltin : public QObject
{
    Q_OBJECT

private slots:
    void soundAndNamed();
    void sameEverywhere();
    void dayKinds();
    void builtinBarsKept();
    void patternFormulas_data();
    void patternFormulas();
    void corpusStable();
};

void TestBarsBuiltin::soundAndNamed()
{
    const auto &all = securities();
    QCOMPARE(all.size(), 20u);
    QSet<QString> codes, names;
    for (const Security &s : all) {
        codes << s.code;
        names << s.name;
        QVERIFY(s.name.startsWith(u"模拟"_s));
        QVERIFY(s.file.isEmpty());
        const Bars &b = s.bars;
        QCOMPARE(b.size(), 1000);
        for (const auto &[key, column] : b.extra)
            QCOMPARE(qsizetype(column.size()), b.size());
        for (std::size_t i = 0; i < b.dates.size(); ++i) {
            QVERIFY(b.dates[i].dayOfWeek() <= 5);
            QVERIFY(i == 0 || b.dates[i] > b.dates[i - 1]);
            QVERIFY2(b.low[i] > 0 && b.low[i] <= std::min(b.open[i], b.close[i]) &&
                         b.high[i] >= std::max(b.open[i], b.close[i]) && b.volume[i] >= 0,
                     qPrintable(s.code + u' ' + b.dates[i].toString(Qt::ISODate)));
            // Prices in cents, as a market quotes them.
            QCOMPARE(std::round(b.close[i] * 100.0) / 100.0, b.close[i]);
        }
    }
    QCOMPARE(codes.size(), 20);
    QCOMPARE(names.size(), 20);
}

// Built from integer arithmetic and + - * / on doubles only: a digest of every price pins
// the bars on every platform and compiler.
void TestBarsBuiltin::sameEverywhere()
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const Security &s : securities()) {
        hash.addData(s.code.toUtf8());
        for (qsizetype i = 0; i < s.bars.size(); ++i) {
            const auto at = std::size_t(i);
            hash.addData(s.bars.dates[at].toString(Qt::ISODate).toLatin1());
            for (double v : {s.bars.open[at], s.bars.high[at], s.bars.low[at], s.bars.close[at],
                             s.bars.volume[at]})
                hash.addData(QByteArray::number(v, 'f', 2));
        }
    }
    QCOMPARE(hash.result().toHex().left(16), QByteArray("7cee63530c5ca8ea"));
}

// Every security has suspensions, limit days both ways, flat days and equal highs.
void TestBarsBuiltin::dayKinds()
{
    for (const Security &s : securities()) {
        const Bars &b = s.bars;
        int gaps = 0, limitUp = 0, limitDown = 0, flat = 0, equalHighs = 0;
        for (std::size_t i = 1; i < b.dates.size(); ++i) {
            gaps += b.dates[i - 1].daysTo(b.dates[i]) > 3 ? 1 : 0;
            const double up = std::round(b.close[i - 1] * 110.0) / 100.0;
            const double down = std::round(b.close[i - 1] * 90.0) / 100.0;
            limitUp += b.close[i] == up ? 1 : 0;
            limitDown += b.close[i] == down ? 1 : 0;
            flat += b.open[i] == b.close[i] && b.high[i] == b.low[i] ? 1 : 0;
            equalHighs += b.high[i] == b.high[i - 1] ? 1 : 0;
        }
        QVERIFY2(gaps > 0 && limitUp > 0 && limitDown > 0 && flat > 0 && equalHighs > 0,
                 qPrintable(u"%1: gaps %2, up %3, down %4, flat %5, equal highs %6"_s.arg(s.code)
                                .arg(gaps)
                                .arg(limitUp)
                                .arg(limitDown)
                                .arg(flat)
                                .arg(equalHighs)));
    }
}

// The single history the older tests measure against stays what it was.
void TestBarsBuiltin::builtinBarsKept()
{
    const Bars b = builtinBars();
    QCOMPARE(b.size(), 1000);
    QCOMPARE(b.close.front(), 10.32);
    QCOMPARE(b.close.back(), 5.19);
    QCOMPARE(b.extra.at(u"INDEXC"_s).back(), 3170.4851320117668);
}

void TestBarsBuiltin::patternFormulas_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("dark cloud cover") << u"021-hq-color-wygd-dark-cloud.txt"_s;
    QTest::newRow("rising three") << u"025-hq-color-sssbq-rising-three.txt"_s;
    QTest::newRow("falling three") << u"026-hq-color-xdsbq-falling-three.txt"_s;
}

// BACKSET on a candle pattern rewrites history only where the pattern occurs.
void TestBarsBuiltin::patternFormulas()
{
    QFETCH(QString, file);
    QFile f(QStringLiteral(MORVANE_TEST_DATA) + u"/formulas/"_s + file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const Program program = parse(QString::fromUtf8(f.readAll()));
    int rewriting = 0;
    for (const Security &s : securities())
        rewriting += replay(program, s.bars.head(kCorpusBars), {}).anyRewrites() ? 1 : 0;
    qInfo("%s rewrites history on %d of 20 securities", qPrintable(file), rewriting);
    QVERIFY(rewriting >= 5);
}

// No formula whose labels name no look-ahead is said to rewrite history, on any security.
void TestBarsBuiltin::corpusStable()
{
    const QString dir = QStringLiteral(MORVANE_TEST_DATA) + u"/formulas/"_s;
    QFile tsv(dir + u"corpus.tsv"_s);
    QVERIFY(tsv.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(tsv.readAll()).split(u'\n', Qt::SkipEmptyParts);
    std::vector<Bars> heads;
    for (const Security &s : securities())
        heads.push_back(s.bars.head(kCorpusBars));
    int formulas = 0;
    for (qsizetype r = 1; r < rows.size(); ++r) {
        const QStringList f = rows[r].split(u'\t');
        const QStringList labels = f.value(1).split(u' ', Qt::SkipEmptyParts);
        if (!(labels.isEmpty() || labels == QStringList{u"-"_s}))
            continue;
        QFile file(dir + f[0]);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(f[0]));
        const Program program = parse(QString::fromUtf8(file.readAll()));
        ++formulas;
        for (std::size_t k = 0; k < heads.size(); ++k)
            QVERIFY2(!replay(program, heads[k], {}).anyRewrites(),
                     qPrintable(f[0] + u" on "_s + securities()[k].code));
    }
    QVERIFY(formulas > 10);
}

QTEST_GUILESS_MAIN(TestBarsBuiltin)
#include "tst_barsbuiltin.moc"
