// The evaluator on random formulas from a small grammar over every family of functions, with
// counts of any size (0, negative, 1e300, 9.3e18, NaN, infinities), on a few random bars. No
// crash and no undefined behaviour (built with ASan/UBSan); every output has one value per
// bar; the windows agree with a plain rescan of each window.
#include "formulagen.h"

#include "eval.h"
#include "parser.h"

#include <QDate>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace morvane::formula;
using namespace fuzzgen;
using namespace Qt::StringLiterals;

namespace {

double count(double x)
{
    return std::isnan(x) ? x : std::clamp(std::trunc(x), -1e15, 1e15);
}

// The window [from, i] a plain rescan uses, or -1; N = 0 from `first`.
long long start(double n, size_t i, bool partial, size_t first)
{
    n = count(n);
    if (std::isnan(n) || n < 0)
        return -1;
    if (n == 0)
        return i >= first ? static_cast<long long>(first) : -1;
    const double from = double(i) + 1 - n;
    return from < 0 ? (partial ? 0 : -1) : static_cast<long long>(from);
}

bool same(double a, double b)
{
    if (a == b)
        return true; // infinities included
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::abs(a - b) <= 1e-9 * std::max({1.0, std::abs(a), std::abs(b)});
}

// A window function against its plain definition.
void checkWindow(const QString &name, const Series &x, const Series &n, const Series &got)
{
    // HHV, LLV and MA with N = 0 run from the input's first value; the counting ones from
    // the first bar, which gives the same.
    const bool fromValue = name == u"HHV" || name == u"LLV" || name == u"MA";
    size_t first = 0;
    while (fromValue && first < x.size() && std::isnan(x[first]))
        ++first;
    for (size_t i = 0; i < x.size(); ++i) {
        const bool partial = name != u"MA";
        const long long from = start(n[i], i, partial, first);
        double want = std::nan("");
        if (from >= 0) {
            const size_t f = size_t(from);
            const bool anyNaN = std::any_of(x.begin() + from, x.begin() + long(i) + 1,
                                            [](double v) { return std::isnan(v); });
            if (name == u"HHV" || name == u"LLV") {
                if (!anyNaN)
                    want = name == u"HHV"
                               ? *std::max_element(x.begin() + from, x.begin() + long(i) + 1)
                               : *std::min_element(x.begin() + from, x.begin() + long(i) + 1);
            } else if (name == u"HHVBARS" || name == u"LLVBARS") {
                long long best = -1;
                for (size_t k = f; k <= i; ++k) {
                    if (std::isnan(x[k]))
                        continue;
                    if (best < 0 ||
                        (name == u"HHVBARS" ? x[k] >= x[size_t(best)] : x[k] <= x[size_t(best)]))
                        best = static_cast<long long>(k);
                }
                if (best >= 0)
                    want = double(static_cast<long long>(i) - best);
            } else if (name == u"SUM") {
                // Wide, so that sums beyond a double's range come out as they should.
                long double wide = 0;
                for (size_t k = f; k <= i; ++k)
                    wide += std::isnan(x[k]) ? 0 : x[k];
                want = double(wide);
            } else if (name == u"COUNT") {
                want = 0;
                for (size_t k = f; k <= i; ++k)
                    want += !std::isnan(x[k]) && x[k] != 0 ? 1 : 0;
            } else if (name == u"MA" && !anyNaN) {
                long double wide = 0;
                for (size_t k = f; k <= i; ++k)
                    wide += x[k];
                want = double(wide / static_cast<long double>(i - f + 1));
            }
        }
        require(same(got[i], want), "a window differs from its rescan");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Bytes in(data, size);
    const Bars bars = randomBars(in);
    QString text;
    const int statements = 1 + int(in.next(6));
    for (int k = 0; k < statements; ++k)
        text += u"V%1:%2;\n"_s.arg(k).arg(expr(in, 0, k));
    // One window function on two of the formula's own series, checked against a rescan.
    static const char *const windows[] = {"HHV", "LLV", "HHVBARS", "LLVBARS", "SUM", "COUNT", "MA"};
    const QString window = QString::fromLatin1(windows[in.next(std::size(windows))]);
    const int x = int(in.next(unsigned(statements))), n = int(in.next(unsigned(statements)));
    text += u"W:%1(V%2,V%3);\n"_s.arg(window).arg(x).arg(n);

    if (std::getenv("FUZZ_EVAL_SHOW"))
        std::fprintf(stderr, "%s(%zu bars)\n", text.toUtf8().constData(), bars.dates.size());
    const Program program = parse(text);
    const Evaluation ev = evaluate(program, bars);
    for (const OutputLine &o : ev.outputs)
        for (const Series &s : o.channels)
            require(s.size() == bars.dates.size(), "an output without one value per bar");
    const OutputLine &w = ev.outputs.back();
    const OutputLine &xs = ev.outputs[size_t(x)], &ns = ev.outputs[size_t(n)];
    // Running sums keep about 16 digits of the largest value before a window: beside values
    // past 1e9 a small window's last digits are not kept, so those are checked for crashes
    // and undefined behaviour only.
    const bool moderate = xs.ok() && std::all_of(xs.channels[0].begin(), xs.channels[0].end(),
                                                 [](double v) { return !(std::abs(v) > 1e9); });
    if (w.ok() && xs.ok() && ns.ok() && w.name == u"W" && moderate)
        checkWindow(window, xs.channels[0], ns.channels[0], w.channels[0]);
    return 0;
}
