#pragma once

#include <QString>
#include <QStringView>

namespace morvane {

// Only U+0020 counts: tabs and line breaks are part of the text.
inline QStringView trimSpaces(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin] == u' ')
        ++begin;
    while (end > begin && text[end - 1] == u' ')
        --end;
    return text.sliced(begin, end - begin);
}

inline bool isBlank(QStringView text)
{
    return trimSpaces(text).isEmpty();
}

} // namespace morvane
