#include "preciseoutput.h"

#include "check.h"
#include "encoding.h"
#include "explain.h"
#include "functions.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <optional>
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

namespace {

// Writes JSON laid out as QJsonDocument::Indented lays it out, as it goes: a formula with a
// hundred thousand occurrences made a tree of QJsonObjects ten times the size of its text.
// The caller gives the keys of each object in sorted order, as QJsonObject keeps them.
class JsonStream
{
public:
    explicit JsonStream(Writer &out) : m_out(out) {}
    ~JsonStream() { flush(); }
    JsonStream(const JsonStream &) = delete;
    JsonStream &operator=(const JsonStream &) = delete;

    void beginObject() { open(u'{'); }
    void endObject() { close(u'}'); }
    void beginArray() { open(u'['); }
    void endArray() { close(u']'); }
    void key(QStringView name)
    {
        item();
        m_text += u'"';
        m_text += name;
        m_text += u"\": "_s;
        m_afterKey = true;
    }
    void string(const QString &text) { scalar(jsonString(text)); }
    void integer(qint64 n) { scalar(QString::number(n)); }
    void boolean(bool b) { scalar(b ? u"true"_s : u"false"_s); }
    void number(double d)
    {
        // QJsonValue keeps a whole double below 2^53 as an integer
        if (!std::isfinite(d))
            scalar(u"null"_s);
        else if (d == std::trunc(d) && std::abs(d) < 9007199254740992.0)
            scalar(QString::number(static_cast<qint64>(d)));
        else
            scalar(QString::number(d, 'g', QLocale::FloatingPointShortest));
    }
    void null() { scalar(u"null"_s); }
    void flush()
    {
        if (!m_text.isEmpty())
            m_out << m_text;
        m_text.clear();
    }

private:
    // A JSON string exactly as QJsonDocument writes it.
    static QString jsonString(const QString &text)
    {
        const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
        return QString::fromUtf8(array.sliced(1, array.size() - 2));
    }

    // Before a value or a key: the comma after the one before, the line and indent.
    void item()
    {
        if (m_afterKey) {
            m_afterKey = false;
            return;
        }
        if (!m_first.empty()) {
            m_text += m_first.back() ? u"\n"_s : u",\n"_s;
            m_first.back() = false;
        }
        m_text += QString(4 * static_cast<qsizetype>(m_first.size()), u' ');
        if (m_text.size() > (1 << 16))
            flush();
    }
    void scalar(const QString &text)
    {
        item();
        m_text += text;
    }
    void open(QChar bracket)
    {
        item();
        m_text += bracket;
        m_first.push_back(true);
    }
    void close(QChar bracket)
    {
        m_first.pop_back();
        m_text += u'\n' + QString(4 * static_cast<qsizetype>(m_first.size()), u' ') + bracket;
        if (m_first.empty())
            m_text += u'\n';
    }

    Writer &m_out;
    QString m_text;
    std::vector<bool> m_first; // per open bracket: nothing written in it yet
    bool m_afterKey = false;
};

void streamNames(JsonStream &json, const std::vector<formula::FoundName> &names)
{
    json.beginArray();
    for (const formula::FoundName &f : names) {
        json.beginObject();
        json.key(u"advice");
        json.string(f.advice);
        if (f.doubt == formula::DoubtWhy::None) {
            json.key(u"affects");
            json.beginArray();
            for (const formula::AffectedOutput &a : f.affects) {
                json.beginObject();
                json.key(u"drawing");
                json.boolean(a.drawing);
                json.key(u"line");
                json.integer(a.line);
                json.key(u"name");
                json.string(a.name);
                json.key(u"signal");
                json.boolean(a.signal);
                json.endObject();
            }
            json.endArray();
        }
        json.key(u"class");
        json.string(QString(formula::classWord(f.cls)));
        json.key(u"name");
        json.string(f.name);
        json.key(u"occurrences");
        json.beginArray();
        for (const formula::NameOccurrence &o : f.occurrences) {
            json.beginObject();
            json.key(u"column");
            json.integer(o.column);
            json.key(u"line");
            json.integer(o.line);
            if (o.hasOffset()) {
                json.key(u"offset");
                json.beginObject();
                json.key(u"high");
                json.number(o.offsetHigh);
                json.key(u"low");
                json.number(o.offsetLow);
                json.endObject();
            }
            json.endObject();
        }
        json.endArray();
        json.key(u"reason");
        json.string(f.reason);
        if (f.doubt != formula::DoubtWhy::None) {
            json.key(u"why");
            json.string(QString(formula::doubtWord(f.doubt)));
        }
        json.endObject();
    }
    json.endArray();
}

void streamPreciseJson(JsonStream &json, const QString &file, const formula::PreciseResult &result)
{
    json.beginObject();
    if (!result.doubts.empty()) {
        json.key(u"doubts");
        streamNames(json, result.doubts);
    }
    json.key(u"file");
    json.string(file);
    json.key(u"found");
    streamNames(json, result.found);
    json.key(u"ignored");
    json.beginArray();
    for (const formula::IgnoredName &g : result.ignored) {
        json.beginObject();
        json.key(u"column");
        json.integer(g.column);
        json.key(u"line");
        json.integer(g.line);
        json.key(u"name");
        json.string(g.name);
        json.key(u"why");
        json.string(QString(formula::whyWord(g.why)));
        json.endObject();
    }
    json.endArray();
    if (result.ignoredOmitted > 0) {
        json.key(u"ignoredOmitted");
        json.integer(result.ignoredOmitted);
    }
    json.key(u"notes");
    json.beginArray();
    for (const formula::SyntaxNote &n : result.notes) {
        json.beginObject();
        json.key(u"column");
        json.integer(n.pos.column);
        json.key(u"line");
        json.integer(n.pos.line);
        json.key(u"message");
        json.string(n.message);
        json.endObject();
    }
    json.endArray();
    json.key(u"verdict");
    json.string(QString(formula::verdictWord(formula::verdictOf(result))));
    json.endObject();
}

} // namespace

QString preciseJsonText(const std::vector<std::pair<QString, formula::PreciseResult>> &results)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        Writer out(buffer);
        JsonStream json(out);
        json.beginArray();
        for (const auto &[file, result] : results)
            streamPreciseJson(json, file, result);
        json.endArray();
    }
    return QString::fromUtf8(buffer.data());
}

// --precise: each input read whole and analysed as a program.
int runPrecise(const Options &options, const QStringList &entries, QIODevice &in, Writer &out,
               const Fail &fail)
{
    const bool several = options.inputs.size() > 1;
    bool anyFound = false;
    bool anyIncomplete = false;
    bool anyFailed = false;
    std::optional<JsonStream> json;
    if (options.json) {
        json.emplace(out);
        json->beginArray();
    }
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
        if (json) {
            streamPreciseJson(*json, name, result);
        } else if (options.positions) {
            out << precisePositionLines(name, result);
        } else {
            const QString lines = preciseReportLines(result);
            out << (several ? prefixLines(lines, name + u": "_s) : lines);
        }
    }
    if (json)
        json->endArray();
    return anyFailed ? 2 : anyFound ? 1 : anyIncomplete ? 3 : 0;
}
} // namespace morvane
