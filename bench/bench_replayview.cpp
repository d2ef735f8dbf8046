// The replay view's slider: moving the cut on a computed replay, snapshot and paint, on
// 1,000 and 10,000 built-in bars, with the default span (150 bars) and with every bar on screen.
// And the whole replay of a 6,000-bar .day file: in the window, from choosing the file to the
// verdicts drawn, beside `morvane-check --replay` of the same formula and file as a process.
#include "replaychart.h"
#include "replayjob.h"
#include "replayview.h"

#include <QApplication>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

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

const QString kFormula = u"X1:=ZIG(3,5);\nA:PEAK(3,5,1);B:TROUGH(3,5,1);\nXG:CROSS(C,X1);"_s;

// A stock's daily file of 6,000 bars: 32-byte records, prices in cents.
QString dayFile()
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(u"sh600001.day"_s);
    if (QFile::exists(path))
        return path;
    const morvane::formula::Bars bars = morvane::formula::builtinBars(6000, 31);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out.setFloatingPointPrecision(QDataStream::SinglePrecision);
    for (std::size_t i = 0; i < bars.dates.size(); ++i) {
        const QDate d = bars.dates[i];
        out << quint32(d.year() * 10000 + d.month() * 100 + d.day());
        for (const double price : {bars.open[i], bars.high[i], bars.low[i], bars.close[i]})
            out << quint32(std::lround(price * 100));
        out << float(bars.amount[i]) << quint32(bars.volume[i]) << quint32(0);
    }
    return path;
}

void windowReplay(benchmark::State &state)
{
    const QString path = dayFile();
    morvane::ReplayServices services;
    services.warn = [](QWidget *, const QString &) {};
    morvane::ReplayView view(services);
    view.resize(1100, 620);
    view.show();
    QEventLoop loop;
    bool drawn = false;
    QObject::connect(&view, &morvane::ReplayView::computed, &loop, [&] {
        view.repaint(); // the verdicts and the chart on screen, not only computed
        drawn = true;
        loop.quit();
    });
    const auto wait = [&] {
        QTimer::singleShot(60000, &loop, &QEventLoop::quit);
        if (!drawn)
            loop.exec();
    };
    view.setFormula(kFormula);
    wait();
    for (auto _ : state) {
        drawn = false;
        view.useFile(path);
        wait();
        if (!drawn || !view.model() || view.model()->bars.size() != 6000)
            state.SkipWithError("the replay did not finish");
    }
    if (view.model())
        state.counters["cuts"] = double(view.model()->cuts);
}

// The same formula and file through the command line, a whole process each time.
void commandLineReplay(benchmark::State &state)
{
    const QString path = dayFile();
    QTemporaryDir dir;
    const QString formula = dir.filePath(u"f.txt"_s);
    QFile f(formula);
    if (!f.open(QIODevice::WriteOnly) || f.write(kFormula.toUtf8()) < 0)
        return state.SkipWithError("no formula file");
    f.close();
    const QString exe =
        QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(u"../bin/morvane-check"_s);
    for (auto _ : state) {
        QProcess process;
        process.setStandardOutputFile(QProcess::nullDevice());
        process.start(exe, {u"--replay"_s, u"--bars"_s, path, formula});
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            state.SkipWithError("morvane-check did not finish");
    }
}

} // namespace

BENCHMARK(windowReplay)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(commandLineReplay)->Unit(benchmark::kMillisecond)->UseRealTime();

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
