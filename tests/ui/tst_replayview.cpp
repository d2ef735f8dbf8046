#include "builtin.h"
#include "fmfunctioncheck.h"
#include "parser.h"
#include "replaychart.h"
#include "replayview.h"
#include "testfiles.h"
#include "windowfixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDataStream>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSlider>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <set>

using namespace morvane;
using namespace Qt::StringLiterals;

namespace {

constexpr int computeTimeout = 120000;

bool same(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::abs(a - b) <= 1e-9 * std::max({1.0, std::abs(a), std::abs(b)});
}

QByteArray csv(const formula::Bars &bars)
{
    QByteArray out = "date,open,high,low,close,volume\n";
    for (std::size_t i = 0; i < bars.dates.size(); ++i)
        out += bars.dates[i].toString(Qt::ISODate).toLatin1() + ',' +
               QByteArray::number(bars.open[i], 'f', 4) + ',' +
               QByteArray::number(bars.high[i], 'f', 4) + ',' +
               QByteArray::number(bars.low[i], 'f', 4) + ',' +
               QByteArray::number(bars.close[i], 'f', 4) + ',' +
               QByteArray::number(bars.volume[i], 'f', 0) + '\n';
    return out;
}

// The charting software's daily file: 32-byte little-endian records, prices in cents.
QByteArray dayFile(const formula::Bars &bars)
{
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    stream.setFloatingPointPrecision(QDataStream::SinglePrecision);
    for (std::size_t i = 0; i < bars.dates.size(); ++i) {
        const QDate d = bars.dates[i];
        stream << quint32(d.year() * 10000 + d.month() * 100 + d.day());
        for (const double price : {bars.open[i], bars.high[i], bars.low[i], bars.close[i]})
            stream << quint32(std::lround(price * 100));
        stream << float(bars.amount[i]) << quint32(bars.volume[i]) << quint32(0);
    }
    return out;
}

// The view's dialogs answered from lists; messages recorded.
struct Seams
{
    QStringList fileAnswers, folderAnswers, warnings;
    int dialogs = 0;

    ReplayServices services()
    {
        ReplayServices s;
        s.openFile = [this](QWidget *, const QString &, const QString &) {
            ++dialogs;
            return fileAnswers.isEmpty() ? QString() : fileAnswers.takeFirst();
        };
        s.openFolder = [this](QWidget *, const QString &) {
            ++dialogs;
            return folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
        };
        s.warn = [this](QWidget *, const QString &text) { warnings << text; };
        return s;
    }
};

void saveGrab(QWidget *w, const QString &name)
{
    const QString dir = qEnvironmentVariable("MORVANE_GRABS_DIR");
    if (dir.isEmpty())
        return;
    w->grab().save(dir + u'/' + name + u".png"_s);
    // The same at twice the scale, as a high-density screen draws it.
    QPixmap twice(w->size() * 2);
    twice.setDevicePixelRatio(2);
    twice.fill(Qt::white);
    w->render(&twice);
    twice.save(dir + u'/' + name + u"@2x.png"_s);
}

} // namespace

class TestReplayView : public QObject
{
    Q_OBJECT

private slots:
    void legendStaysInside_data();
    void legendStaysInside();
    void snapshotsAreTheShorterHistories_data();
    void snapshotsAreTheShorterHistories();
    void boundedCuts_data();
    void boundedCuts();
    void zigLineRedrawsAsTheCutMoves();
    void openValuesAreThoseLaterBarsChange_data();
    void openValuesAreThoseLaterBarsChange();
    void exampleConvinces_data();
    void exampleConvinces();
    void priceDecimals_data();
    void priceDecimals();
    void drawingsNamedAndDrawn();
    void syntaxProblemsShown();
    void assumedParametersShown();
    void cleanFormulaMarksNothing();
    void verdicts_data();
    void verdicts();
    void parametersFromDeclarations();
    void cancelStopsAndANewRunFinishes();
    void closingWhileComputing();
    void barsFromAFileOrFolder();
    void openedFromTheWindow();
    void longDayFileEveryBar();
};

// What the chart draws at a cut is the formula run on the bars up to it, whether the
// differences were stored or the cut is evaluated again past the memory budget.
void TestReplayView::snapshotsAreTheShorterHistories_data()
{
    QTest::addColumn<QString>("formula");
    QTest::newRow("zig") << u"A:ZIG(3,10);"_s;
    QTest::newRow("ma") << u"A:MA(C,5);"_s;
    QTest::newRow("peak and a reference") << u"P:=PEAK(3,8,1);A:REF(P,1);B:C-P;"_s;
    QTest::newRow("drawing on a zig turn")
        << u"Z:=ZIG(3,6);DRAWTEXT(Z>REF(Z,1) AND REF(Z,1)<REF(Z,2),L,'B');"_s;
    QTest::newRow("backset") << u"A:BACKSET(C>REF(C,1)*1.05,3);"_s;
}

