#include "options.h"

#include "morvane_config.h"

#include <QCommandLineParser>

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
                                   "Exit status 1 when one does."_s});
    parser.addOption({u"bars"_s,
                      u"With --replay: bars to use, a CSV of date, open, high, low, close, "
                      "then volume and amount (optional). Default: a built-in history."_s,
                      u"FILE"_s});
    parser.addOption({u"param"_s,
                      u"With --replay: a parameter of the formula, such as N=5 (repeatable)."_s,
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
    if (!options->replay && (parser.isSet(u"bars"_s) || parser.isSet(u"param"_s))) {
        *error = u"--bars and --param go with --replay"_s;
        return ParseResult::Failed;
    }
    options->bars = parser.value(u"bars"_s);
    for (const QString &param : parser.values(u"param"_s)) {
        const qsizetype eq = param.indexOf(u'=');
        bool ok = false;
        const double value = eq > 0 ? param.sliced(eq + 1).trimmed().toDouble(&ok) : 0.0;
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
    if (readsStandardInput(options->list) && options->inputs.contains(u"-"_s)) {
        *error = u"the list and a formula cannot both be read from standard input"_s;
        return ParseResult::Failed;
    }
    return ParseResult::Run;
}
} // namespace morvane
