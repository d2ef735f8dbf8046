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
    parser.setApplicationDescription(u"报告指标公式用到的未来函数。\n"
                                     "没有给出文件（或文件为“-”）时读标准输入。\n"
                                     "退出码：0 没有发现，1 有发现，2 输入或选项无法使用。"_s);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({u"list"_s, u"用这个函数列表代替 list.txt。"_s, u"FILE"_s});
    parser.addOption({u"positions"_s, u"每处出现一行：文件:行:列: 发现未来函数 名字。"_s});
    parser.addOption({u"json"_s, u"输出一个 JSON 数组，每个输入一个对象（字段名不变）。"_s});
    parser.addOption({u"precise"_s, u"把公式当程序读：注释、引号里的文字和更长名字的一部分"
                                    "不算；REFX、BARSNEXT、REF(C,-1)（偏移量的范围顺着变量、"
                                    "参数的整个取值范围和函数推算）和每个 #周期 都算。每个名字"
                                    "带类别（未来、漂移、末根提示、列表）和原因；偏移可能为负的"
                                    " REF、无法检查的调用（外挂 DLL、其他公式、不认识的函数）和"
                                    "读不懂的语句另行列出，这时结论是“无法完全判断”。退出码：0 "
                                    "全部检查过且没有发现，1 有发现，2 输入或选项无法使用，"
                                    "3 没有发现但有检查不到的地方。"_s});
    parser.addOption({u"replay"_s,
                      u"在K线上运行公式，再在许多截断点截短的历史上重算，"
                      "报告每个改写了自己历史的输出。退出码：0 每个输出都已检验且稳定，"
                      "1 有输出改写历史，2 无法回放，3 有输出无法检验且没有输出改写历史。"_s});
    parser.addOption({u"eval"_s, u"在K线上运行一个公式，以 CSV 输出每根K线上的各输出："
                                 "日期，然后每个输出一列。有输出无法计算时退出码为 1（名字写在"
                                 "标准错误上），公式无法运行时为 2。"_s});
    parser.addOption({u"bars"_s,
                      u"与 --replay 或 --eval 一起用：K线文件：.day 日线文件、数据导出的文本，"
                      "或 CSV（日期、开盘、最高、最低、收盘，然后是可省的成交量和成交额）；"
                      "与 --replay 一起时也可以是文件夹，回放其中每只证券。"
                      "默认用内置的模拟行情。"_s,
                      u"FILE|DIR"_s});
    parser.addOption({u"param"_s, u"与 --replay 或 --eval 一起用：公式的参数，如 N=5（可重复）。"_s,
                      u"NAME=VALUE"_s});
    parser.addPositionalArgument(u"FILE"_s, u"公式文件（UTF-8 或 GBK）。"_s, u"[FILE...]"_s);

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
        *error = u"--eval 只能与 --bars 和 --param 一起用"_s;
        return ParseResult::Failed;
    }
    if (options->positions && options->json) {
        *error = u"--positions 和 --json 不能同时使用"_s;
        return ParseResult::Failed;
    }
    if (options->precise && options->replay) {
        *error = u"--precise 和 --replay 不能同时使用"_s;
        return ParseResult::Failed;
    }
    if (options->replay && options->positions) {
        *error = u"--replay 报告的是输出，不是位置，不能与 --positions 同用"_s;
        return ParseResult::Failed;
    }
    if (!options->replay && !options->eval &&
        (parser.isSet(u"bars"_s) || parser.isSet(u"param"_s))) {
        *error = u"--bars 和 --param 要与 --replay 或 --eval 一起用"_s;
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
            *error = u"--param 的格式是 名字=数值，而不是 "_s + param;
            return ParseResult::Failed;
        }
        options->params.insert(param.first(eq).trimmed().toUpper(), value);
    }
    options->list = parser.value(u"list"_s);
    if (parser.isSet(u"list"_s) && options->list.isEmpty()) {
        *error = u"--list 需要一个文件名"_s;
        return ParseResult::Failed;
    }
    options->inputs = parser.positionalArguments();
    if (options->inputs.isEmpty())
        options->inputs << u"-"_s;
    if (options->eval && options->inputs.size() > 1) {
        *error = u"--eval 一次只运行一个公式"_s;
        return ParseResult::Failed;
    }
    if (readsStandardInput(options->bars) && options->inputs.contains(u"-"_s)) {
        *error = u"行情和公式不能都从标准输入读取：请用 --bars 指定文件，或给出公式文件"_s;
        return ParseResult::Failed;
    }
    if (readsStandardInput(options->list) && options->inputs.contains(u"-"_s)) {
        *error = u"函数列表和公式不能都从标准输入读取"_s;
        return ParseResult::Failed;
    }
    return ParseResult::Run;
}
} // namespace morvane
