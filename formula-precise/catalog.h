#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QStringView>

#include <vector>

namespace morvane::formula {

// What a built-in name of the language is, so that a known function is never taken for a
// plug-in nobody can see into.
enum class FunctionClass
{
    Causal,  // reads the current bar and earlier ones only
    Future,  // reads bars after the current one
    Drift,   // past values are restated as data arrives (financial data, chips, snapshots)
    LastBar, // defined from the last bar, so history redraws with each new bar
    Drawing, // draws on the chart
    Text,    // builds or reads strings
    Fact     // a fact of the stock or chart that no later bar changes (name, block, period)
};

struct CatalogEntry
{
    QString name; // upper case; "#WEEK" for a period suffix
    FunctionClass cls = FunctionClass::Causal;
    QString definition; // one line, in Chinese, for a tooltip
};

// Every name of catalog.tsv, in its order.
const std::vector<CatalogEntry> &catalog();

// The entry for a name (any case), or null.
const CatalogEntry *catalogEntry(QStringView name);

// causal, future, drift, lastbar, drawing, text, fact
QLatin1StringView functionClassWord(FunctionClass cls);

} // namespace morvane::formula
