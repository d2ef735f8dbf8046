// The evaluator and the replay: a 50-statement formula on the built-in bars (1,000 or 10,000),
// evaluated once, and replayed at every cut point.
#include "parser.h"
#include "replay.h"

#include <QString>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

// Ten statements of everyday indicator code, five times over with fresh names. With
// wholeHistory, two of them read every bar so far (N = 0) and one a per-bar N.
QString formula(bool wholeHistory = false)
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
            text += QString::fromUtf16(line).arg(copy) + u'\n';
        }
    return text;
}

void evaluateFormula(benchmark::State &state)
{
    const morvane::formula::Program program = morvane::formula::parse(formula(true));
    const morvane::formula::Bars bars = morvane::formula::builtinBars(int(state.range(0)));
    const morvane::formula::Evaluator evaluator(program);
    for (auto _ : state) {
        const auto ev = evaluator.run(bars);
        benchmark::DoNotOptimize(ev.outputs.data());
    }
    state.counters["statements"] = double(program.statements.size());
}

void replayFormula(benchmark::State &state)
{
    const bool whole = state.range(0) > 1000;
    const morvane::formula::Program program = morvane::formula::parse(formula(whole));
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

} // namespace

BENCHMARK(evaluateFormula)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(replayFormula)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
