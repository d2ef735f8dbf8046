#include "preciseoutput.h"

#include "check.h"
#include "encoding.h"
#include "functions.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace morvane {

QString classWordChinese(formula::NameClass cls)
{
    switch (cls) {
    case formula::NameClass::Future:
        return u"未来"_s;
    case formula::NameClass::Drift:
        return u"漂移"_s;
    case formula::NameClass::LastBar:
        return u"末根提示"_s;
    case formula::NameClass::Unsure:
        return u"偏移可能为负"_s;
    case formula::NameClass::Unchecked:
        return u"未检查"_s;
    case formula::NameClass::Listed:
        break;
    }
    return u"列表"_s;
}

QString preciseReportLines(const formula::PreciseResult &result)
{
    QString lines;
    if (result.found.empty())
        lines = QString::fromUtf16(kNothingFound) + u'\n';
    for (const formula::FoundName &f : result.found) {
        lines += QString::fromUtf16(kHitPrefix) + f.name + u"  "_s + classWordChinese(f.cls) +
                 u"  "_s + f.reason + u'\n';
    }
    // What cannot be settled here: " 偏移可能为负 REF  …", " 未检查 TDXDLL1  …".
    for (const formula::FoundName &d : result.doubts)
        lines += u' ' + classWordChinese(d.cls) + u' ' + d.name + u"  "_s + d.reason + u'\n';
    return lines;
}

QString precisePositionLines(const QString &file, const formula::PreciseResult &result)
{
    // Every place in text order, as a compiler lists its messages.
    struct Place
    {
        qsizetype offset;
        int line;
        int column;
        const QString *name;
    };
    std::vector<Place> places;
    for (const formula::FoundName &f : result.found) {
        for (const formula::NameOccurrence &o : f.occurrences)
            places.push_back({o.offset, o.line, o.column, &f.name});
    }
    std::stable_sort(places.begin(), places.end(),
                     [](const Place &a, const Place &b) { return a.offset < b.offset; });
    QString lines;
    const QString hit = QString::fromUtf16(kHitPrefix);
    for (const Place &p : places) {
        lines += file + u':' + QString::number(p.line) + u':' + QString::number(p.column) + u':' +
                 hit + *p.name + u'\n';
    }
    return lines;
}

QJsonObject preciseJson(const QString &file, const formula::PreciseResult &result)
{
    QJsonObject object = formula::toJson(result);
    object.insert(u"file"_s, file);
    return object;
}

// --precise: each input read whole and analysed as a program.
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
            fail(name + u": "_s + (status == InputStatus::TooLarge ? tooLargeText() : error));
            anyFailed = true;
            continue;
        }
        const DecodedText decoded = decodeUserTextDetailed(bytes);
        bytes.clear();
        if (decoded.replaced)
            fail(name + u": 有些字节无法识别，已替换为 �（请检查编码：UTF-8 或 GBK）"_s);
        const formula::PreciseResult result =
            formula::preciseCheck(decoded.text, entries);
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
} // namespace morvane
