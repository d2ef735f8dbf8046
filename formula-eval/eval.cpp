#include "eval.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

using Sz = std::size_t;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool isParameterName(const QString &name)
{
    // Charting software declares parameters with short ASCII names (N, M1, P2, SHORT);
    // longer undefined names are more likely functions this evaluator lacks.
    if (name.isEmpty() || name.size() > 5 || !name[0].isLetter())
        return false;
    return std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_';
    });
}

// Zero-argument names of the language this evaluator cannot compute: never parameters.
bool isUnsupportedBuiltin(const QString &name)
{
    static const QStringList names = {
        u"TIME"_s,    u"PERIOD"_s,  u"FROMOPEN"_s, u"VOLINSTK"_s,     u"OPENINT"_s,   u"QHLSR"_s,
        u"INDEXC"_s,  u"INDEXO"_s,  u"INDEXH"_s,   u"INDEXL"_s,       u"INDEXV"_s,    u"INDEXA"_s,
        u"WINNER"_s,  u"COST"_s,    u"ADVANCE"_s,  u"DECLINE"_s,      u"BUYVOL"_s,    u"SELLVOL"_s,
        u"HYBLOCK"_s, u"DYBLOCK"_s, u"GNBLOCK"_s,  u"TOTALCAPITAL"_s, u"SETTLEMENT"_s};
    return names.contains(name);
}

// Chart and stock facts no bar carries, with the value the replay assumes and what it
// means: PERIOD 5 is a daily chart (0…11: 1/5/15/30/60 minutes, day, week, month…),
// SETCODE 0 Shenzhen (1 Shanghai), NAMELIKE(S) whether the name starts with S, NAMEINCLUDE(S)
// whether it holds S, CODELIKE(S) whether the code starts with S, INBLOCK(S) whether the
// stock is in block S, TOTALFZNUM the minutes of a trading day (240 on the A-share market).
struct Fact
{
    const char16_t *name;
    bool takesText; // NAMELIKE('ST'); else a name alone
    double value;
    const char16_t *meaning;
};

const Fact *stockFact(const QString &name, bool takesText)
{
    static const Fact facts[] = {{u"PERIOD", false, 5, u"日线"},
                                 {u"SETCODE", false, 0, u"深圳"},
                                 {u"NAMELIKE", true, 0, u"名称不以此开头"},
                                 {u"NAMEINCLUDE", true, 0, u"名称不含此文字"},
                                 {u"CODELIKE", true, 0, u"代码不以此开头"},
                                 {u"TOTALFZNUM", false, 240, u"A股每日交易分钟数"},
                                 {u"INBLOCK", true, 0, u"不属于此板块"}};
    for (const Fact &f : facts)
        if (f.takesText == takesText && name == QStringView(f.name))
            return &f;
    return nullptr;
}

} // namespace

std::optional<int> periodKey(const QString &period, const QDate &d)
{
    if (period == u"#WEEK") {
        int year = 0;
        const int week = d.weekNumber(&year);
        return year * 100 + week;
    }
    if (period == u"#MONTH")
        return d.year() * 100 + d.month();
    if (period == u"#SEASON")
        return d.year() * 10 + (d.month() - 1) / 3;
    if (period == u"#YEAR")
        return d.year();
    return std::nullopt;
}

