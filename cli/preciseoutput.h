#pragma once

#include "options.h"
#include "precise.h"

#include <QJsonObject>
#include <QString>

#include <utility>
#include <vector>

namespace morvane {

// The class in the words of the human output: 未来, 漂移, 末根提示, 列表, 偏移可能为负, 未检查.
QString classWordChinese(formula::NameClass cls);

// morvane-check --precise: the headline when nothing counts (clean, or what could not be
// checked), one line per name that counts, in order of first use, with its class word and
// reason; then a line for each doubt and each syntax problem.
QString preciseReportLines(const formula::PreciseResult &result);

// --precise --positions: FILE:LINE:COL: 发现未来函数 NAME for every place a name counts, and
// the places of doubts and syntax problems among them.
QString precisePositionLines(const QString &file, const formula::PreciseResult &result);

// --precise --json: {file, found, ignored, notes, verdict}, as a tree.
QJsonObject preciseJson(const QString &file, const formula::PreciseResult &result);

// The same for several inputs, as --precise --json writes it: streamed, never as a tree;
// byte for byte what QJsonDocument::Indented makes of an array of preciseJson().
QString preciseJsonText(const std::vector<std::pair<QString, formula::PreciseResult>> &results);

// Exit status 1 when anything counts, warnings of the last bar included.
inline bool preciseFound(const formula::PreciseResult &result)
{
    return !result.found.empty();
}

// --precise: each input read whole and analysed as a program; the exit status: 1 when
// anything counts, else 3 when anything could not be checked, else 0; 2 when an input fails.
int runPrecise(const Options &options, const QStringList &entries, QIODevice &in, Writer &out,
               const Fail &fail);

} // namespace morvane
