#pragma once

#include "replay.h"
#include "replayset.h"

#include <QString>
#include <QStringList>

namespace morvane::formula {

// The replay's report in sentences, for the command line and the window alike.

// A value as the report writes it: 空 for nothing, else up to 10 significant digits.
QString valueWords(double x);
// An output's name, else the drawing or "输出" and where it stands: "DRAWTEXT 3:1".
QString outputLabel(const OutputLine &line);
// Bars too few to cut: an output evaluated on them is checked against nothing.
bool cutless(const ReplayReport &report);
// Where the bars come from: 模拟行情, 标准输入, else the file or folder.
QString universeWords(const ReplayUniverse &u);
// The worst security of a tally: its code and name, else its file, else where the bars are.
QString worstSecurityWords(const OutputTally &t, const ReplayUniverse &u);
QString worstSourceWords(const OutputTally &t, const ReplayUniverse &u);

// One line per output (stable, or rewrites history with the figures), then what could not be
// evaluated, then the parameters assumed. `source` stands beside the dates.
QStringList replayReportLines(const ReplayReport &report, const QString &source = {});
// The many-securities report: where and how many, then one line per output, then what could
// not be evaluated and the parameters assumed.
QStringList replaySetLines(const ReplaySetResult &run, const ReplayUniverse &u);

} // namespace morvane::formula
