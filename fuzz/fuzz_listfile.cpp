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
    // What the program writes, it reads back unchanged; unless its GB18030 bytes look more
    // like UTF-8 to the reader's guess (valid UTF-8, the mark, UTF-8 sequences among a few
    // stray bytes), which takes them for UTF-8 by design.
    const QByteArray written = morvane::serializeFunctionList(entries);
    const bool readsAsGb =
        morvane::decodeUserTextDetailed(written).encoding == morvane::TextEncoding::Gb18030;
    // A lone surrogate (what some invalid UTF-32 decodes to) has no bytes in any encoding.
    bool encodable = true;
    for (const QString &entry : entries)
        encodable = encodable && QStringView(entry).isValidUtf16();
    if (readsAsGb && encodable && morvane::parseFunctionListBytes(written) != entries)
        std::abort();
    return 0;
}
