#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace morvane {

enum class TextEncoding
{
    Utf8,
    Utf16LE,
    Utf16BE,
    Utf32LE,
    Utf32BE,
    Gb18030
};

// A byte-order mark at the start: its encoding and length (0 and Utf8 without one).
struct TextMark
{
    TextEncoding encoding = TextEncoding::Utf8;
    qsizetype markSize = 0;
};
TextMark detectMark(QByteArrayView bytes);

// Counts, over a text without a mark that is not valid UTF-8, what each reading would make
// of it; fed in pieces, in order.
class TextStatistics
{
public:
    void add(QByteArrayView bytes, bool last);
    // UTF-8 when stray bytes are few beside UTF-8 sequences, or when GB18030 would pair them
    // with ASCII letters and nothing says the text is GBK; otherwise GB18030.
    TextEncoding guess() const;

private:
    QByteArray m_utf8Carry;
    QByteArray m_gbCarry;
    qint64 m_utf8Invalid = 0;   // bytes in no valid sequence
    qint64 m_utf8Multi = 0;     // valid sequences beyond ASCII
    qint64 m_gbLetterTrail = 0; // pairs whose second byte is an ASCII letter
    qint64 m_gbHigh = 0;        // pairs of two bytes from 0x81 up: what GBK text is made of
};

struct DecodedText
{
    QString text;
    TextEncoding encoding = TextEncoding::Utf8;
    bool replaced = false; // some bytes could not be decoded and became U+FFFD
};

// Files users edit by hand: a mark (UTF-8, UTF-16 or UTF-32) decides; otherwise UTF-8 when
// the bytes are UTF-8, else what TextStatistics guesses. GB18030 reads every GBK file
// exactly as GBK does.
DecodedText decodeUserTextDetailed(QByteArrayView bytes);
QString decodeUserText(const QByteArray &bytes);

// Raw GB18030, no mark handling: the notice body is taken whole.
QString decodeGb18030(const QByteArray &bytes);
// Whether Qt reads GB18030 itself (with ICU); without it, GBK through the system's code page.
bool hasGb18030();
// GBK pairs through the system's code page, every other byte above ASCII as U+FFFD;
// `replaced` set when anything was replaced.
QString decodeGbkPairs(QByteArrayView bytes, bool *replaced);

// Everything the program writes; identical to GBK for every GBK character.
QByteArray encodeGb18030(const QString &text);

// The same answer as QByteArrayView::isValidUtf8(), faster on text that is not all ASCII.
bool isValidUtf8(QByteArrayView bytes);

} // namespace morvane
