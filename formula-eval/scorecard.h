#pragma once

#include "functions.h"

#include <QtGlobal>

#include <span>
#include <unordered_set>
#include <vector>

namespace morvane::formula {

// Whether an output is a signal: on every bar of the whole history 0, 1 or nothing, and 1
// somewhere or not, on its first channel (a drawing's condition is its channel of 1s).
bool isSignal(const std::vector<Series> &channels);

// Signals at a set of bars, traded from the close of each to the close `horizon` bars later.
struct SignalOutcome
{
    qsizetype count = 0;       // signals
    qsizetype withOutcome = 0; // the others have fewer than horizon bars after them
    qsizetype wins = 0;        // return above zero
    double sumReturn = 0;      // of those with an outcome; the mean is sumReturn / withOutcome

    double meanReturn() const; // NaN without an outcome
    double winRate() const;    // NaN without an outcome
    void add(const SignalOutcome &o);
};

// How much an output's history overstates its signals: the bars where the whole history's run
// gives 1 (hindsight) against those where the run on the bars up to each gave 1 at it (live).
struct Scorecard
{
    bool complete = true; // every bar was a cut; else live is unknown at some bars
    int horizon = 5;
    SignalOutcome hindsight, live;
    std::vector<qsizetype> vanished;    // live, not in hindsight: shown then, gone later
    std::vector<qsizetype> late;        // in hindsight, not live
    std::vector<qsizetype> lateBy;      // per late bar: bars until a cut first showed it
    std::vector<qsizetype> lateShownAt; // per late bar: that cut

    qsizetype lateMedian() const; // -1 when none is late
    qsizetype lateMax() const;    // -1 when none is late
};

// Scorecards of one output summed over securities.
struct ScorecardSum
{
    qsizetype securities = 0;
    bool complete = true;
    int horizon = 5;
    SignalOutcome hindsight, live;
    qsizetype vanished = 0, late = 0;
    std::vector<qsizetype> lateBy;

    void add(const Scorecard &s);
    qsizetype lateMedian() const;
    qsizetype lateMax() const;
};

// How much a security's history overstates a signal: the hindsight's mean return less the
// live one's; NaN when either traded nothing.
double overstatement(const SignalOutcome &hindsight, const SignalOutcome &live);

// Builds the scorecard of one signal output as the replay runs its cuts in ascending order:
// the engine tells, per cut, the bars whose value then differs from the whole history's.
class SignalTally
{
public:
    // `hindsight`: the output's first channel over the whole history.
    explicit SignalTally(Series hindsight);

    // At cut c, bar b (≤ c) showed `then` instead of its hindsight value.
    void changed(qsizetype c, qsizetype b, double then);
    // Cut c is done: the bars it did not name showed their hindsight values.
    void endCut(qsizetype c);
    // Closes of the whole history; bars that were never a cut leave the scorecard incomplete.
    Scorecard finish(const Series &close, int horizon) const;

    // Bars that are 1 at the cut that ends at them, NaN-free: the live signals so far.
    const std::vector<bool> &liveAt() const { return m_live; }

private:
    Series m_hindsight;
    std::vector<bool> m_live;               // per bar: 1 when it was the newest
    std::vector<bool> m_wasCut;             // per bar: a cut ended at it
    std::vector<qsizetype> m_shown;         // per bar in hindsight: the first cut showing it as 1
    std::vector<qsizetype> m_pending;       // hindsight bars no cut has shown as 1 yet
    std::unordered_set<qsizetype> m_notOne; // bars the current cut showed as other than 1
    qsizetype m_cut = -1;
};

// From which bar on each value of an output never changed again (定型于), as the replay runs
// its cuts in ascending order.
class FinalTally
{
public:
    explicit FinalTally(qsizetype bars);

    // At cut c, bar b showed another value than the whole history's.
    void changed(qsizetype c, qsizetype b);
    // Or, told every cut in order once a bar differed: at cut c the bars from `since` on that
    // show another value are `differing` (ascending), and those before `since` show what they
    // showed at the cut before. A cut costs what changed since the cut before.
    void cut(qsizetype c, qsizetype since, std::span<const qsizetype> differing);
    // Per bar: the bar from which on its value stood as it stands now (the bar itself when no
    // cut changed it), or -1 where it may still change when the next bar comes: the bars the
    // newest bar's arrival changed and those after them, and the newest bar of an output that
    // reads later bars (`causal` false).
    std::vector<qsizetype> finish(bool causal) const;

    // Bars the tally holds, for a bound on the memory of many.
    qsizetype size() const { return qsizetype(m_lastChanged.size()); }

private:
    std::vector<qsizetype> m_lastChanged; // per bar: the newest cut that showed it otherwise
    std::vector<qsizetype> m_open;        // cut(): the bars the newest cut showed otherwise
    qsizetype m_lastCutFrom = -1;         // the oldest bar the newest cut showed otherwise
    qsizetype m_lastCut = -1;
};

// How long an output's values took to stand: per bar, the bars from it to the cut from which
// its value never changed again (FinalTally::finish), in distribution.
struct FinalDelay
{
    qsizetype values = 0;          // bars whose value stood by the newest bar
    qsizetype open = 0;            // bars whose value may still change when the next bar comes
    std::vector<qsizetype> counts; // [d]: values that stood d bars after their own bar

    qsizetype median() const; // the lower median; 0 without values
    qsizetype p90() const;    // the least delay that 90% of the values do not exceed
    qsizetype max() const;
    void add(const FinalDelay &d); // another security's
};
FinalDelay finalDelay(const std::vector<qsizetype> &finalFrom);

} // namespace morvane::formula
