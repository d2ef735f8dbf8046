#include "precise.h"

#include "flow.h"
#include "lexer.h"
#include "matcher.h"
#include "offsets.h"
#include "parser.h"

#include <QHash>
#include <QJsonArray>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

enum class PatternKind
{
    Name,   // matches a whole name token
    Period, // #WEEK, #FOO: a period suffix or other # word
    Plain   // anything else: a substring of the code
};

struct Pattern
{
    QString text; // upper case
    PatternKind kind = PatternKind::Plain;
    KnownName name; // the knowledge base's entry, or a Listed one
};

PatternKind kindOf(const QString &entry)
{
    const std::vector<Token> tokens = lex(entry);
    if (tokens.size() == 1 && tokens[0].kind == TokenKind::Name)
        return PatternKind::Name;
    if (tokens.size() == 1 &&
        (tokens[0].kind == TokenKind::Period || tokens[0].kind == TokenKind::Directive))
        return PatternKind::Period;
    return PatternKind::Plain;
}

std::vector<Pattern> patternsFor(const QStringList &listEntries)
{
    std::vector<Pattern> patterns;
    QHash<QString, size_t> seen;
    auto add = [&](const QString &upper, const KnownName &name) {
        if (upper.trimmed().isEmpty() || seen.contains(upper))
            return;
        seen.insert(upper, patterns.size());
        patterns.push_back({upper, kindOf(upper), name});
    };
    for (const KnownName &k : knownNames())
        add(k.name, k);
    for (const QString &entry : listEntries) {
        const QString upper = upperText(entry);
        add(upper, {upper, NameClass::Listed, listedReason(), false, listedAdvice()});
    }
    return patterns;
}

bool isCode(TokenKind kind)
{
    switch (kind) {
    case TokenKind::Comment:
    case TokenKind::Text:
    case TokenKind::Quoted:
    case TokenKind::Note:
        return false;
    default:
        return true;
    }
}

IgnoreWhy whyFor(TokenKind kind)
{
    return kind == TokenKind::Comment ? IgnoreWhy::Comment : IgnoreWhy::Text;
}

size_t nextCodeToken(const std::vector<Token> &tokens, size_t i)
{
    for (++i; i < tokens.size(); ++i) {
        const TokenKind k = tokens[i].kind;
        if (k != TokenKind::Space && k != TokenKind::Newline && k != TokenKind::Comment)
            break;
    }
    return i;
}

QString unsureReason()
{
    return u"偏移量的正负看不出来：是负数时读的就是后面的K线。"_s;
}

QString opaqueReason(OpaqueKind kind)
{
    switch (kind) {
    case OpaqueKind::PlugIn:
        return u"外挂DLL在公式之外计算，可能读到后面的K线，这里看不到它的内部。"_s;
    case OpaqueKind::OtherFormula:
        return u"引用了另一个公式，它的代码不在这里，无法判断它是否读到后面的K线。"_s;
    case OpaqueKind::Unverified:
        return u"资料说它的历史值可能随之后的数据改写，Morvane 还没有核实。"_s;
    case OpaqueKind::Unknown:
        break;
    }
    return u"Morvane 不认识这个函数，无法判断它是否读到后面的K线。"_s;
}

QString doubtAdvice(DoubtWhy why)
{
    switch (why) {
    case DoubtWhy::Offset:
        return u"让偏移不可能为负，例如写成 MAX(偏移,0)；或在行情上回放（Ctrl+R）看它是否改写历史。"_s;
    case DoubtWhy::PlugIn:
        return u"向外挂的作者确认它只用当前和以前的K线，或在行情上回放（Ctrl+R）检验；看不到内部就不能算没有未来函数。"_s;
    case DoubtWhy::OtherFormula:
        return u"把被引用的公式也拿来一起检测。"_s;
    case DoubtWhy::Unverified:
        return u"查清它的数据是按什么时候的值给出的；在得到确认前不要用它的历史信号回测。"_s;
    case DoubtWhy::Unknown:
    case DoubtWhy::None:
        break;
    }
    return u"查一下这个名字是不是写错了，或者是哪个软件的函数。"_s;
}

