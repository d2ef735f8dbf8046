#include "formulahighlighter.h"

#include "knowledge.h"
#include "lexer.h"
#include "offsets.h"
#include "precise.h"
#include "skinwidgets.h"
#include "windowreport.h"

#include <QTextBlock>
#include <QTextDocument>

#include <algorithm>
#include <iterator>

namespace morvane {

using formula::LexState;
using formula::NameClass;
using formula::TokenKind;

namespace {

QTextCharFormat colour(const QColor &c)
{
    QTextCharFormat f;
    f.setForeground(c);
    return f;
}

// A wave under a 12 px line has no room to show: the last-bar names get their own colour.
QTextCharFormat nameFormat(NameClass cls)
{
    if (cls == NameClass::Listed)
        return {};
    return colour(reportStyle(reportKind(cls)).colour);
}

} // namespace

FormulaHighlighter::FormulaHighlighter(QTextDocument *document)
    : QSyntaxHighlighter(static_cast<QObject *>(document)), m_document(document)
{
    // Connected before the highlighter's own slot, so a huge paste detaches it before it
    // would walk every new line.
    connect(document, &QTextDocument::contentsChange, this, [this] {
        const bool tooLarge = m_document->characterCount() > kMaxCharacters;
        if (tooLarge && this->document())
            setDocument(nullptr);
        else if (!tooLarge && !this->document())
            setDocument(m_document);
    });
    setDocument(document);
}

void FormulaHighlighter::setReadOffsets(std::vector<qsizetype> future,
                                        std::vector<qsizetype> unsure)
{
    if (future == m_future && unsure == m_unsure)
        return;
    std::vector<qsizetype> changed;
    for (auto *pair : {&m_future, &m_unsure}) {
        const std::vector<qsizetype> &now = pair == &m_future ? future : unsure;
        std::set_symmetric_difference(pair->begin(), pair->end(), now.begin(), now.end(),
                                      std::back_inserter(changed));
    }
    m_future = std::move(future);
    m_unsure = std::move(unsure);
    if (!document())
        return;
    int last = -1;
    std::sort(changed.begin(), changed.end());
    for (qsizetype offset : changed) {
        const QTextBlock block = m_document->findBlock(static_cast<int>(offset));
        if (block.isValid() && block.blockNumber() != last) {
            last = block.blockNumber();
            rehighlightBlock(block);
        }
    }
}

void FormulaHighlighter::highlightBlock(const QString &text)
{
    const int previous = previousBlockState();
    const auto start = previous < 0 ? LexState::Normal : static_cast<LexState>(previous);
    ++m_highlighted;
    if (text.size() > kMaxLineCharacters) {
        // Thousands of coloured pieces on one line would cost the layout more than the lexing;
        // the tokens themselves, hundreds of thousands of them, are not even kept.
        setCurrentBlockState(static_cast<int>(formula::lexLine(text, start, nullptr)));
        return;
    }
    std::vector<formula::Token> tokens;
    const LexState end = formula::lexLine(text, start, &tokens);
    // One pass over the line for REF(X,-1), however many calls it opens.
    const std::vector<size_t> literal = formula::negativeOffsetTokens(text, tokens);
    const qsizetype base = currentBlock().position();
    auto read = [&](const std::vector<qsizetype> &offsets, const formula::Token &t) {
        return std::binary_search(offsets.begin(), offsets.end(), base + t.offset);
    };
    for (const formula::Token &t : tokens) {
        const int from = static_cast<int>(t.offset);
        const int count = static_cast<int>(t.length);
        switch (t.kind) {
        case TokenKind::Comment:
            setFormat(from, count, colour(skin::commentGrey));
            break;
        case TokenKind::Text:
        case TokenKind::Note:
            setFormat(from, count, colour(skin::quotedText));
            break;
        case TokenKind::Quoted: {
            setFormat(from, count, colour(skin::quotedText));
            // "KDJ.K#WEEK": the period suffix counts inside the quotes too.
            const QStringView quoted = QStringView(text).sliced(t.offset, t.length);
            const qsizetype sharp = quoted.lastIndexOf(u'#');
            if (sharp > 0) {
                qsizetype stop = sharp + 1;
                while (stop < quoted.size() && quoted[stop].isLetterOrNumber())
                    ++stop;
                if (formula::isPeriodWord(quoted.sliced(sharp + 1, stop - sharp - 1)))
                    setFormat(from + static_cast<int>(sharp), static_cast<int>(stop - sharp),
                              nameFormat(NameClass::Drift));
            }
            break;
        }
        case TokenKind::Period:
            setFormat(from, count, nameFormat(NameClass::Drift));
            break;
        case TokenKind::Name: {
            const formula::KnownName *known =
                formula::knownName(QStringView(text).sliced(t.offset, t.length));
            if (!known)
                break;
            if (!known->negativeOffsetOnly) {
                setFormat(from, count, nameFormat(known->cls));
                break;
            }
            const size_t index = static_cast<size_t>(&t - tokens.data());
            if (read(m_future, t) || std::binary_search(literal.begin(), literal.end(), index))
                setFormat(from, count, nameFormat(known->cls));
            else if (read(m_unsure, t))
                setFormat(from, count, colour(reportStyle(ReportLineKind::Unsure).colour));
            break;
        }
        default:
            break;
        }
    }
    setCurrentBlockState(static_cast<int>(end));
}

} // namespace morvane
