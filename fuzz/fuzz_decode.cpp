// Formula files and list files are decoded by guessing: UTF-8 when the bytes say so, else GB18030.
#include "encoding.h"
#include "formulafile.h"
#include "functionlist.h"
#include "textscan.h"

#include <QBuffer>

#include <QByteArray>

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString text = morvane::decodeUserText(bytes);
    for (qsizetype from = 0; from < qMin<qsizetype>(size, 4); ++from) { // every alignment
        const QByteArrayView part = QByteArrayView(bytes).sliced(from);
        if (morvane::isValidUtf8(part) != part.isValidUtf8())
            std::abort();
    }
    if (!bytes.startsWith("\xEF\xBB\xBF") && morvane::isValidUtf8(bytes) &&
        text != QString::fromUtf8(bytes))
        std::abort();
    // Read in pieces by the scan, the file is the text decodeUserText() makes of it.
    static const morvane::FunctionMatcher matcher(morvane::builtinFunctionNames());
    QByteArray copy = bytes;
    QBuffer device(&copy);
    device.open(QIODevice::ReadOnly);
    morvane::InputScan scan;
    QString error;
    if (morvane::scanInput(device, matcher, true, qint64(1) << 30, &scan, &error) !=
            morvane::InputStatus::Ok ||
        scan.found != matcher.present(text))
        std::abort();
    // Whatever was read is saved and read back as the same text (line ends aside).
    QString lf = text;
    lf.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (lf.contains(u'\r'))
        return 0; // a lone CR is saved as is and reads back as is, but not worth the bookkeeping
    bool paired = true;
    for (qsizetype i = 0; i < lf.size() && paired; ++i) {
        if (lf[i].isHighSurrogate())
            paired = i + 1 < lf.size() && lf[++i].isLowSurrogate();
        else if (lf[i].isLowSurrogate())
            paired = false;
    }
    if (!paired)
        return 0; // a lone surrogate has no encoding in any charset
    QString back = morvane::decodeGb18030(morvane::encodeFormula(lf));
    back.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (back != lf)
        std::abort();
    return 0;
}
