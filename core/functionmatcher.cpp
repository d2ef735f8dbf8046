#include "functionmatcher.h"

#include <algorithm>
#include <deque>
#include <map>

namespace morvane {

FunctionMatcher::FunctionMatcher(const QStringList &entries) : m_entries(entries)
{
    // Trie first, with ordered children, then flattened into sorted edge runs.
    std::vector<std::map<char16_t, int>> children(1);
    m_entryNode.reserve(size_t(entries.size()));
    for (const QString &entry : entries) {
        const QString pattern = entry.toUpper();
        m_patternLength.push_back(pattern.size());
        int node = 0;
        for (QChar qc : pattern) {
            const char16_t c = qc.unicode();
            auto it = children[size_t(node)].find(c);
            if (it == children[size_t(node)].end()) {
                children.emplace_back();
                const int created = int(children.size()) - 1;
                children[size_t(node)].emplace(c, created);
                node = created;
            } else {
                node = it->second;
            }
        }
        m_entryNode.push_back(node);
    }

    const size_t count = children.size();
    m_nodes.assign(count, Node{});
    m_endingHere.assign(count, {});
    for (size_t i = 0; i < m_entryNode.size(); ++i)
        m_endingHere[size_t(m_entryNode[i])].push_back(int(i));
    for (size_t n = 0; n < count; ++n) {
        m_nodes[n].firstEdge = int(m_edges.size());
        m_nodes[n].edgeCount = int(children[n].size());
        for (const auto &[c, to] : children[n])
            m_edges.push_back({c, to});
    }
    m_rootNext.assign(0x10000, 0);
    for (const auto &[c, to] : children[0])
        m_rootNext[c] = to;

    // Breadth first: a node's fail link points to a shallower node, already done.
    std::deque<int> queue;
    for (const auto &[c, to] : children[0]) {
        Q_UNUSED(c);
        queue.push_back(to);
    }
    while (!queue.empty()) {
        const int node = queue.front();
        queue.pop_front();
        Node &n = m_nodes[size_t(node)];
        const int fail = n.fail;
        n.dictLink = m_nodes[size_t(fail)].output;
        n.output = m_endingHere[size_t(node)].empty() ? n.dictLink : node;
        for (const auto &[c, to] : children[size_t(node)]) {
            m_nodes[size_t(to)].fail = node == 0 ? 0 : step(fail, c);
            queue.push_back(to);
        }
    }
    // The root ends the empty entry, which occurs in every text.
    if (!m_endingHere[0].empty())
        m_nodes[0].output = 0;
    for (size_t n = 0; n < count; ++n)
        m_terminalCount += m_endingHere[n].empty() ? 0 : 1;
}

int FunctionMatcher::child(int node, char16_t c) const
{
    const Node &n = m_nodes[size_t(node)];
    const Edge *begin = m_edges.data() + n.firstEdge;
    const Edge *end = begin + n.edgeCount;
    const Edge *it =
        std::lower_bound(begin, end, c, [](const Edge &e, char16_t v) { return e.c < v; });
    return it != end && it->c == c ? it->to : -1;
}

int FunctionMatcher::step(int state, char16_t c) const
{
    while (state != 0) {
        const int next = child(state, c);
        if (next >= 0)
            return next;
        state = m_nodes[size_t(state)].fail;
    }
    return m_rootNext[c];
}

QList<bool> FunctionMatcher::present(QStringView upperText) const
{
    std::vector<char> seen(m_nodes.size(), 0);
    int seenCount = 0;
    auto mark = [&](int node) {
        // A marked node's chain is marked already: stop there.
        for (int o = m_nodes[size_t(node)].output; o >= 0 && !seen[size_t(o)];
             o = m_nodes[size_t(o)].dictLink) {
            seen[size_t(o)] = 1;
            ++seenCount;
        }
    };
    mark(0);
    int state = 0;
    const char16_t *p = upperText.utf16();
    const char16_t *end = p + upperText.size();
    for (; p != end && seenCount < m_terminalCount; ++p) {
        state = step(state, *p);
        if (m_nodes[size_t(state)].output >= 0)
            mark(state);
    }
    QList<bool> found;
    found.reserve(m_entries.size());
    for (int node : m_entryNode)
        found.append(seen[size_t(node)] != 0);
    return found;
}

void FunctionMatcher::forEachMatch(QStringView upperText,
                                   const std::function<void(qsizetype, qsizetype)> &onMatch) const
{
    int state = 0;
    for (qsizetype i = 0; i < upperText.size(); ++i) {
        state = step(state, upperText[i].unicode());
        for (int o = m_nodes[size_t(state)].output; o > 0; o = m_nodes[size_t(o)].dictLink) {
            for (int entry : m_endingHere[size_t(o)])
                onMatch(entry, i + 1);
        }
    }
}

} // namespace morvane
