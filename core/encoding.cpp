#include "encoding.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define MORVANE_UTF8_AVX2 1
#endif

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

#ifdef MORVANE_UTF8_AVX2
namespace {

// Keiser and Lemire's lookup method ("Validating UTF-8 in less than one instruction per
// byte"): each byte and the one before it select error bits from three nibble tables; a
// continuation after a continuation is right only where a 3- or 4-byte lead stands two or
// three bytes back. 32 bytes a step, where Qt goes a character at a time.
enum : unsigned char
{
    kTooShort = 1 << 0,  // a lead not followed by a continuation
    kTooLong = 1 << 1,   // ASCII followed by a continuation
    kOverlong3 = 1 << 2, // E0 80..9F
    kTooLarge = 1 << 3,  // F4 90..BF, F5.. 90..BF
    kSurrogate = 1 << 4, // ED A0..BF
    kOverlong2 = 1 << 5, // C0, C1
    kBit6 = 1 << 6,      // F0 80..8F (overlong), F5.. 80..8F (too large)
    kTwoConts = 1 << 7,
    kCarry = kTooShort | kTooLong | kTwoConts,
};

alignas(16) constexpr unsigned char kPrevHigh[16] = {kTooLong,
                                                     kTooLong,
                                                     kTooLong,
                                                     kTooLong,
                                                     kTooLong,
                                                     kTooLong,
                                                     kTooLong,
                                                     kTooLong,
                                                     kTwoConts,
                                                     kTwoConts,
                                                     kTwoConts,
                                                     kTwoConts,
                                                     kTooShort | kOverlong2,
                                                     kTooShort,
                                                     kTooShort | kOverlong3 | kSurrogate,
                                                     kTooShort | kTooLarge | kBit6};
alignas(16) constexpr unsigned char kPrevLow[16] = {kCarry | kOverlong3 | kOverlong2 | kBit6,
                                                    kCarry | kOverlong2,
                                                    kCarry,
                                                    kCarry,
                                                    kCarry | kTooLarge,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6 | kSurrogate,
                                                    kCarry | kTooLarge | kBit6,
                                                    kCarry | kTooLarge | kBit6};
alignas(16) constexpr unsigned char kHigh[16] = {
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kBit6,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort};
// The largest byte each of the last three places may hold with its sequence complete.
alignas(32) constexpr unsigned char kLastMax[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0xDF, 0xBF};

__attribute__((target("avx2"))) __m256i table16(const unsigned char *t)
{
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(t)));
}

struct Utf8State
{
    __m256i prev, error, incomplete; // incomplete: the last block ends inside a sequence
};

__attribute__((target("avx2"))) inline void checkBlock(Utf8State &s, __m256i in)
{
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i across = _mm256_permute2x128_si256(s.prev, in, 0x21);
    const __m256i prev1 = _mm256_alignr_epi8(in, across, 15);
    const __m256i prev2 = _mm256_alignr_epi8(in, across, 14);
    const __m256i prev3 = _mm256_alignr_epi8(in, across, 13);
    const __m256i bits = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(table16(kPrevHigh),
                                             _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)),
                         _mm256_shuffle_epi8(table16(kPrevLow), _mm256_and_si256(prev1, nibble))),
        _mm256_shuffle_epi8(table16(kHigh), _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble)));
    const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(0x60));  // E0.. two back
    const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(0x70)); // F0.. three back
    const __m256i must =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    s.error = _mm256_or_si256(s.error, _mm256_xor_si256(must, bits));
    s.incomplete =
        _mm256_subs_epu8(in, _mm256_load_si256(reinterpret_cast<const __m256i *>(kLastMax)));
    s.prev = in;
}

__attribute__((target("avx2"))) bool validUtf8Avx2(const unsigned char *p, size_t n)
{
    Utf8State s{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    size_t at = 0;
    // 64 bytes a step: mixed text rarely has 64 ASCII bytes in a row, so the test for them
    // is nearly always right, where one per 32 bytes would often guess wrong.
    for (; n - at >= 64; at += 64) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + at));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + at + 32));
        if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
            s.error = _mm256_or_si256(s.error, s.incomplete);
            s.incomplete = _mm256_setzero_si256();
            s.prev = b;
            continue;
        }
        checkBlock(s, a);
        checkBlock(s, b);
    }
    alignas(32) unsigned char tail[64] = {}; // ASCII after the end: a cut sequence shows
    if (n > at)
        std::memcpy(tail, p + at, n - at);
    for (size_t k = 0; k < n - at; k += 32)
        checkBlock(s, _mm256_load_si256(reinterpret_cast<const __m256i *>(tail + k)));
    s.error = _mm256_or_si256(s.error, s.incomplete);
    return _mm256_testz_si256(s.error, s.error) != 0;
}

bool hasAvx2()
{
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

} // namespace
#endif

bool isValidUtf8(QByteArrayView bytes)
{
#ifdef MORVANE_UTF8_AVX2
    if (hasAvx2())
        return validUtf8Avx2(reinterpret_cast<const unsigned char *>(bytes.data()),
                             size_t(bytes.size()));
#endif
    return bytes.isValidUtf8();
}

bool hasGb18030()
{
    static const bool has = QStringDecoder(kGb18030).isValid();
    return has;
}

// Qt without ICU (the Windows build) has no GB18030: the system's code page reads the pairs
// (936, GBK, on a Chinese Windows). A byte that is no GBK pair becomes U+FFFD on its own, as
// GB18030 makes it, rather than taking the line end after it with it.
QString decodeGbkPairs(QByteArrayView bytes, bool *replaced)
{
    QString out;
    qsizetype run = 0;
    auto flush = [&](qsizetype end) {
        if (end == run)
            return;
        const QByteArrayView piece = bytes.sliced(run, end - run);
        const QString text = QString::fromLocal8Bit(piece);
        // A pair the code page has no character for does not encode back.
        if (QByteArrayView(text.toLocal8Bit()) != piece)
            *replaced = true;
        out += text;
    };
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0x81 && c <= 0xFE && i + 1 < n) {
            const auto t = static_cast<unsigned char>(bytes[i + 1]);
            if ((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFE)) {
                i += 2;
                continue;
            }
        }
        flush(i);
        out += QChar::ReplacementCharacter;
        *replaced = true;
        run = ++i;
    }
    flush(n);
    return out;
}

QString decodeGb18030(const QByteArray &bytes)
{
    if (!hasGb18030()) {
        bool replaced = false;
        return decodeGbkPairs(bytes, &replaced);
    }
    QStringDecoder decoder(kGb18030, QStringDecoder::Flag::Stateless);
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
    if (mark.markSize == 0 && !isValidUtf8(body)) {
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
        if (!hasGb18030()) {
            result.text = decodeGbkPairs(body, &result.replaced);
            return result;
        }
        decoder = QStringDecoder(kGb18030, QStringDecoder::Flag::Stateless);
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
