#include "run_p.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

using namespace Qt::StringLiterals;

namespace morvane::formula::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

} // namespace

void Run::evaluateStatement(int j)
{
    std::optional<Value> &slot = m_memo[Sz(j)];
    slot.emplace(); // a self-reference reads as empty, not as a loop
    slot->missing << u"?"_s;
    const Statement &s = m_ev.program().statements[Sz(j)];
    Value v = s.value ? expr(*s.value, j, false) : missingValue(u"?"_s);
    *m_memo[Sz(j)] = std::move(v);
}

const Value &Run::statement(int j)
{
    if (!m_memo[Sz(j)])
        prepare(j);
    std::optional<Value> &slot = m_memo[Sz(j)];
    if (!slot)
        evaluateStatement(j);
    return *slot;
}

OutputLine Run::output(int j, bool *causal)
{
    bool ignored = false;
    bool &isCausal = causal ? *causal : ignored;
    isCausal = false;
    const Statement &s = m_ev.program().statements[Sz(j)];
    OutputLine line;
    line.statement = j;
    line.name = s.kind == StatementKind::Output ? s.name : QString();
    line.pos = s.pos;
    const Expr *root = s.value.get();
    if (root && root->kind == ExprKind::Call && root->period.isEmpty() &&
        isDrawingCall(root->text)) {
        line.drawing = root->text;
        std::vector<Value> args = drawingArgs(*root, j, &line.missing);
        if (line.missing.isEmpty()) {
            const CallResult r = drawingChannels(root->text, args, &line.channels);
            if (r != CallResult::Done)
                line.missing << root->text + u'/' + QString::number(args.size());
            else
                isCausal = settle(*root, j, args, causalCall(root->text, args));
        }
        return line;
    }
    const Value &v = statement(j);
    isCausal = v.ok() && v.causal;
    line.missing = v.missing;
    if (v.ok()) {
        if (v.isText)
            line.missing << u"'"_s + v.text + u"'"_s;
        else
            line.channels.push_back(v.v);
    }
    return line;
}

void Run::prepare(int root)
{
    std::vector<std::pair<int, bool>> stack{{root, false}};
    while (!stack.empty()) {
        const auto [j, expanded] = stack.back();
        stack.pop_back();
        if (m_memo[Sz(j)])
            continue;
        if (expanded) {
            if (j != root)
                evaluateStatement(j);
            continue;
        }
        stack.push_back({j, true});
        for (int d : m_ev.dependencies(j))
            if (!m_memo[Sz(d)] && !(m_reuse && m_reuse->causalStatement[Sz(d)]))
                stack.push_back({d, false});
    }
}

std::vector<Value> Run::drawingArgs(const Expr &call, int stmt, QStringList *missing)
{
    std::vector<Value> args;
    for (Sz k = 0; k < call.args.size(); ++k) {
        if (!drawingArgumentUsed(call.text, qsizetype(k))) {
            args.push_back(constantValue(0, m_bars.size()));
            continue;
        }
        args.push_back(expr(*call.args[k], stmt, false));
        merge(*missing, args.back().missing);
    }
    return args;
}

Value Run::name(const Expr &e, int stmt)
{
    const QString &n = e.text;
    const int def = m_ev.definition(n, stmt);
    if (def >= 0) {
        const Expr *v = m_ev.program().statements[Sz(def)].value.get();
        if (v && v->kind == ExprKind::Call && v->text.isEmpty())
            return parameterLine(n, *v);
        return statement(def);
    }
    Value v;
    if (namedSeries(n, m_bars, &v)) {
        v.causal = v.ok() && causalSeries(n);
        return v;
    }
    if (n.startsWith(u"COLOR"))
        return constantValue(0, m_bars.size());
    if (const Fact *f = stockFact(n, false))
        return assume(n, *f);
    const auto given = m_ev.options().params.constFind(n);
    if (given != m_ev.options().params.constEnd()) {
        m_params[n] = ParamUse{n, *given, false, {}};
        return constantValue(*given, m_bars.size());
    }
    if (isParameterName(n) && !isUnsupportedBuiltin(n)) {
        const double x = defaultParameter(n, m_ev.assumedOrder(n));
        m_params[n] = ParamUse{n, x, true, {}};
        return constantValue(x, m_bars.size());
    }
    return missingValue(n);
}

