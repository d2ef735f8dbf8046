#include "windowreport.h"

#include "explain.h"
#include "knowledge.h"
#include "lexer.h"
#include "skinwidgets.h"

#include <QHash>
#include <QPlainTextEdit>
#include <QSet>
#include <QTextBlock>
#include <QTextCursor>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace morvane {

using formula::NameClass;

namespace {

} // namespace

ReportLineKind reportKind(NameClass cls)
{
    switch (cls) {
    case NameClass::Future:
        return ReportLineKind::Future;
    case NameClass::Drift:
        return ReportLineKind::Drift;
    case NameClass::LastBar:
        return ReportLineKind::LastBar;
    case NameClass::Unsure:
        return ReportLineKind::Unsure;
    case NameClass::Unchecked:
        return ReportLineKind::Unchecked;
    case NameClass::Listed:
        break;
    }
    return ReportLineKind::Listed;
}

namespace {

// The whole name around a piece of the formula: what PEAK stood inside when it did not count.
// The places come in text order, mostly many in one name: the last name found is kept. A
// name of thousands of letters is shown by its start.
class EnclosingName
{
public:
    explicit EnclosingName(const QString &text) : m_text(text) {}

    const QString &around(qsizetype offset, qsizetype length)
    {
        if (offset >= m_begin && offset + length <= m_end)
            return m_name;
        m_begin = offset;
        m_end = offset + length;
        while (m_begin > 0 && formula::isNameChar(m_text[m_begin - 1].unicode()))
            --m_begin;
        while (m_end < m_text.size() && formula::isNameChar(m_text[m_end].unicode()))
            ++m_end;
        constexpr qsizetype kShown = 40;
        m_name = m_end - m_begin > kShown ? m_text.sliced(m_begin, kShown).toUpper() + u"…"_s
                                          : m_text.sliced(m_begin, m_end - m_begin).toUpper();
        return m_name;
    }

private:
    const QString &m_text;
    qsizetype m_begin = 0;
    qsizetype m_end = -1;
    QString m_name;
};

QString ignoreWords(EnclosingName &enclosing, const formula::IgnoredName &i)
{
    switch (i.why) {
    case formula::IgnoreWhy::Comment:
        return u"只出现在注释中"_s;
    case formula::IgnoreWhy::Text:
        return u"只出现在引号内的文字中"_s;
    case formula::IgnoreWhy::Identifier:
        return u"只是 %1 的一部分"_s.arg(enclosing.around(i.offset, i.length));
    case formula::IgnoreWhy::Harmless:
        return u"只标记条件成立的这一根K线，不改写之前的K线"_s;
    case formula::IgnoreWhy::Defined:
        break;
    }
    return u"是公式自己定义的变量"_s;
}

// The names the list found that the formula does not call, each with why.
void addNotCounted(WindowReport &report, const QString &formula,
                   const formula::PreciseResult &precise, const QStringList &plainHits)
{
    // Thousands of list entries against a hundred thousand kept places: each name's own.
    QSet<QString> counted;
    for (const formula::FoundName &f : precise.found)
        counted.insert(f.name);
    QHash<QString, std::vector<const formula::IgnoredName *>> ignoredByName;
    for (const formula::IgnoredName &i : precise.ignored)
        ignoredByName[i.name].push_back(&i);
    EnclosingName enclosing(formula);
    QSet<QString> done;
    for (const QString &entry : plainHits) {
        const QString upper = entry.toUpper();
        if (done.contains(upper))
            continue;
        done.insert(upper);
        if (counted.contains(upper))
            continue;
        ReportLine line{ReportLineKind::NotCounted, {}, upper, false, {}, {}};
        QStringList why;
        if (const auto it = ignoredByName.constFind(upper); it != ignoredByName.constEnd()) {
            for (const formula::IgnoredName *i : *it) {
                line.places.push_back({i->offset, i->length});
                if (why.size() < 3) {
                    const QString words = ignoreWords(enclosing, *i);
                    if (!why.contains(words))
                        why << words;
                }
            }
        }
        if (why.isEmpty()) {
            const formula::KnownName *known = formula::knownName(upper);
            why << (known && known->negativeOffsetOnly ? u"偏移不是负数，只读以前的K线"_s
                                                       : u"只是按文字找到，公式里没有调用它"_s);
        }
        line.text = QString::fromUtf16(reportStyle(line.kind).headline) + entry + u"："_s +
                    why.join(u"，"_s);
        line.toolTip = u"旧的按文字查找会报告 %1，但它不算未来函数。"_s.arg(entry);
        report.lines.push_back(std::move(line));
    }
}

void addFound(WindowReport &report, const formula::FoundName &f, ReportLineKind kind)
{
    const ReportStyle &style = reportStyle(kind);
    ReportLine head{kind, QString::fromUtf16(style.headline) + f.name, f.name, false, {}, {}};
    std::vector<int> lines;
    QStringList places;
    for (const formula::NameOccurrence &o : f.occurrences) {
        head.places.push_back({o.offset, o.length});
        lines.push_back(o.line);
        if (places.size() < 5)
            places << formula::placeWords(o.line, o.column);
    }
    if (f.occurrences.size() > 5)
        places << u"共 %1 处"_s.arg(f.occurrences.size());
    const QString offsets = formula::offsetsOf(f);
    const QString reason = offsets.isEmpty() ? f.reason : f.reason + u"（"_s + offsets + u"）"_s;
    // What it reaches and what to do, for findings; a doubt tells what to do only.
    QStringList more;
    if (f.doubt == formula::DoubtWhy::None)
        more << formula::affectsWords(f);
    if (!f.advice.isEmpty())
        more << u"建议："_s + f.advice;
    head.toolTip =
        QString::fromUtf16(style.tag) + u"："_s + reason + u"\n位置："_s + places.join(u"、"_s);
    for (const QString &m : more)
        head.toolTip += u'\n' + m;
    head.toolTip += u"\n双击可在代码中依次选中。"_s;
    ReportLine detail = head;
    detail.detail = true;
    detail.text =
        u"    〔"_s + QString::fromUtf16(style.tag) + u"〕"_s + lineList(lines) + u"："_s + reason;
    report.lines.push_back(std::move(head));
    report.lines.push_back(detail);
    for (const QString &m : more) {
        detail.text = u"    "_s + m;
        report.lines.push_back(detail);
    }
}

} // namespace

