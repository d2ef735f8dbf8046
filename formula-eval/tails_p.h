#pragma once

// The replay's tails: at a cut c (bars 0..c) every node of the formula differs from its whole
// history's values only from some bar k on ("changed from" k). A node that reads no later bar
// changes only from where its inputs do (a window's bars back, a recursion from its state
// before k); one with a known look-ahead from that reach before the cut. Each node is computed
// again on [k, c] alone, its inputs spliced (the whole history's before their k), so a cut
// costs what changes, not the bars before it.

#include "replay.h"
#include "run_p.h"

#include <deque>
#include <memory>

namespace morvane::formula::detail {

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
    const double *tail(Sz k, Sz ch) const;

    qint64 work() const { return m_work; }

    struct Node;
    struct Input;
    struct Zig;

private:
    Input compile(const Expr &e, int stmt, int depth);
    Input compileCall(const Expr &e, int stmt, int depth);
    Input compileName(const Expr &e, int stmt, int depth);
    void fail(FallbackWhy why, const QString &what);
    static void seedsOf(Node &node);
    static void backsetsOf(Node &node);
    static qint64 perBarCost(const Node &node);
    std::unique_ptr<Zig> zigzagOf(const Node &node, const QString &name) const;
    std::vector<Value> &sliceArgs(Node &node, Sz from, Sz c) const;
    double at(const Input &in, Sz i) const;
    void compute(Node &node, Sz c);
    void computeZigzag(Node &node, Sz c);
    void callOnSlice(Node &node, Sz from, Sz c);
    void computeMarks(Node &node, Sz c, Sz confirmed);
    void computePerBar(Node &node, Sz c, Sz changed);
    static void trimSame(Node &node, Sz c);
    Sz perBarReach(const Node &node, Sz changed, Sz c);

    const Evaluator &m_ev;
    const HeadEvaluator &m_heads;
    const Bars &m_bars;
    Fallback m_fallback;
    std::vector<std::unique_ptr<Node>> m_nodes; // children before parents
    std::unordered_map<const Expr *, int> m_compiled;
    std::vector<int> m_outputs; // node of each output, -1 when it never changes
    std::deque<Value> m_owned;  // constants the compiled nodes read
    qint64 m_work = 0;
    qint64 m_budget;
};

} // namespace morvane::formula::detail
