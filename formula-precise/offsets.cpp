#include "offsets.h"

#include "catalog.h"
#include "knowledge.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The values an expression can take over the bars.
struct Range
{
    double lo = -kInf;
    double hi = kInf;

    static Range any() { return {}; }
    static Range of(double lo, double hi) { return {lo, hi}; }
    static Range constant(double v) { return std::isfinite(v) ? Range{v, v} : Range{}; }
    bool isConstant() const { return lo == hi; }
    Range unite(const Range &o) const { return {std::min(lo, o.lo), std::max(hi, o.hi)}; }
};

const Range kFlag = Range::of(0, 1);
const Range kNonNegative = Range::of(0, kInf);

// A product where 0 × ∞ is 0: an unbounded factor times a zero one stays zero.
double times(double x, double y)
{
    return x == 0 || y == 0 ? 0 : x * y;
}

Range multiply(const Range &a, const Range &b)
{
    const double p[4] = {times(a.lo, b.lo), times(a.lo, b.hi), times(a.hi, b.lo),
                         times(a.hi, b.hi)};
    return {*std::min_element(p, p + 4), *std::max_element(p, p + 4)};
}

Range divide(const Range &a, const Range &b)
{
    if (b.lo <= 0 && b.hi >= 0)
        return Range::any();
    const Range inverse{1 / b.hi, 1 / b.lo};
    return multiply(a, inverse);
}

template <typename F> Range monotone(const Range &a, F f)
{
    return {f(a.lo), f(a.hi)};
}

// The language truncates counts and offsets toward zero.
Range truncated(const Range &a)
{
    return monotone(a, [](double x) { return std::isfinite(x) ? std::trunc(x) : x; });
}

bool inList(const QString &name, std::initializer_list<const char16_t *> names)
{
    for (const char16_t *n : names) {
        if (name == QStringView(n))
            return true;
    }
    return false;
}

bool flagFunction(const QString &n)
{
    return inList(n, {u"CROSS", u"LONGCROSS", u"EVERY", u"EXIST", u"BETWEEN", u"FILTER", u"NOT",
                      u"ISLASTBAR", u"ISUP", u"ISDOWN", u"ISEQUAL", u"UPNDAY", u"DOWNNDAY", u"NDAY",
                      u"TFILTER", u"LAST"});
}

bool nonNegativeFunction(const QString &n)
{
    return inList(n, {u"BARSCOUNT",  u"BARSLAST", u"BARSLASTCOUNT", u"BARSSINCE",
                      u"BARSSINCEN", u"SQRT",     u"CURRBARSCOUNT", u"TOTALBARSCOUNT",
                      u"BARSTATUS",  u"DATE",     u"TIME",          u"VOL",
                      u"STD",        u"STDP",     u"VAR",           u"VARP",
                      u"AVEDEV",     u"DEVSQ",    u"RANGE",         u"TOPRANGE",
                      u"LOWRANGE"});
}

// Functions whose value lies within the range of their first argument.
bool withinFirst(const QString &n)
{
    return inList(n, {u"MA", u"EMA", u"EXPMA", u"SMA", u"WMA", u"DMA", u"MEMA", u"EXPMEMA", u"HHV",
                      u"LLV", u"REF", u"REFV", u"CONST", u"TMA", u"AMA", u"VALUEWHEN", u"REFDATE",
                      u"XMA"});
}

bool isPlugIn(const QString &n)
{
    return n.startsWith(u"TDXDLL"_s) || n.startsWith(u"FXDLL"_s) || n == u"DLL"_s;
}

bool isRefName(const QString &n)
{
    return n == u"REF"_s || n == u"REFV"_s;
}

// Another formula's line: KDJ.J, "MACD.MACD". "SH000016$CLOSE" is another stock's data.
bool isOtherFormula(const QString &n)
{
    return n.contains(u'.') && !n.contains(u'$');
}

bool sameTree(const Expr &a, const Expr &b)
{
    if (a.kind != b.kind || a.text != b.text || a.period != b.period ||
        a.args.size() != b.args.size() || a.doubleQuoted != b.doubleQuoted)
        return false;
    if (a.kind == ExprKind::Number && a.number != b.number)
        return false;
    if (a.kind == ExprKind::Error)
        return false;
    for (size_t i = 0; i < a.args.size(); ++i) {
        if (!a.args[i] || !b.args[i] || !sameTree(*a.args[i], *b.args[i]))
            return false;
    }
    return true;
}

} // namespace

