#include "tails_p.h"

// What spares a cut its visits and its copies: operators fused into the operator that reads
// them, and operators, shifts, BACKSET, drawings and per-bar windows computed bar by bar, each
// input read in place.

namespace morvane::formula::detail {

// An operator read only by another operator is computed inside it, over the same bars, rather
// than as a node of its own: a cut visits fewer nodes for the same values.
void Tails::fuseOperators()
{
    std::vector<int> readers(m_nodes.size());
    for (const std::unique_ptr<Node> &n : m_nodes)
        for (const Input &in : n->args)
            if (in.node >= 0)
                ++readers[Sz(in.node)];
    for (const int o : m_outputs)
        if (o >= 0)
            readers[Sz(o)] += 2; // an output is read whole
    auto inner = [&](const Input &in) {
        return in.node >= 0 && readers[Sz(in.node)] == 1 &&
               m_nodes[Sz(in.node)]->kind == Node::Kind::Operator;
    };
    // Postfix, over the operators' own arguments (each node's are replaced only afterwards).
    std::vector<std::vector<Step>> programs(m_nodes.size());
    std::vector<std::vector<Input>> leaves(m_nodes.size());
    for (Sz i = 0; i < m_nodes.size(); ++i) {
        const Node &n = *m_nodes[i];
        if (n.kind != Node::Kind::Operator)
            continue;
        for (const Input &in : n.args) {
            if (inner(in)) {
                const Sz child = Sz(in.node);
                const int offset = int(leaves[i].size());
                for (Step step : programs[child]) {
                    step.index += step.leaf ? offset : 0;
                    programs[i].push_back(step);
                }
                leaves[i].insert(leaves[i].end(), leaves[child].begin(), leaves[child].end());
                m_nodes[child]->kind = Node::Kind::Fused;
            } else {
                programs[i].push_back({true, n.op, int(leaves[i].size())});
                leaves[i].push_back(in);
            }
        }
        programs[i].push_back({false, n.op, int(n.args.size())});
    }
    for (Sz i = 0; i < m_nodes.size(); ++i) {
        if (m_nodes[i]->kind != Node::Kind::Operator)
            continue;
        m_nodes[i]->program = std::move(programs[i]);
        m_nodes[i]->args = std::move(leaves[i]);
    }
}

// Bar by bar, each operand read where it is: most cuts ask for a bar or two, and no slice of
// the arguments is copied.
void Tails::operatorByBar(Node &node, Sz from, Sz c)
{
    Series &out = node.fresh.front();
    out.resize(c + 1 - from);
    m_operands.resize(node.program.size());
    double *stack = m_operands.data();
    for (Sz i = from; i <= c; ++i) {
        Sz top = 0;
        for (const Step &step : node.program) {
            if (step.leaf) {
                stack[top++] = at(node.args[Sz(step.index)], i);
                continue;
            }
            top -= Sz(step.index) - 1;
            stack[top - 1] = operate(step.op, stack[top - 1], step.index == 2 ? stack[top] : 0.0);
        }
        out[i - from] = stack[0];
    }
    m_work += qint64(c + 1 - from);
}

// REF(X,N): X's values N bars back, read where they are.
void Tails::shiftByBar(Node &node, Sz from, Sz c)
{
    Series &out = node.fresh.front();
    out.resize(c + 1 - from);
    for (Sz i = from; i <= c; ++i)
        out[i - from] = i >= node.lag ? at(node.args[0], i - node.lag) : kNaN;
    m_work += qint64(c + 1 - from);
}

// BACKSET on [from, c], each signal read in place as backsetReach reads it: from the newest,
// the farthest back any signal so far sets.
void Tails::backsetByBar(Node &node, Sz from, Sz c)
{
    Series &out = node.fresh.front();
    out.resize(c + 1 - from);
    Sz reach = kNever;
    for (Sz i = c + 1; i-- > from;) {
        reach = std::min(reach, backsetFrom(at(node.args[0], i), at(node.args[node.count], i), i));
        out[i - from] = reach <= i ? 1.0 : 0.0;
    }
    m_work += qint64(c + 1 - from);
}

// A drawing's channels on [from, c], each bar from its arguments there.
void Tails::drawingByBar(Node &node, Sz from, Sz c)
{
    for (Sz ch = 0; ch < node.fresh.size(); ++ch) {
        Series &out = node.fresh[ch];
        out.resize(c + 1 - from);
        if (ch >= node.drawn.size()) {
            std::fill(out.begin(), out.end(), kNaN);
            continue;
        }
        const DrawnChannel &d = node.drawn[ch];
        const Input &price = node.args[Sz(std::max(d.price, 0))];
        for (Sz i = from; i <= c; ++i) {
            if (d.cond >= 0 && !isTrue(at(node.args[Sz(d.cond)], i)))
                out[i - from] = kNaN;
            else
                out[i - from] = d.cond >= 0 && d.price < 0 ? 1.0 : at(price, i);
        }
    }
    m_work += qint64(c + 1 - from);
}

// COUNT, HHVBARS and LLVBARS with a per-bar N, each bar of [from, c] over its own window
// (partial at the first bars), read in place: a slice from the farthest window back would
// compute every bar of it. Ties and empty bars are judged as the whole history judges them.
void Tails::windowByBar(Node &node, Sz from, Sz c)
{
    Series &out = node.fresh.front();
    out.resize(c + 1 - from);
    const Input &x = node.args[0], &n = node.args[1];
    const bool count = node.window == Node::Window::Count;
    const bool highest = node.window == Node::Window::HighestBars;
    for (Sz i = from; i <= c; ++i) {
        const Index start = windowStart(safeCount(at(n, i)), i, true);
        double v = kNaN;
        if (start >= 0 && count) {
            double held = 0;
            for (Sz j = Sz(start); j <= i; ++j)
                held += isTrue(at(x, j)) ? 1.0 : 0.0;
            v = held;
        } else if (start >= 0) {
            Sz best = Sz(start);
            double b = at(x, best);
            for (Sz j = best + 1; j <= i; ++j) {
                const double y = at(x, j);
                if (!earlierStays(b, y, highest)) {
                    best = j;
                    b = y;
                }
            }
            v = std::isnan(b) ? kNaN : double(i - best);
        }
        out[i - from] = v;
        m_work += start >= 0 ? qint64(i + 1 - Sz(start)) : 1;
    }
}

} // namespace morvane::formula::detail