Value Run::assume(const QString &key, const Fact &f)
{
    const auto given = m_ev.options().params.constFind(key);
    const bool assumed = given == m_ev.options().params.constEnd();
    const double x = assumed ? f.value : *given;
    m_params[key] = ParamUse{key, x, assumed, QString::fromUtf16(f.meaning)};
    return constantValue(x, m_bars.size());
}

Value Run::parameterLine(const QString &n, const Expr &list)
{
    const auto given = m_ev.options().params.constFind(n);
    if (given != m_ev.options().params.constEnd()) {
        m_params[n] = ParamUse{n, *given, false, {}};
        return constantValue(*given, m_bars.size());
    }
    if (list.args.size() != 3 || list.args[2]->kind != ExprKind::Number)
        return missingValue(u"()"_s);
    const double x = list.args[2]->number;
    m_params[n] = ParamUse{n, x, false, {}};
    return constantValue(x, m_bars.size());
}

Value Run::call(const Expr &e, int stmt)
{
    std::vector<Value> args;
    QStringList missing;
    const bool drawing = isDrawingCall(e.text);
    if (drawing) {
        args = drawingArgs(e, stmt, &missing);
    } else {
        for (const ExprPtr &a : e.args) {
            args.push_back(expr(*a, stmt, false));
            merge(missing, args.back().missing);
        }
    }
    if (!missing.isEmpty()) {
        Value v;
        v.missing = missing;
        return v;
    }
    Value out;
    if (drawing) {
        std::vector<Series> channels;
        if (drawingChannels(e.text, args, &channels) == CallResult::Done && !channels.empty()) {
            out.v = std::move(channels.front());
            out.causal = settle(e, stmt, args, causalCall(e.text, args));
            return out;
        }
        return missingValue(e.text + u'/' + QString::number(args.size()));
    }
    if (const Fact *f = stockFact(e.text, true); f && args.size() == 1 && args[0].isText)
        return assume(e.text + u"('"_s + args[0].text + u"')"_s, *f);
    for (const Value &a : args)
        if (a.isText)
            return missingValue(e.text); // a text argument: another indicator, a stock code
    switch (callFunction(e.text, args, m_bars, &out)) {
    case CallResult::Done:
        out.causal = settle(e, stmt, args, causalCall(e.text, args));
        return out;
    case CallResult::BadArity:
        return missingValue(e.text + u'/' + QString::number(args.size()));
    case CallResult::NoData: {
        const double k = args.empty() || args[0].v.empty() ? kNaN : args[0].v.back();
        return missingValue(e.text + u'(' + QString::number(k) + u')');
    }
    case CallResult::Unknown:
        break;
    }
    return missingValue(e.text);
}

bool Run::settle(const Expr &e, int stmt, const std::vector<Value> &args, bool own)
{
    bool causal = own;
    for (const Value &a : args)
        causal = causal && a.causal;
    if (!causal && m_record)
        for (Sz k = 0; k < args.size() && k < e.args.size(); ++k)
            if (args[k].causal && args[k].ok() && e.args[k] &&
                (!isDrawingCall(e.text) || drawingArgumentUsed(e.text, qsizetype(k))))
                keep(*e.args[k], stmt, args[k]);
    return causal;
}

bool Run::settle(const Expr &e, int stmt, std::initializer_list<const Value *> operands)
{
    bool causal = true;
    for (const Value *a : operands)
        causal = causal && a->causal;
    if (!causal && m_record) {
        Sz k = 0;
        for (const Value *a : operands) {
            if (a->causal && a->ok())
                keep(*e.args[k], stmt, *a);
            ++k;
        }
    }
    return causal;
}

// One copy of each value however many arguments read it: a constant (N, the 1 of REF(X,1)) or
// a variable named in several places.
void Run::keep(const Expr &arg, int stmt, const Value &v)
{
    Trace &t = *m_record;
    if (t.kept.contains(&arg))
        return;
    const Value **shared = nullptr;
    auto bitsOf = [](double x) {
        std::uint64_t b = 0;
        std::memcpy(&b, &x, sizeof b);
        return b;
    };
    const std::uint64_t first = v.v.empty() ? 0 : bitsOf(v.v.front());
    if (v.constant && !v.isText && !v.v.empty() &&
        std::all_of(v.v.begin(), v.v.end(), [&](double x) { return bitsOf(x) == first; })) {
        shared = &t.keptConstants[first];
    } else if (arg.kind == ExprKind::Name && arg.period.isEmpty()) {
        if (const int def = m_ev.definition(arg.text, stmt); def >= 0)
            shared = &t.keptStatements[def];
        else
            shared = &t.keptNames[arg.text];
    }
    if (shared && *shared) {
        t.kept.emplace(&arg, *shared);
        return;
    }
    const Value *own = &t.keptValues.emplace_back(v);
    t.kept.emplace(&arg, own);
    if (shared)
        *shared = own;
}

