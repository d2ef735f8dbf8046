#pragma once

#include "ast.h"
#include "bars.h"
#include "functions.h"

#include <QHash>
#include <QMap>
#include <QStringList>

#include <memory>
#include <optional>
#include <unordered_map>

#include <vector>

namespace morvane::formula {

struct EvalOptions
{
    QMap<QString, double> params; // declared parameters: N=5
};

// An output line, an unnamed line or a drawing call, over all bars.
struct OutputLine
{
    qsizetype statement = 0; // index in Program::statements
    QString name;            // empty for an unnamed line or a drawing
    QString drawing;         // the drawing function (STICKLINE…), else empty
    SourcePos pos;
    // A line: one series. A drawing: one series per price it draws at, NaN where it
    // draws nothing.
    std::vector<Series> channels;
    QStringList missing; // what kept it from being evaluated: "WINNER", "MA/1" (arity)

    bool ok() const { return missing.isEmpty(); }
};

// A name the formula uses as a parameter, or a stock fact no bar carries (PERIOD,
// NAMELIKE('ST')); assumed when neither defined nor given.
struct ParamUse
{
    QString name;
    double value = 0;
    bool assumed = false;
    QString meaning; // a stock fact's: "日线" for PERIOD=5; empty for a parameter
};

struct Evaluation
{
    std::vector<OutputLine> outputs;
    std::vector<ParamUse> params; // sorted by name
    QStringList periods;          // "#WEEK"… that outputs read
};

// A day's period key ("#WEEK", "#MONTH", "#SEASON", "#YEAR"): the days of one period bar
// share it. None for any other period.
std::optional<int> periodKey(const QString &period, const QDate &date);

// The value an undeclared parameter gets: the conventional MACD ones (SHORT 12, LONG 26,
// MID 9), else the common periods 5, 10, 20, 60, 120, 250 by the order of first use in the
// formula (`order`, from 0), then on from 250 by 10: copied formulas rarely carry their
// parameters, and all of them equal made MA(C,M1) and MA(C,M2) the same line.
double defaultParameter(const QString &name, int order = 0);

// Statements are evaluated in the order of their dependencies, without recursion, so a chain
// of any number of variables costs no stack; what still recurses is one expression, whose
// depth the parser bounds. Past this depth (reachable only through nested #PERIOD calls) a
// node is not evaluated and its output lists kTooDeep as missing.
inline constexpr int kMaxEvalDepth = 1000;
inline constexpr char16_t kTooDeep[] = u"#DEPTH";

// Compiles the name table once, then evaluates the program on any bars.
class Evaluator
{
public:
    explicit Evaluator(const Program &program, EvalOptions options = {});
    Evaluation run(const Bars &bars) const;

    const Program &program() const { return m_program; }
    const EvalOptions &options() const { return m_options; }
    // Of an undeclared parameter, the order of its first use in the text (0 for the first).
    int assumedOrder(const QString &name) const { return m_assumedOrder.value(name); }
    // The statement that defines name as seen from statement `before`, or -1.
    int definition(const QString &name, int before) const;
    // The earlier statements that statement j reads on its own bars (not through #PERIOD).
    const std::vector<int> &dependencies(int j) const { return m_dependencies[std::size_t(j)]; }
    // A call or operator written more than once with the same meaning (MA(C,5) in two
    // statements): its number among them, and how often it occurs. -1 for any other node.
    int repeated(const Expr *e) const
    {
        const auto it = m_repeated.find(e);
        return it == m_repeated.end() ? -1 : it->second;
    }
    int occurrences(int repeated) const { return m_occurrences[std::size_t(repeated)]; }

private:
    void numberRepeated();

    const Program &m_program;
    EvalOptions m_options;
    QHash<QString, std::vector<int>> m_definitions;
    QHash<QString, int> m_assumedOrder; // undeclared parameters by their first use
    std::vector<std::vector<int>> m_dependencies;
    std::unordered_map<const Expr *, int> m_repeated;
    std::vector<int> m_occurrences;
};

// The whole history's evaluation, kept for evaluating its heads (bars.head(count), the
// replay's cuts) cheaply: whatever reads no later bar (Value::causal) is taken from it,
// truncated, instead of computed again; only the rest runs on the head. The evaluator and the
// bars must outlive it.
class HeadEvaluator
{
public:
    HeadEvaluator(const Evaluator &evaluator, const Bars &bars);
    ~HeadEvaluator();
    HeadEvaluator(const HeadEvaluator &) = delete;
    HeadEvaluator &operator=(const HeadEvaluator &) = delete;

    const Evaluation &full() const { return m_full; }
    // Whether output k reads no later bar anywhere: on every head it is the head of full().
    bool causal(std::size_t k) const { return m_causal[k]; }
    // As Evaluator::run(bars.head(count)) gives it. The causal outputs are the full ones cut
    // to count bars, or, without causalToo, left without channels (a caller that knows them).
    Evaluation head(qsizetype count, bool causalToo = true) const;

    struct Trace;
    // What the whole history's run kept (the replay's tails read it).
    const Trace &trace() const { return *m_trace; }

private:
    const Evaluator &m_evaluator;
    const Bars &m_bars;
    std::unique_ptr<Trace> m_trace;
    Evaluation m_full;
    std::vector<bool> m_causal;
};

inline Evaluation evaluate(const Program &program, const Bars &bars, EvalOptions options = {})
{
    return Evaluator(program, std::move(options)).run(bars);
}

} // namespace morvane::formula
