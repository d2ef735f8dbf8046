#pragma once

#include "check.h"
#include "precise.h"

#include <QHash>
#include <QObject>
#include <QPoint>
#include <QStringList>

#include <functional>
#include <optional>

class QPlainTextEdit;

namespace morvane {

class FormulaHighlighter;

// What the window adds to the plain check by reading the formula as a program: colours
// while typing, the reason for each name under the pointer, the way from a hit line back
// to the name in the code, and a report that no longer calls a formula clean when the
// list missed a future function it really calls.
class FormulaAssist : public QObject
{
public:
    FormulaAssist(QPlainTextEdit *code, QPlainTextEdit *result,
                  std::function<QStringList()> listEntries, std::function<void()> showCode,
                  QObject *parent);

    FormulaHighlighter *highlighter() const { return m_highlighter; }

    // The check's report for `formula`, which the result page will show. Where the list
    // found nothing but the formula calls a future or drift name, one hit line for each.
    CheckReport mend(CheckReport report, const QString &formula);

    // What the pointer rests on: a name in the code, a hit line in the report ("" = none).
    QString codeToolTip(QPoint viewportPos) const;
    QString resultToolTip(QPoint viewportPos);

    // Double-click on a hit line: the code page, with the name's next occurrence selected.
    bool selectNextOccurrence(QPoint resultViewportPos);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    const formula::PreciseResult &precise(const QString &text);
    QString hitNameAt(QPoint resultViewportPos) const;
    QString explain(const QString &entry);

    QPlainTextEdit *m_code;
    QPlainTextEdit *m_result;
    // Compared by address alone: events still arrive while the editors are being destroyed.
    const QObject *m_codeViewport;
    const QObject *m_resultViewport;
    std::function<QStringList()> m_listEntries;
    std::function<void()> m_showCode;
    FormulaHighlighter *m_highlighter;
    QString m_checked; // the formula the report is about
    QString m_preciseText;
    std::optional<formula::PreciseResult> m_precise; // of m_preciseText, made when first needed
    QHash<QString, qsizetype> m_nextOccurrence;
};

} // namespace morvane
