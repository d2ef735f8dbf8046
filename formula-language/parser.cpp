#include "parser.h"

#include <QHash>
#include <QSet>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// Parentheses, calls and signs nest the parser's recursion; long operator chains deepen
// the tree that those who walk it recurse over.
constexpr int kMaxNesting = 100;
constexpr int kMaxTreeDepth = 2000;

// A parsed expression: the tree (when one is built), its depth, and its value when it is a
// constant such as -1 or -(1+1); for a parenthesised list, how many items it has.
struct Parsed
{
    ExprPtr expr;
    int depth = 1;
    std::optional<double> value;
    int items = 1;
};

std::optional<double> fold(QStringView op, std::optional<double> a, std::optional<double> b)
{
    if (!a || !b)
        return std::nullopt;
    if (op.size() != 1)
        return std::nullopt;
    switch (op.front().unicode()) {
    case u'+':
        return *a + *b;
    case u'-':
        return *a - *b;
    case u'*':
        return *a * *b;
    case u'/':
        if (*b != 0)
            return *a / *b;
        break;
    default:
        break;
    }
    return std::nullopt;
}

// A number token's value. Qt's toDouble() goes through the locale machinery and was a fifth
// of the precise check's time; the lexer's numbers are plain ASCII.
std::optional<double> numberValue(QStringView s)
{
    char buffer[64];
    if (s.size() < static_cast<qsizetype>(sizeof buffer)) {
        for (qsizetype i = 0; i < s.size(); ++i) {
            const char16_t c = s[i].unicode();
            if (c > 0x7f)
                return std::nullopt;
            buffer[i] = static_cast<char>(c);
        }
        double value = 0;
        const auto [end, error] = std::from_chars(buffer, buffer + s.size(), value);
        if (error == std::errc() && end == buffer + s.size())
            return value;
    }
    bool ok = false;
    const double value = s.toDouble(&ok);
    return ok ? std::optional<double>(value) : std::nullopt;
}

bool isRef(QStringView name)
{
    return equalsWord(name, "REF") || equalsWord(name, "REFV");
}

constexpr size_t kNone = static_cast<size_t>(-1);

class Parser
{
public:
    Parser(QStringView text, const std::vector<Token> &tokens, bool buildTree)
        : m_text(text), m_tokens(tokens), m_ownLines(std::make_unique<LineIndex>(text)),
          m_lines(*m_ownLines), m_build(buildTree)
    {
        for (const Token &t : tokens)
            m_size += isCode(t.kind) ? 1U : 0U;
        m_allCode = m_size == tokens.size();
        if (m_allCode)
            return;
        m_code.reserve(m_size);
        for (size_t i = 0; i < tokens.size(); ++i) {
            if (isCode(tokens[i].kind))
                m_code.push_back(static_cast<quint32>(i));
        }
    }

    // A parser over code tokens [first, last] of another: a call inside a statement that failed.
    Parser(const Parser &outer, size_t first, size_t last)
        : m_text(outer.m_text), m_tokens(outer.m_tokens), m_lines(outer.m_lines),
          m_allCode(outer.m_allCode), m_first(outer.m_first + first), m_size(last - first + 1),
          m_build(true)
    {
        if (!m_allCode) {
            m_code.assign(outer.m_code.begin() + static_cast<qsizetype>(first),
                          outer.m_code.begin() + static_cast<qsizetype>(last) + 1);
            m_first = 0;
        }
    }

    // The expression the tokens hold, when they hold exactly one.
    ExprPtr wholeExpression()
    {
        Parsed p = expression();
        return m_failed || !atEnd() ? nullptr : std::move(p.expr);
    }

    Program run()
    {
        while (!atEnd())
            statement();
        return std::move(m_program);
    }

    std::vector<SyntaxNote> into(StatementSink &sink)
    {
        m_sink = &sink;
        while (!atEnd())
            statement();
        return std::move(m_program.notes);
    }

