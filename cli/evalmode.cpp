#include "evalmode.h"

#include "barfiles.h"
#include "commandio.h"
#include "encoding.h"
#include "parser.h"
#include "replay.h"
#include "replaytext.h"
#include "replaywords.h"
#include "scorecard.h"

#include <QFile>
#include <QIODevice>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>

using namespace Qt::StringLiterals;

namespace morvane {

using namespace formula;

namespace {

// A CSV field: quoted when it holds a comma, a quote or a line end (RFC 4180).
QString field(const QString &text)
{
    if (!text.contains(u',') && !text.contains(u'"') && !text.contains(u'\n') &&
        !text.contains(u'\r'))
        return text;
    return u'"' + QString(text).replace(u"\""_s, u"\"\""_s) + u'"';
}

QString number(double x)
{
    if (std::isnan(x))
        return {};
    return QString::number(x, 'g', QLocale::FloatingPointShortest);
}

// The shortest form that reads back to x, as QString::number gives it, written at `at`;
// returns the end. Past 10¹⁷ Qt pads the shortest digits with zeros where to_chars prints
// every digit, so those few go through Qt. At most 32 bytes.
char *writeNumber(char *at, double x)
{
    if (std::isnan(x))
        return at;
    if (x == 0 && !std::signbit(x)) {
        *at++ = '0';
        return at;
    }
    // Decimals of at most six places between 1 and 10⁹ (prices, their means over 2, 4, 5,
    // 8… bars): those digits are the shortest that read back, and no exponent form is
    // shorter. Integers qualify unless they end in 0 (1e+06 is shorter than 1000000).
    if (const double a = std::abs(x); a >= 1 && a < 1e9) {
        const auto units = static_cast<std::int64_t>(std::nearbyint(a * 1e6));
        const std::int64_t whole = units / 1000000, part = units % 1000000;
        if (static_cast<double>(units) / 1e6 == a && (part != 0 || whole % 10 != 0)) {
            if (x < 0)
                *at++ = '-';
            at = std::to_chars(at, at + 12, whole).ptr;
            if (part != 0) {
                char digits[6];
                std::int64_t p = part;
                for (int k = 5; k >= 0; --k, p /= 10)
                    digits[k] = char('0' + p % 10);
                int last = 5;
                while (digits[last] == '0')
                    --last;
                *at++ = '.';
                std::memcpy(at, digits, std::size_t(last + 1));
                at += last + 1;
            }
            return at;
        }
    }
    if (!(std::abs(x) >= 1e17 && std::isfinite(x))) {
        const auto [end, ec] = std::to_chars(at, at + 32, x);
        if (ec == std::errc())
            return end;
    }
    const QByteArray text = number(x).toLatin1();
    const auto size = std::min<qsizetype>(text.size(), 32);
    std::memcpy(at, text.constData(), std::size_t(size));
    return at + size;
}

// YYYY-MM-DD: 10 bytes, or Qt's form of a date outside 1000–9999 (at most 32).
char *writeDate(char *at, const QDate &d)
{
    if (!d.isValid() || d.year() < 1000 || d.year() > 9999) {
        const QByteArray text = d.toString(Qt::ISODate).toLatin1();
        const auto size = std::min<qsizetype>(text.size(), 32);
        std::memcpy(at, text.constData(), std::size_t(size));
        return at + size;
    }
    int y = d.year();
    const int m = d.month(), day = d.day();
    for (int k = 3; k >= 0; --k, y /= 10)
        at[k] = char('0' + y % 10);
    at[4] = '-';
    at[5] = char('0' + m / 10);
    at[6] = char('0' + m % 10);
    at[7] = '-';
    at[8] = char('0' + day / 10);
    at[9] = char('0' + day % 10);
    return at + 10;
}

bool readAll(const QString &name, QIODevice &in, QByteArray *bytes, QString *error)
{
    std::unique_ptr<QFile> file;
    QIODevice *device = openInput(name, in, &file, error);
    if (!device)
        return false;
    switch (readWhole(*device, bytes, error)) {
    case InputStatus::Ok:
        return true;
    case InputStatus::TooLarge:
        *error = tooLargeText();
        return false;
    case InputStatus::ReadFailed:
        break;
    }
    return false;
}

// The CSV in pieces of about 1 MiB, each handed to `sink` (false stops): one buffer, used
// again and again, whatever the history's length.
// `finals`, when given: per output, the bar from which each value stood (-1: may still
// change), written as a date column "<name>@final" after the output's own.
template <typename Sink>
bool writeEvalCsv(const Bars &bars, const Evaluation &ev, Sink sink,
                  const std::vector<std::vector<qsizetype>> *finals = nullptr)
{
    struct Column
    {
        const Series *values = nullptr;
        const std::vector<qsizetype> *final = nullptr;
    };
    std::vector<Column> columns;
    QString text = u"date"_s;
    for (std::size_t k = 0; k < ev.outputs.size(); ++k) {
        const OutputLine &line = ev.outputs[k];
        if (!line.ok())
            continue;
        for (std::size_t c = 0; c < line.channels.size(); ++c) {
            const QString suffix =
                line.channels.size() > 1 ? u"/"_s + QString::number(c + 1) : QString();
            text += u',' + field(outputLabel(line) + suffix);
            columns.push_back({&line.channels[c], nullptr});
        }
        if (finals && k < finals->size() && !(*finals)[k].empty()) {
            text += u',' + field(outputLabel(line) + u"@final"_s);
            columns.push_back({nullptr, &(*finals)[k]});
        }
    }
    text += u'\n';
    if (!sink(QByteArrayView(text.toUtf8())))
        return false;
    // Room for the longest row: 32 bytes a date, 33 a value and its comma, one line end.
    const auto row = qsizetype(32 + 33 * columns.size() + 1);
    QByteArray chunk(std::max<qsizetype>(1 << 20, 2 * row), Qt::Uninitialized);
    char *const begin = chunk.data();
    char *const flushAt = begin + chunk.size() - row;
    char *at = begin;
    for (std::size_t i = 0; i < bars.dates.size(); ++i) {
        at = writeDate(at, bars.dates[i]);
        for (const Column &column : columns) {
            *at++ = ',';
            if (column.values && i < column.values->size())
                at = writeNumber(at, (*column.values)[i]);
            else if (column.final && i < column.final->size() && (*column.final)[i] >= 0)
                at = writeDate(at, bars.dates[std::size_t((*column.final)[i])]);
        }
        *at++ = '\n';
        if (at > flushAt) {
            if (!sink(QByteArrayView(begin, at - begin)))
                return false;
            at = begin;
        }
    }
    return at == begin || sink(QByteArrayView(begin, at - begin));
}

// Per output, from which bar each value stood as it stands, replaying every bar as a cut;
// empty when the formula cannot be replayed at every bar (why said on standard error).
std::vector<std::vector<qsizetype>> finalBars(const Program &program, const Bars &bars,
                                              const QMap<QString, double> &params,
                                              std::size_t outputs,
                                              const std::function<void(const QString &)> &say)
{
    std::vector<FinalTally> tallies(outputs, FinalTally(bars.size()));
    ReplayOptions options;
    options.params = params;
    options.onCut = [&](qsizetype cut, const std::vector<CutChange> &changes) {
        for (const CutChange &c : changes)
            if (std::size_t(c.output) < tallies.size())
                tallies[std::size_t(c.output)].changed(cut, c.bar);
    };
    const ReplayReport report = replay(program, bars, options);
    std::vector<std::vector<qsizetype>> finals(outputs);
    if (!report.linear && bars.size() > 1) {
        say(u"定型于：%1，无法在每根K线上回放，@final 列没有给出"_s.arg(
            fallbackWords(report.fallback)));
        return {};
    }
    for (std::size_t k = 0; k < outputs && k < report.outputs.size(); ++k)
        finals[k] = tallies[k].finish(report.outputs[k].causal);
    return finals;
}

} // namespace

QByteArray evalCsv(const Bars &bars, const Evaluation &ev)
{
    QByteArray csv;
    writeEvalCsv(bars, ev, [&csv](QByteArrayView piece) {
        csv += piece;
        return true;
    });
    return csv;
}

int runEvalCommand(const QString &file, const QString &barsFile,
                   const QMap<QString, double> &params, bool finalAt, QIODevice &in, QIODevice &out,
                   QIODevice &err)
{
    Writer stdErr(err);
    auto say = [&](const QString &message) {
        stdErr << QString::fromLatin1(kProgram) + u": "_s + message + u'\n';
    };
    Bars bars;
    if (barsFile.isEmpty()) {
        bars = builtinBars();
    } else {
        BarsFileRead read;
        if (barsFile == u"-"_s) {
            QByteArray bytes;
            QString error;
            if (!readAll(barsFile, in, &bytes, &error)) {
                say(barsFile + u": "_s + error);
                return 2;
            }
            read = readBarsBytes(bytes, barsFile);
        } else { // a file over the bound is refused by its size, unread
            read = readBarsFile(barsFile, kMaxInput);
        }
        if (!read.ok()) {
            say(barsProblemWords(barsFile, read, kMaxInput));
            return 2;
        }
        bars = std::move(read.bars);
    }
    QByteArray bytes;
    QString error;
    if (!readAll(file, in, &bytes, &error)) {
        say(file + u": "_s + error);
        return 2;
    }
    const Program program = parse(decodeUserText(bytes));
    EvalOptions options;
    options.params = params;
    const Evaluation ev = evaluate(program, bars, options);
    if (!program.notes.empty())
        say(u"%1: 语法问题 %2 处, 其语句未计算"_s.arg(file).arg(program.notes.size()));
    if (ev.outputs.empty()) {
        say(file + u": 没有输出"_s);
        return 2;
    }
    bool partial = false, any = false;
    for (const OutputLine &line : ev.outputs) {
        if (line.ok()) {
            any = true;
            continue;
        }
        partial = true;
        QStringList what;
        for (const QString &m : line.missing)
            what << (m == QStringView(kTooDeep) ? tooDeepWords() : m);
        say(u"%1: 无法计算 (缺 %2)"_s.arg(outputLabel(line), what.join(u", "_s)));
    }
    QStringList assumed;
    for (const ParamUse &p : ev.params)
        if (p.assumed)
            assumed << p.name + u'=' + number(p.value);
    if (!assumed.isEmpty())
        say(u"参数假设: "_s + assumed.join(u", "_s));
    for (auto it = params.begin(); it != params.end(); ++it)
        if (std::none_of(ev.params.begin(), ev.params.end(),
                         [&](const ParamUse &p) { return p.name == it.key(); }))
            say(file + u"：公式没有用到参数 "_s + it.key() + u"，--param 被忽略"_s);
    // Columns of the same name cannot be told apart in the CSV: said, in the order they come.
    QMap<QString, int> named;
    QStringList order;
    for (const OutputLine &line : ev.outputs) {
        if (!line.ok() || line.name.isEmpty())
            continue;
        if (named[line.name]++ == 1)
            order << line.name;
    }
    for (const QString &name : order)
        say(u"%1：输出 %2 出现 %3 次，CSV 中有同名的列"_s.arg(file, name).arg(named[name]));
    if (!any) {
        say(file + u": 没有可计算的输出"_s);
        return 2;
    }
    std::vector<std::vector<qsizetype>> finals;
    if (finalAt) {
        finals = finalBars(program, bars, params, ev.outputs.size(), say);
        partial = partial || (finals.empty() && bars.size() > 1);
    }
    Writer stdOut(out);
    writeEvalCsv(
        bars, ev,
        [&stdOut](QByteArrayView piece) {
            stdOut.writeUtf8(piece);
            return true;
        },
        finalAt ? &finals : nullptr);
    if (!stdOut.flush()) {
        say(u"无法写出结果: "_s + stdOut.errorString());
        return 2;
    }
    // A statement with a syntax error is an output missing from the columns.
    return partial || !program.notes.empty() ? 1 : 0;
}

} // namespace morvane
