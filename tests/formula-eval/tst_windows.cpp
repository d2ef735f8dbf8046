// Window functions against plain recomputations of each window: exact on cent prices (worked
// with integers here), within 1e-12 elsewhere, after huge jumps, over empty stretches, and
// with N = 0 over inputs that start empty.
#include "eval.h"
#include "functions/sums.h"
#include "parser.h"

#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

const double n = qQNaN();
using L = QList<double>;

Bars barsOf(const std::vector<double> &close)
{
    Bars b;
    QDate day(2024, 1, 1);
    for (double c : close) {
        b.dates.push_back(day);
        day = day.addDays(1);
        b.open.push_back(c);
        b.high.push_back(c);
        b.low.push_back(c);
        b.close.push_back(c);
        b.volume.push_back(100);
        b.amount.push_back(100 * c);
    }
    return b;
}

// The formula's last output on the bars.
Series run(const QString &formula, const Bars &bars)
{
    const Program program = parse(formula);
    if (!program.notes.empty())
        return {};
    const Evaluation ev = evaluate(program, bars);
    if (ev.outputs.empty() || !ev.outputs.back().ok())
        return {};
    return ev.outputs.back().channels.front();
}

// The correctly rounded sum of the values (Shewchuk's partials, as fsum).
double exactSum(const std::vector<double> &values)
{
    std::vector<double> partials;
    for (double x : values) {
        std::size_t kept = 0;
        for (double y : partials) {
            if (std::abs(x) < std::abs(y))
                std::swap(x, y);
            const double hi = x + y, lo = y - (hi - x);
            if (lo != 0)
                partials[kept++] = lo;
            x = hi;
        }
        partials.resize(kept);
        partials.push_back(x);
    }
    double hi = 0;
    while (!partials.empty()) {
        const double x = hi;
        const double y = partials.back();
        partials.pop_back();
        hi = x + y;
        const double lo = y - (hi - x);
        if (lo != 0 && !partials.empty() && ((lo < 0) == (partials.back() < 0))) {
            // A half-way case: the partials below decide which way it rounds.
            const double twice = 2 * lo;
            if (hi + twice - hi == twice)
                hi += twice;
            break;
        }
        if (lo != 0)
            break;
    }
    return hi;
}

// Cent prices in a narrow band, so that windows tie with the close often: a seeded walk of
// small steps, and a bar that repeats the one before every few bars.
std::vector<std::int64_t> centWalk(std::size_t count, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<std::int64_t> cents;
    std::int64_t c = 888;
    for (std::size_t i = 0; i < count; ++i) {
        if (rng() % 3 != 0)
            c = std::clamp<std::int64_t>(c + std::int64_t(rng() % 3) - 1, 880, 896);
        cents.push_back(c);
    }
    return cents;
}

std::vector<double> prices(const std::vector<std::int64_t> &cents)
{
    std::vector<double> out;
    for (std::int64_t c : cents)
        out.push_back(double(c) / 100);
    return out;
}

// Integer answers on cent prices.
int sign(std::int64_t v)
{
    return (v > 0) - (v < 0);
}

// sign(MA(C,N) − C) at bar i, worked as sum − N·close in cents; 2 before N bars.
int maVersusClose(const std::vector<std::int64_t> &c, std::size_t i, std::size_t count)
{
    if (i + 1 < count)
        return 2;
    std::int64_t s = 0;
    for (std::size_t k = i + 1 - count; k <= i; ++k)
        s += c[k];
    return sign(s - std::int64_t(count) * c[i]);
}

// sign(MA(C,a) − MA(C,b)): sum_a·b − sum_b·a in cents.
int maVersusMa(const std::vector<std::int64_t> &c, std::size_t i, std::size_t a, std::size_t b)
{
    if (i + 1 < std::max(a, b))
        return 2;
    std::int64_t sa = 0, sb = 0;
    for (std::size_t k = i + 1 - a; k <= i; ++k)
        sa += c[k];
    for (std::size_t k = i + 1 - b; k <= i; ++k)
        sb += c[k];
    return sign(sa * std::int64_t(b) - sb * std::int64_t(a));
}

