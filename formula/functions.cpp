#include "functions.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

using Sz = std::size_t;
using Index = long long;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool isTrue(double x)
{
    return !std::isnan(x) && x != 0.0;
}

Series empty(Sz n)
{
    return Series(n, kNaN);
}

// A count argument at one bar: NaN stays NaN, else truncated like the charting software.
double countAt(const Value &n, Sz i)
{
    const double x = n.v[i];
    return std::isnan(x) ? kNaN : std::trunc(x);
}

// Window [from, i] for N at bar i; N = 0 means from the first bar. Partial windows at the
// start when partial is set, else none (-1).
Index windowStart(double count, Sz i, bool partial)
{
    if (std::isnan(count) || count < 0)
        return -1;
    if (count == 0)
        return 0;
    const Index from = Index(i) + 1 - Index(count);
    if (from < 0)
        return partial ? 0 : -1;
    return from;
}

template <typename F> Series windowed(const Value &x, const Value &n, bool partial, F f)
{
    const Sz size = x.v.size();
    Series out = empty(size);
    for (Sz i = 0; i < size; ++i) {
        const Index from = windowStart(countAt(n, i), i, partial);
        if (from >= 0)
            out[i] = f(Sz(from), i);
    }
    return out;
}

bool anyNaN(const Series &s, Sz from, Sz to)
{
    for (Sz k = from; k <= to; ++k)
        if (std::isnan(s[k]))
            return true;
    return false;
}

// Element-wise over any number of arguments; constant when all are.
template <typename F> Value map(const std::vector<Value> &args, F f)
{
    Value out;
    const Sz size = args.front().v.size();
    out.v.resize(size);
    out.constant = std::all_of(args.begin(), args.end(), [](const Value &a) { return a.constant; });
    for (Sz i = 0; i < size; ++i)
        out.v[i] = f(i);
    return out;
}

// Zigzag turning points of x at a reversal of pct percent; the last one is provisional.
struct Turn
{
    Sz bar;
    bool peak;
};

std::vector<Turn> zigTurns(const Series &x, double pct)
{
    std::vector<Turn> turns;
    const Sz size = x.size();
    Sz start = 0;
    while (start < size && std::isnan(x[start]))
        ++start;
    if (start >= size || std::isnan(pct))
        return turns;
    const double up = 1.0 + pct / 100.0, down = 1.0 - pct / 100.0;
    int dir = 0; // 0 undecided, 1 rising, -1 falling
    Sz ext = start, hi = start, lo = start;
    for (Sz i = start + 1; i < size; ++i) {
        const double v = x[i];
        if (std::isnan(v))
            continue;
        if (dir == 0) {
            if (v > x[hi])
                hi = i;
            if (v < x[lo])
                lo = i;
            if (v >= x[lo] * up) {
                turns.push_back({start, lo != start ? x[start] > x[lo] : false});
                if (lo != start)
                    turns.push_back({lo, false});
                dir = 1;
                ext = i;
            } else if (v <= x[hi] * down) {
                turns.push_back({start, hi != start ? x[start] < x[hi] : true});
                if (hi != start)
                    turns.push_back({hi, true});
                dir = -1;
                ext = i;
            }
        } else if (dir > 0) {
            if (v >= x[ext]) {
                ext = i;
            } else if (v <= x[ext] * down) {
                turns.push_back({ext, true});
                dir = -1;
                ext = i;
            }
        } else {
            if (v <= x[ext]) {
                ext = i;
            } else if (v >= x[ext] * up) {
                turns.push_back({ext, false});
                dir = 1;
                ext = i;
            }
        }
    }
    if (dir == 0) {
        turns.push_back({start, false});
        if (size - 1 != start)
            turns.push_back({size - 1, x[size - 1] > x[start]});
        return turns;
    }
    turns.push_back({ext, dir > 0});
    if (ext != size - 1)
        turns.push_back({size - 1, dir < 0}); // the line runs on to the newest bar
    return turns;
}

// The series ZIG reads: 0..3 are OPEN, HIGH, LOW, CLOSE, anything else is the series itself.
const Series &zigSource(const Value &k, const Bars &bars)
{
    if (k.constant && !k.v.empty()) {
        const double c = k.v.front();
        if (c == 0)
            return bars.open;
        if (c == 1)
            return bars.high;
        if (c == 2)
            return bars.low;
        if (c == 3)
            return bars.close;
    }
    return k.v;
}

