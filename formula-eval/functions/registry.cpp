#include "functions/common.h"

#include <QHash>

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