// The plain computation of one window function over [from, i] (every value present).
double plain(const QString &fn, const std::vector<double> &x, const std::vector<double> &high,
             std::size_t from, std::size_t i)
{
    const std::vector<double> w(x.begin() + std::ptrdiff_t(from),
                                x.begin() + std::ptrdiff_t(i) + 1);
    const double len = double(w.size());
    const double mean = exactSum(w) / len;
    std::vector<double> dev, absDev, cross, posDev;
    for (std::size_t k = 0; k < w.size(); ++k) {
        dev.push_back((w[k] - mean) * (w[k] - mean));
        absDev.push_back(std::abs(w[k] - mean));
        const double dp = double(k) - (len - 1) / 2;
        cross.push_back(dp * (w[k] - mean));
        posDev.push_back(dp * dp);
    }
    if (fn == u"SUM")
        return exactSum(w);
    if (fn == u"MA")
        return mean;
    if (fn == u"WMA") {
        std::vector<double> weighted;
        for (std::size_t k = 0; k < w.size(); ++k)
            weighted.push_back(double(k + 1) * w[k]);
        return exactSum(weighted) / (len * (len + 1) / 2);
    }
    if (fn == u"HHV")
        return *std::max_element(w.begin(), w.end());
    if (fn == u"LLV")
        return *std::min_element(w.begin(), w.end());
    if (fn == u"DEVSQ")
        return exactSum(dev);
    if (fn == u"VARP")
        return exactSum(dev) / len;
    if (fn == u"STDP")
        return std::sqrt(exactSum(dev) / len);
    if (fn == u"VAR")
        return len > 1 ? exactSum(dev) / (len - 1) : n;
    if (fn == u"STD")
        return len > 1 ? std::sqrt(exactSum(dev) / (len - 1)) : n;
    if (fn == u"AVEDEV")
        return exactSum(absDev) / len;
    const double slope = len > 1 ? exactSum(cross) / exactSum(posDev) : n;
    if (fn == u"SLOPE")
        return slope;
    if (fn == u"FORCAST")
        return mean + slope * (len - 1) / 2;
    if (fn == u"MULAR") {
        long double product = 1;
        for (double v : w)
            product *= static_cast<long double>(v);
        return double(product);
    }
    // COVAR and RELATE of X with the high.
    const std::vector<double> y(high.begin() + std::ptrdiff_t(from),
                                high.begin() + std::ptrdiff_t(i) + 1);
    std::vector<double> dxy, dyy;
    const double meanY = exactSum(y) / len;
    for (std::size_t k = 0; k < w.size(); ++k) {
        dxy.push_back((w[k] - mean) * (y[k] - meanY));
        dyy.push_back((y[k] - meanY) * (y[k] - meanY));
    }
    const bool flat = std::all_of(w.begin(), w.end(), [&](double v) { return v == w[0]; }) ||
                      std::all_of(y.begin(), y.end(), [&](double v) { return v == y[0]; });
    if (fn == u"COVAR")
        return flat ? 0.0 : exactSum(dxy) / len;
    if (fn == u"RELATE")
        return flat ? n : exactSum(dxy) / std::sqrt(exactSum(dev)) / std::sqrt(exactSum(dyy));
    return n;
}

// The scale a value of fn is compared at: the window's largest magnitude, to fn's power.
double scaleOf(const QString &fn, const std::vector<double> &x, std::size_t from, std::size_t i)
{
    double m = 0;
    for (std::size_t k = from; k <= i; ++k)
        m = std::max(m, std::abs(x[k]));
    if (fn == u"SUM")
        return m * double(i - from + 1);
    if (fn == u"DEVSQ")
        return m * m * double(i - from + 1);
    if (fn == u"VAR" || fn == u"VARP")
        return m * m;
    if (fn == u"COVAR")
        return m * m;
    if (fn == u"RELATE")
        return 1;
    if (fn == u"MULAR") {
        long double product = 1;
        for (std::size_t k = from; k <= i; ++k)
            product *= static_cast<long double>(std::abs(x[k]));
        return double(product);
    }
    return m;
}

} // namespace