namespace {

// Each day's period key; a head's keys are the first ones of the whole history's.
std::vector<int> periodKeys(const Bars &days, const QString &period)
{
    std::vector<int> keys(days.dates.size());
    for (Sz i = 0; i < keys.size(); ++i)
        keys[i] = periodKey(period, days.dates[i]).value_or(std::numeric_limits<int>::min());
    return keys;
}

// Bars of a longer period as they stand with days [from, to): the newest one is still
// forming. index maps each of those days to its period bar.
Bars aggregate(const Bars &days, const std::vector<int> &keys, Sz from, Sz to,
               std::vector<Sz> *index)
{
    Bars out;
    index->clear();
    // How each extra column folds, decided once rather than by name at every day.
    enum class Fold
    {
        High,
        Low,
        Sum,
        First,
        Newest // closes and latest-data values
    };
    struct Column
    {
        const std::vector<double> *in;
        std::vector<double> *out;
        Fold fold;
    };
    std::vector<Column> columns;
    for (const auto &[name, values] : days.extra) {
        const Fold fold = name == u"INDEXH"                        ? Fold::High
                          : name == u"INDEXL"                      ? Fold::Low
                          : name == u"INDEXV" || name == u"INDEXA" ? Fold::Sum
                          : name == u"INDEXO"                      ? Fold::First
                                                                   : Fold::Newest;
        columns.push_back({&values, &out.extra[name], fold});
    }
    std::optional<int> key;
    for (Sz i = from; i < to; ++i) {
        const int k = keys[i];
        if (!key || k != *key) {
            key = k;
            out.dates.push_back(days.dates[i]);
            out.open.push_back(days.open[i]);
            out.high.push_back(days.high[i]);
            out.low.push_back(days.low[i]);
            out.close.push_back(days.close[i]);
            out.volume.push_back(days.volume[i]);
            out.amount.push_back(days.amount[i]);
            for (const Column &c : columns)
                c.out->push_back((*c.in)[i]);
        } else {
            out.dates.back() = days.dates[i];
            out.high.back() = std::max(out.high.back(), days.high[i]);
            out.low.back() = std::min(out.low.back(), days.low[i]);
            out.close.back() = days.close[i];
            out.volume.back() += days.volume[i];
            out.amount.back() += days.amount[i];
            for (const Column &c : columns) {
                double &v = c.out->back();
                const double x = (*c.in)[i];
                switch (c.fold) {
                case Fold::High:
                    v = std::max(v, x);
                    break;
                case Fold::Low:
                    v = std::min(v, x);
                    break;
                case Fold::Sum:
                    v += x;
                    break;
                case Fold::First:
                    break;
                case Fold::Newest:
                    v = x;
                    break;
                }
            }
        }
        index->push_back(out.dates.size() - 1);
    }
    return out;
}

void merge(QStringList &into, const QStringList &from)
{
    for (const QString &m : from)
        if (!into.contains(m))
            into << m;
}

Value head(const Value &v, Sz count)
{
    Value out;
    out.constant = v.constant;
    out.causal = v.causal;
    out.isText = v.isText;
    out.text = v.text;
    out.missing = v.missing;
    out.v.assign(v.v.begin(), v.v.begin() + std::ptrdiff_t(std::min(count, v.v.size())));
    return out;
}

} // namespace

// What the whole history's run leaves for the runs on its heads: the causal values that a
// node which is not causal reads (a head takes them truncated), and which statements are
// causal throughout.
struct HeadEvaluator::Trace
{
    std::unordered_map<const Expr *, Value> kept;
    std::vector<bool> causalStatement;
    // "#WEEK"…: each day's key, and the period bars of the whole history with each day's bar.
    struct Period
    {
        std::vector<int> keys;
        Bars bars;
        std::vector<std::size_t> index;
    };
    std::map<QString, Period> periods;
};

namespace {

// One evaluation over one set of bars; statements are evaluated when first needed, so a
// variable no output uses costs nothing and cannot fail anything. With `record`, it notes
// what a head of these bars may take from it; with `reuse`, it is such a head and takes it.
class Run
{
public:
    using Trace = HeadEvaluator::Trace;

    Run(const Evaluator &ev, const Bars &bars, std::map<QString, ParamUse> &params,
        std::set<QString> &periods, Trace *record = nullptr, const Trace *reuse = nullptr)
        : m_ev(ev), m_bars(bars), m_params(params), m_periods(periods),
          m_memo(ev.program().statements.size()), m_record(record), m_reuse(reuse)
    {
    }

    // Whether statement j was evaluated and is causal.
    bool causalStatement(int j) const
    {
        const std::optional<Value> &slot = m_memo[Sz(j)];
        return slot && slot->ok() && slot->causal;
    }

    const Value &statement(int j)
    {
        if (!m_memo[Sz(j)])
            prepare(j);
        std::optional<Value> &slot = m_memo[Sz(j)];
        if (!slot)
            evaluateStatement(j);
        return *slot;
    }

    OutputLine output(int j, bool *causal = nullptr)
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
                    isCausal = settle(*root, args, causalCall(root->text, args));
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

private:
    Sz size() const { return Sz(m_bars.size()); }

    void evaluateStatement(int j)
    {
        std::optional<Value> &slot = m_memo[Sz(j)];
        slot.emplace(); // a self-reference reads as empty, not as a loop
        slot->missing << u"?"_s;
        const Statement &s = m_ev.program().statements[Sz(j)];
        Value v = s.value ? expr(*s.value, j, false) : missingValue(u"?"_s);
        *m_memo[Sz(j)] = std::move(v);
    }