// ZIG(K,N) = straight lines between the turning points of K at N% reversals.
Series zig(const Value &k, const Value &n, const Bars &bars)
{
    const Series &x = zigSource(k, bars);
    Series out = empty(x.size());
    if (x.empty())
        return out;
    const std::vector<Turn> turns = zigTurns(x, n.v.back());
    for (Sz t = 0; t + 1 < turns.size(); ++t) {
        const Sz a = turns[t].bar, b = turns[t + 1].bar;
        for (Sz i = a; i <= b; ++i)
            out[i] = x[a] + (x[b] - x[a]) * double(i - a) / double(b - a);
    }
    if (turns.size() == 1)
        out[turns[0].bar] = x[turns[0].bar];
    return out;
}

// PEAK/TROUGH(K,N,M) = value of the M-th latest ZIG peak (trough) at or before the bar;
// …BARS = bars since it. The line's end at the newest bar is not a turn.
Series zigTurnSeries(const std::vector<Value> &a, const Bars &bars, bool peak, bool barsSince)
{
    const Series &x = zigSource(a[0], bars);
    const Sz size = x.size();
    Series out = empty(size);
    if (size == 0)
        return out;
    std::vector<Turn> turns = zigTurns(x, a[1].v.back());
    if (!turns.empty() && turns.back().bar == size - 1 && turns.size() > 1 &&
        turns[turns.size() - 2].bar != size - 1)
        turns.pop_back();
    std::vector<Sz> marks;
    for (const Turn &t : turns)
        if (t.peak == peak)
            marks.push_back(t.bar);
    Sz seen = 0;
    for (Sz i = 0; i < size; ++i) {
        while (seen < marks.size() && marks[seen] <= i)
            ++seen;
        const double m = countAt(a[2], i);
        if (std::isnan(m) || m < 1 || m > double(seen))
            continue;
        const Sz mark = marks[seen - Sz(m)];
        out[i] = barsSince ? double(i - mark) : x[mark];
    }
    return out;
}

// Recursive averages start at the first value X has.
template <typename F> Series recursive(const Series &x, F step)
{
    Series out = empty(x.size());
    double prev = kNaN;
    for (Sz i = 0; i < x.size(); ++i) {
        if (std::isnan(x[i]))
            continue;
        prev = std::isnan(prev) ? x[i] : step(prev, x[i], i);
        out[i] = prev;
    }
    return out;
}

double dateNumber(const QDate &d)
{
    return double((d.year() - 1900) * 10000 + d.month() * 100 + d.day());
}

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
    const Index lo = Index(std::llround(*std::min_element(b.low.begin(), b.low.end()) * 100.0));
    const Index hi = Index(std::llround(*std::max_element(b.high.begin(), b.high.end()) * 100.0));
    Chips chips(lo, hi - lo + 1);
    for (Sz i = 0; i < n; ++i) {
        chips.day(b.low[i], b.high[i], i == 0 ? 1.0 : b.volume[i] / shares);
        const double x = args[0].v[i];
        out->v[i] = winner ? chips.below(x) : chips.cost(x / 100.0);
    }
    return true;
}

using Args = std::vector<Value>;
using Fn = std::function<Series(const Args &, const Bars &)>;

struct Function
{
    int minArgs;
    int maxArgs;
    Fn fn;
    bool elementwise = false; // constant arguments give a constant result
};

double arg(const Args &a, Sz k, Sz i)
{
    return a[k].v[i];
}

template <typename F> Series elementwise(const Args &a, F f)
{
    return map(a, f).v;
}

