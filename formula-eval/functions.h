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
    // Reads no bar after its own: on the first k bars it is exactly the first k values it has
    // on all of them. Set by the evaluator; see Causal in functions/common.h.
    bool causal = false;
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

// Whether NAME(args) is causal (Value::causal) given arguments that are; false for anything
// not known to be.
bool causalCall(const QString &name, const std::vector<Value> &args);
// The same for the names that need no argument (C and DATE are, ISLASTBAR is not).
bool causalSeries(const QString &name);
// The functions of the table that are causal whatever their arguments, and those that are for
// some (REF with a positive offset), sorted.
QStringList causalFunctions();

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
