// A whole market in one process: replaySet over a folder of .day files, every bar a cut,
// with or without the scorecards; prints the wall and CPU seconds and the cuts run.
//
//     bench_market FORMULA FOLDER HORIZON [THREADS]
#include "parser.h"
#include "replayset.h"

#include <QCoreApplication>
#include <QFile>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>

using namespace morvane::formula;

namespace {

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    const auto sec = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return sec(u.ru_utime) + sec(u.ru_stime);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: bench_market FORMULA FOLDER HORIZON [THREADS]\n");
        return 2;
    }
    QFile file(args[1]);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(args[1]));
        return 2;
    }
    const Program program = parse(QString::fromUtf8(file.readAll()));
    ReplaySetOptions options;
    options.replay.horizon = args[3].toInt();
    options.threads = args.size() > 4 ? args[4].toInt() : 0;
    std::atomic<qint64> cuts{0}, linear{0};
    options.finished = [&](const SecurityResult &r) {
        cuts += qint64(r.report.cuts.size());
        linear += r.report.linear ? 1 : 0;
    };
    const double cpu0 = cpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    const ReplaySetResult result = replaySet(program, ReplayUniverse::ofFolder(args[2]), options);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = cpuSeconds() - cpu0;
    qint64 hindsight = 0, live = 0;
    for (const OutputTally &t : result.tallies)
        if (t.scorecard) {
            hindsight += t.scorecard->hindsight.count;
            live += t.scorecard->live.count;
        }
    std::printf("{\"securities\": %lld, \"replayed\": %lld, \"refused\": %lld, \"linear\": %lld, "
                "\"cuts\": %lld, \"wall\": %.3f, \"cpu\": %.3f, \"hindsight\": %lld, "
                "\"live\": %lld}\n",
                qlonglong(result.total), qlonglong(result.replayed),
                qlonglong(result.refused.size()), qlonglong(linear.load()), qlonglong(cuts.load()),
                wall, cpu, qlonglong(hindsight), qlonglong(live));
    return result.replayed == result.total ? 0 : 1;
}