void TestReplayView::snapshotsAreTheShorterHistories()
{
    QFETCH(QString, formula);
    const formula::Bars bars = formula::builtinBars(160);
    const auto stored = computeReplay(formula, bars, u"模拟行情"_s, {});
    ReplayBudget noDiffs;
    noDiffs.diffs = 0;
    const auto lazy = computeReplay(formula, bars, u"模拟行情"_s, {}, nullptr, {}, noDiffs);
    QVERIFY(stored && lazy);
    const formula::Program program = formula::parse(formula);
    for (const qsizetype cut : {qsizetype(0), qsizetype(40), qsizetype(97), qsizetype(158)}) {
        const formula::Evaluation then = formula::evaluate(program, bars.head(cut + 1));
        for (const auto *model : {stored.get(), lazy.get()}) {
            const ReplaySnapshot s = model->snapshot(cut);
            QCOMPARE(s.cut, cut);
            std::set<qsizetype> differs;
            for (std::size_t k = 0; k < model->outputs.size(); ++k)
                for (std::size_t c = 0; c < model->outputs[k].today.size(); ++c)
                    for (std::size_t i = 0; i <= std::size_t(cut); ++i) {
                        const double expected = then.outputs[k].channels[c][i];
                        QVERIFY2(
                            same(s.values[k][c][i], expected),
                            qPrintable(u"output %1 bar %2 at cut %3"_s.arg(k).arg(i).arg(cut)));
                        if (!same(expected, model->outputs[k].today[c][i]))
                            differs.insert(qsizetype(i));
                        if (i == std::size_t(cut))
                            QVERIFY(same(model->outputs[k].live[c][i], expected));
                    }
            QCOMPARE(std::vector<qsizetype>(differs.begin(), differs.end()), s.marked);
        }
    }
    // The verdict agrees with the replay of the command line.
    const formula::ReplayReport report = formula::replay(program, bars, {});
    for (std::size_t k = 0; k < stored->outputs.size(); ++k)
        QCOMPARE(stored->outputs[k].rewrites(), report.outputs[k].rewrites());
}

// Past the work bound not every bar is a cut: the cuts stay within it, each is the shorter
// history's run, and a step of the slider either way lands on a cut (never stuck on one).
void TestReplayView::boundedCuts_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<int>("bars");
    // A zig-zag's percentage that changes from bar to bar: no tails, each cut runs in full.
    QTest::newRow("zig") << u"A:ZIG(3,IF(C>O,10,8));B:MA(C,5);"_s << 3000;
    QTest::newRow("many outputs")
        << u"A:REF(C,-1);B:REF(C,-2);C1:ZIG(3,IF(C>O,5,6));D:BACKSET(C>O,2);"_s << 2000;
}

void TestReplayView::boundedCuts()
{
    QFETCH(QString, formula);
    QFETCH(int, bars);
    ReplayBudget budget;
    budget.work = 1 << 20;
    budget.maxCuts = 120;
    const auto model =
        computeReplay(formula, formula::builtinBars(bars), u"模拟行情"_s, {}, nullptr, {}, budget);
    QVERIFY(model);
    const qsizetype n = model->bars.size();
    QVERIFY(!model->linear);
    QVERIFY(model->fallback.why != formula::FallbackWhy::None);
    QVERIFY(model->cuts >= 16 && model->cuts <= 120);
    QCOMPARE(qsizetype(model->cutBars.size()), model->cuts);
    QVERIFY(std::is_sorted(model->cutBars.begin(), model->cutBars.end()));
    QCOMPARE(model->cutBars.back(), n - 2); // the newest bars stay dense
    const formula::Program program = formula::parse(formula);
    for (qsizetype bar = 0; bar < n; bar += 97) {
        const qsizetype up = model->landing(bar, true), down = model->landing(bar, false);
        QVERIFY(up >= bar && (up == n - 1 || model->isCut(up)));
        QVERIFY(model->isCut(down) || down == n - 1);
        QVERIFY(down <= bar || down == model->cutBars.front());
        if (!model->isCut(bar) && bar != n - 1 && bar > model->cutBars.front())
            QVERIFY(down < bar && bar < up); // between two cuts: each way moves on
        const ReplaySnapshot s = model->snapshot(up);
        const formula::Evaluation then = formula::evaluate(program, model->bars.head(up + 1));
        for (std::size_t k = 0; k < model->outputs.size(); ++k)
            for (qsizetype i = std::max<qsizetype>(0, up - 40); i <= up; ++i)
                QVERIFY2(same(s.values[k][0][std::size_t(i)],
                              then.outputs[k].channels[0][std::size_t(i)]),
                         qPrintable(u"output %1 bar %2 cut %3"_s.arg(k).arg(i).arg(up)));
    }
    // The verdict still agrees with the replay of the command line on what rewrites.
    const formula::ReplayReport report = formula::replay(program, model->bars, {});
    for (std::size_t k = 0; k < model->outputs.size(); ++k)
        QCOMPARE(model->outputs[k].rewrites(), report.outputs[k].rewrites());
}

