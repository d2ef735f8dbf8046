#include "functions/common.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

Value latest(const Series &column)
{
    Value out;
    out.v = Series(column.size(), column.empty() ? kNaN : column.back());
    return out;
}

// DYNAINFO(K) without a column of its own: the quote as it stood on the newest bar.
bool dynainfoFromBars(int k, const Bars &b, Value *out)
{
    const Sz n = Sz(b.size());
    if (n == 0)
        return false;
    const double prev = n > 1 ? b.close[n - 2] : b.open[n - 1];
    const double c = b.close[n - 1];
    double v = kNaN;
    switch (k) {
    case 3:
        v = prev;
        break; // 昨收
    case 4:
        v = b.open[n - 1];
        break; // 今开
    case 5:
        v = b.high[n - 1];
        break; // 最高
    case 6:
        v = b.low[n - 1];
        break; // 最低
    case 7:
        v = c;
        break; // 现价
    case 8:
        v = b.volume[n - 1];
        break; // 总量
    case 10:
        v = b.amount[n - 1];
        break; // 总金额
    case 11:
        v = b.volume[n - 1] > 0 ? b.amount[n - 1] / b.volume[n - 1] : 0;
        break; // 均价
    case 12:
        v = c - prev;
        break; // 涨跌
    case 13:
        v = prev != 0 ? (b.high[n - 1] - b.low[n - 1]) / prev * 100 : 0;
        break; // 振幅
    case 14:
        v = prev != 0 ? (c - prev) / prev * 100 : 0;
        break; // 涨幅
    default:
        return false;
    }
    out->v = Series(n, v);
    return true;
}

// Chips held at each price in cents, over [origin, origin + size): each day the day's
// turnover T of the older chips leaves and T is spread evenly over the day's low…high.
// Range-add and prefix-sum Fenwick trees, all stored divided by `scale` so that the daily
// decay costs one multiplication.
class Chips
{
public:
    Chips(Index origin, Index size)
        : m_origin(origin), m_a(Sz(size) + 1, 0.0), m_b(Sz(size) + 1, 0.0)
    {
    }
    void day(double low, double high, double turnover)
    {
        const double t = std::clamp(turnover, 0.0, 1.0);
        if (t >= 1.0) {
            std::fill(m_a.begin(), m_a.end(), 0.0);
            std::fill(m_b.begin(), m_b.end(), 0.0);
            m_scale = 1.0;
        } else {
            m_scale *= 1.0 - t;
        }
        if (m_scale < 1e-6) { // the trees are linear: scale them back
            for (Sz k = 0; k < m_a.size(); ++k) {
                m_a[k] *= m_scale;
                m_b[k] *= m_scale;
            }
            m_scale = 1.0;
        }
        const Index l = cell(low), r = std::max(l, cell(high));
        const double density = t / double(r - l + 1) / m_scale;
        add(l, density);
        add(r + 1, -density);
    }
    // Share of the chips at or below price.
    double below(double price) const
    {
        if (std::isnan(price))
            return kNaN;
        const Index k = Index(std::floor(price * 100.0 + 1e-6)) - m_origin;
        return prefix(std::min<Index>(k, Index(m_a.size()) - 2)) * m_scale;
    }
    // The lowest price at or below which `share` of the chips lie.
    double cost(double share) const
    {
        if (std::isnan(share))
            return kNaN;
        Index lo = 0, hi = Index(m_a.size()) - 2;
        while (lo < hi) {
            const Index mid = (lo + hi) / 2;
            if (prefix(mid) * m_scale >= share - 1e-12)
                hi = mid;
            else
                lo = mid + 1;
        }
        return double(m_origin + lo) / 100.0;
    }

private:
    Index cell(double price) const { return Index(std::llround(price * 100.0)) - m_origin; }
    // Adds v to every cell from k on.
    void add(Index k, double v)
    {
        const double w = v * double(k);
        for (Sz i = Sz(k) + 1; i < m_a.size(); i += i & (~i + 1)) {
            m_a[i] += v;
            m_b[i] += w;
        }
    }
    // Sum over cells 0…k.
    double prefix(Index k) const
    {
        if (k < 0)
            return 0.0;
        double a = 0, b = 0;
        for (Sz i = Sz(k) + 1; i > 0; i -= i & (~i + 1)) {
            a += m_a[i];
            b += m_b[i];
        }
        return a * double(k + 1) - b;
    }

