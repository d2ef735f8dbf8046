#pragma once

#include "ast.h"
#include "bars.h"
#include "eval.h"

#include <QDate>
#include <QMap>
#include <QStringList>

#include <functional>
#include <vector>

namespace morvane::formula {

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
