#include "lexer.h"

#include <QChar>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

bool isLineEnd(char16_t c)
{
    return c == u'\n' || c == u'\r';
}

bool isBlank(char16_t c)
{
    return c == u' ' || c == u'\t' || (c > 0x7f && !isLineEnd(c) && QChar::isSpace(c));
}

class Lexer
{
public:
    Lexer(QStringView text, LexState state, qsizetype origin, std::vector<Token> *out,
          bool keepBlanks = true)
        : m_text(text), m_state(state), m_base(origin), m_out(out), m_keepBlanks(keepBlanks)
    {
    }

    // The tokens kept (or that would be, without `out`).
    size_t kept() const { return m_kept; }
    // Comments go to `comments` instead of `out` (nowhere when null).
    void commentsApart(std::vector<Token> *comments)
    {
        m_commentsApart = true;
        m_comments = comments;
    }

    LexState run()
    {
        while (m_pos < m_text.size()) {
            if (isLineEnd(m_text[m_pos].unicode()))
                newline();
            else if (m_state != LexState::Normal)
                continueOpen();
            else
                token();
        }
        return m_state;
    }

private:
    char16_t unit(qsizetype k) const { return k < m_text.size() ? m_text[k].unicode() : u'\0'; }

    char32_t codePoint(qsizetype k, qsizetype *width) const
    {
        const char16_t c = unit(k);
        if (QChar::isHighSurrogate(c) && QChar::isLowSurrogate(unit(k + 1))) {
            *width = 2;
            return QChar::surrogateToUcs4(c, unit(k + 1));
        }
        *width = 1;
        return c;
    }

    void keep(TokenKind kind, qsizetype start)
    {
        if (!m_keepBlanks && (kind == TokenKind::Space || kind == TokenKind::Newline))
            return;
        if (kind == TokenKind::Comment && m_commentsApart) {
            if (m_comments)
                m_comments->push_back({static_cast<qint32>(m_base + start),
                                       static_cast<qint32>(m_pos - start), kind});
            return;
        }
        ++m_kept;
        if (m_out)
            m_out->push_back(
                {static_cast<qint32>(m_base + start), static_cast<qint32>(m_pos - start), kind});
    }

    void push(TokenKind kind, qsizetype start)
    {
        keep(kind, start);
        if (kind != TokenKind::Space)
            m_afterNote = false;
    }

    void newline()
    {
        const qsizetype start = m_pos;
        m_pos += m_text[m_pos] == u'\r' && unit(m_pos + 1) == u'\n' ? 2 : 1;
        keep(TokenKind::Newline, start);
        m_afterNote = false;
    }

    void toLineEnd()
    {
        while (m_pos < m_text.size() && !isLineEnd(m_text[m_pos].unicode()))
            ++m_pos;
    }

    // Runs to `closer` (consumed) or the line's end, which leaves the state open.
    void scanTo(QStringView closer, TokenKind kind, qsizetype start)
    {
        for (; m_pos < m_text.size(); ++m_pos) {
            const char16_t c = m_text[m_pos].unicode();
            if (isLineEnd(c))
                break;
            if (c == closer.front().unicode() &&
                (closer.size() == 1 ||
                 (m_pos + 1 < m_text.size() && m_text[m_pos + 1] == closer[1]))) {
                m_pos += closer.size();
                m_state = LexState::Normal;
                break;
            }
        }
        push(kind, start);
    }

    void continueOpen()
    {
        switch (m_state) {
        case LexState::InBrace:
            scanTo(u"}", TokenKind::Comment, m_pos);
            break;
        case LexState::InBlock:
            scanTo(u"*/", TokenKind::Comment, m_pos);
            break;
        case LexState::InNote:
            scanTo(u"\"", TokenKind::Note, m_pos);
            break;
        case LexState::Normal:
            break;
        }
    }

    bool closesOnLine(char16_t quote) const
    {
        for (qsizetype k = m_pos; k < m_text.size() && !isLineEnd(m_text[k].unicode()); ++k) {
            if (m_text[k] == quote)
                return true;
        }
        return false;
    }

    qsizetype nameRun(qsizetype k) const
    {
        qsizetype width = 1;
        while (k < m_text.size() && isNameChar(codePoint(k, &width)))
            k += width;
        return k;
    }

