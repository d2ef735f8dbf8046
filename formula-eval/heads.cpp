#include "run_p.h"

namespace morvane::formula {

using namespace detail;

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