    // Evaluates what statement root reads, deepest first, with a stack of our own: by the
    // time a statement runs, every variable it names is ready and costs no recursion.
    void prepare(int root)
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

    std::vector<Value> drawingArgs(const Expr &call, int stmt, QStringList *missing)
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

    Value name(const Expr &e, int stmt)
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

    // A stock fact as the replay assumes it, listed with the parameters; a given value wins.
    Value assume(const QString &key, const Fact &f)
    {
        const auto given = m_ev.options().params.constFind(key);
        const bool assumed = given == m_ev.options().params.constEnd();
        const double x = assumed ? f.value : *given;
        m_params[key] = ParamUse{key, x, assumed, QString::fromUtf16(f.meaning)};
        return constantValue(x, m_bars.size());
    }

    // NAME:=(MIN,MAX,DEFAULT): a parameter declared in the text; a given value wins.
    Value parameterLine(const QString &n, const Expr &list)
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

    Value call(const Expr &e, int stmt)
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
                out.causal = settle(e, args, causalCall(e.text, args));
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
            out.causal = settle(e, args, causalCall(e.text, args));
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

    // Whether call e is causal: the function is (`own`) and every argument it read. When it
    // is not, the whole history's run keeps the causal arguments for the heads.
    bool settle(const Expr &e, const std::vector<Value> &args, bool own)
    {
        bool causal = own;
        for (const Value &a : args)
            causal = causal && a.causal;
        if (!causal && m_record)
            for (Sz k = 0; k < args.size() && k < e.args.size(); ++k)
                if (args[k].causal && args[k].ok() && e.args[k] &&
                    (!isDrawingCall(e.text) || drawingArgumentUsed(e.text, qsizetype(k))))
                    m_record->kept.try_emplace(e.args[k].get(), args[k]);
        return causal;
    }

    bool settle(const Expr &e, std::initializer_list<const Value *> operands)
    {
        bool causal = true;
        for (const Value *a : operands)
            causal = causal && a->causal;
        if (!causal && m_record) {
            Sz k = 0;
            for (const Value *a : operands) {
                if (a->causal && a->ok())
                    m_record->kept.try_emplace(e.args[k].get(), *a);
                ++k;
            }
        }
        return causal;
    }

    Value binary(const Expr &e, int stmt)
    {
        Value a = expr(*e.args[0], stmt, false);
        Value b = expr(*e.args[1], stmt, false);
        if (!a.ok() || !b.ok()) {
            merge(a.missing, b.missing);
            return a;
        }
        if (a.isText || b.isText)
            return missingValue(u"'"_s + (a.isText ? a.text : b.text) + u"'"_s);
        const QString &op = e.text;
        const bool causal = settle(e, {&a, &b});
        auto apply = [&](auto f) { // into a's series: no allocation per operator
            Value out;
            out.constant = a.constant && b.constant;
            out.causal = causal;
            out.v = std::move(a.v);
            double *x = out.v.data();
            const double *y = b.v.data();
            for (Sz i = 0; i < out.v.size(); ++i)
                x[i] = std::isnan(x[i]) || std::isnan(y[i]) ? kNaN : f(x[i], y[i]);
            return out;
        };
        auto flag = [](bool t) { return t ? 1.0 : 0.0; };
        if (op == u"+")
            return apply([](double x, double y) { return x + y; });
        if (op == u"-")
            return apply([](double x, double y) { return x - y; });
        if (op == u"*")
            return apply([](double x, double y) { return x * y; });
        if (op == u"/") // division by zero gives 0, as on the chart
            return apply([](double x, double y) { return y != 0 ? x / y : 0.0; });
        if (op == u">")
            return apply([&](double x, double y) { return flag(x > y); });
        if (op == u"<")
            return apply([&](double x, double y) { return flag(x < y); });
        if (op == u">=")
            return apply([&](double x, double y) { return flag(x >= y); });
        if (op == u"<=")
            return apply([&](double x, double y) { return flag(x <= y); });
        if (op == u"=" || op == u"==")
            return apply([&](double x, double y) { return flag(x == y); });
        if (op == u"<>" || op == u"!=")
            return apply([&](double x, double y) { return flag(x != y); });
        if (op == u"AND" || op == u"&&" || op == u"&")
            return apply([&](double x, double y) { return flag(x != 0 && y != 0); });
        if (op == u"OR" || op == u"||" || op == u"|")
            return apply([&](double x, double y) { return flag(x != 0 || y != 0); });
        return missingValue(op);
    }

