// The evaluator and the replay: a 50-statement formula on the built-in bars (1,000 or 10,000),
// evaluated once, and replayed at every cut point.
#include "barfiles.h"
#include "bars.h"
#include "builtin.h"
#include "parser.h"
#include "replay.h"

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringEncoder>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

// Ten statements of everyday indicator code, five times over with fresh names. With
// wholeHistory, two of them read every bar so far (N = 0) and one a per-bar N. The copies
// repeat each other's calls, which the evaluator computes once; with distinct, each copy's
// numbers but 0 grow by the copy's number, so that no call repeats across copies.
QString formula(bool wholeHistory = false, bool distinct = false)
{
    static const char16_t *const block[] = {
        u"MA5%1:=MA(C,5);",
        u"MA20%1:=MA(C,20);",
        u"E%1:=EMA(C,12)-EMA(C,26);",
        u"K%1:=SMA((C-LLV(L,9))/(HHV(H,9)-LLV(L,9))*100,3,1);",
        u"S%1:STD(C,20)*2+MA20%1;",
        u"B%1:=BARSLAST(CROSS(MA5%1,MA20%1));",
        u"R%1:HHV(H,B%1+1)-REF(C,1);",
        u"N%1:COUNT(C>O,10)+SUM(V,5)/MA(V,20);",
        u"X%1:IF(K%1>80 AND E%1>0,1,0);",
        u"DRAWTEXT(CROSS(K%1,50),L,'B');",
    };
    static const char16_t *const whole[] = {
        u"N%1:COUNT(C>O,0)+SUM(V,0)/MA(V,20);",
        u"X%1:IF(K%1>80 AND E%1>0,HHV(H,0)-LLV(L,0),STD(C,0));",
    };
    QString text;
    for (int copy = 0; copy < 5; ++copy)
        for (std::size_t k = 0; k < std::size(block); ++k) {
            const char16_t *line = block[k];
            if (wholeHistory && (k == 7 || k == 8))
                line = whole[k - 7];
            QString statement = QString::fromUtf16(line).arg(copy);
            if (distinct && copy > 0) {
                static const QRegularExpression number(u"\\b\\d+\\b"_s);
                QString grown;
                qsizetype at = 0;
                for (auto it = number.globalMatch(statement); it.hasNext();) {
                    const QRegularExpressionMatch m = it.next();
                    const int n = m.captured().toInt();
                    grown += statement.mid(at, m.capturedStart() - at) +
                             QString::number(n == 0 ? 0 : n + copy);
                    at = m.capturedEnd();
                }
                statement = grown + statement.mid(at);
            }
            text += statement + u'\n';
        }
    return text;
}

// What the replay computes again at each cut: a ZIG, a PEAK, a negative REF, a week.
const char16_t kLookAhead[] =
    u"Z:ZIG(3,5);\nP:PEAK(1,5,1)-MA(C,20);\nF:REF(C,-1)+MA(C,5);\nW:MA(C,5)#WEEK;\n";

void evaluateFormula(benchmark::State &state)
{
    const morvane::formula::Program program =
        morvane::formula::parse(formula(true, state.range(1) != 0));
    const morvane::formula::Bars bars = morvane::formula::builtinBars(int(state.range(0)));
    const morvane::formula::Evaluator evaluator(program);
    for (auto _ : state) {
        const auto ev = evaluator.run(bars);
        benchmark::DoNotOptimize(ev.outputs.data());
    }
    state.counters["statements"] = double(program.statements.size());
}

// range(1): 1 adds the look-ahead statements.
void replayFormula(benchmark::State &state)
{
    const bool whole = state.range(0) > 1000;
    const morvane::formula::Program program = morvane::formula::parse(
        formula(whole) + (state.range(1) != 0 ? QString::fromUtf16(kLookAhead) : QString()));
    const morvane::formula::Bars bars = morvane::formula::builtinBars(int(state.range(0)));
    std::size_t cuts = 0;
    for (auto _ : state) {
        const auto report = morvane::formula::replay(program, bars, {});
        cuts = report.cuts.size();
        benchmark::DoNotOptimize(report.outputs.data());
    }
    state.counters["statements"] = double(program.statements.size());
    state.counters["cuts"] = double(cuts);
}

