#pragma once

// The evaluator's inside, shared by its files: one run over one set of bars, and what the
// whole history's run keeps for the runs on its heads.

#include "eval.h"

#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

namespace morvane::formula {

// What the whole history's run leaves for the runs on its heads: the causal values that a
// node which is not causal reads (a head takes them truncated), and which statements are
// causal throughout.
struct HeadEvaluator::Trace
{
    std::unordered_map<const Expr *, const Value *> kept;
    std::deque<Value> keptValues; // what kept points into, each value once
    std::unordered_map<std::uint64_t, const Value *> keptConstants; // by the constant's bits
    std::unordered_map<int, const Value *> keptStatements;          // a variable's, by statement
    std::map<QString, const Value *> keptNames; // a price's (H, C…), the same wherever named
    // Operators read only by the operator they stand in, never kept: the replay computes
    // them inside it.
    std::unordered_set<const Expr *> operands;
    // Every node that reads a later bar, with its whole history's values: what a tail splices
    // its recomputed newest bars onto.
    std::unordered_map<const Expr *, Value> values;
    // A repeated call or operator: the occurrence that was computed (the others' arguments
    // were never evaluated).
    std::unordered_map<int, std::pair<const Expr *, int>> computedBy; // with its statement
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

namespace detail {

using Sz = std::size_t;

bool isParameterName(const QString &name);
// Zero-argument names of the language this evaluator cannot compute: never parameters.
bool isUnsupportedBuiltin(const QString &name);

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

const Fact *stockFact(const QString &name, bool takesText);
void merge(QStringList &into, const QStringList &from);
// The first count values of v.
Value head(const Value &v, Sz count);

// The operators, decided once from their text and applied over a stretch of bars (into x):
// the runs and the replay's tails share them, so both give the same bits.
enum class Operator
{
    Add,
    Sub,
    Mul,
    Div,
    Gt,
    Lt,
    Ge,
    Le,
    Eq,
    Ne,
    And,
    Or,
    Negate,
    Not,
    Plus
};
std::optional<Operator> binaryOperator(const QString &op);
std::optional<Operator> unaryOperator(const QString &op);
void applyOperator(Operator op, double *x, const double *y, Sz n);

// One operator on one bar's values (b unread for a unary one): what applyOperator does at
// each bar, for the tails' few bars at a time.
template <Operator Op> inline double operate(double a, double b)
{
    if constexpr (Op == Operator::Negate)
        return -a;
    else if constexpr (Op == Operator::Plus)
        return a;
    else if constexpr (Op == Operator::Not)
        return std::isnan(a) ? std::numeric_limits<double>::quiet_NaN() : a == 0 ? 1.0 : 0.0;
    else if (std::isnan(a) || std::isnan(b))
        return std::numeric_limits<double>::quiet_NaN();
    else if constexpr (Op == Operator::Add)
        return a + b;
    else if constexpr (Op == Operator::Sub)
        return a - b;
    else if constexpr (Op == Operator::Mul)
        return a * b;
    else if constexpr (Op == Operator::Div) // division by zero gives 0, as on the chart
        return b != 0 ? a / b : 0.0;
    else if constexpr (Op == Operator::Gt)
        return a > b ? 1.0 : 0.0;
    else if constexpr (Op == Operator::Lt)
        return a < b ? 1.0 : 0.0;
    else if constexpr (Op == Operator::Ge)
        return a >= b ? 1.0 : 0.0;
    else if constexpr (Op == Operator::Le)
        return a <= b ? 1.0 : 0.0;
    else if constexpr (Op == Operator::Eq)
        return a == b ? 1.0 : 0.0;
    else if constexpr (Op == Operator::Ne)
        return a != b ? 1.0 : 0.0;
    else if constexpr (Op == Operator::And)
        return a != 0 && b != 0 ? 1.0 : 0.0;
    else
        return a != 0 || b != 0 ? 1.0 : 0.0;
}

inline double operate(Operator op, double a, double b)
{
    switch (op) {
    case Operator::Add:
        return operate<Operator::Add>(a, b);
    case Operator::Sub:
        return operate<Operator::Sub>(a, b);
    case Operator::Mul:
        return operate<Operator::Mul>(a, b);
    case Operator::Div:
        return operate<Operator::Div>(a, b);
    case Operator::Gt:
        return operate<Operator::Gt>(a, b);
    case Operator::Lt:
        return operate<Operator::Lt>(a, b);
    case Operator::Ge:
        return operate<Operator::Ge>(a, b);
    case Operator::Le:
        return operate<Operator::Le>(a, b);
    case Operator::Eq:
        return operate<Operator::Eq>(a, b);
    case Operator::Ne:
        return operate<Operator::Ne>(a, b);
    case Operator::And:
        return operate<Operator::And>(a, b);
    case Operator::Or:
        return operate<Operator::Or>(a, b);
    case Operator::Negate:
        return operate<Operator::Negate>(a, b);
    case Operator::Not:
        return operate<Operator::Not>(a, b);
    case Operator::Plus:
        break;
    }
    return a;
}

// Each day's period key; a head's keys are the first ones of the whole history's.
std::vector<int> periodKeys(const Bars &days, const QString &period);
// Bars of a longer period as they stand with days [from, to): the newest one is still
// forming. index maps each of those days to its period bar.
Bars aggregate(const Bars &days, const std::vector<int> &keys, Sz from, Sz to,
               std::vector<Sz> *index);

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

