// Lexer, parser and precise check on any text: no crash, tokens tile the text with the
// positions core counts, line-by-line lexing agrees, every reported place lies in the text.
#include "functionlist.h"
#include "lexer.h"
#include "parser.h"
#include "precise.h"

#include <QByteArray>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

using namespace morvane::formula;

namespace {

void require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_formula: %s\n", what);
        std::abort();
    }
}

bool endsLine(const QString &text, qsizetype i)
{
    return text[i] == u'\n' || (text[i] == u'\r' && (i + 1 >= text.size() || text[i + 1] != u'\n'));
}

void checkTokens(const QString &text)
{
    const std::vector<Token> tokens = lex(text);
    const LineIndex lines(text);
    qsizetype pos = 0;
    int line = 1;
    int column = 1;
    for (const Token &t : tokens) {
        require(t.offset == pos && t.length > 0, "tokens do not tile the text");
        const SourcePos at = lines.at(t.offset);
        require(at.line == line && at.column == column, "token position");
        for (; pos < t.end(); ++pos) {
            if (endsLine(text, pos)) {
                require(t.kind == TokenKind::Newline, "a token crosses a line end");
                ++line;
                column = 1;
            } else if (text[pos] != u'\r' && !text[pos].isLowSurrogate()) {
                ++column;
            }
        }
    }
    require(pos == text.size(), "tokens stop short");

    // The highlighter's way: one line at a time, the state carried along.
    size_t next = 0;
    LexState state = LexState::Normal;
    qsizetype start = 0;
    while (true) {
        qsizetype end = start;
        while (end < text.size() && text[end] != u'\n' && text[end] != u'\r')
            ++end;
        std::vector<Token> lineTokens;
        const QStringView lineText = QStringView(text).sliced(start, end - start);
        const LineIndex lineIndex(lineText);
        state = lexLine(lineText, state, &lineTokens);
        for (const Token &t : lineTokens) {
            require(next < tokens.size(), "line by line gives more tokens");
            const Token &w = tokens[next++];
            require(w.kind == t.kind && w.offset == start + t.offset && w.length == t.length &&
                        lines.at(w.offset).column == lineIndex.at(t.offset).column,
                    "line by line disagrees");
        }
        if (end == text.size())
            break;
        require(next < tokens.size() && tokens[next++].kind == TokenKind::Newline, "line end");
        start =
            end + (text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n' ? 2 : 1);
    }
    require(next == tokens.size(), "line by line gives fewer tokens");
}

void checkPrecise(const QString &text, const QStringList &list)
{
    const Program program = parse(text);
    for (const SyntaxNote &n : program.notes)
        require(n.pos.offset >= 0 && n.pos.offset <= text.size() && n.pos.line >= 1, "note");
    const PreciseResult r = preciseCheck(text, list);
    for (const FoundName &f : r.found) {
        require(!f.occurrences.empty(), "a found name without occurrences");
        for (const NameOccurrence &o : f.occurrences)
            require(o.offset >= 0 && o.length > 0 && o.offset + o.length <= text.size() &&
                        o.line >= 1 && o.column >= 1,
                    "found place");
    }
    for (const IgnoredName &g : r.ignored)
        require(g.offset >= 0 && g.length > 0 && g.offset + g.length <= text.size() &&
                    g.line >= 1 && g.column >= 1,
                "ignored place");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // list entries separated by \n, then \0, then the formula; no \0: the built-in list
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const qsizetype cut = bytes.indexOf('\0');
    QStringList list = morvane::builtinFunctionNames();
    QByteArray formula = bytes;
    if (cut >= 0) {
        list = QString::fromUtf8(bytes.left(cut)).split(u'\n');
        if (list.size() > 64)
            list.resize(64);
        formula = bytes.mid(cut + 1);
    }
    const QString text = QString::fromUtf8(formula);
    checkTokens(text);
    checkPrecise(text, list);
    // The same bytes as UTF-16: lone surrogates and the like.
    const QString wide = QString::fromUtf16(reinterpret_cast<const char16_t *>(formula.constData()),
                                            formula.size() / 2);
    checkTokens(wide);
    checkPrecise(wide, list);
    return 0;
}
