#include "occurrences.h"

#include "textscan.h"

namespace morvane {

QList<Occurrence> findOccurrences(const QString &text, const FunctionMatcher &matcher)
{
    TextScan scan(matcher, true);
    scan.addUtf16(text);
    scan.finish();
    const std::vector<Occurrence> &found = scan.occurrences();
    return QList<Occurrence>(found.begin(), found.end());
}

} // namespace morvane
