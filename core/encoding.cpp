#include "encoding.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace morvane {

namespace {
constexpr char kGb18030[] = "GB18030";

bool inRange(unsigned char b, int lo, int hi)
{
    return b >= lo && b <= hi;
}

// Length of the valid UTF-8 sequence at p (1 to 4), 0 when invalid, -1 when the bytes end
// before it does.
int utf8SequenceAt(const unsigned char *p, qsizetype left)
{
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    int length;
    int lo = 0x80, hi = 0xBF;
    if (inRange(b, 0xC2, 0xDF))
        length = 2;
    else if (inRange(b, 0xE0, 0xEF))
        length = 3, lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    else if (inRange(b, 0xF0, 0xF4))
        length = 4, lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    else
        return 0;
    for (int i = 1; i < length; ++i) {
        if (i >= left)
            return -1;
        if (!inRange(p[i], i == 1 ? lo : 0x80, i == 1 ? hi : 0xBF))
            return 0;
    }
    return length;
}
} // namespace

TextMark detectMark(QByteArrayView bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return {TextEncoding::Utf8, 3};
    if (bytes.startsWith(QByteArrayView("\xFF\xFE\0\0", 4)))
        return {TextEncoding::Utf32LE, 4};
    if (bytes.startsWith(QByteArrayView("\0\0\xFE\xFF", 4)))
        return {TextEncoding::Utf32BE, 4};
    if (bytes.startsWith("\xFF\xFE"))
        return {TextEncoding::Utf16LE, 2};
    if (bytes.startsWith("\xFE\xFF"))
        return {TextEncoding::Utf16BE, 2};
    return {};
}

void TextStatistics::add(QByteArrayView piece, bool last)
{
    {
        const QByteArray bytes = m_utf8Carry + piece.toByteArray();
        const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
        qsizetype i = 0;
        const qsizetype n = bytes.size();
        while (i < n) {
            const int length = utf8SequenceAt(p + i, n - i);
            if (length < 0 && !last)
                break;
            if (length <= 0) {
                ++m_utf8Invalid;
                ++i;
            } else {
                m_utf8Multi += length > 1;
                i += length;
            }
        }
        m_utf8Carry = bytes.sliced(i);
    }
    {
        const QByteArray bytes = m_gbCarry + piece.toByteArray();
        const auto *p = reinterpret_cast<const unsigned char *>(bytes.constData());
        qsizetype i = 0;
        const qsizetype n = bytes.size();
        while (i < n) {
            const unsigned char b = p[i];
            if (b < 0x80 || b == 0x80 || b == 0xFF) {
                ++i;
                continue;
            }
            if (n - i < (i + 1 < n && inRange(p[i + 1], 0x30, 0x39) ? 4 : 2) && !last)
                break;
            if (i + 1 >= n) {
                ++i;
                continue;
            }
            const unsigned char t = p[i + 1];
            if (inRange(t, 0x30, 0x39)) {
                const bool four =
                    i + 3 < n && inRange(p[i + 2], 0x81, 0xFE) && inRange(p[i + 3], 0x30, 0x39);
                i += four ? 4 : 1;
            } else if (inRange(t, 0x40, 0x7E) || inRange(t, 0x80, 0xFE)) {
                m_gbLetterTrail += inRange(t | 0x20, 'a', 'z');
                m_gbHigh += t >= 0x81;
                i += 2;
            } else {
                ++i;
            }
        }
        m_gbCarry = bytes.sliced(i);
    }
}

TextEncoding TextStatistics::guess() const
{
    // Twice as many good sequences as stray bytes: GBK text is never that close to UTF-8.
    if (m_utf8Invalid * 2 <= m_utf8Multi)
        return TextEncoding::Utf8;
    // GB18030 would swallow the letter after a stray byte: only text with some GBK
    // characters made of two high bytes justifies that.
    if (m_gbLetterTrail > 0 && (m_utf8Multi >= m_utf8Invalid || m_gbHigh == 0))
        return TextEncoding::Utf8;
    return TextEncoding::Gb18030;
}

bool isValidUtf8(const QByteArray &bytes)
{
    return QByteArrayView(bytes).isValidUtf8();
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

DecodedText decodeUserTextDetailed(QByteArrayView bytes)
{
    const TextMark mark = detectMark(bytes);
    const QByteArrayView body = bytes.sliced(mark.markSize);
    DecodedText result;
    result.encoding = mark.encoding;
    if (mark.markSize == 0 && !body.isValidUtf8()) {
        TextStatistics statistics;
        statistics.add(body, true);
        result.encoding = statistics.guess();
    }
    QStringDecoder decoder;
    const auto flag = QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom;
    switch (result.encoding) {
    case TextEncoding::Utf8:
        decoder = QStringDecoder(QStringDecoder::Utf8, flag);
        break;
    case TextEncoding::Utf16LE:
        decoder = QStringDecoder(QStringDecoder::Utf16LE, flag);
        break;
    case TextEncoding::Utf16BE:
        decoder = QStringDecoder(QStringDecoder::Utf16BE, flag);
        break;
    case TextEncoding::Utf32LE:
        decoder = QStringDecoder(QStringDecoder::Utf32LE, flag);
        break;
    case TextEncoding::Utf32BE:
        decoder = QStringDecoder(QStringDecoder::Utf32BE, flag);
        break;
    case TextEncoding::Gb18030:
        decoder = QStringDecoder(kGb18030, QStringDecoder::Flag::Stateless);
        if (!decoder.isValid()) {
            result.text = QString::fromLocal8Bit(body);
            return result;
        }
        break;
    }
    result.text = decoder.decode(body);
    // The GB18030 decoder does not always flag its errors; what it could not read shows as
    // U+FFFD, which hand-written GBK never holds.
    result.replaced = decoder.hasError() || (result.encoding == TextEncoding::Gb18030 &&
                                             result.text.contains(QChar::ReplacementCharacter));
    return result;
}

QString decodeUserText(const QByteArray &bytes)
{
    return decodeUserTextDetailed(bytes).text;
}

} // namespace morvane
