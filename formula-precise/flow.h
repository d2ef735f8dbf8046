#pragma once

#include "ast.h"
#include "precise.h"

#include <QHash>
#include <QString>

#include <vector>

namespace morvane::formula {

// How the formula's statements feed each other, followed one statement at a time in source
// order, so that no tree need be held whole: the outputs each found name reaches, directly or
// through variables.
class DataFlow
{
public:
    // `found` is filled as statements come: each name's `affects`, in statement order.
    explicit DataFlow(std::vector<FoundName> &found);

    void add(const formula::Statement &statement);

    // A name or call a statement uses.
    struct Use
    {
        qsizetype offset = 0; // of the name or call in the text
        QString text;         // upper case
        QString period;       // "#WEEK", or empty
        bool call = false;
    };

private:
    using Marks = std::vector<int>; // found names, sorted

    Marks marksOf(const Use &use) const;

    std::vector<FoundName> &m_found;
    QHash<qsizetype, int> m_byOffset; // an occurrence's place: which found name it is
    QHash<QString, int> m_byPeriod;   // "#WEEK"
    QHash<QString, Marks> m_variables;
    QHash<QString, bool> m_signalOf;
    std::vector<Use> m_uses; // the statement's at hand
};

} // namespace morvane::formula
