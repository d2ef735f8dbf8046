#include "reportstyle.h"

#include "explain.h"

#include <array>

namespace morvane {

namespace {

// Counted names keep the hit line's words; the tag tells look-ahead, drift and warnings apart.
const std::array<ReportStyle, 11> kStyles{{
    {ReportLineKind::Future, u" 发现未来函数 ", u"用到后面的K线", skin::reportRed},
    {ReportLineKind::Drift, u" 发现未来函数 ", u"新数据会改写历史", skin::reportDrift},
    {ReportLineKind::Listed, u" 发现未来函数 ", u"列表中的名字", skin::reportRed},
    {ReportLineKind::LastBar, u" 末根提示 ", u"随最后一根K线变化", skin::reportWarning},
    {ReportLineKind::Unsure, u" 偏移可能为负 ", u"可能用到后面的K线", skin::reportWarning},
    {ReportLineKind::Unchecked, u" 未检查 ", u"无法检查", skin::reportWarning},
    {ReportLineKind::Syntax, formula::kSyntaxHeadline, u"", skin::reportSyntax},
    {ReportLineKind::NotCounted, u" 不算 ", u"", skin::reportGrey},
    {ReportLineKind::Clean, u"", u"", skin::reportGreen},
    {ReportLineKind::Empty, u" 代码框是空的，请先粘贴或打开公式。", u"", skin::reportGrey},
    {ReportLineKind::Incomplete, formula::kIncompleteHeadline, u"无法完全判断",
     skin::reportIncomplete},
}};

} // namespace

const ReportStyle &reportStyle(ReportLineKind kind)
{
    return kStyles[static_cast<size_t>(kind)];
}

} // namespace morvane
