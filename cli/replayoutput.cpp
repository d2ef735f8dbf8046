#include "replayoutput.h"

#include "builtin.h"
#include "commandio.h"
#include "encoding.h"
#include "options.h"
#include "parser.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>

#include <QMutex>
#include <QThread>

#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <tuple>

using namespace Qt::StringLiterals;

namespace morvane {

using namespace formula;

namespace {

QString number(double x)
{
    return std::isnan(x) ? u"空"_s : QString::number(x, 'g', 10);
}

QJsonValue jsonNumber(double x)
{
    return std::isfinite(x) ? QJsonValue(x) : QJsonValue(QJsonValue::Null);
}

QString label(const OutputLine &line)
{
    if (!line.name.isEmpty())
        return line.name;
    const QString where = u"%1:%2"_s.arg(line.pos.line).arg(line.pos.column);
    return line.drawing.isEmpty() ? u"输出 "_s + where : line.drawing + u' ' + where;
}

QString date(const QDate &d)
{
    return d.toString(Qt::ISODate);
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

// How far back: 0 means the newest bar of a cut, its own value, changed later.
QString reachText(qsizetype back)
{
    return back == 0 ? u"当根即被改写（截断点当天的值事后改变）"_s : u"最远回溯 %1 根"_s.arg(back);
}

// The evaluator's nesting bound is no name that is missing: it is told as what it means.
QString missingWord(const QString &what)
{
    return what == QStringView(kTooDeep) ? u"公式嵌套过深"_s : what;
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
        parts << missingWord(QString::fromUtf16(kTooDeep));
    return parts.join(u"；"_s);
}

QString whyUnchecked(const OutputLine &line)
{
    return whyMissing(line.missing);
}

// Bars too few to cut: an output evaluated on them is checked against nothing.
bool cutless(const ReplayReport &report)
{
    return report.bars > 0 && report.cuts.empty() && !report.cancelled;
}

QString cutlessText(qsizetype bars)
{
    return u"只有 %1 根K线，无法回放"_s.arg(bars);
}

QString unchangingText(Unchanging u)
{
    return u == Unchanging::NeverSignals ? u"这段行情上从未出现信号"_s
                                         : u"这段行情上输出始终不变"_s;
}

QLatin1StringView unchangingWhy(Unchanging u)
{
    return u == Unchanging::NeverSignals ? "never signals on these bars"_L1
                                         : "never changes on these bars"_L1;
}

} // namespace

QStringList replayLines(const ReplayReport &report, const QString &source)
{
    QStringList lines;
    for (const OutputReplay &o : report.outputs) {
        const QString name = label(o.line);
        if (!o.checked) {
            lines << u"%1：无法检验（%2）"_s.arg(name, whyUnchecked(o.line));
        } else if (cutless(report)) {
            lines << u"%1：无法检验（%2）"_s.arg(name, cutlessText(report.bars));
        } else if (o.untested()) {
            lines << u"%1：无法检验（%2）"_s.arg(name, unchangingText(o.unchanging));
        } else if (!o.rewrites()) {
            lines << u"%1：稳定（%2 个截断点）"_s.arg(name).arg(report.cuts.size());
        } else {
            lines << u"%1：改写历史——%2/%3 个截断点，%4；%5"_s.arg(name)
                         .arg(o.cutsRewritten)
                         .arg(report.cuts.size())
                         .arg(reachText(o.farthestBack), exampleText(o.first, source));
        }
    }
    if (!report.missing.isEmpty())
        lines << u"无法计算："_s + missingList(report.missing);
    QStringList assumed;
    for (const ParamUse &p : report.params)
        if (p.assumed)
            assumed << p.name + u'=' + number(p.value);
    if (!assumed.isEmpty())
        lines << u"参数假设："_s + assumed.join(u"，"_s);
    return lines;
}

QJsonObject replayJson(const ReplayReport &report)
{
    QJsonArray outputs;
    for (const OutputReplay &o : report.outputs) {
        const bool checked = o.checked && !cutless(report) && !o.untested();
        QJsonObject item{{u"name"_s, o.line.name},     {u"label"_s, label(o.line)},
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
            item.insert(u"first"_s, QJsonObject{{u"date"_s, date(o.first.date)},
                                                {u"cutDate"_s, date(o.first.cutDate)},
                                                {u"channel"_s, o.first.channel},
                                                {u"before"_s, jsonNumber(o.first.before)},
                                                {u"after"_s, jsonNumber(o.first.after)}});
        }
        outputs.append(item);
    }
    QJsonArray params;
    for (const ParamUse &p : report.params)
        params.append(
            QJsonObject{{u"name"_s, p.name}, {u"value"_s, p.value}, {u"assumed"_s, p.assumed}});
    return QJsonObject{{u"bars"_s, report.bars},
                       {u"cuts"_s, qint64(report.cuts.size())},
                       {u"rewritesHistory"_s, report.anyRewrites()},
                       {u"checked"_s, report.allChecked() && !cutless(report)},
                       {u"outputs"_s, outputs},
                       {u"missing"_s, QJsonArray::fromStringList(report.missing)},
                       {u"params"_s, params}};
}

QString barsProblemText(const QString &file, const BarsRead &read)
{
    BarsFileRead r;
    r.problem = read.problem;
    r.record = read.line;
    r.field = read.column;
    r.kind = BarsFileKind::Csv;
    return barsFileProblemText(file, r);
}

namespace {

// Where the bars come from: the built-in securities, one file, or every file of a folder.
// Files are read only when their turn comes, so memory holds a few securities at a time.
struct Universe
{
    std::vector<Security> held;   // read already: the built-in ones, or standard input's
    bool simulated = false;       // held are the built-in securities
    std::vector<BarsEntry> files; // read when their turn comes
    QString folder;               // set when the files are a folder's