class OffsetReader
{
public:
    // `wholeRange`: a declared parameter takes every value of its range, not its default.
    explicit OffsetReader(bool wholeRange) : m_wholeRange(wholeRange) {}

    void statement(const Statement &s)
    {
        if (!s.value)
            return;
        Range v = eval(*s.value);
        for (const ExprPtr &a : s.attributes) {
            if (a)
                eval(*a);
        }
        if (s.kind == StatementKind::Expression || s.name.isEmpty())
            return;
        // NAME:=(MIN,MAX,DEFAULT) declares a parameter: the user may set any value of it.
        const Expr &e = *s.value;
        if (e.kind == ExprKind::Call && e.text.isEmpty() && e.args.size() == 3) {
            v = e.args[2] ? eval(*e.args[2]) : Range::any();
            for (size_t k = 0; m_wholeRange && k < 2; ++k)
                v = v.unite(e.args[k] ? eval(*e.args[k]) : Range::any());
        }
        m_names.insert(s.name, v);
    }

    void salvaged(const Expr &call) { eval(call); }

    OffsetFindings take() { return std::move(m_out); }

private:
    void opaque(const Expr &e, OpaqueKind kind)
    {
        m_out.opaque.push_back({e.text, e.pos, e.text.size(), kind});
    }

    Range eval(const Expr &e)
    {
        switch (e.kind) {
        case ExprKind::Number:
            return Range::constant(e.number);
        case ExprKind::String:
            if (e.doubleQuoted && isOtherFormula(e.text)) {
                Expr named;
                named.text = e.text.toUpper();
                named.pos = {e.pos.offset + 1, e.pos.line, e.pos.column + 1};
                opaque(named, OpaqueKind::OtherFormula);
                return Range::any();
            }
            return kNonNegative;
        case ExprKind::Name: {
            const auto it = m_names.constFind(e.text);
            if (it != m_names.constEnd() && e.period.isEmpty())
                return *it;
            if (isOtherFormula(e.text)) {
                opaque(e, OpaqueKind::OtherFormula);
                return Range::any();
            }
            // A name defined nowhere is a stock series or a parameter set outside the text:
            // periods are whole numbers from 1 up, as the replay assumes.
            return kNonNegative;
        }
        case ExprKind::Unary: {
            const Range a = e.args.empty() || !e.args[0] ? Range::any() : eval(*e.args[0]);
            if (e.text == u"-")
                return {-a.hi, -a.lo};
            if (e.text == u"+")
                return a;
            return kFlag; // NOT
        }
        case ExprKind::Binary: {
            if (e.args.size() < 2 || !e.args[0] || !e.args[1])
                return Range::any();
            const Range a = eval(*e.args[0]);
            const Range b = eval(*e.args[1]);
            if (e.text == u"-" && sameTree(*e.args[0], *e.args[1]))
                return Range::constant(0);
            return binary(e.text, a, b);
        }
        case ExprKind::Call:
            return call(e);
        case ExprKind::Error:
            break;
        }
        return Range::any();
    }

    static Range binary(const QString &op, const Range &a, const Range &b)
    {
        if (op == u"+")
            return {a.lo + b.lo, a.hi + b.hi};
        if (op == u"-")
            return {a.lo - b.hi, a.hi - b.lo};
        if (op == u"*")
            return multiply(a, b);
        if (op == u"/")
            return divide(a, b);
        return kFlag; // comparisons, AND, OR: 0 or 1
    }

    // A window's bars: [0, N−1] for HHVBARS, [0, N] for COUNT; N = 0 means every bar.
    static Range windowCount(const std::vector<Range> &args, double less)
    {
        if (args.size() < 2)
            return kNonNegative;
        const Range n = truncated(args[1]);
        if (n.lo <= 0 || !std::isfinite(n.hi))
            return kNonNegative;
        return Range::of(0, std::max(0.0, n.hi - less));
    }