DoubtWhy doubtFor(OpaqueKind kind)
{
    switch (kind) {
    case OpaqueKind::PlugIn:
        return DoubtWhy::PlugIn;
    case OpaqueKind::OtherFormula:
        return DoubtWhy::OtherFormula;
    case OpaqueKind::Unverified:
        return DoubtWhy::Unverified;
    case OpaqueKind::Unknown:
        break;
    }
    return DoubtWhy::Unknown;
}

// Each statement is read as the parser hands it over, then dropped: the tree of a large
// formula is never held whole. Offsets first; the data flow, which needs the names found,
// in a second reading.
class OffsetReading final : public StatementSink
{
public:
    void statement(Statement s) override { offsets.statement(s); }
    void salvaged(ExprPtr call) override { offsets.salvaged(*call); }

    OffsetAnalysis offsets;
};

class FlowReading final : public StatementSink
{
public:
    explicit FlowReading(std::vector<FoundName> &found) : m_flow(found) {}
    void statement(Statement s) override { m_flow.add(s); }
    void salvaged(ExprPtr) override {}

private:
    DataFlow m_flow;
};

class Checker
{
public:
    Checker(const QString &text, const QStringList &listEntries)
        : m_text(text), m_tokens(lexCode(text, &m_comments)), m_patterns(patternsFor(listEntries)),
          m_lines(text)
    {
    }

    PreciseResult run()
    {
        OffsetReading reading;
        m_result.notes = parseInto(m_text, m_tokens, reading);
        OffsetFindings offsets = reading.offsets.finish();
        m_refCalls = std::move(offsets.refCalls);
        m_negativeRefs = std::move(offsets.negative);
        m_unsureRefs = std::move(offsets.unsure);
        m_ranges = std::move(offsets.ranges);
        m_harmlessBacksets = std::move(offsets.harmlessBacksets);
        // REF calls the tree does not hold (a statement that did not parse): the literal form.
        for (size_t i : negativeOffsetTokens(m_text, m_tokens))
            m_literalNegative.push_back(m_tokens[i].offset);
        m_foundIndex.assign(m_patterns.size(), -1);
        m_doubtIndex.assign(m_patterns.size(), -1);
        m_definedAt.assign(m_patterns.size(), -1);
        m_ignoredKept.assign(m_patterns.size(), 0);
        m_toldAt.assign(m_patterns.size(), -1);

        std::vector<QString> texts;
        texts.reserve(m_patterns.size());
        for (size_t id = 0; id < m_patterns.size(); ++id) {
            texts.push_back(m_patterns[id].text);
            if (retirable(id))
                m_wholeNames.insert(m_patterns[id].text, id);
        }
        // Each hit is settled as it comes, by its end: nothing grows with the number of hits
        // but the occurrences kept. Each pattern's hits still come in text order.
        Matcher matcher(texts);
        m_matcher = &matcher;
        matcher.run(
            m_text,
            [&](int32_t p, qsizetype start) {
                m_toldAt[static_cast<size_t>(p)] = start;
                classify(static_cast<size_t>(p), start);
            },
            [&](qsizetype end, int32_t count) { settleRetired(end, count); });
        m_matcher = nullptr;
        addOpaque(offsets.opaque);
        byFirstUse(m_result.found);
        if (!m_result.found.empty()) {
            FlowReading flow(m_result.found);
            parseInto(m_text, m_tokens, flow);
        }
        byFirstUse(m_result.doubts);
        std::stable_sort(m_result.ignored.begin(), m_result.ignored.end(),
                         [](const IgnoredName &a, const IgnoredName &b) {
                             return a.offset != b.offset ? a.offset < b.offset
                                                         : a.length > b.length;
                         });
        return std::move(m_result);
    }

private:
    static void byFirstUse(std::vector<FoundName> &names)
    {
        std::stable_sort(names.begin(), names.end(), [](const FoundName &a, const FoundName &b) {
            return a.occurrences.front().offset < b.occurrences.front().offset;
        });
    }

