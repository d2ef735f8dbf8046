#pragma once

#include "replay.h"

#include <QJsonObject>
#include <QStringList>

class QIODevice;

namespace morvane {

struct Options;

// Exit statuses of --replay.
enum ReplayStatus
{
    kReplayStable = 0,    // every output checked, none rewrites history
    kReplayRewrites = 1,  // an output rewrites history
    kReplayFailed = 2,    // the replay could not run
    kReplayUnchecked = 3, // some outputs could not be checked, none rewrites history
};

// One line per output (stable, or rewrites history with the figures), then what could
// not be evaluated, then the parameters assumed. `source` stands beside the dates:
// "模拟行情" for the built-in bars, else the file.
QStringList replayLines(const formula::ReplayReport &report, const QString &source = {});

// The same as data; NaN values are null.
QJsonObject replayJson(const formula::ReplayReport &report);

// morvane-check --replay: runs each formula on the bars (a file, every file of a folder,
// else the built-in securities) and reports which outputs rewrite history. "-" reads
// standard input. Returns a ReplayStatus.
int runReplayCommand(const Options &options, QIODevice &in, QIODevice &out, QIODevice &err);

} // namespace morvane
