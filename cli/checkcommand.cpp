#include "checkcommand.h"

#include "check.h"
#include "encoding.h"
#include "functionlist.h"
#include "functionmatcher.h"
#include "morvane_config.h"
#include "occurrences.h"
#include "preciseoutput.h"
#include "replayoutput.h"
#include "textscan.h"

#include <QBuffer>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTime>

#include <memory>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

constexpr char kProgram[] = "morvane-check";
// No formula is this long; the bound keeps /dev/zero and sparse giants from eating memory.
constexpr qint64 kMaxInput = qint64(256) << 20;

// Output goes out in large pieces: thousands of small files make thousands of reports.
// A failed write (a full disk, a closed pipe) is remembered, not ignored.
class Writer
{
public:
    explicit Writer(QIODevice &device) : m_device(device) {}
    ~Writer() { flush(); }
    Writer &operator<<(const QString &text)
    {
        m_buffer += text.toUtf8();
        if (m_buffer.size() > (1 << 20))
            write();
        return *this;
    }
    // Everything written out and handed to the system; false when anything failed.
    bool flush()
    {
        write();
        if (auto *file = qobject_cast<QFileDevice *>(&m_device); file && !file->flush())
            m_failed = true;
        return !m_failed;
    }
    QString errorString() const { return m_device.errorString(); }

private:
    void write()
    {
        if (!m_buffer.isEmpty() && m_device.write(m_buffer) != m_buffer.size())
            m_failed = true;
        m_buffer.clear();
    }
    QIODevice &m_device;
    QByteArray m_buffer;
    bool m_failed = false;
};

struct Options
{
    QString list; // empty: list.txt beside the program, else the built-in names
    bool positions = false;
    bool json = false;
    bool precise = false; // the formula read as a program
    bool replay = false;  // the formula run on bars
    QString bars;         // --replay: a CSV export; empty: the built-in history
    QMap<QString, double> params;
    QStringList inputs; // "-" is standard input
};

enum class ParseResult
{
    Run,
    Done,
    Failed
};

bool readsStandardInput(const QString &path)
{
    return path == u"-"_s || path == u"/dev/stdin"_s || path == u"/dev/fd/0"_s ||
           path == u"/proc/self/fd/0"_s;
}

ParseResult parseOptions(const QStringList &arguments, Options *options, Writer &out,
                         QString *error)
{
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
    parser.addOption({u"precise"_s, u"Read the formula as a program: names in comments, quoted "
                                    "text or longer names do not count; REFX, BARSNEXT, "
                                    "REF(C,-1) and every #PERIOD do. Each name with its class "
                                    "(future, drift, lastbar, listed) and reason."_s});
    parser.addOption({u"replay"_s, u"Run the formula on bars, again on the history cut at many "
                                   "bars, and report each output that rewrites its own past. "
                                   "Exit status 1 when one does."_s});
    parser.addOption({u"bars"_s,
                      u"With --replay: bars to use, a CSV of date, open, high, low, close, "
                      "then volume and amount (optional). Default: a built-in history."_s,
                      u"FILE"_s});
    parser.addOption({u"param"_s,
                      u"With --replay: a parameter of the formula, such as N=5 (repeatable)."_s,
                      u"NAME=VALUE"_s});
    parser.addPositionalArgument(u"FILE"_s, u"Formula files (UTF-8 or GBK)."_s, u"[FILE...]"_s);

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return ParseResult::Failed;
    }
    if (parser.isSet(help)) {
        out << parser.helpText();
        return ParseResult::Done;
    }
    if (parser.isSet(version)) {
        out << QString::fromLatin1(kProgram) + u' ' + QString::fromUtf8(MORVANE_VERSION) + u'\n';
        return ParseResult::Done;
    }
    options->positions = parser.isSet(u"positions"_s);
    options->json = parser.isSet(u"json"_s);
    options->precise = parser.isSet(u"precise"_s);
    options->replay = parser.isSet(u"replay"_s);
    if (options->positions && options->json) {
        *error = u"--positions and --json cannot be combined"_s;
        return ParseResult::Failed;
    }
    if (options->precise && options->replay) {
        *error = u"--precise and --replay cannot be combined"_s;
        return ParseResult::Failed;
    }
    if (options->replay && options->positions) {
        *error = u"--replay reports outputs, not positions"_s;
        return ParseResult::Failed;
    }
    if (!options->replay && (parser.isSet(u"bars"_s) || parser.isSet(u"param"_s))) {
        *error = u"--bars and --param go with --replay"_s;
        return ParseResult::Failed;
    }
    options->bars = parser.value(u"bars"_s);
    for (const QString &param : parser.values(u"param"_s)) {
        const qsizetype eq = param.indexOf(u'=');
        bool ok = false;
        const double value = eq > 0 ? param.sliced(eq + 1).trimmed().toDouble(&ok) : 0.0;
        if (!ok) {
            *error = u"--param wants NAME=NUMBER, not "_s + param;
            return ParseResult::Failed;
        }
        options->params.insert(param.first(eq).trimmed().toUpper(), value);
    }
    options->list = parser.value(u"list"_s);
    if (parser.isSet(u"list"_s) && options->list.isEmpty()) {
        *error = u"--list needs a file name"_s;
        return ParseResult::Failed;
    }
    options->inputs = parser.positionalArguments();
    if (options->inputs.isEmpty())
        options->inputs << u"-"_s;
    if (readsStandardInput(options->list) && options->inputs.contains(u"-"_s)) {
        *error = u"the list and a formula cannot both be read from standard input"_s;
        return ParseResult::Failed;
    }
    return ParseResult::Run;
}

