#pragma once

// The replay's tails: at a cut c (bars 0..c) every node of the formula differs from its whole
// history's values only from some bar k on ("changed from" k), and keeps its values on [k, c].
// From one cut to the next a node is computed again only from the first bar where its inputs
// differ from theirs at the cut before ("dirty" from d): a node that reads no later bar from
// where its inputs do (a window's bars back, a recursion from its own value before d); one
// with a known look-ahead from that reach before; BACKSET from the farthest back a signal that
// came or went sets. A cut costs what changes since the last one, not the bars before it.

#include "replay.h"
#include "run_p.h"

#include "functions/zigzag.h"

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>

namespace morvane::formula {
struct FunctionEntry;
}

namespace morvane::formula::detail {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr Sz kNever = std::numeric_limits<Sz>::max();
inline constexpr Sz kAhead = 16; // bars ahead of a cut whose values are fetched early

// Bar i plus n, kNever past the end of what a Sz holds.
inline Sz later(Sz i, Sz n)
{
    return i > kNever - n ? kNever : i + n;
}

inline bool sameBits(double a, double b)
{
    return std::bit_cast<quint64>(a) == std::bit_cast<quint64>(b) ||
           (std::isnan(a) && std::isnan(b));
}

// Where BACKSET's signal at bar i sets from: i − N + 1 (at least the first bar), or kNever.
inline Sz backsetFrom(double signal, double n, Sz i)
{
    const double count = safeCount(n);
    if (!isTrue(signal) || std::isnan(count) || count < 1)
        return kNever;
    return count > double(i) ? 0 : i + 1 - Sz(count);
}

// A node's values at a cut: the whole history's before k, the tail's from k on.
struct Spliced
{
    const Series *full;
    const double *tail;
    Sz k;
    double operator[](Sz i) const { return i < k ? (*full)[i] : tail[i - k]; }
};

class Tails
{
public:
    // budget: the bars one per-bar window may compute again over all cuts, as its whole
    // history's N puts it (the sampled cuts' bound); past it the replay falls back.
    Tails(const Evaluator &evaluator, const HeadEvaluator &heads, const Bars &bars, qint64 budget);
    ~Tails();
    Tails(const Tails &) = delete;
    Tails &operator=(const Tails &) = delete;

    // Empty (why None) when every output can be replayed through tails.
    const Fallback &fallback() const { return m_fallback; }

    // Computes cut c's tails (c below the newest bar).
    void cut(Sz c);
    // Of output k at the last cut: where its values start to differ (past the cut: nowhere),
    // and channel ch's values from there to the cut.
    Sz changedFrom(Sz k) const;
    // Of output k: the first bar whose value differs from the cut before's (a new bar's is the
    // cut itself; kNever for an output that never changes).
    Sz dirtyFrom(Sz k) const;
    const double *tail(Sz k, Sz ch) const;

    qint64 work() const { return m_work; }

    struct Node;
    struct Input;
    struct Step;
    struct Zig;

private:
    Input compile(const Expr &e, int stmt, int depth);
    Input compileCall(const Expr &e, int stmt, int depth);
    Input compileName(const Expr &e, int stmt, int depth);
    Input lastBar(const Expr &e);
    const Value &zeros();
    void fuseOperators();
    void linkInputs();
    void fail(FallbackWhy why, const QString &what);
    static void seedsOf(Node &node);
    static Sz latestOutside(const std::vector<std::pair<Sz, Sz>> &runs, Sz bar);
    static qint64 perBarCost(const Node &node);
    std::unique_ptr<Zig> zigzagOf(const Node &node, const QString &name) const;
    std::vector<Value> &sliceArgs(Node &node, Sz from, Sz c) const;
    double at(const Input &in, Sz i) const;
    double before(const Input &in, Sz i) const;
    void compute(Node &node, Sz c);
    bool unchanged(Node &node, Sz c);
    Sz recomputeFrom(Node &node, Sz c, Sz dirty);
    void computeFresh(Node &node, Sz from, Sz c);
    void operatorByBar(Node &node, Sz from, Sz c);
    void shiftByBar(Node &node, Sz from, Sz c);
    void backsetByBar(Node &node, Sz from, Sz c);
    void windowByBar(Node &node, Sz from, Sz c);
    void drawingByBar(Node &node, Sz from, Sz c);
    TailSeed seedAt(const Node &node, Sz from) const;
    void settle(Node &node, Sz from, Sz c);
    void computeZigzag(Node &node, Sz c);
    void settleZigzag(Node &node, Sz oldK, const Series &old);
    static void trimSame(Node &node, Sz c);
    void callOnSlice(Node &node, Sz sliceFrom, Sz from, Sz c);
    void computeMarks(Node &node, Sz c, Sz confirmed);
    Sz backsetReach(const Node &node, Sz dirty, Sz c);
    Sz perBarReach(const Node &node, Sz changed, Sz c);

