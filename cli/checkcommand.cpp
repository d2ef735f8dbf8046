#include "checkcommand.h"

#include "check.h"
#include "encoding.h"
#include "functionlist.h"
#include "functionmatcher.h"
#include "morvane_config.h"
#include "occurrences.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTime>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

constexpr char kProgram[] = "morvane-check";

// Output goes out in large pieces: thousands of small files make thousands of reports.
class Writer
{
public:
    explicit Writer(QIODevice &device) : m_device(device) {}
    ~Writer() { flush(); }
    Writer &operator<<(const QString &text)
    {
        m_buffer += text.toUtf8();
        if (m_buffer.size() > (1 << 20))
            flush();
        return *this;
    }
    void flush()
    {
        m_device.write(m_buffer);
        m_buffer.clear();
    }

private:
    QIODevice &m_device;
    QByteArray m_buffer;
};

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
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return false;
    }
    return true;
}

// --list, else list.txt beside the program, else the user's (where the window keeps it after a
// system install), else the built-in names. Never written here.
bool loadList(const QCommandLineParser &parser, QStringList *entries, QString *error)
{
    QString path = parser.value(u"list"_s);
    if (path.isEmpty()) {
        for (const QString &candidate :
             {defaultListPath(), QDir(userListDir()).filePath(u"list.txt"_s)})
            if (listFileExists(candidate)) {
                path = candidate;
                break;
            }
    }
    if (path.isEmpty()) {
        *entries = builtinFunctionNames();
        return true;
    }
    if (!readFunctionListFile(path, entries, error)) {
        *error = path + u": "_s + *error;
        return false;
    }
    return true;
}

QString reportLines(const CheckReport &report)
{
    QString text = report.text;
    text.replace(u"\r\n"_s, u"\n"_s);
    if (!text.endsWith(u'\n'))
        text += u'\n';
    return text;
}

QString prefixLines(const QString &text, const QString &prefix)
{
    QString result;
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts))
        result += prefix + line + u'\n';
    return result;
}

} // namespace

int runCheckCommand(const QStringList &arguments, QIODevice &in, QIODevice &out, QIODevice &err)
{
    Writer stdOut(out);
    Writer stdErr(err);
    auto fail = [&](const QString &message) {
        stdErr << QString::fromLatin1(kProgram) + u": "_s + message + u'\n';
    };

    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Reports the future functions (未来函数) that indicator formulas use.\n"
        "Reads standard input when no FILE is given, or for \"-\".\n"
        "Exit status: 0 nothing found, 1 something found, 2 an input could not be used."_s);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({u"list"_s, u"Function list to use instead of list.txt."_s, u"FILE"_s});
    parser.addOption(
        {u"positions"_s, u"One line per occurrence: FILE:LINE:COLUMN: 发现未来函数 NAME."_s});
    parser.addOption({u"json"_s, u"One JSON array with an object per input."_s});
    parser.addPositionalArgument(u"FILE"_s, u"Formula files (UTF-8 or GBK)."_s, u"[FILE...]"_s);

    if (!parser.parse(arguments)) {
        fail(parser.errorText());
        return 2;
    }
    if (parser.isSet(help)) {
        stdOut << parser.helpText();
        return 0;
    }
    if (parser.isSet(version)) {
        stdOut << QString::fromLatin1(kProgram) + u' ' + QString::fromUtf8(MORVANE_VERSION) + u'\n';
        return 0;
    }
    const bool positions = parser.isSet(u"positions"_s);
    const bool json = parser.isSet(u"json"_s);
    if (positions && json) {
        fail(u"--positions and --json cannot be combined"_s);
        return 2;
    }

    QStringList entries;
    QString error;
    if (!loadList(parser, &entries, &error)) {
        fail(error);
        return 2;
    }
    const FunctionMatcher matcher(entries);
    const LocalClock clock = [] { return QTime::currentTime(); };

    QStringList inputs = parser.positionalArguments();
    if (inputs.isEmpty())
        inputs << u"-"_s;
    const bool several = inputs.size() > 1;
    bool anyFound = false;
    bool anyFailed = false;
    QJsonArray results;

    for (const QString &name : std::as_const(inputs)) {
        QByteArray bytes;
        if (!readInput(name, in, &bytes, &error)) {
            fail(name + u": "_s + error);
            anyFailed = true;
            continue;
        }
        const QString formula = decodeUserText(bytes);
        const CheckReport report = checkFormula(formula, matcher, clock);
        anyFound = anyFound || report.found;

        if (positions) {
            QString lines;
            for (const Occurrence &o : findOccurrences(formula, matcher))
                lines += u"%1:%2:%3:%4%5\n"_s.arg(name).arg(o.line).arg(o.column).arg(
                    QString::fromUtf16(kHitPrefix), entries[o.entry]);
            stdOut << lines;
        } else if (json) {
            QJsonArray found;
            QList<Occurrence> occurrences = findOccurrences(formula, matcher);
            const QList<bool> present = matcher.present(formula.toUpper());
            for (qsizetype e = 0; e < entries.size(); ++e) {
                if (!present[e])
                    continue;
                QJsonArray at;
                for (const Occurrence &o : std::as_const(occurrences))
                    if (o.entry == e)
                        at.append(QJsonObject{{u"line"_s, o.line}, {u"column"_s, o.column}});
                found.append(QJsonObject{{u"name"_s, entries[e]}, {u"occurrences"_s, at}});
            }
            results.append(QJsonObject{
                {u"file"_s, name}, {u"report"_s, reportLines(report)}, {u"found"_s, found}});
        } else {
            const QString lines = reportLines(report);
            stdOut << (several ? prefixLines(lines, name + u": "_s) : lines);
        }
    }
    if (json)
        stdOut << QString::fromUtf8(QJsonDocument(results).toJson(QJsonDocument::Indented));
    return anyFailed ? 2 : anyFound ? 1 : 0;
}

} // namespace morvane