    SyntaxSummary summary()
    {
        while (!atEnd())
            statement();
        return {std::move(m_program.notes), std::move(m_refCalls), std::move(m_negativeRefs)};
    }

private:
    static bool isCode(TokenKind kind)
    {
        return kind != TokenKind::Space && kind != TokenKind::Newline && kind != TokenKind::Comment;
    }
    bool atEnd() const { return m_at >= m_size; }
    // The first code token of its line: a line end lies between it and the one before.
    bool lineStart(size_t k) const
    {
        if (k == 0)
            return true;
        const QStringView between =
            m_text.sliced(token(k - 1).end()).first(token(k).offset - token(k - 1).end());
        return between.contains(u'\n') || between.contains(u'\r');
    }
    const Token &token(size_t k) const { return m_tokens[m_allCode ? m_first + k : m_code[k]]; }
    TokenKind kind(size_t k = 0) const
    {
        return m_at + k < m_size ? token(m_at + k).kind : TokenKind::Unknown;
    }
    const Token &current() const { return token(std::min(m_at, m_size - 1)); }
    QStringView spelling(const Token &t) const { return m_text.sliced(t.offset, t.length); }
    QStringView spelling() const { return spelling(current()); }

    // Names and operators repeat: one shared upper-cased copy of each spelling.
    QString upper(QStringView s)
    {
        const auto it = m_upper.constFind(s);
        if (it != m_upper.cend())
            return it.value();
        return m_upper.insert(s, s.toString().toUpper()).value();
    }
    SourcePos position(const Token &t) const { return m_lines.at(t.offset); }

    ExprPtr make(ExprKind kind, SourcePos pos) const
    {
        if (!m_build)
            return nullptr;
        auto e = std::make_unique<Expr>();
        e->kind = kind;
        e->pos = pos;
        return e;
    }
    bool isOperator(std::string_view op) const
    {
        return !atEnd() && kind() == TokenKind::Operator && equalsWord(spelling(), op);
    }

    bool startsDefinition(size_t k) const { return definitionColon(k) != kNone; }

    // The ':' or ':=' of a definition starting at code token k, or kNone.
    size_t definitionColon(size_t k) const
    {
        if (k >= m_size || token(k).kind != TokenKind::Name)
            return kNone;
        const size_t last = wideNameEnd(k);
        const size_t colon = (last == kNone ? k : last) + 1;
        if (colon < m_size &&
            (token(colon).kind == TokenKind::Assign || token(colon).kind == TokenKind::Colon))
            return colon;
        return kNone;
    }

    // A name may hold full-width parentheses written close to it, as "营收（亿）": the last
    // code token of such a name starting at k, or kNone when there is none.
    size_t wideNameEnd(size_t k) const
    {
        size_t last = kNone;
        int depth = 0;
        for (size_t j = k + 1; j < m_size && j < k + 64; ++j) {
            const Token &t = token(j);
            if (t.offset != token(j - 1).end())
                break;
            const QChar c = m_text[t.offset];
            if (t.kind == TokenKind::LeftParen && c == u'\uff08') {
                ++depth;
            } else if (t.kind == TokenKind::RightParen && c == u'\uff09' && depth > 0) {
                if (--depth == 0)
                    last = j;
            } else if (depth == 0 || (t.kind != TokenKind::Name && t.kind != TokenKind::Number)) {
                break;
            }
        }
        return last;
    }

    QStringView spellingOf(size_t first, size_t last) const
    {
        return m_text.sliced(token(first).offset, token(last).end() - token(first).offset);
    }

    Parsed fail(SyntaxProblem problem, const QString &message)
    {
        if (!m_failed) {
            m_failed = true;
            SourcePos pos = atEnd() ? endPosition() : position(current());
            m_program.notes.push_back(
                {pos, message, problem, atEnd() ? QString() : spelling().toString()});
        }
        return {make(ExprKind::Error, {}), 1, std::nullopt, 0};
    }

    QString found() const
    {
        return atEnd() ? u"the end of the formula"_s : u"'"_s + spelling().toString() + u"'"_s;
    }

    void advance()
    {
        m_lastEnd = current().end();
        ++m_at;
    }

    // Where the formula ends for a note: its length, on the line and past the column of the
    // last code token.
    SourcePos endPosition() const
    {
        const SourcePos last = m_lastEnd < 0 ? SourcePos{} : m_lines.at(m_lastEnd);
        return {m_text.size(), last.line, last.column};
    }