void TestReplayView::zigLineRedrawsAsTheCutMoves()
{
    Seams seams;
    ReplayView view(seams.services());
    view.resize(1100, 620);
    view.show();
    view.setFormula(u"A:ZIG(3,10);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QCOMPARE(view.origin(), u"模拟行情"_s);
    ReplayChart *chart = view.chart();
    const qsizetype n = view.model()->bars.size();
    QCOMPARE(chart->cut(), n - 1);
    const qsizetype bar = n - 60;
    const double today = chart->drawnValue(0, bar);
    QVERIFY(std::isfinite(today));

    // Somewhere after the bar, the line drawn then ran elsewhere through it.
    qsizetype changedAt = -1;
    for (qsizetype cut = bar; cut < n - 1 && changedAt < 0; ++cut) {
        view.slider()->setValue(int(cut));
        QCOMPARE(chart->cut(), cut);
        if (!same(chart->drawnValue(0, bar), today))
            changedAt = cut;
    }
    QVERIFY(changedAt >= 0);
    QVERIFY(
        std::binary_search(chart->snapshot().marked.begin(), chart->snapshot().marked.end(), bar));
    QVERIFY(std::isnan(chart->drawnValue(0, changedAt + 1))); // nothing past the cut

    // The arrow keys step the cut.
    view.slider()->setFocus();
    QTest::keyClick(view.slider(), Qt::Key_Right);
    QCOMPARE(chart->cut(), changedAt + 1);
    QTest::keyClick(view.slider(), Qt::Key_Left);
    QCOMPARE(chart->cut(), changedAt);
    // The grab at the cut of the last 200 that rewrites the most bars.
    qsizetype widest = n - 2;
    std::size_t most = 0;
    for (qsizetype cut = n - 200; cut < n - 1; ++cut)
        if (const std::size_t marked = view.model()->snapshot(cut).marked.size(); marked > most) {
            most = marked;
            widest = cut;
        }
    QVERIFY(chart->liveTrace()); // what was seen live, from the start
    view.liveTraceBox()->setChecked(false);
    view.slider()->setValue(int(widest));
    saveGrab(&view, u"replay-zig"_s);
    view.liveTraceBox()->setChecked(true);
    QVERIFY(chart->liveTrace());
    view.slider()->setValue(int(n - 1));
    saveGrab(&view, u"replay-zig-live"_s);
    QVERIFY(view.verdicts().value(0).startsWith(u"A：改写历史"_s));
}

// A value is drawn open (dashed) at a cut exactly where a later cut or today shows it
// otherwise; those that only the next bar could change are a suffix of the bars.
void TestReplayView::openValuesAreThoseLaterBarsChange_data()
{
    QTest::addColumn<QString>("formula");
    QTest::newRow("zig") << u"A:ZIG(3,10);"_s;
    QTest::newRow("ma, causal") << u"A:MA(C,5);"_s;
    QTest::newRow("backset") << u"A:BACKSET(C>REF(C,1)*1.03,3);"_s;
    QTest::newRow("peak and a drawing")
        << u"P:=PEAK(3,8,1);A:C-P;DRAWTEXT(ZIG(3,6)<REF(ZIG(3,6),1),L,'底');"_s;
}

void TestReplayView::openValuesAreThoseLaterBarsChange()
{
    QFETCH(QString, formula);
    const formula::Bars bars = formula::builtinBars(140);
    const qsizetype n = bars.size();
    const auto model = computeReplay(formula, bars, u"模拟行情"_s, {});
    QVERIFY(model && model->linear);
    const formula::Program program = formula::parse(formula);
    std::vector<formula::Evaluation> at;
    for (qsizetype c = 0; c < n; ++c)
        at.push_back(formula::evaluate(program, bars.head(c + 1)));
    for (std::size_t k = 0; k < model->outputs.size(); ++k) {
        const ReplayOutput &o = model->outputs[k];
        QCOMPARE(qsizetype(o.finalFrom.size()), n);
        const auto firstOpen = std::find(o.finalFrom.begin(), o.finalFrom.end(), -1);
        QVERIFY(std::all_of(firstOpen, o.finalFrom.end(), [](std::int32_t f) { return f < 0; }));
        for (qsizetype b = 0; b < n; ++b) {
            if (o.finalFrom[std::size_t(b)] < 0)
                continue;
            for (qsizetype c = b; c < n; ++c) {
                bool changes = false;
                for (qsizetype later = c + 1; later < n && !changes; ++later)
                    for (std::size_t ch = 0; ch < o.today.size(); ++ch)
                        changes =
                            changes ||
                            !same(at[std::size_t(c)].outputs[k].channels[ch][std::size_t(b)],
                                  at[std::size_t(later)].outputs[k].channels[ch][std::size_t(b)]);
                QVERIFY2(o.openAt(b, c) == changes,
                         qPrintable(u"output %1, bar %2 at cut %3"_s.arg(k).arg(b).arg(c)));
            }
        }
        if (formula == u"A:MA(C,5);"_s)
            QVERIFY(firstOpen == o.finalFrom.end()); // nothing of a causal line is open
    }
}

// The verdict tells the example that convinces, and the button moves the slider to it.
void TestReplayView::exampleConvinces_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("words");
    // Falling at the newest bar, yet the zig-zag later rises through many such bars.
    QTest::newRow("vanished") << u"Z:=ZIG(3,5);XG:Z<REF(Z,1);"_s
                              << int(ReplayExample::Kind::Vanished) << u"当时发出信号，之后消失"_s;
    // The two bars before a jump are marked once the jump comes: late, never vanished.
    QTest::newRow("late") << u"XG:BACKSET(C>REF(C,1)*1.02,3);"_s << int(ReplayExample::Kind::Late)
                          << u"当时没有，到"_s;
    QTest::newRow("rewrite") << u"A:ZIG(3,10);"_s << int(ReplayExample::Kind::Rewrite)
                             << u"之后为"_s;
}

