#include "options.h"

#include "morvane_config.h"

#include <QCommandLineParser>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

bool readsStandardInput(const QString &path)
{
    return path == u"-"_s || path == u"/dev/stdin"_s || path == u"/dev/fd/0"_s ||
           path == u"/proc/self/fd/0"_s;
}

// Columns a console gives a character: Chinese characters, full-width punctuation and the
// curly quotes a Chinese font draws wide take two.
int columns(QChar c)
{
    const char16_t u = c.unicode();
    return u >= 0x2E80 || (u >= 0x2018 && u <= 0x201D) || u == 0x2026 ? 2 : 1;
}

int columns(QStringView text)
{
    int n = 0;
    for (QChar c : text)
        n += columns(c);
    return n;
}

const QString kNoLineStart = u"，。、；：？！）”’」》…,.;:!?)"_s;

// The finest pieces a line may break between, for a clause too long for a line: one Chinese
// character, or a run of Latin letters, digits and signs (--replay, REF(C,-1), list.txt), with
// punctuation kept off the start of a line.
QStringList characterPieces(QStringView text)
{
    QStringList pieces;
    for (qsizetype i = 0; i < text.size();) {
        qsizetype end = i + 1;
        const auto latin = [&](qsizetype at) { return text[at].unicode() < 0x80; };
        if (latin(i)) {
            while (end < text.size() && latin(end))
                ++end;
        }
        const QString piece = text.sliced(i, end - i).toString();
        if (!pieces.isEmpty() && piece.size() == 1 && kNoLineStart.contains(piece))
            pieces.last() += piece;
        else
            pieces << piece;
        i = end;
    }
    return pieces;
}

// Chinese has no spaces between words, and a line break inside one (偏移|量) misreads: lines
// break at spaces and after the punctuation that ends a clause, and inside a clause only when
// it is longer than a whole line.
QStringList clausePieces(QStringView text)
{
    static const QString breakAfter = u"，。、；：？！）”"_s;
    QStringList pieces;
    QString current;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        // "0 没有发现": a number stays with what it stands for.
        const bool number = !current.isEmpty() && std::all_of(current.begin(), current.end(),
                                                              [](QChar d) { return d.isDigit(); });
        if (c == u' ' && !number) {
            if (!current.isEmpty())
                pieces << current;
            pieces << u" "_s;
            current.clear();
            continue;
        }
        current += c;
        const bool nextMayStart = i + 1 >= text.size() || !kNoLineStart.contains(text[i + 1]);
        if (breakAfter.contains(c) && nextMayStart) {
            pieces << current;
            current.clear();
        }
    }
    if (!current.isEmpty())
        pieces << current;
    return pieces;
}

// Lines of at most `width` columns, broken only between pieces; a space at a break goes.
QStringList wrapColumns(const QString &text, int width)
{
    QStringList lines;
    for (const QString &paragraph : text.split(u'\n')) {
        QString line;
        const auto add = [&](const QString &piece) {
            if (!line.isEmpty() && columns(line) + columns(piece) > width) {
                lines << line.trimmed();
                line.clear();
            }
            if (!(line.isEmpty() && piece == u" "_s))
                line += piece;
        };
        for (const QString &clause : clausePieces(paragraph)) {
            if (columns(clause) <= width) {
                add(clause);
                continue;
            }
            for (const QString &piece : characterPieces(clause))
                add(piece);
        }
        lines << line.trimmed();
    }
    return lines;
}

// QCommandLineParser with its help in Chinese: Qt's own help keeps English lines and breaks
// Latin words and Chinese sentences alike at a character count that ignores wide characters.
class ChineseHelpParser
{
public:
    void setApplicationDescription(const QString &text) { m_description = text; }
    QCommandLineOption addHelpOption()
    {
        return record({{u"?"_s, u"h"_s, u"help"_s}, u"显示这份帮助后退出。"_s});
    }
    QCommandLineOption addVersionOption()
    {
        return record({{u"v"_s, u"version"_s}, u"显示版本号后退出。"_s});
    }
    bool addOption(const QCommandLineOption &option)
    {
        record(option);
        return true;
    }
    void addPositionalArgument(const QString &name, const QString &description,
                               const QString &syntax)
    {
        m_parser.addPositionalArgument(name, description, syntax);
        m_arguments.push_back({name, description, syntax});
    }

