#include "plainmode.h"

#include "check.h"
#include "functionmatcher.h"
#include "occurrences.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTime>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

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
} // namespace

int runPlain(const Options &options, const QStringList &entries, QIODevice &in, Writer &stdOut,
             const Fail &fail)
{
    QString error;
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
            fail(name + u": "_s + tooLargeText());
            anyFailed = true;
            continue;
        }
        if (scan.replaced)
            fail(name + u": 有些字节无法识别，已替换为 �（请检查编码：UTF-8 或 GBK）"_s);
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
    return anyFailed ? 2 : anyFound ? 1 : 0;
}

} // namespace morvane
