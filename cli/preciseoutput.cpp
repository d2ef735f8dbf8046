#include "preciseoutput.h"

#include "check.h"
#include "encoding.h"
#include "explain.h"
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

namespace {

// The reason, and for REF the offsets worked out: "…之后的数据。（偏移 = -5）".
QString reasonWithOffsets(const formula::FoundName &f)
{
    const QString offsets = formula::offsetsOf(f);
    return offsets.isEmpty() ? f.reason : f.reason + u"（"_s + offsets + u"）"_s;
}

} // namespace

QString preciseReportLines(const formula::PreciseResult &result)
{
    QString lines;
    switch (formula::verdictOf(result)) {
    case formula::Verdict::Clean:
        if (result.found.empty())
            lines = QString::fromUtf16(kNothingFound) + u'\n';
        break;
    case formula::Verdict::Incomplete:
        if (result.found.empty())
            lines = QString::fromUtf16(formula::kIncompleteHeadline) +
                    formula::incompleteReasons(result) + u'\n';
        break;
    case formula::Verdict::Found:
        break;
    }
    for (const formula::FoundName &f : result.found) {
        lines += QString::fromUtf16(kHitPrefix) + f.name + u"  "_s + classWordChinese(f.cls) +
                 u"  "_s + reasonWithOffsets(f) + u"  "_s + formula::affectsWords(f) + u'\n';
    }
    // What cannot be settled here: " 偏移可能为负 REF  …", " 未检查 TDXDLL1  …".
    for (const formula::FoundName &d : result.doubts) {
        lines +=
            u' ' + classWordChinese(d.cls) + u' ' + d.name + u"  "_s + reasonWithOffsets(d) + u'\n';
    }
    for (const formula::SyntaxNote &n : result.notes) {
        lines += QString::fromUtf16(formula::kSyntaxHeadline) +
                 formula::placeWords(n.pos.line, n.pos.column) + u"："_s + formula::syntaxWords(n) +
                 u'\n';
    }
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
        QString what;
    };
    std::vector<Place> places;
    const QString hit = QString::fromUtf16(kHitPrefix);
    for (const formula::FoundName &f : result.found) {
        for (const formula::NameOccurrence &o : f.occurrences)
            places.push_back({o.offset, o.line, o.column, hit + f.name});
    }
    // What could not be checked stands among them, so that no place is left out.
    for (const formula::FoundName &d : result.doubts) {
        const QString what = u' ' + classWordChinese(d.cls) + u' ' + d.name;
        for (const formula::NameOccurrence &o : d.occurrences)
            places.push_back({o.offset, o.line, o.column, what});
    }
    for (const formula::SyntaxNote &n : result.notes) {
        places.push_back({n.pos.offset, n.pos.line, n.pos.column,
                          QString::fromUtf16(formula::kSyntaxHeadline) + formula::syntaxWords(n)});
    }
    std::stable_sort(places.begin(), places.end(),
                     [](const Place &a, const Place &b) { return a.offset < b.offset; });
    QString lines;
    for (const Place &p : places) {
        lines += file + u':' + QString::number(p.line) + u':' + QString::number(p.column) + u':' +
                 p.what + u'\n';
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
    bool anyIncomplete = false;
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
        const formula::PreciseResult result = formula::preciseCheck(decoded.text, entries);
        anyFound = anyFound || preciseFound(result);
        anyIncomplete = anyIncomplete || formula::verdictOf(result) == formula::Verdict::Incomplete;
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
    return anyFailed ? 2 : anyFound ? 1 : anyIncomplete ? 3 : 0;
}
} // namespace morvane
