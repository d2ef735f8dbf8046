#include "offsets.h"

#include <QHash>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// The signs a value can take at some bar.
enum Sign : uint8_t
{
    Neg = 1,
    Zero = 2,
    Pos = 4,
    Any = Neg | Zero | Pos,
    NonNeg = Zero | Pos
};

struct Abstract
{
    uint8_t signs = Any;
    std::optional<double> value; // the same at every bar

    static Abstract constant(double v)
    {
        if (std::isnan(v))
            return {Any, std::nullopt};
        return {static_cast<uint8_t>(v < 0 ? Neg : v > 0 ? Pos : Zero), v};
    }
};

uint8_t negate(uint8_t s)
{
    return static_cast<uint8_t>((s & Zero) | ((s & Neg) ? Pos : 0) | ((s & Pos) ? Neg : 0));
}

uint8_t addSigns(uint8_t a, uint8_t b)
{
    uint8_t out = 0;
    for (uint8_t x : {Neg, Zero, Pos}) {
        for (uint8_t y : {Neg, Zero, Pos}) {
            if (!(a & x) || !(b & y))
                continue;
            if (x == Zero)
                out |= y;
            else if (y == Zero || x == y)
                out |= x;
            else
                out |= Any;
        }
    }
    return out;
}

uint8_t multiplySigns(uint8_t a, uint8_t b)
{
    uint8_t out = 0;
    for (uint8_t x : {Neg, Zero, Pos}) {
        for (uint8_t y : {Neg, Zero, Pos}) {
            if (!(a & x) || !(b & y))
                continue;
            if (x == Zero || y == Zero)
                out |= Zero;
            else
                out |= x == y ? Pos : Neg;
        }
    }
    return out;
}

bool inList(const QString &name, std::initializer_list<const char16_t *> names)
{
    for (const char16_t *n : names) {
        if (name == QStringView(n))
            return true;
    }
    return false;
}

bool nonNegativeFunction(const QString &n)
{
    return inList(n, {u"BARSCOUNT",  u"BARSLAST",  u"BARSLASTCOUNT", u"BARSSINCE",
                      u"BARSSINCEN", u"COUNT",     u"ABS",           u"SQRT",
                      u"HHVBARS",    u"LLVBARS",   u"CROSS",         u"LONGCROSS",
                      u"EVERY",      u"EXIST",     u"BETWEEN",       u"FILTER",
                      u"NOT",        u"ISLASTBAR", u"CURRBARSCOUNT", u"TOTALBARSCOUNT",
                      u"BARSTATUS",  u"DATE",      u"TIME",          u"VOL",
                      u"STD",        u"STDP",      u"VAR",           u"VARP",
                      u"AVEDEV",     u"DEVSQ",     u"RANGE"});
}

// Functions whose value keeps the sign of their first argument (zero aside).
bool signOfFirst(const QString &n)
{
    return inList(n, {u"MA",   u"EMA",     u"EXPMA",   u"SMA",    u"WMA",   u"DMA",
                      u"MEMA", u"EXPMEMA", u"HHV",     u"LLV",    u"SUM",   u"REF",
                      u"REFV", u"CONST",   u"INTPART", u"ROUND",  u"FLOOR", u"CEILING",
                      u"LAST", u"TMA",     u"AMA",     u"SUMBARS"});
}

bool isPlugIn(const QString &n)
{
    return n.startsWith(u"TDXDLL"_s) || n.startsWith(u"FXDLL"_s) || n == u"DLL"_s;
}

bool isRefName(const QString &n)
{
    return n == u"REF"_s || n == u"REFV"_s;
}

class Reader
{
public:
    explicit Reader(const std::function<bool(const QString &)> &known) : m_known(known) {}

    OffsetFindings run(const Program &program)
    {
        for (const Statement &s : program.statements) {
            if (!s.value)
                continue;
            Abstract v = eval(*s.value);
            for (const ExprPtr &a : s.attributes) {
                if (a)
                    eval(*a);
            }
            if (s.kind == StatementKind::Expression || s.name.isEmpty())
                continue;
            // NAME:=(MIN,MAX,DEFAULT) declares a parameter: its default is its value.
            const Expr &e = *s.value;
            if (e.kind == ExprKind::Call && e.text.isEmpty() && e.args.size() == 3 && e.args[2])
                v = eval(*e.args[2]);
            m_names.insert(s.name, v);
        }
        return std::move(m_out);
    }

private:
    Abstract eval(const Expr &e)
    {
        switch (e.kind) {
        case ExprKind::Number:
            return Abstract::constant(e.number);
        case ExprKind::String:
            return {NonNeg, std::nullopt};
        case ExprKind::Name: {
            const auto it = m_names.constFind(e.text);
            if (it != m_names.constEnd() && e.period.isEmpty())
                return *it;
            // A name defined nowhere is a stock series or a parameter set outside the text:
            // periods are whole numbers from 1 up, as the replay assumes.
            return {NonNeg, std::nullopt};
        }
        case ExprKind::Unary: {
            const Abstract a = e.args.empty() || !e.args[0] ? Abstract{} : eval(*e.args[0]);
            if (e.text == u"-")
                return {negate(a.signs), a.value ? std::optional<double>(-*a.value) : std::nullopt};
            if (e.text == u"+")
                return a;
            return {NonNeg, std::nullopt}; // NOT
        }
        case ExprKind::Binary: {
            if (e.args.size() < 2 || !e.args[0] || !e.args[1])
                return {};
            const Abstract a = eval(*e.args[0]);
            const Abstract b = eval(*e.args[1]);
            return binary(e.text, a, b);
        }
        case ExprKind::Call:
            return call(e);
        case ExprKind::Error:
            break;
        }
        return {};
    }

