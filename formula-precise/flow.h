#pragma once

#include "ast.h"
#include "precise.h"

#include <QHash>
#include <QString>

#include <vector>

namespace morvane::formula {

// How the formula's statements feed each other, kept small enough to outlive the tree: what
// each statement defines, the names and calls it uses, and whether it is a signal.
class DataFlow
{
public:
    DataFlow() = default;
    explicit DataFlow(const Program &program);

    // One statement more, in source order: how a statement-by-statement reader builds it.
    void add(const formula::Statement &statement);

    // Fills each found name's `affects`: the outputs that depend on one of its occurrences,
    // directly or through variables, in statement order.
    void attach(std::vector<FoundName> &found) const;

    // A name or call a statement uses.
    struct Use
    {
        qsizetype offset = 0; // of the name or call in the text
        QString text;         // upper case
        QString period;       // "#WEEK", or empty
        bool call = false;
    };

private:
    struct Statement
    {
        StatementKind kind = StatementKind::Expression;
        QString name; // defined name; for a drawing call, the call's name
        int line = 0;
        bool drawing = false;
        bool signal = false;
        QString signalVia; // a variable whose signal-ness this statement takes
        std::vector<Use> uses;
        size_t conditionUses = 0; // uses[0, conditionUses) are a drawing's condition
    };

    std::vector<Statement> m_statements;
};

} // namespace morvane::formula
