// The replay view's slider: moving the cut on a computed replay, snapshot and paint, on
// 1,000 and 10,000 built-in bars, with the default span (150 bars) and with every bar on screen.
#include "replaychart.h"
#include "replayjob.h"

#include <QApplication>
#include <QImage>

#include <benchmark/benchmark.h>

#include <map>

using namespace Qt::StringLiterals;

namespace {

std::shared_ptr<const morvane::ReplayModel> model(int bars)
{
    static std::map<int, std::shared_ptr<const morvane::ReplayModel>> cache;
    auto &m = cache[bars];
    if (!m)
        m = morvane::computeReplay(u"A:ZIG(3,10);B:MA(C,20);"_s,
                                   morvane::formula::builtinBars(bars), u"模拟行情"_s, {});
    return m;
}

void sliderRedraw(benchmark::State &state)
{
    const int bars = int(state.range(0));
    const auto m = model(bars);
    morvane::ReplayChart chart;
    chart.resize(760, 480);
    chart.setModel(m);
    chart.setSpan(state.range(1) ? bars : 150);
    // Painted into an image as the raster backing store is: the offscreen platform would
    // skip a repaint of a window it never exposes.
    QImage image(chart.size(), QImage::Format_ARGB32_Premultiplied);
    qsizetype cut = bars / 2;
    for (auto _ : state) {
        cut = cut + 7 < bars - 1 ? cut + 7 : bars / 2; // a step the snapshot cannot reuse
        chart.setCut(cut);
        chart.render(&image);
    }
    state.counters["bars"] = bars;
    state.counters["span"] = double(chart.span());
}

} // namespace

BENCHMARK(sliderRedraw)
    ->Args({1000, 0})
    ->Args({1000, 1})
    ->Args({10000, 0})
    ->Args({10000, 1})
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
