#include "occurrences.h"

#include <algorithm>
#include <vector>

namespace morvane {

namespace {

// Where each code unit of the upper-cased text came from in the original: upper-casing
// may lengthen a character (ß becomes SS).
std::vector<qsizetype> upperToOriginal(const QString &text, QString *upper)
{
    *upper = text.toUpper();
    std::vector<qsizetype> map;
    if (upper->size() == text.size())
        return map; // one to one
    map.reserve(size_t(upper->size()));
    QString rebuilt;
    rebuilt.reserve(upper->size());
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype width = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString piece = text.mid(i, width).toUpper();
        rebuilt += piece;
        map.insert(map.end(), size_t(piece.size()), i);
        i += width;
    }
    if (rebuilt != *upper) // not expected; keep positions valid all the same
        *upper = rebuilt;
    return map;
}

} // namespace

QList<Occurrence> findOccurrences(const QString &text, const FunctionMatcher &matcher)
{
    QString upper;
    const std::vector<qsizetype> map = upperToOriginal(text, &upper);
    auto original = [&](qsizetype i) { return map.empty() ? i : map[size_t(i)]; };

    struct Hit
    {
        qsizetype start;
        qsizetype entry;
    };
    std::vector<Hit> hits;
    matcher.forEachMatch(upper, [&](qsizetype entry, qsizetype end) {
        hits.push_back({original(end - matcher.patternLength(entry)), entry});
    });
    std::sort(hits.begin(), hits.end(), [](const Hit &a, const Hit &b) {
        return a.start != b.start ? a.start < b.start : a.entry < b.entry;
    });

    QList<Occurrence> result;
    result.reserve(qsizetype(hits.size()));
    int line = 1;
    int column = 1;
    qsizetype pos = 0;
    for (const Hit &hit : hits) {
        for (; pos < hit.start; ++pos) {
            const QChar c = text[pos];
            if (c == u'\n' || (c == u'\r' && (pos + 1 >= text.size() || text[pos + 1] != u'\n'))) {
                ++line;
                column = 1;
            } else if (c != u'\r' && !c.isLowSurrogate()) {
                ++column;
            }
        }
        result.append({hit.entry, line, column});
    }
    return result;
}

} // namespace morvane
