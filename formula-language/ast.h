#pragma once

#include <QString>

#include <memory>
#include <vector>

namespace morvane::formula {

// Where a piece of the formula starts. Line and column count as morvane-check's
// --positions does: 1-based, columns in code points; offset is in UTF-16 units.
struct SourcePos
{
    qsizetype offset = 0;
    int line = 1;
    int column = 1;
};

enum class ExprKind
{
    Number,
    String, // '...' or "..." as an operand; text holds the content without quotes
    Name,   // CLOSE, N, KDJ.K, a variable
    Call,   // MA(C,5); with an empty name, a list such as the (0,250,0) of a parameter line
    Unary,  // -X, NOT X
    Binary, // X+Y, X AND Y, X>=Y
    Error   // what a statement that did not parse left behind
};

struct Expr
{
    ExprKind kind = ExprKind::Error;
    SourcePos pos;
    double number = 0;
    // Name/Call: the name upper-cased ("CLOSE", "KDJ.K"); String: the content;
    // Unary/Binary: the operator upper-cased as written ("-", "NOT", "AND", "&&", "<>", ">=").
    QString text;
    bool doubleQuoted = false; // String only
    QString period; // "#WEEK" after a name, a call or inside "..." (then cut from text); else empty
    std::vector<std::unique_ptr<Expr>> args; // Call: arguments; Unary: 1; Binary: 2
};
using ExprPtr = std::unique_ptr<Expr>;

enum class StatementKind
{
    Variable,  // NAME:=expr;
    Output,    // NAME:expr, ATTR...;
    Expression // expr, ATTR...; (an unnamed output line or a drawing call)
};

struct Statement
{
    StatementKind kind = StatementKind::Expression;
    SourcePos pos;
    QString name; // upper-cased; empty for Expression
    ExprPtr value;
    std::vector<ExprPtr> attributes; // COLORRED, LINETHICK2, NODRAW, COLOR00FFFF...
};

// What a statement that did not parse lacks, for callers that choose their own words.
enum class SyntaxProblem
{
    MissingSemicolon, // a statement runs on where ';' should end it
    MissingParen,     // ')' is missing
    MissingValue,     // an operand is missing
    EmptyParens,      // ( ) holds nothing
    NotANumber,       // a number that does not read as one
    TooLong,          // the expression is too long
    TooDeep           // the expression nests too deeply
};

struct SyntaxNote
{
    SourcePos pos;
    QString message; // in English, as --json gives it
    SyntaxProblem problem = SyntaxProblem::MissingValue;
    QString found; // the spelling met there; empty at the end of the formula
};

struct Program
{
    std::vector<Statement>
        statements; // in source order; statements that did not parse are left out
    std::vector<SyntaxNote> notes;
    // The calls that read whole inside statements that did not parse, in source order: what
    // a checker can still look into there. Nothing evaluates them.
    std::vector<ExprPtr> salvaged;
};

} // namespace morvane::formula