    const Value &statement(int j);

    OutputLine output(int j, bool *causal = nullptr);

private:
    Sz size() const { return Sz(m_bars.size()); }

    void evaluateStatement(int j);

    // Evaluates what statement root reads, deepest first, with a stack of our own: by the
    // time a statement runs, every variable it names is ready and costs no recursion.
    void prepare(int root);

    std::vector<Value> drawingArgs(const Expr &call, int stmt, QStringList *missing);

    Value name(const Expr &e, int stmt);

    // A stock fact as the replay assumes it, listed with the parameters; a given value wins.
    Value assume(const QString &key, const Fact &f);

    // NAME:=(MIN,MAX,DEFAULT): a parameter declared in the text; a given value wins.
    Value parameterLine(const QString &n, const Expr &list);

    Value call(const Expr &e, int stmt);

    // Whether call e is causal: the function is (`own`) and every argument it read. When it
    // is not, the whole history's run keeps the causal arguments for the heads.
    bool settle(const Expr &e, int stmt, const std::vector<Value> &args, bool own);

    bool settle(const Expr &e, int stmt, std::initializer_list<const Value *> operands);
    void keep(const Expr &arg, int stmt, const Value &v);

    Value binary(const Expr &e, int stmt);

    Value unary(const Expr &e, int stmt);

    // A head's period bars: the whole history's that its days complete, then the one its
    // newest day is in, folded from its days so far.
    void headOfPeriods(const Trace::Period &full, Bars *bars, std::vector<Sz> *index) const;

    // NAME#WEEK, CALL(...)#MONTH: evaluated on the longer period's bars, each day reading
    // its period as it stands with the days there are.
    Value inPeriod(const Expr &e, int stmt);

public:
    Value expr(const Expr &e, int stmt, bool ignorePeriod);

private:
    // Whether e's whole history's values are recorded as another node's: its variable's
    // definition, or the first occurrence of a repeated call.
    bool recordedElsewhere(const Expr &e, int stmt) const;

private:
    Value exprOnce(const Expr &e, int stmt, bool ignorePeriod);
    Value exprAt(const Expr &e, int stmt, bool ignorePeriod);

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
    bool m_operand = false; // the next expr() is an operand of an operator
    const Trace *m_reuse;
};

} // namespace detail

} // namespace morvane::formula