    bool parse(const QStringList &arguments) { return m_parser.parse(arguments); }
    QString errorText() const { return m_parser.errorText(); }
    bool isSet(const QString &name) const { return m_parser.isSet(name); }
    bool isSet(const QCommandLineOption &option) const { return m_parser.isSet(option); }
    QString value(const QString &name) const { return m_parser.value(name); }
    QStringList values(const QString &name) const { return m_parser.values(name); }
    QStringList positionalArguments() const { return m_parser.positionalArguments(); }

    QString helpText() const
    {
        constexpr int kWidth = 79;
        QStringList syntax;
        for (const Argument &a : m_arguments)
            syntax << a.syntax;
        QString out = u"用法："_s + QString::fromLatin1(kProgram) + u" [选项] "_s +
                      syntax.join(u' ') + u'\n' + m_description + u"\n\n选项：\n"_s;
        QList<std::pair<QString, QString>> rows;
        for (const QCommandLineOption &o : m_options) {
            QStringList names;
            for (const QString &n : o.names())
                names << (n.size() == 1 ? u"-"_s : u"--"_s) + n;
            QString left = names.join(u", "_s);
            if (!o.valueName().isEmpty())
                left += u" <"_s + o.valueName() + u'>';
            rows.push_back({left, o.description()});
        }
        QList<std::pair<QString, QString>> argumentRows;
        for (const Argument &a : m_arguments)
            argumentRows.push_back({a.name, a.description});
        int nameColumns = 0;
        for (const auto &row : rows + argumentRows)
            nameColumns = std::max(nameColumns, columns(row.first));
        const int indent = 2 + nameColumns + 2;
        const auto table = [&](const QList<std::pair<QString, QString>> &entries) {
            for (const auto &[left, description] : entries) {
                const QStringList lines = wrapColumns(description, kWidth - indent);
                for (qsizetype i = 0; i < lines.size(); ++i) {
                    const QString head = i == 0 ? u"  "_s + left : QString();
                    out += head + QString(indent - columns(head), u' ') + lines[i] + u'\n';
                }
            }
        };
        table(rows);
        out += u"\n参数：\n"_s;
        table(argumentRows);
        return out;
    }

private:
    struct Argument
    {
        QString name, description, syntax;
    };

    QCommandLineOption record(const QCommandLineOption &option)
    {
        m_parser.addOption(option);
        m_options << option;
        return option;
    }

    QCommandLineParser m_parser;
    QString m_description;
    QList<QCommandLineOption> m_options;
    QList<Argument> m_arguments;
};

} // namespace

ParseResult parseOptions(const QStringList &arguments, Options *options, Writer &out,
                         QString *error)
{
    ChineseHelpParser parser;
    parser.setApplicationDescription(u"报告指标公式用到的未来函数。\n"
                                     "没有给出文件（或文件为“-”）时读标准输入。\n"
                                     "退出码：0 没有发现，1 有发现，2 输入或选项无法使用。"_s);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addOption({u"list"_s, u"用这个函数列表代替 list.txt。"_s, u"文件"_s});
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
                      u"文件|文件夹"_s});
    parser.addOption({u"param"_s, u"与 --replay 或 --eval 一起用：公式的参数，如 N=5（可重复）。"_s,
                      u"名字=值"_s});
    parser.addOption({u"horizon"_s,
                      u"与 --replay 一起用：信号体检里每个信号的结果按之后第几根K线的收盘价算"
                      "（1 到 250，默认 5）。"_s,
                      u"根数"_s});
    parser.addOption({u"final-at"_s,
                      u"与 --eval 一起用：每个输出后面加一列“名字@final”，写出这根K线的值从哪一天起"
                      "再没变过（定型于）；新K线到来时仍可能变的留空。"_s});
    parser.addPositionalArgument(u"文件"_s, u"公式文件（UTF-8 或 GBK）。"_s, u"[文件...]"_s);

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
        *error = u"--eval 只能与 --bars、--param 和 --final-at 一起用"_s;
        return ParseResult::Failed;
    }
    options->finalAt = parser.isSet(u"final-at"_s);
    if (options->finalAt && !options->eval) {
        *error = u"--final-at 要与 --eval 一起用"_s;
        return ParseResult::Failed;
    }
    if (parser.isSet(u"horizon"_s)) {
        bool ok = false;
        options->horizon = parser.value(u"horizon"_s).toInt(&ok);
        if (!options->replay) {
            *error = u"--horizon 要与 --replay 一起用"_s;
            return ParseResult::Failed;
        }
        if (!ok || options->horizon < 1 || options->horizon > 250) {
            *error = u"--horizon 须为 1 到 250 之间的整数，而不是 "_s + parser.value(u"horizon"_s);
            return ParseResult::Failed;
        }
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
