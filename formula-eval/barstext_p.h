#pragma once

// What the bars readers share: dates, text lines, decoding and the sanity of a bar.

#include "bars.h"

#include <QByteArrayView>
#include <QDate>
#include <QString>
#include <QStringDecoder>
#include <QStringView>

namespace morvane::formula::detail {

// YYYY-MM-DD, YYYY/MM/DD or YYYYMMDD; a null date otherwise.
QDate parseDate(QStringView s);
QDate parseDate(QByteArrayView s);

// Longest date or number field a row may hold, in bytes: a longer one is refused before it
// is read, so a field of megabytes costs no more than its scan.
inline constexpr qsizetype kMaxField = 64;
// Longest line read as text (titles, headers, footers).
inline constexpr qsizetype kMaxTextLine = 64 * 1024;

// A decimal number straight from the bytes ("+1.5", "-2", ".5", "1e5"); false unless the
// whole field is one finite number.
bool parseNumber(QByteArrayView s, double *value);

// Spaces, tabs, vertical tabs and form feeds off both ends.
QByteArrayView trimmed(QByteArrayView s);

// Only bytes below 0x80 and no NUL: such a line reads the same in every codec.
bool plainAscii(QByteArrayView line);

// The place among date, open, high, low, close, volume, amount a header name stands for
// (English or Chinese, as CSV files and the export write them); -1 for any other name.
int namedColumn(QStringView name);

// The 0-based place among open, high, low, close, volume, amount of the first value a bar
// may not have (a price not above zero, low above high, open or close outside low..high,
// a negative volume or amount); -1 when the bar is sound.
int badBarValue(double open, double high, double low, double close, double volume, double amount);

void appendBar(Bars &b, const QDate &date, double open, double high, double low, double close,
               double volume, double amount);

enum class TextCodec
{
    Utf8,
    Gb18030,
};

// UTF-8 when the bytes are valid UTF-8, else GB18030 (what GBK files are read as).
TextCodec textCodec(QByteArrayView bytes);
// Decodes line after line with one converter: opening one per line costs more than the line.
class LineDecoder
{
public:
    explicit LineDecoder(TextCodec codec);
    // One line; a null QString when it holds a NUL or bytes the codec cannot read.
    QString operator()(QByteArrayView line);

private:
    TextCodec m_codec;
    QStringDecoder m_gb;
    // Qt without ICU (the Windows build) has no GB18030: the system's code page reads GBK
    // there (936 on a Chinese Windows), and what it cannot read is found by encoding back.
    bool m_system = false;
};

// Calls f(lineNumber, line) for each line, ended by CR LF, CR or LF; a UTF-8 byte-order
// mark is dropped. Stops when f returns false.
template <typename F> void forEachLine(QByteArrayView bytes, F f)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    qint64 number = 0;
    qsizetype start = 0;
    const qsizetype n = bytes.size();
    const char *data = bytes.data();
    while (start < n) {
        qsizetype end = start;
        while (end < n && data[end] != '\n' && data[end] != '\r')
            ++end;
        if (!f(++number, bytes.sliced(start, end - start)))
            return;
        if (end < n && bytes[end] == '\r' && end + 1 < n && bytes[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
}

} // namespace morvane::formula::detail