std::optional<Operator> binaryOperator(const QString &op)
{
    static const std::pair<const char16_t *, Operator> names[] = {
        {u"+", Operator::Add},   {u"-", Operator::Sub},  {u"*", Operator::Mul},
        {u"/", Operator::Div},   {u">", Operator::Gt},   {u"<", Operator::Lt},
        {u">=", Operator::Ge},   {u"<=", Operator::Le},  {u"=", Operator::Eq},
        {u"==", Operator::Eq},   {u"<>", Operator::Ne},  {u"!=", Operator::Ne},
        {u"AND", Operator::And}, {u"&&", Operator::And}, {u"&", Operator::And},
        {u"OR", Operator::Or},   {u"||", Operator::Or},  {u"|", Operator::Or}};
    for (const auto &[name, o] : names)
        if (op == QStringView(name))
            return o;
    return std::nullopt;
}

std::optional<Operator> unaryOperator(const QString &op)
{
    if (op == u"-")
        return Operator::Negate;
    if (op == u"NOT" || op == u"!")
        return Operator::Not;
    if (op == u"+")
        return Operator::Plus;
    return std::nullopt;
}

namespace {

template <Operator Op> void each(double *x, const double *y, Sz n)
{
    for (Sz i = 0; i < n; ++i)
        x[i] = operate<Op>(x[i], y ? y[i] : 0.0);
}

} // namespace

void applyOperator(Operator op, double *x, const double *y, Sz n)
{
    switch (op) {
    case Operator::Add:
        return each<Operator::Add>(x, y, n);
    case Operator::Sub:
        return each<Operator::Sub>(x, y, n);
    case Operator::Mul:
        return each<Operator::Mul>(x, y, n);
    case Operator::Div:
        return each<Operator::Div>(x, y, n);
    case Operator::Gt:
        return each<Operator::Gt>(x, y, n);
    case Operator::Lt:
        return each<Operator::Lt>(x, y, n);
    case Operator::Ge:
        return each<Operator::Ge>(x, y, n);
    case Operator::Le:
        return each<Operator::Le>(x, y, n);
    case Operator::Eq:
        return each<Operator::Eq>(x, y, n);
    case Operator::Ne:
        return each<Operator::Ne>(x, y, n);
    case Operator::And:
        return each<Operator::And>(x, y, n);
    case Operator::Or:
        return each<Operator::Or>(x, y, n);
    case Operator::Negate:
        return each<Operator::Negate>(x, nullptr, n);
    case Operator::Not:
        return each<Operator::Not>(x, nullptr, n);
    case Operator::Plus:
        return;
    }
}

Value Run::binary(const Expr &e, int stmt)
{
    m_operand = true;
    Value a = expr(*e.args[0], stmt, false);
    m_operand = true;
    Value b = expr(*e.args[1], stmt, false);
    if (!a.ok() || !b.ok()) {
        merge(a.missing, b.missing);
        return a;
    }
    if (a.isText || b.isText)
        return missingValue(u"'"_s + (a.isText ? a.text : b.text) + u"'"_s);
    const std::optional<Operator> op = binaryOperator(e.text);
    if (!op)
        return missingValue(e.text);
    const bool causal = settle(e, stmt, {&a, &b});
    Value out; // into a's series: no allocation per operator
    out.constant = a.constant && b.constant;
    out.causal = causal;
    out.v = std::move(a.v);
    applyOperator(*op, out.v.data(), b.v.data(), out.v.size());
    return out;
}

