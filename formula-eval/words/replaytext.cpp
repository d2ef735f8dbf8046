#include "replaytext.h"

#include "replaywords.h"

#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

QString number(double x)
{
    return valueWords(x);
}

QString label(const OutputLine &line)
{
    return outputLabel(line);
}

QString whereText(const ReplayUniverse &u)
{
    return universeWords(u);
}

QString date(const QDate &d)
{
    return d.toString(Qt::ISODate);
}

QString sourceNote(const QString &source)
{
    return source.isEmpty() ? QString() : u"（"_s + source + u"）"_s;
}

// What changed and when: "首例 2020-01-10（模拟行情）：截至 2020-01-13 时为 10.878，之后为 空".
QString exampleText(const Rewrite &f, const QString &source)
{
    return u"首例 %1%2：截至 %3 时为 %4，之后为 %5"_s.arg(
        date(f.date), sourceNote(source), date(f.cutDate), number(f.before), number(f.after));
}

// The evaluator's nesting bound is no name that is missing: it is told as what it means.
QString missingWord(const QString &what)
{
    return what == QStringView(kTooDeep) ? tooDeepWords() : what;
}

QString missingList(const QStringList &missing)
{
    QStringList words;
    for (const QString &m : missing)
        words << missingWord(m);
    return words.join(u"、"_s);
}

// "缺 FOO、WINNER", "公式嵌套过深", or both.
QString whyMissing(const QStringList &missing)
{
    QStringList names = missing;
    const bool deep = names.removeAll(QString::fromUtf16(kTooDeep)) > 0;
    QStringList parts;
    if (!names.isEmpty())
        parts << u"缺 "_s + names.join(u"、"_s);
    if (deep)
        parts << tooDeepWords();
    return parts.join(u"；"_s);
}

// "参数假设：N=5，M=10", or nothing when every parameter was given or declared.
void addAssumed(QStringList &lines, const std::vector<ParamUse> &params)
{
    QStringList assumed;
    for (const ParamUse &p : params)
        if (p.assumed)
            assumed << p.name + u'=' + number(p.value);
    if (!assumed.isEmpty())
        lines << u"参数假设："_s + assumed.join(u"，"_s);
}

// Why an output went unchecked on some securities: what was missing, and bars too few.
QString whyTally(const OutputTally &t)
{
    QStringList parts;
    if (const QString missing = whyMissing(t.missing); !missing.isEmpty())
        parts << missing;
    if (t.cutlessOn > 0)
        parts << u"%1 个证券%2"_s.arg(t.cutlessOn).arg(cutlessWords(1));
    if (t.neverSignalsOn > 0)
        parts << unchangingOnWords(Unchanging::NeverSignals, t.neverSignalsOn);
    if (t.constantOn > 0)
        parts << unchangingOnWords(Unchanging::Constant, t.constantOn);
    return parts.join(u"；"_s);
}

QString tallyLine(const OutputTally &t, const QString &name, const ReplaySetResult &run,
                  const ReplayUniverse &u)
{
    if (t.rewritesOn > 0) {
        const OutputReplay &w = t.worst;
        return u"%1：改写历史——在 %2/%3 个证券上；最严重 %4：%5/%6 个截断点，%7；%8"_s.arg(name)
            .arg(t.rewritesOn)
            .arg(run.replayed)
            .arg(worstSecurityWords(t, u))
            .arg(w.cutsRewritten)
            .arg(t.worstCuts)
            .arg(reachWords(w.farthestBack), exampleText(w.first, worstSourceWords(t, u)));
    }
    if (t.checkedOn == 0)
        return u"%1：无法检验（%2）"_s.arg(name, whyTally(t));
    if (t.checkedOn < run.replayed)
        return u"%1：在 %2/%3 个证券上稳定，其余无法检验（%4）"_s.arg(name)
            .arg(t.checkedOn)
            .arg(run.replayed)
            .arg(whyTally(t));
    return u"%1：稳定（%2 个证券，每个至多 %3 个截断点）"_s.arg(name)
        .arg(run.replayed)
        .arg(run.maxCuts);
}
} // namespace

QString valueWords(double x)
{
    return std::isnan(x) ? u"空"_s : QString::number(x, 'g', 10);
}

QString outputLabel(const OutputLine &line)
{
    if (!line.name.isEmpty())
        return line.name;
    const QString where = u"%1:%2"_s.arg(line.pos.line).arg(line.pos.column);
    return line.drawing.isEmpty() ? u"输出 "_s + where : line.drawing + u' ' + where;
}

QString outputTitle(const OutputLine &line, const Program &program)
{
    if (!line.name.isEmpty())
        return line.name;
    if (line.drawing.isEmpty())
        return u"第 %1 行的输出"_s.arg(line.pos.line);
    QString title = u"第 %1 行 %2"_s.arg(line.pos.line).arg(line.drawing);
    const Expr *call =
        line.statement >= 0 && std::size_t(line.statement) < program.statements.size()
            ? program.statements[std::size_t(line.statement)].value.get()
            : nullptr;
    const std::size_t textAt = line.drawing == u"DRAWTEXT_FIX" ? 4 : 2;
    if (call && call->kind == ExprKind::Call && line.drawing.startsWith(u"DRAWTEXT") &&
        textAt < call->args.size() && call->args[textAt]->kind == ExprKind::String) {
        QString words = call->args[textAt]->text.simplified();
        if (words.size() > 12)
            words = words.first(11) + u'…';
        title += u" '%1'"_s.arg(words);
    }
    return title;
}

