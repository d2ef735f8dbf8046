// The evaluator on random formulas from a small grammar over every family of functions, with
// counts of any size (0, negative, 1e300, 9.3e18, NaN, infinities), on a few random bars. No
// crash and no undefined behaviour (built with ASan/UBSan); every output has one value per
// bar; the windows agree with a plain rescan of each window.
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
using namespace Qt::StringLiterals;

namespace {

void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_eval: %s\n", what);
        std::abort();
    }
}

class Bytes
{
public:
    Bytes(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    unsigned next(unsigned below)
    {
        const unsigned b = m_pos < m_size ? m_data[m_pos++] : 0;
        return below ? b % below : 0;
    }
    bool done() const { return m_pos >= m_size; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

struct Fn
{
    const char *name;
    int args;
};

// One or more of every family; the counts go where the families read them.
const Fn kFunctions[] = {
    {"MA", 2},       {"EMA", 2},       {"SMA", 3},       {"DMA", 2},        {"EXPMEMA", 2},
    {"WMA", 2},      {"XMA", 2},       {"MEMA", 2},      {"AMA", 2},        {"TMA", 3},
    {"HHV", 2},      {"LLV", 2},       {"HHVBARS", 2},   {"LLVBARS", 2},    {"SUM", 2},
    {"COUNT", 2},    {"EVERY", 2},     {"EXIST", 2},     {"LAST", 3},       {"SUMBARS", 2},
    {"MULAR", 2},    {"REF", 2},       {"REFV", 2},      {"REFX", 2},       {"REFXV", 2},
    {"BARSLAST", 1}, {"BARSCOUNT", 1}, {"BARSSINCE", 1}, {"BARSSINCEN", 2}, {"BARSNEXT", 1},
    {"FILTER", 2},   {"BACKSET", 2},   {"VALUEWHEN", 2}, {"TOPRANGE", 1},   {"LOWRANGE", 1},
    {"CONST", 1},    {"CROSS", 2},     {"LONGCROSS", 3}, {"UPNDAY", 2},     {"NDAY", 3},
    {"IF", 3},       {"IFN", 3},       {"NOT", 1},       {"BETWEEN", 3},    {"ROUND", 1},
    {"MOD", 2},      {"ABS", 1},       {"MAX", 2},       {"MIN", 2},        {"POW", 2},
    {"LN", 1},       {"STD", 2},       {"VAR", 2},       {"AVEDEV", 2},     {"DEVSQ", 2},
    {"SLOPE", 2},    {"FORCAST", 2},   {"COVAR", 3},     {"RELATE", 3},     {"SAR", 3},
    {"ZIG", 2},      {"PEAK", 3},      {"PEAKBARS", 3},  {"TROUGH", 3},     {"TROUGHBARS", 3},
};

const char *const kAtoms[] = {"EXP(C*300)",
                              "C",
                              "O",
                              "H",
                              "L",
                              "V",
                              "0",
                              "1",
                              "2",
                              "3",
                              "-1",
                              "0.5",
                              "1E300",
                              "9.3E18",
                              "-9.3E18",
                              "POW(10,400)",
                              "-POW(10,400)",
                              "SQRT(-1)",
                              "DRAWNULL",
                              "BARSCOUNT(C)",
                              "-1000"};

QString expr(Bytes &in, int depth, int variables)
{
    const unsigned pick = in.next(depth > 3 ? 2 : 6);
    if (pick == 0 || in.done())
        return QString::fromLatin1(kAtoms[in.next(std::size(kAtoms))]);
    if (pick == 1 && variables > 0)
        return u"V%1"_s.arg(in.next(unsigned(variables)));
    if (pick == 2) {
        static const char *const ops[] = {"+", "-", "*", "/", ">", "<", "=", " AND ", " OR "};
        return u"("_s + expr(in, depth + 1, variables) + QString::fromLatin1(ops[in.next(9)]) +
               expr(in, depth + 1, variables) + u")"_s;
    }
    const Fn &f = kFunctions[in.next(std::size(kFunctions))];
    QString call = QString::fromLatin1(f.name) + u'(';
    for (int k = 0; k < f.args; ++k)
        call += (k ? u","_s : QString()) + expr(in, depth + 1, variables);
    return call + u')';
}

Bars randomBars(Bytes &in)
{
    Bars b;
    const unsigned count = in.next(40);
    QDate day(2024, 1, 1);
    for (unsigned i = 0; i < count; ++i) {
        const double c = 1 + in.next(8) * 0.5; // few values, so equal ones are common
        const double spread = in.next(3) * 0.5;
        b.dates.push_back(day);
        b.open.push_back(c);
        b.high.push_back(c + spread);
        b.low.push_back(std::max(0.5, c - spread));
        b.close.push_back(c);
        b.volume.push_back(100.0 * (1 + in.next(4)));
        b.amount.push_back(b.volume.back() * c);
        day = day.addDays(1);
    }
    return b;
}

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
