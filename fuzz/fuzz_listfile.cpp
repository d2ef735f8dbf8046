// list.txt as users leave it: any bytes, any line ends, any encoding, the mark, huge lines.
#include "encoding.h"
#include "functionlist.h"
#include "textrules.h"

#include <QByteArray>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QStringList entries = morvane::parseFunctionListBytes(bytes);
    for (const QString &entry : entries) {
        // Blank lines never become entries, and line ends never stay inside one.
        if (morvane::isBlank(entry) || entry.contains(u'\r') || entry.contains(u'\n'))
            std::abort();
    }
    // What the program writes, it reads back unchanged; unless the GB18030 bytes happen to
    // be valid UTF-8 too, or start like its mark, which the reader takes for UTF-8 by design.
    const QByteArray written = morvane::serializeFunctionList(entries);
    const bool readsAsUtf8 = morvane::isValidUtf8(written) || written.startsWith("\xEF\xBB\xBF");
    if (!readsAsUtf8 && morvane::parseFunctionListBytes(written) != entries)
        std::abort();
    return 0;
}