    Value unary(const Expr &e, int stmt)
    {
        Value a = expr(*e.args[0], stmt, false);
        if (!a.ok())
            return a;
        if (a.isText)
            return missingValue(u"'"_s + a.text + u"'"_s);
        if (e.text == u"-") {
            for (double &x : a.v)
                x = -x;
        } else if (e.text == u"NOT" || e.text == u"!") {
            for (double &x : a.v)
                x = std::isnan(x) ? kNaN : x == 0 ? 1.0 : 0.0;
        } else if (e.text != u"+") {
            return missingValue(e.text);
        }
        return a;
    }

    // A head's period bars: the whole history's that its days complete, then the one its
    // newest day is in, folded from its days so far.
    void headOfPeriods(const Trace::Period &full, Bars *bars, std::vector<Sz> *index) const
    {
        const Sz n = size(), last = full.index[n - 1];
        Sz start = n - 1;
        while (start > 0 && full.index[start - 1] == last)
            --start;
        *bars = full.bars.head(qsizetype(last));
        std::vector<Sz> ignored;
        const Bars forming = aggregate(m_bars, full.keys, start, n, &ignored);
        Bars &b = *bars;
        b.dates.push_back(forming.dates.front());
        b.open.push_back(forming.open.front());
        b.high.push_back(forming.high.front());
        b.low.push_back(forming.low.front());
        b.close.push_back(forming.close.front());
        b.volume.push_back(forming.volume.front());
        b.amount.push_back(forming.amount.front());
        for (const auto &[name, values] : forming.extra)
            b.extra[name].push_back(values.front());
        index->assign(full.index.begin(), full.index.begin() + std::ptrdiff_t(n));
    }

    // NAME#WEEK, CALL(...)#MONTH: evaluated on the longer period's bars, each day reading
    // its period as it stands with the days there are.
    Value inPeriod(const Expr &e, int stmt)
    {
        const QString period = e.period.toUpper();
        if (period == u"#DAY")
            return expr(e, stmt, true);
        if (!periodKey(period, QDate(2000, 1, 1)))
            return missingValue(period);
        m_periods.insert(period);
        auto &sub = m_sub[period];
        if (!sub) {
            sub = std::make_unique<Sub>();
            const Trace::Period *full = nullptr;
            if (m_reuse && size() > 0) {
                const auto known = m_reuse->periods.find(period);
                if (known != m_reuse->periods.end() && known->second.index.size() >= size())
                    full = &known->second;
            }
            if (full) {
                headOfPeriods(*full, &sub->bars, &sub->index);
            } else {
                const std::vector<int> keys = periodKeys(m_bars, period);
                sub->bars = aggregate(m_bars, keys, 0, size(), &sub->index);
                if (m_record)
                    m_record->periods.try_emplace(period,
                                                  Trace::Period{keys, sub->bars, sub->index});
            }
            sub->run = std::make_unique<Run>(m_ev, sub->bars, m_params, m_periods);
        }
        sub->run->m_depth = m_depth; // one bound across the periods' runs
        sub->run->m_stackBase = m_stackBase;
        Value p = sub->run->expr(e, stmt, true);
        p.causal = false; // the newest period bar is still forming
        if (!p.ok() || p.isText)
            return p;
        Value out;
        out.v.resize(size());
        for (Sz i = 0; i < size(); ++i)
            out.v[i] = p.v[sub->index[i]];
        return out;
    }

public:
    Value expr(const Expr &e, int stmt, bool ignorePeriod)
    {
        if (m_reuse) {
            const auto kept = m_reuse->kept.find(&e);
            if (kept != m_reuse->kept.end())
                return head(kept->second, size());
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
            Shared &slot = m_shared[shared];
            slot.left = m_ev.occurrences(shared) - 1;
            slot.value = v;
        }
        return v;
    }

private:
    Value exprAt(const Expr &e, int stmt, bool ignorePeriod)
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

private:
    struct Sub
    {
        Bars bars;
        std::vector<Sz> index;
        std::unique_ptr<Run> run;
    };

    const Evaluator &m_ev;
    const Bars &m_bars;
    std::map<QString, ParamUse> &m_params;
    std::set<QString> &m_periods;
    std::vector<std::optional<Value>> m_memo;
    struct Shared
    {
        Value value;
        int left = 0; // occurrences still to come
    };

    std::map<QString, std::unique_ptr<Sub>> m_sub;
    std::unordered_map<int, Shared> m_shared;
    int m_depth = 0;
    std::uintptr_t m_stackBase = stackHere(); // a sub-run takes its parent's

