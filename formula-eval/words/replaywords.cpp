#include "replaywords.h"

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

// What is wrong inside the file, told after its record or line.
QString recordProblem(const BarsFileRead &read)
{
    switch (read.problem) {
    case BarsProblem::Encoding:
        return u"不是可读的文本（应为 UTF-8 或 GBK）"_s;
    case BarsProblem::UnknownLayout:
        return u"无法识别的行情格式（导出文本的列名应有 日期、开盘、最高、最低、收盘）"_s;
    case BarsProblem::TooLong:
        return read.field > 0 ? u"第 %1 列过长，不是日期或数字"_s.arg(read.field)
                              : u"这一行过长，不是行情"_s;
    case BarsProblem::AfterEnd:
        return u"“数据来源”一行之后还有内容，导出文本应在它处结束"_s;
    case BarsProblem::NotDaily:
        return u"这是分钟线（有“时间”列），只读取日线"_s;
    case BarsProblem::Truncated:
        return u"记录不完整，文件在记录中间结束"_s;
    case BarsProblem::ColumnCount:
        return u"列数不对，应为 日期、开、高、低、收[、量[、额]]"_s;
    case BarsProblem::BadDate:
        return u"日期无法识别（YYYY-MM-DD、YYYY/MM/DD 或 YYYYMMDD）"_s;
    case BarsProblem::BadNumber:
        return u"第 %1 列不是数字"_s.arg(read.field);
    case BarsProblem::BadPrices:
        return u"价格须大于 0，开盘与收盘须在最低与最高之间，量和额不为负"_s;
    case BarsProblem::DateOrder:
        return u"日期须晚于上一条"_s;
    case BarsProblem::None:
    case BarsProblem::Empty:
    case BarsProblem::TooLarge:
    case BarsProblem::Unreadable:
    case BarsProblem::Denied:
    case BarsProblem::NotRegular:
        break;
    }
    return {};
}

// What is wrong with the file as a whole; empty when the problem has a record.
QString fileProblem(const BarsFileRead &read, qint64 maxBytes)
{
    switch (read.problem) {
    case BarsProblem::Empty:
        return u"没有行情数据"_s;
    case BarsProblem::Encoding:
        return read.record == 0 ? u"不是可读的文本（应为 UTF-8 或 GBK）"_s : QString();
    case BarsProblem::TooLarge:
        return tooLargeWords(maxBytes);
    case BarsProblem::UnknownLayout:
        return read.record == 0 ? u"无法识别的行情格式（应为 .day 日线、数据导出文本或 CSV）"_s
                                : QString();
    case BarsProblem::Unreadable:
        return read.error.isEmpty() ? u"无法读取"_s : read.error;
    case BarsProblem::Denied:
        return u"没有读取权限"_s;
    case BarsProblem::NotRegular:
        return u"不是普通文件（管道或设备），未读取"_s;
    default:
        return {};
    }
}

} // namespace

QString tooLargeWords(qint64 maxBytes)
{
    return u"大于 %1 MiB，超出输入的上限，未读取"_s.arg(maxBytes >> 20);
}

QString barsProblemWords(const QString &file, const BarsFileRead &read, qint64 maxBytes)
{
    if (read.ok())
        return {};
    if (const QString whole = fileProblem(read, maxBytes); !whole.isEmpty())
        return file + u"："_s + whole;
    const bool day = read.kind == BarsFileKind::Day || read.problem == BarsProblem::Truncated;
    return u"%1：第 %2 %3：%4"_s.arg(file)
        .arg(read.record)
        .arg(day ? u"条记录"_s : u"行"_s, recordProblem(read));
}

QString cutlessWords(qsizetype bars)
{
    return u"只有 %1 根K线，无法回放"_s.arg(bars);
}

QString unchangingWords(Unchanging unchanging)
{
    return unchanging == Unchanging::NeverSignals ? u"这段行情上从未出现信号"_s
                                                  : u"这段行情上输出始终不变"_s;
}

QString unchangingOnWords(Unchanging unchanging, qsizetype securities)
{
    return unchanging == Unchanging::NeverSignals ? u"%1 个证券上从未出现信号"_s.arg(securities)
                                                  : u"%1 个证券上输出始终不变"_s.arg(securities);
}

QString reachWords(qsizetype back)
{
    return back == 0 ? u"当根即被改写（截断点当天的值事后改变）"_s : u"最远回溯 %1 根"_s.arg(back);
}

QString tooDeepWords()
{
    return u"公式嵌套过深"_s;
}

QString fallbackWords(const Fallback &fallback)
{
    const QString name = fallback.function.isEmpty() ? u"某个函数"_s : fallback.function;
    switch (fallback.why) {
    case FallbackWhy::None:
        break;
    case FallbackWhy::PerBarOffset:
        return u"公式中 %1 的偏移（或周期、百分比）逐根变化"_s.arg(name);
    case FallbackWhy::PerBarReach:
        return u"公式中 %1 的周期逐根变化且往回读得太远，每根K线都截断代价太大"_s.arg(name);
    case FallbackWhy::PlugIn:
        return u"公式调用了外挂函数 %1"_s.arg(name);
    case FallbackWhy::Unbounded:
        return u"公式中 %1 的值会变到多远无法预先确定"_s.arg(name);
    }
    return u"K线太少"_s;
}

} // namespace morvane::formula
