#pragma once

#include "functionmatcher.h"

#include <QList>
#include <QString>

namespace morvane {

struct Occurrence
{
    qsizetype entry = 0; // index in the list
    int line = 1;        // 1-based; CR LF, CR and LF each end a line
    int column = 1;      // 1-based, in characters (code points) of the original text

    friend bool operator==(const Occurrence &, const Occurrence &) = default;
};

// Every occurrence of every entry in `text`, in order of position, then of the list.
QList<Occurrence> findOccurrences(const QString &text, const FunctionMatcher &matcher);

} // namespace morvane
