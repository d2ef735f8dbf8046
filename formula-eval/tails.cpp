#include "tails_p.h"

#include "functions/zigzag.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

using namespace Qt::StringLiterals;

namespace morvane::formula::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr Sz kNever = std::numeric_limits<Sz>::max();

bool sameBits(double a, double b)
{
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

// Where BACKSET's signal at bar i sets from: i − N + 1 (at least the first bar), or kNever.
Sz backsetFrom(double signal, double n, Sz i)
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

} // namespace

struct Tails::Input
{
    int node = -1;                // a node that may change; -1: never changes at any cut
    const Value *value = nullptr; // the whole history's values
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
        PerBarBackset
    };
    Kind kind = Kind::Operator;
    QString name;
    Operator op = Operator::Plus;
    qsizetype back = 0, ahead = 0;
    Sz count = 0;        // PerBar…: the argument holding N
    bool offset = false; // PerBarBack: REF's N (see TailRule)
    std::vector<Input> args;
    std::vector<const Series *> full; // per channel, the whole history's
    Sz k = kNever;                    // changed from, at the last cut
    std::vector<Series> tails;        // per channel, on [k, cut]
    // Resume: the latest bar before each with a value, and where it held, or kNever.
    std::vector<Sz> shownBefore, heldBefore;
    // PerBarBackset: the farthest back any signal from each bar on sets, over the whole
    // history (kNever: none).
    std::vector<Sz> setAfter;
    std::vector<Value> scratch; // its arguments' slices, kept for their buffers

    std::unique_ptr<Zig> zig;
};

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
        for (Sz a = 0; a < root->args.size(); ++a) {
            if (drawingArgumentUsed(line.drawing, qsizetype(a)) && root->args[a]) {
                node->args.push_back(compile(*root->args[a], int(line.statement), 0));
            } else {
                m_owned.push_back(constantValue(0, bars.size()));
                node->args.push_back({-1, &m_owned.back()});
            }
        }
        for (const Series &c : line.channels)
            node->full.push_back(&c);
        node->tails.resize(line.channels.size());
        m_outputs.back() = int(m_nodes.size());
        m_nodes.push_back(std::move(node));
    }
}

Tails::~Tails() = default;

void Tails::fail(FallbackWhy why, const QString &what)
{
    if (m_fallback.why == FallbackWhy::None)
        m_fallback = {why, what};
}

Tails::Input Tails::compile(const Expr &e, int stmt, int depth)
{
    const HeadEvaluator::Trace &trace = m_heads.trace();
    if (const auto kept = trace.kept.find(&e); kept != trace.kept.end())
        return {-1, &kept->second};
    if (const auto done = m_compiled.find(&e); done != m_compiled.end())
        return {done->second, &trace.values.at(&e)};
    if (const int shared = m_ev.repeated(&e); shared >= 0 && e.period.isEmpty()) {
        const auto by = trace.computedBy.find(shared);
        if (by != trace.computedBy.end() && by->second.first != &e) {
            const Input in = compile(*by->second.first, by->second.second, depth + 1);
            if (in.node >= 0)
                m_compiled.emplace(&e, in.node);
            return in;
        }
    }
    const auto recorded = trace.values.find(&e);
    if (recorded == trace.values.end() || m_fallback.why != FallbackWhy::None) {
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
        node->full.push_back(&recorded->second.v);
        node->tails.resize(1);
        in.node = int(m_nodes.size());
        m_nodes.push_back(std::move(node));
    } else {
        fail(FallbackWhy::Unbounded, e.text);
        return {};
    }
    in.value = &recorded->second;
    if (in.node >= 0)
        m_compiled.emplace(&e, in.node);
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
    auto node = std::make_unique<Node>();
    node->kind = Node::Kind::LastBar;
    node->full.push_back(&m_heads.trace().values.at(&e).v);
    node->tails.resize(1);
    m_nodes.push_back(std::move(node));
    return {int(m_nodes.size()) - 1, nullptr};
}