Value Run::unary(const Expr &e, int stmt)
{
    m_operand = true;
    Value a = expr(*e.args[0], stmt, false);
    if (!a.ok())
        return a;
    if (a.isText)
        return missingValue(u"'"_s + a.text + u"'"_s);
    const std::optional<Operator> op = unaryOperator(e.text);
    if (!op)
        return missingValue(e.text);
    applyOperator(*op, a.v.data(), nullptr, a.v.size());
    return a;
}

Value Run::expr(const Expr &e, int stmt, bool ignorePeriod)
{
    const bool operand = std::exchange(m_operand, false) &&
                         (e.kind == ExprKind::Unary || e.kind == ExprKind::Binary) &&
                         e.period.isEmpty() && m_ev.repeated(&e) < 0;
    Value v = exprOnce(e, stmt, ignorePeriod);
    // What reads later bars, kept whole for the replay's tails; a variable's name and the
    // copies of a repeated call once, as their definition and first occurrence (each copy of
    // a long history costs its memory).
    // ISLASTBAR's are known without it (the tails make them).
    const bool lastBar = e.args.empty() && e.text == u"ISLASTBAR";
    if (m_record && v.ok() && !v.causal && !v.isText && !lastBar &&
        !m_record->values.contains(&e) && !recordedElsewhere(e, stmt)) {
        if (operand)
            m_record->operands.insert(&e);
        else
            m_record->values.try_emplace(&e, v);
    }
    return v;
}

bool Run::recordedElsewhere(const Expr &e, int stmt) const
{
    if (!e.period.isEmpty())
        return false;
    const Trace &t = *m_record;
    if (e.kind == ExprKind::Name) {
        const int def = m_ev.definition(e.text, stmt);
        const Expr *root = def >= 0 ? m_ev.program().statements[Sz(def)].value.get() : nullptr;
        return root && t.values.contains(root);
    }
    const int shared = m_ev.repeated(&e);
    const auto by = shared >= 0 ? t.computedBy.find(shared) : t.computedBy.end();
    return by != t.computedBy.end() && by->second.first != &e &&
           t.values.contains(by->second.first);
}

Value Run::exprOnce(const Expr &e, int stmt, bool ignorePeriod)
{
    if (m_reuse) {
        const auto kept = m_reuse->kept.find(&e);
        if (kept != m_reuse->kept.end())
            return head(*kept->second, size());
    }
    // A repeated call or operator is computed once; the copies wait for its other
    // occurrences, the last one takes the value itself.
    const int shared = e.period.isEmpty() ? m_ev.repeated(&e) : -1;
    if (shared >= 0) {
        Shared &slot = m_shared[shared];
        if (slot.left > 0) {
            if (--slot.left > 0)
                return slot.value;
            return std::move(slot.value);
        }
    }
    if (m_depth >= kMaxEvalDepth || stackUsed() > kStackBudget)
        return missingValue(QString::fromUtf16(kTooDeep));
    ++m_depth;
    Value v = exprAt(e, stmt, ignorePeriod);
    --m_depth;
    if (shared >= 0 && v.ok()) { // a missing one is found again: the depth may differ
        if (m_record)
            m_record->computedBy.try_emplace(shared, std::pair{&e, stmt});
        Shared &slot = m_shared[shared];
        slot.left = m_ev.occurrences(shared) - 1;
        slot.value = v;
    }
    return v;
}

Value Run::exprAt(const Expr &e, int stmt, bool ignorePeriod)
{
    if (!ignorePeriod && !e.period.isEmpty() &&
        (e.kind == ExprKind::Name || e.kind == ExprKind::Call))
        return inPeriod(e, stmt);
    switch (e.kind) {
    case ExprKind::Number:
        return constantValue(e.number, m_bars.size());
    case ExprKind::String: {
        if (e.doubleQuoted) // "KDJ.K#WEEK": another indicator
            return missingValue(u'"' + e.text + e.period + u'"');
        Value v;
        v.isText = true;
        v.causal = true;
        v.text = e.text;
        return v;
    }
    case ExprKind::Name:
        return name(e, stmt);
    case ExprKind::Call:
        return call(e, stmt);
    case ExprKind::Unary:
        if (e.args.size() == 1)
            return unary(e, stmt);
        break;
    case ExprKind::Binary:
        if (e.args.size() == 2)
            return binary(e, stmt);
        break;
    case ExprKind::Error:
        break;
    }
    return missingValue(u"?"_s);
}

} // namespace morvane::formula::detail
