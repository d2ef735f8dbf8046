#pragma once

#include "check.h"
#include "precise.h"
#include "reportstyle.h"

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

class QPlainTextEdit;

namespace morvane {

// One line the result page shows. Detail lines belong to the name of the line before.
struct ReportLine
{
    ReportLineKind kind = ReportLineKind::Clean;
    QString text;
    QString name; // upper case; empty for the summary and for syntax lines
    bool detail = false;
    QString toolTip;
    std::vector<std::pair<qsizetype, qsizetype>> places; // offset, length in the formula
};

struct WindowReport
{
    std::vector<ReportLine> lines;
    bool found = false; // something that reads later bars or drifts counts: the report is red
    formula::Verdict verdict = formula::Verdict::Clean;

    // CR LF after every line but a lone summary line, as the check's report.
    QString text() const;
    // The headline of each counted name, in order.
    std::vector<const ReportLine *> counted() const;
};

ReportLineKind reportKind(formula::NameClass cls);

// The report of the precise reading. `plainHits` are the list entries the plain search
// found: those that do not count get a grey line saying why.
WindowReport buildWindowReport(const QString &formula, const formula::PreciseResult &precise,
                               const QStringList &plainHits, const LocalClock &clock);

// Shows the report in `box`, each line in its colour; the box's text colour is the verdict's.
void showWindowReport(QPlainTextEdit *box, const WindowReport &report);

// "第 3 行", "第 3、7 行", "第 3、7、9 行等 14 处": where a name stands, for reading.
QString lineList(const std::vector<int> &lines);

} // namespace morvane