    // What a node's readers look up at every cut, side by side rather than in each node.
    struct Hot
    {
        Sz k = kNever;                // changed from
        const double *tail = nullptr; // its front channel's values from k
        Sz dirty = 0;                 // differs from the cut before's from here
    };

    const Evaluator &m_ev;
    const HeadEvaluator &m_heads;
    const Bars &m_bars;
    Fallback m_fallback;
    std::vector<std::unique_ptr<Node>> m_nodes; // children before parents
    std::vector<Hot> m_hot;                     // of each node, as its last computing left it
    // The whole-history arrays the cuts read, each once, with their lengths.
    std::vector<std::pair<const double *, Sz>> m_ahead;
    std::unordered_map<const Expr *, Input> m_compiled;
    std::vector<int> m_outputs;           // node of each output, -1 when it never changes
    std::optional<Value> m_zeros;         // what a drawing's unused arguments read
    std::optional<Value> m_lastBarValues; // ISLASTBAR's over the whole history
    int m_lastBar = -1;                   // ISLASTBAR's node
    Sz m_last = kNever;                   // the cut before, or none yet
    std::vector<double> m_operands;       // operatorByBar's stack
    qint64 m_work = 0;
    qint64 m_budget;
};

struct Tails::Input
{
    int node = -1;                // a node that may change; -1: never changes at any cut
    const Value *value = nullptr; // the whole history's values
    const double *data = nullptr; // the whole history's (front channel), once linked
};

struct Tails::Step
{
    bool leaf = true; // push args[index]; else apply op to the top `index` operands
    Operator op = Operator::Plus;
    int index = 0;
};

struct Tails::Zig
{
    Input source;                   // node -1: the bars' own prices or a causal series
    const Series *values = nullptr; // the whole history's source
    double pct = kNaN;
    bool line = true; // ZIG, else the turns' values or bars (PEAK…)
    bool peak = false, barsSince = false;
    std::vector<ZigState> states; // after each bar of the whole history
    std::vector<Turn> turns;      // confirmed over the whole history
    std::vector<Sz> marks;        // PEAK…: the confirmed turns of its kind
    std::vector<Sz> marksBefore;  // of them, how many among the first t turns
    std::vector<Turn> local;      // scratch: the cut's turns from the last kept one
    std::vector<Sz> newMarks;
};

struct Tails::Node
{
    enum class Kind
    {
        Operator,
        Slice,
        Resume,
        Zigzag,
        LastBar,
        Drawing,
        PerBarBack,
        PerBarBackset,
        Fused // an operator computed inside the one that reads it
    };
    // What every cut reads first, together.
    Kind kind = Kind::Operator;
    Operator op = Operator::Plus;
    bool backset = false; // Slice: BACKSET with a constant N, computed as backsetByBar
    bool offset = false;  // PerBarBack: REF's N (see TailRule)
    // PerBarBack: COUNT, HHVBARS or LLVBARS, each bar's window read in place (windowByBar)
    enum class Window : quint8
    {
        None,
        Count,
        HighestBars,
        LowestBars
    } window = Window::None;
    Sz lag = 0;       // Slice: its argument this many bars back (see TailRule)
    Sz k = kNever;    // changed from, at the last cut
    Sz dirty = 0;     // the first bar that differs from the cut before's
    Sz from = kNever; // computed again from here at the last cut
    Sz count = 0;     // PerBar…, BACKSET: the argument holding N
    qsizetype back = 0, ahead = 0;
    std::vector<Input> args;
    // Operator: postfix over args (its operands, or those of operators fused into it)
    std::vector<Step> program;
    std::vector<const Series *> full;     // per channel, the whole history's (Fused: none kept)
    std::vector<Series> tails;            // per channel, on [k, cut]
    std::vector<Series> before;           // per channel, the cut before's values on [from, it]
    std::vector<Series> fresh;            // per channel, this cut's on [from, cut]
    const FunctionEntry *entry = nullptr; // the function's, resolved once
    std::span<const DrawnChannel> drawn;  // Drawing: how each channel reads its arguments
    QString name;
    // Resume: its whole history's runs of bars [from, to) without a value, and where it did not
    // hold (no value, or 0).
    std::vector<std::pair<Sz, Sz>> unshown, unheld;
    std::vector<Value> scratch; // its arguments' slices, kept for their buffers

    std::unique_ptr<Zig> zig;
};

inline double Tails::at(const Input &in, Sz i) const
{
    if (in.node >= 0) {
        const Hot &h = m_hot[Sz(in.node)];
        if (i >= h.k)
            return h.tail[i - h.k];
    }
    return in.data[i];
}

// At the cut before, input in's value at bar i (at most that cut).
inline double Tails::before(const Input &in, Sz i) const
{
    if (in.node < 0)
        return in.value->v[i];
    const Node &n = *m_nodes[Sz(in.node)];
    return i < n.from ? at(in, i) : n.before.front()[i - n.from];
}

} // namespace morvane::formula::detail