    static Abstract binary(const QString &op, const Abstract &a, const Abstract &b)
    {
        if (op == u"+" || op == u"-" || op == u"*" || op == u"/") {
            const QChar c = op.front();
            if (a.value && b.value) {
                const double x = *a.value, y = *b.value;
                if (c == u'+')
                    return Abstract::constant(x + y);
                if (c == u'-')
                    return Abstract::constant(x - y);
                if (c == u'*')
                    return Abstract::constant(x * y);
                return Abstract::constant(y == 0 ? 0 : x / y);
            }
            if (c == u'+')
                return {addSigns(a.signs, b.signs), std::nullopt};
            if (c == u'-')
                return {addSigns(a.signs, negate(b.signs)), std::nullopt};
            return {multiplySigns(a.signs, b.signs), std::nullopt};
        }
        return {NonNeg, std::nullopt}; // comparisons, AND, OR: 0 or 1
    }

    Abstract call(const Expr &e)
    {
        std::vector<Abstract> args;
        args.reserve(e.args.size());
        for (const ExprPtr &a : e.args)
            args.push_back(a ? eval(*a) : Abstract{});
        const QString &n = e.text;
        if (n.isEmpty()) // a parenthesised list: its last item
            return args.empty() ? Abstract{} : args.back();
        if (isRefName(n)) {
            m_out.refCalls.push_back(e.pos.offset);
            if (args.size() >= 2) {
                const uint8_t s = args[1].signs;
                if ((s & Neg) && (s & Pos))
                    m_out.unsure.push_back(e.pos.offset);
                else if (s & Neg)
                    m_out.negative.push_back(e.pos.offset);
            }
        }
        if (isPlugIn(n)) {
            m_out.opaque.push_back({n, e.pos, n.size(), true});
            return {};
        }
        if (n == u"IF" || n == u"IFF" || n == u"IFN") {
            if (args.size() != 3)
                return {};
            if (args[0].value) // a constant condition takes one branch
                return (*args[0].value != 0) == (n != u"IFN") ? args[1] : args[2];
            return {static_cast<uint8_t>(args[1].signs | args[2].signs), std::nullopt};
        }
        if ((n == u"MAX" || n == u"MIN") && args.size() == 2) {
            // Signs order as numbers do: Neg < Zero < Pos, so the bit of the larger wins.
            const bool larger = n == u"MAX";
            uint8_t out = 0;
            for (uint8_t x : {Neg, Zero, Pos}) {
                for (uint8_t y : {Neg, Zero, Pos}) {
                    if ((args[0].signs & x) && (args[1].signs & y))
                        out =
                            static_cast<uint8_t>(out | (larger ? std::max(x, y) : std::min(x, y)));
                }
            }
            return {out, std::nullopt};
        }
        if (nonNegativeFunction(n))
            return {NonNeg, std::nullopt};
        if (signOfFirst(n) && !args.empty())
            return {static_cast<uint8_t>(args[0].signs | Zero), std::nullopt};
        if (m_known && !m_known(n))
            m_out.opaque.push_back({n, e.pos, n.size(), false});
        return {};
    }

    const std::function<bool(const QString &)> &m_known;
    QHash<QString, Abstract> m_names;
    OffsetFindings m_out;
};

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

OffsetFindings analyseOffsets(const Program &program,
                              const std::function<bool(const QString &)> &knownFunction)
{
    OffsetFindings out = Reader(knownFunction).run(program);
    for (auto *v : {&out.refCalls, &out.negative, &out.unsure})
        std::sort(v->begin(), v->end());
    std::sort(out.opaque.begin(), out.opaque.end(),
              [](const OpaqueCall &a, const OpaqueCall &b) { return a.pos.offset < b.pos.offset; });
    return out;
}

std::vector<size_t> negativeOffsetTokens(QStringView text, const std::vector<Token> &tokens)
{
    // One frame per open parenthesis: whether it opens a REF call, and whether its first
    // comma has been passed.
    struct Frame
    {
        size_t name = SIZE_MAX; // the REF token, or SIZE_MAX for any other parenthesis
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
                    f.name = previous;
            }
            open.push_back(f);
        } else if (t.kind == TokenKind::RightParen) {
            if (!open.empty())
                open.pop_back();
        } else if (t.kind == TokenKind::Comma && !open.empty() && !open.back().pastComma) {
            open.back().pastComma = true;
            if (open.back().name == SIZE_MAX)
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
