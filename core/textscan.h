#pragma once

#include "encoding.h"
#include "functionmatcher.h"
#include "occurrences.h"

#include <QByteArrayView>
#include <QList>
#include <QStringView>

#include <memory>
#include <string>
#include <vector>

class QIODevice;

namespace morvane {

struct FoldTable;

// One pass of the matcher over a text that arrives in pieces, upper-casing as it goes:
// the flags of present() and, when asked, the occurrences of findOccurrences().
class TextScan
{
public:
    explicit TextScan(const FunctionMatcher &matcher, bool positions = false);
    ~TextScan();
    TextScan(const TextScan &) = delete;
    TextScan &operator=(const TextScan &) = delete;

    // Valid UTF-8 made of whole characters; consecutive pieces are one text.
    void addUtf8(QByteArrayView piece);
    // UTF-16; a pair split between two pieces is joined.
    void addUtf16(QStringView piece);
    void finish();

    // Every entry seen and no positions asked for: the rest of the text changes nothing.
    bool complete() const;
    QList<bool> found() const;
    // In order of position, then of the list; complete after finish().
    const std::vector<Occurrence> &occurrences() const { return m_occurrences; }

private:
    struct Lane;
    void addBytes(const unsigned char *data, size_t size);
    void scanBlock(const unsigned char *base, size_t begin, size_t end);
    void run(Lane &lane);
    void handle(Lane &lane, uint32_t previous);
    void settle(Lane &lane, int32_t node);
    int32_t stepCharacter(Lane &lane, int32_t node);
    void report(Lane &lane, int32_t node, const unsigned char *at, int expansionIndex);
    const unsigned char *matchStart(const unsigned char *at, int expansionIndex, int length) const;
    void emitUpTo(qint64 limit);
    void advanceTracker(qint64 to);

    const FunctionMatcher &m_matcher;
    const FunctionMatcher::Automaton &m_a;
    const FoldTable &m_fold;
    bool m_positions;
    std::vector<char> m_seen; // per node
    int m_seenCount = 0;
    uint32_t m_code = 0;
    bool m_finished = false;
    std::u16string m_highRun;   // high surrogates not yet known to be paired or trailing
    bool m_caseChanged = false; // some character so far has a different upper case

    // Positions: the text's tail is kept so that matches and line counts can look back.
    std::vector<unsigned char> m_window;
    qint64 m_windowStart = 0; // offset in the whole text of m_window[0]
    const unsigned char *m_base = nullptr;
    qint64 m_baseOffset = 0;
    size_t m_keep = 0;
    struct Hit
    {
        qint64 start;
        int32_t entry;
    };
    std::vector<Hit> m_pending;
    std::vector<Occurrence> m_occurrences;
    qint64 m_trackAt = 0;
    int m_line = 1;
    int m_column = 1;
};

// A formula file read in pieces through a scan, decoded as decodeUserText() decodes it:
// plain UTF-8 is matched as bytes; a byte that is not UTF-8 restarts the scan from the
// beginning with the decoding the whole file fits. The device must be seekable.
struct InputScan
{
    QList<bool> found;
    std::vector<Occurrence> occurrences;
    TextEncoding encoding = TextEncoding::Utf8;
    bool replaced = false; // characters that could not be decoded became U+FFFD
};

enum class InputStatus
{
    Ok,
    ReadFailed,
    TooLarge
};

InputStatus scanInput(QIODevice &device, const FunctionMatcher &matcher, bool positions,
                      qint64 maxBytes, InputScan *result, QString *error);

} // namespace morvane
