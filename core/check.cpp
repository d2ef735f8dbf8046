#include "check.h"

#include "functionmatcher.h"

namespace morvane {

QString hitLine(const QString &entry)
{
    return QString::fromUtf16(kHitPrefix) + entry + QStringLiteral("\r\n");
}

QList<bool> plainSearch(const QString &upperFormula, const QStringList &entries)
{
    QList<bool> found;
    found.reserve(entries.size());
    for (const QString &entry : entries)
        found.append(upperFormula.contains(entry.toUpper(), Qt::CaseSensitive));
    return found;
}

CheckReport checkFormula(const QString &formula, const QStringList &entries,
                         const LocalClock &clock)
{
    return checkFormula(formula, FunctionMatcher(entries), clock);
}

CheckReport checkFormula(const QString &formula, const FunctionMatcher &matcher,
                         const LocalClock &clock)
{
    // upper-cased inside the scan, never copied
    return reportFor(matcher.entries(), matcher.present(formula), clock);
}

CheckReport reportFor(const QStringList &entries, const QList<bool> &found, const LocalClock &clock)
{
    CheckReport report;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (found[i])
            report.text += hitLine(entries[i]);
    }
    report.found = !report.text.isEmpty();
    if (!report.found) {
        const QTime now = clock ? clock() : QTime::currentTime();
        report.text = QString::fromUtf16(now.minute() == 59 ? kNothingFoundAt59 : kNothingFound);
    }
    return report;
}

} // namespace morvane
