// The replay: a 50-statement formula on the 1,000 built-in bars, about 300 cut points.
#include "parser.h"
#include "replay.h"

#include <QString>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

// Ten statements of everyday indicator code, five times over with fresh names.
QString formula()
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
    QString text;
    for (int copy = 0; copy < 5; ++copy)
        for (const char16_t *line : block)
            text += QString::fromUtf16(line).arg(copy) + u'\n';
    return text;
}

void replayFormula(benchmark::State &state)
{
    const morvane::formula::Program program = morvane::formula::parse(formula());
    const morvane::formula::Bars bars = morvane::formula::builtinBars(1000);
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

BENCHMARK(replayFormula)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
