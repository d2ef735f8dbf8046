#pragma once

// Window sums that do not drift. Prices are decimals: a window of them is summed exactly as
// whole millionths and divided once, so MA(C,N) is the double nearest the true mean and ties
// with C come out as they do for exact numbers. Other values go through double-double
// running sums, whose error stays near 2⁻¹⁰⁴ of the history's magnitude.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvane::formula {

__extension__ using Int128 = __int128;
__extension__ using UInt128 = unsigned __int128;

// A value as hi + lo, lo well below hi's last bit.
struct DD
{
    double hi = 0;
    double lo = 0;
};

DD twoSum(double a, double b);
DD ddAdd(DD a, DD b);
DD ddSub(DD a, DD b);
DD ddMul(DD a, DD b);
DD ddDiv(DD a, double b);
inline double ddValue(DD a)
{
    return a.hi + a.lo;
}

// The double nearest num/den (ties to even); den > 0.
double nearestRatio(Int128 num, UInt128 den);

// x as a whole number of millionths, when it is exactly one (bounded so that sums of them
// fit, and squares of the smaller ones).
bool asMillionths(double x, std::int64_t *units);

inline constexpr std::int64_t kUnitsPerOne = 1000000;

// Sums over windows [from, to] of one series. Empty bars add nothing (the callers decide
// what an empty bar in a window means); an infinity makes the windows holding it infinite
// (NaN with both signs). A window's value depends on that window's bars alone, never on the
// bars after it, so the replay's shorter histories give the same bits.
class WindowSums
{
public:
    enum Extra : unsigned
    {
        Plain = 0,
        Squares = 1,  // devsq
        Weighted = 2, // weightedMean
        Centred = 4,  // centredSum and centredWeightedSum on every window, decimal or not
        Runs = 8,     // flat on every window
    };
    explicit WindowSums(const std::vector<double> &x, unsigned extra = Plain);

    double sum(std::size_t from, std::size_t to) const;
    // sum / (to − from + 1), rounded once.
    double mean(std::size_t from, std::size_t to) const;
    // Σ(x − mean)² over the window, divided by `by`, from the window's own mean: exactly 0
    // on a flat window whatever came before it.
    double devsq(std::size_t from, std::size_t to, std::size_t by) const;
    // Σ (k − from + 1)·x_k / (n(n+1)/2): the linearly weighted mean.
    double weightedMean(std::size_t from, std::size_t to) const;
    // The window as an exact sum of millionths, when it has one.
    bool exactUnits(std::size_t from, std::size_t to, Int128 *units) const;
    // The window's sum of x − pivot() (pivot: the first finite value) in double-double.
    DD centredSum(std::size_t from, std::size_t to) const;
    // … of k·(x − pivot()) (Weighted).
    DD centredWeightedSum(std::size_t from, std::size_t to) const;
    double pivot() const { return m_pivot; }
    // Whether every bar of the window holds the same value (none empty).
    bool flat(std::size_t from, std::size_t to) const;
    // Whether an infinity stands in the window.
    bool infinite(std::size_t from, std::size_t to) const;

private:
    bool exact(std::size_t from, std::size_t to) const;
    double inexactSum(std::size_t from, std::size_t to, bool *special) const;

    const std::vector<double> &m_x;
    double m_pivot = 0;
    std::vector<Int128> m_units;    // running sums of the decimal bars, in millionths
    std::vector<UInt128> m_squares; // … of their squares (Squares)
    std::vector<Int128> m_weighted; // … of k·units (Weighted)
    // Running counts of bars not summed in m_units, and of those not in m_squares; empty
    // while there are none.
    std::vector<std::size_t> m_inexact;
    std::vector<std::size_t> m_inexact2;
    std::vector<std::size_t> m_empty;      // … of empty bars
    std::vector<DD> m_centred;             // running sums of x − pivot
    std::vector<DD> m_centred2;            // … of its squares
    std::vector<DD> m_centredK;            // … of k·(x − pivot)
    std::vector<std::size_t> m_up, m_down; // running counts of +inf, −inf (when any)
    // Where the run of equal values ending at each bar starts (when kept).
    std::vector<std::size_t> m_run;
};

} // namespace morvane::formula
