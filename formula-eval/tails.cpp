#include "tails_p.h"

#include "functions/common.h"

#include <algorithm>
#include <unordered_set>

using namespace Qt::StringLiterals;

namespace morvane::formula::detail {

Tails::Tails(const Evaluator &evaluator, const HeadEvaluator &heads, const Bars &bars,
             qint64 budget)
    : m_ev(evaluator), m_heads(heads), m_bars(bars), m_budget(budget)
{
    const Program &program = evaluator.program();
    const Evaluation &full = heads.full();
    for (Sz k = 0; k < full.outputs.size() && m_fallback.why == FallbackWhy::None; ++k) {
        const OutputLine &line = full.outputs[k];
        m_outputs.push_back(-1);
        if (heads.causal(k) || !line.ok())
            continue;
        const Expr *root = program.statements[Sz(line.statement)].value.get();
        if (!root)
            continue;
        if (line.drawing.isEmpty()) {
            m_outputs.back() = compile(*root, int(line.statement), 0).node;
            continue;
        }
        // A drawing: its channels, from its arguments bar by bar.
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::Drawing;
        node->name = line.drawing;
        node->drawn = drawnChannels(line.drawing);
        for (Sz a = 0; a < root->args.size(); ++a) {
            if (drawingArgumentUsed(line.drawing, qsizetype(a)) && root->args[a]) {
                node->args.push_back(compile(*root->args[a], int(line.statement), 0));
            } else {
                node->args.push_back({-1, &zeros()});
            }
        }
        for (const Series &c : line.channels)
            node->full.push_back(&c);
        node->tails.resize(line.channels.size());
        m_outputs.back() = int(m_nodes.size());
        m_nodes.push_back(std::move(node));
    }
    if (m_fallback.why == FallbackWhy::None) {
        fuseOperators();
        linkInputs();
    }
}

// Each input's whole-history values as a plain pointer, and the arrays the cuts read.
void Tails::linkInputs()
{
    m_hot.assign(m_nodes.size(), Hot{});
    std::unordered_set<const double *> seen;
    auto ahead = [&](const Series &s) {
        if (seen.insert(s.data()).second)
            m_ahead.emplace_back(s.data(), s.size());
    };
    auto link = [&](Input &in) {
        const Series &whole = in.node < 0 ? in.value->v : *m_nodes[Sz(in.node)]->full.front();
        in.data = whole.data();
        if (in.node < 0)
            ahead(whole);
    };
    for (const std::unique_ptr<Node> &n : m_nodes) {
        if (n->kind == Node::Kind::Fused)
            continue; // read through the operator it is computed in
        for (Input &in : n->args)
            link(in);
        if (n->zig)
            link(n->zig->source);
        for (const Series *f : n->full)
            ahead(*f);
    }
}

Tails::~Tails() = default;

const Value &Tails::zeros()
{
    if (!m_zeros)
        m_zeros = constantValue(0, m_bars.size());
    return *m_zeros;
}

void Tails::fail(FallbackWhy why, const QString &what)
{
    if (m_fallback.why == FallbackWhy::None)
        m_fallback = {why, what};
}

Tails::Input Tails::compile(const Expr &e, int stmt, int depth)
{
    const HeadEvaluator::Trace &trace = m_heads.trace();
    if (const auto kept = trace.kept.find(&e); kept != trace.kept.end())
        return {-1, kept->second};
    if (const auto done = m_compiled.find(&e); done != m_compiled.end())
        return done->second;
    if (const int shared = m_ev.repeated(&e); shared >= 0 && e.period.isEmpty()) {
        const auto by = trace.computedBy.find(shared);
        if (by != trace.computedBy.end() && by->second.first != &e) {
            const Input in = compile(*by->second.first, by->second.second, depth + 1);
            if (in.node >= 0)
                m_compiled.emplace(&e, in);
            return in;
        }
    }
    const auto recorded = trace.values.find(&e);
    if (recorded == trace.values.end() && e.kind == ExprKind::Name && e.period.isEmpty() &&
        m_fallback.why == FallbackWhy::None)
        return compileName(e, stmt, depth); // the trace holds a variable's values once
    // An operator's operator is computed inside it (fuseOperators): its values are not kept.
    const bool inner = trace.operands.contains(&e);
    if ((recorded == trace.values.end() && !inner) || m_fallback.why != FallbackWhy::None) {
        fail(FallbackWhy::Unbounded, e.text);
        return {};
    }
    if (depth >= kMaxEvalDepth) {
        fail(FallbackWhy::Unbounded, QString::fromUtf16(kTooDeep));
        return {};
    }
    if (!e.period.isEmpty() && (e.kind == ExprKind::Name || e.kind == ExprKind::Call)) {
        fail(FallbackWhy::Unbounded, e.text + e.period.toUpper()); // its period bar is forming
        return {};
    }
    Input in;
    if (e.kind == ExprKind::Name) {
        in = compileName(e, stmt, depth);
    } else if (e.kind == ExprKind::Call) {
        in = compileCall(e, stmt, depth);
    } else if ((e.kind == ExprKind::Unary && e.args.size() == 1) ||
               (e.kind == ExprKind::Binary && e.args.size() == 2)) {
        auto node = std::make_unique<Node>();
        const auto op = e.kind == ExprKind::Unary ? unaryOperator(e.text) : binaryOperator(e.text);
        if (!op) {
            fail(FallbackWhy::Unbounded, e.text);
            return {};
        }
        node->op = *op;
        for (const ExprPtr &a : e.args)
            node->args.push_back(compile(*a, stmt, depth + 1));
        node->full.push_back(inner ? nullptr : &recorded->second.v);
        node->tails.resize(1);
        in.node = int(m_nodes.size());
        m_nodes.push_back(std::move(node));
    } else {
        fail(FallbackWhy::Unbounded, e.text);
        return {};
    }
    in.value = inner ? nullptr : &recorded->second;
    if (in.node >= 0)
        m_compiled.emplace(&e, in);
    return in;
}

Tails::Input Tails::compileName(const Expr &e, int stmt, int depth)
{
    const int def = m_ev.definition(e.text, stmt);
    const Expr *root = def >= 0 ? m_ev.program().statements[Sz(def)].value.get() : nullptr;
    if (root)
        return compile(*root, def, depth + 1);
    if (e.text != u"ISLASTBAR") { // the others that read the newest bar change everywhere
        fail(FallbackWhy::Unbounded, e.text);
        return {};
    }
    return lastBar(e);
}

// One node however often the formula names it.
Tails::Input Tails::lastBar(const Expr &e)
{
    if (m_lastBar < 0) {
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::LastBar;
        namedSeries(e.text, m_bars, &m_lastBarValues.emplace());
        node->full.push_back(&m_lastBarValues->v);
        node->tails.resize(1);
        m_lastBar = int(m_nodes.size());
        m_nodes.push_back(std::move(node));
    }
    return {m_lastBar, &*m_lastBarValues};
}

Tails::Input Tails::compileCall(const Expr &e, int stmt, int depth)
{
    if (e.args.empty() && e.text == u"ISLASTBAR")
        return lastBar(e);
    const HeadEvaluator::Trace &trace = m_heads.trace();
    auto node = std::make_unique<Node>();
    node->name = e.text;
    node->full.push_back(&trace.values.at(&e).v);
    node->tails.resize(1);
    const bool drawing = isDrawingCall(e.text);
    std::vector<const Value *> whole;
    for (Sz a = 0; a < e.args.size(); ++a) {
        if (drawing && !drawingArgumentUsed(e.text, qsizetype(a))) {
            node->args.push_back({-1, &zeros()});
        } else {
            node->args.push_back(compile(*e.args[a], stmt, depth + 1));
        }
        whole.push_back(node->args.back().value);
        if (m_fallback.why != FallbackWhy::None)
            return {};
    }
    if (drawing) {
        node->kind = Node::Kind::Drawing;
        node->drawn = drawnChannels(e.text);
    } else {
        const TailRule rule = tailRule(e.text, whole);
        switch (rule.kind) {
        case TailRule::Kind::None:
            fail(rule.perBarOffset       ? FallbackWhy::PerBarOffset
                 : knowsFunction(e.text) ? FallbackWhy::Unbounded
                                         : FallbackWhy::PlugIn,
                 e.text);
            return {};
        case TailRule::Kind::Slice:
            node->kind = Node::Kind::Slice;
            node->back = rule.back;
            node->ahead = rule.ahead;
            node->lag = Sz(rule.lag);
            node->backset = e.text == u"BACKSET" && e.args.size() == 2;
            node->count = node->backset ? 1 : 0;
            break;
        case TailRule::Kind::Resume:
            node->kind = Node::Kind::Resume;
            seedsOf(*node);
            break;
        case TailRule::Kind::Zigzag:
            node->kind = Node::Kind::Zigzag;
            node->zig = zigzagOf(*node, e.text);
            break;
        case TailRule::Kind::PerBarBack: {
            node->kind = Node::Kind::PerBarBack;
            node->back = rule.back;
            node->count = Sz(rule.count);
            node->offset = rule.offset;
            using W = Node::Window;
            const W w = e.text == u"COUNT"     ? W::Count
                        : e.text == u"HHVBARS" ? W::HighestBars
                        : e.text == u"LLVBARS" ? W::LowestBars
                                               : W::None;
            node->window = node->args.size() == 2 && node->count == 1 ? w : W::None;
            break;
        }
        case TailRule::Kind::PerBarBackset:
            node->kind = Node::Kind::PerBarBackset;
            node->count = Sz(rule.count);
            break;
        }
        if (rule.kind == TailRule::Kind::PerBarBack || rule.kind == TailRule::Kind::PerBarBackset) {
            // N reaching so far back that the cuts would cost more than sampling them
            if (perBarCost(*node) > m_budget) {
                fail(FallbackWhy::PerBarReach, e.text);
                return {};
            }
        }
    }
    node->entry = functionEntry(node->name);
    m_nodes.push_back(std::move(node));
    return {int(m_nodes.size()) - 1, nullptr};
}

// Where a resumed function's own values before any bar leave it: its latest value, and the
// latest bar where it held, found from the runs of bars without either (few, where a bar array
// each would cost its history's length).
void Tails::seedsOf(Node &node)
{
    const Series &f = *node.full.front();
    auto runs = [&](std::vector<std::pair<Sz, Sz>> *out, auto lacks) {
        for (Sz i = 0; i < f.size(); ++i) {
            if (!lacks(f[i]))
                continue;
            if (!out->empty() && out->back().second == i)
                ++out->back().second;
            else
                out->emplace_back(i, i + 1);
        }
    };
    runs(&node.unshown, [](double v) { return std::isnan(v); });
    runs(&node.unheld, [](double v) { return std::isnan(v) || v == 0; });
}

// The latest bar before `bar` outside the runs, or kNever.
Sz Tails::latestOutside(const std::vector<std::pair<Sz, Sz>> &runs, Sz bar)
{
    if (bar == 0)
        return kNever;
    const Sz b = bar - 1;
    auto it = std::upper_bound(runs.begin(), runs.end(), b,
                               [](Sz x, const std::pair<Sz, Sz> &r) { return x < r.first; });
    if (it == runs.begin() || b >= std::prev(it)->second)
        return b;
    const Sz start = std::prev(it)->first;
    return start == 0 ? kNever : start - 1;
}

// What a per-bar node is expected to compute again over every cut, from the whole
// history's N: at a cut ending at bar i, the bars its N there reads (or sets) back.
qint64 Tails::perBarCost(const Node &node)
{
    const bool backset = node.kind == Node::Kind::PerBarBackset;
    const Series &n = node.args[node.count].value->v;
    qint64 cost = 0;
    for (Sz i = 0; i < n.size(); ++i) {
        const double count = safeCount(n[i]);
        if (std::isnan(count) || (count < 0 && !node.offset) || (backset && count < 1))
            continue;
        const bool all = count < 0 || (count == 0 && !node.offset && !backset);
        cost += qint64(all ? double(i + 1) : std::min(double(i + 1), count + double(node.back)));
    }
    return cost;
}

// The node's arguments on [from, c], into buffers it keeps from cut to cut.
std::vector<Value> &Tails::sliceArgs(Node &node, Sz from, Sz c) const
{
    std::vector<Value> &args = node.scratch;
    args.resize(node.args.size());
    for (Sz a = 0; a < node.args.size(); ++a) {
        const Input &in = node.args[a];
        Value &v = args[a];
        v.v.resize(c - from + 1);
        v.constant = in.node < 0 && in.value->constant;
        const Series &full = in.node < 0 ? in.value->v : *m_nodes[Sz(in.node)]->full.front();
        const Sz k = in.node < 0 ? c + 1 : m_nodes[Sz(in.node)]->k;
        const Sz split = std::clamp(k, from, c + 1);
        std::copy(full.begin() + std::ptrdiff_t(from), full.begin() + std::ptrdiff_t(split),
                  v.v.begin());
        if (split <= c) {
            const Series &t = m_nodes[Sz(in.node)]->tails.front();
            std::copy(t.begin() + std::ptrdiff_t(split - k), t.begin() + std::ptrdiff_t(c + 1 - k),
                      v.v.begin() + std::ptrdiff_t(split - from));
        }
    }
    return args;
}

void Tails::cut(Sz c)
{
    for (Sz i = 0; i < m_nodes.size(); ++i) {
        Node &n = *m_nodes[i];
        if (n.kind == Node::Kind::Fused)
            continue;
        compute(n, c);
        m_hot[i] = {n.k, n.tails.front().data(), n.dirty};
    }
    // The whole history's values a cut reads lie near it, in one array per node: too many
    // streams for the processor to see coming, a miss each every eight cuts otherwise.
    for (const auto &[data, size] : m_ahead)
        if (c + kAhead < size)
            __builtin_prefetch(data + c + kAhead);
    m_last = c;
}

void Tails::compute(Node &node, Sz c)
{
    if (node.kind == Node::Kind::Zigzag) {
        // Its scan resumes from the whole history's state, so it is computed against that.
        Series old;
        old.swap(node.tails.front());
        const Sz oldK = node.k;
        node.k = c + 1;
        computeZigzag(node, c);
        trimSame(node, c);
        settleZigzag(node, oldK, old);
        return;
    }
    if (unchanged(node, c))
        return;
    Sz dirty = m_last == kNever ? 0 : m_last + 1; // the bars new at this cut
    for (const Input &in : node.args)
        if (in.node >= 0)
            dirty = std::min(dirty, later(m_hot[Sz(in.node)].dirty, node.lag));
    const Sz from = recomputeFrom(node, c, dirty);
    computeFresh(node, from, c);
    settle(node, from, c);
}

// A node that reads no later bar, on inputs that are all the whole history's at this cut, is
// the whole history's too: what it held apart at the cut before is what changed.
bool Tails::unchanged(Node &node, Sz c)
{
    using K = Node::Kind;
    const bool causal = node.kind == K::Operator || node.kind == K::Resume ||
                        node.kind == K::Drawing || node.kind == K::PerBarBack ||
                        (node.kind == K::Slice && node.ahead == 0);
    if (!causal)
        return false;
    for (const Input &in : node.args)
        if (in.node >= 0 && later(m_hot[Sz(in.node)].k, node.lag) <= c)
            return false;
    node.from = std::min(node.k, m_last == kNever ? 0 : m_last + 1);
    node.dirty = node.from;
    node.before.resize(node.tails.size());
    for (Sz ch = 0; ch < node.tails.size(); ++ch) {
        node.before[ch].swap(node.tails[ch]);
        node.tails[ch].clear();
    }
    node.k = c + 1;
    return true;
}

// The first bar whose value may differ from the cut before's, given the first bar where its
// inputs do.
Sz Tails::recomputeFrom(Node &node, Sz c, Sz dirty)
{
    switch (node.kind) {
    case Node::Kind::Slice:
        if (node.backset)
            return backsetReach(node, dirty, c);
        return dirty > Sz(node.ahead) ? dirty - Sz(node.ahead) : 0;
    case Node::Kind::LastBar: // the cut before's newest bar is no longer the last
        return std::min(node.k, m_last == kNever ? 0 : m_last);
    case Node::Kind::PerBarBackset:
        return backsetReach(node, dirty, c);
    default:
        return dirty;
    }
}

// The node's values on [from, c] into node.fresh, its inputs spliced.
void Tails::computeFresh(Node &node, Sz from, Sz c)
{
    node.fresh.resize(node.tails.size());
    const Sz bars = c + 1 - from;
    switch (node.kind) {
    case Node::Kind::Operator:
        operatorByBar(node, from, c);
        return;
    case Node::Kind::Fused:
        return;
    case Node::Kind::Slice:
        if (node.lag > 0)
            shiftByBar(node, from, c);
        else if (node.backset)
            backsetByBar(node, from, c);
        else
            callOnSlice(node, from - std::min(from, Sz(node.back)), from, c);
        return;
    case Node::Kind::Resume:
        node.fresh.front() =
            node.entry && node.entry->resume
                ? node.entry->resume(sliceArgs(node, from, c), seedAt(node, from))
                : resumeFunction(node.name, sliceArgs(node, from, c), seedAt(node, from));
        m_work += qint64(bars);
        return;
    case Node::Kind::LastBar: {
        const Series &f = *node.full.front();
        node.fresh.front().assign(f.begin() + std::ptrdiff_t(from), f.begin() + std::ptrdiff_t(c));
        node.fresh.front().push_back(1.0);
        m_work += qint64(bars);
        return;
    }
    case Node::Kind::Drawing:
        drawingByBar(node, from, c);
        return;
    case Node::Kind::PerBarBack:
        if (node.window != Node::Window::None)
            windowByBar(node, from, c);
        else
            callOnSlice(node, perBarReach(node, from, c), from, c);
        return;
    case Node::Kind::PerBarBackset:
        backsetByBar(node, from, c);
        return;
    case Node::Kind::Zigzag:
        return; // computeZigzag
    }
}

// What a recursion goes on from at bar `from`: its own values before it, which this cut
// leaves as they were.
TailSeed Tails::seedAt(const Node &node, Sz from) const
{
    TailSeed seed;
    if (from == 0)
        return seed;
    const Series &f = *node.full.front();
    auto value = [&](Sz i) { return i < node.k ? f[i] : node.tails.front()[i - node.k]; };
    seed.previous = value(from - 1);
    Sz shown = kNever, held = kNever;
    for (Sz i = from; node.k < from && i-- > node.k && (shown == kNever || held == kNever);) {
        const double v = node.tails.front()[i - node.k];
        if (shown == kNever && !std::isnan(v))
            shown = i;
        if (held == kNever && !std::isnan(v) && v != 0)
            held = i;
    }
    const Sz whole = std::min(from, node.k);
    shown = shown == kNever ? latestOutside(node.unshown, whole) : shown;
    held = held == kNever ? latestOutside(node.unheld, whole) : held;
    seed.lastShown = shown == kNever ? kNaN : value(shown);
    seed.sinceHeld = held == kNever ? kNaN : double(from - held);
    return seed;
}

// node.fresh holds its values on [from, c]: keeps the cut before's there (what reads it at
// this cut may need them), finds the first that differs from them, and the tail from the
// first that differs from the whole history's.
void Tails::settle(Node &node, Sz from, Sz c)
{
    const Sz last = m_last == kNever ? 0 : m_last + 1; // bars the cut before had
    const Sz oldK = node.k;
    const Sz channels = node.tails.size();
    node.from = from;
    node.dirty = last;
    node.before.resize(channels);
    for (Sz ch = 0; ch < channels; ++ch) {
        const double *full = node.full[ch]->data();
        const double *tail = node.tails[ch].data();
        const double *now = node.fresh[ch].data();
        Series &was = node.before[ch];
        was.resize(last > from ? last - from : 0);
        for (Sz i = from; i < last; ++i) {
            const double v = i < oldK ? full[i] : tail[i - oldK];
            was[i - from] = v;
            if (i < node.dirty && !sameBits(v, now[i - from]))
                node.dirty = i;
        }
    }
    if (oldK < from) { // it still differs from the whole history's from there
        for (Sz ch = 0; ch < channels; ++ch) {
            node.tails[ch].resize(from - oldK);
            node.tails[ch].insert(node.tails[ch].end(), node.fresh[ch].begin(),
                                  node.fresh[ch].end());
        }
        return;
    }
    Sz k = c + 1; // the first bar where a channel differs
    for (Sz ch = 0; ch < channels; ++ch) {
        const double *full = node.full[ch]->data();
        const double *now = node.fresh[ch].data();
        Sz i = from;
        while (i < k && sameBits(now[i - from], full[i]))
            ++i;
        k = i;
    }
    node.k = k;
    for (Sz ch = 0; ch < channels; ++ch) {
        if (k == from)
            node.tails[ch].swap(node.fresh[ch]);
        else
            node.tails[ch].assign(node.fresh[ch].begin() + std::ptrdiff_t(k - from),
                                  node.fresh[ch].end());
    }
}

// BACKSET's values may change where the signals from the first bar its inputs changed set,
// this cut's or the cut before's. Before that bar, this cut's set all from the farthest back
// one reaches and so did the cut before's: where both reach, the bars are set either way.
Sz Tails::backsetReach(const Node &node, Sz dirty, Sz c)
{
    const Input &x = node.args[0], &n = node.args[node.count];
    Sz now = kNever, then = kNever;
    for (Sz i = dirty; i <= c; ++i) {
        now = std::min(now, backsetFrom(at(x, i), at(n, i), i));
        if (m_last != kNever && i <= m_last)
            then = std::min(then, backsetFrom(before(x, i), before(n, i), i));
    }
    m_work += qint64(c + 1 - dirty);
    const Sz reach = std::min(now, then);
    return reach >= dirty || now == then ? dirty : reach;
}

// The first bar a per-bar N on [changed, c] reads; 0 where one reaches before the first bar,
// or reads from it (N = 0), or goes on from the value before (REF's N < 0).
Sz Tails::perBarReach(const Node &node, Sz changed, Sz c)
{
    const Input &n = node.args[node.count];
    Sz from = changed;
    for (Sz i = changed; i <= c && from > 0; ++i) {
        const double count = safeCount(at(n, i));
        if (std::isnan(count) || (count < 0 && !node.offset))
            continue; // reads nothing
        if (count < 0 || (count == 0 && !node.offset))
            return 0;
        const double reach = double(i) + 1 - double(node.back) - count;
        from = reach <= 0 ? 0 : std::min(from, Sz(reach));
    }
    m_work += qint64(c + 1 - changed);
    return from;
}

// The node's function on its inputs' bars [sliceFrom, c], its values from `from` on.
void Tails::callOnSlice(Node &node, Sz sliceFrom, Sz from, Sz c)
{
    std::vector<Value> &args = sliceArgs(node, sliceFrom, c);
    static const Bars none;
    Series out;
    if (node.entry) {
        out = node.entry->fn(args, none);
    } else {
        Value v;
        callFunction(node.name, args, none, &v);
        out = std::move(v.v);
    }
    if (from == sliceFrom)
        node.fresh.front().swap(out);
    else
        node.fresh.front().assign(out.begin() + std::ptrdiff_t(from - sliceFrom), out.end());
    m_work += qint64(c + 1 - sliceFrom);
}

Sz Tails::changedFrom(Sz k) const
{
    const int n = m_outputs[k];
    return n < 0 ? kNever : m_nodes[Sz(n)]->k;
}

Sz Tails::dirtyFrom(Sz k) const
{
    const int n = m_outputs[k];
    return n < 0 ? kNever : m_nodes[Sz(n)]->dirty;
}

const double *Tails::tail(Sz k, Sz ch) const
{
    const Node &n = *m_nodes[Sz(m_outputs[k])];
    return ch < n.tails.size() ? n.tails[ch].data() : nullptr;
}

} // namespace morvane::formula::detail
