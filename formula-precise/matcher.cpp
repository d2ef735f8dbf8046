#include "matcher.h"

namespace morvane::formula {

QString upperText(QStringView s)
{
    QString out(s.size(), Qt::Uninitialized);
    char16_t *d = reinterpret_cast<char16_t *>(out.data());
    for (qsizetype i = 0; i < s.size(); ++i)
        d[i] = upperUnit(s[i].unicode());
    return out;
}

Matcher::Matcher(const std::vector<QString> &patterns)
{
    m_nodes.emplace_back();
    for (size_t p = 0; p < patterns.size(); ++p) {
        int32_t n = 0;
        for (QChar qc : patterns[p]) {
            const char16_t c = qc.unicode();
            int32_t next = child(n, c);
            if (next < 0) {
                next = static_cast<int32_t>(m_nodes.size());
                m_nodes.emplace_back();
                if (c < 0x80)
                    m_nodes[static_cast<size_t>(n)].ascii[c] = next;
                else
                    m_nodes[static_cast<size_t>(n)].wide.push_back({c, next});
            }
            n = next;
        }
        node(n).pattern = static_cast<int32_t>(p);
        m_lengths.push_back(patterns[p].size());
        m_patternNode.push_back(n);
    }
    link();
    m_skip.resize(m_nodes.size());
    for (size_t k = 0; k < m_skip.size(); ++k)
        m_skip[k] = static_cast<int32_t>(k);
}

void Matcher::retire(int32_t pattern)
{
    const int32_t n = m_patternNode[static_cast<size_t>(pattern)];
    m_skip[static_cast<size_t>(n)] = node(n).outLink;
}

void Matcher::link()
{
    std::vector<int32_t> queue{0};
    for (size_t head = 0; head < queue.size(); ++head) {
        const int32_t u = queue[head];
        const int32_t f = node(u).fail;
        for (char16_t c = 0; c < 0x80; ++c) {
            const int32_t v = node(u).ascii[c];
            const int32_t viaFail = u == 0 ? 0 : node(f).ascii[c];
            if (v < 0) {
                node(u).ascii[c] = viaFail;
            } else {
                node(v).fail = viaFail;
                queue.push_back(v);
            }
        }
        for (const auto &[c, v] : node(u).wide) {
            int32_t g = f;
            int32_t target = u == 0 ? -1 : child(g, c);
            while (u != 0 && target < 0 && g != 0) {
                g = node(g).fail;
                target = child(g, c);
            }
            node(v).fail = std::max(target, 0);
            queue.push_back(v);
        }
    }
    for (size_t k = 1; k < queue.size(); ++k) {
        Node &v = node(queue[k]);
        const Node &f = node(v.fail);
        v.outLink = f.pattern >= 0 ? v.fail : f.outLink;
        v.outCount = (v.pattern >= 0 ? 1 : 0) + f.outCount;
    }
}

} // namespace morvane::formula
