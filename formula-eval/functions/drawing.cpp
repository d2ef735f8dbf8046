#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

struct DrawingSpec
{
    QLatin1StringView name; // its length kept: the replay looks drawings up at every bar
    int minArgs;
    std::vector<int> used; // evaluated arguments
};

struct Drawing : DrawingSpec
{
    std::vector<DrawnChannel> channels;
};

// Where a drawing draws: its arguments as they are (a candle, a band, a rectangle); PARTLINE
// and VERTLINE where their condition holds; DRAWLINE's two ends (the segment between them is
// drawing, not a value); the others each price where COND, the first argument, holds.
std::vector<DrawnChannel> channelsOf(QLatin1StringView n, const std::vector<int> &used)
{
    if (n == "DRAWKLINE"_L1 || n == "DRAWBAND"_L1 || n == "DRAWRECTREL"_L1) {
        std::vector<DrawnChannel> out;
        for (int k : used)
            out.push_back({-1, k});
        return out;
    }
    if (n == "PARTLINE"_L1)
        return {{1, 0}};
    if (n == "VERTLINE"_L1)
        return {{0, -1}};
    if (n == "DRAWLINE"_L1)
        return {{0, 1}, {2, 3}};
    std::vector<DrawnChannel> out;
    for (Sz k = 1; k < used.size(); ++k)
        out.push_back({0, used[k]});
    return out;
}

std::vector<Drawing> withChannels(const std::vector<DrawingSpec> &specs)
{
    std::vector<Drawing> list;
    for (const DrawingSpec &d : specs)
        list.push_back({d, channelsOf(d.name, d.used)});
    return list;
}

const std::vector<Drawing> &drawings()
{
    static const std::vector<Drawing> list = withChannels({
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
    });
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

std::span<const DrawnChannel> drawnChannels(const QString &name)
{
    const Drawing *d = findDrawing(name);
    return d ? std::span<const DrawnChannel>(d->channels) : std::span<const DrawnChannel>();
}

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
    for (const DrawnChannel &ch : d->channels) {
        Series &out = next();
        const Series &price = args[Sz(std::max(ch.price, 0))].v;
        if (ch.cond < 0) {
            out = price;
            continue;
        }
        const Series &cond = args[Sz(ch.cond)].v;
        out.assign(cond.size(), kNaN);
        for (Sz i = 0; i < cond.size(); ++i)
            if (isTrue(cond[i]))
                out[i] = ch.price < 0 ? 1.0 : price[i];
    }
    channels->resize(count);
    return CallResult::Done;
}

} // namespace morvane::formula
