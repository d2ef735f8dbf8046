#include "functions/common.h"

#include <QHash>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

const QHash<QString, FunctionEntry> &functions()
{
    static const QHash<QString, FunctionEntry> table = [] {
        QHash<QString, FunctionEntry> t;
        for (auto family : {referenceFunctions, averageFunctions, windowFunctions, logicFunctions,
                            mathFunctions, statisticsFunctions, zigzagFunctions})
            for (const FunctionEntry &e : family())
                t.insert(QString::fromLatin1(e.name), e);
        return t;
    }();
    return table;
}

} // namespace

Value constantValue(double x, qsizetype bars)
{
    Value out;
    out.v = Series(Sz(bars), x);
    out.constant = true;
    out.causal = true;
    return out;
}

Value missingValue(const QString &what)
{
    Value out;
    out.missing << what;
    return out;
}

CallResult callFunction(const QString &name, std::vector<Value> &args, const Bars &bars, Value *out)
{
    if (const auto special = callMarketFunction(name, args, bars, out))
        return *special;
    const auto it = functions().constFind(name);
    if (it == functions().constEnd()) {
        // Zero-argument names may be written as calls: ISLASTBAR().
        if (args.empty() && namedSeries(name, bars, out))
            return CallResult::Done;
        return CallResult::Unknown;
    }
    const int count = int(args.size());
    if (count < it->minArgs || count > it->maxArgs)
        return CallResult::BadArity;
    *out = Value{};
    out->v = it->fn(args, bars);
    out->constant = it->elementwise && std::all_of(args.begin(), args.end(),
                                                   [](const Value &a) { return a.constant; });
    return CallResult::Done;
}

bool causalCall(const QString &name, const std::vector<Value> &args)
{
    if (isDrawingCall(name))
        return causalDrawing(name);
    const auto it = functions().constFind(name);
    if (it == functions().constEnd())
        return args.empty() && causalSeries(name); // ISLASTBAR() and the like
    switch (it->causal) {
    case Causal::No:
        return false;
    case Causal::Yes:
        return true;
    case Causal::PastOffset: // a constant below 0 reads later bars; anything else never does
        return args.size() == 2 &&
               (!args[1].constant || args[1].v.empty() || !(safeCount(args[1].v.front()) < 0));
    case Causal::FixedArgs:
        return std::all_of(args.begin(), args.end(), [](const Value &a) { return a.constant; });
    }
    return false;
}

QStringList causalFunctions()
{
    QStringList names;
    for (auto it = functions().constBegin(); it != functions().constEnd(); ++it)
        if (it->causal != Causal::No)
            names << it.key();
    names.sort();
    return names;
}

namespace {

// A constant count argument as whole bars, or nothing.
std::optional<double> constantCount(const std::vector<const Value *> &args, Sz k)
{
    if (k >= args.size() || !args[k]->constant || args[k]->v.empty())
        return std::nullopt;
    return safeCount(args[k]->v.front());
}

// Whether a per-bar offset ever points at later bars (REF then repeats its value before,
// bar after bar: what it reads is not bounded by N).
bool anyNegative(const Value &n)
{
    return std::any_of(n.v.begin(), n.v.end(), [](double x) { return safeCount(x) < 0; });
}

// Windows over the last N bars (N the argument at `count`): the N − 1 bars before are read.
// N = 0 reads back to the first value, with no bound.
TailRule window(const std::vector<const Value *> &args, Sz count, qsizetype extra = -1)
{
    const auto n = constantCount(args, count);
    if (!n && count >= args.size())
        return {};
    if (!n) // a per-bar N: bar i reads the N + extra bars before it
        return {TailRule::Kind::PerBarBack, extra + 1, 0, false, qsizetype(count), false};
    if (*n == 0)
        return {};
    return {TailRule::Kind::Slice, std::isnan(*n) || *n < 0 ? 0 : qsizetype(*n) + extra, 0, false};
}

// REF and REFX with a constant offset: back for one way, ahead for the other.
TailRule offset(const std::vector<const Value *> &args, bool later, qsizetype extra = 0)
{
    const auto n = constantCount(args, 1);
    if (!n && (later || args.size() < 2 || anyNegative(*args[1])))
        return {TailRule::Kind::None, 0, 0, true};
    if (!n) // REF with a per-bar offset: bar i reads bar i − N
        return {TailRule::Kind::PerBarBack, 1, 0, false, 1, true};
    const qsizetype k = std::isnan(*n) ? 0 : qsizetype(later ? *n : -*n); // bars later
    // REF and REFV N bars back are an exact shift: empty before the first bar either way.
    const qsizetype lag = !later && extra == 0 && k < 0 ? -k : 0;
    return {TailRule::Kind::Slice,
            std::max<qsizetype>(0, -k) + extra,
            std::max<qsizetype>(0, k),
            false,
            0,
            false,
            lag};
}

} // namespace

