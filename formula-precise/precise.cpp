#include "precise.h"

#include "lexer.h"
#include "parser.h"

#include <QHash>
#include <QJsonArray>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// Upper case one UTF-16 unit for one, so that offsets in the upper-cased text stay those of
// the original.
char16_t upperUnit(char16_t c)
{
    if (c < 0x80)
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    if (QChar::isSurrogate(c))
        return c;
    const char32_t u = QChar::toUpper(static_cast<char32_t>(c));
    return u > 0xffff ? c : static_cast<char16_t>(u);
}

QString upperText(QStringView s)
{
    QString out(s.size(), Qt::Uninitialized);
    char16_t *d = reinterpret_cast<char16_t *>(out.data());
    for (qsizetype i = 0; i < s.size(); ++i)
        d[i] = upperUnit(s[i].unicode());
    return out;
}

// Aho-Corasick over upper-cased UTF-16: full transitions for ASCII, failure links beyond.
class Matcher
{
public:
    explicit Matcher(const std::vector<QString> &patterns)
    {
        m_nodes.emplace_back();
        for (size_t p = 0; p < patterns.size(); ++p) {
            int32_t n = 0;
            for (QChar qc : patterns[p]) {
                const char16_t c = qc.unicode();
                int32_t next = child(n, c);
                if (next < 0) {
                    next = static_cast<int32_t>(m_nodes.size());
                    m_nodes.emplace_back();
                    if (c < 0x80)
                        m_nodes[static_cast<size_t>(n)].ascii[c] = next;
                    else
                        m_nodes[static_cast<size_t>(n)].wide.push_back({c, next});
                }
                n = next;
            }
            node(n).pattern = static_cast<int32_t>(p);
            m_lengths.push_back(patterns[p].size());
        }
        link();
    }

    // onHit(pattern, start) for every occurrence of every pattern, by end position.
    template <typename F> void run(QStringView upper, F &&onHit) const
    {
        int32_t state = 0;
        for (qsizetype i = 0; i < upper.size(); ++i) {
            const char16_t c = upper[i].unicode();
            if (c < 0x80) {
                state = node(state).ascii[c];
            } else {
                int32_t next = child(state, c);
                while (next < 0 && state != 0) {
                    state = node(state).fail;
                    next = child(state, c);
                }
                state = std::max(next, 0);
            }
            for (int32_t n = node(state).pattern >= 0 ? state : node(state).outLink; n >= 0;
                 n = node(n).outLink) {
                const int32_t p = node(n).pattern;
                onHit(p, i + 1 - m_lengths[static_cast<size_t>(p)]);
            }
        }
    }

private:
    struct Node
    {
        Node() { ascii.fill(-1); }
        std::array<int32_t, 128> ascii;
        std::vector<std::pair<char16_t, int32_t>> wide;
        int32_t fail = 0;
        int32_t pattern = -1;
        int32_t outLink = -1; // the next node along the failure links that ends a pattern
    };

    Node &node(int32_t n) { return m_nodes[static_cast<size_t>(n)]; }
    const Node &node(int32_t n) const { return m_nodes[static_cast<size_t>(n)]; }

    int32_t child(int32_t n, char16_t c) const
    {
        if (c < 0x80)
            return node(n).ascii[c];
        for (const auto &[k, v] : node(n).wide) {
            if (k == c)
                return v;
        }
        return -1;
    }

    void link()
    {
        std::vector<int32_t> queue{0};
        for (size_t head = 0; head < queue.size(); ++head) {
            const int32_t u = queue[head];
            const int32_t f = node(u).fail;
            for (char16_t c = 0; c < 0x80; ++c) {
                const int32_t v = node(u).ascii[c];
                const int32_t viaFail = u == 0 ? 0 : node(f).ascii[c];
                if (v < 0) {
                    node(u).ascii[c] = viaFail;
                } else {
                    node(v).fail = viaFail;
                    queue.push_back(v);
                }
            }
            for (const auto &[c, v] : node(u).wide) {
                int32_t g = f;
                int32_t target = u == 0 ? -1 : child(g, c);
                while (u != 0 && target < 0 && g != 0) {
                    g = node(g).fail;
                    target = child(g, c);
                }
                node(v).fail = std::max(target, 0);
                queue.push_back(v);
            }
        }
        for (size_t k = 1; k < queue.size(); ++k) {
            Node &v = node(queue[k]);
            const Node &f = node(v.fail);
            v.outLink = f.pattern >= 0 ? v.fail : f.outLink;
        }
    }

