#include "encoding.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace morvane {

namespace {
constexpr char kGb18030[] = "GB18030";
const QByteArray kUtf8Bom("\xEF\xBB\xBF", 3);
} // namespace

bool isValidUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    Q_UNUSED(text);
    return !decoder.hasError();
}

QString decodeGb18030(const QByteArray &bytes)
{
    QStringDecoder decoder(kGb18030, QStringDecoder::Flag::Stateless);
    if (!decoder.isValid()) // Qt built without ICU: keep the text readable at least
        return QString::fromLocal8Bit(bytes);
    return decoder.decode(bytes);
}

QByteArray encodeGb18030(const QString &text)
{
    QStringEncoder encoder(kGb18030, QStringEncoder::Flag::Stateless);
    if (!encoder.isValid())
        return text.toLocal8Bit();
    return encoder.encode(text);
}

QString decodeUserText(const QByteArray &bytes)
{
    if (bytes.startsWith(kUtf8Bom))
        return QString::fromUtf8(bytes.constData() + kUtf8Bom.size(),
                                 bytes.size() - kUtf8Bom.size());
    if (isValidUtf8(bytes))
        return QString::fromUtf8(bytes);
    return decodeGb18030(bytes);
}

} // namespace morvane
