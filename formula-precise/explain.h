#pragma once

#include "precise.h"

#include <QString>

namespace morvane::formula {

// The check's own sentences, which the window and the command line both show: written here
// once, as the knowledge base's reasons are.

inline constexpr char16_t kIncompleteHeadline[] = u" 无法完全判断：";
inline constexpr char16_t kSyntaxHeadline[] = u" 语法问题 ";

// "第 3 行第 5 列"
QString placeWords(int line, int column);

// What a syntax note means: "缺少右括号 )，这里是 ;".
QString syntaxWords(const SyntaxNote &note);

// "偏移 = -5", "偏移在 -10 到 -1 之间", "偏移不大于 0", "偏移的范围看不出来".
QString offsetWords(double low, double high);

// The offsets of a REF finding, by line where they differ: "偏移 = -1",
// "第 2 行偏移 = -1；第 5 行偏移在 -10 到 -1 之间"; empty where none was analysed.
QString offsetsOf(const FoundName &name);

// The outputs a finding reaches: "影响输出：上涨、下跌、XG（信号）、第 9 行 DRAWTEXT（信号）",
// or "不影响任何输出" when none does.
QString affectsWords(const FoundName &name);

// Why the verdict is Incomplete, for the headline after kIncompleteHeadline: the first
// reason of each kind, "公式调用外挂 DLL（TDXDLL1）；第 3 行读不懂，这一句没有检查完。".
QString incompleteReasons(const PreciseResult &result);

} // namespace morvane::formula