const QHash<QString, Function> &functions()
{
    static const QHash<QString, Function> table = [] {
        QHash<QString, Function> t;
        auto add = [&t](const char *name, int lo, int hi, Fn fn, bool ew = false) {
            t.insert(QString::fromLatin1(name), Function{lo, hi, fn, ew});
        };

        // --- references
        // REF(X,A) = X A bars ago (A may vary per bar; a negative A reads later bars)
        auto ref = [](const Args &a, const Bars &) {
            const Sz size = a[0].v.size();
            Series out = empty(size);
            for (Sz i = 0; i < size; ++i) {
                const double k = countAt(a[1], i);
                const double j = double(i) - k;
                if (!std::isnan(j) && j >= 0 && j < double(size))
                    out[i] = a[0].v[Sz(j)];
            }
            return out;
        };
        add("REF", 2, 2, ref);
        add("REFV", 2, 2, ref); // REFV(X,A) = REF without smoothing: same values on a chart
        // REFX(X,A) = X A bars later
        auto refx = [](const Args &a, const Bars &) {
            const Sz size = a[0].v.size();
            Series out = empty(size);
            for (Sz i = 0; i < size; ++i) {
                const double j = double(i) + countAt(a[1], i);
                if (!std::isnan(j) && j >= 0 && j < double(size))
                    out[i] = a[0].v[Sz(j)];
            }
            return out;
        };
        add("REFX", 2, 2, refx);
        // REFXV(X,A) = REFX, and where no later bar exists yet, the previous bar's value
        add("REFXV", 2, 2, [](const Args &a, const Bars &) {
            const Sz size = a[0].v.size();
            Series out = empty(size);
            for (Sz i = 0; i < size; ++i) {
                const double j = double(i) + countAt(a[1], i);
                if (!std::isnan(j) && j >= 0 && j < double(size))
                    out[i] = a[0].v[Sz(j)];
                else if (i > 0)
                    out[i] = out[i - 1];
            }
            return out;
        });
        // REFDATE(X,D) = X on the bar dated D (YYMMDD+1000000 for 2000+) on every bar
        add("REFDATE", 2, 2, [](const Args &a, const Bars &b) {
            const Sz size = a[0].v.size();
            double v = kNaN;
            for (Sz i = 0; i < size && size > 0; ++i)
                if (dateNumber(b.dates[i]) == a[1].v[size - 1])
                    v = a[0].v[i];
            return Series(size, v);
        });

        // --- averages
        // MA(X,N) = (X + X₋₁ + … + X₋ₙ₊₁)/N, empty for the first N−1 bars
        add("MA", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
                double s = 0;
                for (Sz k = from; k <= i; ++k)
                    s += a[0].v[k];
                return s / double(i - from + 1);
            });
        });
        // EMA(X,N) = (2·X + (N−1)·previous)/(N+1)
        auto ema = [](const Args &a, const Bars &) {
            return recursive(a[0].v, [&](double prev, double x, Sz i) {
                const double n = a[1].v[i];
                return (2 * x + (n - 1) * prev) / (n + 1);
            });
        };
        add("EMA", 2, 2, ema);
        add("EXPMA", 2, 2, ema);
        // SMA(X,N,M) = (M·X + (N−M)·previous)/N
        add("SMA", 3, 3, [](const Args &a, const Bars &) {
            return recursive(a[0].v, [&](double prev, double x, Sz i) {
                const double n = a[1].v[i], m = a[2].v[i];
                return n != 0 ? (m * x + (n - m) * prev) / n : 0.0;
            });
        });
        // MEMA(X,N) = SMA(X,N,1)
        add("MEMA", 2, 2, [](const Args &a, const Bars &) {
            return recursive(a[0].v, [&](double prev, double x, Sz i) {
                const double n = a[1].v[i];
                return n != 0 ? (x + (n - 1) * prev) / n : 0.0;
            });
        });
        // DMA(X,A) = A·X + (1−A)·previous, A per bar
        add("DMA", 2, 2, [](const Args &a, const Bars &) {
            return recursive(a[0].v, [&](double prev, double x, Sz i) {
                const double w = a[1].v[i];
                return w * x + (1 - w) * prev;
            });
        });
        // AMA(X,A) = previous + A·(X − previous), starting at X (A the adaptive factor, < 1)
        add("AMA", 2, 2, [](const Args &a, const Bars &) {
            return recursive(
                a[0].v, [&](double prev, double x, Sz i) { return prev + a[1].v[i] * (x - prev); });
        });
        // TMA(X,A,B) = A·previous + B·X, starting at B·X
        add("TMA", 3, 3, [](const Args &a, const Bars &) {
            Series out = empty(a[0].v.size());
            double prev = kNaN;
            for (Sz i = 0; i < out.size(); ++i) {
                const double x = a[0].v[i];
                if (std::isnan(x))
                    continue;
                prev = std::isnan(prev) ? a[2].v[i] * x : a[1].v[i] * prev + a[2].v[i] * x;
                out[i] = prev;
            }
            return out;
        });
        // WMA(X,N) = (1·X₋ₙ₊₁ + 2·X₋ₙ₊₂ + … + N·X)/(1+2+…+N)
        add("WMA", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
                double s = 0, w = 0;
                for (Sz k = from; k <= i; ++k) {
                    const double weight = double(k - from + 1);
                    s += weight * a[0].v[k];
                    w += weight;
                }
                return s / w;
            });
        });
        // XMA(X,N) = MA centred on the bar (N/2 bars each side); near the newest bar the
        // window shrinks to the bars there are, so it is redrawn as bars arrive
        add("XMA", 2, 2, [](const Args &a, const Bars &) {
            const Sz size = a[0].v.size();
            Series out = empty(size);
            for (Sz i = 0; i < size; ++i) {
                const double n = countAt(a[1], i);
                if (std::isnan(n) || n < 1)
                    continue;
                const Index half = Index(n) / 2;
                const Index from = std::max<Index>(0, Index(i) - half);
                const Index to = std::min<Index>(Index(size) - 1, Index(i) + half);
                double s = 0;
                for (Index k = from; k <= to; ++k)
                    s += a[0].v[Sz(k)];
                out[i] = s / double(to - from + 1);
            }
            return out;
        });

        // --- windows and counts (HHV, LLV, SUM, COUNT, EXIST: N = 0 means every bar so
        // far; windows are partial over the first bars)
        // HHV(X,N) = highest X of the last N bars
        add("HHV", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                return anyNaN(a[0].v, from, i) ? kNaN
                                               : *std::max_element(a[0].v.begin() + Index(from),
                                                                   a[0].v.begin() + Index(i) + 1);
            });
        });
        // LLV(X,N) = lowest X of the last N bars
        add("LLV", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                return anyNaN(a[0].v, from, i) ? kNaN
                                               : *std::min_element(a[0].v.begin() + Index(from),
                                                                   a[0].v.begin() + Index(i) + 1);
            });
        });
        // HHVBARS(X,N) = bars since the highest X of the last N bars (its latest bar)
        add("HHVBARS", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                Sz best = i;
                for (Sz k = i + 1; k-- > from;)
                    if (a[0].v[k] > a[0].v[best])
                        best = k;
                return double(i - best);
            });
        });
        // LLVBARS(X,N) = bars since the lowest X of the last N bars
        add("LLVBARS", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                Sz best = i;
                for (Sz k = i + 1; k-- > from;)
                    if (a[0].v[k] < a[0].v[best])
                        best = k;
                return double(i - best);
            });
        });
        // SUM(X,N) = X summed over the last N bars
        add("SUM", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                double s = 0;
                for (Sz k = from; k <= i; ++k)
                    if (!std::isnan(a[0].v[k]))
                        s += a[0].v[k];
                return s;
            });
        });
        // COUNT(X,N) = bars of the last N where X holds
        add("COUNT", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                double c = 0;
                for (Sz k = from; k <= i; ++k)
                    c += isTrue(a[0].v[k]) ? 1 : 0;
                return c;
            });
        });
        // EVERY(X,N) = X held on each of the last N bars (0 before N bars exist)
        add("EVERY", 2, 2, [](const Args &a, const Bars &) {
            const Sz size = a[0].v.size();
            Series out = empty(size);
            for (Sz i = 0; i < size; ++i) {
                const Index from = windowStart(countAt(a[1], i), i, false);
                bool all = from >= 0;
                for (Sz k = Sz(std::max<Index>(from, 0)); all && k <= i; ++k)
                    all = isTrue(a[0].v[k]);
                out[i] = all ? 1 : 0;
            }
            return out;
        });
        // EXIST(X,N) = X held on one of the last N bars
        add("EXIST", 2, 2, [](const Args &a, const Bars &) {
            return windowed(a[0], a[1], true, [&](Sz from, Sz i) {
                for (Sz k = from; k <= i; ++k)
                    if (isTrue(a[0].v[k]))
                        return 1.0;
                return 0.0;
            });
        });
        // LAST(X,A,B) = X held from A bars ago to B bars ago (A = 0: from the first bar)
        add("LAST", 3, 3, [](const Args &a, const Bars &) {
            const Sz size = a[0].v.size();
            Series out = empty(size);
            for (Sz i = 0; i < size; ++i) {
                const double fa = countAt(a[1], i), fb = countAt(a[2], i);
                if (std::isnan(fa) || std::isnan(fb))
                    continue;
                const Index from = fa == 0 ? 0 : Index(i) - Index(fa);
                const Index to = Index(i) - Index(fb);
                if (from < 0 || to < from)
                    continue;
                bool all = true;
                for (Index k = from; all && k <= to; ++k)
                    all = isTrue(a[0].v[Sz(k)]);
                out[i] = all ? 1 : 0;
            }
            return out;
        });
        // BARSLAST(X) = bars since X last held (0 on a bar where it holds)
        add("BARSLAST", 1, 1, [](const Args &a, const Bars &) {
            Series out = empty(a[0].v.size());
            double last = kNaN;
            for (Sz i = 0; i < out.size(); ++i) {
                if (isTrue(a[0].v[i]))
                    last = double(i);
                out[i] = double(i) - last;
            }
            return out;
        });
        // BARSLASTCOUNT(X) = bars in a row, up to this one, where X holds
        add("BARSLASTCOUNT", 1, 1, [](const Args &a, const Bars &) {
            Series out(a[0].v.size(), 0.0);
            for (Sz i = 0; i < out.size(); ++i)
                out[i] = isTrue(a[0].v[i]) ? (i > 0 ? out[i - 1] : 0) + 1 : 0;
            return out;
        });
        // BARSCOUNT(X) = bars since X first had a value, this one included
        add("BARSCOUNT", 1, 1, [](const Args &a, const Bars &) {
            Series out = empty(a[0].v.size());
            double first = kNaN;
            for (Sz i = 0; i < out.size(); ++i) {
                if (std::isnan(first) && !std::isnan(a[0].v[i]))
                    first = double(i);
                out[i] = double(i) - first + 1;
            }
            return out;
        });
        // BARSSINCE(X) = bars since X first held
        add("BARSSINCE", 1, 1, [](const Args &a, const Bars &) {
            Series out = empty(a[0].v.size());
            double first = kNaN;
            for (Sz i = 0; i < out.size(); ++i) {
                if (std::isnan(first) && isTrue(a[0].v[i]))
                    first = double(i);
                out[i] = double(i) - first;
            }
            return out;
        });
        // BARSNEXT(X) = bars until X next holds (0 on a bar where it holds)
        add("BARSNEXT", 1, 1, [](const Args &a, const Bars &) {
            Series out = empty(a[0].v.size());
            double next = kNaN;
            for (Sz i = out.size(); i-- > 0;) {
                if (isTrue(a[0].v[i]))
                    next = double(i);
                out[i] = next - double(i);
            }
            return out;
        });
        // SUMBARS(X,A) = bars back until X summed from here reaches A
        add("SUMBARS", 2, 2, [](const Args &a, const Bars &) {
            Series out = empty(a[0].v.size());
            for (Sz i = 0; i < out.size(); ++i) {
                double s = 0;
                for (Sz k = i + 1; k-- > 0;) {
                    if (!std::isnan(a[0].v[k]))
                        s += a[0].v[k];
                    if (s >= a[1].v[i]) {
                        out[i] = double(i - k + 1);
                        break;
                    }
                }
            }
            return out;
        });
        // FILTER(X,N) = X where it holds, then 0 for the next N bars
        add("FILTER", 2, 2, [](const Args &a, const Bars &) {
            Series out(a[0].v.size(), 0.0);
            double blockedUntil = -1;
            for (Sz i = 0; i < out.size(); ++i) {
                if (double(i) > blockedUntil && isTrue(a[0].v[i])) {
                    out[i] = 1;
                    blockedUntil = double(i) + countAt(a[1], i);
                }
            }
            return out;
        });
        // BACKSET(X,N) = 1 on this bar and the N−1 before it wherever X holds
        add("BACKSET", 2, 2, [](const Args &a, const Bars &) {
            Series out(a[0].v.size(), 0.0);
            for (Sz i = 0; i < out.size(); ++i) {
                const double n = countAt(a[1], i);
                if (!isTrue(a[0].v[i]) || std::isnan(n) || n < 1)
                    continue;
                const Index from = std::max<Index>(0, Index(i) - Index(n) + 1);
                for (Index k = from; k <= Index(i); ++k)
                    out[Sz(k)] = 1;
            }
            return out;
        });
        // CROSS(A,B) = A went from at or below B to above it on this bar
        add("CROSS", 2, 2, [](const Args &a, const Bars &) {
            Series out(a[0].v.size(), 0.0);
            for (Sz i = 1; i < out.size(); ++i)
                out[i] =
                    arg(a, 0, i) > arg(a, 1, i) && arg(a, 0, i - 1) <= arg(a, 1, i - 1) ? 1.0 : 0.0;
            return out;
        });
        // LONGCROSS(A,B,N) = A below B for the N bars before, above it now
        add("LONGCROSS", 3, 3, [](const Args &a, const Bars &) {
            Series out(a[0].v.size(), 0.0);
            for (Sz i = 1; i < out.size(); ++i) {
                const double n = countAt(a[2], i);
                if (std::isnan(n) || double(i) < n || !(arg(a, 0, i) > arg(a, 1, i)))
                    continue;
                bool below = true;
                for (Sz k = i - Sz(n); below && k < i; ++k)
                    below = arg(a, 0, k) < arg(a, 1, k);
                out[i] = below ? 1 : 0;
            }
            return out;
        });
        // UPNDAY(X,M) = X rose on each of the last M bars; DOWNNDAY: fell
        auto nday = [](const Args &a, int sign) {
            Series out(a[0].v.size(), 0.0);
            for (Sz i = 0; i < out.size(); ++i) {
                const double m = countAt(a[1], i);
                if (std::isnan(m) || double(i) < m)
                    continue;
                bool all = true;
                for (Sz k = i + 1 - Sz(m); all && k <= i; ++k)
                    all = sign * (a[0].v[k] - a[0].v[k - 1]) > 0;
                out[i] = all ? 1 : 0;
            }
            return out;
        };
        add("UPNDAY", 2, 2, [nday](const Args &a, const Bars &) { return nday(a, 1); });
        add("DOWNNDAY", 2, 2, [nday](const Args &a, const Bars &) { return nday(a, -1); });
        // NDAY(X,Y,N) = X above Y on each of the last N bars
        add("NDAY", 3, 3, [](const Args &a, const Bars &) {
            Series out(a[0].v.size(), 0.0);
            for (Sz i = 0; i < out.size(); ++i) {
                const double n = countAt(a[2], i);
                if (std::isnan(n) || n < 1 || double(i) + 1 < n)
                    continue;
                bool all = true;
                for (Sz k = i + 1 - Sz(n); all && k <= i; ++k)
                    all = arg(a, 0, k) > arg(a, 1, k);
                out[i] = all ? 1 : 0;
            }
            return out;
        });

        // --- conditions and arithmetic
        // IF(C,A,B) = A where C holds, else B
        auto iff = [](const Args &a, const Bars &) {
            return elementwise(a, [&](Sz i) {
                const double c = arg(a, 0, i);
                return std::isnan(c) ? kNaN : c != 0 ? arg(a, 1, i) : arg(a, 2, i);
            });
        };
        add("IF", 3, 3, iff, true);
        add("IFF", 3, 3, iff, true);
        add("IIF", 3, 3, iff, true);
        // NOT(X) = 1 where X is 0
        add(
            "NOT", 1, 1,
            [](const Args &a, const Bars &) {
                return elementwise(a, [&](Sz i) {
                    const double x = arg(a, 0, i);
                    return std::isnan(x) ? kNaN : x == 0 ? 1.0 : 0.0;
                });
            },
            true);
