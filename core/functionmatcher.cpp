#include "functionmatcher.h"

#include "automaton_p.h"
#include "textscan.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace morvane {

namespace {

int putUnit(char16_t u, unsigned char *out)
{
    if (u < 0x80) {
        out[0] = static_cast<unsigned char>(u);
        return 1;
    }
    if (u < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (u >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (u & 0x3F));
        return 2;
    }
    out[0] = static_cast<unsigned char>(0xE0 | (u >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((u >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (u & 0x3F));
    return 3;
}

FoldTable buildFoldTable()
{
    FoldTable t;
    t.entry.assign(0x10000, 0);
    t.changes.assign(0x10000, false);
    for (char16_t c = 'a'; c <= 'z'; ++c)
        t.changes[c] = true;
    // Every character's own bytes fit in 3 * 0x10000; the few that change get more on the way.
    t.bytes.resize(0x30000);
    size_t used = 0;
    for (char32_t c = 0x80; c < 0x10000; ++c) {
        const char16_t u = char16_t(c);
        if (t.bytes.size() < used + 3)
            t.bytes.resize(t.bytes.size() + 4096);
        const size_t offset = used;
        const int ownLength = putUnit(u, &t.bytes[offset]);
        used += size_t(ownLength);
        // Only letters and marks can change; QString decides those, full mappings included.
        const QChar::Category cat = QChar::category(c);
        const bool mayChange = QChar::toUpper(c) != c || cat == QChar::Letter_Lowercase ||
                               cat == QChar::Letter_Titlecase || cat == QChar::Mark_NonSpacing;
        if (!mayChange || QChar::isSurrogate(c)) {
            t.entry[c] = uint32_t(offset << 4 | size_t(ownLength));
            continue;
        }
        unsigned char own[3];
        std::memcpy(own, &t.bytes[offset], size_t(ownLength));
        used = offset;
        for (QChar q : QString(QChar(u)).toUpper()) {
            if (t.bytes.size() < used + 3)
                t.bytes.resize(t.bytes.size() + 4096);
            used += size_t(putUnit(q.unicode(), &t.bytes[used]));
        }
        const size_t length = used - offset;
        t.entry[c] = uint32_t(offset << 4 | length);
        if (length != size_t(ownLength) || std::memcmp(&t.bytes[offset], own, length) != 0) {
            t.slowLead[own[0]] = true;
            t.changes[c] = true;
            t.maxShrink = std::max(t.maxShrink, int((size_t(ownLength) + length - 1) / length));
        }
    }
    t.bytes.resize(used);
    for (int lead = 0xF0; lead < 0x100; ++lead)
        t.slowLead[size_t(lead)] = true; // outside the BMP: two code units in the scan
    for (size_t block = 0; block < t.caseless3.size(); ++block) {
        bool none = true;
        for (size_t c = block << 6; c < (block + 1) << 6 && none; ++c)
            none = c >= 0x800 && !t.changes[c] && !QChar::isSurrogate(char32_t(c));
        t.caseless3[block] = none;
    }
    return t;
}

} // namespace

const FoldTable &FoldTable::instance()
{
    static const FoldTable table = buildFoldTable();
    return table;
}

int foldCodePoint(char32_t c, unsigned char *out)
{
    if (c < 0x80) {
        out[0] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
        return 1;
    }
    if (c < 0x10000) {
        const FoldTable &t = FoldTable::instance();
        const uint32_t e = t.entry[c];
        std::memcpy(out, &t.bytes[e >> 4], e & 15);
        return int(e & 15);
    }
    const char32_t up = QChar::toUpper(c);
    const int n = putUnit(QChar::highSurrogate(up), out);
    return n + putUnit(QChar::lowSurrogate(up), out + n);
}

int32_t FunctionMatcher::Automaton::childOf(int32_t node, unsigned char byte) const
{
    const auto begin = label.begin() + firstChild[size_t(node)];
    const auto end = label.begin() + firstChild[size_t(node) + 1];
    const auto it = std::lower_bound(begin, end, byte);
    return it != end && *it == byte ? int32_t(it - label.begin()) : -1;
}

namespace {

// The dense rows cost stride * 4 bytes a node: the first nodes, the ones the scan is
// nearly always in, get them within this budget.
constexpr size_t kDenseBudget = 6u << 20;

// `units`: the length of each upper-cased entry in UTF-16 code units (one UTF-8 sequence each).
std::shared_ptr<FunctionMatcher::Automaton> compile(const QStringList &entries,
                                                    std::vector<qsizetype> *units)
{
    auto a = std::make_shared<FunctionMatcher::Automaton>();
    const size_t count = size_t(entries.size());

    // Every entry upper-cased, one UTF-8 sequence per code unit, in one buffer.
    size_t characters = 0;
    for (const QString &entry : entries)
        characters += size_t(entry.size());
    std::vector<unsigned char> bytes(characters * 3 + 18);
    std::vector<uint32_t> offset(count + 1, 0);
    units->assign(count, 0);
    size_t used = 0;
    for (size_t e = 0; e < count; ++e) {
        const QString &entry = entries[qsizetype(e)];
        const size_t from = used;
        const bool surrogates =
            std::any_of(entry.begin(), entry.end(), [](QChar q) { return q.isSurrogate(); });
        if (surrogates) {
            // toUpper() itself: what it makes of lone surrogates depends on the whole entry.
            for (QChar q : entry.toUpper()) {
                if (bytes.size() < used + 3)
                    bytes.resize(bytes.size() * 2 + 18);
                used += size_t(putUnit(q.unicode(), bytes.data() + used));
            }
        }
        for (qsizetype i = 0; i < entry.size() && !surrogates; ++i) {
            const char16_t c = entry[i].unicode();
            if (c < 0x80) { // most names: ASCII
                bytes[used++] = static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
                continue;
            }
            if (bytes.size() < used + 18)
                bytes.resize(bytes.size() * 2 + 18);
            used += size_t(foldCodePoint(c, bytes.data() + used));
        }
        for (size_t k = from; k < used; ++k)
            (*units)[e] += (bytes[k] & 0xC0) != 0x80;
        offset[e + 1] = uint32_t(used);
    }
    bytes.resize(used);
    a->entryBytes.resize(count);
    a->emptyEntry.assign(count, 0);
    for (size_t e = 0; e < count; ++e) {
        a->entryBytes[e] = int32_t(offset[e + 1] - offset[e]);
        a->emptyEntry[e] = a->entryBytes[e] == 0;
        a->longestBytes = std::max(a->longestBytes, a->entryBytes[e]);
    }

    // Byte classes: the bytes entries use, a-z sharing the class of A-Z.
    for (unsigned char b : bytes)
        a->patternClass[b] = 1;
    uint16_t classes = 1;
    for (size_t b = 0; b < 256; ++b)
        a->patternClass[b] = a->patternClass[b] ? classes++ : 0;
    for (size_t b = 'a'; b <= 'z'; ++b)
        a->patternClass[b] = a->patternClass[b - 0x20];
    const uint16_t slowClass = classes++;
    a->stride = classes;
    const FoldTable &fold = FoldTable::instance();
    for (size_t b = 0; b < 256; ++b)
        a->textClass[b] = fold.slowLead[b] ? slowClass : a->patternClass[b];

    // The trie, level by level from the sorted entries: a node's children come out
    // consecutive and sorted, nodes in breadth-first order.
    // Sorted by their first eight bytes first (big-endian, so that integers compare as the
    // bytes do), the whole entry only on a tie; list order among equal entries.
    struct Key
    {
        uint64_t prefix;
        uint32_t entry;
    };
    std::vector<Key> keys(count);
    for (size_t e = 0; e < count; ++e) {
        uint64_t prefix = 0;
        const size_t n = offset[e + 1] - offset[e];
        for (size_t k = 0; k < 8; ++k)
            prefix = prefix << 8 | (k < n ? bytes[offset[e] + k] : 0u);
        keys[e] = {prefix, uint32_t(e)};
    }
    std::sort(keys.begin(), keys.end(), [&](const Key &x, const Key &y) {
        if (x.prefix != y.prefix)
            return x.prefix < y.prefix;
        const size_t lx = offset[x.entry + 1] - offset[x.entry];
        const size_t ly = offset[y.entry + 1] - offset[y.entry];
        const size_t common = std::min(lx, ly);
        const int c = common == 0 ? 0
                                  : std::memcmp(bytes.data() + offset[x.entry],
                                                bytes.data() + offset[y.entry], common);
        return c != 0 ? c < 0 : lx != ly ? lx < ly : x.entry < y.entry;
    });
    // The entries' bytes in sorted order, so that each level of the trie reads forward.
    std::vector<uint32_t> order(count);
    std::vector<unsigned char> sorted(bytes.size());
    std::vector<uint32_t> at(count + 1, 0);
    for (size_t k = 0; k < count; ++k) {
        const uint32_t e = keys[k].entry;
        order[k] = e;
        std::copy(bytes.begin() + offset[e], bytes.begin() + offset[e + 1], sorted.begin() + at[k]);
        at[k + 1] = at[k] + (offset[e + 1] - offset[e]);
    }
    keys = {};
    struct Range
    {
        uint32_t lo, hi;
    };
    std::vector<Range> range{{0, uint32_t(count)}};
    range.reserve(sorted.size() + 1);
    a->label.reserve(sorted.size() + 1);
    a->firstEntry.reserve(sorted.size() + 1);
    a->firstChild.reserve(sorted.size() + 2);
    a->label.push_back(0);
    a->firstEntry.push_back(-1);
    a->nextEntry.assign(count, -1);
    a->entryNode.assign(count, 0);
    for (size_t n = 0, depth = 0, levelEnd = 1; n < a->label.size(); ++n) {
        if (n == levelEnd) {
            ++depth;
            levelEnd = a->label.size();
        }
        a->firstChild.push_back(int32_t(a->label.size()));
        uint32_t lo = range[n].lo;
        const uint32_t hi = range[n].hi;
        int32_t *link = &a->firstEntry[n];
        for (; lo < hi && at[lo + 1] - at[lo] == depth; ++lo) {
            *link = int32_t(order[lo]);
            link = &a->nextEntry[order[lo]];
            a->entryNode[order[lo]] = int32_t(n);
        }
        while (lo < hi) {
            const unsigned char c = sorted[at[lo] + depth];
            uint32_t end = lo + 1;
            while (end < hi && sorted[at[end] + depth] == c)
                ++end;
            a->label.push_back(c);
            a->firstEntry.push_back(-1);
            range.push_back({lo, end});
            lo = end;
        }
    }
    a->firstChild.push_back(int32_t(a->label.size()));
    range = {};
    order = {};
    bytes = {};
    sorted = {};
    at = {};

    const size_t nodes = a->label.size();
    a->denseCount = int32_t(std::clamp<size_t>(kDenseBudget / (a->stride * 4), 1, nodes));
    const size_t dense = size_t(a->denseCount);
    // Rows of nodes without output from 0, rows of nodes with output from a power of two on
    // (as codes), so that the scan tests four codes with one comparison of their bitwise or.
    // Each row is written once, in its place; the rows between are never touched, so never
    // mapped. Rows first hold node numbers; they become codes once every node is known.
    a->threshold = 1;
    while (a->threshold < dense * a->stride)
        a->threshold <<= 1;
    const size_t loudBase = (a->threshold + a->stride - 1) / a->stride;
    a->table.reset(new uint32_t[(loudBase + dense) * a->stride]);
    a->rowOf.assign(dense, 0);
    a->nodeOfRow.assign(loudBase + dense, 0);
    size_t quiet = 0, loud = 0;
    a->fail.assign(nodes, 0);
    a->output.assign(nodes, -1);
    auto rowAt = [&](int32_t node) {
        return &a->table[size_t(a->rowOf[size_t(node)]) * a->stride];
    };
    auto gotoNode = [&](int32_t node, unsigned char c) {
        for (;;) {
            if (size_t(node) < dense)
                return int32_t(rowAt(node)[a->patternClass[c]]);
            const int32_t child = a->childOf(node, c);
            if (child >= 0)
                return child;
            node = a->fail[size_t(node)];
        }
    };
    for (size_t n = 0; n < nodes; ++n) {
        // A dense node's fail row is read below anyway: its children's fail come from it.
        const uint32_t *failRow = n > 0 && n < dense ? rowAt(a->fail[n]) : nullptr;
        for (int32_t ch = a->firstChild[n]; ch < a->firstChild[n + 1]; ++ch) {
            const unsigned char c = a->label[size_t(ch)];
            a->fail[size_t(ch)] = n == 0    ? 0
                                  : failRow ? int32_t(failRow[a->patternClass[c]])
                                            : gotoNode(a->fail[n], c);
        }
        if (n > 0)
            a->output[n] = a->firstEntry[n] >= 0 ? int32_t(n) : a->output[size_t(a->fail[n])];
        if (a->firstEntry[n] >= 0 && n > 0)
            ++a->terminalCount;
        if (n >= dense)
            continue;
        const size_t r = a->output[n] < 0 ? quiet++ : loudBase + loud++;
        a->rowOf[n] = int32_t(r);
        a->nodeOfRow[r] = int32_t(n);
        uint32_t *row = &a->table[r * a->stride];
        for (uint32_t c = 0; c < a->stride; ++c)
            row[c] = n == 0 ? 0 : failRow[c];
        for (int32_t ch = a->firstChild[n]; ch < a->firstChild[n + 1]; ++ch)
            row[a->patternClass[a->label[size_t(ch)]]] = uint32_t(ch);
    }
    a->slowCode = uint32_t((loudBase + loud) * a->stride);
    for (size_t r = 0; r < loudBase + loud; r = r + 1 == quiet ? loudBase : r + 1) {
        uint32_t *row = &a->table[r * a->stride];
        for (uint32_t c = 0; c < a->stride; ++c)
            row[c] = c == slowClass ? a->slowCode : a->codeOf(int32_t(row[c]));
    }
    return a;
}

} // namespace

FunctionMatcher::FunctionMatcher(const QStringList &entries)
    : m_entries(entries), m_automaton(compile(entries, &m_patternLength))
{
}

QList<bool> FunctionMatcher::present(QStringView text) const
{
    TextScan scan(*this);
    scan.addUtf16(text);
    scan.finish();
    return scan.found();
}

void FunctionMatcher::forEachMatch(QStringView upperText,
                                   const std::function<void(qsizetype, qsizetype)> &onMatch) const
{
    const Automaton &a = *m_automaton;
    int32_t node = 0;
    for (qsizetype i = 0; i < upperText.size(); ++i) {
        unsigned char b[3];
        const int n = putUnit(upperText[i].unicode(), b);
        for (int k = 0; k < n; ++k)
            node = a.next(node, b[k]);
        for (int32_t o = a.output[size_t(node)]; o >= 0; o = a.output[size_t(a.fail[size_t(o)])]) {
            // entries sharing an end: longest first, then list order
            std::vector<int32_t> here;
            for (int32_t e = a.firstEntry[size_t(o)]; e >= 0; e = a.nextEntry[size_t(e)])
                here.push_back(e);
            std::sort(here.begin(), here.end());
            for (int32_t e : here)
                onMatch(e, i + 1);
        }
    }
}

} // namespace morvane
