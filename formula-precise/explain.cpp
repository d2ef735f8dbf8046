#include "explain.h"

#include <QStringList>

#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane::formula {

QString placeWords(int line, int column)
{
    return u"第 %1 行第 %2 列"_s.arg(QString::number(line), QString::number(column));
}

QString syntaxWords(const SyntaxNote &note)
{
    const QString met = note.found.isEmpty() ? u"公式已经结束"_s : u"这里是 %1"_s.arg(note.found);
    switch (note.problem) {
    case SyntaxProblem::MissingSemicolon:
        return u"语句没有用分号 ; 结束，"_s + met;
    case SyntaxProblem::MissingParen:
        return u"缺少右括号 )，"_s + met;
    case SyntaxProblem::MissingValue:
        return u"缺少数值或名字，"_s + met;
    case SyntaxProblem::EmptyParens:
        return u"括号 ( ) 里是空的"_s;
    case SyntaxProblem::NotANumber:
        return u"%1 不是一个数"_s.arg(note.found);
    case SyntaxProblem::TooLong:
        return u"表达式太长"_s;
    case SyntaxProblem::TooDeep:
        return u"括号或运算嵌套太深"_s;
    }
    return note.message;
}

QString offsetWords(double low, double high)
{
    const auto n = [](double x) { return QString::number(x, 'g', 15); };
    const bool lowKnown = std::isfinite(low);
    const bool highKnown = std::isfinite(high);
    if (lowKnown && highKnown)
        return low == high ? u"偏移 = %1"_s.arg(n(low))
                           : u"偏移在 %1 到 %2 之间"_s.arg(n(low), n(high));
    if (highKnown)
        return u"偏移不大于 %1"_s.arg(n(high));
    if (lowKnown)
        return u"偏移不小于 %1"_s.arg(n(low));
    return u"偏移的范围看不出来"_s;
}

QString offsetsOf(const FoundName &name)
{
    QStringList parts;
    QString first;
    bool differ = false;
    int shown = 0;
    for (const NameOccurrence &o : name.occurrences) {
        if (!o.hasOffset())
            continue;
        const QString words = offsetWords(o.offsetLow, o.offsetHigh);
        if (first.isNull())
            first = words;
        differ = differ || words != first;
        if (shown < 3) {
            const QString part = u"第 %1 行%2"_s.arg(o.line).arg(words);
            if (!parts.contains(part)) {
                parts << part;
                ++shown;
            }
        }
    }
    if (first.isNull())
        return {};
    return differ ? parts.join(u"；"_s) : first;
}

QString affectsWords(const FoundName &name)
{
    constexpr qsizetype kShown = 8;
    QStringList parts;
    qsizetype more = 0;
    for (const AffectedOutput &a : name.affects) {
        QString part = a.drawing          ? u"第 %1 行 %2"_s.arg(a.line).arg(a.name)
                       : a.name.isEmpty() ? u"第 %1 行的线"_s.arg(a.line)
                                          : a.name;
        if (a.signal)
            part += u"（信号）"_s;
        if (parts.contains(part))
            continue;
        if (parts.size() == kShown) {
            ++more;
            continue;
        }
        parts << part;
    }
    if (parts.isEmpty())
        return u"不影响任何输出"_s;
    QString words = u"影响输出："_s + parts.join(u"、"_s);
    if (more > 0)
        words += u" 等 %1 个"_s.arg(parts.size() + more);
    return words;
}

QString incompleteReasons(const PreciseResult &result)
{
    QStringList parts;
    bool seen[6] = {};
    for (const FoundName &d : result.doubts) {
        const auto why = static_cast<size_t>(d.doubt);
        if (why >= std::size(seen) || seen[why] || d.occurrences.empty())
            continue;
        seen[why] = true;
        const int line = d.occurrences.front().line;
        switch (d.doubt) {
        case DoubtWhy::PlugIn:
            parts << u"公式调用外挂 DLL（%1）"_s.arg(d.name);
            break;
        case DoubtWhy::OtherFormula:
            parts << u"公式引用了其他公式 %1，看不到它的代码"_s.arg(d.name);
            break;
        case DoubtWhy::Unknown:
            parts << u"不认识第 %1 行的 %2"_s.arg(line).arg(d.name);
            break;
        case DoubtWhy::Unverified:
            parts << u"%1 的历史值是否会被改写尚未核实"_s.arg(d.name);
            break;
        case DoubtWhy::Offset:
            parts << u"第 %1 行 %2 的偏移可能是负数"_s.arg(line).arg(d.name);
            break;
        case DoubtWhy::None:
            break;
        }
    }
    if (!result.notes.empty()) {
        parts << u"第 %1 行读不懂，这一句没有检查完"_s.arg(result.notes.front().pos.line);
        if (result.notes.size() > 1)
            parts.back() += u"（共 %1 处语法问题）"_s.arg(result.notes.size());
    }
    return parts.join(u"；"_s) + u"。"_s;
}

} // namespace morvane::formula
