#include "replaybars.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

QString problemText(const formula::BarsRead &read)
{
    using formula::BarsProblem;
    QString what;
    switch (read.problem) {
    case BarsProblem::None:
        return {};
    case BarsProblem::Empty:
        return u"没有行情数据"_s;
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
    case BarsProblem::Encoding:
        return u"不是文本文件"_s;
    }
    return read.column > 0 ? u"第 %1 行第 %2 列：%3"_s.arg(read.line).arg(read.column).arg(what)
                           : u"第 %1 行：%2"_s.arg(read.line).arg(what);
}

} // namespace

QStringList builtinBarsNames()
{
    return {u"模拟行情"_s};
}

BarsSource builtinBarsSource(int index)
{
    Q_UNUSED(index);
    return {formula::builtinBars(), u"模拟行情"_s, {}, {}};
}

BarsSource readBarsSource(const QString &path, qint64 maxBytes)
{
    BarsSource source;
    source.path = path;
    source.origin = QFileInfo(path).fileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        source.error = u"%1：无法打开（%2）"_s.arg(source.origin, file.errorString());
        return source;
    }
    if (file.size() > maxBytes) {
        source.error = u"%1：文件太大（超过 %2 MB）"_s.arg(source.origin).arg(maxBytes >> 20);
        return source;
    }
    const QByteArray bytes = file.read(maxBytes + 1);
    if (qint64(bytes.size()) > maxBytes) {
        source.error = u"%1：文件太大（超过 %2 MB）"_s.arg(source.origin).arg(maxBytes >> 20);
        return source;
    }
    formula::BarsRead read = formula::readBarsCsv(bytes);
    if (read.problem != formula::BarsProblem::None) {
        source.error = source.origin + u"："_s + problemText(read);
        return source;
    }
    source.bars = std::move(read.bars);
    return source;
}

QStringList barsFilesInFolder(const QString &folder)
{
    const QDir dir(folder);
    QStringList files;
    for (const QString &name :
         dir.entryList({u"*.csv"_s, u"*.txt"_s, u"*.CSV"_s, u"*.TXT"_s}, QDir::Files, QDir::Name))
        files << dir.filePath(name);
    return files;
}

} // namespace morvane
