#pragma once

#include "ast.h"
#include "lexer.h"

#include <QStringView>

#include <vector>

namespace morvane::formula {

// Statements that do not parse are skipped to their ';' (or to the next line that starts
// with NAME:= or NAME:) and noted; the rest is still parsed, and the calls inside them that
// read whole and matter to a checker (REF, REFV, BACKSET, plug-ins, other formulas) are kept
// apart (Program::salvaged).
Program parse(QStringView text);

// The same over tokens already lexed from `text`.
Program parseTokens(QStringView text, const std::vector<Token> &tokens);

// Takes the statements one at a time as they are read, so that a large formula's tree need
// not be held whole.
class StatementSink
{
public:
    virtual ~StatementSink() = default;
    virtual void statement(Statement statement) = 0;
    // A call kept from a statement that did not parse (see Program::salvaged), handed over
    // before the statements after it.
    virtual void salvaged(ExprPtr call) = 0;
};

// parseTokens, handing each statement and salvaged call to `sink` in the order read; the
// notes are returned.
std::vector<SyntaxNote> parseInto(QStringView text, const std::vector<Token> &tokens,
                                  StatementSink &sink);

// What the precise check needs, read without building the tree.
struct SyntaxSummary
{
    std::vector<SyntaxNote> notes;
    std::vector<qsizetype> refCalls;         // offsets of the REF and REFV calls read, in order
    std::vector<qsizetype> negativeRefCalls; // those whose offset is a negative constant: REF(C,-1)
};
SyntaxSummary summarizeSyntax(QStringView text, const std::vector<Token> &tokens);

// COLORRED, COLOR00FFFF, LINETHICK2, DOTLINE, NODRAW…: the words that style an output line,
// written after it with or without a comma.
bool isStyleWord(QStringView word);

} // namespace morvane::formula