    void statement()
    {
        const size_t start = m_at;
        m_failed = false;
        if (kind() == TokenKind::Semicolon) {
            advance();
            return;
        }
        if (kind() == TokenKind::Unknown && spelling() == u"\"") {
            advance(); // a stray quote pasted with the code
            return;
        }
        if (lineStart(m_at) && isHeading()) {
            do
                advance();
            while (!atEnd() && !lineStart(m_at));
            return;
        }
        if (kind() == TokenKind::Directive) { // #NOTE "...", #MAINCHART
            advance();
            while (!atEnd() && (kind() == TokenKind::Note || kind() == TokenKind::Quoted ||
                                kind() == TokenKind::Text))
                advance();
            if (kind() == TokenKind::Semicolon)
                advance();
            return;
        }

        Statement s;
        s.pos = position(current());
        if (const size_t colon = definitionColon(m_at); colon != kNone) {
            s.kind = token(colon).kind == TokenKind::Assign ? StatementKind::Variable
                                                            : StatementKind::Output;
            if (m_build) {
                s.name = upper(spellingOf(m_at, colon - 1));
                if (colon - 1 > m_at)
                    m_wideNames.insert(s.name);
            }
            while (m_at <= colon)
                advance();
        }
        s.value = expression().expr;
        while (!m_failed) {
            if (kind() == TokenKind::Comma) {
                advance();
                s.attributes.push_back(expression().expr);
            } else if (kind() == TokenKind::Name && isStyleWord(spelling()) &&
                       kind(1) != TokenKind::LeftParen) {
                // ")COLORRED", "LINETHICK1 DOTLINE": the charting software needs no comma here
                s.attributes.push_back(primary().expr);
            } else {
                break;
            }
        }
        if (!m_failed && !atEnd() && kind() != TokenKind::Semicolon)
            fail(SyntaxProblem::MissingSemicolon, u"expected ';' but found %1"_s.arg(found()));
        if (m_failed) {
            recover(start);
            return;
        }
        if (!atEnd())
            advance(); // ';'
        if (m_sink)
            m_sink->statement(std::move(s));
        else if (m_build)
            m_program.statements.push_back(std::move(s));
    }

    void recover(size_t start)
    {
        if (m_at == start && !atEnd())
            advance();
        while (!atEnd()) {
            if (kind() == TokenKind::Semicolon)
                break;
            if (lineStart(m_at) && startsDefinition(m_at))
                break;
            advance();
        }
        if (m_build)
            salvage(start, m_at);
        if (kind() == TokenKind::Semicolon)
            advance();
    }

    // The calls in code tokens [begin, end) that read whole, outermost first. A call that
    // does not read is looked into; the work stays a small multiple of the statement's.
    void salvage(size_t begin, size_t end)
    {
        // The calls worth a look, by their '(' and ')': a broken statement may be the whole
        // text, so nothing is kept for the other parentheses but the stack. Code indexes fit
        // 31 bits (see Token); the top bit of an open one tells a call worth a look.
        constexpr quint32 kWorth = 0x80000000U;
        struct Call
        {
            quint32 open;
            quint32 close;
        };
        std::vector<Call> calls;
        std::vector<quint32> open;
        for (size_t k = begin; k < end; ++k) {
            if (token(k).kind == TokenKind::LeftParen) {
                const bool worth = k > begin && token(k - 1).kind == TokenKind::Name &&
                                   worthSalvaging(spelling(token(k - 1)));
                open.push_back(static_cast<quint32>(k) | (worth ? kWorth : 0U));
            } else if (token(k).kind == TokenKind::RightParen && !open.empty()) {
                if (open.back() & kWorth)
                    calls.push_back({open.back() & ~kWorth, static_cast<quint32>(k)});
                open.pop_back();
            }
        }
        std::sort(calls.begin(), calls.end(),
                  [](const Call &x, const Call &y) { return x.open < y.open; });
        size_t budget = 8 * (end - begin) + 64;
        size_t next = begin; // calls inside one read whole are not looked into again
        for (const auto &[paren, shut] : calls) {
            const size_t k = size_t(paren) - 1;
            const size_t close = shut;
            if (k < next || close - k + 1 > budget)
                continue;
            budget -= close - k + 1;
            Parser inner(*this, k, close);
            if (ExprPtr call = inner.wholeExpression()) {
                if (m_sink)
                    m_sink->salvaged(std::move(call));
                else
                    m_program.salvaged.push_back(std::move(call));
                next = close + 1;
            }
        }
    }

    // Only what a checker looks into beyond the names themselves: offsets and counts of the
    // calls that may read later bars, plug-ins and other formulas. Other calls stay unbuilt, so
    // a long broken line keeps no tree.
    static bool worthSalvaging(QStringView name)
    {
        return equalsWord(name, "REF") || equalsWord(name, "REFV") || equalsWord(name, "BACKSET") ||
               (name.size() >= 6 && equalsWord(name.first(6), "TDXDLL")) ||
               (name.size() >= 5 && equalsWord(name.first(5), "FXDLL")) || name.contains(u'.');
    }

