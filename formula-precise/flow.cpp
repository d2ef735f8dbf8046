#include "flow.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// Found names past this many are not followed: a list of thousands of entries would make
// every variable carry thousands of marks.
constexpr size_t kMaxFollowed = 256;

bool inList(QStringView name, std::initializer_list<const char16_t *> names)
{
    return std::any_of(names.begin(), names.end(),
                       [&](const char16_t *n) { return name == QStringView(n); });
}

// Drawings whose first argument says on which bars they show: a signal.
bool conditionDrawing(QStringView n)
{
    return inList(n, {u"DRAWICON", u"DRAWTEXT", u"DRAWTEXT_FIX", u"DRAWNUMBER", u"DRAWNUMBER_FIX",
                      u"STICKLINE", u"DRAWSL", u"DRAWGBK", u"DRAWLINE", u"PARTLINE",
                      u"DRAWCOLORLINE", u"BUY", u"SELL", u"BUYSHORT", u"SELLSHORT"});
}

bool drawingCall(const Expr &e)
{
    return e.kind == ExprKind::Call &&
           (e.text.startsWith(u"DRAW"_s) || conditionDrawing(e.text) ||
            inList(e.text, {u"POLYLINE", u"PLOYLINE", u"FILLRGN", u"FLOATRGN", u"VERTLINE"}));
}

bool isConstantFlag(const Expr *e)
{
    return e && e->kind == ExprKind::Number && (e->number == 0 || e->number == 1);
}

// A 0/1 condition by its form: a comparison, AND/OR/NOT, CROSS and its kin, IF(X,1,0).
bool signalForm(const Expr &e)
{
    switch (e.kind) {
    case ExprKind::Binary:
        return e.text != u"+" && e.text != u"-" && e.text != u"*" && e.text != u"/";
    case ExprKind::Unary:
        return e.text == u"NOT";
    case ExprKind::Call:
        if ((e.text == u"IF" || e.text == u"IFF") && e.args.size() == 3)
            return isConstantFlag(e.args[1].get()) && isConstantFlag(e.args[2].get());
        return inList(e.text, {u"CROSS", u"LONGCROSS", u"EVERY", u"EXIST", u"EXISTR", u"FILTER",
                               u"TFILTER", u"BETWEEN", u"LAST", u"NOT", u"ISUP", u"ISDOWN",
                               u"ISEQUAL", u"UPNDAY", u"DOWNNDAY", u"NDAY", u"BACKSET"});
    default:
        return false;
    }
}

// Every name and call of an expression, in tree order; the walk keeps its own stack, as the
// tree may be thousands deep.
void collect(const Expr &root, std::vector<DataFlow::Use> &uses)
{
    std::vector<const Expr *> stack{&root};
    while (!stack.empty()) {
        const Expr *e = stack.back();
        stack.pop_back();
        if (e->kind == ExprKind::Name || e->kind == ExprKind::Call ||
            (e->kind == ExprKind::String && !e->period.isEmpty()))
            uses.push_back({e->pos.offset, e->text, e->period, e->kind == ExprKind::Call});
        for (auto it = e->args.rbegin(); it != e->args.rend(); ++it) {
            if (*it)
                stack.push_back(it->get());
        }
    }
}

} // namespace

DataFlow::DataFlow(std::vector<FoundName> &found) : m_found(found)
{
    const size_t followed = std::min(found.size(), kMaxFollowed);
    for (size_t k = 0; k < followed; ++k) {
        if (found[k].name.startsWith(u'#'))
            m_byPeriod.insert(found[k].name, static_cast<int>(k));
        for (const NameOccurrence &o : found[k].occurrences)
            m_byOffset.insert(o.offset, static_cast<int>(k));
    }
}

namespace {

void unite(std::vector<int> &into, const std::vector<int> &from)
{
    std::vector<int> merged;
    std::set_union(into.begin(), into.end(), from.begin(), from.end(), std::back_inserter(merged));
    into.swap(merged);
}

} // namespace

DataFlow::Marks DataFlow::marksOf(const Use &use) const
{
    Marks here;
    if (const auto it = m_byOffset.constFind(use.offset); it != m_byOffset.cend())
        here.push_back(*it);
    if (const auto it = m_byPeriod.constFind(use.period); it != m_byPeriod.cend())
        here.push_back(*it);
    std::sort(here.begin(), here.end());
    if (!use.call) {
        if (const auto it = m_variables.constFind(use.text); it != m_variables.cend())
            unite(here, *it);
    }
    return here;
}

void DataFlow::add(const formula::Statement &s)
{
    if (!s.value)
        return;
    const Expr &value = *s.value;
    const bool drawing = drawingCall(value);
    const QString name = drawing && s.name.isEmpty() ? value.text : s.name;
    m_uses.clear();
    size_t conditionUses = 0; // m_uses[0, conditionUses) are a drawing's condition
    if (drawing && conditionDrawing(value.text) && !value.args.empty() && value.args[0]) {
        collect(*value.args[0], m_uses);
        conditionUses = m_uses.size();
        for (size_t k = 1; k < value.args.size(); ++k) {
            if (value.args[k])
                collect(*value.args[k], m_uses);
        }
        m_uses.push_back({value.pos.offset, value.text, value.period, true}); // DRAWLINE
    } else {
        collect(value, m_uses);
    }
    Marks marks;
    Marks condition;
    for (size_t u = 0; u < m_uses.size(); ++u) {
        const Marks here = marksOf(m_uses[u]);
        unite(marks, here);
        if (u < conditionUses)
            unite(condition, here);
    }
    // A variable whose signal-ness this statement takes
    const bool via = value.kind == ExprKind::Name && value.period.isEmpty();
    const bool signal = signalForm(value) || (via && m_signalOf.value(value.text));
    if (!name.isEmpty() && !drawing) {
        m_variables.insert(name, marks);
        m_signalOf.insert(name, signal);
    }
    if (s.kind == StatementKind::Variable)
        return;
    for (int k : marks) {
        const bool isSignal =
            drawing ? std::binary_search(condition.begin(), condition.end(), k) : signal;
        m_found[static_cast<size_t>(k)].affects.push_back({name, s.pos.line, drawing, isSignal});
    }
}

} // namespace morvane::formula
