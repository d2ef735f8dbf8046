#pragma once

#include "bars.h"

#include <QString>
#include <QStringList>

#include <vector>

namespace morvane::formula {

using Series = std::vector<double>;

// One node's result over all bars. Numbers and parameters are constant series.
struct Value
{
    Series v;
    bool constant = false;
    bool isText = false;
    QString text;
    QStringList missing; // what could not be evaluated; v is meaningless then

    bool ok() const { return missing.isEmpty(); }
};

Value constantValue(double x, qsizetype bars);
Value missingValue(const QString &what);

// The price, volume, time and last-bar series that need no argument (C, VOL, ISLASTBAR,
// CAPITAL…). False when the name is none of them.
bool namedSeries(const QString &name, const Bars &bars, Value *out);

enum class CallResult
{
    Done,
    Unknown,  // no such function here: never guessed at
    BadArity, // known, wrong number of arguments
    NoData    // a latest-data function whose values the bars do not carry
};

// Calls a series function on already evaluated arguments.
CallResult callFunction(const QString &name, std::vector<Value> &args, const Bars &bars,
                        Value *out);

// A function this evaluator can call (a drawing included): what the precise check does not
// name as unchecked.
bool knowsFunction(const QString &name);

// Drawing calls: which arguments are evaluated (colours, texts and widths are not).
bool isDrawingCall(const QString &name);
bool drawingArgumentUsed(const QString &name, qsizetype index);
// Where a drawing call draws: one series per drawn price, NaN where it draws nothing.
CallResult drawingChannels(const QString &name, const std::vector<Value> &args,
                           std::vector<Series> *channels);

} // namespace morvane::formula