void TestReplayView::exampleConvinces()
{
    QFETCH(QString, formula);
    QFETCH(int, kind);
    QFETCH(QString, words);
    Seams seams;
    ReplayView view(seams.services());
    view.resize(1100, 620);
    view.show();
    view.setFormula(formula);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    const ReplayModel &model = *view.model();
    const ReplayOutput &o = model.outputs.back();
    const ReplayExample &e = o.example;
    QCOMPARE(int(e.kind), kind);
    const QString verdict = view.verdicts().constLast();
    QVERIFY2(verdict.contains(u"；例："_s +
                              (e.kind == ReplayExample::Kind::Rewrite ? QString() : o.label)),
             qPrintable(verdict));
    QVERIFY2(verdict.contains(words), qPrintable(verdict));
    QVERIFY(verdict.contains(model.bars.dates[std::size_t(e.bar)].toString(Qt::ISODate)));
    const qsizetype n = model.bars.size();
    switch (ReplayExample::Kind(kind)) {
    case ReplayExample::Kind::Vanished:
        // The most recent one: shown live, not in hindsight.
        QCOMPARE(e.bar, o.scorecard->vanished.back());
        QCOMPARE(o.live[0][std::size_t(e.bar)], 1.0);
        QVERIFY(o.today[0][std::size_t(e.bar)] != 1.0);
        break;
    case ReplayExample::Kind::Late:
        QVERIFY(o.scorecard->vanished.empty());
        QVERIFY(e.cut > e.bar);
        QCOMPARE(o.today[0][std::size_t(e.bar)], 1.0);
        break;
    case ReplayExample::Kind::Rewrite: {
        // The strongest rewrite, and no stronger one at a later bar.
        const ReplaySnapshot then = model.snapshot(e.cut);
        QVERIFY(same(then.values.back()[std::size_t(e.channel)][std::size_t(e.bar)], e.before));
        QVERIFY(same(o.today[std::size_t(e.channel)][std::size_t(e.bar)], e.after));
        QVERIFY(!same(e.before, e.after));
        QVERIFY(e.cut >= n - 1 - 250); // from the newest year, not the first in time
        break;
    }
    case ReplayExample::Kind::None:
        QFAIL("no example");
    }
    // Chosen at once, one press away.
    QVERIFY(view.exampleButton()->isEnabled());
    QCOMPARE(view.slider()->value(), int(n - 1));
    QTest::mouseClick(view.exampleButton(), Qt::LeftButton);
    QCOMPARE(view.chart()->cut(), e.cut);
    if (ReplayExample::Kind(kind) == ReplayExample::Kind::Vanished)
        saveGrab(&view, u"replay-example-vanished"_s);
    // A verdict with no example leaves the button off.
    view.verdictList()->setCurrentRow(-1);
    QVERIFY(!view.exampleButton()->isEnabled());
}

// Prices as the market quotes them: cents for stocks, thousandths for funds.
void TestReplayView::priceDecimals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("decimals");
    const formula::Bars bars = formula::builtinBars(60, 3);
    QTest::newRow("stock .day") << u"sh600000.day"_s << dayFile(bars) << 2;
    QTest::newRow("fund .day") << u"sh510300.day"_s << dayFile(bars) << 3;
    QTest::newRow("csv in cents") << u"a.csv"_s << csv(bars) << 2;
    QTest::newRow("csv in thousandths")
        << u"b.csv"_s
        << QByteArray("date,open,high,low,close\n2024-01-02,1.234,1.250,1.201,1.245\n"
                      "2024-01-03,1.245,1.260,1.240,1.252\n")
        << 3;
}

void TestReplayView::priceDecimals()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, decimals);
    QTemporaryDir dir;
    writeBytes(dir.filePath(name), bytes);
    const BarsSource source = readBarsSource(dir.filePath(name));
    QVERIFY2(source.ok(), qPrintable(source.error));
    QCOMPARE(source.priceDecimals, decimals);
    // The example's prices have the market's decimals.
    const auto model = computeReplay(u"A:ZIG(3,5);"_s, source.bars, name, {}, nullptr, {}, {},
                                     source.priceDecimals);
    QVERIFY(model);
    if (model->outputs[0].example.kind != ReplayExample::Kind::Rewrite)
        return;
    const QString verdict = replayVerdict(model->outputs[0], *model);
    static const QRegularExpression price(u"为 (-?\\d+)\\.(\\d+)"_s);
    auto it = price.globalMatch(verdict);
    QVERIFY2(it.hasNext(), qPrintable(verdict));
    while (it.hasNext())
        QCOMPARE(it.next().captured(2).size(), decimals);
}