// Bars too few to cut: an output evaluated on them is checked against nothing.
bool cutless(const ReplayReport &report)
{
    return report.bars > 0 && report.cuts.empty() && !report.cancelled;
}

// Where the bars come from, as the report names it.
QString universeWords(const ReplayUniverse &u)
{
    switch (u.kind) {
    case ReplayUniverse::Kind::Builtin:
        return QString::fromUtf16(kSimulatedBars);
    case ReplayUniverse::Kind::Held:
        return u"标准输入"_s;
    case ReplayUniverse::Kind::File:
    case ReplayUniverse::Kind::Folder:
        break;
    }
    return u.path;
}

// The worst security: its code and name, else its file, else where the bars came from.
QString worstSecurityWords(const OutputTally &t, const ReplayUniverse &u)
{
    if (!t.worstFile.isEmpty())
        return t.worstCode.isEmpty() && t.worstName.isEmpty()
                   ? t.worstFile
                   : QStringList{t.worstCode, t.worstName}.join(u' ').trimmed();
    const QString who = QStringList{t.worstCode, t.worstName}.join(u' ').trimmed();
    return who.isEmpty() ? whereText(u) : who;
}

QString worstSourceWords(const OutputTally &t, const ReplayUniverse &u)
{
    return t.worstFile.isEmpty() ? whereText(u) : t.worstFile;
}

namespace {

QString delayWords(const FinalDelay &d)
{
    QString text =
        u"定型于：一根K线的值，中位 %1 根后不再变，90% 在 %2 根内，最多 %3 根"_s.arg(d.median())
            .arg(d.p90())
            .arg(d.max());
    if (d.open > 0)
        text += u"；另有 %1 个值新K线到来时仍可能变"_s.arg(d.open);
    return text;
}

} // namespace

QString finalDelayWords(const OutputReplay &o, const ReplayReport &report)
{
    if (!report.linear)
        return u"定型于：不能每根K线都截断，未统计"_s;
    if (!o.finalDelay)
        return u"定型于：改写太多，超出统计的内存上限，未统计"_s;
    return delayWords(*o.finalDelay);
}

QStringList replayReportLines(const ReplayReport &report, const QString &source)
{
    QStringList lines;
    for (const OutputReplay &o : report.outputs) {
        const QString name = label(o.line);
        if (!o.checked) {
            lines << u"%1：无法检验（%2）"_s.arg(name, whyMissing(o.line.missing));
        } else if (cutless(report)) {
            lines << u"%1：无法检验（%2）"_s.arg(name, cutlessWords(report.bars));
        } else if (o.untested()) {
            lines << u"%1：无法检验（%2）"_s.arg(name, unchangingWords(o.unchanging));
        } else if (!o.rewrites()) {
            lines << u"%1：稳定（%2 个截断点）"_s.arg(name).arg(report.cuts.size());
        } else {
            lines << u"%1：改写历史——%2/%3 个截断点，%4；%5"_s.arg(name)
                         .arg(o.cutsRewritten)
                         .arg(report.cuts.size())
                         .arg(reachWords(o.farthestBack), exampleText(o.first, source));
        }
        if (o.scorecard && o.checked && !cutless(report))
            lines << u"  "_s + scorecardWords(*o.scorecard);
        if (o.rewrites())
            lines << u"  "_s + finalDelayWords(o, report);
    }
    if (!report.missing.isEmpty())
        lines << u"无法计算："_s + missingList(report.missing);
    addAssumed(lines, report.params);
    return lines;
}

// The many-securities report, one line per output.
QStringList replaySetLines(const ReplaySetResult &run, const ReplayUniverse &u)
{
    QStringList lines;
    QString head = u"行情：%1，%2 个证券"_s.arg(whereText(u)).arg(run.replayed);
    if (!run.refused.empty())
        head += u"，另有 %1 个文件无法读取"_s.arg(run.refused.size());
    lines << head;
    for (std::size_t k = 0; k < run.outputs.size(); ++k) {
        const OutputTally &t = run.tallies[k];
        lines << tallyLine(t, label(run.outputs[k]), run, u);
        if (t.scorecard)
            lines << u"  "_s + scorecardSumWords(*t.scorecard);
        if (t.rewritesOn > 0) {
            QString delay =
                t.finalDelay ? u"%1 个证券合计 "_s.arg(t.finalDelayOn) + delayWords(*t.finalDelay)
                             : u"定型于：%1 个证券都不能每根K线截断或改写太多，未统计"_s.arg(
                                   t.finalDelayMissingOn);
            if (t.finalDelay && t.finalDelayMissingOn > 0)
                delay += u"（另有 %1 个证券不能每根K线截断或改写太多，未统计）"_s.arg(
                    t.finalDelayMissingOn);
            lines << u"  "_s + delay;
        }
        if (!t.mostOverstated.empty())
            lines << u"  "_s + overstatedWords(t.mostOverstated, u);
    }
    if (!run.missing.isEmpty())
        lines << u"无法计算："_s + missingList(run.missing);
    addAssumed(lines, run.params);
    return lines;
}