    // A title pasted with the code: a line that starts and ends with '#', as "#我的指标#".
    bool isHeading() const
    {
        if (!spelling().startsWith(u'#'))
            return false;
        size_t last = m_at;
        while (last + 1 < m_size && !lineStart(last + 1))
            ++last;
        return last > m_at && spelling(token(last)).endsWith(u'#');
    }

    Parsed expression() { return binary(0); }

    // Levels, loosest first; the lexer only makes operators of these spellings.
    static int levelOf(QStringView op)
    {
        switch (op.front().unicode()) {
        case u'O':
        case u'o':
        case u'|':
            return 0;
        case u'A':
        case u'a':
        case u'&':
            return 1;
        case u'+':
        case u'-':
            return 3;
        case u'*':
        case u'/':
            return 4;
        case u'N':
        case u'n':
            return -1;
        default:
            return 2; // comparisons
        }
    }

    Parsed binary(int level)
    {
        if (level > 4)
            return unary();
        Parsed left = binary(level + 1);
        while (!m_failed && kind() == TokenKind::Operator && levelOf(spelling()) == level) {
            const QStringView op = spelling();
            ExprPtr node = make(ExprKind::Binary, left.expr ? left.expr->pos : SourcePos{});
            if (node)
                node->text = upper(op);
            advance();
            Parsed right = binary(level + 1);
            const int depth = 1 + std::max(left.depth, right.depth);
            if (depth > kMaxTreeDepth)
                return fail(SyntaxProblem::TooLong, u"the expression is too long"_s);
            const std::optional<double> value = fold(op, left.value, right.value);
            if (node) {
                node->args.reserve(2);
                node->args.push_back(std::move(left.expr));
                node->args.push_back(std::move(right.expr));
            }
            left = {std::move(node), depth, value};
        }
        return left;
    }

    Parsed nested(Parsed (Parser::*inner)())
    {
        if (m_nesting >= kMaxNesting)
            return fail(SyntaxProblem::TooDeep, u"the expression nests too deeply"_s);
        ++m_nesting;
        Parsed result = (this->*inner)();
        --m_nesting;
        return result;
    }

    Parsed unary()
    {
        if (isOperator("-") || isOperator("+") || isOperator("NOT")) {
            const QStringView op = spelling();
            ExprPtr node = make(ExprKind::Unary, position(current()));
            if (node)
                node->text = upper(op);
            advance();
            Parsed operand = nested(&Parser::unary);
            std::optional<double> value;
            if (operand.value && op != u"NOT")
                value = op.front() == u'-' ? -*operand.value : *operand.value;
            if (node)
                node->args.push_back(std::move(operand.expr));
            return {std::move(node), operand.depth + 1, value};
        }
        return postfix();
    }

    Parsed postfix()
    {
        Parsed p = primary();
        if (m_failed)
            return p;
        if (kind() == TokenKind::Period) {
            if (p.expr)
                p.expr->period = upper(spelling());
            p.value.reset();
            advance();
        }
        if (kind() == TokenKind::Directive && current().offset == m_lastEnd)
            advance(); // Param#1
        return p;
    }

    Parsed primary()
    {
        if (atEnd())
            return fail(SyntaxProblem::MissingValue,
                        u"expected a value but found the end of the formula"_s);
        const Token &t = current();
        ExprPtr node;
        switch (t.kind) {
        case TokenKind::Number: {
            const std::optional<double> value = numberValue(spelling());
            if (!value)
                return fail(SyntaxProblem::NotANumber, u"%1 is not a number"_s.arg(found()));
            const double number = *value;
            node = make(ExprKind::Number, position(t));
            if (node)
                node->number = number;
            advance();
            return {std::move(node), 1, number};
        }
        case TokenKind::Text:
        case TokenKind::Quoted:
            node = make(ExprKind::String, position(t));
            if (node) {
                node->doubleQuoted = t.kind == TokenKind::Quoted;
                node->text = unquote(spelling(), node->doubleQuoted ? u'"' : u'\'');
                if (node->doubleQuoted)
                    splitPeriod(node.get());
            }
            advance();
            return {std::move(node), 1, std::nullopt};
        case TokenKind::Name:
            node = make(ExprKind::Name, position(t));
            if (!m_wideNames.isEmpty() && kind(1) == TokenKind::LeftParen) {
                const size_t last = wideNameEnd(m_at);
                if (last != kNone && m_wideNames.contains(upper(spellingOf(m_at, last)))) {
                    if (node)
                        node->text = upper(spellingOf(m_at, last));
                    while (m_at <= last)
                        advance();
                    return {std::move(node), 1, std::nullopt};
                }
            }
            if (node)
                node->text = upper(spelling());
            advance();
            if (kind() == TokenKind::LeftParen)
                return call(std::move(node), &t);
            return {std::move(node), 1, std::nullopt};
        case TokenKind::LeftParen: {
            // (X), or a list such as the (0,250,0) a parameter line declares
            Parsed list = call(make(ExprKind::Call, position(t)), nullptr);
            if (m_failed)
                return list;
            if (list.items == 1) {
                list.expr = list.expr ? std::move(list.expr->args[0]) : nullptr;
                list.depth -= 1;
                return list;
            }
            if (list.items == 0)
                return fail(SyntaxProblem::EmptyParens, u"expected a value in ( )"_s);
            return list;
        }
        default:
            return fail(SyntaxProblem::MissingValue,
                        u"expected a value but found %1"_s.arg(found()));
        }
    }

