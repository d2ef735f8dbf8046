// The notice body as any server, or anyone on the way, may send it; with any captions.
#include "noticedecision.h"

#include <QByteArray>
#include <QList>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // body \0 running version \0 current caption \0 current URL \0 default caption \0 default URL
    const QList<QByteArray> parts =
        QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0');
    auto part = [&](qsizetype i) {
        return i < parts.size() ? QString::fromUtf8(parts[i]) : QString();
    };
    const auto labels = morvane::decideNotice({true, parts.value(0)}, part(1), part(2), part(3),
                                              {part(4), part(5)});
    if (!labels || labels->messageVisible == labels->message.isEmpty())
        std::abort();
    if (morvane::decideNotice({false, parts.value(0)}, part(1), part(2), part(3),
                              {part(4), part(5)}))
        std::abort();
    return 0;
}
