#pragma once

#include <QString>
#include <QStringList>
#include <QTime>

#include <functional>

namespace morvane {

inline constexpr char16_t kHitPrefix[] = u" 发现未来函数 ";
inline constexpr char16_t kNothingFound[] = u" 没有发现未来函数。";
inline constexpr char16_t kNothingFoundAt59[] = u" 没有发现未来函数吖！";

// What a check found, in the check's own words; how it is shown is the caller's choice.
struct CheckReport
{
    QString text; // hit lines each ended by CR LF, or one summary line without a line end
    bool found = false;
};

// Called once, after the search, and only when nothing was found.
using LocalClock = std::function<QTime()>;

QString hitLine(const QString &entry);

// Each entry is looked for anywhere in the upper-cased formula, itself upper-cased, so
// "zig" in list.txt still finds ZIG; the report shows the entry as loaded.
CheckReport checkFormula(const QString &formula, const QStringList &entries,
                         const LocalClock &clock);

class FunctionMatcher;

// The same, with the list compiled once for many formulas.
CheckReport checkFormula(const QString &formula, const FunctionMatcher &matcher,
                         const LocalClock &clock);

// The report for flags found elsewhere (one per entry, as present() gives them).
CheckReport reportFor(const QStringList &entries, const QList<bool> &found,
                      const LocalClock &clock);

// The reference search the fast matcher must agree with: one flag per entry.
QList<bool> plainSearch(const QString &upperFormula, const QStringList &entries);

} // namespace morvane