    qsizetype size() const
    {
        return held.empty() ? qsizetype(files.size()) : qsizetype(held.size());
    }
    QString where() const
    {
        return simulated           ? u"模拟行情"_s
               : !folder.isEmpty() ? folder
               : held.empty()      ? (files.empty() ? QString() : files.front().shown)
                                   : u"标准输入"_s;
    }
};

struct Loaded
{
    QString who;    // the security's code and name, else its file
    QString source; // beside the dates: "模拟行情" or the file
    Bars bars;
    QString problem; // the refusal, naming the file and the record; empty when read
};

QString securityName(const Security &s)
{
    return QStringList{s.code, s.name}.join(u' ').trimmed();
}

Loaded load(const Universe &u, qsizetype index)
{
    Loaded l;
    if (!u.held.empty()) {
        const Security &s = u.held[std::size_t(index)];
        l.source = u.where();
        l.who = securityName(s);
        if (l.who.isEmpty())
            l.who = l.source;
        l.bars = s.bars;
        return l;
    }
    const BarsEntry &entry = u.files[std::size_t(index)];
    const QString &file = entry.shown;
    l.source = file;
    l.who = file;
    BarsFileRead read = readBarsEntry(entry, kMaxInput);
    if (!read.ok()) {
        l.problem = barsFileProblemText(file, read);
        return l;
    }
    if (!read.code.isEmpty() || !read.name.isEmpty())
        l.who = QStringList{read.code, read.name}.join(u' ').trimmed();
    l.bars = std::move(read.bars);
    return l;
}

// Per output over many securities: on how many it was checked, on how many it rewrites
// history, and the worst of them (the farthest reach back, then the most cuts, then the
// first in order, so that the answer does not depend on the threads).
struct Tally
{
    int checkedOn = 0;
    int rewritesOn = 0;
    int cutlessOn = 0;      // securities of one bar: nothing to cut, so nothing checked
    int neverSignalsOn = 0; // securities on which it never changed: nothing tested there
    int constantOn = 0;
    QStringList missing;
    qsizetype worstIndex = -1;
    QString worstWho, worstSource;
    OutputReplay worst;
    qsizetype worstCuts = 0;

