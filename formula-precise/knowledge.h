#pragma once

#include <QLatin1StringView>
#include <QString>
#include <QStringView>

#include <vector>

namespace morvane::formula {

enum class NameClass
{
    Future,   // reads bars after the current one
    Drift,    // past values change as new data arrives
    LastBar,  // defined from the last bar, so history redraws with each new bar (a warning)
    Listed,   // in list.txt, unknown to the knowledge base
    Unsure,   // REF or REFV with an offset whose sign cannot be known (a warning)
    Unchecked // a plug-in or a function Morvane does not know: nothing here sees inside it
};

struct KnownName
{
    QString name; // upper case; "#WEEK" for a period suffix
    NameClass cls = NameClass::Listed;
    QString reason;                  // one sentence, in Chinese
    bool negativeOffsetOnly = false; // REF, REFV: only with a negative constant offset
    QString advice;                  // what to do about it, in Chinese
};

// Every name of knowledge.tsv, in its order.
const std::vector<KnownName> &knownNames();

// The entry for a name (any case; "#WEEK" for a suffix), or null.
const KnownName *knownName(QStringView name);

// future, drift, lastbar, listed, unsure, unchecked
QLatin1StringView classWord(NameClass cls);

// The reason given for a list.txt entry the knowledge base does not know, and what to do.
QString listedReason();
QString listedAdvice();

} // namespace morvane::formula
