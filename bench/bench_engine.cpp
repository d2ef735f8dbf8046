// The check engine on large formulas and long lists: the one-pass matcher beside the
// plain per-name search it replaces.
#include "check.h"
#include "functionlist.h"
#include "functionmatcher.h"
#include "occurrences.h"

#include <QRandomGenerator>
#include <QStringList>

#include <benchmark/benchmark.h>

using namespace Qt::StringLiterals;

namespace {

// Formula text as people write it: mixed case, about a tenth Chinese, a name every 40 KiB
// or so (five names of the list: the scan cannot stop early).
QString formula(qsizetype characters)
{
    static const char *const pieces[] = {"MA(CLOSE,5)",
                                         "+ref(c,1)",
                                         "*Vol",
                                         "/HHV(H,20);\r\n",
                                         "x:=llv(l,10)",
                                         " AND ",
                                         "Cross(MA5,ma10)",
                                         "{注释：五日均线}",
                                         "成交量:=VOL;\r\n",
                                         "IF(C>O,1,0)",
                                         "STICKLINE(c>o,h,l,0,0),colorred;\r\n",
                                         "均线",
                                         "SUM(v,n)/n"};
    const QStringList builtin = {u"ZIG"_s, u"PEAK"_s, u"BACKSET"_s, u"COST"_s, u"XMA"_s};
    QString text;
    text.reserve(characters);
    QRandomGenerator rng(1);
    qsizetype nextName = 0;
    while (text.size() < characters) {
        if (text.size() >= nextName) {
            const QString name = builtin[rng.bounded(builtin.size())];
            text += rng.bounded(2) ? name.toLower() : name;
            nextName = text.size() + 20000 + rng.bounded(40000);
        } else {
            text += QString::fromUtf8(pieces[rng.bounded(int(std::size(pieces)))]);
        }
    }
    text.truncate(characters);
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
        list << name + u'Q';
    }
    return list;
}

void present(benchmark::State &state)
{
    const QString text = formula(state.range(0));
    const morvane::FunctionMatcher m(names(int(state.range(1))));
    for (auto _ : state)
        benchmark::DoNotOptimize(m.present(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void windowCheck(benchmark::State &state)
{
    const QString text = formula(state.range(0));
    const morvane::FunctionMatcher m(names(int(state.range(1))));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::checkFormula(text, m, {}));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void positions(benchmark::State &state)
{
    const QString text = formula(state.range(0));
    const morvane::FunctionMatcher m(names(int(state.range(1))));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::findOccurrences(text, m));
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

void compile(benchmark::State &state)
{
    const QStringList list = names(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(morvane::FunctionMatcher(list));
}

constexpr int64_t k4K = 4 << 10, k1M = 1 << 20, k16M = 16 << 20;

} // namespace

BENCHMARK(present)
    ->ArgsProduct({{k4K, k1M, k16M}, {23, 1000, 10000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(windowCheck)->ArgsProduct({{k4K, k16M}, {23, 10000}})->Unit(benchmark::kMillisecond);
BENCHMARK(positions)->ArgsProduct({{k1M, k16M}, {23}})->Unit(benchmark::kMillisecond);
// The plain search grows with names times text: the largest products would take minutes.
BENCHMARK(plain)->ArgsProduct({{k4K, k1M}, {23, 1000}})->Unit(benchmark::kMillisecond);
BENCHMARK(compile)->Arg(23)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
