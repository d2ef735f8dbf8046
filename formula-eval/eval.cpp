#include "run_p.h"

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace detail {

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

bool isUnsupportedBuiltin(const QString &name)
{
    static const QStringList names = {
        u"TIME"_s,    u"PERIOD"_s,  u"FROMOPEN"_s, u"VOLINSTK"_s,     u"OPENINT"_s,   u"QHLSR"_s,
        u"INDEXC"_s,  u"INDEXO"_s,  u"INDEXH"_s,   u"INDEXL"_s,       u"INDEXV"_s,    u"INDEXA"_s,
        u"WINNER"_s,  u"COST"_s,    u"ADVANCE"_s,  u"DECLINE"_s,      u"BUYVOL"_s,    u"SELLVOL"_s,
        u"HYBLOCK"_s, u"DYBLOCK"_s, u"GNBLOCK"_s,  u"TOTALCAPITAL"_s, u"SETTLEMENT"_s};
    return names.contains(name);
}

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

} // namespace detail

using namespace detail;

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