class TestWindows : public QObject
{
    Q_OBJECT

private slots:
    void nearestRatio_data();
    void nearestRatio();
    void faults_data();
    void faults();
    void tiesOnCentPrices_data();
    void tiesOnCentPrices();
    void matchesPlainWindows_data();
    void matchesPlainWindows();
};

void TestWindows::nearestRatio_data()
{
    QTest::addColumn<qlonglong>("num");
    QTest::addColumn<qlonglong>("den");
    QTest::addColumn<double>("expected");
    QTest::newRow("exact") << 888000000LL << 100000000LL << 8.88;
    QTest::newRow("mean of cents") << 4440LL << 500LL << 8.88;
    QTest::newRow("third") << 1LL << 3LL << 1.0 / 3;
    QTest::newRow("negative") << -2LL << 3LL << -2.0 / 3;
    QTest::newRow("half-way, to even") << (1LL << 53) + 1 << 1LL << 9007199254740992.0;
    QTest::newRow("half-way, up to even") << (1LL << 53) + 3 << 1LL << 9007199254740996.0;
    QTest::newRow("zero") << 0LL << 7LL << 0.0;
}

void TestWindows::nearestRatio()
{
    QFETCH(qlonglong, num);
    QFETCH(qlonglong, den);
    QFETCH(double, expected);
    QCOMPARE(morvane::formula::nearestRatio(Int128(num), UInt128(den)), expected);
}

