// The check engine on large formulas and long lists: the one-pass matcher beside the
// plain per-name search it replaces.
#include "check.h"
#include "functionlist.h"
#include "functionmatcher.h"

#include <QRandomGenerator>
#include <QStringList>

#include <benchmark/benchmark.h>

namespace {

// Formula text without any function of the lists, so every byte is scanned.
QString formula(qsizetype bytes)
{
    static const char *const pieces[] = {"MA(CLOSE,5)",     "+REF(C,1)",    "*VOL",
                                         "/HHV(H,20);\r\n", "X:=LLV(L,10)", " AND ",
                                         "CROSS(MA5,MA10)", "{注释}"};
    QString text;
    text.reserve(bytes);
    QRandomGenerator rng(1);
    while (text.size() < bytes)
        text += QString::fromUtf8(pieces[rng.bounded(int(std::size(pieces)))]);
    text.truncate(bytes);
    return text;
}

QStringList names(int count)
{
    if (count == 23)
        return morvane::builtinFunctionNames();
    QStringList list;
    QRandomGenerator rng(2);
    for (int i = 0; i < count; ++i) {
        QString name;
        for (int n = 4 + rng.bounded(8); n > 0; --n)
            name += QChar(char16_t(u'A' + rng.bounded(26)));
        list << name + u'Q'; // Q never occurs in the formula text
    }
    return list;
}

void matcher(benchmark::State &state)
{
    const QString upper = formula(state.range(0)).toUpper();
    const morvane::FunctionMatcher m(names(int(state.range(1))));
    for (auto _ : state)
        benchmark::DoNotOptimize(m.present(upper));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void plain(benchmark::State &state)
{
    const QString upper = formula(state.range(0)).toUpper();
    const QStringList list = names(int(state.range(1)));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::plainSearch(upper, list));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void wholeCheck(benchmark::State &state)
{
    const QString text = formula(state.range(0));
    const morvane::FunctionMatcher m(names(int(state.range(1))));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::checkFormula(text, m, {}));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void compile(benchmark::State &state)
{
    const QStringList list = names(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::FunctionMatcher(list));
}

constexpr int64_t k4K = 4 << 10, k1M = 1 << 20, k16M = 16 << 20;

} // namespace

BENCHMARK(matcher)
    ->ArgsProduct({{k4K, k1M, k16M}, {23, 1000, 10000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(wholeCheck)->ArgsProduct({{k4K, k1M, k16M}, {23, 10000}})->Unit(benchmark::kMillisecond);
// The plain search grows with names times text: the largest products would take minutes.
BENCHMARK(plain)->ArgsProduct({{k4K, k1M}, {23, 1000, 10000}})->Unit(benchmark::kMillisecond);
BENCHMARK(plain)->Args({k16M, 23})->Unit(benchmark::kMillisecond);
BENCHMARK(compile)->Arg(23)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