    // A frame's size depends on the build (a sanitizer's are several times larger), so the
    // stack the nesting has taken is bounded too, well inside any thread's.
    static constexpr std::uintptr_t kStackBudget = 3u << 20;
    static std::uintptr_t stackHere()
    {
        volatile char probe = 0;
        return reinterpret_cast<std::uintptr_t>(&probe);
    }
    std::uintptr_t stackUsed() const
    {
        const std::uintptr_t here = stackHere();
        return here < m_stackBase ? m_stackBase - here : here - m_stackBase;
    }
    Trace *m_record;
    const Trace *m_reuse;
};

} // namespace

double defaultParameter(const QString &name, int order)
{
    if (name == u"SHORT")
        return 12;
    if (name == u"LONG")
        return 26;
    if (name == u"MID")
        return 9;
    static constexpr double kPeriods[] = {5, 10, 20, 60, 120, 250};
    constexpr int kCount = int(std::size(kPeriods));
    return order < kCount ? kPeriods[order] : 250 + 10.0 * (order - kCount + 1);
}

Evaluator::Evaluator(const Program &program, EvalOptions options)
    : m_program(program), m_options(std::move(options))
{
#ifdef __GLIBC__
    // Every node makes series of 8 bytes a bar and frees them again. glibc gives a free top
    // of the heap past 128 KiB back to the system, and the next node faults it in anew:
    // on 10,000 bars that cost more than the arithmetic (bench_replay). Keep up to 32 MiB.
    static const bool heapKept = mallopt(M_TRIM_THRESHOLD, 32 << 20) != 0;
    Q_UNUSED(heapKept);
#endif
    for (Sz j = 0; j < program.statements.size(); ++j) {
        const Statement &s = program.statements[j];
        if (s.kind != StatementKind::Expression && !s.name.isEmpty())
            m_definitions[s.name].push_back(int(j));
    }
    m_dependencies.resize(program.statements.size());
    std::vector<std::pair<qsizetype, const QString *>> undeclared; // names read undefined
    std::vector<const Expr *> stack;
    for (Sz j = 0; j < program.statements.size(); ++j) {
        if (program.statements[j].value)
            stack.push_back(program.statements[j].value.get());
        while (!stack.empty()) {
            const Expr *e = stack.back();
            stack.pop_back();
            if (!e->period.isEmpty() && (e->kind == ExprKind::Name || e->kind == ExprKind::Call))
                continue; // read on the longer period's bars, by a run of its own
            if (e->kind == ExprKind::Name) {
                const int def = definition(e->text, int(j));
                const Expr *v = def >= 0 ? program.statements[Sz(def)].value.get() : nullptr;
                if (v && !(v->kind == ExprKind::Call && v->text.isEmpty()))
                    m_dependencies[j].push_back(def);
                if (def < 0)
                    undeclared.push_back({e->pos.offset, &e->text});
            }
            for (const ExprPtr &a : e->args)
                if (a)
                    stack.push_back(a.get());
        }
    }
    // The parameters the text uses but never declares, in the order a reader meets them.
    std::sort(undeclared.begin(), undeclared.end());
    Value probe;
    for (const auto &[offset, name] : undeclared) {
        if (m_assumedOrder.contains(*name) || !isParameterName(*name) ||
            isUnsupportedBuiltin(*name) || name->startsWith(u"COLOR") || stockFact(*name, false) ||
            namedSeries(*name, Bars{}, &probe))
            continue;
        m_assumedOrder.insert(*name, int(m_assumedOrder.size()));
    }
    numberRepeated();
}