    std::vector<Node> m_nodes;
    std::vector<qsizetype> m_lengths;
};

enum class PatternKind
{
    Name,   // matches a whole name token
    Period, // #WEEK, #FOO: a period suffix or other # word
    Plain   // anything else: a substring of the code
};

struct Pattern
{
    QString text; // upper case
    PatternKind kind = PatternKind::Plain;
    KnownName name; // the knowledge base's entry, or a Listed one
};

PatternKind kindOf(const QString &entry)
{
    const std::vector<Token> tokens = lex(entry);
    if (tokens.size() == 1 && tokens[0].kind == TokenKind::Name)
        return PatternKind::Name;
    if (tokens.size() == 1 &&
        (tokens[0].kind == TokenKind::Period || tokens[0].kind == TokenKind::Directive))
        return PatternKind::Period;
    return PatternKind::Plain;
}

std::vector<Pattern> patternsFor(const QStringList &listEntries)
{
    std::vector<Pattern> patterns;
    QHash<QString, size_t> seen;
    auto add = [&](const QString &upper, const KnownName &name) {
        if (upper.trimmed().isEmpty() || seen.contains(upper))
            return;
        seen.insert(upper, patterns.size());
        patterns.push_back({upper, kindOf(upper), name});
    };
    for (const KnownName &k : knownNames())
        add(k.name, k);
    for (const QString &entry : listEntries) {
        const QString upper = upperText(entry);
        add(upper, {upper, NameClass::Listed, listedReason(), false});
    }
    return patterns;
}

bool isCode(TokenKind kind)
{
    switch (kind) {
    case TokenKind::Comment:
    case TokenKind::Text:
    case TokenKind::Quoted:
    case TokenKind::Note:
        return false;
    default:
        return true;
    }
}

IgnoreWhy whyFor(TokenKind kind)
{
    return kind == TokenKind::Comment ? IgnoreWhy::Comment : IgnoreWhy::Text;
}

size_t nextCodeToken(const std::vector<Token> &tokens, size_t i)
{
    for (++i; i < tokens.size(); ++i) {
        const TokenKind k = tokens[i].kind;
        if (k != TokenKind::Space && k != TokenKind::Newline && k != TokenKind::Comment)
            break;
    }
    return i;
}

class Checker
{
public:
    Checker(const QString &text, const QStringList &listEntries)
        : m_text(text), m_tokens(lex(text)), m_patterns(patternsFor(listEntries))
    {
    }

    PreciseResult run()
    {
        SyntaxSummary syntax = summarizeSyntax(m_text, m_tokens);
        m_result.notes = std::move(syntax.notes);
        m_refCalls = std::move(syntax.refCalls);
        m_negativeRefs = std::move(syntax.negativeRefCalls);
        std::sort(m_refCalls.begin(), m_refCalls.end());
        std::sort(m_negativeRefs.begin(), m_negativeRefs.end());
        m_foundIndex.assign(m_patterns.size(), -1);
        m_definedAt.assign(m_patterns.size(), -1);

        std::vector<QString> texts;
        texts.reserve(m_patterns.size());
        for (const Pattern &p : m_patterns)
            texts.push_back(p.text);
        struct Hit
        {
            qsizetype start;
            int32_t pattern;
        };
        std::vector<Hit> hits;
        Matcher(texts).run(upperText(m_text), [&](int32_t p, qsizetype start) {
            hits.push_back({start, p});
        });
        std::sort(hits.begin(), hits.end(), [this](const Hit &a, const Hit &b) {
            if (a.start != b.start)
                return a.start < b.start;
            return length(a.pattern) > length(b.pattern);
        });
        for (const Hit &h : hits)
            classify(static_cast<size_t>(h.pattern), h.start);
        return std::move(m_result);
    }

private:
    qsizetype length(int32_t p) const { return m_patterns[static_cast<size_t>(p)].text.size(); }

    size_t nextCode(size_t i) const { return nextCodeToken(m_tokens, i); }

