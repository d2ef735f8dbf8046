#pragma once

#include "ast.h"
#include "lexer.h"

#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

namespace morvane::formula {

enum class OpaqueKind
{
    PlugIn,       // TDXDLL1…: computed outside the formula
    OtherFormula, // KDJ.J(…), "MACD.MACD": another formula's code, not in this text
    Unknown,      // a function nobody documents
    Unverified    // documented as restated later, but not yet in the knowledge base
};

// Something nothing here can look into.
struct OpaqueCall
{
    QString name; // upper case
    SourcePos pos;
    qsizetype length = 0;
    OpaqueKind kind = OpaqueKind::Unknown;
};

// The values an offset can take over the bars, after the language's truncation to a whole
// number; infinite ends where nothing bounds it.
struct OffsetRange
{
    qsizetype call = 0; // the offset of the REF/REFV name in the text
    double low = 0;
    double high = 0;
};

// What reading the tree tells about the offsets of REF and REFV: the range of each offset
// is followed through constants, variables, declared parameters over their whole declared
// range, arithmetic, IF and the functions whose range is known.
struct OffsetFindings
{
    std::vector<qsizetype> refCalls; // callee offsets of every REF/REFV call the tree holds
    std::vector<qsizetype> negative; // those whose offset is negative at some bar, never positive
    std::vector<qsizetype> unsure;   // those whose offset may be negative or positive
    std::vector<OffsetRange> ranges; // of every REF/REFV call, by callee offset
    std::vector<qsizetype> harmlessBacksets; // BACKSET(X,N) with N never above 1
    std::vector<OpaqueCall> opaque;          // in text order
};

// Calls of names the function catalogue and the knowledge base do not hold are opaque.
OffsetFindings analyseOffsets(const Program &program);

class OffsetReader;

// The same over statements handed one at a time, in the order the parser reads them
// (StatementSink), so that each tree may be dropped once read.
class OffsetAnalysis
{
public:
    OffsetAnalysis();
    ~OffsetAnalysis();
    OffsetAnalysis(const OffsetAnalysis &) = delete;
    OffsetAnalysis &operator=(const OffsetAnalysis &) = delete;

    void statement(const Statement &s);
    void salvaged(const Expr &call);
    OffsetFindings finish();

private:
    std::unique_ptr<OffsetReader> m_whole;
    std::unique_ptr<OffsetReader> m_atDefault;
};

// The REF and REFV tokens called with a negative constant second argument, as REF(C,-1): the
// tokens after the name read "( … , - number )", blanks and comments aside. One pass over the
// tokens, whatever the nesting; indexes into `tokens`, in order.
std::vector<size_t> negativeOffsetTokens(QStringView text, const std::vector<Token> &tokens);

} // namespace morvane::formula
