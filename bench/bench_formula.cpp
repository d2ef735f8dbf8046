// The precise check (lexer, parser, knowledge base, matching) on a large realistic formula.
#include "functionlist.h"
#include "lexer.h"
#include "parser.h"
#include "precise.h"

#include <QRandomGenerator>
#include <QStringList>

#include <benchmark/benchmark.h>

namespace {

// Statements as published formulas write them: mixed case, comments, Chinese names, text,
// period suffixes, a future function now and then.
QString formula(qsizetype size)
{
    static const char *const pieces[] = {
        "MA5:=MA(CLOSE,5);\r\n",
        "ma10:=ma(c,10);{十日均线}\r\n",
        "乖离%:=(C-MA(C,6))/MA(C,6)*100;\r\n",
        "【箱顶】:HHV(H,20),COLORRED,LINETHICK2;\r\n",
        "DIF:EMA(CLOSE,12)-EMA(CLOSE,26);\r\nDEA:EMA(DIF,9);\r\n",
        "买点:CROSS(MA5,MA10) AND VOL>REF(VOL,1)*1.5;\r\n",
        "DRAWTEXT(买点,LOW*0.98,'买'),COLORYELLOW;\r\n",
        "{ 以下用到 ZIG 与 PEAK，仅作说明 }\r\n",
        "W:=CLOSE#WEEK;M:\"KDJ.K#MONTH\";\r\n",
        "X:=Zig(3,10);Y:=Peakbars(3,5,1);\r\n",
        "STICKLINE(C>O,O,C,2,0),COLORRED; // 阳线\r\n",
        "RSV:=(CLOSE-LLV(LOW,9))/(HHV(HIGH,9)-LLV(LOW,9))*100;\r\n",
        "K:SMA(RSV,3,1);D:SMA(K,3,1);J:3*K-2*D;\r\n",
        "筹码:=WINNER(C)*100;成本:COST(90);\r\n",
        "/* 说明：REF(C,-1) 会引用明天 */\r\n",
        "IF(ISLASTBAR,1{末根},0);\r\n",
    };
    QString text;
    text.reserve(size + 100);
    QRandomGenerator rng(1);
    while (text.size() < size)
        text += QString::fromUtf8(pieces[rng.bounded(static_cast<int>(std::size(pieces)))]);
    text.truncate(size);
    return text;
}

constexpr int64_t k1M = 1 << 20;

void lexOnly(benchmark::State &state)
{
    const QString text = formula(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::formula::lex(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void parseOnly(benchmark::State &state)
{
    const QString text = formula(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::formula::parse(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void preciseCheck(benchmark::State &state)
{
    const QString text = formula(state.range(0));
    const QStringList &list = morvane::builtinFunctionNames();
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::formula::preciseCheck(text, list));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(lexOnly)->Arg(k1M)->Unit(benchmark::kMillisecond);
BENCHMARK(parseOnly)->Arg(k1M)->Unit(benchmark::kMillisecond);
BENCHMARK(preciseCheck)->Arg(4 << 10)->Arg(k1M)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
