#pragma once

#include "ast.h"

#include <QStringView>

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

// A token never crosses a line end, and the tokens of a text tile it exactly.
struct Token
{
    TokenKind kind = TokenKind::Unknown;
    qsizetype offset = 0; // UTF-16 units
    qsizetype length = 0;
    int line = 1;   // 1-based
    int column = 1; // 1-based, in code points

    qsizetype end() const { return offset + length; }
};

// What is still open at the end of a line.
enum class LexState : quint8
{
    Normal,
    InBrace, // { ...
    InBlock, // /* ...
    InNote   // #NOTE " ...
};

std::vector<Token> lex(QStringView text);

// Lexes one line of a larger text (as a syntax highlighter sees it), starting in `start`;
// appends the tokens to `out` (offsets from the line's start, line 1) and returns the state
// at the line's end. The text may also hold line ends: then it is lexed as a whole.
LexState lexLine(QStringView line, LexState start, std::vector<Token> *out);

// The general form: positions of the tokens count from `origin`.
LexState lexFrom(QStringView text, LexState start, SourcePos origin, std::vector<Token> *out);

// A character that may stand inside a name (not its first: see isNameStart).
bool isNameChar(char32_t c);
bool isNameStart(char32_t c);

// MIN1 ... MIN60, DAY, WEEK, MONTH, SEASON, HALFYEAR, YEAR (any case): what may follow #.
bool isPeriodWord(QStringView word);

} // namespace morvane::formula
