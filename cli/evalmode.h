#pragma once

#include "eval.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class QIODevice;

namespace morvane {

// The CSV of an evaluation: the date, then one column per output channel headed by the
// output's name; empty where there is no value; numbers in the shortest form that reads
// back to the same double. Outputs that could not be evaluated have no column. UTF-8.
QByteArray evalCsv(const formula::Bars &bars, const formula::Evaluation &ev);

// morvane-check --eval: runs one formula on the bars (barsFile, else the built-in history)
// and prints every output at every bar as CSV. What could not be evaluated and the assumed
// parameters go to standard error. Returns 0 when every output was printed, 1 when some
// could not be evaluated, 2 when nothing could be run. `finalAt`: after each output a column
// of the dates from which its values stood (定型于), the formula replayed at every bar; 1 when
// that replay could not take every bar.
int runEvalCommand(const QString &file, const QString &barsFile,
                   const QMap<QString, double> &params, bool finalAt, QIODevice &in, QIODevice &out,
                   QIODevice &err);

} // namespace morvane
