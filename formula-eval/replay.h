#pragma once

#include "ast.h"
#include "bars.h"
#include "eval.h"
#include "scorecard.h"

#include <QDate>
#include <QMap>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace morvane::formula {

// A value of the past, as a shorter history showed it, that differs from the whole history's.
struct CutChange
{
    qsizetype bar = -1;
    std::int32_t output = 0;  // index in ReplayReport::outputs
    std::int32_t channel = 0; // which drawn price of a drawing call
    double then = 0;          // NaN: nothing shown then
};

struct ReplayOptions
{
    QMap<QString, double> params;
    int denseTail = 200; // every bar of the newest denseTail bars is a cut point
    // Before them, every stride-th bar; 0: every bar for short formulas (20 statements
    // or fewer), so that a rare signal early in the history is not stepped over; else 10.
    int stride = 0;
    double tolerance = 1e-9; // relative, with an absolute floor of the same size
    // A cut takes what reads no later bar from the whole history's run and computes only
    // the rest (HeadEvaluator). Off: every cut evaluates everything again, the reference the
    // tests hold the shortcut to.
    bool reuse = true;
    // The cost bound: at most maxCuts cuts, and no more than about barBudget bars evaluated
    // over all cuts (each cut runs its whole history again), yet always minCuts when there
    // are that many bars. The tail, the strided bars and the period ends share what is left.
    int maxCuts = 1000;
    qint64 barBudget = qint64(16) << 20;
    int minCuts = 16;
    // Called after each cut with the cuts done and their number; false stops the replay
    // (ReplayReport::cancelled). May be empty.
    std::function<bool(qsizetype done, qsizetype total)> progress;
    // Every bar but the newest is a cut, when the tails can replay the formula (each cut then
    // computes only what it may change); the bounds above apply only when they cannot.
    bool everyCut = true;
    // Called once per cut, in ascending order, with every value of its bars that differs from
    // the whole history's (as `tolerance` judges). May be empty.
    std::function<void(qsizetype cut, const std::vector<CutChange> &changes)> onCut;
    // A signal's outcome is its close `horizon` bars later (OutputReplay::scorecard); 0: no
    // scorecards.
    int horizon = 5;
    // Keep OutputReplay::finalFrom, each bar's, where finalDelay is tallied (a chart draws
    // the values still open).
    bool keepFinalFrom = false;
};

// Why the replay could not take every bar as a cut (ReplayReport::fallback).
enum class FallbackWhy
{
    None,
    PerBarOffset, // an offset, count or percentage that changes from bar to bar, its reach not
                  // known from its values (REFX(X,N) with N a series, REF's N turning negative)
    PlugIn,       // a function of a plug-in
    Unbounded,    // what may change is not known to be bounded (a period's forming bar, CONST…)
    PerBarReach   // a per-bar N whose reach, read from its values, costs more than sampled cuts
};

struct Fallback
{
    FallbackWhy why = FallbackWhy::None;
    QString function; // the function, name or period that forced it
};

// One value of the past that changed once later bars arrived.
struct Rewrite
{
    qsizetype bar = -1; // the bar whose value changed
    QDate date;
    qsizetype cut = -1; // the newest bar of the shorter history that showed `before`
    QDate cutDate;
    int channel = 0;   // which drawn price of a drawing call
    double before = 0; // NaN: nothing shown then
    double after = 0;  // with the whole history; NaN: nothing shown now
};

// An output that never changes on the bars it ran on tests nothing: no cut can show it
// rewritten, yet it is no proof of stability.
enum class Unchanging
{
    No,
    NeverSignals, // 0 or nothing on every bar: a signal that never fires, a drawing never drawn
    Constant      // the same value on every bar
};
Unchanging unchangingOver(const std::vector<Series> &channels);

struct OutputReplay
{
    OutputLine line;                        // with the whole history
    bool checked = false;                   // false: line.missing names what stopped it
    Unchanging unchanging = Unchanging::No; // of the whole history's values
    int cutsRewritten = 0;                  // cut points at which a past value differed
    // Farthest a change reached back from the newest bar of its cut, in bars (0: the
    // newest bar itself changed).
    qsizetype farthestBack = 0;
    Rewrite first; // the earliest cut that showed a change, at its oldest changed bar
    // Per channel, each bar's value when it was the newest (the cut at it; the newest bar's
    // own), NaN at the bars that were no cut.
    std::vector<Series> live;
    bool causal = false; // reads no later bar anywhere: its values never change
    // A signal's (0, 1 or nothing on every bar): hindsight against live.
    std::optional<Scorecard> scorecard;
    // How long its values took to stand (定型于); only where every bar was a cut, and not for
    // the outputs past the tallies' memory bound (ReplayReport::finalDelaysCapped).
    std::optional<FinalDelay> finalDelay;
    // With ReplayOptions::keepFinalFrom and finalDelay: per bar, the first cut from which its
    // value stood as the whole history's (FinalTally::finish); empty otherwise.
    std::vector<qsizetype> finalFrom;

    bool rewrites() const { return cutsRewritten > 0; }
    // Checked, and not rewritten only because it never changed: nothing was tested.
    bool untested() const { return checked && !rewrites() && unchanging != Unchanging::No; }
};

struct ReplayReport
{
    qsizetype bars = 0;
    std::vector<qsizetype> cuts; // newest bar of each shorter history
    std::vector<OutputReplay> outputs;
    std::vector<ParamUse> params;
    QStringList missing; // everything not evaluated, across outputs
    QStringList periods;
    bool cancelled = false; // progress said stop: the cuts after it were not run
    // Every bar was a cut, through the tails; else `fallback` says what kept them from it
    // (None: every cut was not asked for, or there are too few bars).
    bool linear = false;
    Fallback fallback;
    // Outputs changed so much that not all their delays to stand were tallied.
    bool finalDelaysCapped = false;
    // Bars computed over all cuts (the tails' work; for the tests and the benchmarks).
    qint64 barsEvaluated = 0;

    bool anyRewrites() const;
    bool allChecked() const;
};

// Cut points: every bar of the dense tail, every stride-th before it, and the last day of
// each period bar for the given periods ("#WEEK"…). Never the newest bar itself. Past the
// cost bound of the options the tail shortens, the stride widens and the period ends thin
// out evenly, so the cost stays linear in the bars.
std::vector<qsizetype> cutPoints(const Bars &bars, const ReplayOptions &options,
                                 const QStringList &periods, qsizetype statements = 0);

// Evaluates on the whole history, then on the history cut at each cut point, and
// compares every output at every bar up to the cut.
ReplayReport replay(const Program &program, const Bars &bars, const ReplayOptions &options);

} // namespace morvane::formula
