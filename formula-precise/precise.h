#pragma once

#include "ast.h"
#include "knowledge.h"
#include "lexer.h"

#include <QJsonObject>
#include <QLatin1StringView>
#include <QString>
#include <QStringList>

#include <cmath>
#include <limits>
#include <vector>

namespace morvane::formula {

struct NameOccurrence
{
    int line = 1;         // 1-based; CR LF, CR and LF each end a line
    int column = 1;       // 1-based, in code points
    qsizetype offset = 0; // UTF-16 units, for selecting it in an editor
    qsizetype length = 0;
    // REF, REFV: the whole numbers the offset can take (infinite where unbounded); NaN
    // where the offset was not analysed.
    double offsetLow = std::numeric_limits<double>::quiet_NaN();
    double offsetHigh = std::numeric_limits<double>::quiet_NaN();

    bool hasOffset() const { return !std::isnan(offsetLow); }
};

// Why a doubt could not be settled.
enum class DoubtWhy
{
    None,
    Offset,       // an offset that may be negative or positive, or that was not analysed
    PlugIn,       // TDXDLL1…
    OtherFormula, // KDJ.J(…), "MACD.MACD"
    Unknown,      // a name nobody documents
    Unverified    // documented as restated later; the knowledge base has no verdict on it
};

// An output that depends on a finding, directly or through variables.
struct AffectedOutput
{
    QString name; // the output's name; a drawing's function; empty for an unnamed line
    int line = 0;
    bool drawing = false;
    bool signal = false; // a 0/1 condition, or the condition of a drawing
};

// A name that counts, with every place it counts.
struct FoundName
{
    QString name; // upper case; "#WEEK" for a period suffix; a list.txt entry as upper-cased
    NameClass cls = NameClass::Listed;
    QString reason;
    std::vector<NameOccurrence> occurrences; // in text order
    DoubtWhy doubt = DoubtWhy::None;         // doubts only
    std::vector<AffectedOutput> affects;     // found names only, in statement order
    QString advice;                          // what to do about it, in Chinese
};

enum class IgnoreWhy
{
    Comment,    // inside { }, /* */ or //
    Text,       // inside '...' or "..." (a period suffix inside "..." counts all the same)
    Identifier, // inside a longer name: PEAK in PEAKBARS, COST in COST1
    Defined,    // a variable the formula defines itself (PEAK:=...)
    Harmless    // a call that cannot change an earlier bar: BACKSET(X,1)
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

// What the check can promise about the formula.
enum class Verdict
{
    Clean,     // every call known, every offset proven, every statement read
    Found,     // something reads later bars or drifts
    Incomplete // nothing found, but something could not be checked
};

// Found when a name that looks ahead, drifts or is listed counts; else Incomplete when a
// doubt or a syntax note remains; else Clean. Last-bar warnings alone leave it Clean.
Verdict verdictOf(const PreciseResult &result);

// clean, found, incomplete
QLatin1StringView verdictWord(Verdict verdict);

// plugin, formula, unknown, unverified, offset (empty for None)
QLatin1StringView doubtWord(DoubtWhy why);

// Occurrences that do not count, kept for each name and in all; beyond them they are counted.
inline constexpr qsizetype kMaxIgnoredPerName = 1000;
inline constexpr qsizetype kMaxIgnored = 100000;

// Which names of the knowledge base and of `listEntries` (list.txt) the formula really
// uses. A list entry that is no name (spaces, punctuation) is searched for as plain
// upper-cased text over the code outside comments and quotes. The offsets of REF and REFV
// are followed through constants, variables and declared parameters. Calls the function
// catalogue does not hold are doubts.
PreciseResult preciseCheck(const QString &text, const QStringList &listEntries);

// comment, text, identifier, defined, harmless
QLatin1StringView whyWord(IgnoreWhy why);

// verdict, found[{name,class,reason,occurrences[{line,column[,offset{low,high}]}]}],
// ignored[{name,line,column,why}], notes[{line,column,message}]; doubts (the same, with why)
// and ignoredOmitted only when there are any. An unbounded end of an offset is null.
QJsonObject toJson(const PreciseResult &result);

} // namespace morvane::formula