    Index m_origin;
    std::vector<double> m_a, m_b;
    double m_scale = 1.0;
};

// WINNER(P) = share of the chips at or below P; COST(X) = the price with X% of the chips at
// or below it. Turnover is VOL/CAPITAL with the newest CAPITAL, as a chart shows it.
bool chipFunction(const QString &name, const std::vector<Value> &args, const Bars &b, Value *out)
{
    const bool winner = name == u"WINNER";
    if (!winner && name != u"COST")
        return false;
    const auto capital = b.extra.find(u"CAPITAL"_s);
    if (capital == b.extra.end() || capital->second.empty()) {
        *out = missingValue(u"CAPITAL"_s);
        return true;
    }
    const double shares = capital->second.back();
    const Sz n = Sz(b.size());
    *out = Value{};
    out->v = empty(n);
    if (n == 0 || shares <= 0)
        return true;
    // A bar without prices (a suspended day) trades nothing: the chips stay as they were.
    const auto traded = [&b](Sz i) { return std::isfinite(b.low[i]) && std::isfinite(b.high[i]); };
    double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
    for (Sz i = 0; i < n; ++i)
        if (traded(i)) {
            lowest = std::min(lowest, b.low[i]);
            highest = std::max(highest, b.high[i]);
        }
    if (!(lowest <= highest))
        return true; // no bar with prices: nothing held anywhere
    const Index lo = Index(std::llround(lowest * 100.0));
    const Index hi = Index(std::llround(highest * 100.0));
    Chips chips(lo, hi - lo + 1);
    bool first = true;
    for (Sz i = 0; i < n; ++i) {
        if (traded(i)) {
            const double turnover = first                        ? 1.0
                                    : std::isfinite(b.volume[i]) ? b.volume[i] / shares
                                                                 : 0.0;
            chips.day(b.low[i], b.high[i], turnover);
            first = false;
        }
        if (first)
            continue; // before the first traded bar no chip exists
        const double x = args[0].v[i];
        out->v[i] = winner ? chips.below(x) : chips.cost(x / 100.0);
    }
    return true;
}

} // namespace

double dateNumber(const QDate &d)
{
    return double((d.year() - 1900) * 10000 + d.month() * 100 + d.day());
}