QString lineList(const std::vector<int> &lines)
{
    QStringList distinct;
    int last = -1;
    bool more = false;
    for (int l : lines) {
        if (l == last)
            continue;
        last = l;
        if (distinct.size() == 3) {
            more = true;
            break;
        }
        distinct << QString::number(l);
    }
    QString words = u"第 "_s + distinct.join(u"、"_s) + u" 行"_s;
    if (more || (lines.size() > 3 && distinct.size() < static_cast<qsizetype>(lines.size())))
        words += u"等 %1 处"_s.arg(lines.size());
    return words;
}

QString WindowReport::text() const
{
    if (lines.size() == 1 &&
        (lines[0].kind == ReportLineKind::Clean || lines[0].kind == ReportLineKind::Empty))
        return lines[0].text;
    QString out;
    for (const ReportLine &l : lines)
        out += l.text + u"\r\n"_s;
    return out;
}

std::vector<const ReportLine *> WindowReport::counted() const
{
    std::vector<const ReportLine *> out;
    for (const ReportLine &l : lines) {
        if (l.detail)
            continue;
        switch (l.kind) {
        case ReportLineKind::Future:
        case ReportLineKind::Drift:
        case ReportLineKind::Listed:
        case ReportLineKind::LastBar:
            out.push_back(&l);
            break;
        default:
            break;
        }
    }
    return out;
}

WindowReport buildWindowReport(const QString &formula, const formula::PreciseResult &precise,
                               const QStringList &plainHits, const LocalClock &clock)
{
    WindowReport report;
    if (formula.trimmed().isEmpty()) {
        report.lines.push_back({ReportLineKind::Empty,
                                QString::fromUtf16(reportStyle(ReportLineKind::Empty).headline),
                                {},
                                false,
                                {},
                                {}});
        return report;
    }
    // Look-ahead and drift first decide the verdict; warnings follow it. Clean is said only
    // when everything was checked.
    report.verdict = formula::verdictOf(precise);
    report.found = report.verdict == formula::Verdict::Found;
    if (report.verdict == formula::Verdict::Incomplete) {
        ReportLine line{ReportLineKind::Incomplete, {}, {}, false, {}, {}};
        line.text =
            QString::fromUtf16(formula::kIncompleteHeadline) + formula::incompleteReasons(precise);
        line.toolTip = u"没有发现未来函数，但公式里有检查不到的地方，不能算作没有未来函数。"_s;
        report.lines.push_back(std::move(line));
    } else if (!report.found) {
        const QTime now = clock ? clock() : QTime();
        const bool at59 = now.isValid() && now.minute() == 59;
        report.lines.push_back({ReportLineKind::Clean,
                                QString::fromUtf16(at59 ? kNothingFoundAt59 : kNothingFound),
                                {},
                                false,
                                {},
                                {}});
    }
    for (const formula::FoundName &f : precise.found)
        addFound(report, f, reportKind(f.cls));
    for (const formula::FoundName &d : precise.doubts)
        addFound(report, d, reportKind(d.cls));
    for (const formula::SyntaxNote &n : precise.notes) {
        ReportLine line{ReportLineKind::Syntax, {}, {}, false, {}, {{n.pos.offset, 0}}};
        line.text = QString::fromUtf16(reportStyle(line.kind).headline) +
                    formula::placeWords(n.pos.line, n.pos.column) + u"："_s +
                    formula::syntaxWords(n);
        line.toolTip = u"这一句读不懂，没有检查完；其余部分照常检查。双击可跳到代码中的位置。"_s;
        report.lines.push_back(std::move(line));
    }
    addNotCounted(report, formula, precise, plainHits);
    return report;
}

void showWindowReport(QPlainTextEdit *box, const WindowReport &report)
{
    box->setFont(skin::font(skin::pointsToPixels(skin::reportPointSize), false));
    QPalette pal = box->palette();
    const bool empty = !report.lines.empty() && report.lines[0].kind == ReportLineKind::Empty;
    const bool incomplete = report.verdict == formula::Verdict::Incomplete;
    pal.setColor(QPalette::Text, report.found ? skin::reportRed
                                 : empty      ? skin::reportGrey
                                 : incomplete ? skin::reportIncomplete
                                              : skin::reportGreen);
    box->setPalette(pal);
    box->clear();
    QTextCursor cursor(box->document());
    // One edit: Qt lays the lines out once, not once for each of a list's thousands of lines.
    cursor.beginEditBlock();
    for (size_t i = 0; i < report.lines.size(); ++i) {
        const ReportLine &line = report.lines[i];
        QTextCharFormat format;
        format.setForeground(reportStyle(line.kind).colour);
        if (i > 0)
            cursor.insertBlock();
        cursor.insertText(line.text, format);
    }
    cursor.endEditBlock();
    box->moveCursor(QTextCursor::Start);
}

} // namespace morvane