// Hash-consing: each node's key is its kind, text, number and period, what a name resolves
// to and its children's keys; nodes with one key compute one value on any bars.
void Evaluator::numberRepeated()
{
    QHash<QString, int> keys;
    std::unordered_map<const Expr *, int> key;
    std::vector<int> count;
    std::vector<std::pair<const Expr *, int>> found; // worth sharing: calls and operators
    for (Sz j = 0; j < m_program.statements.size(); ++j) {
        const Expr *root = m_program.statements[j].value.get();
        if (!root)
            continue;
        std::vector<std::pair<const Expr *, bool>> stack{{root, false}};
        while (!stack.empty()) { // children first, without recursion
            const auto [e, expanded] = stack.back();
            stack.pop_back();
            if (!expanded) {
                stack.push_back({e, true});
                for (const ExprPtr &a : e->args)
                    if (a)
                        stack.push_back({a.get(), false});
                continue;
            }
            QString k = QString::number(int(e->kind)) + u'|' + e->text + u'|' + e->period + u'|' +
                        QString::number(e->number, 'g', 17) + (e->doubleQuoted ? u'"' : u' ');
            if (e->kind == ExprKind::Name)
                k += u'@' + QString::number(definition(e->text, int(j)));
            for (const ExprPtr &a : e->args)
                k += u',' + (a ? QString::number(key[a.get()]) : u"-"_s);
            const auto known = keys.constFind(k);
            const int id = known != keys.constEnd() ? *known : int(count.size());
            if (known == keys.constEnd()) {
                keys.insert(k, id);
                count.push_back(0);
            }
            ++count[Sz(id)];
            key[e] = id;
            if (e->kind == ExprKind::Call || e->kind == ExprKind::Unary ||
                e->kind == ExprKind::Binary)
                found.emplace_back(e, id);
        }
    }
    std::unordered_map<int, int> renumbered;
    for (const auto &[e, k] : found) {
        if (count[Sz(k)] < 2)
            continue;
        const auto [it, added] = renumbered.try_emplace(k, int(m_occurrences.size()));
        if (added)
            m_occurrences.push_back(count[Sz(k)]);
        m_repeated[e] = it->second;
    }
}

int Evaluator::definition(const QString &name, int before) const
{
    const auto it = m_definitions.constFind(name);
    if (it == m_definitions.constEnd())
        return -1;
    const auto pos = std::lower_bound(it->begin(), it->end(), before);
    return pos == it->begin() ? -1 : *(pos - 1);
}

Evaluation Evaluator::run(const Bars &bars) const
{
    std::map<QString, ParamUse> params;
    std::set<QString> periods;
    Run run(*this, bars, params, periods);
    Evaluation ev;
    for (Sz j = 0; j < m_program.statements.size(); ++j)
        if (m_program.statements[j].kind != StatementKind::Variable)
            ev.outputs.push_back(run.output(int(j)));
    for (auto &[name, use] : params)
        ev.params.push_back(use);
    for (const QString &p : periods)
        ev.periods << p;
    return ev;
}

} // namespace morvane::formula

namespace morvane::formula {

HeadEvaluator::HeadEvaluator(const Evaluator &evaluator, const Bars &bars)
    : m_evaluator(evaluator), m_bars(bars), m_trace(std::make_unique<Trace>())
{
    std::map<QString, ParamUse> params;
    std::set<QString> periods;
    const Program &program = evaluator.program();
    Run run(evaluator, bars, params, periods, m_trace.get());
    for (Sz j = 0; j < program.statements.size(); ++j) {
        if (program.statements[j].kind == StatementKind::Variable)
            continue;
        bool causal = false;
        m_full.outputs.push_back(run.output(int(j), &causal));
        m_causal.push_back(causal);
    }
    for (auto &[name, use] : params)
        m_full.params.push_back(use);
    for (const QString &p : periods)
        m_full.periods << p;
    m_trace->causalStatement.resize(program.statements.size());
    for (Sz j = 0; j < program.statements.size(); ++j)
        m_trace->causalStatement[j] = run.causalStatement(int(j));
}

HeadEvaluator::~HeadEvaluator() = default;

Evaluation HeadEvaluator::head(qsizetype count, bool causalToo) const
{
    // The head's own run, only when an output needs one.
    std::optional<Bars> bars;
    std::map<QString, ParamUse> params;
    std::set<QString> periods;
    std::optional<Run> run;
    Evaluation ev;
    for (Sz k = 0; k < m_full.outputs.size(); ++k) {
        const OutputLine &full = m_full.outputs[k];
        if (!m_causal[k]) {
            if (!run)
                run.emplace(m_evaluator, bars.emplace(m_bars.head(count)), params, periods, nullptr,
                            m_trace.get());
            ev.outputs.push_back(run->output(int(full.statement)));
            continue;
        }
        OutputLine line;
        line.statement = full.statement;
        line.name = full.name;
        line.drawing = full.drawing;
        line.pos = full.pos;
        line.missing = full.missing;
        if (causalToo)
            for (const Series &c : full.channels)
                line.channels.emplace_back(
                    c.begin(), c.begin() + std::ptrdiff_t(std::min(c.size(), Sz(count))));
        ev.outputs.push_back(std::move(line));
    }
    ev.params = m_full.params;
    ev.periods = m_full.periods;
    return ev;
}

} // namespace morvane::formula