#define MORVANE_UNARY(NAME, EXPR)                                                                  \
    add(                                                                                           \
        NAME, 1, 1,                                                                                \
        [](const Args &a, const Bars &) {                                                          \
            return elementwise(a, [&](Sz i) {                                                      \
                const double x = arg(a, 0, i);                                                     \
                return EXPR;                                                                       \
            });                                                                                    \
        },                                                                                         \
        true)
        MORVANE_UNARY("ABS", std::abs(x));
        MORVANE_UNARY("SQRT", x >= 0 ? std::sqrt(x) : kNaN);
        MORVANE_UNARY("LN", x > 0 ? std::log(x) : kNaN);
        MORVANE_UNARY("LOG", x > 0 ? std::log10(x) : kNaN); // LOG(X) = base-10 logarithm
        MORVANE_UNARY("EXP", std::exp(x));
        MORVANE_UNARY("INTPART", std::trunc(x)); // INTPART(X) = X without its fraction
        MORVANE_UNARY("FRACPART", x - std::trunc(x));
        MORVANE_UNARY("CEILING", std::ceil(x));
        MORVANE_UNARY("FLOOR", std::floor(x));
        MORVANE_UNARY("SIGN", std::isnan(x) ? kNaN : x > 0 ? 1.0 : x < 0 ? -1.0 : 0.0);
        MORVANE_UNARY("REVERSE", -x);
        MORVANE_UNARY("SIN", std::sin(x));
        MORVANE_UNARY("COS", std::cos(x));
        MORVANE_UNARY("TAN", std::tan(x));
        MORVANE_UNARY("ASIN", std::asin(x));
        MORVANE_UNARY("ACOS", std::acos(x));
        MORVANE_UNARY("ATAN", std::atan(x));