// --list, else list.txt beside the program, else the user's (where the window keeps it after a
// system install), else the built-in names. Never written here.
bool loadList(const QString &explicitList, QStringList *entries, QString *error)
{
    QString path = explicitList;
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

// The input's device: standard input for "-", else the file, opened into `file`.
QIODevice *openInput(const QString &name, QIODevice &in, std::unique_ptr<QFile> *file,
                     QString *error)
{
    if (name == u"-"_s)
        return &in;
    *file = std::make_unique<QFile>(name);
    if (!(*file)->open(QIODevice::ReadOnly)) {
        *error = (*file)->errorString();
        if (name.contains(QChar::ReplacementCharacter))
            *error += u" (the name is not valid UTF-8, which file names must be here)"_s;
        return nullptr;
    }
    return file->get();
}

// The rest of a device, up to the bound.
InputStatus readWhole(QIODevice &source, QByteArray *bytes, QString *error)
{
    char chunk[64 * 1024];
    for (qint64 n; (n = source.read(chunk, sizeof chunk)) != 0;) {
        if (n < 0) {
            *error = source.errorString();
            return InputStatus::ReadFailed;
        }
        if (bytes->size() + n > kMaxInput)
            return InputStatus::TooLarge;
        bytes->append(chunk, n);
    }
    return InputStatus::Ok;
}

// One input through the scan: files are read in pieces; standard input and other streams,
// which cannot be read twice, are held whole (up to the bound).
InputStatus checkInput(const QString &name, QIODevice &in, const FunctionMatcher &matcher,
                       bool positions, InputScan *result, QString *error)
{
    std::unique_ptr<QFile> file;
    QIODevice *source = openInput(name, in, &file, error);
    if (!source)
        return InputStatus::ReadFailed;
    if (!source->isSequential() && source->size() > kMaxInput)
        return InputStatus::TooLarge;
    if (!source->isSequential())
        return scanInput(*source, matcher, positions, kMaxInput, result, error);
    QByteArray bytes;
    if (const InputStatus status = readWhole(*source, &bytes, error); status != InputStatus::Ok)
        return status;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    return scanInput(buffer, matcher, positions, kMaxInput, result, error);
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

// A JSON string exactly as QJsonDocument writes it.
QString jsonString(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.sliced(1, array.size() - 2));
}

// The object of one input, laid out as QJsonDocument::Indented lays it out, written as it
// goes; occurrences grouped by entry in one pass.
void writeJsonObject(Writer &out, const QString &name, const CheckReport &report,
                     const QStringList &entries, const InputScan &scan)
{
    const QString i1(4, u' '), i2(8, u' '), i3(12, u' '), i4(16, u' '), i5(20, u' '), i6(24, u' ');
    std::vector<size_t> first(size_t(entries.size()) + 1, 0);
    for (const Occurrence &o : scan.occurrences)
        ++first[size_t(o.entry) + 1];
    for (size_t e = 1; e < first.size(); ++e)
        first[e] += first[e - 1];
    std::vector<size_t> next(first.begin(), first.end() - 1);
    std::vector<size_t> byEntry(scan.occurrences.size());
    for (size_t i = 0; i < scan.occurrences.size(); ++i)
        byEntry[next[size_t(scan.occurrences[i].entry)]++] = i;

    out << i1 + u"{\n"_s + i2 + u"\"file\": "_s + jsonString(name) + u",\n"_s + i2 +
               u"\"found\": [\n"_s;
    bool firstFound = true;
    for (qsizetype e = 0; e < entries.size(); ++e) {
        if (!scan.found[e])
            continue;
        out << (firstFound ? QString() : u",\n"_s) + i3 + u"{\n"_s + i4 + u"\"name\": "_s +
                   jsonString(entries[e]) + u",\n"_s + i4 + u"\"occurrences\": [\n"_s;
        firstFound = false;
        QString lines;
        for (size_t k = first[size_t(e)]; k < first[size_t(e) + 1]; ++k) {
            const Occurrence &o = scan.occurrences[byEntry[k]];
            lines += (k == first[size_t(e)] ? QString() : u",\n"_s) + i5 + u"{\n"_s + i6 +
                     u"\"column\": "_s + QString::number(o.column) + u",\n"_s + i6 +
                     u"\"line\": "_s + QString::number(o.line) + u'\n' + i5 + u'}';
            if (lines.size() > (1 << 16)) {
                out << lines;
                lines.clear();
            }
        }
        out << lines + (first[size_t(e)] == first[size_t(e) + 1] ? QString() : u"\n"_s) + i4 +
                   u"]\n"_s + i3 + u'}';
    }
    out << (firstFound ? QString() : u"\n"_s) + i2 + u"],\n"_s + i2 + u"\"report\": "_s +
               jsonString(reportLines(report)) + u'\n' + i1 + u'}';
}

// --precise: each input read whole and analysed as a program.
template <typename Fail>
int runPrecise(const Options &options, const QStringList &entries, QIODevice &in, Writer &out,
               const Fail &fail)
{
    const bool several = options.inputs.size() > 1;
    bool anyFound = false;
    bool anyFailed = false;
    QJsonArray objects;
    for (const QString &name : options.inputs) {
        QByteArray bytes;
        QString error;
        std::unique_ptr<QFile> file;
        QIODevice *source = openInput(name, in, &file, &error);
        const InputStatus status =
            source ? readWhole(*source, &bytes, &error) : InputStatus::ReadFailed;
        if (status != InputStatus::Ok) {
            fail(name + u": "_s +
                 (status == InputStatus::TooLarge
                      ? u"larger than "_s + QString::number(kMaxInput >> 20) +
                            u" MiB, too large for a formula"_s
                      : error));
            anyFailed = true;
            continue;
        }
        const DecodedText decoded = decodeUserTextDetailed(bytes);
        bytes.clear();
        if (decoded.replaced)
            fail(name + u": some bytes could not be decoded and were replaced"_s);
        const formula::PreciseResult result = formula::preciseCheck(decoded.text, entries);
        anyFound = anyFound || preciseFound(result);
        if (options.json) {
            objects.append(preciseJson(name, result));
        } else if (options.positions) {
            out << precisePositionLines(name, result);
        } else {
            const QString lines = preciseReportLines(result);
            out << (several ? prefixLines(lines, name + u": "_s) : lines);
        }
    }
    if (options.json)
        out << QString::fromUtf8(QJsonDocument(objects).toJson(QJsonDocument::Indented));
    return anyFailed ? 2 : anyFound ? 1 : 0;
}

} // namespace

