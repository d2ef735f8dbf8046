#include "replayoutput.h"

#include "commandio.h"
#include "encoding.h"
#include "options.h"
#include "parser.h"
#include "replayset.h"
#include "replaytext.h"
#include "replaywords.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

using namespace Qt::StringLiterals;

namespace morvane {

using namespace formula;

namespace {

QString date(const QDate &d)
{
    return d.toString(Qt::ISODate);
}

QJsonValue jsonNumber(double x)
{
    return std::isfinite(x) ? QJsonValue(x) : QJsonValue(QJsonValue::Null);
}

// The whole input, bounded as in every mode.
bool readInput(const QString &name, QIODevice &in, QByteArray *bytes, QString *error)
{
    std::unique_ptr<QFile> file;
    QIODevice *source = openInput(name, in, &file, error);
    if (!source)
        return false;
    switch (readWhole(*source, bytes, error)) {
    case InputStatus::Ok:
        return true;
    case InputStatus::TooLarge:
        *error = tooLargeText();
        break;
    case InputStatus::ReadFailed:
        break;
    }
    bytes->clear();
    return false;
}

QLatin1StringView unchangingWhy(Unchanging u)
{
    return u == Unchanging::NeverSignals ? "never signals on these bars"_L1
                                         : "never changes on these bars"_L1;
}

QJsonArray paramsJson(const std::vector<ParamUse> &params)
{
    QJsonArray array;
    for (const ParamUse &p : params)
        array.append(
            QJsonObject{{u"name"_s, p.name}, {u"value"_s, p.value}, {u"assumed"_s, p.assumed}});
    return array;
}

QJsonObject rewriteJson(const Rewrite &first)
{
    return QJsonObject{{u"date"_s, date(first.date)},
                       {u"cutDate"_s, date(first.cutDate)},
                       {u"channel"_s, first.channel},
                       {u"before"_s, jsonNumber(first.before)},
                       {u"after"_s, jsonNumber(first.after)}};
}

QJsonObject outcomeJson(const SignalOutcome &o)
{
    return QJsonObject{{u"signals"_s, o.count},
                       {u"withOutcome"_s, o.withOutcome},
                       {u"wins"_s, o.wins},
                       {u"meanReturn"_s, jsonNumber(o.meanReturn())}};
}

QJsonObject scorecardJson(int horizon, const SignalOutcome &hindsight, const SignalOutcome &live,
                          qsizetype vanished, qsizetype late, qsizetype lateMedian,
                          qsizetype lateMax, bool complete)
{
    QJsonObject card{{u"horizon"_s, horizon},
                     {u"hindsight"_s, outcomeJson(hindsight)},
                     {u"live"_s, outcomeJson(live)},
                     {u"vanished"_s, vanished},
                     {u"late"_s, late},
                     {u"complete"_s, complete}};
    if (late > 0)
        card.insert(u"lateBars"_s, QJsonObject{{u"median"_s, lateMedian}, {u"max"_s, lateMax}});
    return card;
}

QJsonObject scorecardJson(const Scorecard &s)
{
    return scorecardJson(s.horizon, s.hindsight, s.live, qsizetype(s.vanished.size()),
                         qsizetype(s.late.size()), s.lateMedian(), s.lateMax(), s.complete);
}

} // namespace

QStringList replayLines(const ReplayReport &report, const QString &source)
{
    return replayReportLines(report, source);
}

QJsonValue finalDelayJson(const FinalDelay &d)
{
    return QJsonObject{
        {u"median"_s, d.median()}, {u"p90"_s, d.p90()}, {u"max"_s, d.max()}, {u"open"_s, d.open}};
}

QJsonObject replayJson(const ReplayReport &report)
{
    QJsonArray outputs;
    for (const OutputReplay &o : report.outputs) {
        const bool checked = o.checked && !cutless(report) && !o.untested();
        QJsonObject item{{u"name"_s, o.line.name},     {u"label"_s, outputLabel(o.line)},
                         {u"line"_s, o.line.pos.line}, {u"column"_s, o.line.pos.column},
                         {u"checked"_s, checked},      {u"rewritesHistory"_s, o.rewrites()}};
        if (!o.line.drawing.isEmpty())
            item.insert(u"drawing"_s, o.line.drawing);
        if (o.checked && cutless(report))
            item.insert(u"why"_s, u"no cut: only %1 bars"_s.arg(report.bars));
        else if (o.untested())
            item.insert(u"why"_s, QString(unchangingWhy(o.unchanging)));
        if (!o.checked) {
            item.insert(u"why"_s, u"cannot evaluate: "_s + o.line.missing.join(u", "_s));
            item.insert(u"missing"_s, QJsonArray::fromStringList(o.line.missing));
        }
        if (o.rewrites()) {
            item.insert(u"cutsRewritten"_s, o.cutsRewritten);
            item.insert(u"farthestBack"_s, o.farthestBack);
            item.insert(u"first"_s, rewriteJson(o.first));
        }
        if (o.scorecard && o.checked && !cutless(report))
            item.insert(u"scorecard"_s, scorecardJson(*o.scorecard));
        // null where every bar could not be a cut or the tallies ran out of room
        if (o.checked && !cutless(report))
            item.insert(u"finalDelay"_s,
                        o.finalDelay ? finalDelayJson(*o.finalDelay) : QJsonValue());
        outputs.append(item);
    }
    return QJsonObject{{u"bars"_s, report.bars},
                       {u"cuts"_s, qint64(report.cuts.size())},
                       {u"rewritesHistory"_s, report.anyRewrites()},
                       {u"checked"_s, report.allChecked() && !cutless(report)},
                       {u"outputs"_s, outputs},
                       {u"missing"_s, QJsonArray::fromStringList(report.missing)},
                       {u"params"_s, paramsJson(report.params)}};
}

namespace {

QString sourceJson(const ReplayUniverse &u)
{
    return u.kind == ReplayUniverse::Kind::Builtin ? u"builtin"_s : universeWords(u);
}

QString whyTallyJson(const OutputTally &t)
{
    QStringList why;
    if (!t.missing.isEmpty())
        why << u"cannot evaluate: "_s + t.missing.join(u", "_s);
    if (t.cutlessOn > 0)
        why << u"no cut on %1 securities of one bar"_s.arg(t.cutlessOn);
    if (t.neverSignalsOn > 0)
        why << u"never signals on %1 securities"_s.arg(t.neverSignalsOn);
    if (t.constantOn > 0)
        why << u"never changes on %1 securities"_s.arg(t.constantOn);
    return why.join(u"; "_s);
}

QJsonObject tallyJson(const OutputTally &t, const OutputLine &line, const ReplaySetResult &run,
                      const ReplayUniverse &u)
{
    const bool checked = t.checkedOn == run.replayed && run.replayed > 0;
    QJsonObject item{{u"name"_s, line.name},
                     {u"label"_s, outputLabel(line)},
                     {u"line"_s, line.pos.line},
                     {u"column"_s, line.pos.column},
                     {u"checked"_s, checked},
                     {u"checkedOn"_s, t.checkedOn},
                     {u"rewritesHistory"_s, t.rewritesOn > 0},
                     {u"securitiesRewritten"_s, t.rewritesOn}};
    if (!line.drawing.isEmpty())
        item.insert(u"drawing"_s, line.drawing);
    if (!checked) {
        item.insert(u"why"_s, whyTallyJson(t));
        item.insert(u"missing"_s, QJsonArray::fromStringList(t.missing));
        item.insert(u"cutlessOn"_s, t.cutlessOn);
    }
    if (t.rewritesOn > 0) {
        const OutputReplay &w = t.worst;
        QJsonObject worst = rewriteJson(w.first);
        worst.insert(u"security"_s, worstSecurityWords(t, u));
        worst.insert(u"source"_s, worstSourceWords(t, u));
        worst.insert(u"cutsRewritten"_s, w.cutsRewritten);
        worst.insert(u"cuts"_s, t.worstCuts);
        worst.insert(u"farthestBack"_s, w.farthestBack);
        item.insert(u"worst"_s, worst);
    }
    if (t.scorecard) {
        const ScorecardSum &sum = *t.scorecard;
        QJsonObject card = scorecardJson(sum.horizon, sum.hindsight, sum.live, sum.vanished,
                                         sum.late, sum.lateMedian(), sum.lateMax(), sum.complete);
        card.insert(u"securities"_s, sum.securities);
        QJsonArray most;
        for (const OutputTally::Overstated &o : t.mostOverstated)
            most.append(QJsonObject{{u"code"_s, o.code},
                                    {u"name"_s, o.name},
                                    {u"file"_s, o.file},
                                    {u"overstatement"_s, jsonNumber(o.by)},
                                    {u"hindsight"_s, outcomeJson(o.hindsight)},
                                    {u"live"_s, outcomeJson(o.live)}});
        card.insert(u"worst"_s, most);
        item.insert(u"scorecard"_s, card);
    }
    if (t.checkedOn > 0) {
        // Summed over the securities that tallied it; those that could not are counted.
        QJsonValue delay = t.finalDelay ? finalDelayJson(*t.finalDelay) : QJsonValue();
        if (t.finalDelay) {
            QJsonObject o = delay.toObject();
            o.insert(u"securities"_s, t.finalDelayOn);
            o.insert(u"untalliedOn"_s, t.finalDelayMissingOn);
            delay = o;
        }
        item.insert(u"finalDelay"_s, delay);
    }
    return item;
}

QJsonObject aggregateJson(const ReplaySetResult &run, const ReplayUniverse &u)
{
    QJsonArray outputs;
    for (std::size_t k = 0; k < run.outputs.size(); ++k)
        outputs.append(tallyJson(run.tallies[k], run.outputs[k], run, u));
    QStringList skipped;
    for (const SecurityResult &r : run.refused)
        skipped << barsProblemWords(r.file, r.refusal, kMaxInput);
    return QJsonObject{{u"source"_s, sourceJson(u)},
                       {u"securities"_s, run.replayed},
                       {u"skipped"_s, qint64(run.refused.size())},
                       {u"skippedFiles"_s, QJsonArray::fromStringList(skipped)},
                       {u"rewritesHistory"_s, run.anyRewrites()},
                       {u"outputs"_s, outputs},
                       {u"missing"_s, QJsonArray::fromStringList(run.missing)},
                       {u"params"_s, paramsJson(run.params)}};
}

// The securities --bars names; false when there are none to be had, having said why.
bool universeFor(const Options &options, QIODevice &in, const Fail &fail, ReplayUniverse *u)
{
    if (options.bars.isEmpty()) {
        *u = ReplayUniverse::builtin();
        return true;
    }
    if (options.bars == u"-"_s) { // read once, for every formula
        QByteArray bytes;
        QString error;
        if (!readInput(options.bars, in, &bytes, &error)) {
            fail(u"标准输入："_s + error);
            return false;
        }
        BarsFileRead read = readBarsBytes(bytes, u"-"_s);
        if (!read.ok()) {
            fail(barsProblemWords(u"标准输入"_s, read, kMaxInput));
            return false;
        }
        *u = ReplayUniverse::ofBars({read.code, read.name, u"-"_s, std::move(read.bars)});
        return true;
    }
    if (!QFileInfo(options.bars).isDir()) {
        *u = ReplayUniverse::ofFile(options.bars);
        return true;
    }
    *u = ReplayUniverse::ofFolder(options.bars);
    if (u->files.empty()) {
        fail(options.bars + u"：文件夹中没有行情文件（*.day、*.csv、*.txt）"_s);
        return false;
    }
    return true;
}

// One formula over every security, with a progress bar on a terminal: per cut for one
// security, else per security. Each refused file is said once, in order, after the bar.
ReplaySetResult replayFormula(const Program &program, const ReplayUniverse &u,
                              const Options &options, QIODevice &err, const Fail &fail)
{
    const qsizetype count = u.size();
    ReplaySetOptions set;
    set.replay.params = options.params;
    set.replay.horizon = options.horizon;
    set.maxBytes = kMaxInput;
    set.keepReports = count == 1;
    ReplaySetResult run;
    {
        const bool terminal = isTerminal(err);
        ProgressBar bar(err, count > 1 ? u"回放证券"_s : u"回放截断点"_s);
        const auto show = [&bar](qsizetype done, qsizetype total) {
            bar.show(done, total);
            return true;
        };
        if (terminal)
            (count == 1 ? set.replay.progress : set.progress) = show;
        run = replaySet(program, u, set);
    }
    for (const SecurityResult &r : run.refused)
        fail(barsProblemWords(r.file, r.refusal, kMaxInput));
    return run;
}

// Checked through: every output on every security, no file skipped, no syntax problem.
bool checkedThrough(const ReplaySetResult &run, const Program &program)
{
    return run.allChecked() && program.notes.empty();
}

QString whyNotChecked(const ReplaySetResult &run, const Program &program)
{
    const bool cutlessAll =
        !run.tallies.empty() &&
        std::all_of(run.tallies.begin(), run.tallies.end(),
                    [](const OutputTally &t) { return t.cutlessOn > 0 && t.checkedOn == 0; });
    return run.outputs.empty()      ? u"no outputs"_s
           : !program.notes.empty() ? u"syntax errors"_s
           : !run.refused.empty()   ? u"bars files skipped"_s
           : cutlessAll             ? u"too few bars"_s
                                    : u"outputs not checked"_s;
}

QJsonObject formulaJson(const QString &name, const Program &program, const ReplaySetResult &run,
                        const ReplayUniverse &u)
{
    const bool one = u.size() == 1;
    QJsonObject item = one ? replayJson(run.securities.front().report) : aggregateJson(run, u);
    item.insert(u"file"_s, name);
    item.insert(u"syntaxNotes"_s, qint64(program.notes.size()));
    const bool checked = checkedThrough(run, program);
    item.insert(u"checked"_s, checked);
    if (one)
        item.insert(u"source"_s, sourceJson(u));
    if (!checked)
        item.insert(u"why"_s, whyNotChecked(run, program));
    return item;
}

QStringList formulaLines(const Program &program, const ReplaySetResult &run,
                         const ReplayUniverse &u)
{
    QStringList lines = u.size() == 1 ? replayLines(run.securities.front().report, universeWords(u))
                                      : replaySetLines(run, u);
    if (run.outputs.empty())
        lines.prepend(u"没有输出，无从检验"_s);
    if (!program.notes.empty())
        lines << u"语法问题 %1 处，其语句未参与回放"_s.arg(program.notes.size());
    return lines;
}

} // namespace

int runReplayCommand(const Options &options, QIODevice &in, QIODevice &out, QIODevice &err)
{
    Writer stdErr(err);
    const Fail fail = [&stdErr](const QString &message) {
        stdErr << QString::fromLatin1(kProgram) + u": "_s + message + u'\n';
        stdErr.flush();
    };
    ReplayUniverse universe;
    if (!universeFor(options, in, fail, &universe))
        return kReplayFailed;
    const bool several = options.inputs.size() > 1;
    bool rewrites = false, failed = false, unchecked = false;
    QJsonArray results;
    Writer stdOut(out);
    for (const QString &name : options.inputs) {
        QByteArray bytes;
        QString error;
        if (!readInput(name, in, &bytes, &error)) {
            fail(name + u"："_s + error);
            failed = true;
            continue;
        }
        const Program program = parse(decodeUserText(std::exchange(bytes, {})));
        const ReplaySetResult run = replayFormula(program, universe, options, err, fail);
        if (run.replayed == 0) { // no security could be read: nothing ran
            failed = true;
            continue;
        }
        for (auto it = options.params.begin(); it != options.params.end(); ++it)
            if (std::none_of(run.params.begin(), run.params.end(),
                             [&](const ParamUse &p) { return p.name == it.key(); }))
                fail(name + u"：公式没有用到参数 "_s + it.key() + u"，--param 被忽略"_s);
        rewrites = rewrites || run.anyRewrites();
        unchecked = unchecked || !checkedThrough(run, program);
        if (options.json) {
            results.append(formulaJson(name, program, run, universe));
            continue;
        }
        for (const QString &line : formulaLines(program, run, universe))
            stdOut << (several ? name + u": "_s : QString()) + line + u'\n';
    }
    if (options.json)
        stdOut << QString::fromUtf8(QJsonDocument(results).toJson(QJsonDocument::Indented));
    if (!stdOut.flush()) {
        fail(u"无法写出结果："_s + stdOut.errorString());
        return kReplayFailed;
    }
    if (failed)
        return kReplayFailed;
    return rewrites ? kReplayRewrites : unchecked ? kReplayUnchecked : kReplayStable;
}

} // namespace morvane
