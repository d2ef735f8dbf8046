#pragma once

#include <QChar>
#include <QString>
#include <QStringView>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace morvane::formula {

// Upper case one UTF-16 unit for one, so that offsets in the upper-cased text stay those of
// the original.
inline char16_t upperUnit(char16_t c)
{
    if (c < 0x80)
        return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
    if (QChar::isSurrogate(c))
        return c;
    const char32_t u = QChar::toUpper(static_cast<char32_t>(c));
    return u > 0xffff ? c : static_cast<char16_t>(u);
}

QString upperText(QStringView s);

// Aho-Corasick over upper-cased UTF-16: full transitions for ASCII, failure links beyond.
class Matcher
{
public:
    explicit Matcher(const std::vector<QString> &patterns);

    // A pattern whose further hits need not be told one by one: onRetired counts them.
    void retire(int32_t pattern);

    // onHit(pattern, start) for every occurrence of every pattern not retired, by end
    // position; then onRetired(end, count) for the occurrences of retired ones ending there.
    // The text is upper-cased as it is read, not copied.
    template <typename F, typename G> void run(QStringView text, F &&onHit, G &&onRetired)
    {
        int32_t state = 0;
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = upperUnit(text[i].unicode());
            if (c < 0x80) {
                state = node(state).ascii[c];
            } else {
                int32_t next = child(state, c);
                while (next < 0 && state != 0) {
                    state = node(state).fail;
                    next = child(state, c);
                }
                state = std::max(next, 0);
            }
            // Nested list entries (A, AA, AAA…) end thousands of hits at each place; those
            // of retired patterns are skipped, and counted all at once.
            int32_t told = 0;
            for (int32_t n = live(node(state).pattern >= 0 ? state : node(state).outLink); n >= 0;
                 n = live(node(n).outLink)) {
                const int32_t p = node(n).pattern;
                ++told;
                onHit(p, i + 1 - m_lengths[static_cast<size_t>(p)]);
            }
            if (told < node(state).outCount)
                onRetired(i + 1, node(state).outCount - told);
        }
    }

private:
    struct Node
    {
        Node() { ascii.fill(-1); }
        std::array<int32_t, 128> ascii;
        std::vector<std::pair<char16_t, int32_t>> wide;
        int32_t fail = 0;
        int32_t pattern = -1;
        int32_t outLink = -1; // the next node along the failure links that ends a pattern
        int32_t outCount = 0; // patterns ending here: this node's and along the failure links
    };

    // The first pattern node from `n` along the output links that is not retired.
    int32_t live(int32_t n)
    {
        int32_t r = n;
        while (r >= 0 && m_skip[static_cast<size_t>(r)] != r)
            r = m_skip[static_cast<size_t>(r)];
        while (n >= 0 && m_skip[static_cast<size_t>(n)] != n) {
            const int32_t next = m_skip[static_cast<size_t>(n)];
            m_skip[static_cast<size_t>(n)] = r;
            n = next;
        }
        return r;
    }

    Node &node(int32_t n) { return m_nodes[static_cast<size_t>(n)]; }
    const Node &node(int32_t n) const { return m_nodes[static_cast<size_t>(n)]; }

    int32_t child(int32_t n, char16_t c) const
    {
        if (c < 0x80)
            return node(n).ascii[c];
        for (const auto &[k, v] : node(n).wide) {
            if (k == c)
                return v;
        }
        return -1;
    }

    void link();

    std::vector<Node> m_nodes;
    std::vector<qsizetype> m_lengths;
    std::vector<int32_t> m_patternNode;
    std::vector<int32_t> m_skip; // by node: itself, or past it when retired
};

} // namespace morvane::formula
