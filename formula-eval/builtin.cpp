#include "builtin.h"

#include "barstext_p.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// xorshift64*: a few lines, the same numbers everywhere (std:: distributions are not).
class Rng
{
public:
    explicit Rng(quint64 seed) : m_state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    quint64 next()
    {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1DULL;
    }
    // Uniform in [0,1).
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    // Sum of uniforms: bell-shaped in [-1,1), no libm so no platform differences.
    double bell() { return (uniform() + uniform() + uniform() + uniform()) / 2.0 - 1.0; }
    int below(int n) { return int(next() % quint64(n)); }

private:
    quint64 m_state;
};

double cents(double price)
{
    return std::round(price * 100.0) / 100.0;
}

// A report-period key: reports come out by 04-30 (annual, Q1), 08-31 (half year) and
// 10-31 (Q3), so the figures a chart shows step on those days.
int reportPeriod(const QDate &d)
{
    const int md = d.month() * 100 + d.day();
    return d.year() * 10 + (md > 1031 ? 3 : md > 831 ? 2 : md > 430 ? 1 : 0);
}

// CAPITAL with two share issues, FINANCE(1, 3, 7, 32, 33, 34, 42) stepping at report dates,
// and a market index partly made of the stock's own moves.
void addLatestData(Bars &b, Rng &market, double closeBefore)
{
    const QDate listed(2010, 6, 18);
    const qsizetype count = b.size();
    double capital = 5.0e8;
    double index = 3000.0;
    double close = closeBefore;
    std::map<QString, std::vector<double>> columns;
    auto put = [&columns](const char *key, double v) {
        columns[QString::fromLatin1(key)].push_back(v);
    };
    int reports = 0;
    for (qsizetype i = 0; i < count; ++i) {
        const auto at = std::size_t(i);
        const QDate day = b.dates[at];
        const double next = b.close[at];
        if (i == count / 3 || i == 2 * count / 3)
            capital *= 1.2; // a share issue
        if (i > 0 && reportPeriod(day) != reportPeriod(b.dates[at - 1]))
            ++reports;
        put("CAPITAL", capital);
        // FINANCE(n) as the software numbers them; shares in 股, CAPITAL in 手.
        put("FINANCE(1)", capital * 125.0);                    // 总股本
        put("FINANCE(3)", 1);                                  // 沪深品种类型: 1 A股主板
        put("FINANCE(7)", capital * 100.0);                    // 流通股本
        put("FINANCE(32)", 1.2 + 0.05 * double(reports));      // 每股未分配利润
        put("FINANCE(33)", 0.48 + 0.02 * double(reports % 4)); // 每股收益(折算全年)
        put("FINANCE(34)", 4.6 + 0.08 * double(reports));      // 每股净资产
        put("FINANCE(42)", double(listed.daysTo(day)));        // 上市的天数
        const double move = 0.3 * (next - close) / close + 0.012 * market.bell();
        const double iopen = index * (1.0 + 0.004 * market.bell());
        const double iclose = index * (1.0 + move);
        const double ivol = std::round(3.0e8 * (0.7 + 0.6 * market.uniform()));
        put("INDEXO", iopen);
        put("INDEXC", iclose);
        put("INDEXH", std::max(iopen, iclose) * (1.0 + 0.006 * market.uniform()));
        put("INDEXL", std::min(iopen, iclose) * (1.0 - 0.006 * market.uniform()));
        put("INDEXV", ivol);
        put("INDEXA", std::round(ivol * 100.0 * iclose / 300.0));
        index = iclose;
        close = next;
    }
    b.extra = std::move(columns);
}

// One bar as multiples of a reference price, rounded to cents when laid down.
struct Shape
{
    double open, high, low, close;
};

// The candle patterns pattern formulas look for, in multiples of the close before them;
// each keeps inside the ±10 % limits.
const std::vector<std::vector<Shape>> &patterns()
{
    static const std::vector<std::vector<Shape>> all = {
        // 乌云盖顶 dark cloud cover: a strong white day, then an open above its high and a
        // close deep into its body.
        {{1.00, 1.055, 0.995, 1.05}, {1.07, 1.074, 1.01, 1.015}},
        // 上升三法 rising three: a long white day, three small black days inside its range,
        // a long white day closing above it.
        {{1.00, 1.065, 0.995, 1.06},
         {1.05, 1.053, 1.032, 1.035},
         {1.04, 1.043, 1.022, 1.025},
         {1.03, 1.033, 1.012, 1.015},
         {1.02, 1.095, 1.015, 1.09}},
        // 下降三法 falling three: the mirror.
        {{1.00, 1.005, 0.935, 0.94},
         {0.945, 0.963, 0.942, 0.96},
         {0.955, 0.973, 0.952, 0.97},
         {0.965, 0.983, 0.962, 0.98},
         {0.975, 0.98, 0.915, 0.92}},
        // 阳包阴 bullish engulfing and 阴包阳 bearish engulfing.
        {{1.00, 1.004, 0.975, 0.98}, {0.975, 1.015, 0.97, 1.01}},
        {{1.00, 1.024, 0.996, 1.02}, {1.025, 1.03, 0.99, 0.995}},
        // 十字星 doji, 锤子线 hammer, 射击之星 shooting star.
        {{1.00, 1.02, 0.98, 1.00}},
        {{1.00, 1.007, 0.96, 1.005}},
        {{1.00, 1.04, 0.993, 0.995}},
        // 早晨之星 morning star: a long black day, a small gap-down day, a long white day.
        {{1.00, 1.003, 0.95, 0.955}, {0.945, 0.95, 0.935, 0.94}, {0.95, 1.0, 0.948, 0.995}},
        // 红三兵 three white soldiers.
        {{1.00, 1.025, 0.998, 1.02}, {1.015, 1.045, 1.012, 1.04}, {1.035, 1.065, 1.03, 1.06}},
    };
    return all;
}

