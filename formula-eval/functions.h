#pragma once

#include "bars.h"

#include <QString>
#include <QStringList>

#include <limits>
#include <span>
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

// How the replay computes a call again on the newest bars of a shorter history (its tail)
// rather than on all of them.
struct TailRule
{
    enum class Kind
    {
        None,   // not known: the replay cannot bound what changes
        Slice,  // the function itself on the bars from `back` before the tail to its end
        Resume, // resumeFunction on the tail's bars, going on from the values before
        Zigzag, // the zigzag's scan, resumed (functions/zigzag.h)
        // A count argument that changes from bar to bar: the function itself on the bars from
        // the farthest any tail bar's N reaches back, read from the N values themselves
        PerBarBack,
        PerBarBackset // BACKSET with a per-bar N: from the farthest a signal sets back
    };
    Kind kind = Kind::None;
    qsizetype back = 0;        // bars before a bar that its value reads
    qsizetype ahead = 0;       // bars after a bar that its value reads
    bool perBarOffset = false; // None because an offset or count changes from bar to bar
    // PerBar…: the argument holding N. Bar i reads from i − N + 1 − back; N = 0 reads from
    // the first bar, except for an offset (REF: N = 0 is the bar itself, N < 0 the value
    // before, so from the first bar).
    qsizetype count = 0;
    bool offset = false;
    // Slice: its value at bar i is its first argument's at bar i − lag, none before the first
    // bar (REF(X,2): 2); 0 when it is not such a shift.
    qsizetype lag = 0;
};
// From the arguments' whole-history values (only whether they are constant, and the constant).
TailRule tailRule(const QString &name, const std::vector<const Value *> &args);
// What a Resume function goes on from: its own values before the tail's first bar.
struct TailSeed
{
    double previous = std::numeric_limits<double>::quiet_NaN();  // on the bar before
    double lastShown = std::numeric_limits<double>::quiet_NaN(); // the latest that was not NaN
    // Bars from the latest where it held (not 0, not NaN) to the tail's first; NaN: none.
    double sinceHeld = std::numeric_limits<double>::quiet_NaN();
};
// A Resume function on its tail's arguments.
Series resumeFunction(const QString &name, const std::vector<Value> &args, const TailSeed &seed);

// A function this evaluator can call (a drawing included): what the precise check does not
// name as unchecked.
bool knowsFunction(const QString &name);

// Drawing calls: which arguments are evaluated (colours, texts and widths are not).
bool isDrawingCall(const QString &name);
bool drawingArgumentUsed(const QString &name, qsizetype index);
// Where a drawing call draws: one series per drawn price, NaN where it draws nothing. The
// channels given are written over, their buffers reused.
CallResult drawingChannels(const QString &name, const std::vector<Value> &args,
                           std::vector<Series> *channels);
// How each of a drawing's channels reads its arguments at a bar: argument `price` where
// argument `cond` holds (1 when price is -1), else nothing; cond -1: argument `price` as it is.
struct DrawnChannel
{
    int cond = -1;
    int price = -1;
};
// Empty for a name that is not a drawing.
std::span<const DrawnChannel> drawnChannels(const QString &name);

} // namespace morvane::formula