bool namedSeries(const QString &name, const Bars &b, Value *out)
{
    const Sz n = Sz(b.size());
    auto series = [out](const Series &s) {
        out->v = s;
        return true;
    };
    auto perBar = [out, n](auto f) {
        out->v.resize(n);
        for (Sz i = 0; i < n; ++i)
            out->v[i] = f(i);
        return true;
    };
    if (name == u"C" || name == u"CLOSE")
        return series(b.close);
    if (name == u"O" || name == u"OPEN")
        return series(b.open);
    if (name == u"H" || name == u"HIGH")
        return series(b.high);
    if (name == u"L" || name == u"LOW")
        return series(b.low);
    if (name == u"V" || name == u"VOL")
        return series(b.volume);
    if (name == u"AMOUNT" || name == u"AMO")
        return series(b.amount);
    // DATE = (year − 1900)·10000 + month·100 + day: 1240105 is 2024-01-05
    if (name == u"DATE")
        return perBar([&](Sz i) { return dateNumber(b.dates[i]); });
    if (name == u"YEAR")
        return perBar([&](Sz i) { return double(b.dates[i].year()); });
    if (name == u"MONTH")
        return perBar([&](Sz i) { return double(b.dates[i].month()); });
    if (name == u"DAY")
        return perBar([&](Sz i) { return double(b.dates[i].day()); });
    // WEEKDAY = 1 Monday … 5 Friday, 0 Sunday
    if (name == u"WEEKDAY")
        return perBar([&](Sz i) { return double(b.dates[i].dayOfWeek() % 7); });
    if (name == u"ISUP")
        return perBar([&](Sz i) { return b.close[i] > b.open[i] ? 1.0 : 0.0; });
    if (name == u"ISDOWN")
        return perBar([&](Sz i) { return b.close[i] < b.open[i] ? 1.0 : 0.0; });
    if (name == u"ISEQUAL")
        return perBar([&](Sz i) { return b.close[i] == b.open[i] ? 1.0 : 0.0; });
    // CURRBARSCOUNT = bars to the newest one, counting it (1 on the newest bar)
    if (name == u"CURRBARSCOUNT")
        return perBar([&](Sz i) { return double(n - i); });
    // TOTALBARSCOUNT = how many bars there are, on every bar
    if (name == u"TOTALBARSCOUNT")
        return perBar([&](Sz) { return double(n); });
    if (name == u"ISLASTBAR")
        return perBar([&](Sz i) { return i + 1 == n ? 1.0 : 0.0; });
    // BARSTATUS = 1 on the first bar, 2 on the newest, else 0
    if (name == u"BARSTATUS")
        return perBar([&](Sz i) { return i + 1 == n ? 2.0 : i == 0 ? 1.0 : 0.0; });
    if (name == u"DRAWNULL")
        return perBar([](Sz) { return kNaN; });
    // INDEXC… = the market index's close, open, high, low, volume, amount on each bar
    if (name.size() == 6 && name.startsWith(u"INDEX") &&
        QStringView(u"COHLVA").contains(name.back())) {
        const auto column = b.extra.find(name);
        if (column == b.extra.end())
            *out = missingValue(name);
        else
            out->v = column->second;
        return true;
    }
    // CAPITAL = the newest float shares, on every bar
    if (name == u"CAPITAL") {
        const auto column = b.extra.find(name);
        if (column == b.extra.end())
            *out = missingValue(name);
        else
            *out = latest(column->second);
        return true;
    }
    return false;
}

bool causalSeries(const QString &name)
{
    // The bar's own data and date; not the ones that read the newest bar (CURRBARSCOUNT,
    // TOTALBARSCOUNT, ISLASTBAR, BARSTATUS, CAPITAL).
    static const QStringList names = {
        u"C"_s,      u"CLOSE"_s,   u"O"_s,        u"OPEN"_s,   u"H"_s,       u"HIGH"_s,
        u"L"_s,      u"LOW"_s,     u"V"_s,        u"VOL"_s,    u"AMOUNT"_s,  u"AMO"_s,
        u"DATE"_s,   u"YEAR"_s,    u"MONTH"_s,    u"DAY"_s,    u"WEEKDAY"_s, u"ISUP"_s,
        u"ISDOWN"_s, u"ISEQUAL"_s, u"DRAWNULL"_s, u"INDEXC"_s, u"INDEXO"_s,  u"INDEXH"_s,
        u"INDEXL"_s, u"INDEXV"_s,  u"INDEXA"_s};
    return names.contains(name);
}

std::optional<CallResult> callMarketFunction(const QString &name, std::vector<Value> &args,
                                             const Bars &bars, Value *out)
{
    // DYNAINFO(K), FINANCE(K): the newest value on every bar; DYNAINFO falls back on the
    // newest bar's quote, FINANCE needs its column.
    if (name == u"DYNAINFO" || name == u"FINANCE") {
        if (args.size() != 1)
            return CallResult::BadArity;
        const double k = args[0].v.empty() ? kNaN : args[0].v.back();
        const QString key = name + u'(' + QString::number(k) + u')';
        const auto column = bars.extra.find(key);
        if (column != bars.extra.end()) {
            *out = latest(column->second);
            return CallResult::Done;
        }
        if (name == u"DYNAINFO" && !std::isnan(k) && dynainfoFromBars(int(k), bars, out))
            return CallResult::Done;
        return CallResult::NoData;
    }
    if (name == u"WINNER" || name == u"COST") {
        if (args.size() != 1)
            return CallResult::BadArity;
        chipFunction(name, args, bars, out);
        return CallResult::Done;
    }
    if (name == u"RGB") { // a colour: only drawing arguments use it
        *out = constantValue(0, bars.size());
        return CallResult::Done;
    }
    return std::nullopt;
}

} // namespace morvane::formula
