#pragma once

#include "barfiles.h"
#include "replay.h"
#include "scorecard.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

namespace morvane::formula {

// The securities a formula is replayed on: the built-in ones, bars read already (standard
// input), one file, or every candidate file of a folder. Files are read only when their turn
// comes, so memory holds a few securities at a time whatever the folder's size.
struct ReplayUniverse
{
    enum class Kind
    {
        Builtin,
        Held,
        File,
        Folder
    };
    Kind kind = Kind::Builtin;
    QString path;                 // the file or folder given; empty for the others
    std::vector<Security> held;   // Builtin and Held
    std::vector<BarsEntry> files; // File and Folder

    qsizetype size() const
    {
        return kind == Kind::Builtin || kind == Kind::Held ? qsizetype(held.size())
                                                           : qsizetype(files.size());
    }

    static ReplayUniverse builtin();
    static ReplayUniverse ofBars(Security security);
    // Opened as it is when its turn comes, whatever it is: a pipe is read up to the bound.
    static ReplayUniverse ofFile(const QString &path);
    // Every candidate under the folder (barsEntriesIn); none when it holds no bars file.
    static ReplayUniverse ofFolder(const QString &folder);
};

// One security's outcome. A refused file keeps why in `refusal`; a replayed one its report,
// without the outputs' values (channels), which only one chart needs and would hold every
// security's history in memory.
struct SecurityResult
{
    qsizetype index = -1; // in the universe's order
    QString code;         // as the file or the built-in set says; may be empty
    QString name;
    QString file;         // the entry as shown; empty for securities held
    BarsFileRead refusal; // problem None when read; its bars dropped
    ReplayReport report;

    bool replayed() const { return refusal.ok(); }
};

// One output over many securities: on how many it was checked, on how many it rewrites
// history, why it went unchecked elsewhere, and the worst rewrite (the farthest reach back,
// then the most cuts, then the first security in order: the same whatever the threads).
struct OutputTally
{
    int checkedOn = 0;
    int rewritesOn = 0;
    int cutlessOn = 0;      // too few bars to cut: nothing checked there
    int neverSignalsOn = 0; // never changed on those bars: nothing tested there
    int constantOn = 0;
    // What stopped its evaluation, ordered by the first security (then the place) that
    // named it, not by which thread came first.
    QStringList missing;
    qsizetype worstIndex = -1; // the security, in the universe's order; -1 when none rewrites
    QString worstCode, worstName, worstFile;
    OutputReplay worst; // without channels
    qsizetype worstCuts = 0;
    // A signal's scorecards summed over the securities where it is one, and the securities
    // whose history overstates it most (largest first, at most kMostOverstated).
    std::optional<ScorecardSum> scorecard;
    struct Overstated
    {
        qsizetype index = -1;
        QString code, name, file;
        double by = 0; // hindsight's mean return less the live one's
        SignalOutcome hindsight, live;
    };
    std::vector<Overstated> mostOverstated;
    static constexpr std::size_t kMostOverstated = 3;
    // How long its values took to stand, summed over the securities that tallied it, and
    // the checked securities that could not (sampled cuts, past the memory bound).
    std::optional<FinalDelay> finalDelay;
    int finalDelayOn = 0, finalDelayMissingOn = 0;
};

struct ReplaySetOptions
{
    // Each security's replay. Its own progress is called per cut, and only when the set
    // holds one security (several would call it from several threads at once).
    ReplayOptions replay;
    int threads = 0;                          // 0: every core this process may use
    qint64 maxBytes = qint64(256) << 20;      // each file is refused unread past it
    bool keepReports = false;                 // each replayed security kept in the result
    const std::atomic_bool *cancel = nullptr; // seen before each security and at each cut
    // After each security, with those done and the total; false cancels as `cancel` does.
    // Called one at a time, from the worker threads.
    std::function<bool(qsizetype done, qsizetype total)> progress;
    // Each security as it finishes, refused or replayed, in finishing order, one at a time,
    // from the worker threads, before progress counts it. Not called for one cancelled.
    std::function<void(const SecurityResult &)> finished;
};

struct ReplaySetResult
{
    qsizetype total = 0;                    // securities in the universe
    qsizetype replayed = 0;                 // replayed to the end and tallied
    std::vector<SecurityResult> refused;    // files that could not be read, in order
    std::vector<SecurityResult> securities; // keepReports: the replayed ones, in order
    std::vector<OutputLine> outputs;        // names and places, without channels
    std::vector<OutputTally> tallies;       // per output
    std::vector<ParamUse> params;
    QStringList missing; // everything not evaluated on some security, sorted
    qsizetype maxCuts = 0;
    bool cancelled = false; // stopped early: notRun() securities were not replayed

    qsizetype notRun() const { return total - replayed - qsizetype(refused.size()); }
    bool anyRewrites() const;
    // Every output checked on every security, none refused, nothing cancelled.
    bool allChecked() const;
};

// Replays the program on every security of the universe on a pool of threads, folding each
// result into the tallies as it comes. The result is the same for any number of threads.
ReplaySetResult replaySet(const Program &program, const ReplayUniverse &universe,
                          const ReplaySetOptions &options = {});

} // namespace morvane::formula