// Each fault the engine had, one row: an exact value where the answer is exact.
void TestWindows::faults_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<L>("close");
    QTest::addColumn<L>("expected");
    const L nine(9, 8.88);
    QTest::newRow("nine flat bars: MA<C") << u"MA(C,5)<C"_s << nine << L{n, n, n, n, 0, 0, 0, 0, 0};
    QTest::newRow("nine flat bars: MA=C") << u"MA(C,5)=C"_s << nine << L{n, n, n, n, 1, 1, 1, 1, 1};
    QTest::newRow("nine flat bars: MA")
        << u"MA(C,5)"_s << nine << L{n, n, n, n, 8.88, 8.88, 8.88, 8.88, 8.88};
    QTest::newRow("nine flat bars: STD") << u"STD(C,5)"_s << nine << L{n, n, n, n, 0, 0, 0, 0, 0};
    QTest::newRow("nine flat bars: SLOPE")
        << u"SLOPE(C,5)"_s << nine << L{n, n, n, n, 0, 0, 0, 0, 0};
    QTest::newRow("ties after other prices: MA=C")
        << u"MA(C,2)=C"_s << L{8.87, 8.89, 8.88, 8.88, 8.87, 8.89} << L{n, 0, 0, 1, 0, 0};
    QTest::newRow("mean between cents: MA<C")
        << u"MA(C,2)<C"_s << L{8.87, 8.89, 8.87, 8.88} << L{n, 1, 0, 1};
    // STD(C,5) of 10, 10.01, 10.02, 10.03, 10.04 is 0.0158113883008419, after 4,000,000 too
    // (the other values as Python's statistics.stdev gives them).
    QTest::newRow("STD after a huge price")
        << u"STD(C,5)"_s << L{10, 4000000, 10, 10.01, 10.02, 10.03, 10.04}
        << L{n, n, n, n, 1788849.9065097747, 1788849.9031556728, 0.01581138830084156};
    QTest::newRow("STD flat after a huge price")
        << u"STD(C,3)"_s << L{4000000, 10.37, 10.37, 10.37, 10.37}
        << L{n, n, 2309395.0896362117, 0, 0};
    QTest::newRow("VAR flat of thirds") << u"VAR(C/3,3)"_s << L{1, 1, 1, 1} << L{n, n, 0, 0};
    // N = 0 over an input whose first bars are empty: from its first value.
    QTest::newRow("HHV(X,0) empty start") << u"HHV(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, 2, 4, 4};
    QTest::newRow("LLV(X,0) empty start") << u"LLV(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, 2, 2, 2};
    QTest::newRow("MA(X,0) empty start") << u"MA(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, 2, 3, 3};
    QTest::newRow("WMA(X,0) empty start")
        << u"WMA(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, 2, 10.0 / 3, 19.0 / 6};
    QTest::newRow("STD(X,0) empty start")
        << u"STD(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, n, std::sqrt(2.0), 1};
    QTest::newRow("VARP(X,0) empty start")
        << u"VARP(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, 0, 1, 2.0 / 3};
    QTest::newRow("DEVSQ(X,0) empty start")
        << u"DEVSQ(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, 0, 2, 2};
    QTest::newRow("AVEDEV(X,0) empty start")
        << u"AVEDEV(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, 0, 1, 2.0 / 3};
    QTest::newRow("SLOPE(X,0) empty start")
        << u"SLOPE(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, n, 2, 0.5};
    QTest::newRow("FORCAST(X,0) empty start")
        << u"FORCAST(MA(C,2),0)"_s << L{1, 3, 5, 1} << L{n, n, 4, 3.5};
    QTest::newRow("MULAR(X,0) empty start")
        << u"MULAR(REF(C,1),0)"_s << L{2, 3, 0.5, 4} << L{n, 2, 6, 3};
    QTest::newRow("EVERY(X,0) empty start") << u"EVERY(MA(C,2)>0,0)"_s << L{1, 3, 5} << L{0, 1, 1};
    QTest::newRow("COVAR(X,Y,0) empty start")
        << u"COVAR(MA(C,2),C,0)"_s << L{1, 3, 5} << L{n, 0, 1};
    // The published NVI: a cumulative product over an input empty on the first bar.
    QTest::newRow("NVI") << u"MULAR(IF(V<REF(V,1),C/REF(C,1),1),0)"_s << L{10, 11, 12}
                         << L{n, 1, 1};
    QTest::newRow("LAST(X,0,0) empty start")
        << u"LAST(MA(C,2)>0,0,0)"_s << L{1, 3, 5} << L{n, 1, 1};
    // RELATE: the correlation coefficient; empty where a window is flat or one bar long.
    QTest::newRow("RELATE one bar") << u"RELATE(C,C*C,1)"_s << L{1, 2, 4} << L{n, n, n};
    QTest::newRow("RELATE flat") << u"RELATE(C,O,3)"_s << L{5, 5, 5} << L{n, n, n};
    QTest::newRow("RELATE opposite") << u"RELATE(C,-C,3)"_s << L{1, 2, 4} << L{n, n, -1};
    // x 1 2 4, y 1 4 16: Σdx·dy / √(Σdx²·Σdy²) = 26 / √(14/3 · 446/3 · ... ) = 39/√1561·... as
    // Python's statistics.correlation gives it.
    QTest::newRow("RELATE squares")
        << u"RELATE(C,C*C,3)"_s << L{1, 2, 4} << L{n, n, 0.989743318610787};
}

void TestWindows::faults()
{
    QFETCH(QString, formula);
    QFETCH(L, close);
    QFETCH(L, expected);
    const Series got =
        run(u"A:"_s + formula + u';', barsOf(std::vector<double>(close.begin(), close.end())));
    QCOMPARE(qsizetype(got.size()), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const double g = got[std::size_t(i)], w = expected[i];
        QVERIFY2(
            std::isnan(g) == std::isnan(w) &&
                (std::isnan(w) || g == w || std::abs(g - w) <= 1e-9 * std::max(1.0, std::abs(w))),
            qPrintable(u"bar %1: %2, not %3"_s.arg(i + 1).arg(g, 0, 'g', 17).arg(w, 0, 'g', 17)));
    }
}