QString overstatedWords(const std::vector<OutputTally::Overstated> &most, const ReplayUniverse &u)
{
    QStringList who;
    for (const OutputTally::Overstated &o : most) {
        QString name = QStringList{o.code, o.name}.join(u' ').trimmed();
        if (name.isEmpty())
            name = o.file.isEmpty() ? universeWords(u) : o.file;
        who << u"%1（事后平均 %2，当时 %3）"_s.arg(name, returnWords(o.hindsight.meanReturn()),
                                                   returnWords(o.live.meanReturn()));
    }
    return u"历史夸大最多："_s + who.join(u"、"_s);
}

QString scorecardStoryWords(const Scorecard &s)
{
    QString text;
    const qsizetype vanished = qsizetype(s.vanished.size()), late = qsizetype(s.late.size());
    if (s.hindsight.count == 0 && s.live.count == 0)
        text = u"事后与当时都没有信号。"_s;
    else if (s.live.count == 0)
        text = u"事后 %1 个信号，当时一个也没有：全是之后才画上去的（中位迟到 %2 根）。"_s
                   .arg(s.hindsight.count)
                   .arg(s.lateMedian());
    else if (vanished == 0 && late == 0)
        text = u"事后与当时的信号一根不差：历史没有夸大它。"_s;
    else if (vanished > 0)
        text = u"当时发出的 %1 个信号里，%2 个之后消失；事后的 %3 个里，%4 个当时没有。"_s
                   .arg(s.live.count)
                   .arg(vanished)
                   .arg(s.hindsight.count)
                   .arg(late);
    else
        text = u"事后的 %1 个信号里，%2 个当时没有，是之后才出现的（中位迟到 %3 根）。"_s
                   .arg(s.hindsight.count)
                   .arg(late)
                   .arg(s.lateMedian());
    const double gap = overstatement(s.hindsight, s.live);
    if (!s.complete)
        text += u"不是每根K线都截断过，当时的信号并不完整。"_s;
    else if (std::isfinite(gap) && gap > 0)
        text += u"历史把平均收益多算了 %1 个百分点。"_s.arg(QString::number(gap * 100, 'f', 2));
    else if (std::isfinite(gap) && gap < 0)
        text += u"按当时的信号，平均收益反而高 %1 个百分点。"_s.arg(
            QString::number(-gap * 100, 'f', 2));
    return text;
}

QString rateWords(double rate)
{
    return std::isnan(rate) ? u"空"_s : QString::number(rate * 100, 'f', 1) + u'%';
}

QString returnWords(double r)
{
    if (std::isnan(r))
        return u"空"_s;
    return (r > 0 ? u"+"_s : QString()) + QString::number(r * 100, 'f', 2) + u'%';
}

namespace {

QString outcomeWords(const char16_t *when, const SignalOutcome &o, int horizon)
{
    QString text = u"%1 %2 次"_s.arg(QString::fromUtf16(when)).arg(o.count);
    if (o.withOutcome > 0)
        text +=
            u"，胜率 %1，平均收益 %2"_s.arg(rateWords(o.winRate()), returnWords(o.meanReturn()));
    if (o.count > o.withOutcome)
        text += u"（%1 次之后不足 %2 根K线，不计结果）"_s.arg(o.count - o.withOutcome).arg(horizon);
    return text;
}

} // namespace

namespace {

struct Gap
{
    qsizetype vanished = 0, late = 0, lateMedian = -1, lateMax = -1;
};

QString scorecardLine(int horizon, const SignalOutcome &hindsight, const SignalOutcome &live,
                      const Gap &gap, bool complete)
{
    QString text =
        u"信号体检（之后 %1 根）：%2；%3；消失 %4 次；迟到 %5 次"_s.arg(horizon)
            .arg(outcomeWords(u"事后", hindsight, horizon), outcomeWords(u"当时", live, horizon))
            .arg(gap.vanished)
            .arg(gap.late);
    if (gap.late > 0)
        text += u"（中位 %1 根，最多 %2 根后才出现）"_s.arg(gap.lateMedian).arg(gap.lateMax);
    if (!complete)
        text += u"；只在部分K线上截断，当时的信号没有数全"_s;
    return text;
}

} // namespace

QString scorecardWords(const Scorecard &s)
{
    return scorecardLine(
        s.horizon, s.hindsight, s.live,
        {qsizetype(s.vanished.size()), qsizetype(s.late.size()), s.lateMedian(), s.lateMax()},
        s.complete);
}

QString scorecardSumWords(const ScorecardSum &s)
{
    return u"%1 个证券合计 "_s.arg(s.securities) +
           scorecardLine(s.horizon, s.hindsight, s.live,
                         {s.vanished, s.late, s.lateMedian(), s.lateMax()}, s.complete);
}

} // namespace morvane::formula