Tails::Input Tails::compileCall(const Expr &e, int stmt, int depth)
{
    const HeadEvaluator::Trace &trace = m_heads.trace();
    auto node = std::make_unique<Node>();
    node->name = e.text;
    node->full.push_back(&trace.values.at(&e).v);
    node->tails.resize(1);
    const bool drawing = isDrawingCall(e.text);
    std::vector<const Value *> whole;
    for (Sz a = 0; a < e.args.size(); ++a) {
        if (drawing && !drawingArgumentUsed(e.text, qsizetype(a))) {
            m_owned.push_back(constantValue(0, m_bars.size()));
            node->args.push_back({-1, &m_owned.back()});
        } else {
            node->args.push_back(compile(*e.args[a], stmt, depth + 1));
        }
        whole.push_back(node->args.back().value);
        if (m_fallback.why != FallbackWhy::None)
            return {};
    }
    if (drawing) {
        node->kind = Node::Kind::Drawing;
    } else if (e.args.empty() && e.text == u"ISLASTBAR") {
        node->kind = Node::Kind::LastBar;
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
            break;
        case TailRule::Kind::Resume:
            node->kind = Node::Kind::Resume;
            seedsOf(*node);
            break;
        case TailRule::Kind::Zigzag:
            node->kind = Node::Kind::Zigzag;
            node->zig = zigzagOf(*node, e.text);
            break;
        case TailRule::Kind::PerBarBack:
            node->kind = Node::Kind::PerBarBack;
            node->back = rule.back;
            node->count = Sz(rule.count);
            node->offset = rule.offset;
            break;
        case TailRule::Kind::PerBarBackset:
            node->kind = Node::Kind::PerBarBackset;
            node->count = Sz(rule.count);
            backsetsOf(*node);
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
    m_nodes.push_back(std::move(node));
    return {int(m_nodes.size()) - 1, nullptr};
}

// Where a resumed function's own values before any bar leave it: its latest value, and the
// latest bar where it held.
void Tails::seedsOf(Node &node)
{
    const Series &f = *node.full.front();
    node.shownBefore.resize(f.size() + 1);
    node.heldBefore.resize(f.size() + 1);
    Sz shown = kNever, held = kNever;
    for (Sz i = 0; i <= f.size(); ++i) {
        node.shownBefore[i] = shown;
        node.heldBefore[i] = held;
        if (i < f.size() && !std::isnan(f[i]))
            shown = i;
        if (i < f.size() && !std::isnan(f[i]) && f[i] != 0)
            held = i;
    }
}

void Tails::backsetsOf(Node &node)
{
    const Series &x = node.args[0].value->v, &n = node.args[node.count].value->v;
    node.setAfter.assign(x.size() + 1, kNever);
    for (Sz i = x.size(); i-- > 0;)
        node.setAfter[i] = std::min(node.setAfter[i + 1], backsetFrom(x[i], n[i], i));
}

// What a per-bar node is expected to compute again over every cut, from the whole
// history's N: at a cut ending at bar i, the bars its N there reads (or sets) back, and for
// BACKSET the bars a later signal set before it.
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
        if (backset && node.setAfter[i] <= i)
            cost += qint64(i + 1 - node.setAfter[i]);
    }
    return cost;
}

// The whole history's zigzag scan, its state kept after every bar.
std::unique_ptr<Tails::Zig> Tails::zigzagOf(const Node &node, const QString &name) const
{
    auto zig = std::make_unique<Zig>();
    zig->source = node.args[0];
    zig->values =
        zig->source.node >= 0 ? &node.args[0].value->v : &zigSource(*node.args[0].value, m_bars);
    zig->pct = node.args[1].value->v.empty() ? kNaN : node.args[1].value->v.front();
    zig->line = name == u"ZIG";
    zig->peak = name.startsWith(u"PEAK");
    zig->barsSince = name.endsWith(u"BARS");
    if (!std::isnan(zig->pct)) {
        ZigScan scan(zig->pct);
        const Series &x = *zig->values;
        zig->states.resize(x.size());
        for (Sz i = 0; i < x.size(); ++i) {
            scan.step(x, i, zig->turns);
            zig->states[i] = scan.state();
        }
    }
    zig->marksBefore.push_back(0);
    for (const Turn &t : zig->turns) {
        if (t.peak == zig->peak)
            zig->marks.push_back(t.bar);
        zig->marksBefore.push_back(zig->marks.size());
    }
    return zig;
}