int runCheckCommand(const QStringList &arguments, QIODevice &in, QIODevice &out, QIODevice &err)
{
    Writer stdOut(out);
    Writer stdErr(err);
    auto fail = [&](const QString &message) {
        stdErr << QString::fromLatin1(kProgram) + u": "_s + message + u'\n';
    };
    // A report that could not be written is no report: say so, and exit 2.
    auto finish = [&](int status) {
        if (!stdOut.flush()) {
            fail(u"cannot write the output: "_s + stdOut.errorString());
            return 2;
        }
        return status;
    };

    Options options;
    QString error;
    switch (parseOptions(arguments, &options, stdOut, &error)) {
    case ParseResult::Done:
        return finish(0);
    case ParseResult::Failed:
        fail(error);
        return 2;
    case ParseResult::Run:
        break;
    }

    if (options.replay) {
        stdOut.flush();
        return runReplayCommand(options.inputs, options.bars, options.params, options.json, in, out,
                                err);
    }

    QStringList entries;
    if (!loadList(options.list, &entries, &error)) {
        fail(error);
        return 2;
    }
    if (options.precise)
        return finish(runPrecise(options, entries, in, stdOut, fail));
    const FunctionMatcher matcher(entries);
    const LocalClock clock = [] { return QTime::currentTime(); };

    const bool several = options.inputs.size() > 1;
    bool anyFound = false;
    bool anyFailed = false;
    bool anyJson = false;
    if (options.json)
        stdOut << u"["_s;
    for (const QString &name : std::as_const(options.inputs)) {
        InputScan scan;
        switch (checkInput(name, in, matcher, options.positions || options.json, &scan, &error)) {
        case InputStatus::Ok:
            break;
        case InputStatus::ReadFailed:
            fail(name + u": "_s + error);
            anyFailed = true;
            continue;
        case InputStatus::TooLarge:
            fail(name + u": larger than "_s + QString::number(kMaxInput >> 20) +
                 u" MiB, too large for a formula"_s);
            anyFailed = true;
            continue;
        }
        if (scan.replaced)
            fail(name + u": some bytes could not be decoded and were replaced"_s);
        const CheckReport report = reportFor(entries, scan.found, clock);
        anyFound = anyFound || report.found;

        if (options.positions) {
            const QString prefix = name + u':';
            const QString hit = QString::fromUtf16(kHitPrefix);
            QString lines;
            for (const Occurrence &o : scan.occurrences) {
                lines += prefix + QString::number(o.line) + u':' + QString::number(o.column) +
                         u':' + hit + entries[o.entry] + u'\n';
                if (lines.size() > (1 << 16)) {
                    stdOut << lines;
                    lines.clear();
                }
            }
            stdOut << lines;
        } else if (options.json) {
            stdOut << (anyJson ? u",\n"_s : u"\n"_s);
            writeJsonObject(stdOut, name, report, entries, scan);
            anyJson = true;
        } else {
            const QString lines = reportLines(report);
            stdOut << (several ? prefixLines(lines, name + u": "_s) : lines);
        }
    }
    if (options.json)
        stdOut << u"\n]\n"_s;
    return finish(anyFailed ? 2 : anyFound ? 1 : 0);
}

} // namespace morvane