    void addOpaque(const std::vector<OpaqueCall> &calls)
    {
        QHash<QString, size_t> index;
        for (const OpaqueCall &c : calls) {
            if (knownName(c.name))
                continue; // the knowledge base has told about it
            const bool counted = std::any_of(m_result.found.begin(), m_result.found.end(),
                                             [&](const FoundName &f) { return f.name == c.name; });
            if (counted)
                continue;
            auto it = index.find(c.name);
            if (it == index.end()) {
                it = index.insert(c.name, m_result.doubts.size());
                m_result.doubts.push_back({c.name,
                                           NameClass::Unchecked,
                                           opaqueReason(c.kind),
                                           {},
                                           doubtFor(c.kind),
                                           {},
                                           doubtAdvice(doubtFor(c.kind))});
            }
            NameOccurrence o;
            o.line = c.pos.line;
            o.column = c.pos.column;
            o.offset = c.pos.offset;
            o.length = c.length;
            m_result.doubts[*it].occurrences.push_back(o);
        }
    }

    size_t nextCode(size_t i) const { return nextCodeToken(m_tokens, i); }

    TokenKind nextCodeKind(size_t i) const
    {
        const size_t j = nextCode(i);
        return j < m_tokens.size() ? m_tokens[j].kind : TokenKind::Unknown;
    }

    bool isDefinition(size_t i) const
    {
        const TokenKind next = nextCodeKind(i);
        return m_tokens[i].kind == TokenKind::Name &&
               (next == TokenKind::Assign || next == TokenKind::Colon);
    }

    static bool contains(const std::vector<qsizetype> &sorted, qsizetype offset)
    {
        return std::binary_search(sorted.begin(), sorted.end(), offset);
    }

    // The token holding `offset`, or the one before it (the first when none is).
    static size_t tokenAt(const std::vector<Token> &tokens, qsizetype offset)
    {
        const auto it = std::upper_bound(tokens.begin(), tokens.end(), offset,
                                         [](qsizetype o, const Token &t) { return o < t.offset; });
        return it == tokens.begin() ? 0 : static_cast<size_t>(it - tokens.begin() - 1);
    }
    size_t tokenAt(qsizetype offset) const { return tokenAt(m_tokens, offset); }

    static bool holds(const std::vector<Token> &tokens, size_t i, qsizetype offset)
    {
        return i < tokens.size() && tokens[i].offset <= offset && offset < tokens[i].end();
    }

    // The first token starting at `offset` or after it.
    static size_t tokenFrom(const std::vector<Token> &tokens, qsizetype offset)
    {
        const auto it = std::lower_bound(tokens.begin(), tokens.end(), offset,
                                         [](const Token &t, qsizetype o) { return t.offset < o; });
        return static_cast<size_t>(it - tokens.begin());
    }

    // Why [start, end) is not code, by the first comment or quoted text it touches from token
    // `first` on (start lies in no comment); nothing if it is code.
    std::optional<IgnoreWhy> notCode(size_t first, qsizetype start, qsizetype end) const
    {
        qsizetype at = end;
        std::optional<IgnoreWhy> why;
        for (size_t i = first; i < m_tokens.size() && m_tokens[i].offset < end; ++i) {
            if (!isCode(m_tokens[i].kind)) {
                at = m_tokens[i].offset;
                why = whyFor(m_tokens[i].kind);
                break;
            }
        }
        const size_t comment = tokenFrom(m_comments, start);
        if (comment < m_comments.size() && m_comments[comment].offset < at)
            why = IgnoreWhy::Comment;
        return why;
    }