TailRule tailRule(const QString &name, const std::vector<const Value *> &args)
{
    using Kind = TailRule::Kind;
    const auto it = functions().constFind(name);
    if (it == functions().constEnd())
        return {};
    if (name == u"FILTER" && !constantCount(args, 1)) // it goes on from its last signal's N
        return {Kind::None, 0, 0, true};
    if (name == u"COUNT") { // since the first bar, a running count; else a window
        const auto n = constantCount(args, 1);
        return n && *n == 0 ? TailRule{Kind::Resume, 0, 0, false} : window(args, 1);
    }
    if (it->resume)
        return {Kind::Resume, 0, 0, false};
    if (it->elementwise)
        return {Kind::Slice, 0, 0, false};
    static const QHash<QString, Sz> windows = {
        {u"HHV"_s, 1},       {u"LLV"_s, 1},   {u"HHVBARS"_s, 1}, {u"LLVBARS"_s, 1},
        {u"SUM"_s, 1},       {u"EXIST"_s, 1}, {u"EVERY"_s, 1},   {u"MA"_s, 1},
        {u"WMA"_s, 1},       {u"STD"_s, 1},   {u"STDP"_s, 1},    {u"VAR"_s, 1},
        {u"VARP"_s, 1},      {u"DEVSQ"_s, 1}, {u"MULAR"_s, 1},   {u"SLOPE"_s, 1},
        {u"FORCAST"_s, 1},   {u"COVAR"_s, 2}, {u"RELATE"_s, 2},  {u"NDAY"_s, 2},
        {u"BARSSINCEN"_s, 1}};
    if (const auto w = windows.constFind(name); w != windows.constEnd())
        return window(args, *w);
    if (name == u"CROSS")
        return {Kind::Slice, 1, 0, false};
    if (name == u"LONGCROSS")
        return window(args, 2, 0);
    if (name == u"UPNDAY" || name == u"DOWNNDAY")
        return window(args, 1, 0);
    if (name == u"REF" || name == u"REFV")
        return offset(args, false);
    if (name == u"REFX")
        return offset(args, true);
    if (name == u"REFXV") // the bar before, for where no later bar exists yet
        return offset(args, true, 1);
    if (name == u"BACKSET") { // a signal marks itself and the N − 1 bars before it
        const auto n = constantCount(args, 1);
        if (!n && args.size() < 2)
            return {};
        if (!n)
            return {Kind::PerBarBackset, 0, 0, false, 1, false};
        return {Kind::Slice, 0, std::isnan(*n) || *n < 1 ? 0 : qsizetype(*n) - 1, false};
    }
    if (name == u"XMA") { // centred: half the window each way
        const auto n = constantCount(args, 1);
        if (!n)
            return {Kind::None, 0, 0, true};
        const qsizetype half = std::isnan(*n) || *n < 1 ? 0 : qsizetype(*n) / 2;
        return {Kind::Slice, half, half, false};
    }
    if (name == u"ZIG" || name == u"PEAK" || name == u"PEAKBARS" || name == u"TROUGH" ||
        name == u"TROUGHBARS") { // the percentage is read on the newest bar
        if (args.size() < 2 || !args[1]->constant)
            return {Kind::None, 0, 0, true};
        return {Kind::Zigzag, 0, 0, false};
    }
    return {};
}

const FunctionEntry *functionEntry(const QString &name)
{
    const auto it = functions().constFind(name);
    return it == functions().constEnd() ? nullptr : &*it;
}

Series resumeFunction(const QString &name, const std::vector<Value> &args, const TailSeed &seed)
{
    const auto it = functions().constFind(name);
    if (it == functions().constEnd() || !it->resume)
        return {};
    return it->resume(args, seed);
}

bool knowsFunction(const QString &name)
{
    if (functions().contains(name) || isDrawingCall(name))
        return true;
    // The data names, and the stock's own facts (name, code, block), which read no bar.
    for (const char16_t *special : {u"DYNAINFO", u"FINANCE", u"WINNER", u"COST", u"RGB",
                                    u"NAMELIKE", u"NAMEINCLUDE", u"CODELIKE", u"INBLOCK"}) {
        if (name == QStringView(special))
            return true;
    }
    Value unused; // ISLASTBAR() and the other names that may be written as calls
    return namedSeries(name, Bars{}, &unused);
}

} // namespace morvane::formula
