#include "preciseoutput.h"

#include "check.h"

#include <algorithm>
#include <vector>

using namespace Qt::StringLiterals;

namespace morvane {

QString preciseReportLines(const formula::PreciseResult &result)
{
    if (result.found.empty())
        return QString::fromUtf16(kNothingFound) + u'\n';
    QString lines;
    for (const formula::FoundName &f : result.found) {
        lines += QString::fromUtf16(kHitPrefix) + f.name + u"  "_s + formula::classWord(f.cls) +
                 u"  "_s + f.reason + u'\n';
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

} // namespace morvane