    void classify(size_t id, qsizetype start)
    {
        const Pattern &p = m_patterns[id];
        if (holds(m_comments, tokenAt(m_comments, start), start)) {
            if (!p.name.negativeOffsetOnly)
                ignore(id, start, IgnoreWhy::Comment);
            return;
        }
        const size_t i = tokenAt(start);
        const qsizetype end = start + p.text.size();
        if (!holds(m_tokens, i, start)) {
            // Blanks, which the tokens leave out: only a plain entry starts there.
            if (!p.name.negativeOffsetOnly)
                plainHit(id, start, tokenFrom(m_tokens, start));
            return;
        }
        const Token &t = m_tokens[i];
        const bool whole = start == t.offset && end == t.end();
        const bool inside = end <= t.end();

        if (p.name.negativeOffsetOnly) { // REF, REFV: only the calls that read later bars
            if (!whole || t.kind != TokenKind::Name)
                return;
            const bool analysed = contains(m_refCalls, t.offset);
            if (contains(m_negativeRefs, t.offset) ||
                (!analysed && contains(m_literalNegative, t.offset)))
                count(id, start);
            else if (contains(m_unsureRefs, t.offset))
                doubt(id, start);
            else if (!analysed && nextCodeKind(i) == TokenKind::LeftParen)
                doubt(id, start); // a call in a statement that did not read whole
            return;
        }
        if (whole && t.kind == TokenKind::Name && contains(m_harmlessBacksets, t.offset) &&
            p.name.name == u"BACKSET") {
            ignore(id, start, IgnoreWhy::Harmless);
            return;
        }
        if (p.kind == PatternKind::Plain || !inside) {
            plainHit(id, start, i);
            return;
        }
        if (!isCode(t.kind)) {
            // A period suffix counts inside "...", as in "KDJ.K#WEEK".
            if (p.kind == PatternKind::Period && t.kind == TokenKind::Quoted && !nameCharAt(end))
                count(id, start);
            else
                ignore(id, start, whyFor(t.kind));
            return;
        }
        const bool nameToken = p.kind == PatternKind::Name && t.kind == TokenKind::Name;
        const bool periodToken = p.kind == PatternKind::Period &&
                                 (t.kind == TokenKind::Period || t.kind == TokenKind::Directive);
        if (!whole || !(nameToken || periodToken)) {
            ignore(id, start, IgnoreWhy::Identifier);
            return;
        }
        if (periodToken || nextCodeKind(i) == TokenKind::LeftParen) {
            count(id, start);
            return;
        }
        // A pattern's hits come in text order: a use after its first definition is the variable.
        if (m_definedAt[id] < 0 && isDefinition(i))
            m_definedAt[id] = t.offset;
        if (m_definedAt[id] >= 0)
            ignore(id, start, IgnoreWhy::Defined);
        else
            count(id, start);
    }

    // A hit judged by the tokens it touches from token `first` on: what is not code hides
    // it; else a plain entry counts, and a name that is not a whole token is part of another.
    void plainHit(size_t id, qsizetype start, size_t first)
    {
        const std::optional<IgnoreWhy> why =
            notCode(first, start, start + m_patterns[id].text.size());
        if (why)
            ignore(id, start, *why);
        else if (m_patterns[id].kind == PatternKind::Plain)
            count(id, start);
        else
            ignore(id, start, IgnoreWhy::Identifier);
    }

    bool nameCharAt(qsizetype k) const
    {
        if (k >= m_text.size())
            return false;
        const QChar c = m_text[k];
        if (c.isHighSurrogate() && k + 1 < m_text.size() && m_text[k + 1].isLowSurrogate())
            return isNameChar(QChar::surrogateToUcs4(c, m_text[k + 1]));
        return isNameChar(c.unicode());
    }

    NameOccurrence place(qsizetype start, qsizetype length) const
    {
        const SourcePos pos = m_lines.at(start);
        return {pos.line, pos.column, start, length};
    }

    // The place, with the offset's range where the call at `start` had one analysed.
    NameOccurrence placeWithOffset(qsizetype start, qsizetype length) const
    {
        NameOccurrence o = place(start, length);
        const auto it = std::lower_bound(
            m_ranges.begin(), m_ranges.end(), start,
            [](const OffsetRange &r, qsizetype offset) { return r.call < offset; });
        if (it != m_ranges.end() && it->call == start) {
            o.offsetLow = it->low;
            o.offsetHigh = it->high;
        }
        return o;
    }

    void count(size_t id, qsizetype start)
    {
        const Pattern &p = m_patterns[id];
        if (m_foundIndex[id] < 0) {
            m_foundIndex[id] = static_cast<qsizetype>(m_result.found.size());
            m_result.found.push_back(
                {p.name.name, p.name.cls, p.name.reason, {}, DoubtWhy::None, {}, p.name.advice});
        }
        m_result.found[static_cast<size_t>(m_foundIndex[id])].occurrences.push_back(
            placeWithOffset(start, p.text.size()));
    }

