#include "parser.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// Parentheses, calls and signs nest the parser's recursion; long operator chains deepen
// the tree that those who walk it recurse over.
constexpr int kMaxNesting = 100;
constexpr int kMaxTreeDepth = 2000;

struct Parsed
{
    ExprPtr expr;
    int depth = 1;
};

class Parser
{
public:
    Parser(QStringView text, const std::vector<Token> &tokens) : m_text(text), m_tokens(tokens)
    {
        for (size_t i = 0; i < tokens.size(); ++i) {
            switch (tokens[i].kind) {
            case TokenKind::Newline:
                m_sawNewline = true;
                break;
            case TokenKind::Space:
            case TokenKind::Comment:
                break;
            default:
                m_code.push_back(i);
                m_lineStart.push_back(m_sawNewline || m_code.size() == 1);
                m_sawNewline = false;
                break;
            }
        }
    }

    Program run()
    {
        while (!atEnd())
            statement();
        return std::move(m_program);
    }

private:
    bool atEnd() const { return m_at >= m_code.size(); }
    const Token &token(size_t k) const { return m_tokens[m_code[k]]; }
    TokenKind kind(size_t k = 0) const
    {
        return m_at + k < m_code.size() ? token(m_at + k).kind : TokenKind::Unknown;
    }
    const Token &current() const { return token(std::min(m_at, m_code.size() - 1)); }
    QStringView spelling(const Token &t) const { return m_text.sliced(t.offset, t.length); }
    QStringView spelling() const { return spelling(current()); }
    static SourcePos position(const Token &t) { return {t.offset, t.line, t.column}; }
    bool isOperator(QStringView op) const
    {
        return !atEnd() && kind() == TokenKind::Operator &&
               spelling().compare(op, Qt::CaseInsensitive) == 0;
    }

    bool startsDefinition(size_t k) const
    {
        return k + 1 < m_code.size() && token(k).kind == TokenKind::Name &&
               (token(k + 1).kind == TokenKind::Assign || token(k + 1).kind == TokenKind::Colon);
    }

    Parsed fail(const QString &message)
    {
        if (!m_failed) {
            m_failed = true;
            SourcePos pos =
                atEnd() ? SourcePos{m_text.size(), m_lastLine, m_lastColumn} : position(current());
            m_program.notes.push_back({pos, message});
        }
        return {std::make_unique<Expr>(), 1};
    }

    QString found() const
    {
        return atEnd() ? u"the end of the formula"_s : u"'"_s + spelling().toString() + u"'"_s;
    }

    void advance()
    {
        const Token &t = current();
        m_lastLine = t.line;
        m_lastColumn = t.column;
        for (QChar c : spelling(t))
            m_lastColumn += c.isLowSurrogate() ? 0 : 1;
        m_lastEnd = t.end();
        ++m_at;
    }