void TestWindows::tiesOnCentPrices_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<int>("kind"); // 0 MA(C,N)=C, 1 MA(C,N)<C, 2 MA(C,N)>C, 3 MA(C,a)>MA(C,b),
                                   // 4 CROSS(C,MA(C,N))
    QTest::addColumn<int>("a");
    QTest::addColumn<int>("b");
    for (int count : {2, 3, 5, 10, 20, 60}) {
        QTest::addRow("MA(C,%d)=C", count) << u"MA(C,%1)=C"_s.arg(count) << 0 << count << 0;
        QTest::addRow("MA(C,%d)<C", count) << u"MA(C,%1)<C"_s.arg(count) << 1 << count << 0;
        QTest::addRow("MA(C,%d)>C", count) << u"MA(C,%1)>C"_s.arg(count) << 2 << count << 0;
        QTest::addRow("CROSS(C,MA(C,%d))", count)
            << u"CROSS(C,MA(C,%1))"_s.arg(count) << 4 << count << 0;
    }
    QTest::newRow("MA(C,5)>MA(C,10)") << u"MA(C,5)>MA(C,10)"_s << 3 << 5 << 10;
    QTest::newRow("MA(C,3)>MA(C,6)") << u"MA(C,3)>MA(C,6)"_s << 3 << 3 << 6;
}

// A seeded 4,000-bar walk of cent prices: every comparison as integers give it.
void TestWindows::tiesOnCentPrices()
{
    QFETCH(QString, formula);
    QFETCH(int, kind);
    QFETCH(int, a);
    QFETCH(int, b);
    const std::vector<std::int64_t> cents = centWalk(4000, 20240105);
    const Series got = run(u"A:"_s + formula + u';', barsOf(prices(cents)));
    QCOMPARE(got.size(), cents.size());
    int ties = 0;
    for (std::size_t i = 0; i < cents.size(); ++i) {
        if (std::isnan(got[i])) { // before the windows fill: no value to compare
            QVERIFY2(i + 1 < std::size_t(std::max(a, b)) && kind != 4,
                     qPrintable(QString::number(i)));
            continue;
        }
        const auto ua = std::size_t(a), ub = std::size_t(b);
        const int s = kind == 3 ? maVersusMa(cents, i, ua, ub) : maVersusClose(cents, i, ua);
        ties += s == 0 ? 1 : 0;
        double want = 0;
        switch (kind) {
        case 0:
            want = s == 2 ? 0 : s == 0;
            break;
        case 1:
            want = s == 2 ? 0 : s > 0 ? 0 : s < 0;
            break;
        case 2:
            want = s == 2 ? 0 : s == 1;
            break;
        case 3:
            want = s == 2 ? 0 : s == 1;
            break;
        default: {
            // CROSS(C,MA): C above MA now, at or below it on the bar before.
            const int prev = i == 0 ? 2 : maVersusClose(cents, i - 1, ua);
            want = s == -1 && (prev == 0 || prev == 1) ? 1 : 0;
            break;
        }
        }
        QVERIFY2(got[i] == want,
                 qPrintable(u"bar %1: %2, not %3"_s.arg(i + 1).arg(got[i]).arg(want)));
    }
    // The walk must tie often, or the rows prove nothing about ties.
    QVERIFY2(ties >= 10, qPrintable(QString::number(ties)));
}

void TestWindows::matchesPlainWindows_data()
{
    QTest::addColumn<QString>("function");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("history"); // 0 cent walk, 1 with huge jumps, 2 with empty stretches
    // Names as QStrings: GCC at -O3 took a char array's end for a null %s argument.
    const QStringList functions = {u"MA"_s,      u"SUM"_s,   u"WMA"_s,    u"HHV"_s,
                                   u"LLV"_s,     u"STD"_s,   u"STDP"_s,   u"VAR"_s,
                                   u"VARP"_s,    u"DEVSQ"_s, u"AVEDEV"_s, u"SLOPE"_s,
                                   u"FORCAST"_s, u"MULAR"_s, u"COVAR"_s,  u"RELATE"_s};
    for (const QString &fn : functions)
        for (int count : {1, 2, 5, 20, 0})
            for (int history : {0, 1, 2})
                QTest::addRow("%s N=%d history %d", qPrintable(fn), count, history)
                    << fn << count << history;
}