    // The arguments of a call, or the items of a list (no callee).
    Parsed call(ExprPtr node, const Token *callee)
    {
        if (node)
            node->kind = ExprKind::Call;
        advance(); // (
        int depth = 1;
        int items = 0;
        std::optional<double> first;
        std::optional<double> second;
        if (kind() != TokenKind::RightParen) {
            while (true) {
                Parsed arg = nested(&Parser::expression);
                if (m_failed)
                    return arg;
                depth = std::max(depth, arg.depth + 1);
                if (items == 0)
                    first = arg.value;
                else if (items == 1)
                    second = arg.value;
                ++items;
                if (node)
                    node->args.push_back(std::move(arg.expr));
                if (kind() != TokenKind::Comma)
                    break;
                advance();
            }
        }
        if (kind() != TokenKind::RightParen)
            return fail(SyntaxProblem::MissingParen, u"expected ')' but found %1"_s.arg(found()));
        advance();
        if (callee && isRef(spelling(*callee))) {
            m_refCalls.push_back(callee->offset);
            if (items >= 2 && second && *second < 0)
                m_negativeRefs.push_back(callee->offset);
        }
        return {std::move(node), depth, items == 1 ? first : std::nullopt, items};
    }

    static QString unquote(QStringView s, QChar quote)
    {
        s = s.sliced(1);
        if (s.endsWith(quote))
            s.chop(1);
        return s.toString();
    }

    // "KDJ.K#WEEK": the name keeps KDJ.K, the period goes to its own field.
    static void splitPeriod(Expr *e)
    {
        const qsizetype sharp = e->text.lastIndexOf(u'#');
        if (sharp >= 0 && isPeriodWord(QStringView(e->text).sliced(sharp + 1))) {
            e->period = e->text.sliced(sharp).toUpper();
            e->text.truncate(sharp);
        }
    }

    QStringView m_text;
    const std::vector<Token> &m_tokens;
    std::unique_ptr<LineIndex> m_ownLines;
    const LineIndex &m_lines; // the outer parser's, for a parser over a salvaged call
    // The code tokens: the tokens from m_first on when all are code (as lexCode's without
    // comments), else those m_code indexes, leaving out blanks and comments.
    bool m_allCode = false;
    size_t m_first = 0;
    size_t m_size = 0;
    std::vector<quint32> m_code;
    size_t m_at = 0;
    bool m_failed = false;
    int m_nesting = 0;
    qsizetype m_lastEnd = -1;
    const bool m_build;
    StatementSink *m_sink = nullptr; // when set, it takes the statements instead of m_program
    QHash<QStringView, QString> m_upper;
    QSet<QString> m_wideNames; // names defined with full-width parentheses in them
    std::vector<qsizetype> m_refCalls;
    std::vector<qsizetype> m_negativeRefs;
    Program m_program;
};

} // namespace

Program parseTokens(QStringView text, const std::vector<Token> &tokens)
{
    return Parser(text, tokens, true).run();
}

std::vector<SyntaxNote> parseInto(QStringView text, const std::vector<Token> &tokens,
                                  StatementSink &sink)
{
    return Parser(text, tokens, true).into(sink);
}

SyntaxSummary summarizeSyntax(QStringView text, const std::vector<Token> &tokens)
{
    return Parser(text, tokens, false).summary();
}

Program parse(QStringView text)
{
    return parseTokens(text, lex(text));
}

} // namespace morvane::formula
