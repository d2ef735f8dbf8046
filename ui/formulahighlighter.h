#pragma once

#include <QSyntaxHighlighter>

#include <vector>

namespace morvane {

// Colours the formula as it is typed: comments, quoted text, and the names that matter.
// The lexer's state at each line's end is the block state, so only changed lines, and
// the lines whose start state they change, are lexed again.
class FormulaHighlighter : public QSyntaxHighlighter
{
public:
    // Attaches itself to `document`, and detaches while the document is too large.
    explicit FormulaHighlighter(QTextDocument *document);

    // Where the whole formula, read as a program, calls REF or REFV with an offset that is
    // negative (`future`) or may be (`unsure`): offsets in the document, sorted. Lines whose
    // colouring this changes are coloured again.
    void setReadOffsets(std::vector<qsizetype> future, std::vector<qsizetype> unsure);

    // Lines lexed so far: how a test sees that one keystroke touched one line.
    qint64 highlightedBlocks() const { return m_highlighted; }

    // Past this many characters the editor is left plain: a pasted file of many MiB would
    // otherwise be lexed line by line before it even shows.
    static constexpr int kMaxCharacters = 2 * 1024 * 1024;
    // A longer line is lexed for the lines after it, and left plain itself.
    static constexpr int kMaxLineCharacters = 64 * 1024;

protected:
    void highlightBlock(const QString &text) override;

private:
    QTextDocument *m_document;
    std::vector<qsizetype> m_future;
    std::vector<qsizetype> m_unsure;
    qint64 m_highlighted = 0;
};

} // namespace morvane