// Drawings are named by their line and words, and drawn as what they draw.
void TestReplayView::drawingsNamedAndDrawn()
{
    const QString formula = u"Z:=ZIG(3,6);\n"
                            u"DRAWTEXT(Z>REF(Z,1) AND REF(Z,1)<REF(Z,2),L*0.98,'底');\n"
                            u"STICKLINE(C>O,O,C,2,0),COLORRED;\n"
                            u"DRAWICON(Z<REF(Z,1) AND REF(Z,1)>REF(Z,2),H*1.02,2);\n"
                            u"DRAWTEXT(CROSS(C,MA(C,5)),L,STRCAT('a','b'));"_s;
    const auto model = computeReplay(formula, formula::builtinBars(200), u"模拟行情"_s, {});
    QVERIFY(model);
    QCOMPARE(int(model->outputs.size()), 4);
    QCOMPARE(model->outputs[0].label, u"第 2 行 DRAWTEXT '底'"_s);
    QCOMPARE(model->outputs[0].drawingText, u"底"_s);
    QCOMPARE(model->outputs[1].label, u"第 3 行 STICKLINE"_s);
    QCOMPARE(model->outputs[2].label, u"第 4 行 DRAWICON"_s);
    QCOMPARE(model->outputs[2].icon, 2);
    QCOMPARE(model->outputs[3].label, u"第 5 行 DRAWTEXT"_s); // words made at run time
    // A drawing's example says where it was drawn, not what its value was.
    const QString verdict = replayVerdict(model->outputs[0], *model);
    QVERIFY2(verdict.contains(u"；例：第 2 行 DRAWTEXT '底' 在 "_s) && verdict.contains(u"画"_s),
             qPrintable(verdict));
    Seams seams;
    ReplayView view(seams.services());
    view.resize(1100, 620);
    view.show();
    view.setFormula(formula);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    // The sticks stand in the price pane in the output's colour.
    QImage image = view.chart()->grab().toImage();
    const QColor stick = ReplayChart::outputColor(1);
    qsizetype stickPixels = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            stickPixels += QColor(image.pixel(x, y)) == stick;
    QVERIFY2(stickPixels > 200, qPrintable(QString::number(stickPixels)));
    saveGrab(&view, u"replay-drawings"_s);
}

