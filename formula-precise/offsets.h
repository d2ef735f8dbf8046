#pragma once

#include "ast.h"
#include "lexer.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <vector>

namespace morvane::formula {

// A call nothing here can look into: a plug-in (TDXDLL1…) or a function Morvane does not know.
struct OpaqueCall
{
    QString name; // upper case
    SourcePos pos;
    qsizetype length = 0;
    bool plugIn = false;
};

// What reading the tree tells about the offsets of REF and REFV: the sign of each offset is
// followed through constants, variables, declared parameters, arithmetic, IF and the
// functions whose sign is known.
struct OffsetFindings
{
    std::vector<qsizetype> refCalls; // callee offsets of every REF/REFV call the tree holds
    std::vector<qsizetype> negative; // those whose offset is negative at some bar, never positive
    std::vector<qsizetype> unsure;   // those whose offset may be negative or positive
    std::vector<OpaqueCall> opaque;  // in text order
};

// `knownFunction` tells the functions Morvane can evaluate; without it only plug-ins are opaque.
OffsetFindings analyseOffsets(const Program &program,
                              const std::function<bool(const QString &)> &knownFunction);

// The REF and REFV tokens called with a negative constant second argument, as REF(C,-1): the
// tokens after the name read "( … , - number )", blanks and comments aside. One pass over the
// tokens, whatever the nesting; indexes into `tokens`, in order.
std::vector<size_t> negativeOffsetTokens(QStringView text, const std::vector<Token> &tokens);

} // namespace morvane::formula
