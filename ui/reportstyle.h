#pragma once

#include "skinwidgets.h"

#include <QColor>
#include <QString>

namespace morvane {

// What a line of the window's report says about the formula.
enum class ReportLineKind
{
    Future,     // reads later bars
    Drift,      // past values change as new data arrives
    Listed,     // a list.txt entry the knowledge base does not know
    LastBar,    // defined from the last bar: a warning
    Unsure,     // an offset whose sign cannot be known
    Unchecked,  // a plug-in or unknown function: nothing here can see inside it
    Syntax,     // the formula does not parse there
    NotCounted, // the plain search would have named it, but it does not count
    Clean,      // nothing counts
    Empty,      // there is no formula
    Incomplete  // nothing counts, but something could not be checked
};

// The words and colour of each kind of report line: the one table the window reads them from.
struct ReportStyle
{
    ReportLineKind kind;
    const char16_t *headline; // the words before the name; the hit line's own for counted names
    const char16_t *tag;      // the short meaning on the detail line
    QColor colour;
};

namespace skin {
// Far apart at 12 px: an orange for drift, a violet for last-bar warnings (CIE76 ΔE ≈ 120,
// where the former dark yellow stood at ΔE ≈ 23 from the orange).
inline const QColor reportDrift{224, 112, 0};
inline const QColor reportWarning{128, 0, 192};
inline const QColor reportSyntax{0, 80, 200};
inline const QColor reportGrey{128, 128, 128};
// Neither the green of a clean check nor a finding's red: a dark gold that reads as caution.
inline const QColor reportIncomplete{168, 120, 0};
} // namespace skin

const ReportStyle &reportStyle(ReportLineKind kind);

} // namespace morvane
