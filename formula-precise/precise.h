#pragma once

#include "ast.h"
#include "knowledge.h"
#include "lexer.h"

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>

#include <vector>

namespace morvane::formula {

struct NameOccurrence
{
    int line = 1;         // 1-based; CR LF, CR and LF each end a line
    int column = 1;       // 1-based, in code points
    qsizetype offset = 0; // UTF-16 units, for selecting it in an editor
    qsizetype length = 0;
};

// A name that counts, with every place it counts.
struct FoundName
{
    QString name; // upper case; "#WEEK" for a period suffix; a list.txt entry as upper-cased
    NameClass cls = NameClass::Listed;
    QString reason;
    std::vector<NameOccurrence> occurrences; // in text order
};

enum class IgnoreWhy
{
    Comment,    // inside { }, /* */ or //
    Text,       // inside '...' or "..." (a period suffix inside "..." counts all the same)
    Identifier, // inside a longer name: PEAK in PEAKBARS, COST in COST1
    Defined     // a variable the formula defines itself (PEAK:=...)
};

// An occurrence of a known or listed name that does not count.
struct IgnoredName
{
    QString name;
    int line = 1;
    int column = 1;
    qsizetype offset = 0;
    qsizetype length = 0;
    IgnoreWhy why = IgnoreWhy::Comment;
};

struct PreciseResult
{
    std::vector<FoundName> found;     // in order of first use
    std::vector<IgnoredName> ignored; // in text order
    std::vector<SyntaxNote> notes;    // the parser's
};

// Which names of the knowledge base and of `listEntries` (list.txt) the formula really
// uses. A list entry that is no name (spaces, punctuation) is searched for as plain
// upper-cased text over the code outside comments and quotes.
PreciseResult preciseCheck(const QString &text, const QStringList &listEntries);

// The name at tokens[name] is called with a negative constant second argument, as
// REF(C,-1): the tokens after it read "( … , - number )", blanks and comments aside.
bool isNegativeOffsetCall(QStringView text, const std::vector<Token> &tokens, size_t name);

// comment, text, identifier, defined
QLatin1StringView whyWord(IgnoreWhy why);

// found[{name,class,reason,occurrences[{line,column}]}], ignored[{name,line,column,why}],
// notes[{line,column,message}]
QJsonObject toJson(const PreciseResult &result);

} // namespace morvane::formula
