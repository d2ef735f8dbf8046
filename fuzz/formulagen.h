#pragma once

// What the evaluator's fuzz targets share: random formulas from a small grammar over every
// family of functions, and a few random bars, both drawn from the fuzzer's bytes.
#include "bars.h"

#include <QDate>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <span>

namespace fuzzgen {

using namespace Qt::StringLiterals;

// A finding: says what and aborts, so that libFuzzer keeps the input.
inline void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "%s\n", what);
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
inline const Fn kFunctions[] = {
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

inline const char *const kAtoms[] = {"EXP(C*300)",
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
                                     "ISLASTBAR",
                                     "-1000"};

// An expression over the atoms, the formula's earlier variables V0.. and FUNCTIONS; from
// maxDepth down (when not negative) only atoms and variables.
inline QString expr(Bytes &in, int depth, int variables,
                    std::span<const Fn> functions = std::span<const Fn>(kFunctions),
                    int maxDepth = -1)
{
    const unsigned pick = in.next(depth > 3 ? 2 : 6);
    const bool leaf = maxDepth >= 0 && depth >= maxDepth;
    if (pick == 0 || in.done() || (leaf && (pick != 1 || variables == 0)))
        return QString::fromLatin1(kAtoms[in.next(std::size(kAtoms))]);
    if (pick == 1 && variables > 0)
        return u"V%1"_s.arg(in.next(unsigned(variables)));
    if (pick == 2) {
        static const char *const ops[] = {"+", "-", "*", "/", ">", "<", "=", " AND ", " OR "};
        return u"("_s + expr(in, depth + 1, variables, functions, maxDepth) +
               QString::fromLatin1(ops[in.next(9)]) +
               expr(in, depth + 1, variables, functions, maxDepth) + u")"_s;
    }
    const Fn &f = functions[in.next(unsigned(functions.size()))];
    QString call = QString::fromLatin1(f.name) + u'(';
    for (int k = 0; k < f.args; ++k)
        call += (k ? u","_s : QString()) + expr(in, depth + 1, variables, functions, maxDepth);
    return call + u')';
}

inline morvane::formula::Bars randomBars(Bytes &in, unsigned atLeast = 0)
{
    morvane::formula::Bars b;
    const unsigned count = atLeast + in.next(40 - atLeast);
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

} // namespace fuzzgen