#undef MORVANE_UNARY
#define MORVANE_BINARY(NAME, EXPR)                                                                 \
    add(                                                                                           \
        NAME, 2, 2,                                                                                \
        [](const Args &a, const Bars &) {                                                          \
            return elementwise(a, [&](Sz i) {                                                      \
                const double x = arg(a, 0, i), y = arg(a, 1, i);                                   \
                return EXPR;                                                                       \
            });                                                                                    \
        },                                                                                         \
        true)
        MORVANE_BINARY("MAX", std::isnan(x) || std::isnan(y) ? kNaN : std::max(x, y));
        MORVANE_BINARY("MIN", std::isnan(x) || std::isnan(y) ? kNaN : std::min(x, y));
        MORVANE_BINARY("MOD", y != 0 ? std::fmod(x, y) : 0.0); // MOD(A,B) = remainder, 0 for B=0
        MORVANE_BINARY("POW", std::pow(x, y));
        MORVANE_BINARY("ROUND2", std::round(x * std::pow(10.0, y)) / std::pow(10.0, y));
        // ZTPRICE(X,R) = the limit-up price from X at ratio R, in cents; DTPRICE: limit-down
        MORVANE_BINARY("ZTPRICE", std::round(x * (1 + y) * 100) / 100);
        MORVANE_BINARY("DTPRICE", std::round(x * (1 - y) * 100) / 100);
