#include "formulaassist.h"

#include "catalog.h"
#include "formulahighlighter.h"
#include "functionmatcher.h"
#include "functions.h"
#include "knowledge.h"
#include "lexer.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>
#include <QToolTip>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace morvane {

using formula::NameClass;

namespace {

// The class words a trader knows from the charting software's own help.
QString classWords(NameClass cls)
{
    switch (cls) {
    case NameClass::Future:
        return u"未来函数"_s;
    case NameClass::Drift:
        return u"数据漂移"_s;
    case NameClass::LastBar:
        return u"末根提示"_s;
    case NameClass::Listed:
        return u"列表中的名字"_s;
    case NameClass::Unsure:
    case NameClass::Unchecked:
        break;
    }
    return {};
}

// Catalogued names the knowledge base leaves out still tell their class.
std::optional<NameClass> flaggedClass(formula::FunctionClass cls)
{
    switch (cls) {
    case formula::FunctionClass::Future:
        return NameClass::Future;
    case formula::FunctionClass::Drift:
        return NameClass::Drift;
    case formula::FunctionClass::LastBar:
        return NameClass::LastBar;
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<NameClass> functionClass(const QString &name, bool listed)
{
    const QString key = name.trimmed().toUpper();
    const formula::CatalogEntry *entry = formula::catalogEntry(key);
    const formula::KnownName *known = formula::knownName(key);
    // REF and REFV are flagged by their offset, not by name: their definition says when.
    if (known)
        return known->negativeOffsetOnly ? std::nullopt : std::optional<NameClass>(known->cls);
    if (entry)
        return flaggedClass(entry->cls);
    return listed ? std::optional<NameClass>(NameClass::Listed) : std::nullopt;
}

QString functionHelp(const QString &name, bool listed)
{
    const QString key = name.trimmed().toUpper();
    const formula::CatalogEntry *entry = formula::catalogEntry(key);
    const formula::KnownName *known = formula::knownName(key);
    if (!entry && !known && !listed)
        return {};
    const std::optional<NameClass> cls = functionClass(key, listed);
    QStringList lines{key};
    if (cls) {
        const ReportStyle &style = reportStyle(reportKind(*cls));
        const QString tag = QString::fromUtf16(style.tag);
        lines[0] += u" · "_s + classWords(*cls);
        if (*cls != NameClass::Listed && !tag.isEmpty())
            lines[0] += u"："_s + tag;
    }
    if (entry)
        lines << entry->definition;
    if (known && cls)
        lines << known->reason;
    else if (!known && !entry)
        lines << formula::listedReason();
    return lines.join(u'\n');
}

FormulaAssist::FormulaAssist(QPlainTextEdit *code, QPlainTextEdit *result,
                             std::function<QStringList()> listEntries,
                             std::function<void()> showCode, QObject *parent)
    : QObject(parent), m_code(code), m_result(result), m_codeViewport(code->viewport()),
      m_resultViewport(result->viewport()), m_listEntries(std::move(listEntries)),
      m_showCode(std::move(showCode)), m_highlighter(new FormulaHighlighter(code->document()))
{
    code->viewport()->installEventFilter(this);
    result->viewport()->installEventFilter(this);
    // A pause in typing: the whole formula read as a program, for the REF offsets that
    // variables and parameters hide.
    m_reread.setSingleShot(true);
    m_reread.setInterval(300);
    connect(code->document(), &QTextDocument::contentsChanged, &m_reread,
            qOverload<>(&QTimer::start));
    connect(&m_reread, &QTimer::timeout, this, [this] { followOffsets(); });
}

void FormulaAssist::followOffsets()
{
    if (m_code->document()->characterCount() > FormulaHighlighter::kMaxCharacters)
        return;
    const formula::PreciseResult &p = precise(m_code->toPlainText());
    std::vector<qsizetype> future;
    std::vector<qsizetype> unsure;
    for (const formula::FoundName &f : p.found) {
        if (formula::knownName(f.name) && formula::knownName(f.name)->negativeOffsetOnly) {
            for (const formula::NameOccurrence &o : f.occurrences)
                future.push_back(o.offset);
        }
    }
    for (const formula::FoundName &d : p.doubts) {
        if (d.cls != NameClass::Unsure)
            continue;
        for (const formula::NameOccurrence &o : d.occurrences)
            unsure.push_back(o.offset);
    }
    std::sort(future.begin(), future.end());
    std::sort(unsure.begin(), unsure.end());
    m_highlighter->setReadOffsets(std::move(future), std::move(unsure));
}

const formula::PreciseResult &FormulaAssist::precise(const QString &text)
{
    // The list too: 刷新 may change it while the formula stays.
    QStringList entries = m_listEntries ? m_listEntries() : QStringList();
    if (!m_precise || text != m_preciseText || entries != m_preciseList) {
        m_precise = formula::preciseCheck(text, entries);
        m_preciseText = text;
        m_preciseList = std::move(entries);
    }
    return *m_precise;
}

const WindowReport &FormulaAssist::check(const QString &formula, const FunctionMatcher &matcher,
                                         const LocalClock &clock)
{
    // Checked again unchanged, as after a look at the code: the cycle goes on.
    if (formula != m_checked)
        m_nextOccurrence.clear();
    m_checked = formula;
    const QList<bool> present = matcher.present(formula);
    QStringList plainHits;
    for (qsizetype i = 0; i < present.size(); ++i) {
        if (present[i])
            plainHits << matcher.entries()[i];
    }
    m_report = buildWindowReport(formula, precise(formula), plainHits, clock);
    showWindowReport(m_result, m_report);
    return m_report;
}

QString FormulaAssist::codeToolTip(QPoint viewportPos) const
{
    const QTextCursor cursor = m_code->cursorForPosition(viewportPos);
    const QTextBlock block = cursor.block();
    const int previous = block.previous().isValid() ? block.previous().userState() : -1;
    std::vector<formula::Token> tokens;
    formula::lexLine(block.text(),
                     previous < 0 ? formula::LexState::Normal
                                  : static_cast<formula::LexState>(previous),
                     &tokens);
    const qsizetype at = cursor.positionInBlock();
    for (const formula::Token &t : tokens) {
        if (at < t.offset || at > t.end() || t.length == 0)
            continue;
        if (t.kind != formula::TokenKind::Name && t.kind != formula::TokenKind::Period)
            continue;
        const QString word = block.text().sliced(t.offset, t.length).toUpper();
        const QStringList entries = m_listEntries ? m_listEntries() : QStringList();
        const bool listed = std::any_of(entries.begin(), entries.end(), [&](const QString &e) {
            return e.trimmed().toUpper() == word;
        });
        return functionHelp(word, listed);
    }
    return {};
}

const ReportLine *FormulaAssist::lineAt(QPoint resultViewportPos) const
{
    const int block = m_result->cursorForPosition(resultViewportPos).blockNumber();
    if (block < 0 || static_cast<size_t>(block) >= m_report.lines.size())
        return nullptr;
    return &m_report.lines[static_cast<size_t>(block)];
}

QString FormulaAssist::resultToolTip(QPoint viewportPos)
{
    const ReportLine *line = lineAt(viewportPos);
    return line ? line->toolTip : QString();
}

bool FormulaAssist::selectNextOccurrence(QPoint resultViewportPos)
{
    const ReportLine *line = lineAt(resultViewportPos);
    if (!line || line->places.empty())
        return false;
    if (m_showCode)
        m_showCode();
    const QString key = QString::number(static_cast<int>(line->kind)) + line->name +
                        (line->name.isEmpty() ? line->text : QString());
    qsizetype &next = m_nextOccurrence[key];
    const auto [offset, length] = line->places[static_cast<size_t>(next) % line->places.size()];
    ++next;
    const int size = m_code->document()->characterCount() - 1;
    QTextCursor cursor(m_code->document());
    cursor.setPosition(std::min(static_cast<int>(offset), size));
    cursor.setPosition(std::min(static_cast<int>(offset + length), size), QTextCursor::KeepAnchor);
    m_code->setTextCursor(cursor);
    // Mid-box, with lines above and below it, rather than on the bottom edge.
    m_code->centerCursor();
    m_code->setFocus(Qt::OtherFocusReason);
    return true;
}

bool FormulaAssist::eventFilter(QObject *watched, QEvent *event)
{
    const bool code = watched == m_codeViewport;
    if (!code && watched != m_resultViewport)
        return false;
    if (event->type() == QEvent::ToolTip) {
        auto *help = static_cast<QHelpEvent *>(event);
        const QString tip = code ? codeToolTip(help->pos()) : resultToolTip(help->pos());
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, static_cast<QWidget *>(watched));
        return true;
    }
    if (!code && event->type() == QEvent::MouseButtonDblClick) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        return selectNextOccurrence(mouse->position().toPoint()) ||
               lineAt(mouse->position().toPoint()) != nullptr;
    }
    return false;
}

} // namespace morvane
