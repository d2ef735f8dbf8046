#pragma once

#include "replay.h"
#include "replayset.h"
#include "scorecard.h"

#include <QString>
#include <QStringList>

namespace morvane::formula {

// The replay's report in sentences, for the command line and the window alike.

// A value as the report writes it: 空 for nothing, else up to 10 significant digits.
QString valueWords(double x);
// An output's name, else the drawing or "输出" and where it stands: "DRAWTEXT 3:1".
QString outputLabel(const OutputLine &line);
// The same as a reader finds it in the formula: a drawing by its line and its words,
// "第 36 行 DRAWTEXT '底'"; a named output by its name.
QString outputTitle(const OutputLine &line, const Program &program);
// Bars too few to cut: an output evaluated on them is checked against nothing.
bool cutless(const ReplayReport &report);
// Where the bars come from: 模拟行情, 标准输入, else the file or folder.
QString universeWords(const ReplayUniverse &u);
// The worst security of a tally: its code and name, else its file, else where the bars are.
QString worstSecurityWords(const OutputTally &t, const ReplayUniverse &u);
QString worstSourceWords(const OutputTally &t, const ReplayUniverse &u);

// How long a rewritten output's values took to stand: "定型于：一根K线的值，中位 0 根后不再变，
// 90% 在 3 根内，最多 31 根；最新 12 根的值新K线到来时仍可能变", or why it was not tallied.
QString finalDelayWords(const OutputReplay &o, const ReplayReport &report);
// One line per output (stable, or rewrites history with the figures), then what could not be
// evaluated, then the parameters assumed. `source` stands beside the dates.
QStringList replayReportLines(const ReplayReport &report, const QString &source = {});
// The many-securities report: where and how many, then one line per output, then what could
// not be evaluated and the parameters assumed.
QStringList replaySetLines(const ReplaySetResult &run, const ReplayUniverse &u);

// A signal's scorecard in a line: "信号体检（之后 5 根）：事后 3 次，胜率 100%，平均收益 +4.12%；
// 当时 10 次，胜率 40%，平均收益 -0.85%；消失 7 次；迟到 0 次".
QString scorecardWords(const Scorecard &s);
// What the scorecard means, in a sentence or two: "事后 12 个信号，当时一个也没有：全是之后
// 才画上去的。历史把平均收益多算了 3.20 个百分点。"
QString scorecardStoryWords(const Scorecard &s);
// The same summed over securities: "12 个证券合计 信号体检（之后 5 根）：…".
QString scorecardSumWords(const ScorecardSum &s);
// "历史夸大最多：sh600000 浦发银行（事后平均 +3.20%，当时 -0.40%）、…".
QString overstatedWords(const std::vector<OutputTally::Overstated> &most, const ReplayUniverse &u);
// A share as the scorecard writes it: "66.7%", "空" when nothing was traded.
QString rateWords(double rate);
// A return with its sign: "+4.12%", "空".
QString returnWords(double r);

} // namespace morvane::formula
