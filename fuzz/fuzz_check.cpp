// The one-pass matcher against the plain search it replaces, on any list and formula.
#include "check.h"
#include "encoding.h"
#include "functionmatcher.h"
#include "occurrences.h"
#include "textscan.h"

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
    const QList<bool> expected = morvane::plainSearch(upper, list);
    // upper-cased by the caller, inside the scan, and from UTF-8 bytes
    const QByteArray utf8 = formula.toUtf8();
    morvane::TextScan fromBytes(matcher, true);
    fromBytes.addUtf8(utf8);
    fromBytes.finish();
    if (matcher.present(upper) != expected || matcher.present(formula) != expected ||
        (formula.isValidUtf16() && fromBytes.found() != expected)) {
        std::fprintf(stderr, "the matcher and the plain search disagree\n");
        std::abort();
    }
    const QList<morvane::Occurrence> found = morvane::findOccurrences(formula, matcher);
    for (const morvane::Occurrence &o : found) {
        if (o.entry < 0 || o.entry >= list.size() || o.line < 1 || o.column < 1)
            std::abort();
    }
    if (formula.isValidUtf16() &&
        QList<morvane::Occurrence>(fromBytes.occurrences().begin(),
                                   fromBytes.occurrences().end()) != found)
        std::abort();
    return 0;
}
