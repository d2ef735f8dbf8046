#include "options.h"

#include "morvane_config.h"

#include <QCommandLineParser>

#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

bool readsStandardInput(const QString &path)
{
    return path == u"-"_s || path == u"/dev/stdin"_s || path == u"/dev/fd/0"_s ||
           path == u"/proc/self/fd/0"_s;
}
} // namespace

ParseResult parseOptions(const QStringList &arguments, Options *options, Writer &out,
                         QString *error)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Reports the future functions (未来函数) that indicator formulas use.\n"
        "Reads standard input when no FILE is given, or for \"-\".\n"
        "Exit status: 0 nothing found, 1 something found, 2 an input could not be used."_s);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({u"list"_s, u"Function list to use instead of list.txt."_s, u"FILE"_s});
    parser.addOption(
        {u"positions"_s, u"One line per occurrence: FILE:LINE:COLUMN: 发现未来函数 NAME."_s});
    parser.addOption({u"json"_s, u"One JSON array with an object per input."_s});
    parser.addOption({u"precise"_s, u"Read the formula as a program: names in comments, quoted "
                                    "text or longer names do not count; REFX, BARSNEXT, "
                                    "REF(C,-1) and every #PERIOD do. Each name with its class "
                                    "(future, drift, lastbar, listed) and reason."_s});
    parser.addOption({u"replay"_s, u"Run the formula on bars, again on the history cut at many "
                                   "bars, and report each output that rewrites its own past. "
                                   "Exit status: 0 every output checked and stable, 1 an output "
                                   "rewrites history, 2 the replay could not run, 3 some outputs "
                                   "could not be checked and none rewrites history."_s});
    parser.addOption({u"eval"_s, u"Run one formula on bars and print each output at every bar "
                                 "as CSV: the date, then a column per output. Exit status 1 "
                                 "when an output could not be evaluated (named on standard "
                                 "error), 2 when the formula could not be run."_s});
    parser.addOption(
        {u"bars"_s,
         u"With --replay or --eval: bars to use: a .day file, a text export or a CSV of "
         "date, open, high, low, close[, volume[, amount]]; with --replay also a folder, "
         "every security in it. Default: the built-in simulated securities (模拟行情)."_s,
         u"FILE|DIR"_s});
    parser.addOption(
        {u"param"_s,
         u"With --replay or --eval: a parameter of the formula, such as N=5 (repeatable)."_s,
         u"NAME=VALUE"_s});
    parser.addPositionalArgument(u"FILE"_s, u"Formula files (UTF-8 or GBK)."_s, u"[FILE...]"_s);

    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return ParseResult::Failed;
    }
    if (parser.isSet(help)) {
        out << parser.helpText();
        return ParseResult::Done;
    }
    if (parser.isSet(version)) {
        out << QString::fromLatin1(kProgram) + u' ' + QString::fromUtf8(MORVANE_VERSION) + u'\n';
        return ParseResult::Done;
    }
    options->positions = parser.isSet(u"positions"_s);
    options->json = parser.isSet(u"json"_s);
    options->precise = parser.isSet(u"precise"_s);
    options->replay = parser.isSet(u"replay"_s);
    options->eval = parser.isSet(u"eval"_s);
    if (options->eval && (options->precise || options->replay || options->json ||
                          options->positions || parser.isSet(u"list"_s))) {
        *error = u"--eval goes with --bars and --param only"_s;
        return ParseResult::Failed;
    }
    if (options->positions && options->json) {
        *error = u"--positions and --json cannot be combined"_s;
        return ParseResult::Failed;
    }
    if (options->precise && options->replay) {
        *error = u"--precise and --replay cannot be combined"_s;
        return ParseResult::Failed;
    }
    if (options->replay && options->positions) {
        *error = u"--replay reports outputs, not positions"_s;
        return ParseResult::Failed;
    }
    if (!options->replay && !options->eval &&
        (parser.isSet(u"bars"_s) || parser.isSet(u"param"_s))) {
        *error = u"--bars and --param go with --replay or --eval"_s;
        return ParseResult::Failed;
    }
    options->bars = parser.value(u"bars"_s);
    if (parser.isSet(u"bars"_s) && options->bars.isEmpty()) {
        *error = u"--bars 需要文件或文件夹名"_s;
        return ParseResult::Failed;
    }
    if (readsStandardInput(options->bars))
        options->bars = u"-"_s;
    for (const QString &param : parser.values(u"param"_s)) {
        const qsizetype eq = param.indexOf(u'=');
        bool ok = false;
        const double value = eq > 0 ? param.sliced(eq + 1).trimmed().toDouble(&ok) : 0.0;
        if (ok && !std::isfinite(value)) {
            *error = u"--param 的值须为有限的数：%1"_s.arg(param);
            return ParseResult::Failed;
        }
        if (!ok) {
            *error = u"--param wants NAME=NUMBER, not "_s + param;
            return ParseResult::Failed;
        }
        options->params.insert(param.first(eq).trimmed().toUpper(), value);
    }
    options->list = parser.value(u"list"_s);
    if (parser.isSet(u"list"_s) && options->list.isEmpty()) {
        *error = u"--list needs a file name"_s;
        return ParseResult::Failed;
    }
    options->inputs = parser.positionalArguments();
    if (options->inputs.isEmpty())
        options->inputs << u"-"_s;
    if (options->eval && options->inputs.size() > 1) {
        *error = u"--eval runs one formula"_s;
        return ParseResult::Failed;
    }
    if (readsStandardInput(options->bars) && options->inputs.contains(u"-"_s)) {
        *error = u"行情和公式不能都从标准输入读取：请用 --bars 指定文件，或给出公式文件"_s;
        return ParseResult::Failed;
    }
    if (readsStandardInput(options->list) && options->inputs.contains(u"-"_s)) {
        *error = u"the list and a formula cannot both be read from standard input"_s;
        return ParseResult::Failed;
    }
    return ParseResult::Run;
}
} // namespace morvane
