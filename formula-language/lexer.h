#pragma once

#include "ast.h"

#include <QStringView>

#include <string_view>
#include <utility>
#include <vector>

namespace morvane::formula {

enum class TokenKind : quint8
{
    Space,     // blanks other than line ends
    Newline,   // CR LF, CR or LF
    Comment,   // { }, /* */ or // ...; a comment over several lines gives one token per line
    Name,      // CLOSE, 乖离%, 【箱顶】, KDJ.K, SH000016$CLOSE
    Number,    // 5, 0.5, .5, 1E3
    Text,      // '...'
    Quoted,    // "..." on one line
    Note,      // the "..." after #NOTE, which may run over several lines (one token per line)
    Period,    // #WEEK, #MIN5: a period suffix
    Directive, // any other # word: #MAINCHART, #NOTE, the #1 of Param#1
    Operator,  // + - * / > < >= <= = == <> != && || AND OR NOT
    Assign,    // :=
    Colon,     // :
    LeftParen,
    RightParen,
    Comma,
    Semicolon,
    Unknown // one character the language has no use for (also a lone # or })
};

// A token never crosses a line end, and the tokens of a text tile it exactly. A large
// formula makes millions of them: offsets are 32-bit, as texts stay below 2^31 UTF-16 units
// (morvane-check reads at most 256 MiB), and their lines and columns are told by LineIndex.
struct Token
{
    qint32 offset = 0; // UTF-16 units
    qint32 length = 0;
    TokenKind kind = TokenKind::Unknown;

    qsizetype end() const { return qsizetype(offset) + length; }
};

// The longest text the lexer takes; past it, lex() and lexCode() give nothing.
inline constexpr qsizetype kMaxLexed = 0x7fffffff;

// What is still open at the end of a line.
enum class LexState : quint8
{
    Normal,
    InBrace, // { ...
    InBlock, // /* ...
    InNote   // #NOTE " ...
};

std::vector<Token> lex(QStringView text);

// The tokens a checker keeps: those of lex() without blanks and line ends. Comments stay
// among them, or go to `comments` when given. The vector is sized once, by a first pass
// that only counts.
std::vector<Token> lexCode(QStringView text, std::vector<Token> *comments = nullptr);

// Lexes one line of a larger text (as a syntax highlighter sees it), starting in `start`;
// appends the tokens to `out` (offsets from the line's start) and returns the state
// at the line's end. The text may also hold line ends: then it is lexed as a whole. A null
// `out` asks for the state alone.
LexState lexLine(QStringView line, LexState start, std::vector<Token> *out);

// The general form: offsets of the tokens count from `origin`.
LexState lexFrom(QStringView text, LexState start, qsizetype origin, std::vector<Token> *out);

// The line and column of any offset of a text, as SourcePos counts them, from a mark every
// kStride units: a few bytes per hundred units, however many lines there are.
class LineIndex
{
public:
    explicit LineIndex(QStringView text);
    SourcePos at(qsizetype offset) const;

private:
    static constexpr qsizetype kStride = 64;
    void step(qsizetype k, SourcePos *pos) const;

    QStringView m_text;
    std::vector<std::pair<qint32, qint32>> m_marks; // line and column at each kStride-th unit
    mutable SourcePos m_last;                       // the place asked for last
};

// A character that may stand inside a name (not its first: see isNameStart).
bool isNameChar(char32_t c);
bool isNameStart(char32_t c);

// `s` equals the upper-case ASCII word `upper`, in any case. Keywords are ASCII, and Qt's
// general case-insensitive compare showed up as a tenth of the precise check's time.
inline bool equalsWord(QStringView s, std::string_view upper)
{
    if (static_cast<size_t>(s.size()) != upper.size())
        return false;
    for (size_t i = 0; i < upper.size(); ++i) {
        char16_t c = s[static_cast<qsizetype>(i)].unicode();
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 0x20);
        if (c != static_cast<unsigned char>(upper[i]))
            return false;
    }
    return true;
}

// MIN1 ... MIN60, DAY, WEEK, MONTH, SEASON, HALFYEAR, YEAR (any case): what may follow #.
bool isPeriodWord(QStringView word);

} // namespace morvane::formula
