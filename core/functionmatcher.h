#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace morvane {

// The whole function list compiled once into an Aho-Corasick automaton over the UTF-8 bytes
// of the upper-cased entries (every UTF-16 code unit on its own, so that matching bytes is
// matching code units). The text is upper-cased inside the scan, never copied: the result is
// exactly that of upper-casing the text and searching it, as plainSearch() does.
class FunctionMatcher
{
public:
    explicit FunctionMatcher(const QStringList &entries = {});

    const QStringList &entries() const { return m_entries; }

    // One flag per entry, in list order; `text` as written, upper-cased or not.
    QList<bool> present(QStringView text) const;

    // Every occurrence of every entry: entry index and the end (exclusive) in upperText.
    // Called in order of end position; entries sharing an end come longest first.
    void forEachMatch(QStringView upperText,
                      const std::function<void(qsizetype entry, qsizetype end)> &onMatch) const;

    // Length of the upper-cased entry, to turn a match end into its start.
    qsizetype patternLength(qsizetype entry) const { return m_patternLength[size_t(entry)]; }

    struct Automaton;
    const Automaton &automaton() const { return *m_automaton; }

private:
    QStringList m_entries;
    std::vector<qsizetype> m_patternLength;
    std::shared_ptr<const Automaton> m_automaton; // copies of a matcher share it
};

// Upper case of one character as the UTF-8 bytes of its UTF-16 code units; the same as
// QString::toUpper() on it. Returns the number of bytes written to out (at most 18).
int foldCodePoint(char32_t c, unsigned char *out);

} // namespace morvane