    void token()
    {
        const qsizetype start = m_pos;
        const char16_t c = m_text[m_pos].unicode();
        const char16_t next = unit(m_pos + 1);
        qsizetype width = 1;
        const char32_t cp = codePoint(m_pos, &width);

        if (isBlank(c)) {
            while (m_pos < m_text.size() && isBlank(m_text[m_pos].unicode()))
                ++m_pos;
            push(TokenKind::Space, start);
        } else if (opener(c, next, start)) {
            return;
        } else if ((c >= u'0' && c <= u'9') || (c == u'.' && next >= u'0' && next <= u'9')) {
            number();
            push(TokenKind::Number, start);
        } else if (isNameStart(cp)) {
            name(start);
        } else {
            punctuation(c, next, width, start);
        }
    }

    // Comments, quotes and #words; false when c opens none of them.
    bool opener(char16_t c, char16_t next, qsizetype start)
    {
        switch (c) {
        case u'{':
            ++m_pos;
            m_state = LexState::InBrace;
            scanTo(u"}", TokenKind::Comment, start);
            return true;
        case u'/':
            if (next == u'/') {
                toLineEnd();
                push(TokenKind::Comment, start);
                return true;
            }
            if (next == u'*') {
                m_pos += 2;
                m_state = LexState::InBlock;
                scanTo(u"*/", TokenKind::Comment, start);
                return true;
            }
            break;
        case u'\'':
            ++m_pos;
            scanTo(u"'", TokenKind::Text, start);
            m_state = LexState::Normal; // an unclosed quote ends with its line
            return true;
        case u'"':
            ++m_pos;
            if (m_afterNote) {
                m_state = LexState::InNote;
                scanTo(u"\"", TokenKind::Note, start);
            } else if (closesOnLine(u'"')) {
                scanTo(u"\"", TokenKind::Quoted, start);
                m_state = LexState::Normal;
            } else {
                // A stray quote, as pasted from a forum post: what follows is still code,
                // or a quote would hide a call from the check.
                push(TokenKind::Unknown, start);
            }
            return true;
        case u'#': {
            const qsizetype wordEnd = nameRun(m_pos + 1);
            if (wordEnd == m_pos + 1)
                break;
            const QStringView word = m_text.sliced(m_pos + 1, wordEnd - m_pos - 1);
            m_pos = wordEnd;
            push(isPeriodWord(word) ? TokenKind::Period : TokenKind::Directive, start);
            m_afterNote = equalsWord(word, "NOTE");
            return true;
        }
        default:
            break;
        }
        return false;
    }

    // A name, KDJ.K included, or the word operators AND, OR, NOT.
    void name(qsizetype start)
    {
        m_pos = nameRun(m_pos);
        // KDJ.K: a reference to another indicator's line
        while (unit(m_pos) == u'.' && m_pos + 1 < m_text.size()) {
            qsizetype w = 1;
            if (!isNameStart(codePoint(m_pos + 1, &w)))
                break;
            m_pos = nameRun(m_pos + 1);
        }
        const QStringView word = m_text.sliced(start, m_pos - start);
        const bool keyword =
            word.size() <= 3 &&
            (equalsWord(word, "AND") || equalsWord(word, "OR") || equalsWord(word, "NOT"));
        push(keyword ? TokenKind::Operator : TokenKind::Name, start);
    }

    void punctuation(char16_t c, char16_t next, qsizetype width, qsizetype start)
    {
        TokenKind kind = TokenKind::Operator;
        qsizetype length = 1;
        switch (c) {
        case u'+':
        case u'-':
        case u'*':
        case u'/':
            break;
        case u'>':
            length = next == u'=' ? 2 : 1;
            break;
        case u'<':
            length = next == u'=' || next == u'>' ? 2 : 1;
            break;
        case u'=':
            length = next == u'=' ? 2 : 1;
            break;
        case u'!':
            if (next == u'=')
                length = 2;
            else
                kind = TokenKind::Unknown;
            break;
        case u'&':
        case u'|':
            if (next == c)
                length = 2;
            else
                kind = TokenKind::Unknown;
            break;
        case u':':
        case u'\uff1a': // full-width forms stand where the half-width ones may, as typed by an IME
            kind = next == u'=' || next == u'\uff1d' ? TokenKind::Assign : TokenKind::Colon;
            length = kind == TokenKind::Assign ? 2 : 1;
            break;
        case u'(':
        case u'\uff08':
            kind = TokenKind::LeftParen;
            break;
        case u')':
        case u'\uff09':
            kind = TokenKind::RightParen;
            break;
        case u',':
        case u'\uff0c':
            kind = TokenKind::Comma;
            break;
        case u';':
        case u'\uff1b':
            kind = TokenKind::Semicolon;
            break;
        default:
            kind = TokenKind::Unknown;
            length = width;
            break;
        }
        m_pos += length;
        push(kind, start);
    }