    void doubt(size_t id, qsizetype start)
    {
        const Pattern &p = m_patterns[id];
        if (m_doubtIndex[id] < 0) {
            m_doubtIndex[id] = static_cast<qsizetype>(m_result.doubts.size());
            m_result.doubts.push_back({p.name.name,
                                       NameClass::Unsure,
                                       unsureReason(),
                                       {},
                                       DoubtWhy::Offset,
                                       {},
                                       doubtAdvice(DoubtWhy::Offset)});
        }
        m_result.doubts[static_cast<size_t>(m_doubtIndex[id])].occurrences.push_back(
            placeWithOffset(start, p.text.size()));
    }

    void ignore(size_t id, qsizetype start, IgnoreWhy why)
    {
        if (m_ignoredKept[id] >= kMaxIgnoredPerName ||
            static_cast<qsizetype>(m_result.ignored.size()) >= kMaxIgnored) {
            ++m_result.ignoredOmitted;
            return;
        }
        ++m_ignoredKept[id];
        const Pattern &p = m_patterns[id];
        const NameOccurrence w = place(start, p.text.size());
        m_result.ignored.push_back({p.name.name, w.line, w.column, w.offset, w.length, why});
        if (m_ignoredKept[id] == kMaxIgnoredPerName && retirable(id))
            m_matcher->retire(static_cast<int32_t>(id));
        if (static_cast<qsizetype>(m_result.ignored.size()) == kMaxIgnored) {
            for (size_t other = 0; other < m_patterns.size(); ++other) {
                if (retirable(other) && m_ignoredKept[other] < kMaxIgnoredPerName)
                    m_matcher->retire(static_cast<int32_t>(other));
            }
        }
    }

    // A plain name of the list or knowledge base: past its bound, every hit but one that is
    // the whole name token is ignored and only counted, so the matcher may stop telling them.
    bool retirable(size_t id) const
    {
        return m_patterns[id].kind == PatternKind::Name && !m_patterns[id].name.negativeOffsetOnly;
    }

    // `count` hits of retired patterns end at `end`: one may be a whole name token, which
    // counts or is a variable as ever; the others are ignored, and counted.
    void settleRetired(qsizetype end, qsizetype count)
    {
        const size_t i = tokenAt(end - 1);
        if (i >= m_tokens.size()) { // a text of comments and blanks
            m_result.ignoredOmitted += count;
            return;
        }
        const Token &t = m_tokens[i];
        if (t.kind == TokenKind::Name && t.end() == end) {
            m_spelling.resize(t.length);
            for (qsizetype k = 0; k < t.length; ++k)
                m_spelling[k] = QChar(upperUnit(m_text[t.offset + k].unicode()));
            const auto it = m_wholeNames.constFind(m_spelling);
            if (it != m_wholeNames.constEnd() && m_toldAt[*it] != t.offset) {
                classify(*it, t.offset);
                --count;
            }
        }
        m_result.ignoredOmitted += count;
    }

    const QString &m_text;
    std::vector<Token> m_comments; // apart, so that the parser takes m_tokens as they are
    std::vector<Token> m_tokens;   // the code: neither blanks nor comments
    std::vector<Pattern> m_patterns;
    std::vector<qsizetype> m_refCalls;
    std::vector<qsizetype> m_negativeRefs;
    std::vector<qsizetype> m_unsureRefs;
    std::vector<qsizetype> m_literalNegative;
    std::vector<OffsetRange> m_ranges;
    std::vector<qsizetype> m_harmlessBacksets;
    LineIndex m_lines;
    std::vector<qsizetype> m_definedAt;   // by pattern: offset of its first definition, or -1
    std::vector<qsizetype> m_foundIndex;  // by pattern: its index in found, or -1
    std::vector<qsizetype> m_doubtIndex;  // by pattern: its index in doubts, or -1
    std::vector<qsizetype> m_ignoredKept; // by pattern
    std::vector<qsizetype> m_toldAt;      // by pattern: start of its last hit told one by one
    QHash<QString, size_t> m_wholeNames;  // the retirable patterns by their text
    QString m_spelling;                   // a name token upper-cased, reused
    Matcher *m_matcher = nullptr;         // while the text is matched
    PreciseResult m_result;
};

} // namespace