QDate nextWeekday(QDate d)
{
    d = d.addDays(1);
    while (d.dayOfWeek() > 5)
        d = d.addDays(1);
    return d;
}

Security makeSecurity(int k)
{
    static const char16_t *const stems[] = {u"甲", u"乙", u"丙", u"丁", u"戊", u"己", u"庚",
                                            u"辛", u"壬", u"癸", u"子", u"丑", u"寅", u"卯",
                                            u"辰", u"巳", u"午", u"未", u"申", u"酉"};
    Security s;
    s.code = u"MN%1"_s.arg(k + 1, 4, 10, QChar(u'0'));
    s.name = u"模拟"_s + QString::fromUtf16(stems[k % 20]);
    Rng rng(quint64(7919 * (k + 1)) + 20240105);
    Rng market(quint64(104729 * (k + 1)) + 20240106);
    const int count = 1000;
    const double start = 5.0 + 2.0 * double(k % 10);
    double close = start;
    double high = close;
    QDate day = nextWeekday(QDate(2019, 12, 31));
    std::deque<Shape> planned; // the rest of a pattern under way, relative to `base`
    double base = close;
    Bars &b = s.bars;
    while (b.size() < count) {
        double o = 0, h = 0, l = 0, c = 0, activity = 1.0;
        const auto lay = [&](const Shape &shape) {
            o = cents(base * shape.open);
            c = cents(base * shape.close);
            h = std::max(cents(base * shape.high), std::max(o, c));
            l = std::min(cents(base * shape.low), std::min(o, c));
        };
        const int pick = rng.below(1000);
        if (!planned.empty()) {
            lay(planned.front());
            planned.pop_front();
        } else if (pick < 12) {
            // Suspended: weekdays with no bar, then a gap in the price.
            for (int gap = 1 + rng.below(20); gap > 0; --gap)
                day = nextWeekday(day);
            base = close * (1.0 + 0.08 * rng.bell());
            lay({1.0, 1.01, 0.99, 1.0 + 0.02 * rng.bell()});
        } else if (pick < 40) {
            // A limit day, up or down; half of them never trade off the limit (一字板).
            const bool up = close < 4.0 || (close < 60.0 && pick % 2 == 0);
            c = cents(close * (up ? 1.1 : 0.9));
            o = pick % 4 < 2 ? c : cents(close * (1.0 + 0.02 * rng.bell()));
            h = up ? c : std::max(o, cents(close * (1.0 + 0.01 * rng.uniform())));
            l = up ? std::min(o, cents(close * (1.0 - 0.01 * rng.uniform()))) : c;
            h = std::max(h, o);
            l = std::min(l, o);
            activity = pick % 4 < 2 ? 0.2 : 2.5;
        } else if (pick < 55) {
            o = h = l = c = close; // a flat day: no trade moved the price
            activity = 0.1;
        } else if (pick < 150) {
            base = close;
            const auto &all = patterns();
            const auto &shape = all[std::size_t(pick % int(all.size()))];
            planned.assign(shape.begin(), shape.end());
            lay(planned.front());
            planned.pop_front();
        } else {
            // An ordinary day, pulled back towards its starting price over time.
            const double pull = 0.002 * (start - close) / start;
            o = cents(close * (1.0 + 0.01 * rng.bell()));
            c = std::clamp(cents(close * (1.0 + pull + 0.05 * rng.bell())), cents(close * 0.9),
                           cents(close * 1.1));
            h = cents(std::max(o, c) * (1.0 + 0.015 * rng.uniform()));
            l = cents(std::min(o, c) * (1.0 - 0.015 * rng.uniform()));
            if (pick < 200 && high >= std::max(o, c) && high <= close * 1.1)
                h = high; // equal highs: a double top
        }
        l = std::max(l, 0.01);
        const double volume = std::round(2.0e6 * activity * (0.5 + rng.uniform()) *
                                         (1.0 + 10.0 * std::abs(c - close) / close));
        detail::appendBar(b, day, o, h, l, c, volume, std::round(volume * (o + h + l + c) / 4.0));
        close = c;
        high = h;
        day = nextWeekday(day);
    }
    addLatestData(b, market, start);
    return s;
}

} // namespace

Bars builtinBars(int count, quint32 seed)
{
    Rng rng(seed);
    Rng market(seed + 1); // the index's own moves, drawn apart so the stock stays the same
    Bars b;
    QDate day(2020, 1, 2);
    double close = 10.0;
    for (int i = 0; i < count; ++i) {
        while (day.dayOfWeek() > 5)
            day = day.addDays(1);
        const double open = cents(close * (1.0 + 0.01 * rng.bell()));
        const double next = std::max(0.5, cents(close * (1.0 + 0.05 * rng.bell())));
        const double high = cents(std::max(open, next) * (1.0 + 0.015 * rng.uniform()));
        const double low = cents(std::min(open, next) * (1.0 - 0.015 * rng.uniform()));
        const double volume = std::round(2.0e6 * (0.5 + rng.uniform()) *
                                         (1.0 + 10.0 * std::abs(next - close) / close));
        detail::appendBar(b, day, open, high, low, next, volume,
                          std::round(volume * (open + high + low + next) / 4.0));
        close = next;
        day = day.addDays(1);
    }
    addLatestData(b, market, 10.0);
    return b;
}

std::vector<Security> builtinSecurities()
{
    std::vector<Security> all;
    all.reserve(20);
    for (int k = 0; k < 20; ++k)
        all.push_back(makeSecurity(k));
    return all;
}

} // namespace morvane::formula
