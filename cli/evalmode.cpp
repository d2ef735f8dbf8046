#include "evalmode.h"

#include "barfiles.h"
#include "commandio.h"
#include "encoding.h"
#include "parser.h"
#include "replayoutput.h"

#include <QFile>
#include <QIODevice>
#include <QLocale>

#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane {

using namespace formula;

namespace {

QString label(const OutputLine &line)
{
    if (!line.name.isEmpty())
        return line.name;
    const QString where = u"%1:%2"_s.arg(line.pos.line).arg(line.pos.column);
    return line.drawing.isEmpty() ? u"输出 "_s + where : line.drawing + u' ' + where;
}

// A CSV field: quoted when it holds a comma, a quote or a line end (RFC 4180).
QString field(const QString &text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r'))
        return text;
    return u'"' + QString(text).replace(u"\""_s, u"\"\""_s) + u'"';
}

QString number(double x)
{
    if (std::isnan(x))
        return {};
    return QString::number(x, 'g', QLocale::FloatingPointShortest);
}

QString missingText(const QString &what)
{
    if (what == QStringView(kTooDeep))
        return u"公式嵌套过深"_s;
    return what;
}

bool readAll(const QString &name, QIODevice &in, QByteArray *bytes, QString *error)
{
    std::unique_ptr<QFile> file;
    QIODevice *device = openInput(name, in, &file, error);
    if (!device)
        return false;
    switch (readWhole(*device, bytes, error)) {
    case InputStatus::Ok:
        return true;
    case InputStatus::TooLarge:
        *error = tooLargeText();
        return false;
    case InputStatus::ReadFailed:
        break;
    }
    return false;
}

} // namespace

QString evalCsv(const Bars &bars, const Evaluation &ev)
{
    std::vector<const Series *> columns;
    QString text = u"date"_s;
    for (const OutputLine &line : ev.outputs) {
        if (!line.ok())
            continue;
        for (std::size_t c = 0; c < line.channels.size(); ++c) {
            const QString suffix =
                line.channels.size() > 1 ? u"/"_s + QString::number(c + 1) : QString();
            text += u',' + field(label(line) + suffix);
            columns.push_back(&line.channels[c]);
        }
    }
    text += u'\n';
    for (std::size_t i = 0; i < bars.dates.size(); ++i) {
        text += bars.dates[i].toString(Qt::ISODate);
        for (const Series *s : columns)
            text += u',' + number(i < s->size() ? (*s)[i] : std::nan(""));
        text += u'\n';
    }
    return text;
}

int runEvalCommand(const QString &file, const QString &barsFile,
                   const QMap<QString, double> &params, QIODevice &in, QIODevice &out,
                   QIODevice &err)
{
    Writer stdErr(err);
    auto say = [&](const QString &message) {
        stdErr << QString::fromLatin1(kProgram) + u": "_s + message + u'\n';
    };
    Bars bars;
    if (barsFile.isEmpty()) {
        bars = builtinBars();
    } else {
        QByteArray bytes;
        QString error;
        if (!readAll(barsFile, in, &bytes, &error)) {
            say(barsFile + u": "_s + error);
            return 2;
        }
        BarsFileRead read = readBarsBytes(bytes, barsFile);
        if (!read.ok()) {
            say(barsFileProblemText(barsFile, read));
            return 2;
        }
        bars = std::move(read.bars);
    }
    QByteArray bytes;
    QString error;
    if (!readAll(file, in, &bytes, &error)) {
        say(file + u": "_s + error);
        return 2;
    }
    const Program program = parse(decodeUserText(bytes));
    EvalOptions options;
    options.params = params;
    const Evaluation ev = evaluate(program, bars, options);
    if (!program.notes.empty())
        say(u"%1: 语法问题 %2 处, 其语句未计算"_s.arg(file).arg(program.notes.size()));
    if (ev.outputs.empty()) {
        say(file + u": 没有输出"_s);
        return 2;
    }
    bool partial = false, any = false;
    for (const OutputLine &line : ev.outputs) {
        if (line.ok()) {
            any = true;
            continue;
        }
        partial = true;
        QStringList what;
        for (const QString &m : line.missing)
            what << missingText(m);
        say(u"%1: 无法计算 (缺 %2)"_s.arg(label(line), what.join(u", "_s)));
    }
    QStringList assumed;
    for (const ParamUse &p : ev.params)
        if (p.assumed)
            assumed << p.name + u'=' + number(p.value);
    if (!assumed.isEmpty())
        say(u"参数假设: "_s + assumed.join(u", "_s));
    if (!any) {
        say(file + u": 没有可计算的输出"_s);
        return 2;
    }
    Writer stdOut(out);
    stdOut << evalCsv(bars, ev);
    if (!stdOut.flush()) {
        say(u"无法写出结果: "_s + stdOut.errorString());
        return 2;
    }
    // A statement with a syntax error is an output missing from the columns.
    return partial || !program.notes.empty() ? 1 : 0;
}

} // namespace morvane
