#include "replayoutput.h"

#include "encoding.h"
#include "parser.h"

#include <QFile>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane {

using namespace formula;

namespace {

QString number(double x)
{
    return std::isnan(x) ? u"空"_s : QString::number(x, 'g', 10);
}

QJsonValue jsonNumber(double x)
{
    return std::isfinite(x) ? QJsonValue(x) : QJsonValue(QJsonValue::Null);
}

QString label(const OutputLine &line)
{
    if (!line.name.isEmpty())
        return line.name;
    const QString where = u"%1:%2"_s.arg(line.pos.line).arg(line.pos.column);
    return line.drawing.isEmpty() ? u"输出 "_s + where : line.drawing + u' ' + where;
}

QString date(const QDate &d)
{
    return d.toString(Qt::ISODate);
}

bool readInput(const QString &name, QIODevice &in, QByteArray *bytes, QString *error)
{
    if (name == u"-"_s) {
        *bytes = in.readAll();
        return true;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    return true;
}

} // namespace

QStringList replayLines(const ReplayReport &report)
{
    QStringList lines;
    for (const OutputReplay &o : report.outputs) {
        const QString name = label(o.line);
        if (!o.checked) {
            lines << u"%1: 无法检验 (缺 %2)"_s.arg(name, o.line.missing.join(u", "_s));
        } else if (!o.rewrites()) {
            lines << u"%1: 稳定 (%2 个截断点)"_s.arg(name).arg(report.cuts.size());
        } else {
            const Rewrite &f = o.first;
            lines << u"%1: 改写历史 — %2/%3 个截断点, 最远回溯 %4 根; 首例 %5: 截至 %6 时为 %7, "
                     u"之后为 %8"_s.arg(name)
                         .arg(o.cutsRewritten)
                         .arg(report.cuts.size())
                         .arg(o.farthestBack)
                         .arg(date(f.date), date(f.cutDate), number(f.before), number(f.after));
        }
    }
    if (!report.missing.isEmpty())
        lines << u"无法计算: "_s + report.missing.join(u", "_s);
    QStringList assumed;
    for (const ParamUse &p : report.params)
        if (p.assumed)
            assumed << p.name + u'=' + number(p.value);
    if (!assumed.isEmpty())
        lines << u"参数假设: "_s + assumed.join(u", "_s);
    return lines;
}

QJsonObject replayJson(const ReplayReport &report)
{
    QJsonArray outputs;
    for (const OutputReplay &o : report.outputs) {
        QJsonObject item{{u"name"_s, o.line.name},     {u"label"_s, label(o.line)},
                         {u"line"_s, o.line.pos.line}, {u"column"_s, o.line.pos.column},
                         {u"checked"_s, o.checked},    {u"rewritesHistory"_s, o.rewrites()}};
        if (!o.line.drawing.isEmpty())
            item.insert(u"drawing"_s, o.line.drawing);
        if (!o.checked)
            item.insert(u"missing"_s, QJsonArray::fromStringList(o.line.missing));
        if (o.rewrites()) {
            item.insert(u"cutsRewritten"_s, o.cutsRewritten);
            item.insert(u"farthestBack"_s, o.farthestBack);
            item.insert(u"first"_s, QJsonObject{{u"date"_s, date(o.first.date)},
                                                {u"cutDate"_s, date(o.first.cutDate)},
                                                {u"channel"_s, o.first.channel},
                                                {u"before"_s, jsonNumber(o.first.before)},
                                                {u"after"_s, jsonNumber(o.first.after)}});
        }
        outputs.append(item);
    }
    QJsonArray params;
    for (const ParamUse &p : report.params)
        params.append(
            QJsonObject{{u"name"_s, p.name}, {u"value"_s, p.value}, {u"assumed"_s, p.assumed}});
    return QJsonObject{{u"bars"_s, report.bars},
                       {u"cuts"_s, qint64(report.cuts.size())},
                       {u"rewritesHistory"_s, report.anyRewrites()},
                       {u"outputs"_s, outputs},
                       {u"missing"_s, QJsonArray::fromStringList(report.missing)},
                       {u"params"_s, params}};
}

QString barsProblemText(const QString &file, const BarsRead &read)
{
    QString what;
    switch (read.problem) {
    case BarsProblem::None:
        return {};
    case BarsProblem::Empty:
        return file + u": 没有行情数据"_s;
    case BarsProblem::Encoding:
        return file + u": 不是 UTF-8 文本"_s;
    case BarsProblem::ColumnCount:
        what = u"应为 日期,开,高,低,收[,量[,额]]"_s;
        break;
    case BarsProblem::BadDate:
        what = u"日期无法识别 (YYYY-MM-DD, YYYY/MM/DD 或 YYYYMMDD)"_s;
        break;
    case BarsProblem::BadNumber:
        what = u"第 %1 列不是数字"_s.arg(read.column);
        break;
    case BarsProblem::BadPrices:
        what = u"价格须大于 0, 最低不高于最高, 量和额不为负"_s;
        break;
    case BarsProblem::DateOrder:
        what = u"日期须晚于上一行"_s;
        break;
    case BarsProblem::TooLarge:
        return file + u": 文件超过 256 MiB, 未读取"_s;
    case BarsProblem::Truncated:
        what = u"记录不完整 (文件在记录中间结束)"_s;
        break;
    case BarsProblem::UnknownLayout:
        return file + u": 无法识别的行情格式"_s;
    case BarsProblem::Unreadable:
        return file + u": 无法读取"_s;
    }
    return u"%1:%2: %3"_s.arg(file).arg(read.line).arg(what);
}

int runReplayCommand(const QStringList &files, const QString &barsFile,
                     const QMap<QString, double> &params, bool json, QIODevice &in, QIODevice &out,
                     QIODevice &err)
{
    auto fail = [&err](const QString &message) {
        err.write((u"morvane-check: "_s + message + u'\n').toUtf8());
    };
    Bars bars;
    if (barsFile.isEmpty()) {
        bars = builtinBars();
    } else {
        QByteArray bytes;
        QString error;
        if (!readInput(barsFile, in, &bytes, &error)) {
            fail(barsFile + u": "_s + error);
            return 2;
        }
        BarsRead read = readBarsCsv(bytes);
        if (read.problem != BarsProblem::None) {
            fail(barsProblemText(barsFile, read));
            return 2;
        }
        bars = std::move(read.bars);
    }
    QStringList inputs = files;
    if (inputs.isEmpty())
        inputs << u"-"_s;
    const bool several = inputs.size() > 1;
    ReplayOptions options;
    options.params = params;
    bool rewrites = false, failed = false;
    QJsonArray results;
    QString text;
    for (const QString &name : std::as_const(inputs)) {
        QByteArray bytes;
        QString error;
        if (!readInput(name, in, &bytes, &error)) {
            fail(name + u": "_s + error);
            failed = true;
            continue;
        }
        const QString formulaText = decodeUserText(bytes);
        const Program program = parse(formulaText);
        const ReplayReport report = replay(program, bars, options);
        rewrites = rewrites || report.anyRewrites();
        if (json) {
            QJsonObject item = replayJson(report);
            item.insert(u"file"_s, name);
            item.insert(u"syntaxNotes"_s, qint64(program.notes.size()));
            results.append(item);
            continue;
        }
        QStringList lines = replayLines(report);
        if (report.outputs.empty())
            lines.prepend(u"没有输出"_s);
        if (!program.notes.empty())
            lines << u"语法问题 %1 处, 其语句未参与回放"_s.arg(program.notes.size());
        for (const QString &line : std::as_const(lines))
            text += (several ? name + u": "_s : QString()) + line + u'\n';
    }
    if (json)
        out.write(QJsonDocument(results).toJson(QJsonDocument::Indented));
    else
        out.write(text.toUtf8());
    return failed ? 2 : rewrites ? 1 : 0;
}

} // namespace morvane
