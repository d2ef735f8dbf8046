#pragma once

#include "ast.h"
#include "knowledge.h"
#include "lexer.h"

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>

#include <functional>
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
    std::vector<IgnoredName> ignored; // in text order, up to kMaxIgnoredPerName for each name
    qsizetype ignoredOmitted = 0;     // occurrences beyond that: counted, not kept
    std::vector<SyntaxNote> notes;    // the parser's
    // What cannot be settled here, in order of first use: REF/REFV offsets whose sign is
    // unknown (Unsure), plug-ins and functions Morvane does not know (Unchecked).
    std::vector<FoundName> doubts;
};

// Occurrences that do not count, kept for each name and in all; beyond them they are counted.
inline constexpr qsizetype kMaxIgnoredPerName = 1000;
inline constexpr qsizetype kMaxIgnored = 100000;

// Tells the functions Morvane can evaluate (see knowsFunction() of the evaluator).
using KnownFunction = std::function<bool(const QString &name)>;

// Which names of the knowledge base and of `listEntries` (list.txt) the formula really
// uses. A list entry that is no name (spaces, punctuation) is searched for as plain
// upper-cased text over the code outside comments and quotes. The offsets of REF and REFV
// are followed through constants, variables and declared parameters. Without
// `knownFunction` only plug-ins are named as unchecked calls.
PreciseResult preciseCheck(const QString &text, const QStringList &listEntries,
                           const KnownFunction &knownFunction = {});

// comment, text, identifier, defined
QLatin1StringView whyWord(IgnoreWhy why);

// found[{name,class,reason,occurrences[{line,column}]}], ignored[{name,line,column,why}],
// notes[{line,column,message}]; doubts (same form as found) and ignoredOmitted only when
// there are any.
QJsonObject toJson(const PreciseResult &result);

} // namespace morvane::formula
