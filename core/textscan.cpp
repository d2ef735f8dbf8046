#include "textscan.h"

#include "automaton_p.h"

#include <QIODevice>
#include <QStringDecoder>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace morvane {

namespace {

// Four lanes over a block hide the latency of each table step behind the others'.
constexpr int kLanes = 4;
constexpr size_t kBlock = 1u << 20;

bool isContinuation(unsigned char b)
{
    return (b & 0xC0) == 0x80;
}

char32_t decodeAt(const unsigned char *p, int length)
{
    switch (length) {
    case 2:
        return char32_t((p[0] & 0x1F) << 6 | (p[1] & 0x3F));
    case 3:
        return char32_t((p[0] & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
    case 4:
        return char32_t((p[0] & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 |
                        (p[3] & 0x3F));
    default:
        return p[0];
    }
}

bool breaksAt(const unsigned char *p, const unsigned char *limit)
{
    return *p == '\n' || (*p == '\r' && (p + 1 >= limit || p[1] != '\n'));
}

// Line ends in [from, until): LF, and CR not followed by LF; one pass, 16 bytes a step.
qint64 countBreaks(const unsigned char *from, const unsigned char *until,
                   const unsigned char *limit)
{
    qint64 lines = 0;
    const unsigned char *p = from;
#if defined(__SSE2__) && defined(__x86_64__)
    const __m128i lf = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    while (until - p >= 17) {
        __m128i counts = _mm_setzero_si128(); // per byte, at most 255 steps
        for (int step = 0; step < 255 && until - p >= 17; ++step, p += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
            const __m128i breaks =
                _mm_or_si128(_mm_cmpeq_epi8(x, lf),
                             _mm_andnot_si128(_mm_cmpeq_epi8(next, lf), _mm_cmpeq_epi8(x, cr)));
            counts = _mm_sub_epi8(counts, breaks);
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        lines += _mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums));
    }
#endif
    for (; p < until; ++p)
        lines += breaksAt(p, limit);
    return lines;
}

// Bytes the upper case of the character at p takes in the scan.
int foldedLength(const unsigned char *p)
{
    const unsigned char b = *p;
    const int length = utf8Length(b);
    if (!FoldTable::instance().slowLead[b])
        return length;
    unsigned char out[18];
    return foldCodePoint(decodeAt(p, length), out);
}

} // namespace

struct TextScan::Lane
{
    const unsigned char *p;
    const unsigned char *end;
    const unsigned char *own; // matches completed before this belong to the lane before
    uint32_t code;
};

TextScan::TextScan(const FunctionMatcher &matcher, bool positions)
    : m_matcher(matcher), m_a(matcher.automaton()), m_fold(FoldTable::instance()),
      m_positions(positions)
{
    m_seen.assign(m_a.label.size(), 0);
    for (char empty : m_a.emptyEntry)
        m_seen[0] = m_seen[0] || empty;
    // A match spans at most this many bytes of the text, whatever upper-casing did.
    m_keep = size_t(m_a.longestBytes) * size_t(m_fold.maxShrink) + 8;
}

TextScan::~TextScan() = default;

bool TextScan::complete() const
{
    return !m_positions && m_seenCount == m_a.terminalCount;
}

QList<bool> TextScan::found() const
{
    QList<bool> flags;
    flags.reserve(qsizetype(m_a.entryNode.size()));
    for (int32_t node : m_a.entryNode)
        flags.append(m_seen[size_t(node)] != 0);
    return flags;
}

void TextScan::addUtf8(QByteArrayView piece)
{
    addBytes(reinterpret_cast<const unsigned char *>(piece.data()), size_t(piece.size()));
}

void TextScan::addUtf16(QStringView piece)
{
    // UTF-8 of each code unit, a pair as one character; lone surrogates keep their own
    // three bytes, as the entries do.
    std::vector<unsigned char> bytes;
    constexpr qsizetype kPiece = 64 * 1024;
    for (qsizetype at = 0; at < piece.size() || (m_finished && !m_highRun.empty());) {
        const qsizetype n = std::min(kPiece, piece.size() - at);
        bytes.clear();
        bytes.reserve(size_t(n) * 3 + 4);
        auto put = [&](char32_t c) {
            unsigned char b[4];
            int k;
            if (c < 0x80) {
                b[0] = static_cast<unsigned char>(c);
                k = 1;
            } else if (c < 0x800) {
                b[0] = static_cast<unsigned char>(0xC0 | (c >> 6));
                b[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                k = 2;
            } else if (c < 0x10000) {
                b[0] = static_cast<unsigned char>(0xE0 | (c >> 12));
                b[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                b[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                k = 3;
            } else {
                b[0] = static_cast<unsigned char>(0xF0 | (c >> 18));
                b[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
                b[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
                b[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
                k = 4;
            }
            bytes.insert(bytes.end(), b, b + k);
        };
        const char16_t *u = piece.utf16() + at;
        const std::vector<bool> &changes = m_fold.changes;
        // QString::toUpper() turns every unpaired surrogate after the first character it
        // changes into U+FFFD, but for the high ones that end the text: a run of high
        // surrogates waits until what follows it is known.
        auto lone = [&](char16_t c, bool textEnd) {
            put(m_caseChanged && !textEnd ? char16_t(0xFFFD) : c);
        };
        auto flushRun = [&](bool textEnd) {
            for (char16_t high : m_highRun)
                lone(high, textEnd);
            m_highRun.clear();
        };
        // Kept in registers on the common path; written back around the rare one.
        bool caseChanged = m_caseChanged;
        bool held = !m_highRun.empty();
        for (qsizetype i = 0; i < n; ++i) {
            const char16_t c = u[i];
            if (Q_LIKELY(!QChar::isSurrogate(c) && !held)) {
                caseChanged = caseChanged || changes[c];
                if (c < 0x80)
                    bytes.push_back(static_cast<unsigned char>(c));
                else
                    put(c);
                continue;
            }
            m_caseChanged = caseChanged;
            if (QChar::isHighSurrogate(c)) {
                m_highRun.push_back(c);
            } else if (QChar::isLowSurrogate(c) && !m_highRun.empty()) {
                const char32_t pair = QChar::surrogateToUcs4(m_highRun.back(), c);
                m_highRun.pop_back();
                flushRun(false);
                m_caseChanged = m_caseChanged || QChar::toUpper(pair) != pair;
                put(pair);
            } else {
                flushRun(false);
                if (QChar::isSurrogate(c)) {
                    lone(c, false);
                } else {
                    m_caseChanged = m_caseChanged || changes[c];
                    put(c);
                }
            }
            caseChanged = m_caseChanged;
            held = !m_highRun.empty();
        }
        m_caseChanged = caseChanged;
        if (m_finished)
            flushRun(true);
        addBytes(bytes.data(), bytes.size());
        at += n;
        if (n == 0)
            break;
    }
}

void TextScan::addBytes(const unsigned char *data, size_t size)
{
    while (size > 0 && !complete()) {
        // Blocks end on a character boundary.
        size_t n = std::min(size, kBlock);
        if (n < size) {
            while (n > 0 && isContinuation(data[n]))
                --n;
            if (n == 0)
                n = std::min(size, kBlock);
        }
        if (!m_positions) {
            m_base = data;
            scanBlock(data, 0, n);
        } else {
            // The kept tail, then the block, so that matches can look back across blocks.
            const size_t tail = m_window.size();
            m_window.insert(m_window.end(), data, data + n);
            m_base = m_window.data();
            m_baseOffset = m_windowStart;
            scanBlock(m_window.data(), tail, tail + n);
            const qint64 end = m_windowStart + qint64(m_window.size());
            const qint64 safe = std::max<qint64>(m_windowStart, end - qint64(m_keep));
            emitUpTo(safe);
            advanceTracker(safe);
            const size_t drop = size_t(safe - m_windowStart);
            m_window.erase(m_window.begin(), m_window.begin() + qsizetype(drop));
            m_windowStart = safe;
        }
        data += n;
        size -= n;
    }
}

void TextScan::finish()
{
    m_finished = true;
    if (!m_highRun.empty())
        addUtf16(QStringView());
    if (m_positions) {
        emitUpTo(std::numeric_limits<qint64>::max());
        m_window.clear();
    }
}

void TextScan::scanBlock(const unsigned char *base, size_t begin, size_t end)
{
    const size_t length = end - begin;
    const size_t prime = m_keep;
    Lane lanes[kLanes];
    int count = 1;
    // Small files too: a lane only needs to be longer than its run-up.
    if (length >= size_t(kLanes) * (prime + 64))
        count = kLanes;
    for (int k = 0; k < count; ++k) {
        const size_t from = begin + length * size_t(k) / size_t(count);
        const size_t to = begin + length * size_t(k + 1) / size_t(count);
        // Later lanes start from the root a little early: every match ending in their part
        // starts after that.
        lanes[k] = {base + (k == 0 ? from : from - prime), base + to, base + from,
                    k == 0 ? m_code : 0};
    }
    if (count > 1) {
        // The first lane may carry a state the table does not hold.
        if (lanes[0].code >= m_a.slowCode)
            settle(lanes[0], m_a.nodeOf(lanes[0].code));
        const uint32_t *table = m_a.table.get();
        const uint16_t *cls = m_a.textClass.data();
        const uint32_t threshold = m_a.threshold;
        Lane &a = lanes[0], &b = lanes[1], &c = lanes[2], &d = lanes[3];
        for (;;) {
            const ptrdiff_t left = std::min({a.end - a.p, b.end - b.p, c.end - c.p, d.end - d.p});
            if (left <= 0)
                break;
            // One index for the four lanes until one of them needs a look.
            const unsigned char *pa = a.p, *pb = b.p, *pc = c.p, *pd = d.p;
            uint32_t ca = a.code, cb = b.code, cc = c.code, cd = d.code;
            ptrdiff_t i = 0;
            for (; i < left; ++i) {
                const uint32_t na = table[ca + cls[pa[i]]], nb = table[cb + cls[pb[i]]];
                const uint32_t nc = table[cc + cls[pc[i]]], nd = table[cd + cls[pd[i]]];
                if (Q_UNLIKELY((na | nb | nc | nd) >= threshold)) // a power of two
                    break;
                ca = na;
                cb = nb;
                cc = nc;
                cd = nd;
            }
            a.p = pa + i;
            b.p = pb + i;
            c.p = pc + i;
            d.p = pd + i;
            a.code = ca;
            b.code = cb;
            c.code = cc;
            d.code = cd;
            if (i == left)
                continue;
            for (Lane *lane : {&a, &b, &c, &d}) {
                const uint32_t previous = lane->code;
                lane->code = table[previous + cls[*lane->p]];
                if (lane->code >= threshold)
                    handle(*lane, previous);
                else
                    ++lane->p;
            }
            if (complete())
                return;
        }
    }
    for (int k = 0; k < count; ++k)
        run(lanes[k]);
    m_code = lanes[count - 1].code;
}

void TextScan::run(Lane &lane)
{
    if (lane.code >= m_a.slowCode)
        settle(lane, m_a.nodeOf(lane.code));
    const uint32_t *table = m_a.table.get();
    const uint16_t *cls = m_a.textClass.data();
    while (lane.p < lane.end) {
        const uint32_t previous = lane.code;
        lane.code = table[previous + cls[*lane.p]];
        if (Q_UNLIKELY(lane.code >= m_a.threshold)) {
            handle(lane, previous);
            if (complete())
                return;
        } else {
            ++lane.p;
        }
    }
}

// A code from the threshold on: a node with output, a character to upper-case first, or a
// node deeper than the dense rows.
void TextScan::handle(Lane &lane, uint32_t previous)
{
    int32_t node;
    if (lane.code == m_a.slowCode) {
        // A caseless 3-byte character that ends no entry: its bytes as they are, in the table.
        const unsigned char *p = lane.p;
        if ((p[0] & 0xF0) == 0xE0 && m_fold.caseless3[size_t((p[0] & 0x0F) << 6 | (p[1] & 0x3F))]) {
            uint32_t code = previous;
            int k = 0;
            for (; k < 3; ++k) {
                code = m_a.table[code + m_a.patternClass[p[k]]];
                if (code >= m_a.threshold)
                    break;
            }
            if (k == 3) {
                lane.code = code;
                lane.p += 3;
                return;
            }
        }
        node = stepCharacter(lane, m_a.nodeOf(previous));
    } else {
        node = m_a.nodeOf(lane.code);
        report(lane, node, lane.p, -1);
        ++lane.p;
    }
    settle(lane, node);
}

void TextScan::settle(Lane &lane, int32_t node)
{
    while (node >= m_a.denseCount && lane.p < lane.end) {
        if (m_fold.slowLead[*lane.p]) {
            node = stepCharacter(lane, node);
        } else {
            node = m_a.next(node, *lane.p);
            report(lane, node, lane.p, -1);
            ++lane.p;
        }
    }
    lane.code = m_a.codeOf(node);
}

int32_t TextScan::stepCharacter(Lane &lane, int32_t node)
{
    const unsigned char *at = lane.p;
    const int length = utf8Length(*at);
    unsigned char folded[18];
    const int n = foldCodePoint(decodeAt(at, length), folded);
    for (int j = 0; j < n; ++j) {
        node = m_a.next(node, folded[j]);
        report(lane, node, at, j);
    }
    lane.p += length;
    return node;
}

void TextScan::report(Lane &lane, int32_t node, const unsigned char *at, int expansionIndex)
{
    int32_t o = m_a.output[size_t(node)];
    if (o < 0 || at < lane.own)
        return;
    for (; o >= 0; o = m_a.output[size_t(m_a.fail[size_t(o)])]) {
        if (!m_seen[size_t(o)]) {
            m_seen[size_t(o)] = 1;
            ++m_seenCount;
        } else if (!m_positions) {
            return; // the rest of the chain is marked already
        }
        if (!m_positions)
            continue;
        for (int32_t e = m_a.firstEntry[size_t(o)]; e >= 0; e = m_a.nextEntry[size_t(e)]) {
            const unsigned char *start = matchStart(at, expansionIndex, m_a.entryBytes[size_t(e)]);
            m_pending.push_back({m_baseOffset + (start - m_base), e});
        }
    }
}

const unsigned char *TextScan::matchStart(const unsigned char *at, int expansionIndex,
                                          int length) const
{
    // Back over whole characters until the entry's bytes are used up; a match may start
    // inside the upper case of a character (SS of ß): it starts at that character.
    const unsigned char *q = expansionIndex >= 0 ? at : at + 1;
    int remaining = expansionIndex >= 0 ? length - (expansionIndex + 1) : length;
    while (remaining > 0 && q > m_base) {
        const unsigned char *c = q - 1;
        while (c > m_base && isContinuation(*c))
            --c;
        remaining -= foldedLength(c);
        q = c;
    }
    return q;
}

void TextScan::emitUpTo(qint64 limit)
{
    std::sort(m_pending.begin(), m_pending.end(), [](const Hit &x, const Hit &y) {
        return x.start != y.start ? x.start < y.start : x.entry < y.entry;
    });
    size_t done = 0;
    for (; done < m_pending.size() && m_pending[done].start < limit; ++done) {
        advanceTracker(m_pending[done].start);
        m_occurrences.push_back({m_pending[done].entry, m_line, m_column});
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + qsizetype(done));
}

// Lines and columns up to `to`: CR LF, CR and LF each end a line; columns count characters,
// the second half of a surrogate pair and CR not.
void TextScan::advanceTracker(qint64 to)
{
    if (to <= m_trackAt)
        return;
    const unsigned char *begin = m_window.data() + (m_trackAt - m_windowStart);
    const unsigned char *end = m_window.data() + (to - m_windowStart);
    const unsigned char *limit = m_window.data() + m_window.size();
    const unsigned char *lastBreak = nullptr;
    for (const unsigned char *p = end; p > begin; --p) {
        if ((p[-1] == '\n' || p[-1] == '\r') && breaksAt(p - 1, limit)) {
            lastBreak = p - 1;
            break;
        }
    }
    // Plain counting loops, which the compiler turns into vector code.
    auto characters = [](const unsigned char *from, const unsigned char *until) {
        qint64 n = 0;
        for (const unsigned char *p = from; p < until; ++p)
            n += static_cast<signed char>(*p) > -65; // not a continuation byte
        n -= std::count(from, until, '\r');
        for (const unsigned char *p = from;
             (p = static_cast<const unsigned char *>(std::memchr(p, 0xED, size_t(until - p)))) &&
             p + 1 < until;
             ++p)
            n -= p[1] >= 0xB0 && p[1] <= 0xBF; // a low surrogate on its own
        return n;
    };
    if (lastBreak) {
        m_line += int(countBreaks(begin, lastBreak + 1, limit));
        m_column = 1 + int(characters(lastBreak + 1, end));
    } else {
        m_column += int(characters(begin, end));
    }
    m_trackAt = to;
}

// ---- reading a formula file ----

namespace {

constexpr qint64 kChunk = 1 << 20;

// Reads up to kChunk more bytes after `carry`; false on a read error.
bool readChunk(QIODevice &device, QByteArray *buffer, qsizetype carry, bool *atEnd)
{
    buffer->resize(carry + kChunk);
    qint64 filled = carry;
    while (filled < buffer->size()) {
        const qint64 n = device.read(buffer->data() + filled, buffer->size() - filled);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        filled += n;
    }
    *atEnd = filled < buffer->size();
    buffer->resize(filled);
    return true;
}

// Where a piece can end so that decoding pieces one by one gives what decoding the whole does.
qsizetype safeCut(QByteArrayView bytes, TextEncoding encoding)
{
    const qsizetype n = bytes.size();
    switch (encoding) {
    case TextEncoding::Utf16LE:
    case TextEncoding::Utf16BE: {
        qsizetype cut = n & ~qsizetype(1);
        if (cut >= 2) {
            const int hi = encoding == TextEncoding::Utf16LE ? 1 : 0;
            if ((static_cast<unsigned char>(bytes[cut - 2 + hi]) & 0xFC) == 0xD8)
                cut -= 2; // keep a pair together
        }
        return cut;
    }
    case TextEncoding::Utf32LE:
    case TextEncoding::Utf32BE:
        return n & ~qsizetype(3);
    case TextEncoding::Utf8:
        for (qsizetype i = n; i > 0; --i) {
            if (static_cast<unsigned char>(bytes[i - 1]) < 0x80)
                return i;
        }
        return n;
    case TextEncoding::Gb18030:
        // No byte below 0x30 is ever part of a longer sequence.
        for (qsizetype i = n; i > 0; --i) {
            if (static_cast<unsigned char>(bytes[i - 1]) < 0x30)
                return i;
        }
        return n;
    }
    return n;
}

QStringDecoder decoderFor(TextEncoding encoding)
{
    const auto flag = QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom;
    switch (encoding) {
    case TextEncoding::Utf16LE:
        return QStringDecoder(QStringDecoder::Utf16LE, flag);
    case TextEncoding::Utf16BE:
        return QStringDecoder(QStringDecoder::Utf16BE, flag);
    case TextEncoding::Utf32LE:
        return QStringDecoder(QStringDecoder::Utf32LE, flag);
    case TextEncoding::Utf32BE:
        return QStringDecoder(QStringDecoder::Utf32BE, flag);
    case TextEncoding::Utf8:
        return QStringDecoder(QStringDecoder::Utf8, flag);
    case TextEncoding::Gb18030:
        break;
    }
    return QStringDecoder("GB18030", QStringDecoder::Flag::Stateless);
}

} // namespace

InputStatus scanInput(QIODevice &device, const FunctionMatcher &matcher, bool positions,
                      qint64 maxBytes, InputScan *result, QString *error)
{
    auto failed = [&] {
        *error = device.errorString();
        return InputStatus::ReadFailed;
    };
    QByteArray buffer;
    bool atEnd = false;
    qint64 total = 0;
    if (!readChunk(device, &buffer, 0, &atEnd))
        return failed();
    const TextMark mark = detectMark(buffer);
    const bool hasMark = mark.markSize > 0;

    // First try: plain UTF-8, matched as bytes.
    if (!hasMark || mark.encoding == TextEncoding::Utf8) {
        TextScan scan(matcher, positions);
        qsizetype skip = mark.markSize;
        bool plain = true;
        for (;;) {
            total += buffer.size();
            if (total > maxBytes)
                return InputStatus::TooLarge;
            // Whole characters only; an unfinished one waits for the next chunk.
            qsizetype cut = buffer.size();
            if (!atEnd) {
                qsizetype i = cut;
                while (i > 0 && isContinuation(static_cast<unsigned char>(buffer[i - 1])) &&
                       cut - i < 3)
                    --i;
                if (i > 0 && static_cast<unsigned char>(buffer[i - 1]) >= 0xC0)
                    cut = i - 1;
            }
            const QByteArrayView piece = QByteArrayView(buffer).sliced(skip, cut - skip);
            skip = 0;
            if (!isValidUtf8(piece)) {
                plain = false;
                break;
            }
            scan.addUtf8(piece);
            if (atEnd || scan.complete())
                break;
            const qsizetype carry = buffer.size() - cut;
            std::memmove(buffer.data(), buffer.data() + cut, size_t(carry));
            total -= carry;
            if (!readChunk(device, &buffer, carry, &atEnd))
                return failed();
        }
        if (plain) {
            scan.finish();
            result->found = scan.found();
            result->occurrences = scan.occurrences();
            result->encoding = TextEncoding::Utf8;
            result->replaced = false;
            return InputStatus::Ok;
        }
    }

    // Otherwise the whole file decides, then it is decoded piece by piece.
    TextEncoding encoding = mark.encoding;
    if (!hasMark) {
        if (!device.seek(0))
            return failed();
        TextStatistics statistics;
        total = 0;
        for (atEnd = false; !atEnd;) {
            if (!readChunk(device, &buffer, 0, &atEnd))
                return failed();
            total += buffer.size();
            if (total > maxBytes)
                return InputStatus::TooLarge;
            statistics.add(buffer, atEnd);
        }
        encoding = statistics.guess();
    }
    if (!device.seek(mark.markSize))
        return failed();
    TextScan scan(matcher, positions);
    QStringDecoder decoder = decoderFor(encoding);
    const bool gbkPairs = encoding == TextEncoding::Gb18030 && !hasGb18030();
    bool replaced = false;
    qsizetype carry = 0;
    total = mark.markSize;
    for (atEnd = false; !atEnd;) {
        if (!readChunk(device, &buffer, carry, &atEnd))
            return failed();
        total += buffer.size() - carry;
        if (total > maxBytes)
            return InputStatus::TooLarge;
        const qsizetype cut = atEnd ? buffer.size() : safeCut(buffer, encoding);
        const QByteArrayView piece = QByteArrayView(buffer).first(cut);
        const QString text = gbkPairs ? decodeGbkPairs(piece, &replaced) : decoder.decode(piece);
        replaced = replaced || decoder.hasError();
        scan.addUtf16(text);
        carry = buffer.size() - cut;
        std::memmove(buffer.data(), buffer.data() + cut, size_t(carry));
        if (scan.complete())
            break;
    }
    scan.finish();
    result->found = scan.found();
    result->occurrences = scan.occurrences();
    result->encoding = encoding;
    result->replaced = replaced;
    return InputStatus::Ok;
}

} // namespace morvane