#undef MORVANE_BINARY
        // BETWEEN(A,B,C) = A lies between B and C, either way round, ends included
        add(
            "BETWEEN", 3, 3,
            [](const Args &a, const Bars &) {
                return elementwise(a, [&](Sz i) {
                    const double x = arg(a, 0, i), lo = std::min(arg(a, 1, i), arg(a, 2, i)),
                                 hi = std::max(arg(a, 1, i), arg(a, 2, i));
                    return std::isnan(x + lo + hi) ? kNaN : x >= lo && x <= hi ? 1.0 : 0.0;
                });
            },
            true);
        // RANGE(A,B,C) = B < A < C
        add(
            "RANGE", 3, 3,
            [](const Args &a, const Bars &) {
                return elementwise(a, [&](Sz i) {
                    const double x = arg(a, 0, i), lo = arg(a, 1, i), hi = arg(a, 2, i);
                    return std::isnan(x + lo + hi) ? kNaN : x > lo && x < hi ? 1.0 : 0.0;
                });
            },
            true);

        // --- statistics over the last N bars, empty before N bars exist
        auto stat = [](const Args &a, int kind) {
            return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
                const double n = double(i - from + 1);
                if (anyNaN(a[0].v, from, i))
                    return kNaN;
                double mean = 0;
                for (Sz k = from; k <= i; ++k)
                    mean += a[0].v[k];
                mean /= n;
                double sq = 0, dev = 0;
                for (Sz k = from; k <= i; ++k) {
                    sq += (a[0].v[k] - mean) * (a[0].v[k] - mean);
                    dev += std::abs(a[0].v[k] - mean);
                }
                switch (kind) {
                case 0:
                    return n > 1 ? std::sqrt(sq / (n - 1)) : kNaN; // STD: sample
                case 1:
                    return std::sqrt(sq / n); // STDP: population
                case 2:
                    return n > 1 ? sq / (n - 1) : kNaN; // VAR: sample
                case 3:
                    return sq / n; // VARP
                case 4:
                    return dev / n; // AVEDEV
                default:
                    return sq; // DEVSQ
                }
            });
        };
        add("STD", 2, 2, [stat](const Args &a, const Bars &) { return stat(a, 0); });
        add("STDP", 2, 2, [stat](const Args &a, const Bars &) { return stat(a, 1); });
        add("VAR", 2, 2, [stat](const Args &a, const Bars &) { return stat(a, 2); });
        add("VARP", 2, 2, [stat](const Args &a, const Bars &) { return stat(a, 3); });
        add("AVEDEV", 2, 2, [stat](const Args &a, const Bars &) { return stat(a, 4); });
        add("DEVSQ", 2, 2, [stat](const Args &a, const Bars &) { return stat(a, 5); });
        // SLOPE(X,N) = least-squares slope of X over the last N bars; FORCAST(X,N) = that
        // line's value on this bar
        auto regression = [](const Args &a, bool forecast) {
            return windowed(a[0], a[1], false, [&](Sz from, Sz i) {
                const double n = double(i - from + 1);
                if (n < 2 || anyNaN(a[0].v, from, i))
                    return kNaN;
                double sx = 0, sy = 0, sxx = 0, sxy = 0;
                for (Sz k = from; k <= i; ++k) {
                    const double x = double(k - from), y = a[0].v[k];
                    sx += x;
                    sy += y;
                    sxx += x * x;
                    sxy += x * y;
                }
                const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
                return forecast ? (sy - slope * sx) / n + slope * (n - 1) : slope;
            });
        };
        add("SLOPE", 2, 2,
            [regression](const Args &a, const Bars &) { return regression(a, false); });
        add("FORCAST", 2, 2,
            [regression](const Args &a, const Bars &) { return regression(a, true); });

        // SAR(N,S,M) = Wilder's parabolic stop: the acceleration starts at S% and grows by
        // S% at each new extreme up to M%; it starts after N bars, rising when the close
        // rose over them, from the N-bar low (high when falling)
        add("SAR", 3, 3, [](const Args &a, const Bars &b) {
            const Sz size = b.close.size();
            Series out = empty(size);
            const double n = countAt(a[0], size ? size - 1 : 0);
            if (size == 0 || std::isnan(n) || n < 1 || double(size) < n)
                return out;
            const double step = a[1].v[size - 1] / 100, cap = a[2].v[size - 1] / 100;
            const Sz first = Sz(n) - 1;
            bool rising = b.close[first] >= b.close[0];
            double sar = rising
                             ? *std::min_element(b.low.begin(), b.low.begin() + Index(first) + 1)
                             : *std::max_element(b.high.begin(), b.high.begin() + Index(first) + 1);
            double extreme = rising ? b.high[first] : b.low[first];
            double af = step;
            out[first] = sar;
            for (Sz i = first + 1; i < size; ++i) {
                sar += af * (extreme - sar);
                if (rising ? b.low[i] < sar : b.high[i] > sar) { // the stop is hit: turn
                    rising = !rising;
                    sar = extreme;
                    extreme = rising ? b.high[i] : b.low[i];
                    af = step;
                } else if (rising ? b.high[i] > extreme : b.low[i] < extreme) {
                    extreme = rising ? b.high[i] : b.low[i];
                    af = std::min(cap, af + step);
                }
                out[i] = sar;
            }
            return out;
        });

        // --- the ZIG family: the whole history decides every turn
        add("ZIG", 2, 2, [](const Args &a, const Bars &b) { return zig(a[0], a[1], b); });
        add("PEAK", 3, 3,
            [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, true, false); });
        add("PEAKBARS", 3, 3,
            [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, true, true); });
        add("TROUGH", 3, 3,
            [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, false, false); });
        add("TROUGHBARS", 3, 3,
            [](const Args &a, const Bars &b) { return zigTurnSeries(a, b, false, true); });

        // --- the newest bar decides every bar
        // CONST(X) = X's value on the newest bar, on every bar
        add("CONST", 1, 1, [](const Args &a, const Bars &) {
            return Series(a[0].v.size(), a[0].v.empty() ? kNaN : a[0].v.back());
        });
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
    return out;
}