PreciseResult preciseCheck(const QString &text, const QStringList &listEntries)
{
    return Checker(text, listEntries).run();
}

Verdict verdictOf(const PreciseResult &result)
{
    for (const FoundName &f : result.found) {
        if (f.cls != NameClass::LastBar)
            return Verdict::Found;
    }
    return result.doubts.empty() && result.notes.empty() ? Verdict::Clean : Verdict::Incomplete;
}

QLatin1StringView verdictWord(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Clean:
        return "clean"_L1;
    case Verdict::Found:
        return "found"_L1;
    case Verdict::Incomplete:
        break;
    }
    return "incomplete"_L1;
}

QLatin1StringView doubtWord(DoubtWhy why)
{
    switch (why) {
    case DoubtWhy::None:
        return {};
    case DoubtWhy::Offset:
        return "offset"_L1;
    case DoubtWhy::PlugIn:
        return "plugin"_L1;
    case DoubtWhy::OtherFormula:
        return "formula"_L1;
    case DoubtWhy::Unverified:
        return "unverified"_L1;
    case DoubtWhy::Unknown:
        break;
    }
    return "unknown"_L1;
}

QLatin1StringView whyWord(IgnoreWhy why)
{
    switch (why) {
    case IgnoreWhy::Harmless:
        return "harmless"_L1;
    case IgnoreWhy::Comment:
        return "comment"_L1;
    case IgnoreWhy::Text:
        return "text"_L1;
    case IgnoreWhy::Identifier:
        return "identifier"_L1;
    case IgnoreWhy::Defined:
        break;
    }
    return "defined"_L1;
}

QJsonObject toJson(const PreciseResult &result)
{
    auto names = [](const std::vector<FoundName> &list) {
        QJsonArray out;
        for (const FoundName &f : list) {
            QJsonArray places;
            for (const NameOccurrence &o : f.occurrences) {
                QJsonObject place{{u"line"_s, o.line}, {u"column"_s, o.column}};
                if (o.hasOffset()) {
                    auto end = [](double x) {
                        return std::isfinite(x) ? QJsonValue(x) : QJsonValue(QJsonValue::Null);
                    };
                    place.insert(u"offset"_s, QJsonObject{{u"low"_s, end(o.offsetLow)},
                                                          {u"high"_s, end(o.offsetHigh)}});
                }
                places.append(place);
            }
            QJsonObject name{{u"name"_s, f.name},
                             {u"class"_s, QString(classWord(f.cls))},
                             {u"reason"_s, f.reason},
                             {u"occurrences"_s, places}};
            if (f.doubt != DoubtWhy::None)
                name.insert(u"why"_s, QString(doubtWord(f.doubt)));
            if (f.doubt == DoubtWhy::None) {
                QJsonArray affects;
                for (const AffectedOutput &a : f.affects) {
                    affects.append(QJsonObject{{u"name"_s, a.name},
                                               {u"line"_s, a.line},
                                               {u"drawing"_s, a.drawing},
                                               {u"signal"_s, a.signal}});
                }
                name.insert(u"affects"_s, affects);
            }
            name.insert(u"advice"_s, f.advice);
            out.append(name);
        }
        return out;
    };
    const QJsonArray found = names(result.found);
    QJsonArray ignored;
    for (const IgnoredName &g : result.ignored) {
        ignored.append(QJsonObject{{u"name"_s, g.name},
                                   {u"line"_s, g.line},
                                   {u"column"_s, g.column},
                                   {u"why"_s, QString(whyWord(g.why))}});
    }
    QJsonArray notes;
    for (const SyntaxNote &n : result.notes) {
        notes.append(QJsonObject{
            {u"line"_s, n.pos.line}, {u"column"_s, n.pos.column}, {u"message"_s, n.message}});
    }
    QJsonObject out{{u"verdict"_s, QString(verdictWord(verdictOf(result)))},
                    {u"found"_s, found},
                    {u"ignored"_s, ignored},
                    {u"notes"_s, notes}};
    if (!result.doubts.empty())
        out.insert(u"doubts"_s, names(result.doubts));
    if (result.ignoredOmitted > 0)
        out.insert(u"ignoredOmitted"_s, result.ignoredOmitted);
    return out;
}

} // namespace morvane::formula
