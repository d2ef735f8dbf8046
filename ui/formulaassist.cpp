#include "formulaassist.h"

#include "formulahighlighter.h"
#include "knowledge.h"
#include "lexer.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QToolTip>

using namespace Qt::StringLiterals;

namespace morvane {

using formula::NameClass;

namespace {

QString classWords(NameClass cls)
{
    switch (cls) {
    case NameClass::Future:
        return u"未来函数"_s;
    case NameClass::Drift:
        return u"数据漂移"_s;
    case NameClass::LastBar:
        return u"末根K线提示"_s;
    case NameClass::Listed:
        break;
    }
    return u"列表中的名字"_s;
}

QString place(int line, int column)
{
    return u"第 %1 行第 %2 列"_s.arg(QString::number(line), QString::number(column));
}

// The whole name around a position: what PEAK stood inside when it did not count.
QString enclosingName(const QString &text, qsizetype offset, qsizetype length)
{
    qsizetype begin = offset;
    qsizetype end = offset + length;
    while (begin > 0 && formula::isNameChar(text[begin - 1].unicode()))
        --begin;
    while (end < text.size() && formula::isNameChar(text[end].unicode()))
        ++end;
    return text.sliced(begin, end - begin).toUpper();
}

const formula::FoundName *findFound(const formula::PreciseResult &p, const QString &upper)
{
    for (const formula::FoundName &f : p.found) {
        if (f.name == upper)
            return &f;
    }
    return nullptr;
}

} // namespace

FormulaAssist::FormulaAssist(QPlainTextEdit *code, QPlainTextEdit *result,
                             std::function<QStringList()> listEntries,
                             std::function<void()> showCode, QObject *parent)
    : QObject(parent), m_code(code), m_result(result), m_codeViewport(code->viewport()),
      m_resultViewport(result->viewport()), m_listEntries(std::move(listEntries)),
      m_showCode(std::move(showCode)), m_highlighter(new FormulaHighlighter(code->document()))
{
    code->viewport()->installEventFilter(this);
    result->viewport()->installEventFilter(this);
}

const formula::PreciseResult &FormulaAssist::precise(const QString &text)
{
    if (!m_precise || text != m_preciseText) {
        m_precise = formula::preciseCheck(text, m_listEntries ? m_listEntries() : QStringList());
        m_preciseText = text;
    }
    return *m_precise;
}

CheckReport FormulaAssist::mend(CheckReport report, const QString &formula)
{
    m_checked = formula;
    m_nextOccurrence.clear();
    if (report.found)
        return report; // the precise reading waits until somebody asks for it
    QString lines;
    for (const formula::FoundName &f : precise(formula).found) {
        if (f.cls == NameClass::Future || f.cls == NameClass::Drift)
            lines += hitLine(f.name);
    }
    if (!lines.isEmpty()) {
        report.text = lines;
        report.found = true;
    }
    return report;
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
        const formula::KnownName *known = formula::knownName(word);
        if (!known && t.kind == formula::TokenKind::Period)
            known = formula::knownName(u"#WEEK"_s); // every period suffix drifts alike
        if (!known || known->negativeOffsetOnly)
            return {};
        return word + u" · "_s + classWords(known->cls) + u'\n' + known->reason;
    }
    return {};
}

QString FormulaAssist::hitNameAt(QPoint resultViewportPos) const
{
    const QString line = m_result->cursorForPosition(resultViewportPos).block().text();
    const QString prefix = QString::fromUtf16(kHitPrefix);
    return line.startsWith(prefix) ? line.sliced(prefix.size()) : QString();
}

QString FormulaAssist::explain(const QString &entry)
{
    const QString upper = entry.toUpper();
    const formula::PreciseResult &p = precise(m_checked);
    if (const formula::FoundName *f = findFound(p, upper)) {
        QStringList places;
        for (const formula::NameOccurrence &o : f->occurrences) {
            if (places.size() == 5) {
                places << u"共 %1 处"_s.arg(f->occurrences.size());
                break;
            }
            places << place(o.line, o.column);
        }
        return classWords(f->cls) + u"："_s + f->reason + u"\n位置："_s + places.join(u"、"_s);
    }
    QStringList where; // "注释中", "PEAKBARS 之内"...
    for (const formula::IgnoredName &i : p.ignored) {
        if (i.name.toUpper() != upper)
            continue;
        QString what;
        switch (i.why) {
        case formula::IgnoreWhy::Comment:
            what = u"注释中"_s;
            break;
        case formula::IgnoreWhy::Text:
            what = u"引号内的文字中"_s;
            break;
        case formula::IgnoreWhy::Identifier:
            what = enclosingName(m_checked, i.offset, i.length) + u" 之内"_s;
            break;
        case formula::IgnoreWhy::Defined:
            what = u"公式自己定义的变量中"_s;
            break;
        }
        if (!where.contains(what))
            where << what;
    }
    if (!where.isEmpty()) {
        // A name after the Chinese reads better with a space, as "只出现在 PEAKBARS 之内".
        const bool name = where.first().front().unicode() < 0x80;
        return u"只出现在"_s + (name ? u" "_s : QString()) + where.join(u"、"_s);
    }
    return u"只是按文字找到，公式里没有调用这个名字"_s;
}

QString FormulaAssist::resultToolTip(QPoint viewportPos)
{
    const QString name = hitNameAt(viewportPos);
    return name.isEmpty() ? QString() : explain(name);
}

bool FormulaAssist::selectNextOccurrence(QPoint resultViewportPos)
{
    const QString name = hitNameAt(resultViewportPos);
    if (name.isEmpty())
        return false;
    const QString text = m_code->toPlainText();
    const QString upper = name.toUpper();
    // Where it counts; else where it stands without counting; else the plain text.
    QList<std::pair<qsizetype, qsizetype>> places;
    const formula::PreciseResult &p = precise(text);
    if (const formula::FoundName *f = findFound(p, upper)) {
        for (const formula::NameOccurrence &o : f->occurrences)
            places.append({o.offset, o.length});
    } else {
        for (const formula::IgnoredName &i : p.ignored) {
            if (i.name.toUpper() == upper)
                places.append({i.offset, i.length});
        }
    }
    if (places.isEmpty()) {
        for (qsizetype at = text.indexOf(name, 0, Qt::CaseInsensitive); at >= 0;
             at = text.indexOf(name, at + 1, Qt::CaseInsensitive))
            places.append({at, name.size()});
    }
    if (m_showCode)
        m_showCode();
    if (places.isEmpty())
        return false;
    qsizetype &next = m_nextOccurrence[upper];
    const auto [offset, length] = places[next % places.size()];
    ++next;
    QTextCursor cursor(m_code->document());
    cursor.setPosition(static_cast<int>(offset));
    cursor.setPosition(static_cast<int>(offset + length), QTextCursor::KeepAnchor);
    m_code->setTextCursor(cursor);
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
               !hitNameAt(mouse->position().toPoint()).isEmpty();
    }
    return false;
}

} // namespace morvane