Value missingValue(const QString &what)
{
    Value out;
    out.missing << what;
    return out;
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

CallResult callFunction(const QString &name, std::vector<Value> &args, const Bars &bars, Value *out)
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

namespace {

struct Drawing
{
    const char *name;
    int minArgs;
    std::vector<int> used; // evaluated arguments
};

const std::vector<Drawing> &drawings()
{
    static const std::vector<Drawing> list = {
        {"STICKLINE", 3, {0, 1, 2}},
        {"DRAWTEXT", 3, {0, 1}},
        {"DRAWICON", 3, {0, 1}},
        {"DRAWNUMBER", 3, {0, 1, 2}},
        {"DRAWKLINE", 4, {0, 1, 2, 3}},
        {"PARTLINE", 2, {0, 1}},
        {"VERTLINE", 1, {0}},
        {"DRAWLINE", 4, {0, 1, 2, 3}},
        {"POLYLINE", 2, {0, 1}},
        {"PLOYLINE", 2, {0, 1}},
        {"DRAWBAND", 4, {0, 2}},
        {"FILLRGN", 3, {0, 1, 2}},
        // DRAWTEXT_FIX(COND,X,Y,TYPE,TEXT): TEXT where COND holds, at X,Y of the window
        {"DRAWTEXT_FIX", 5, {0, 1, 2}},
        // DRAWRECTREL(LEFT,TOP,RIGHT,BOTTOM,COLOR): a rectangle in window units, always
        {"DRAWRECTREL", 4, {0, 1, 2, 3}},
    };
    return list;
}

const Drawing *findDrawing(const QString &name)
{
    for (const Drawing &d : drawings())
        if (name == QLatin1StringView(d.name))
            return &d;
    return nullptr;
}

} // namespace

bool isDrawingCall(const QString &name)
{
    return findDrawing(name) != nullptr;
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
    channels->clear();
    // Where COND holds, the price; elsewhere nothing.
    auto where = [](const Series &cond, const Series &price) {
        Series out = empty(cond.size());
        for (Sz i = 0; i < cond.size(); ++i)
            if (isTrue(cond[i]))
                out[i] = price[i];
        return out;
    };
    const QLatin1StringView n(d->name);
    if (n == "DRAWKLINE"_L1 || n == "DRAWBAND"_L1 || n == "DRAWRECTREL"_L1) {
        for (int k : d->used)
            channels->push_back(args[Sz(k)].v);
    } else if (n == "PARTLINE"_L1) {
        channels->push_back(where(args[1].v, args[0].v));
    } else if (n == "VERTLINE"_L1) {
        channels->push_back(where(args[0].v, Series(args[0].v.size(), 1.0)));
    } else if (n == "DRAWLINE"_L1) {
        // The two ends; the segment between them is drawing, not a value.
        channels->push_back(where(args[0].v, args[1].v));
        channels->push_back(where(args[2].v, args[3].v));
    } else {
        for (Sz k = 1; k < d->used.size(); ++k)
            channels->push_back(where(args[0].v, args[Sz(d->used[k])].v));
    }
    return CallResult::Done;
}

} // namespace morvane::formula
