// The one-pass matcher against the plain search it replaces, on any list and formula.
#include "check.h"
#include "encoding.h"
#include "functionmatcher.h"
#include "occurrences.h"

#include <QByteArray>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // list entries separated by \n, then \0, then the formula
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype cut = bytes.indexOf('\0');
    const QString listText = morvane::decodeUserText(cut < 0 ? QByteArray() : bytes.left(cut));
    const QString formula = morvane::decodeUserText(cut < 0 ? bytes : bytes.mid(cut + 1));
    QStringList list = listText.split(u'\n');
    if (list.size() > 64)
        list.resize(64);

    const QString upper = formula.toUpper();
    const morvane::FunctionMatcher matcher(list);
    if (matcher.present(upper) != morvane::plainSearch(upper, list)) {
        std::fprintf(stderr, "the matcher and the plain search disagree\n");
        std::abort();
    }
    for (const morvane::Occurrence &o : morvane::findOccurrences(formula, matcher)) {
        if (o.entry < 0 || o.entry >= list.size() || o.line < 1 || o.column < 1)
            std::abort();
    }
    return 0;
}
