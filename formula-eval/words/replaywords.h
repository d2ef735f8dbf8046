#pragma once

#include "barfiles.h"
#include "replay.h"

#include <QString>

namespace morvane::formula {

// What the replay says in words, for the command line and the window alike: each sentence
// written here once. The evaluator and the replay return only meaning; this is their reading.

// Beside the dates of the built-in securities.
inline constexpr char16_t kSimulatedBars[] = u"模拟行情";

// An input over the bound: "大于 256 MiB，超出输入的上限，未读取".
QString tooLargeWords(qint64 maxBytes);

// Why a bars file was refused, after its name, with its record or line where there is one:
// "sh600000.day：第 7 条记录：记录不完整，文件在记录中间结束". maxBytes is the bound the
// file was read with. Empty when the file was read.
QString barsProblemWords(const QString &file, const BarsFileRead &read, qint64 maxBytes);

// Bars too few to cut: "只有 1 根K线，无法回放".
QString cutlessWords(qsizetype bars);

// An output that never changed: "这段行情上从未出现信号", "这段行情上输出始终不变".
QString unchangingWords(Unchanging unchanging);
// The same over many securities: "3 个证券上从未出现信号".
QString unchangingOnWords(Unchanging unchanging, qsizetype securities);

// How far back a rewrite reached: "最远回溯 12 根", or that the cut's own bar changed.
QString reachWords(qsizetype back);

// The evaluator's nesting bound, which stands among the missing names: "公式嵌套过深".
QString tooDeepWords();

// Why not every bar could be a cut: "公式含 REF 的逐根变化的偏移".
QString fallbackWords(const Fallback &fallback);

} // namespace morvane::formula