    void judgeRef(const Expr &e, const std::vector<Range> &args)
    {
        m_out.refCalls.push_back(e.pos.offset);
        if (args.size() < 2)
            return;
        const Range r = truncated(args[1]);
        m_out.ranges.push_back({e.pos.offset, r.lo, r.hi});
        if (r.lo < 0 && r.hi > 0)
            m_out.unsure.push_back(e.pos.offset);
        else if (r.lo < 0)
            m_out.negative.push_back(e.pos.offset);
    }

    Range call(const Expr &e)
    {
        std::vector<Range> args;
        args.reserve(e.args.size());
        for (const ExprPtr &a : e.args)
            args.push_back(a ? eval(*a) : Range::any());
        const QString &n = e.text;
        if (n.isEmpty()) // a parenthesised list: its last item
            return args.empty() ? Range::any() : args.back();
        if (isRefName(n))
            judgeRef(e, args);
        if (n == u"BACKSET" && args.size() == 2 && truncated(args[1]).hi <= 1)
            m_out.harmlessBacksets.push_back(e.pos.offset);
        if (isPlugIn(n)) {
            opaque(e, OpaqueKind::PlugIn);
            return Range::any();
        }
        if (isOtherFormula(n)) {
            opaque(e, OpaqueKind::OtherFormula);
            return Range::any();
        }
        if (n == u"IF" || n == u"IFF" || n == u"IFN" || n == u"IFELSE") {
            if (args.size() != 3)
                return Range::any();
            if (args[0].isConstant()) // a constant condition takes one branch
                return (args[0].lo != 0) == (n != u"IFN") ? args[1] : args[2];
            return args[1].unite(args[2]);
        }
        if ((n == u"MAX" || n == u"MIN") && args.size() == 2) {
            if (n == u"MAX")
                return {std::max(args[0].lo, args[1].lo), std::max(args[0].hi, args[1].hi)};
            return {std::min(args[0].lo, args[1].lo), std::min(args[0].hi, args[1].hi)};
        }
        if (args.size() == 1 && n == u"ABS") {
            const Range &a = args[0];
            if (a.lo >= 0)
                return a;
            if (a.hi <= 0)
                return {-a.hi, -a.lo};
            return {0, std::max(-a.lo, a.hi)};
        }
        if (args.size() == 1 &&
            (n == u"INTPART" || n == u"FLOOR" || n == u"CEILING" || n == u"ROUND")) {
            double (*f)(double) = n == u"FLOOR"     ? static_cast<double (*)(double)>(std::floor)
                                  : n == u"CEILING" ? static_cast<double (*)(double)>(std::ceil)
                                  : n == u"ROUND"   ? static_cast<double (*)(double)>(std::round)
                                                    : static_cast<double (*)(double)>(std::trunc);
            return monotone(args[0], [f](double x) { return std::isfinite(x) ? f(x) : x; });
        }
        if (n == u"HHVBARS" || n == u"LLVBARS")
            return windowCount(args, 1);
        if (n == u"COUNT")
            return windowCount(args, 0);
        if (flagFunction(n))
            return kFlag;
        if (nonNegativeFunction(n))
            return kNonNegative;
        if (withinFirst(n) && !args.empty())
            return args[0];
        if (n == u"SUM" && !args.empty())
            return args[0].lo >= 0   ? kNonNegative
                   : args[0].hi <= 0 ? Range::of(-kInf, 0)
                                     : Range::any();
        if (!knownName(n)) {
            if (const CatalogEntry *entry = catalogEntry(n); !entry)
                opaque(e, OpaqueKind::Unknown);
            else if (entry->cls == FunctionClass::Future || entry->cls == FunctionClass::Drift ||
                     entry->cls == FunctionClass::LastBar)
                opaque(e, OpaqueKind::Unverified);
        }
        return Range::any();
    }

    const bool m_wholeRange;
    QHash<QString, Range> m_names;
    OffsetFindings m_out;
};

namespace {

size_t nextCode(const std::vector<Token> &tokens, size_t i)
{
    for (++i; i < tokens.size(); ++i) {
        const TokenKind k = tokens[i].kind;
        if (k != TokenKind::Space && k != TokenKind::Newline && k != TokenKind::Comment)
            break;
    }
    return i;
}

} // namespace

// Once with each parameter at its default, as the chart opens, and once over the whole
// ranges the user may set: a look-ahead at the default stays one, with its default range.
OffsetAnalysis::OffsetAnalysis()
    : m_whole(std::make_unique<OffsetReader>(true)),
      m_atDefault(std::make_unique<OffsetReader>(false))
{
}

