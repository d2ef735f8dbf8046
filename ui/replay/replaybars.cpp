#include "replaybars.h"

#include "barfiles.h"
#include "builtin.h"

#include <QFileInfo>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

QString problemText(const formula::BarsFileRead &read)
{
    using formula::BarsProblem;
    QString what;
    switch (read.problem) {
    case BarsProblem::None:
        return {};
    case BarsProblem::Empty:
        return u"没有行情数据"_s;
    case BarsProblem::Encoding:
        if (read.record == 0)
            return u"不是可识别编码的文本"_s;
        what = u"不是可识别编码的文本"_s;
        break;
    case BarsProblem::TooLarge:
        return u"文件太大，未读取"_s;
    case BarsProblem::UnknownLayout:
        if (read.record == 0)
            return u"无法识别的行情格式（支持 .day、数据导出文本和 CSV）"_s;
        what = u"无法识别的行情格式（导出文本的列名应有日期、开盘、最高、最低、收盘）"_s;
        break;
    case BarsProblem::TooLong:
        what = read.field > 0 ? u"过长，不是日期或数字"_s : u"这一行过长，不是行情"_s;
        break;
    case BarsProblem::AfterEnd:
        what = u"“数据来源”一行之后还有内容，导出文本应在它处结束"_s;
        break;
    case BarsProblem::NotDaily:
        what = u"这是分钟线（有“时间”列），只读取日线"_s;
        break;
    case BarsProblem::Unreadable:
        return u"无法读取（%1）"_s.arg(read.error);
    case BarsProblem::Denied:
        return u"没有读取权限"_s;
    case BarsProblem::NotRegular:
        return u"不是普通文件（管道或设备），未读取"_s;
    case BarsProblem::ColumnCount:
        what = u"列数不对（应为日期、开、高、低、收，可带成交量、成交额）"_s;
        break;
    case BarsProblem::BadDate:
        what = u"日期无法识别"_s;
        break;
    case BarsProblem::BadNumber:
        what = u"数字无法识别"_s;
        break;
    case BarsProblem::BadPrices:
        what = u"价格不合理"_s;
        break;
    case BarsProblem::DateOrder:
        what = u"日期没有递增"_s;
        break;
    case BarsProblem::Truncated:
        what = u"记录不完整"_s;
        break;
    }
    const QString unit = read.kind == formula::BarsFileKind::Day ? u"条记录"_s : u"行"_s;
    return read.field > 0
               ? u"第 %1 %2第 %3 列：%4"_s.arg(read.record).arg(unit).arg(read.field).arg(what)
               : u"第 %1 %2：%3"_s.arg(read.record).arg(unit, what);
}

} // namespace

QStringList builtinBarsNames()
{
    QStringList names;
    for (const formula::Security &s : formula::builtinSecurities())
        names << s.code + u' ' + s.name;
    return names;
}

BarsSource builtinBarsSource(int index)
{
    std::vector<formula::Security> all = formula::builtinSecurities();
    if (all.empty())
        return {formula::builtinBars(), u"模拟行情"_s, {}, {}};
    formula::Security &s = all[std::size_t(std::clamp(index, 0, int(all.size()) - 1))];
    return {std::move(s.bars), u"模拟行情"_s, {}, {}};
}

BarsSource readBarsSource(const QString &path, qint64 maxBytes)
{
    formula::BarsEntry entry{path, {}, path, {}, {}};
    // A pipe chosen in the dialog would block the window in open(2) until something wrote.
    if (const QFileInfo info(path); info.exists() && !info.isFile() && !info.isDir())
        entry.problem = formula::BarsProblem::NotRegular;
    return readBarsSource(entry, maxBytes);
}

BarsSource readBarsSource(const formula::BarsEntry &entry, qint64 maxBytes)
{
    BarsSource source;
    source.path = entry.shown;
    source.origin = QFileInfo(entry.shown).fileName();
    formula::BarsFileRead read = formula::readBarsEntry(entry, maxBytes);
    if (!read.ok()) {
        source.error = source.origin + u"："_s + problemText(read);
        return source;
    }
    source.bars = std::move(read.bars);
    return source;
}

std::vector<formula::BarsEntry> barsFilesInFolder(const QString &folder)
{
    return formula::barsEntriesIn(folder);
}

} // namespace morvane
