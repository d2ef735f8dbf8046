#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

struct Drawing
{
    QLatin1StringView name; // its length kept: the replay looks drawings up at every bar
    int minArgs;
    std::vector<int> used; // evaluated arguments
};

const std::vector<Drawing> &drawings()
{
    static const std::vector<Drawing> list = {
        {"STICKLINE"_L1, 3, {0, 1, 2}},
        {"DRAWTEXT"_L1, 3, {0, 1}},
        {"DRAWICON"_L1, 3, {0, 1}},
        {"DRAWNUMBER"_L1, 3, {0, 1, 2}},
        {"DRAWKLINE"_L1, 4, {0, 1, 2, 3}},
        {"PARTLINE"_L1, 2, {0, 1}},
        {"VERTLINE"_L1, 1, {0}},
        {"DRAWLINE"_L1, 4, {0, 1, 2, 3}},
        {"POLYLINE"_L1, 2, {0, 1}},
        {"PLOYLINE"_L1, 2, {0, 1}},
        {"DRAWBAND"_L1, 4, {0, 2}},
        {"FILLRGN"_L1, 3, {0, 1, 2}},
        // DRAWTEXT_FIX(COND,X,Y,TYPE,TEXT): TEXT where COND holds, at X,Y of the window
        {"DRAWTEXT_FIX"_L1, 5, {0, 1, 2}},
        // DRAWRECTREL(LEFT,TOP,RIGHT,BOTTOM,COLOR): a rectangle in window units, always
        {"DRAWRECTREL"_L1, 4, {0, 1, 2, 3}},
    };
    return list;
}

const Drawing *findDrawing(const QString &name)
{
    for (const Drawing &d : drawings())
        if (name == d.name)
            return &d;
    return nullptr;
}

} // namespace

bool isDrawingCall(const QString &name)
{
    return findDrawing(name) != nullptr;
}

bool causalDrawing(const QString &name)
{
    return isDrawingCall(name) && name != u"DRAWLINE";
}

bool drawingArgumentUsed(const QString &name, qsizetype index)
{
    const Drawing *d = findDrawing(name);
    return d && std::find(d->used.begin(), d->used.end(), int(index)) != d->used.end();
}

CallResult drawingChannels(const QString &name, const std::vector<Value> &args,
                           std::vector<Series> *channels)
{
    const Drawing *d = findDrawing(name);
    if (!d)
        return CallResult::Unknown;
    if (int(args.size()) < d->minArgs)
        return CallResult::BadArity;
    // Into the channels' own buffers: the replay draws the same channels again at every cut.
    Sz count = 0;
    auto next = [&]() -> Series & {
        if (channels->size() <= count)
            channels->resize(count + 1);
        return (*channels)[count++];
    };
    // Where COND holds, the price (or 1); elsewhere nothing.
    auto where = [](Series &out, const Series &cond, const Series *price) {
        out.assign(cond.size(), kNaN);
        for (Sz i = 0; i < cond.size(); ++i)
            if (isTrue(cond[i]))
                out[i] = price ? (*price)[i] : 1.0;
    };
    const QLatin1StringView n = d->name;
    if (n == "DRAWKLINE"_L1 || n == "DRAWBAND"_L1 || n == "DRAWRECTREL"_L1) {
        for (int k : d->used)
            next() = args[Sz(k)].v;
    } else if (n == "PARTLINE"_L1) {
        where(next(), args[1].v, &args[0].v);
    } else if (n == "VERTLINE"_L1) {
        where(next(), args[0].v, nullptr);
    } else if (n == "DRAWLINE"_L1) {
        // The two ends; the segment between them is drawing, not a value.
        where(next(), args[0].v, &args[1].v);
        where(next(), args[2].v, &args[3].v);
    } else {
        for (Sz k = 1; k < d->used.size(); ++k)
            where(next(), args[0].v, &args[Sz(d->used[k])].v);
    }
    channels->resize(count);
    return CallResult::Done;
}

} // namespace morvane::formula
