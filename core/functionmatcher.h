#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>
#include <vector>

namespace morvane {

// The whole function list compiled once into an Aho-Corasick automaton over UTF-16 code
// units: one pass over the upper-cased formula finds every entry, however long the list.
// Entries are matched upper-cased, exactly like plainSearch().
class FunctionMatcher
{
public:
    explicit FunctionMatcher(const QStringList &entries = {});

    const QStringList &entries() const { return m_entries; }

    // One flag per entry, in list order.
    QList<bool> present(QStringView upperText) const;

    // Every occurrence of every entry: entry index and the end (exclusive) in upperText.
    // Called in order of end position; entries sharing an end come longest first.
    void forEachMatch(QStringView upperText,
                      const std::function<void(qsizetype entry, qsizetype end)> &onMatch) const;

    // Length of the upper-cased entry, to turn a match end into its start.
    qsizetype patternLength(qsizetype entry) const { return m_patternLength[size_t(entry)]; }

private:
    struct Node
    {
        int fail = 0;
        int output = -1;   // this node or the nearest one down the fail chain that ends an entry
        int dictLink = -1; // the nearest node strictly down the fail chain that ends an entry
        int firstEdge = 0;
        int edgeCount = 0;
    };
    struct Edge
    {
        char16_t c;
        int to;
    };

    int step(int state, char16_t c) const;
    int child(int node, char16_t c) const;

    QStringList m_entries;
    std::vector<Node> m_nodes;
    std::vector<Edge> m_edges;
    std::vector<int> m_rootNext;                // dense: every code unit out of the root
    std::vector<std::vector<int>> m_endingHere; // entries that end at each node
    std::vector<int> m_entryNode;
    std::vector<qsizetype> m_patternLength;
    int m_terminalCount = 0;
};

} // namespace morvane