    void statement()
    {
        const size_t start = m_at;
        m_failed = false;
        if (kind() == TokenKind::Semicolon) {
            advance();
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
        if (startsDefinition(m_at)) {
            s.kind = kind(1) == TokenKind::Assign ? StatementKind::Variable : StatementKind::Output;
            s.name = spelling().toString().toUpper();
            advance();
            advance();
        }
        s.value = expression().expr;
        while (!m_failed && kind() == TokenKind::Comma) {
            advance();
            s.attributes.push_back(expression().expr);
        }
        if (!m_failed && !atEnd() && kind() != TokenKind::Semicolon)
            fail(u"expected ';' but found %1"_s.arg(found()));
        if (m_failed) {
            recover(start);
            return;
        }
        if (!atEnd())
            advance(); // ';'
        m_program.statements.push_back(std::move(s));
    }

    void recover(size_t start)
    {
        if (m_at == start && !atEnd())
            advance();
        while (!atEnd()) {
            if (kind() == TokenKind::Semicolon) {
                advance();
                return;
            }
            if (m_lineStart[m_at] && startsDefinition(m_at))
                return;
            advance();
        }
    }

    Parsed expression() { return binary(0); }

    // Levels, loosest first.
    static int levelOf(QStringView op)
    {
        if (op.compare(u"OR", Qt::CaseInsensitive) == 0 || op == u"||")
            return 0;
        if (op.compare(u"AND", Qt::CaseInsensitive) == 0 || op == u"&&")
            return 1;
        if (op == u"+" || op == u"-")
            return 3;
        if (op == u"*" || op == u"/")
            return 4;
        if (op.compare(u"NOT", Qt::CaseInsensitive) == 0)
            return -1;
        return 2; // comparisons
    }

    Parsed binary(int level)
    {
        if (level > 4)
            return unary();
        Parsed left = binary(level + 1);
        while (!m_failed && kind() == TokenKind::Operator && levelOf(spelling()) == level) {
            auto node = std::make_unique<Expr>();
            node->kind = ExprKind::Binary;
            node->pos = left.expr->pos;
            node->text = spelling().toString().toUpper();
            advance();
            Parsed right = binary(level + 1);
            const int depth = 1 + std::max(left.depth, right.depth);
            if (depth > kMaxTreeDepth)
                return fail(u"the expression is too long"_s);
            node->args.push_back(std::move(left.expr));
            node->args.push_back(std::move(right.expr));
            left = {std::move(node), depth};
        }
        return left;
    }

    Parsed nested(Parsed (Parser::*inner)())
    {
        if (m_nesting >= kMaxNesting)
            return fail(u"the expression nests too deeply"_s);
        ++m_nesting;
        Parsed result = (this->*inner)();
        --m_nesting;
        return result;
    }

    Parsed unary()
    {
        if (isOperator(u"-") || isOperator(u"+") || isOperator(u"NOT")) {
            auto node = std::make_unique<Expr>();
            node->kind = ExprKind::Unary;
            node->pos = position(current());
            node->text = spelling().toString().toUpper();
            advance();
            Parsed operand = nested(&Parser::unary);
            node->args.push_back(std::move(operand.expr));
            return {std::move(node), operand.depth + 1};
        }
        return postfix();
    }

    Parsed postfix()
    {
        Parsed p = primary();
        if (m_failed)
            return p;
        if (kind() == TokenKind::Period) {
            p.expr->period = spelling().toString().toUpper();
            advance();
        }
        if (kind() == TokenKind::Directive && current().offset == m_lastEnd)
            advance(); // Param#1
        return p;
    }

    Parsed primary()
    {
        if (atEnd())
            return fail(u"expected a value but found the end of the formula"_s);
        const Token &t = current();
        auto node = std::make_unique<Expr>();
        node->pos = position(t);
        switch (t.kind) {
        case TokenKind::Number: {
            bool ok = false;
            node->kind = ExprKind::Number;
            node->number = spelling().toDouble(&ok);
            if (!ok)
                return fail(u"%1 is not a number"_s.arg(found()));
            advance();
            return {std::move(node), 1};
        }
        case TokenKind::Text:
        case TokenKind::Quoted:
            node->kind = ExprKind::String;
            node->doubleQuoted = t.kind == TokenKind::Quoted;
            node->text = unquote(spelling(), node->doubleQuoted ? u'"' : u'\'');
            if (node->doubleQuoted)
                splitPeriod(node.get());
            advance();
            return {std::move(node), 1};
        case TokenKind::Name:
            node->kind = ExprKind::Name;
            node->text = spelling().toString().toUpper();
            advance();
            if (kind() == TokenKind::LeftParen)
                return call(std::move(node));
            return {std::move(node), 1};
        case TokenKind::LeftParen: {
            // (X), or a list such as the (0,250,0) a parameter line declares
            Parsed list = call(std::move(node));
            if (m_failed)
                return list;
            if (list.expr->args.size() == 1)
                return {std::move(list.expr->args[0]), list.depth - 1};
            if (list.expr->args.empty())
                return fail(u"expected a value in ( )"_s);
            return list;
        }
        default:
            return fail(u"expected a value but found %1"_s.arg(found()));
        }
    }

    Parsed call(ExprPtr node)
    {
        node->kind = ExprKind::Call;
        advance(); // (
        int depth = 1;
        if (kind() != TokenKind::RightParen) {
            while (true) {
                Parsed arg = nested(&Parser::expression);
                if (m_failed)
                    return arg;
                depth = std::max(depth, arg.depth + 1);
                node->args.push_back(std::move(arg.expr));
                if (kind() != TokenKind::Comma)
                    break;
                advance();
            }
        }
        if (kind() != TokenKind::RightParen)
            return fail(u"expected ')' but found %1"_s.arg(found()));
        advance();
        return {std::move(node), depth};
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
    std::vector<size_t> m_code; // indexes of the tokens that are not blanks or comments
    std::vector<bool> m_lineStart;
    bool m_sawNewline = false;
    size_t m_at = 0;
    bool m_failed = false;
    int m_nesting = 0;
    int m_lastLine = 1;
    int m_lastColumn = 1;
    qsizetype m_lastEnd = -1;
    Program m_program;
};

} // namespace

Program parseTokens(QStringView text, const std::vector<Token> &tokens)
{
    return Parser(text, tokens).run();
}

Program parse(QStringView text)
{
    return parseTokens(text, lex(text));
}

} // namespace morvane::formula