    TokenKind nextCodeKind(size_t i) const
    {
        const size_t j = nextCode(i);
        return j < m_tokens.size() ? m_tokens[j].kind : TokenKind::Unknown;
    }

    bool isDefinition(size_t i) const
    {
        const TokenKind next = nextCodeKind(i);
        return m_tokens[i].kind == TokenKind::Name &&
               (next == TokenKind::Assign || next == TokenKind::Colon);
    }

    QStringView spelling(const Token &t) const
    {
        return QStringView(m_text).sliced(t.offset, t.length);
    }

    static bool contains(const std::vector<qsizetype> &sorted, qsizetype offset)
    {
        return std::binary_search(sorted.begin(), sorted.end(), offset);
    }

    // The token holding `offset`; hits come by start, so the cursor only moves on.
    size_t tokenAt(qsizetype offset)
    {
        while (m_cursor + 1 < m_tokens.size() && m_tokens[m_cursor].end() <= offset)
            ++m_cursor;
        return m_cursor;
    }

    // Why [start, end) is not code, looking at every token it touches; nothing if it is code.
    std::optional<IgnoreWhy> notCode(size_t first, qsizetype end) const
    {
        for (size_t i = first; i < m_tokens.size() && m_tokens[i].offset < end; ++i) {
            if (!isCode(m_tokens[i].kind))
                return whyFor(m_tokens[i].kind);
        }
        return std::nullopt;
    }

    void classify(size_t id, qsizetype start)
    {
        const Pattern &p = m_patterns[id];
        const size_t i = tokenAt(start);
        const Token &t = m_tokens[i];
        const qsizetype end = start + p.text.size();
        const bool whole = start == t.offset && end == t.end();
        const bool inside = end <= t.end();

        if (p.name.negativeOffsetOnly) { // REF, REFV: only the calls that read later bars
            if (whole && t.kind == TokenKind::Name &&
                (contains(m_negativeRefs, t.offset) ||
                 (!contains(m_refCalls, t.offset) && isNegativeOffsetCall(m_text, m_tokens, i))))
                count(id, i, start);
            return;
        }
        if (p.kind == PatternKind::Plain || !inside) {
            const std::optional<IgnoreWhy> why = notCode(i, end);
            if (why)
                ignore(p, i, start, *why);
            else if (p.kind == PatternKind::Plain)
                count(id, i, start);
            else
                ignore(p, i, start, IgnoreWhy::Identifier);
            return;
        }
        if (!isCode(t.kind)) {
            // A period suffix counts inside "...", as in "KDJ.K#WEEK".
            if (p.kind == PatternKind::Period && t.kind == TokenKind::Quoted && !nameCharAt(end))
                count(id, i, start);
            else
                ignore(p, i, start, whyFor(t.kind));
            return;
        }
        const bool nameToken = p.kind == PatternKind::Name && t.kind == TokenKind::Name;
        const bool periodToken = p.kind == PatternKind::Period &&
                                 (t.kind == TokenKind::Period || t.kind == TokenKind::Directive);
        if (!whole || !(nameToken || periodToken)) {
            ignore(p, i, start, IgnoreWhy::Identifier);
            return;
        }
        if (periodToken || nextCodeKind(i) == TokenKind::LeftParen) {
            count(id, i, start);
            return;
        }
        // Hits come in text order: a use after the name's first definition is the variable.
        if (m_definedAt[id] < 0 && isDefinition(i))
            m_definedAt[id] = t.offset;
        if (m_definedAt[id] >= 0)
            ignore(p, i, start, IgnoreWhy::Defined);
        else
            count(id, i, start);
    }

    bool nameCharAt(qsizetype k) const
    {
        if (k >= m_text.size())
            return false;
        const QChar c = m_text[k];
        if (c.isHighSurrogate() && k + 1 < m_text.size() && m_text[k + 1].isLowSurrogate())
            return isNameChar(QChar::surrogateToUcs4(c, m_text[k + 1]));
        return isNameChar(c.unicode());
    }

    NameOccurrence place(size_t i, qsizetype start, qsizetype length)
    {
        const Token &t = m_tokens[i];
        if (m_columnToken != i) {
            m_columnToken = i;
            m_columnOffset = t.offset;
            m_column = t.column;
        }
        for (; m_columnOffset < start; ++m_columnOffset) {
            if (!m_text[m_columnOffset].isLowSurrogate())
                ++m_column;
        }
        return {t.line, m_column, start, length};
    }

