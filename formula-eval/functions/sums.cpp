#include "functions/sums.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace morvane::formula {

DD twoSum(double a, double b)
{
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

namespace {

DD quickTwoSum(double a, double b)
{
    const double s = a + b;
    return {s, b - (s - a)};
}

int bitsOf(UInt128 v)
{
    const auto high = static_cast<std::uint64_t>(v >> 64);
    return high != 0 ? 128 - std::countl_zero(high)
                     : 64 - std::countl_zero(static_cast<std::uint64_t>(v));
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

DD ddAdd(DD a, DD b)
{
    const DD s = twoSum(a.hi, b.hi);
    const DD t = twoSum(a.lo, b.lo);
    DD r = quickTwoSum(s.hi, s.lo + t.hi);
    return quickTwoSum(r.hi, r.lo + t.lo);
}

DD ddSub(DD a, DD b)
{
    return ddAdd(a, {-b.hi, -b.lo});
}

DD ddMul(DD a, DD b)
{
    const double p = a.hi * b.hi;
    const double e = std::fma(a.hi, b.hi, -p) + (a.hi * b.lo + a.lo * b.hi);
    return quickTwoSum(p, e);
}

DD ddDiv(DD a, double b)
{
    const double q = a.hi / b;
    const double r = std::fma(-q, b, a.hi) + a.lo;
    return quickTwoSum(q, r / b);
}

double nearestRatio(Int128 num, UInt128 den)
{
    if (num == 0)
        return 0.0;
    // Both exact in a double: one division rounds once.
    constexpr Int128 kExact = Int128(1) << 53;
    if (num < kExact && num > -kExact && den < UInt128(kExact))
        return static_cast<double>(static_cast<std::int64_t>(num)) /
               static_cast<double>(static_cast<std::uint64_t>(den));
    const bool negative = num < 0;
    UInt128 a = negative ? static_cast<UInt128>(-(num + 1)) + 1 : static_cast<UInt128>(num);
    // A shifted numerator must fit: beyond 72 bits the divisor gives up its last bits (only
    // divisors of windows of millions of bars get there).
    bool sticky = false;
    if (const int over = bitsOf(den) - 72; over > 0) {
        sticky = (a & ((UInt128(1) << over) - 1)) != 0;
        a >>= over;
        den >>= over;
        if (a == 0)
            return negative ? -0.0 : 0.0;
    }
    // Scaled so that the quotient has 55 or 56 bits: 53 kept, the rest and the remainder round.
    const int shift = 55 - (bitsOf(a) - bitsOf(den));
    if (shift >= 0)
        a <<= shift;
    else
        den <<= -shift;
    UInt128 q = a / den;
    sticky = sticky || a % den != 0;
    const int drop = bitsOf(q) - 53;
    const UInt128 mask = (UInt128(1) << drop) - 1, half = UInt128(1) << (drop - 1);
    const UInt128 low = q & mask;
    q >>= drop;
    if (low > half || (low == half && (sticky || (q & 1) != 0)))
        ++q;
    const double m = std::ldexp(static_cast<double>(static_cast<std::uint64_t>(q)), drop - shift);
    return negative ? -m : m;
}

bool asMillionths(double x, std::int64_t *units)
{
    if (!(std::abs(x) < 9e12))
        return false;
    if (x == std::trunc(x)) {
        *units = static_cast<std::int64_t>(x) * kUnitsPerOne;
        return true;
    }
    // Below 10⁹ the product is within a quarter of the whole number it stands for.
    if (!(std::abs(x) < 1e9))
        return false;
    const auto k = static_cast<std::int64_t>(std::nearbyint(x * double(kUnitsPerOne)));
    if (static_cast<double>(k) / double(kUnitsPerOne) != x)
        return false;
    *units = k;
    return true;
}

namespace {

// Squares and k·units of values below 2⁴⁰ millionths stay far inside 128 bits.
constexpr std::int64_t kSmallUnits = std::int64_t(1) << 40;

template <typename T> T between(const std::vector<T> &prefix, std::size_t from, std::size_t to)
{
    return prefix[to + 1] - prefix[from];
}

// Running counts kept only from the first bar counted: none at all is the usual case.
std::size_t counted(const std::vector<std::size_t> &prefix, std::size_t from, std::size_t to)
{
    return prefix.empty() ? 0 : prefix[to + 1] - prefix[from];
}

void count(std::vector<std::size_t> &prefix, std::size_t k, bool mark, std::size_t n)
{
    if (prefix.empty() && mark)
        prefix.assign(n + 1, 0);
    if (!prefix.empty())
        prefix[k + 1] = prefix[k] + (mark ? 1 : 0);
}

} // namespace

WindowSums::WindowSums(const std::vector<double> &x, unsigned extra) : m_x(x)
{
    const std::size_t n = x.size();
    const auto first = std::find_if(x.begin(), x.end(), [](double v) { return std::isfinite(v); });
    m_pivot = first == x.end() ? 0.0 : *first;
    const bool second = (extra & (Squares | Weighted)) != 0;
    m_units.assign(n + 1, 0);
    if (extra & Squares)
        m_squares.assign(n + 1, 0);
    if (extra & Weighted)
        m_weighted.assign(n + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const double v = x[k];
        std::int64_t u = 0;
        const bool decimal = std::isnan(v) || (std::isfinite(v) && asMillionths(v, &u));
        m_units[k + 1] = m_units[k] + u;
        count(m_inexact, k, !decimal, n);
        count(m_empty, k, std::isnan(v), n);
        const bool small = decimal && std::abs(u) < kSmallUnits;
        if (second)
            count(m_inexact2, k, !small, n);
        if (extra & Squares)
            m_squares[k + 1] =
                m_squares[k] + (small ? static_cast<UInt128>(Int128(u) * Int128(u)) : 0);
        if (extra & Weighted)
            m_weighted[k + 1] = m_weighted[k] + (small ? Int128(k) * Int128(u) : 0);
        if (std::isinf(v)) {
            if (m_up.empty())
                m_up.assign(n + 1, 0), m_down.assign(n + 1, 0);
            (v > 0 ? m_up : m_down)[k + 1] = 1;
        }
    }
    for (std::size_t k = 1; k < m_up.size(); ++k) {
        m_up[k] += m_up[k - 1];
        m_down[k] += m_down[k - 1];
    }
    // Runs of equal values: for the windows not summed exactly, and for whoever asks.
    if (extra != Plain || !m_inexact.empty()) {
        m_run.resize(n);
        for (std::size_t k = 0; k < n; ++k)
            m_run[k] = k > 0 && x[k] == x[k - 1] ? m_run[k - 1] : k;
    }
    // The double-double sums serve windows the whole millionths cannot: built only when
    // there are such bars (prices and volumes have none).
    if (m_inexact.empty() && m_inexact2.empty() && !(extra & Centred))
        return;
    m_centred.assign(n + 1, DD{});
    if (extra & Squares)
        m_centred2.assign(n + 1, DD{});
    if (extra & Weighted)
        m_centredK.assign(n + 1, DD{});
    for (std::size_t k = 0; k < n; ++k) {
        const DD d = std::isfinite(x[k]) ? twoSum(x[k], -m_pivot) : DD{};
        m_centred[k + 1] = ddAdd(m_centred[k], d);
        if (extra & Squares)
            m_centred2[k + 1] = ddAdd(m_centred2[k], ddMul(d, d));
        if (extra & Weighted)
            m_centredK[k + 1] = ddAdd(m_centredK[k], ddMul(d, {double(k), 0}));
    }
}

bool WindowSums::exact(std::size_t from, std::size_t to) const
{
    return counted(m_inexact, from, to) == 0;
}

bool WindowSums::exactUnits(std::size_t from, std::size_t to, Int128 *units) const
{
    if (!exact(from, to))
        return false;
    *units = between(m_units, from, to);
    return true;
}

bool WindowSums::infinite(std::size_t from, std::size_t to) const
{
    return !m_up.empty() && (between(m_up, from, to) > 0 || between(m_down, from, to) > 0);
}

bool WindowSums::flat(std::size_t from, std::size_t to) const
{
    return m_run[to] <= from && !std::isnan(m_x[to]);
}

DD WindowSums::centredSum(std::size_t from, std::size_t to) const
{
    return ddSub(m_centred[to + 1], m_centred[from]);
}

DD WindowSums::centredWeightedSum(std::size_t from, std::size_t to) const
{
    return ddSub(m_centredK[to + 1], m_centredK[from]);
}

double WindowSums::inexactSum(std::size_t from, std::size_t to, bool *special) const
{
    *special = false;
    if (infinite(from, to)) {
        *special = true;
        const std::size_t up = between(m_up, from, to), down = between(m_down, from, to);
        return up > 0 && down > 0 ? kNaN
               : up > 0           ? std::numeric_limits<double>::infinity()
                                  : -std::numeric_limits<double>::infinity();
    }
    const DD d = centredSum(from, to);
    // The pivot once for each bar summed: an empty bar adds nothing.
    const double n = double(to - from + 1 - counted(m_empty, from, to));
    const double s = ddValue(ddAdd(d, ddMul({m_pivot, 0}, {n, 0})));
    if (std::isfinite(s))
        return s;
    // Values near a double's limit: the window summed wider, on its own.
    *special = true;
    long double wide = 0;
    for (std::size_t k = from; k <= to; ++k)
        if (!std::isnan(m_x[k]))
            wide += static_cast<long double>(m_x[k]);
    return double(wide);
}

double WindowSums::sum(std::size_t from, std::size_t to) const
{
    if (exact(from, to))
        return nearestRatio(between(m_units, from, to), UInt128(kUnitsPerOne));
    bool special = false;
    return inexactSum(from, to, &special);
}

double WindowSums::mean(std::size_t from, std::size_t to) const
{
    const std::size_t n = to - from + 1;
    if (exact(from, to))
        return nearestRatio(between(m_units, from, to), UInt128(kUnitsPerOne) * n);
    if (flat(from, to))
        return m_x[to];
    bool special = false;
    const double s = inexactSum(from, to, &special);
    if (special)
        return double(static_cast<long double>(s) / static_cast<long double>(n));
    const DD d = ddDiv(centredSum(from, to), double(n));
    return ddValue(ddAdd(d, {m_pivot, 0}));
}

double WindowSums::devsq(std::size_t from, std::size_t to, std::size_t by) const
{
    if (flat(from, to))
        return 0.0;
    if (infinite(from, to))
        return kNaN;
    const std::size_t n = to - from + 1;
    // A window decides its own way, whatever the bars after it: the replay's shorter
    // histories give the same bits.
    const bool exactWindow = counted(m_inexact2, from, to) == 0;
    if (exactWindow) {
        // n·Σu² − (Σu)², exact, over n·by·10¹²
        const Int128 s = between(m_units, from, to);
        const auto q = static_cast<Int128>(between(m_squares, from, to));
        Int128 nq = 0, ss = 0;
        if (!__builtin_mul_overflow(q, Int128(n), &nq) && !__builtin_mul_overflow(s, s, &ss)) {
            UInt128 den = 0;
            const UInt128 scale = UInt128(kUnitsPerOne) * UInt128(kUnitsPerOne);
            if (!__builtin_mul_overflow(scale, UInt128(n) * UInt128(by), &den))
                return nearestRatio(nq - ss, den);
        }
    }
    if (!exactWindow) {
        const DD s = centredSum(from, to);
        const DD q = ddSub(m_centred2[to + 1], m_centred2[from]);
        const DD dev = ddSub(q, ddDiv(ddMul(s, s), double(n)));
        const double v = std::max(0.0, ddValue(dev));
        if (std::isfinite(v))
            return v / double(by);
    }
    // Values near a double's limit, or exact sums too wide to divide: the window's own mean,
    // wider, on its own.
    long double mean = 0, sq = 0;
    for (std::size_t k = from; k <= to; ++k)
        mean += static_cast<long double>(m_x[k]);
    mean /= static_cast<long double>(n);
    for (std::size_t k = from; k <= to; ++k)
        sq += (static_cast<long double>(m_x[k]) - mean) * (static_cast<long double>(m_x[k]) - mean);
    return double(sq / static_cast<long double>(by));
}

double WindowSums::weightedMean(std::size_t from, std::size_t to) const
{
    if (flat(from, to))
        return m_x[to];
    const std::size_t n = to - from + 1;
    const UInt128 weights = UInt128(n) * UInt128(n + 1) / 2;
    if (counted(m_inexact2, from, to) == 0) {
        // Σ(k − from + 1)·u = Σk·u − (from − 1)·Σu
        const Int128 s = between(m_units, from, to);
        Int128 shifted = 0;
        if (!__builtin_mul_overflow(s, Int128(from) - 1, &shifted))
            return nearestRatio(between(m_weighted, from, to) - shifted,
                                weights * UInt128(kUnitsPerOne));
    }
    // Here only when the window has bars the millionths cannot hold (the double-double
    // sums exist then), or its exact sums are too wide: then on its own, wider.
    bool special = counted(m_inexact2, from, to) == 0;
    if (!special)
        inexactSum(from, to, &special);
    if (special) { // an infinity, values near a double's limit, or sums too wide
        long double w = 0;
        for (std::size_t k = from; k <= to; ++k)
            w += static_cast<long double>(k - from + 1) * static_cast<long double>(m_x[k]);
        return double(w / static_cast<long double>(weights));
    }
    const DD s = centredSum(from, to);
    const DD k = ddSub(m_centredK[to + 1], m_centredK[from]);
    // Σ(k − from + 1)(x − p) / weights + p
    const DD num = ddSub(k, ddMul(s, {double(from) - 1.0, 0}));
    const DD w = ddDiv(num, static_cast<double>(weights));
    return ddValue(ddAdd(w, {m_pivot, 0}));
}

} // namespace morvane::formula