    void add(const OutputReplay &o, qsizetype index, const Loaded &l, qsizetype cuts)
    {
        if (!o.checked) {
            for (const QString &m : o.line.missing)
                if (!missing.contains(m))
                    missing << m;
            return;
        }
        if (cuts == 0) {
            ++cutlessOn;
            return;
        }
        if (o.untested()) {
            ++(o.unchanging == Unchanging::NeverSignals ? neverSignalsOn : constantOn);
            return;
        }
        ++checkedOn;
        if (!o.rewrites())
            return;
        ++rewritesOn;
        const auto key = [](const OutputReplay &r, qsizetype i) {
            return std::tuple(r.farthestBack, r.cutsRewritten, -i);
        };
        if (worstIndex < 0 || key(o, index) > key(worst, worstIndex)) {
            worstIndex = index;
            worstWho = l.who;
            worstSource = l.source;
            worst = o;
            worst.line.channels.clear();
            worstCuts = cuts;
        }
    }
};

struct FormulaRun
{
    QString name;
    Program program;
    ReplayReport single; // one security: its whole report
    std::vector<Tally> tallies;
    std::vector<OutputLine> outputs; // names and positions of the outputs
    std::vector<ParamUse> params;
    QStringList missing;
    qsizetype replayed = 0;
    QStringList skipped; // the refusals, in file order
    qsizetype maxCuts = 0;
};

// Replays one formula over every security, on every core, folding each result in as it
// comes; `fail` says each refused file.
void replayAll(FormulaRun &run, const Universe &u, const ReplayOptions &base, QIODevice &err,
               const std::function<void(const QString &)> &fail)
{
    const qsizetype count = u.size();
    const bool terminal = isTerminal(err);
    // The cores this process may use (the affinity mask included), never more.
    const qsizetype threads = std::min<qsizetype>(count, std::max(1, QThread::idealThreadCount()));
    std::atomic<qsizetype> next{0};
    QMutex mutex;
    std::vector<std::pair<qsizetype, QString>> refused;
    qsizetype done = 0;
    ProgressBar bar(err, count > 1 ? u"回放证券"_s : u"回放截断点"_s);
    ReplayOptions options = base;
    if (count == 1 && terminal)
        options.progress = [&bar](qsizetype cut, qsizetype cuts) {
            bar.show(cut, cuts);
            return true;
        };
    auto work = [&] {
        for (qsizetype i; (i = next.fetch_add(1)) < count;) {
            Loaded l = load(u, i);
            ReplayReport report;
            if (l.problem.isEmpty())
                report = replay(run.program, l.bars, options);
            l.bars = {};
            const QMutexLocker lock(&mutex);
            ++done;
            if (terminal && count > 1)
                bar.show(done, count);
            if (!l.problem.isEmpty()) {
                refused.emplace_back(i, l.problem);
                continue;
            }
            if (run.replayed++ == 0) {
                run.tallies.resize(report.outputs.size());
                for (const OutputReplay &o : report.outputs) {
                    OutputLine line = o.line;
                    line.channels.clear();
                    run.outputs.push_back(std::move(line));
                }
                run.params = report.params;
            }
            for (const QString &m : report.missing)
                if (!run.missing.contains(m))
                    run.missing << m;
            run.maxCuts = std::max(run.maxCuts, qsizetype(report.cuts.size()));
            for (std::size_t k = 0; k < report.outputs.size() && k < run.tallies.size(); ++k)
                run.tallies[k].add(report.outputs[k], i, l, qsizetype(report.cuts.size()));
            if (count == 1)
                run.single = std::move(report);
        }
    };
    std::vector<std::thread> pool;
    for (qsizetype t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread &t : pool)
        t.join();
    std::sort(refused.begin(), refused.end());
    for (const auto &[index, problem] : refused) {
        fail(problem);
        run.skipped << problem;
    }
    run.missing.sort();
}

// Why an output went unchecked on some securities: what was missing, and bars too few.
QString whyTally(const Tally &t)
{
    QStringList parts;
    if (const QString missing = whyMissing(t.missing); !missing.isEmpty())
        parts << missing;
    if (t.cutlessOn > 0)
        parts << u"%1 个证券%2"_s.arg(t.cutlessOn).arg(cutlessText(1));
    if (t.neverSignalsOn > 0)
        parts << u"%1 个证券上从未出现信号"_s.arg(t.neverSignalsOn);
    if (t.constantOn > 0)
        parts << u"%1 个证券上输出始终不变"_s.arg(t.constantOn);
    return parts.join(u"；"_s);
}

// The many-securities report, one line per output.
QStringList aggregateLines(const FormulaRun &run, const Universe &u)
{
    QStringList lines;
    QString head = u"行情：%1，%2 个证券"_s.arg(u.where()).arg(run.replayed);
    if (!run.skipped.isEmpty())
        head += u"，另有 %1 个文件无法读取"_s.arg(run.skipped.size());
    lines << head;
    for (std::size_t k = 0; k < run.outputs.size(); ++k) {
        const Tally &t = run.tallies[k];
        const QString name = label(run.outputs[k]);
        if (t.rewritesOn > 0) {
            const OutputReplay &w = t.worst;
            lines << u"%1：改写历史——在 %2/%3 个证券上；最严重 %4：%5/%6 个截断点，%7；%8"_s
                         .arg(name)
                         .arg(t.rewritesOn)
                         .arg(run.replayed)
                         .arg(t.worstWho)
                         .arg(w.cutsRewritten)
                         .arg(t.worstCuts)
                         .arg(reachText(w.farthestBack), exampleText(w.first, t.worstSource));
        } else if (t.checkedOn == 0) {
            lines << u"%1：无法检验（%2）"_s.arg(name, whyTally(t));
        } else if (t.checkedOn < run.replayed) {
            lines << u"%1：在 %2/%3 个证券上稳定，其余无法检验（%4）"_s.arg(name)
                         .arg(t.checkedOn)
                         .arg(run.replayed)
                         .arg(whyTally(t));
        } else {
            lines << u"%1：稳定（%2 个证券，每个至多 %3 个截断点）"_s.arg(name)
                         .arg(run.replayed)
                         .arg(run.maxCuts);
        }
    }
    if (!run.missing.isEmpty())
        lines << u"无法计算："_s + missingList(run.missing);
    QStringList assumed;
    for (const ParamUse &p : run.params)
        if (p.assumed)
            assumed << p.name + u'=' + number(p.value);
    if (!assumed.isEmpty())
        lines << u"参数假设："_s + assumed.join(u"，"_s);
    return lines;
}

QJsonObject aggregateJson(const FormulaRun &run, const Universe &u)
{
    QJsonArray outputs;
    bool anyRewrites = false, allChecked = true;
    for (std::size_t k = 0; k < run.outputs.size(); ++k) {
        const Tally &t = run.tallies[k];
        const OutputLine &line = run.outputs[k];
        const bool checked = t.checkedOn == run.replayed && run.replayed > 0;
        anyRewrites = anyRewrites || t.rewritesOn > 0;
        allChecked = allChecked && checked;
        QJsonObject item{{u"name"_s, line.name},
                         {u"label"_s, label(line)},
                         {u"line"_s, line.pos.line},
                         {u"column"_s, line.pos.column},
                         {u"checked"_s, checked},
                         {u"checkedOn"_s, t.checkedOn},
                         {u"rewritesHistory"_s, t.rewritesOn > 0},
                         {u"securitiesRewritten"_s, t.rewritesOn}};
        if (!line.drawing.isEmpty())
            item.insert(u"drawing"_s, line.drawing);
        if (!checked) {
            QStringList why;
            if (!t.missing.isEmpty())
                why << u"cannot evaluate: "_s + t.missing.join(u", "_s);
            if (t.cutlessOn > 0)
                why << u"no cut on %1 securities of one bar"_s.arg(t.cutlessOn);
            if (t.neverSignalsOn > 0)
                why << u"never signals on %1 securities"_s.arg(t.neverSignalsOn);
            if (t.constantOn > 0)
                why << u"never changes on %1 securities"_s.arg(t.constantOn);
            item.insert(u"why"_s, why.join(u"; "_s));
            item.insert(u"missing"_s, QJsonArray::fromStringList(t.missing));
            item.insert(u"cutlessOn"_s, t.cutlessOn);
        }
        if (t.rewritesOn > 0) {
            const OutputReplay &w = t.worst;
            item.insert(u"worst"_s, QJsonObject{{u"security"_s, t.worstWho},
                                                {u"source"_s, t.worstSource},
                                                {u"cutsRewritten"_s, w.cutsRewritten},
                                                {u"cuts"_s, t.worstCuts},
                                                {u"farthestBack"_s, w.farthestBack},
                                                {u"date"_s, date(w.first.date)},
                                                {u"cutDate"_s, date(w.first.cutDate)},
                                                {u"channel"_s, w.first.channel},
                                                {u"before"_s, jsonNumber(w.first.before)},
                                                {u"after"_s, jsonNumber(w.first.after)}});
        }
        outputs.append(item);
    }
    QJsonArray params;
    for (const ParamUse &p : run.params)
        params.append(
            QJsonObject{{u"name"_s, p.name}, {u"value"_s, p.value}, {u"assumed"_s, p.assumed}});
    return QJsonObject{{u"source"_s, u.simulated ? u"builtin"_s : u.where()},
                       {u"securities"_s, run.replayed},
                       {u"skipped"_s, run.skipped.size()},
                       {u"skippedFiles"_s, QJsonArray::fromStringList(run.skipped)},
                       {u"rewritesHistory"_s, anyRewrites},
                       {u"checked"_s, allChecked && run.skipped.isEmpty()},
                       {u"outputs"_s, outputs},
                       {u"missing"_s, QJsonArray::fromStringList(run.missing)},
                       {u"params"_s, params}};
}

} // namespace

QString barsFileProblemText(const QString &file, const BarsFileRead &read)
{
    QString what;
    switch (read.problem) {
    case BarsProblem::None:
        return {};
    case BarsProblem::Empty:
        return file + u"：没有行情数据"_s;
    case BarsProblem::Encoding:
        if (read.record == 0)
            return file + u"：不是可读的文本（应为 UTF-8 或 GBK）"_s;
        what = u"不是可读的文本（应为 UTF-8 或 GBK）"_s;
        break;
    case BarsProblem::TooLarge:
        return file + u"："_s + tooLargeText();
    case BarsProblem::UnknownLayout:
        if (read.record == 0)
            return file + u"：无法识别的行情格式（应为 .day 日线、数据导出文本或 CSV）"_s;
        what = u"无法识别的行情格式（导出文本的列名应有 日期、开盘、最高、最低、收盘）"_s;
        break;
    case BarsProblem::TooLong:
        what = read.field > 0 ? u"第 %1 列过长，不是日期或数字"_s.arg(read.field)
                              : u"这一行过长，不是行情"_s;
        break;
    case BarsProblem::AfterEnd:
        what = u"“数据来源”一行之后还有内容，导出文本应在它处结束"_s;
        break;
    case BarsProblem::NotDaily:
        what = u"这是分钟线（有“时间”列），只读取日线"_s;
        break;
    case BarsProblem::Unreadable:
        return file + u"："_s + (read.error.isEmpty() ? u"无法读取"_s : read.error);
    case BarsProblem::Denied:
        return file + u"：没有读取权限"_s;
    case BarsProblem::NotRegular:
        return file + u"：不是普通文件（管道或设备），未读取"_s;
    case BarsProblem::Truncated:
        what = u"记录不完整，文件在记录中间结束"_s;
        break;
    case BarsProblem::ColumnCount:
        what = u"列数不对，应为 日期、开、高、低、收[、量[、额]]"_s;
        break;
    case BarsProblem::BadDate:
        what = u"日期无法识别（YYYY-MM-DD、YYYY/MM/DD 或 YYYYMMDD）"_s;
        break;
    case BarsProblem::BadNumber:
        what = u"第 %1 列不是数字"_s.arg(read.field);
        break;
    case BarsProblem::BadPrices:
        what = u"价格须大于 0，开盘与收盘须在最低与最高之间，量和额不为负"_s;
        break;
    case BarsProblem::DateOrder:
        what = u"日期须晚于上一条"_s;
        break;
    }
    const bool day = read.kind == BarsFileKind::Day || read.problem == BarsProblem::Truncated;
    return u"%1：第 %2 %3：%4"_s.arg(file).arg(read.record).arg(day ? u"条记录"_s : u"行"_s, what);
}

int runReplayCommand(const Options &options, QIODevice &in, QIODevice &out, QIODevice &err)
{
    Writer stdErr(err);
    auto fail = [&stdErr](const QString &message) {
        stdErr << QString::fromLatin1(kProgram) + u": "_s + message + u'\n';
        stdErr.flush();
    };
    Universe universe;
    if (options.bars.isEmpty()) {
        universe.held = builtinSecurities();
        universe.simulated = true;
    } else if (options.bars == u"-"_s) { // read once, for every formula
        QByteArray bytes;
        QString error;
        if (!readInput(options.bars, in, &bytes, &error)) {
            fail(u"标准输入："_s + error);
            return kReplayFailed;
        }
        BarsFileRead read = readBarsBytes(bytes, u"-"_s);
        if (!read.ok()) {
            fail(barsFileProblemText(u"标准输入"_s, read));
            return kReplayFailed;
        }
        universe.held.push_back({read.code, read.name, u"-"_s, std::move(read.bars)});
    } else if (options.bars != u"-"_s && QFileInfo(options.bars).isDir()) {
        universe.folder = options.bars;
        universe.files = barsEntriesIn(options.bars);
        if (universe.files.empty()) {
            fail(options.bars + u"：文件夹中没有行情文件（*.day、*.csv、*.txt）"_s);
            return kReplayFailed;
        }
    } else {
        universe.files = {BarsEntry{options.bars, {}, options.bars, {}, {}}};
    }
    const bool several = options.inputs.size() > 1;
    ReplayOptions replayOptions;
    replayOptions.params = options.params;
    bool rewrites = false, failed = false, unchecked = false;
    QJsonArray results;
    Writer stdOut(out);
    for (const QString &name : options.inputs) {
        FormulaRun run;
        run.name = name;
        {
            QByteArray bytes;
            QString error;
            if (!readInput(name, in, &bytes, &error)) {
                fail(name + u"："_s + error);
                failed = true;
                continue;
            }
            run.program = parse(decodeUserText(bytes));
        }
        replayAll(run, universe, replayOptions, err, fail);
        if (run.replayed == 0) { // no security could be read: nothing ran
            failed = true;
            continue;
        }
        for (auto it = options.params.begin(); it != options.params.end(); ++it)
            if (std::none_of(run.params.begin(), run.params.end(),
                             [&](const ParamUse &p) { return p.name == it.key(); }))
                fail(name + u"：公式没有用到参数 "_s + it.key() + u"，--param 被忽略"_s);
        const bool one = universe.size() == 1;
        const bool anyRewrites = std::any_of(run.tallies.begin(), run.tallies.end(),
                                             [](const Tally &t) { return t.rewritesOn > 0; });
        const bool allChecked =
            !run.outputs.empty() && run.program.notes.empty() && run.skipped.isEmpty() &&
            std::all_of(run.tallies.begin(), run.tallies.end(),
                        [&](const Tally &t) { return t.checkedOn == run.replayed; });
        const bool cutlessAll =
            !run.tallies.empty() &&
            std::all_of(run.tallies.begin(), run.tallies.end(),
                        [](const Tally &t) { return t.cutlessOn > 0 && t.checkedOn == 0; });
        rewrites = rewrites || anyRewrites;
        unchecked = unchecked || !allChecked;
        if (options.json) {
            QJsonObject item = one ? replayJson(run.single) : aggregateJson(run, universe);
            item.insert(u"file"_s, name);
            item.insert(u"syntaxNotes"_s, qint64(run.program.notes.size()));
            item.insert(u"checked"_s, allChecked);
            if (one)
                item.insert(u"source"_s, universe.simulated ? u"builtin"_s : universe.where());
            if (!allChecked)
                item.insert(u"why"_s, run.outputs.empty()          ? u"no outputs"_s
                                      : !run.program.notes.empty() ? u"syntax errors"_s
                                      : !run.skipped.isEmpty()     ? u"bars files skipped"_s
                                      : cutlessAll                 ? u"too few bars"_s
                                                                   : u"outputs not checked"_s);
            results.append(item);
            continue;
        }
        QStringList lines;
        if (one) {
            lines = replayLines(run.single, universe.where());
        } else {
            lines = aggregateLines(run, universe);
        }
        if (run.outputs.empty())
            lines.prepend(u"没有输出，无从检验"_s);
        if (!run.program.notes.empty())
            lines << u"语法问题 %1 处，其语句未参与回放"_s.arg(run.program.notes.size());
        for (const QString &line : std::as_const(lines))
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
