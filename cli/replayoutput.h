#pragma once

#include "replay.h"

#include <QJsonObject>
#include <QMap>
#include <QStringList>

class QIODevice;

namespace morvane {

// One line per output (stable, or rewrites history with the figures), then what could
// not be evaluated, then the parameters assumed.
QStringList replayLines(const formula::ReplayReport &report);

// The same as data; NaN values are null.
QJsonObject replayJson(const formula::ReplayReport &report);

// What a bars file's problem says, with its line: "prices.csv:12: 日期无法识别".
QString barsProblemText(const QString &file, const formula::BarsRead &read);

// morvane-check --replay: runs each formula on the bars (barsFile, else the built-in
// history) and reports which outputs rewrite history. "-" reads standard input.
// Returns 0 when no output rewrites history, 1 when one does, 2 when a replay could not run.
int runReplayCommand(const QStringList &files, const QString &barsFile,
                     const QMap<QString, double> &params, bool json, QIODevice &in, QIODevice &out,
                     QIODevice &err);

} // namespace morvane