    void count(size_t id, size_t i, qsizetype start)
    {
        const Pattern &p = m_patterns[id];
        const NameOccurrence where = place(i, start, p.text.size());
        if (m_foundIndex[id] < 0) {
            m_foundIndex[id] = static_cast<qsizetype>(m_result.found.size());
            m_result.found.push_back({p.name.name, p.name.cls, p.name.reason, {}});
        }
        m_result.found[static_cast<size_t>(m_foundIndex[id])].occurrences.push_back(where);
    }

    void ignore(const Pattern &p, size_t i, qsizetype start, IgnoreWhy why)
    {
        const NameOccurrence w = place(i, start, p.text.size());
        m_result.ignored.push_back({p.name.name, w.line, w.column, w.offset, w.length, why});
    }

    const QString &m_text;
    std::vector<Token> m_tokens;
    std::vector<Pattern> m_patterns;
    std::vector<qsizetype> m_refCalls;
    std::vector<qsizetype> m_negativeRefs;
    std::vector<qsizetype> m_definedAt;  // by pattern: offset of its first definition, or -1
    std::vector<qsizetype> m_foundIndex; // by pattern: its index in found, or -1
    size_t m_cursor = 0;
    size_t m_columnToken = SIZE_MAX;
    qsizetype m_columnOffset = 0;
    int m_column = 1;
    PreciseResult m_result;
};

} // namespace

bool isNegativeOffsetCall(QStringView text, const std::vector<Token> &tokens, size_t name)
{
    auto next = [&](size_t i) { return nextCodeToken(tokens, i); };
    size_t j = next(name);
    if (j >= tokens.size() || tokens[j].kind != TokenKind::LeftParen)
        return false;
    int depth = 0;
    for (; j < tokens.size(); j = next(j)) {
        const TokenKind k = tokens[j].kind;
        if (k == TokenKind::LeftParen)
            ++depth;
        else if (k == TokenKind::RightParen && --depth == 0)
            return false;
        else if (k == TokenKind::Comma && depth == 1)
            break;
    }
    const size_t minus = next(j);
    const size_t number = next(minus);
    const size_t close = next(number);
    return close < tokens.size() && tokens[minus].kind == TokenKind::Operator &&
           text.sliced(tokens[minus].offset, tokens[minus].length) == u"-" &&
           tokens[number].kind == TokenKind::Number && tokens[close].kind == TokenKind::RightParen;
}

PreciseResult preciseCheck(const QString &text, const QStringList &listEntries)
{
    return Checker(text, listEntries).run();
}

QLatin1StringView whyWord(IgnoreWhy why)
{
    switch (why) {
    case IgnoreWhy::Comment:
        return "comment"_L1;
    case IgnoreWhy::Text:
        return "text"_L1;
    case IgnoreWhy::Identifier:
        return "identifier"_L1;
    case IgnoreWhy::Defined:
        break;
    }
    return "defined"_L1;
}

QJsonObject toJson(const PreciseResult &result)
{
    QJsonArray found;
    for (const FoundName &f : result.found) {
        QJsonArray places;
        for (const NameOccurrence &o : f.occurrences)
            places.append(QJsonObject{{u"line"_s, o.line}, {u"column"_s, o.column}});
        found.append(QJsonObject{{u"name"_s, f.name},
                                 {u"class"_s, QString(classWord(f.cls))},
                                 {u"reason"_s, f.reason},
                                 {u"occurrences"_s, places}});
    }
    QJsonArray ignored;
    for (const IgnoredName &g : result.ignored) {
        ignored.append(QJsonObject{{u"name"_s, g.name},
                                   {u"line"_s, g.line},
                                   {u"column"_s, g.column},
                                   {u"why"_s, QString(whyWord(g.why))}});
    }
    QJsonArray notes;
    for (const SyntaxNote &n : result.notes) {
        notes.append(QJsonObject{
            {u"line"_s, n.pos.line}, {u"column"_s, n.pos.column}, {u"message"_s, n.message}});
    }
    return {{u"found"_s, found}, {u"ignored"_s, ignored}, {u"notes"_s, notes}};
}

} // namespace morvane::formula