double Tails::at(const Input &in, Sz i) const
{
    if (in.node < 0)
        return in.value->v[i];
    const Node &n = *m_nodes[Sz(in.node)];
    return i < n.k ? (*n.full.front())[i] : n.tails.front()[i - n.k];
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
    for (const std::unique_ptr<Node> &n : m_nodes) {
        compute(*n, c);
        trimSame(*n, c);
    }
}

void Tails::compute(Node &node, Sz c)
{
    Sz changed = c + 1; // where the inputs start to differ
    for (const Input &in : node.args)
        if (in.node >= 0)
            changed = std::min(changed, m_nodes[Sz(in.node)]->k);
    node.k = c + 1;
    switch (node.kind) {
    case Node::Kind::Operator:
        if (changed > c)
            return;
        node.k = changed;
        if (node.args.size() == 2) {
            std::vector<Value> &both = sliceArgs(node, changed, c);
            applyOperator(node.op, both[0].v.data(), both[1].v.data(), both[0].v.size());
            std::swap(node.tails.front(), both[0].v);
        } else {
            std::vector<Value> &one = sliceArgs(node, changed, c);
            applyOperator(node.op, one[0].v.data(), nullptr, one[0].v.size());
            std::swap(node.tails.front(), one[0].v);
        }
        m_work += qint64(c + 1 - changed);
        return;
    case Node::Kind::Slice: {
        const Sz ahead = Sz(node.ahead);
        node.k = changed > ahead ? changed - ahead : 0;
        if (node.k > c)
            return;
        callOnSlice(node, node.k - std::min(node.k, Sz(node.back)), c);
        return;
    }
    case Node::Kind::Resume: {
        if (changed > c)
            return;
        node.k = changed;
        const Series &f = *node.full.front();
        const Sz shown = node.shownBefore[changed], held = node.heldBefore[changed];
        TailSeed seed;
        seed.previous = changed > 0 ? f[changed - 1] : kNaN;
        seed.lastShown = shown == kNever ? kNaN : f[shown];
        seed.sinceHeld = held == kNever ? kNaN : double(changed - held);
        node.tails.front() = resumeFunction(node.name, sliceArgs(node, changed, c), seed);
        m_work += qint64(c + 1 - changed);
        return;
    }
    case Node::Kind::LastBar:
        node.k = c;
        node.tails.front().assign(1, 1.0);
        ++m_work;
        return;
    case Node::Kind::Drawing: {
        if (changed > c)
            return;
        node.k = changed;
        std::vector<Series> channels;
        drawingChannels(node.name, sliceArgs(node, changed, c), &channels);
        for (Sz ch = 0; ch < node.tails.size() && ch < channels.size(); ++ch)
            node.tails[ch] = std::move(channels[ch]);
        m_work += qint64(c + 1 - changed);
        return;
    }
    case Node::Kind::Zigzag:
        computeZigzag(node, c);
        return;
    case Node::Kind::PerBarBack:
    case Node::Kind::PerBarBackset:
        computePerBar(node, c, changed);
        return;
    }
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

// A per-bar window or offset changes where its inputs do and is computed again from what
// the cut's N reads; BACKSET changes from the farthest back a changed signal, the cut's or
// the whole history's, sets.
void Tails::computePerBar(Node &node, Sz c, Sz changed)
{
    Sz from = changed;
    if (node.kind == Node::Kind::PerBarBackset) {
        node.k = std::min(changed, node.setAfter[changed]);
        for (Sz i = changed; i <= c; ++i)
            node.k = std::min(node.k, backsetFrom(at(node.args[0], i), at(node.args[1], i), i));
        m_work += qint64(c + 1 - changed);
        from = node.k;
    } else {
        node.k = changed;
        if (changed <= c)
            from = perBarReach(node, changed, c);
    }
    if (node.k > c) {
        node.k = c + 1;
        return;
    }
    callOnSlice(node, from, c);
}

// The node's function on its inputs' bars [from, c], kept from its own k on.
void Tails::callOnSlice(Node &node, Sz from, Sz c)
{
    std::vector<Value> &args = sliceArgs(node, from, c);
    static const Bars none;
    Value out;
    callFunction(node.name, args, none, &out);
    node.tails.front().assign(out.v.begin() + std::ptrdiff_t(node.k - from), out.v.end());
    m_work += qint64(c + 1 - from);
}

void Tails::computeZigzag(Node &node, Sz c)
{
    Zig &z = *node.zig;
    if (std::isnan(z.pct))
        return; // nothing on any bar, on any history
    const Node *source = z.source.node >= 0 ? m_nodes[Sz(z.source.node)].get() : nullptr;
    const Sz from = std::min(c + 1, source ? source->k : c + 1);
    const Spliced x{z.values, source ? source->tails.front().data() : nullptr,
                    source ? source->k : kNever};
    // The whole history's scan as it stood before the bar the source changes from, then on.
    const ZigState state = from > 0 ? z.states[from - 1] : ZigState{};
    const Sz confirmed = state.turns;
    z.local.clear();
    if (confirmed > 0)
        z.local.push_back(z.turns[confirmed - 1]);
    ZigScan scan(z.pct, state);
    for (Sz i = from; i <= c; ++i)
        scan.step(x, i, z.local);
    scan.finish(x, c + 1, z.local);
    m_work += qint64(c + 2 - from);
    if (!z.line) {
        computeMarks(node, c, confirmed);
        return;
    }
    // Before the last turn confirmed by then, the line is the whole history's.
    node.k = confirmed > 0 ? z.turns[confirmed - 1].bar : 0;
    Series &out = node.tails.front();
    out.assign(c + 1 - node.k, kNaN);
    zigLine(x, z.local, 0, node.k, [&](Sz i, double v) { out[i - node.k] = v; });
    m_work += qint64(c + 1 - node.k);
}

void Tails::computeMarks(Node &node, Sz c, Sz confirmed)
{
    Zig &z = *node.zig;
    std::vector<Turn> &local = z.local;
    dropNewestEnd(local, c + 1);
    // The marks: the whole history's among its confirmed turns, then this cut's own.
    const Sz kept = z.marksBefore[confirmed];
    z.newMarks.clear();
    for (Sz t = confirmed > 0 ? 1 : 0; t < local.size(); ++t)
        if (local[t].peak == z.peak)
            z.newMarks.push_back(local[t].bar);
    const Input &m = node.args[2];
    const Sz mFrom = m.node >= 0 ? m_nodes[Sz(m.node)]->k : c + 1;
    node.k = std::min(confirmed > 0 ? z.turns[confirmed - 1].bar : 0, mFrom);
    const Node *source = z.source.node >= 0 ? m_nodes[Sz(z.source.node)].get() : nullptr;
    const Spliced x{z.values, source ? source->tails.front().data() : nullptr,
                    source ? source->k : kNever};
    auto mark = [&](Sz j) { return j < kept ? z.marks[j] : z.newMarks[j - kept]; };
    const Sz total = kept + z.newMarks.size();
    Sz seen = Sz(std::upper_bound(z.marks.begin(), z.marks.begin() + std::ptrdiff_t(kept), node.k) -
                 z.marks.begin());
    Series &out = node.tails.front();
    out.assign(c + 1 - node.k, kNaN);
    for (Sz i = node.k; i <= c; ++i) {
        while (seen < total && mark(seen) <= i)
            ++seen;
        const double count = safeCount(at(m, i));
        if (std::isnan(count) || count < 1 || count > double(seen))
            continue;
        const Sz b = mark(seen - Sz(count));
        out[i - node.k] = z.barsSince ? double(i - b) : x[b];
    }
    m_work += qint64(c + 1 - node.k);
}

// A tail's first bars that came out as the whole history's are no change: the node changes
// from the first that differs (bit for bit), and what reads it computes less.
void Tails::trimSame(Node &node, Sz c)
{
    if (node.k > c || node.tails.size() != 1)
        return;
    const Series &full = *node.full.front();
    Series &tail = node.tails.front();
    Sz same = 0;
    while (same < tail.size() && node.k + same <= c && sameBits(tail[same], full[node.k + same]))
        ++same;
    if (same == 0)
        return;
    tail.erase(tail.begin(), tail.begin() + std::ptrdiff_t(same));
    node.k += same;
}

Sz Tails::changedFrom(Sz k) const
{
    const int n = m_outputs[k];
    return n < 0 ? kNever : m_nodes[Sz(n)]->k;
}

const double *Tails::tail(Sz k, Sz ch) const
{
    const Node &n = *m_nodes[Sz(m_outputs[k])];
    return ch < n.tails.size() ? n.tails[ch].data() : nullptr;
}

} // namespace morvane::formula::detail