    void number()
    {
        auto digits = [this] {
            while (unit(m_pos) >= u'0' && unit(m_pos) <= u'9')
                ++m_pos;
        };
        auto isDigit = [](char16_t d) { return d >= u'0' && d <= u'9'; };
        digits();
        if (unit(m_pos) == u'.' && isDigit(unit(m_pos + 1))) {
            ++m_pos;
            digits();
        } else if (unit(m_pos) == u'.' && !isNameStart(unit(m_pos + 1))) {
            ++m_pos; // "5." is a number too
        }
        const char16_t e = unit(m_pos);
        if (e == u'E' || e == u'e') {
            qsizetype k = m_pos + 1;
            if (unit(k) == u'+' || unit(k) == u'-')
                ++k;
            if (isDigit(unit(k))) {
                m_pos = k;
                digits();
            }
        }
    }

    QStringView m_text;
    LexState m_state;
    qsizetype m_base;
    std::vector<Token> *m_out;
    bool m_keepBlanks;
    bool m_commentsApart = false;
    std::vector<Token> *m_comments = nullptr;
    size_t m_kept = 0;
    qsizetype m_pos = 0;
    bool m_afterNote = false;
};

} // namespace

LexState lexFrom(QStringView text, LexState start, qsizetype origin, std::vector<Token> *out)
{
    if (origin + text.size() > kMaxLexed)
        return start;
    return Lexer(text, start, origin, out).run();
}

LexState lexLine(QStringView line, LexState start, std::vector<Token> *out)
{
    return lexFrom(line, start, 0, out);
}

std::vector<Token> lex(QStringView text)
{
    std::vector<Token> tokens;
    tokens.reserve(static_cast<size_t>(text.size() / 2 + 16));
    lexFrom(text, LexState::Normal, 0, &tokens);
    return tokens;
}

std::vector<Token> lexCode(QStringView text, std::vector<Token> *comments)
{
    std::vector<Token> tokens;
    if (text.size() > kMaxLexed)
        return tokens;
    Lexer counter(text, LexState::Normal, 0, nullptr, false);
    Lexer lexer(text, LexState::Normal, 0, &tokens, false);
    if (comments) {
        counter.commentsApart(nullptr);
        lexer.commentsApart(comments);
    }
    counter.run();
    tokens.reserve(counter.kept());
    lexer.run();
    return tokens;
}

LineIndex::LineIndex(QStringView text) : m_text(text)
{
    m_marks.reserve(static_cast<size_t>(text.size() / kStride + 1));
    SourcePos pos;
    for (qsizetype k = 0; k < text.size(); ++k) {
        if (k % kStride == 0)
            m_marks.push_back({static_cast<qint32>(pos.line), static_cast<qint32>(pos.column)});
        step(k, &pos);
    }
    if (text.size() % kStride == 0)
        m_marks.push_back({static_cast<qint32>(pos.line), static_cast<qint32>(pos.column)});
}

// CR LF, CR and LF each end a line; columns count code points (a lone low surrogate counts as
// nothing, as in core), and the CR of a CR LF is no column.
void LineIndex::step(qsizetype k, SourcePos *pos) const
{
    const char16_t c = m_text[k].unicode();
    if (c == u'\n' || (c == u'\r' && (k + 1 >= m_text.size() || m_text[k + 1] != u'\n'))) {
        ++pos->line;
        pos->column = 1;
    } else if (c != u'\r' && !QChar::isLowSurrogate(c)) {
        ++pos->column;
    }
}

SourcePos LineIndex::at(qsizetype offset) const
{
    offset = std::clamp<qsizetype>(offset, 0, m_text.size());
    const qsizetype mark = offset / kStride;
    // Offsets mostly come in order: from the last one when it lies between the mark and here.
    SourcePos pos = m_last;
    if (pos.offset > offset || pos.offset < mark * kStride) {
        const auto &[line, column] = m_marks[static_cast<size_t>(mark)];
        pos = {mark * kStride, line, column};
    }
    for (; pos.offset < offset; ++pos.offset)
        step(pos.offset, &pos);
    m_last = pos;
    return pos;
}

} // namespace morvane::formula
