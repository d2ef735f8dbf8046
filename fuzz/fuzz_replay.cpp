// The replay on random formulas and bars: where it takes every bar as a cut through its tails,
// each cut's values (the whole history's with the cut's changes written over them) must be the
// plain evaluation of that cut's own bars, and the live value its newest.
#include "formulagen.h"

#include "eval.h"
#include "parser.h"
#include "replay.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

using namespace morvane::formula;
using namespace fuzzgen;
using namespace Qt::StringLiterals;

namespace {

// Equal as the replay judges with no tolerance: 0 and -0 are one value (C/REF(X,N) gives
// either as X's infinity turns), NaN is NaN.
bool same(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || a == b;
}

// The functions the replay computes again on its tails (windows with fixed or per-bar N,
// references, recursions, BACKSET, the zigzag's), so that most formulas take every bar.
const Fn kTailFunctions[] = {
    {"MA", 2},       {"EMA", 2},     {"SMA", 3},       {"HHV", 2},        {"LLV", 2},
    {"HHVBARS", 2},  {"LLVBARS", 2}, {"SUM", 2},       {"COUNT", 2},      {"EXIST", 2},
    {"EVERY", 2},    {"REF", 2},     {"REFV", 2},      {"BARSLAST", 1},   {"BARSCOUNT", 1},
    {"FILTER", 2},   {"BACKSET", 2}, {"VALUEWHEN", 2}, {"CROSS", 2},      {"IF", 3},
    {"NOT", 1},      {"MAX", 2},     {"ABS", 1},       {"ZIG", 2},        {"PEAK", 3},
    {"PEAKBARS", 3}, {"TROUGH", 3},  {"REFX", 2},      {"DRAWNUMBER", 3}, {"STICKLINE", 5},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes in(data, size);
    const Bars bars = randomBars(in, 2); // a cut needs a bar after it
    QString text;
    const int statements = 1 + int(in.next(6));
    for (int k = 0; k < statements; ++k)
        text += u"V%1:%2;\n"_s.arg(k).arg(expr(in, 0, k, kTailFunctions, 4));
    const Program program = parse(text);
    ReplayOptions options;
    options.tolerance = 0;
    std::vector<std::vector<CutChange>> seen;
    options.onCut = [&](qsizetype, const std::vector<CutChange> &changes) {
        seen.push_back(changes);
    };
    const ReplayReport report = replay(program, bars, options);
    if (std::getenv("FUZZ_REPLAY_SHOW"))
        std::fprintf(stderr, "%s(%zu bars, %s)\n", text.toUtf8().constData(), bars.dates.size(),
                     report.linear ? "every bar a cut"
                                   : qPrintable(u"sampled cuts: "_s + report.fallback.function));
    if (!report.linear)
        return 0; // sampled cuts: each runs the plain evaluation itself
    const size_t n = bars.dates.size();
    require(seen.size() + 1 == std::max<size_t>(n, 1), "not every bar but the newest a cut");
    const Evaluator evaluator(program);
    for (size_t c = 0; c + 1 < n; ++c) {
        const Evaluation brute = evaluator.run(bars.head(qsizetype(c) + 1));
        std::vector<std::vector<Series>> expected;
        for (const OutputReplay &o : report.outputs) {
            expected.emplace_back();
            for (const Series &ch : o.line.channels)
                expected.back().emplace_back(ch.begin(), ch.begin() + std::ptrdiff_t(c + 1));
        }
        for (const CutChange &change : seen[c]) {
            require(change.bar >= 0 && size_t(change.bar) <= c, "a change past its cut");
            expected[size_t(change.output)][size_t(change.channel)][size_t(change.bar)] =
                change.then;
        }
        for (size_t k = 0; k < report.outputs.size(); ++k) {
            const OutputReplay &o = report.outputs[k];
            if (!o.checked)
                continue;
            const OutputLine &line = brute.outputs[k];
            require(line.ok() && line.channels.size() == expected[k].size(),
                    "a checked output the plain run cannot compute");
            for (size_t ch = 0; ch < line.channels.size(); ++ch) {
                for (size_t i = 0; i <= c; ++i)
                    require(same(line.channels[ch][i], expected[k][ch][i]),
                            "a cut's value differs from the plain run of its bars");
                require(same(o.live[ch][c], line.channels[ch][c]),
                        "the live value is not the cut's newest");
            }
        }
    }
    return 0;
}