// The statements left out are listed before the verdicts, and none of them says 稳定.
void TestReplayView::syntaxProblemsShown()
{
    Seams seams;
    ReplayView view(seams.services());
    view.resize(1100, 620);
    view.show();
    view.setFormula(u"A:MA(C,5);\nB:ZIG(3,10;\nXG:CROSS(C,1E9);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    saveGrab(&view, u"replay-syntax"_s);
    const QStringList lines = view.verdicts();
    QVERIFY2(lines.value(0).startsWith(u" 语法问题 第 2 行"_s), qPrintable(lines.join(u'\n')));
    QVERIFY(lines.value(0).endsWith(u"这一句没有回放"_s));
    for (const QString &line : lines)
        QVERIFY2(!line.contains(u"稳定——"_s), qPrintable(line));
}

// Copied formulas carry no parameters: the assumed ones differ and stand with the verdicts.
void TestReplayView::assumedParametersShown()
{
    Seams seams;
    ReplayView view(seams.services());
    view.resize(1100, 620);
    view.show();
    view.setFormula(u"MA1:MA(CLOSE,M1);MA2:MA(CLOSE,M2);XG:CROSS(MA1,MA2);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    saveGrab(&view, u"replay-assumed"_s);
    const QStringList lines = view.verdicts();
    QCOMPARE(lines.value(0), u"参数假设：M1=5，M2=10（公式没有声明，可在上面“参数”里修改）"_s);
    QVERIFY2(lines.value(3).startsWith(u"XG：稳定"_s), qPrintable(lines.join(u'\n')));
    QCOMPARE(view.parameterBox(u"M2"_s)->value(), 10.0);
    QCOMPARE(view.parameterBox(u"M2"_s)->text(), u"10"_s); // not 10.0000
}

void TestReplayView::cleanFormulaMarksNothing()
{
    Seams seams;
    ReplayView view(seams.services());
    view.resize(1100, 620);
    view.show();
    view.setFormula(u"A:MA(C,5);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    const ReplayModel &model = *view.model();
    QVERIFY(model.diffs.empty());
    for (int cut = 0; cut < view.slider()->maximum(); cut += 37) {
        view.slider()->setValue(cut);
        QVERIFY(view.chart()->snapshot().marked.empty());
    }
    view.slider()->setValue(700);
    saveGrab(&view, u"replay-ma"_s);
    QVERIFY(view.verdicts().value(0).startsWith(u"A：稳定"_s));
    QVERIFY(!view.exampleButton()->isEnabled()); // nothing to show

    // A causal signal: its history tells the truth, and the view says so.
    view.setFormula(u"M5:=MA(C,5);M10:=MA(C,10);XG:CROSS(M5,M10);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model() && view.model()->outputs.size() == 1, computeTimeout);
    const ReplayOutput &xg = view.model()->outputs[0];
    QVERIFY(xg.scorecard && xg.scorecard->hindsight.count > 0);
    QCOMPARE(xg.scorecard->live.count, xg.scorecard->hindsight.count);
    QVERIFY(view.scorecard()->isVisible());
    QCOMPARE(view.scorecardStory()->text(), u"事后与当时的信号一根不差：历史没有夸大它。"_s);
    saveGrab(&view, u"replay-causal-scorecard"_s);
}

void TestReplayView::verdicts_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QString>("verdict");
    QTest::addColumn<int>("bars");
    QTest::newRow("zig") << u"A:ZIG(3,10);"_s << u"A：改写历史——"_s << 120;
    QTest::newRow("ma") << u"A:MA(C,5);"_s << u"A：稳定——"_s << 120;
    // a statement that did not parse is left out: nothing of the formula is called stable
    QTest::newRow("syntax error elsewhere")
        << u"A:MA(C,5);\nB:ZIG(3,10;"_s << u"A：未见改写——"_s << 120;
    QTest::newRow("unknown function") << u"A:FOO(C,5);"_s << u"A：无法检验——不会计算 FOO"_s << 120;
    QTest::newRow("never fires") << u"A:CROSS(C,1E9);"_s << u"A：无法检验——这段行情上从未出现信号"_s
                                 << 120;
    QTest::newRow("constant") << u"A:10;"_s << u"A：无法检验——这段行情上输出始终不变"_s << 120;
    QTest::newRow("newest bar only") << u"A:C+REF(C,-1)*0;"_s << u"A：改写历史——"_s << 120;
    // Past the evaluator's bound: the bound in words, not its code; few bars keep it quick.
    QString deep = u"V0:=C;"_s;
    for (int i = 1; i < 1000; ++i)
        deep += u"V%1:=V%2#WEEK+1;"_s.arg(i).arg(i - 1);
    QTest::newRow("nested past the bound")
        << deep + u"A:V999;"_s << u"A：无法检验——公式嵌套过深"_s << 3;
}

void TestReplayView::verdicts()
{
    QFETCH(QString, formula);
    QFETCH(QString, verdict);
    QFETCH(int, bars);
    const auto model = computeReplay(formula, formula::builtinBars(bars), u"模拟行情"_s, {});
    QVERIFY(model && !model->outputs.empty());
    const QString text = replayVerdict(model->outputs[0], *model);
    QVERIFY2(text.startsWith(verdict), qPrintable(text));
    if (model->outputs[0].rewrites() && model->outputs[0].farthestBack == 0)
        QVERIFY2(text.contains(u"当根即被改写"_s), qPrintable(text));
}

void TestReplayView::parametersFromDeclarations()
{
    Seams seams;
    ReplayView view(seams.services());
    view.setFormula(u"N:=(1,100,20);A:MA(C,N);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QDoubleSpinBox *box = view.parameterBox(u"N"_s);
    QVERIFY(box);
    QCOMPARE(box->value(), 20.0);
    box->setValue(5);
    QSignalSpy computed(&view, &ReplayView::computed);
    emit box->editingFinished();
    QTRY_COMPARE_WITH_TIMEOUT(computed.size(), 1, computeTimeout);
    const ReplayModel &model = *view.model();
    const formula::Evaluation ma5 = formula::evaluate(formula::parse(u"A:MA(C,5);"_s), model.bars);
    QVERIFY(same(model.outputs[0].today[0][100], ma5.outputs[0].channels[0][100]));
    QCOMPARE(view.parameterBox(u"N"_s)->value(), 5.0); // kept across the run

    view.setFormula(u"M:=(1,100,30);A:MA(C,M);"_s); // a new formula: its own declarations
    QTRY_VERIFY_WITH_TIMEOUT(view.model() && view.parameterBox(u"M"_s), computeTimeout);
    QCOMPARE(view.parameterBox(u"M"_s)->value(), 30.0);
    QVERIFY(!view.parameterBox(u"N"_s));
}

void TestReplayView::cancelStopsAndANewRunFinishes()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"long.csv"_s);
    writeBytes(path, csv(formula::builtinBars(6000)));
    Seams seams;
    seams.fileAnswers << path;
    ReplayView view(seams.services());
    view.show();
    // Each cut in full (a per-bar percentage): slow enough to be stopped midway.
    view.setFormula(u"A:ZIG(3,IF(C>O,10,8));B:MA(C,20);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QSignalSpy cancelled(&view, &ReplayView::cancelled);
    QSignalSpy computed(&view, &ReplayView::computed);
    view.chooseFile();
    QCOMPARE(view.origin(), u"long.csv"_s);
    QVERIFY(view.isComputing());
    QVERIFY(view.cancelButton()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(view.progressBar()->value() > 0, computeTimeout);
    QTest::mouseClick(view.cancelButton(), Qt::LeftButton);
    QCOMPARE(cancelled.size(), 1);
    QVERIFY(!view.isComputing());
    QVERIFY(!view.model());
    QVERIFY(!view.cancelButton()->isVisible());
    QTest::qWait(300); // the cancelled run delivers nothing
    QCOMPARE(computed.size(), 0);

    view.useBuiltinBars();
    QTRY_COMPARE_WITH_TIMEOUT(computed.size(), 1, computeTimeout);
    QCOMPARE(view.model()->bars.size(), formula::builtinSecurities().front().bars.size());
    QCOMPARE(cancelled.size(), 1);
}

void TestReplayView::closingWhileComputing()
{
    Seams seams;
    auto view = std::make_unique<ReplayView>(seams.services());
    view->setFormula(u"A:ZIG(3,10);"_s);
    QVERIFY(view->isComputing());
    view.reset(); // waits for the worker to stop at its next cut
}

void TestReplayView::barsFromAFileOrFolder()
{
    QTemporaryDir dir;
    writeBytes(dir.filePath(u"good.csv"_s), csv(formula::builtinBars(80, 7)));
    writeBytes(dir.filePath(u"bad.csv"_s), "2024-01-02,10,11,9,10.5\n2024-01-01,10,11,9,10.5\n");
    writeBytes(dir.filePath(u"sh600000.day"_s), dayFile(formula::builtinBars(70, 5)));
    QDir().mkpath(dir.filePath(u"folder"_s));
    writeBytes(dir.filePath(u"folder/a.csv"_s),
               "2024-01-02,10,11,9,10.5\n2024-01-01,10,11,9,10.5\n");
    writeBytes(dir.filePath(u"folder/b.csv"_s), csv(formula::builtinBars(50, 9)));
    writeBytes(dir.filePath(u"folder/c.csv"_s), csv(formula::builtinBars(60, 11)));
    QDir().mkpath(dir.filePath(u"empty"_s));

    Seams seams;
    ReplayView view(seams.services());
    view.setFormula(u"A:MA(C,5);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);

    seams.fileAnswers << QString(); // cancelled: nothing changes
    view.chooseFile();
    QCOMPARE(seams.dialogs, 1);
    QCOMPARE(view.origin(), u"模拟行情"_s);
    QVERIFY(!view.isComputing());

    seams.fileAnswers << dir.filePath(u"bad.csv"_s);
    view.chooseFile();
    QCOMPARE(seams.warnings.size(), 1);
    QVERIFY2(seams.warnings[0].contains(u"bad.csv"_s) && seams.warnings[0].contains(u"第 2 行"_s),
             qPrintable(seams.warnings[0]));
    QCOMPARE(view.origin(), u"模拟行情"_s);

    seams.fileAnswers << dir.filePath(u"good.csv"_s);
    view.chooseFile();
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QCOMPARE(view.origin(), u"good.csv"_s);
    QCOMPARE(view.model()->bars.size(), qsizetype(80));

    seams.fileAnswers << dir.filePath(u"sh600000.day"_s);
    view.chooseFile();
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QCOMPARE(view.origin(), u"sh600000.day"_s);
    QCOMPARE(view.model()->bars.size(), qsizetype(70));

    seams.folderAnswers << dir.filePath(u"empty"_s) << dir.filePath(u"folder"_s);
    view.chooseFolder();
    QCOMPARE(seams.warnings.size(), 2);
    view.chooseFolder(); // a.csv does not read: b.csv is shown, every file offered
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QCOMPARE(view.origin(), u"b.csv"_s);
    QCOMPARE(view.model()->bars.size(), qsizetype(50));
    QCOMPARE(view.filesBox()->count(), 3);
    QCOMPARE(view.filesBox()->currentText(), u"b.csv"_s);
    view.filesBox()->setCurrentIndex(2);
    emit view.filesBox()->activated(2);
    QTRY_VERIFY_WITH_TIMEOUT(view.model() && view.model()->bars.size() == 60, computeTimeout);
    QCOMPARE(view.origin(), u"c.csv"_s);
    // The folder summed up as the command line sums it, the unreadable file named: once, for
    // the folder, not again for each file picked.
    QSignalSpy summarized(&view, &ReplayView::folderSummarized);
    QTRY_VERIFY_WITH_TIMEOUT(
        summarized.size() == 1 ||
            !view.folderSummary()->findItems(u"行情："_s, Qt::MatchStartsWith).isEmpty(),
        computeTimeout);
    QStringList summary;
    for (int i = 0; i < view.folderSummary()->count(); ++i)
        summary << view.folderSummary()->item(i)->text();
    QVERIFY2(summary.value(0).startsWith(u"行情："_s) &&
                 summary.value(0).contains(u"2 个证券，另有 1 个文件无法读取"_s),
             qPrintable(summary.join(u'\n')));
    QVERIFY2(summary.filter(u"A：稳定（2 个证券"_s).size() == 1, qPrintable(summary.join(u'\n')));
    QVERIFY2(summary.filter(u"a.csv"_s).size() == 1, qPrintable(summary.join(u'\n')));
    view.resize(1100, 620);
    saveGrab(&view, u"replay-folder"_s);

    view.useBuiltinBars();
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QCOMPARE(view.origin(), u"模拟行情"_s);
    QVERIFY(view.folderSummary()->isHidden());
    QCOMPARE(view.filesBox()->count(), int(formula::builtinSecurities().size()));
    emit view.filesBox()->activated(3); // another built-in security
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    QCOMPARE(view.model()->bars.dates, formula::builtinSecurities()[3].bars.dates);
}

void TestReplayView::openedFromTheWindow()
{
    WindowFixture fx;
    auto window = fx.makeWindow();
    Seams seams;
    window->replayServices = seams.services();
    window->Form_Load();
    window->show();
    window->txtCode->setPlainText(u"A:ZIG(3,10);"_s);
    window->btnCheck_Click();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    auto *button = window->PanelInfo->findChild<QWidget *>(u"btnReplay"_s);
    QVERIFY(button && button->isVisible());
    for (QWidget *control :
         {static_cast<QWidget *>(window->Label5), static_cast<QWidget *>(window->txtResult),
          static_cast<QWidget *>(window->btnReturn), static_cast<QWidget *>(window->lbad)})
        QVERIFY2(!button->geometry().intersects(control->geometry()),
                 qPrintable(control->objectName()));
    QTest::keyClick(window.get(), Qt::Key_R, Qt::ControlModifier);
    auto *view = window->findChild<ReplayView *>();
    QVERIFY(view);
    QTRY_VERIFY_WITH_TIMEOUT(view->isVisible(), 2000);
    QCOMPARE(view->formula(), u"A:ZIG(3,10);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view->model(), computeTimeout);

    window->txtCode->setPlainText(u"A:MA(C,5);"_s);
    QCOMPARE(window->openReplayView(), view); // one view, the new formula
    QCOMPARE(view->formula(), u"A:MA(C,5);"_s);
    view->chooseFile();
    QCOMPARE(seams.dialogs, 1); // the window's seam reached the view
}

QTEST_MAIN(TestReplayView)
void TestReplayView::legendStaysInside_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("outputs");
    QTest::addColumn<int>("shown"); // -1: some, not all
    QTest::addColumn<bool>("key");
    QTest::newRow("three short, wide") << 700 << 3 << 3 << true;
    QTest::newRow("twelve long, wide") << 700 << 12 << -1 << false;
    QTest::newRow("four long, narrow") << 200 << 4 << -1 << false;
    QTest::newRow("none") << 700 << 0 << 0 << true;
    QTest::newRow("too narrow for anything") << 20 << 5 << 0 << false;
}

// Whatever the names and the width: every part inside the strip, none over another, and the
// labels left out counted.
void TestReplayView::legendStaysInside()
{
    QFETCH(int, width);
    QFETCH(int, outputs);
    QFETCH(int, shown);
    QFETCH(bool, key);
    const QFontMetrics metrics(QFont(u"Noto Sans CJK SC"_s, 9));
    QStringList labels;
    for (int i = 0; i < outputs; ++i)
        labels << (outputs > 3 ? u"均线多头排列买点第%1个"_s.arg(i) : u"MA%1"_s.arg(i));
    const LegendLayout l =
        legendLayout(metrics, width, outputs > 6 ? u"只画出 6/12 条输出"_s : QString(), labels,
                     u"等 %1 条"_s, u"虚线：今日所见　粗线：截至当时　橙色：被改写的K线"_s);
    std::vector<QRect> parts = l.labels;
    for (const QRect &r : {l.note, l.rest, l.key})
        if (!r.isEmpty())
            parts.push_back(r);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        QVERIFY2(parts[i].left() >= 0 && parts[i].right() < width, qPrintable(QString::number(i)));
        for (std::size_t j = i + 1; j < parts.size(); ++j)
            QVERIFY(!parts[i].intersects(parts[j]));
    }
    if (shown >= 0)
        QCOMPARE(int(l.labels.size()), shown);
    else
        QVERIFY(int(l.labels.size()) < outputs);
    QCOMPARE(!l.rest.isEmpty(), int(l.labels.size()) < outputs && width > 100);
    QCOMPARE(!l.key.isEmpty(), key);
}

// An old stock's daily history, a zig-zag box formula: every bar a cut, the verdict with the
// candles, the scorecard beside them. The time is told, never asserted.
void TestReplayView::longDayFileEveryBar()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"sh600001.day"_s);
    writeBytes(path, dayFile(formula::builtinBars(6000, 31)));
    Seams seams;
    ReplayView view(seams.services());
    view.resize(1100, 620);
    view.show();
    view.setFormula(u"X1:=ZIG(3,5);\nA:PEAK(3,5,1);B:TROUGH(3,5,1);\nXG:CROSS(C,X1);"_s);
    QTRY_VERIFY_WITH_TIMEOUT(view.model(), computeTimeout);
    // Timed at the moment the chart has drawn the result, not at the next poll of a wait.
    QElapsedTimer took;
    qint64 drawn = -1;
    connect(&view, &ReplayView::computed, &view, [&] {
        view.chart()->repaint();
        drawn = took.elapsed();
    });
    took.start();
    view.useFile(path);
    QTRY_VERIFY_WITH_TIMEOUT(drawn >= 0 && view.model()->bars.size() == 6000, computeTimeout);
    qInfo("6,000 bars: %lld ms from the file to the verdicts drawn", drawn);
    QVERIFY(view.model()->linear);
    QCOMPARE(view.model()->cuts, qsizetype(5999));
    QVERIFY(view.verdicts().filter(u"XG：改写历史"_s).size() == 1);
    QVERIFY(view.scorecard()->isVisible());
    view.liveTraceBox()->setChecked(true);
    saveGrab(&view, u"replay-6000"_s);
}

#include "tst_replayview.moc"