OffsetAnalysis::~OffsetAnalysis() = default;

void OffsetAnalysis::statement(const Statement &s)
{
    m_whole->statement(s);
    m_atDefault->statement(s);
}

void OffsetAnalysis::salvaged(const Expr &call)
{
    m_whole->salvaged(call);
    m_atDefault->salvaged(call);
}

OffsetFindings OffsetAnalysis::finish()
{
    OffsetFindings out = m_whole->take();
    const OffsetFindings atDefault = m_atDefault->take();
    for (size_t k = 0; k < atDefault.ranges.size() && k < out.ranges.size(); ++k) {
        const OffsetRange &d = atDefault.ranges[k];
        if (d.low < 0 && d.high <= 0 && !(out.ranges[k].low < 0 && out.ranges[k].high <= 0)) {
            out.ranges[k] = d;
            out.negative.push_back(d.call);
            std::erase(out.unsure, d.call);
        }
    }
    for (auto *v : {&out.refCalls, &out.negative, &out.unsure, &out.harmlessBacksets})
        std::sort(v->begin(), v->end());
    std::sort(out.ranges.begin(), out.ranges.end(),
              [](const OffsetRange &a, const OffsetRange &b) { return a.call < b.call; });
    std::sort(out.opaque.begin(), out.opaque.end(),
              [](const OpaqueCall &a, const OpaqueCall &b) { return a.pos.offset < b.pos.offset; });
    return out;
}

OffsetFindings analyseOffsets(const Program &program)
{
    // The calls kept from broken statements are read where they stand, so that the
    // variables defined before them are known.
    OffsetAnalysis analysis;
    size_t next = 0;
    auto salvagedBefore = [&](qsizetype offset) {
        for (; next < program.salvaged.size() && program.salvaged[next] &&
               program.salvaged[next]->pos.offset < offset;
             ++next)
            analysis.salvaged(*program.salvaged[next]);
    };
    for (const Statement &s : program.statements) {
        if (!s.value)
            continue;
        salvagedBefore(s.pos.offset);
        analysis.statement(s);
    }
    salvagedBefore(std::numeric_limits<qsizetype>::max());
    return analysis.finish();
}

std::vector<size_t> negativeOffsetTokens(QStringView text, const std::vector<Token> &tokens)
{
    // One frame per open parenthesis: whether it opens a REF call, and whether its first
    // comma has been passed.
    // Token indexes fit 32 bits (see Token): a text of parentheses makes millions of frames.
    struct Frame
    {
        quint32 name = UINT32_MAX; // the REF token, or UINT32_MAX for any other parenthesis
        bool pastComma = false;
    };
    std::vector<Frame> open;
    std::vector<size_t> out;
    size_t previous = SIZE_MAX; // the code token before
    for (size_t i = nextCode(tokens, SIZE_MAX); i < tokens.size();
         previous = i, i = nextCode(tokens, i)) {
        const Token &t = tokens[i];
        if (t.kind == TokenKind::LeftParen) {
            Frame f;
            if (previous != SIZE_MAX && tokens[previous].kind == TokenKind::Name) {
                const QStringView name =
                    text.sliced(tokens[previous].offset, tokens[previous].length);
                if (equalsWord(name, "REF") || equalsWord(name, "REFV"))
                    f.name = static_cast<quint32>(previous);
            }
            open.push_back(f);
        } else if (t.kind == TokenKind::RightParen) {
            if (!open.empty())
                open.pop_back();
        } else if (t.kind == TokenKind::Comma && !open.empty() && !open.back().pastComma) {
            open.back().pastComma = true;
            if (open.back().name == UINT32_MAX)
                continue;
            const size_t minus = nextCode(tokens, i);
            const size_t number = nextCode(tokens, minus);
            const size_t close = nextCode(tokens, number);
            if (close < tokens.size() && tokens[minus].kind == TokenKind::Operator &&
                text.sliced(tokens[minus].offset, tokens[minus].length) == u"-" &&
                tokens[number].kind == TokenKind::Number &&
                tokens[close].kind == TokenKind::RightParen)
                out.push_back(open.back().name);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace morvane::formula
