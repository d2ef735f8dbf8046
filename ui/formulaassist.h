#pragma once

#include "check.h"
#include "precise.h"
#include "windowreport.h"

#include <QHash>
#include <QObject>
#include <QPoint>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <optional>

class QPlainTextEdit;

namespace morvane {

class FormulaHighlighter;
class FunctionMatcher;

// The help for a name of the language, for tooltips: the name and, where it reads later bars,
// drifts or redraws, that class in Chinese; then its one-line definition and why a flagged name
// is flagged. A list.txt entry neither table knows is told as such when `listed`; other
// unknown names get "".
// The class a name is flagged with (a list entry nobody knows is Listed), or none.
std::optional<formula::NameClass> functionClass(const QString &name, bool listed);

QString functionHelp(const QString &name, bool listed = false);

// What the window adds to the plain check by reading the formula as a program: colours
// while typing, the reason for each name under the pointer, the report of the precise
// reading and the way from one of its lines back to the name in the code.
class FormulaAssist : public QObject
{
public:
    FormulaAssist(QPlainTextEdit *code, QPlainTextEdit *result,
                  std::function<QStringList()> listEntries, std::function<void()> showCode,
                  QObject *parent);

    FormulaHighlighter *highlighter() const { return m_highlighter; }

    // Checks `formula` and shows the report in the result box; `matcher` is the list's
    // plain search, whose names that do not count get a grey line each.
    const WindowReport &check(const QString &formula, const FunctionMatcher &matcher,
                              const LocalClock &clock);
    const WindowReport &report() const { return m_report; }

    // What the pointer rests on: a name in the code, a hit line in the report ("" = none).
    QString codeToolTip(QPoint viewportPos) const;
    QString resultToolTip(QPoint viewportPos);

    // Double-click on a report line: the code page, with the name's next occurrence selected
    // (the first again after the last).
    bool selectNextOccurrence(QPoint resultViewportPos);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    const formula::PreciseResult &precise(const QString &text);
    void followOffsets();
    const ReportLine *lineAt(QPoint resultViewportPos) const;

    QPlainTextEdit *m_code;
    QPlainTextEdit *m_result;
    // Compared by address alone: events still arrive while the editors are being destroyed.
    const QObject *m_codeViewport;
    const QObject *m_resultViewport;
    std::function<QStringList()> m_listEntries;
    std::function<void()> m_showCode;
    FormulaHighlighter *m_highlighter;
    QTimer m_reread;
    WindowReport m_report;
    QString m_checked; // the formula the report is about
    QString m_preciseText;
    QStringList m_preciseList;
    std::optional<formula::PreciseResult> m_precise; // of m_preciseText, made when first needed
    QHash<QString, qsizetype> m_nextOccurrence;
};

} // namespace morvane