// Seeded histories with ties, jumps to 4,000,000 and back, and empty stretches: each bar's
// value against a plain, exactly summed computation of its window.
void TestWindows::matchesPlainWindows()
{
    QFETCH(QString, function);
    QFETCH(int, count);
    QFETCH(int, history);
    std::vector<double> x = prices(centWalk(400, 7 + std::uint32_t(history)));
    if (history == 1)
        for (std::size_t i = 30; i < x.size(); i += 97)
            x[i] = i % 2 ? 4000000 : 4000000.37;
    std::vector<bool> gap(x.size(), false);
    if (history == 2)
        for (std::size_t i = 0; i < x.size(); ++i)
            gap[i] = i < 7 || (i >= 150 && i < 165) || (i % 89 == 3);
    // Empty bars come from the formula, so the bars stay sound.
    Bars bars = barsOf(x);
    // The high a few cents above the close, so that COVAR and RELATE pair two series.
    for (std::size_t i = 0; i < x.size(); ++i)
        bars.high[i] = (std::round(x[i] * 100) + double(i * 7 % 5)) / 100;
    bars.volume.assign(x.size(), 1);
    for (std::size_t i = 0; i < x.size(); ++i)
        bars.volume[i] = gap[i] ? 0 : 1;
    const QString input = history == 2 ? u"IF(V=0,DRAWNULL,C)"_s : u"C"_s;
    const bool pair = function == u"COVAR" || function == u"RELATE";
    const QString args = pair ? u"X,H"_s : u"X"_s;
    const Series got = run(u"X:=%1;A:%2(%3,%4);"_s.arg(input, function, args).arg(count), bars);
    QCOMPARE(got.size(), x.size());
    const bool partial =
        function == u"SUM" || function == u"HHV" || function == u"LLV" || function == u"MULAR";
    std::size_t first = 0;
    while (first < x.size() && gap[first])
        ++first;
    std::size_t lastGap = std::size_t(-1);
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (gap[i])
            lastGap = i;
        const std::size_t from = count == 0                    ? (function == u"SUM" ? 0 : first)
                                 : i + 1 >= std::size_t(count) ? i + 1 - std::size_t(count)
                                                               : 0;
        const bool whole = count == 0 || i + 1 >= std::size_t(count) || partial;
        double want = n;
        if (function == u"SUM") { // empty bars count nothing
            std::vector<double> w;
            for (std::size_t k = from; k <= i; ++k)
                if (!gap[k])
                    w.push_back(x[k]);
            want = exactSum(w);
        } else if (i >= first && whole && (lastGap == std::size_t(-1) || lastGap < from)) {
            want = plain(function, x, bars.high, from, i);
        }
        const double g = got[i];
        if (g == want) // infinities included
            continue;
        if (std::isnan(want) || std::isnan(g)) {
            QVERIFY2(std::isnan(want) && std::isnan(g),
                     qPrintable(u"bar %1: %2, not %3"_s.arg(i + 1).arg(g).arg(want)));
            continue;
        }
        const double tolerance = 1e-12 * std::max(std::abs(want), scaleOf(function, x, from, i));
        QVERIFY2(std::abs(g - want) <= tolerance,
                 qPrintable(
                     u"bar %1: %2, not %3"_s.arg(i + 1).arg(g, 0, 'g', 17).arg(want, 0, 'g', 17)));
    }
}

QTEST_GUILESS_MAIN(TestWindows)
#include "tst_windows.moc"