// Published formulas with a look-ahead: the XT box (PEAK and TROUGH of the close), a 142-line
// signal formula whose drawings read ISLASTBAR, and the CYX support/pressure lines (BACKSET
// over windows as long as the bars since a signal).
QString published(int which)
{
    static const QString names[] = {u"009-hq-xt-box.txt"_s, u"052-fft-signal-v5.txt"_s,
                                    u"010-hq-cyx-support-pressure.txt"_s};
    QFile f(QStringLiteral(MORVANE_FORMULAS) + names[std::clamp(which, 0, 2)]);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll());
}

// range(2): 0 one evaluation of the whole history, 1 the replay with every bar a cut.
void everyCut(benchmark::State &state)
{
    const morvane::formula::Program program =
        morvane::formula::parse(published(int(state.range(0))));
    const morvane::formula::Bars bars = morvane::formula::builtinBars(int(state.range(1)));
    const morvane::formula::Evaluator evaluator(program);
    bool linear = false;
    for (auto _ : state) {
        if (state.range(2) == 0) {
            const auto ev = evaluator.run(bars);
            benchmark::DoNotOptimize(ev.outputs.data());
            continue;
        }
        const auto report = morvane::formula::replay(program, bars, {});
        linear = report.linear;
        benchmark::DoNotOptimize(report.outputs.data());
    }
    if (state.range(2) != 0)
        state.counters["linear"] = linear ? 1 : 0;
}

// The built-in bars as a CSV of cent prices, the way a user's file holds them.
QByteArray barsCsv(int count)
{
    const morvane::formula::Bars bars = morvane::formula::builtinBars(count);
    QByteArray text = "date,open,high,low,close,volume,amount\n";
    for (qsizetype i = 0; i < bars.size(); ++i) {
        const auto k = std::size_t(i);
        text += bars.dates[k].toString(Qt::ISODate).toLatin1();
        for (double v : {bars.open[k], bars.high[k], bars.low[k], bars.close[k]})
            text += ',' + QByteArray::number(v, 'f', 2);
        text += ',' + QByteArray::number(bars.volume[k], 'f', 0) + ',' +
                QByteArray::number(bars.amount[k], 'f', 2) + '\n';
    }
    return text;
}

// Reading a CSV of range(0) rows; bytes per second beside the time.
void readCsv(benchmark::State &state)
{
    const QByteArray text = barsCsv(int(state.range(0)));
    for (auto _ : state) {
        const morvane::formula::BarsRead read = morvane::formula::readBarsCsv(text);
        if (read.problem != morvane::formula::BarsProblem::None)
            state.SkipWithError("the CSV was refused");
        benchmark::DoNotOptimize(read.bars.close.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * text.size());
}

// The same bars as the charting software's text export: a GBK title, tab-separated rows
// with slashed dates, the 数据来源 footer.
void readExport(benchmark::State &state)
{
    const QList<QByteArray> rows = barsCsv(int(state.range(0))).split('\n');
    QByteArray text = QStringEncoder("GB18030").encode(
        u"600000 浦发银行 日线 不复权\r\n      日期\t    开盘\t    最高\t    最低\t    收盘\t"
        u"    成交量\t    成交额\r\n"_s);
    for (qsizetype i = 1; i < rows.size(); ++i) {
        if (rows[i].isEmpty())
            continue;
        text += QByteArray(rows[i]).replace(',', '\t').replace('-', '/') + "\r\n";
    }
    text += QByteArray(QStringEncoder("GB18030").encode(u"数据来源:通达信\r\n"_s));
    for (auto _ : state) {
        const morvane::formula::BarsFileRead read =
            morvane::formula::readBarsBytes(text, u"600000.txt"_s);
        if (!read.ok())
            state.SkipWithError("the export was refused");
        benchmark::DoNotOptimize(read.bars.close.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * text.size());
}

} // namespace

BENCHMARK(readCsv)->Arg(100000)->ArgNames({"rows"})->Unit(benchmark::kMillisecond);
BENCHMARK(readExport)->Arg(100000)->ArgNames({"rows"})->Unit(benchmark::kMillisecond);
BENCHMARK(evaluateFormula)
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Args({100000, 0})
    ->Args({100000, 1})
    ->ArgNames({"bars", "distinct"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(replayFormula)
    ->Args({1000, 0})
    ->Args({10000, 0})
    ->Args({1000, 1})
    ->Args({10000, 1})
    ->ArgNames({"bars", "lookahead"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(everyCut)
    ->ArgsProduct({{0, 1, 2}, {6000, 100000}, {0, 1}})
    ->ArgNames({"formula", "bars", "cuts"})
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
