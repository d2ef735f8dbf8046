#include "bars.h"

#include "barstext_p.h"

#include <QList>
#include <QStringDecoder>
#include <QStringView>

#include <algorithm>
#include <array>

#include <charconv>
#include <cmath>
#include <cstring>

using namespace Qt::StringLiterals;

namespace morvane::formula {

Bars Bars::head(qsizetype count) const
{
    const auto n = std::vector<double>::size_type(std::clamp<qsizetype>(count, 0, size()));
    auto cut = [n](const auto &v) {
        return std::decay_t<decltype(v)>(v.begin(),
                                         v.begin() + std::ptrdiff_t(std::min(n, v.size())));
    };
    Bars b;
    b.dates = cut(dates);
    b.open = cut(open);
    b.high = cut(high);
    b.low = cut(low);
    b.close = cut(close);
    b.volume = cut(volume);
    b.amount = cut(amount);
    for (const auto &[key, values] : extra)
        b.extra.emplace(key, cut(values));
    return b;
}

namespace detail {

QDate parseDate(QStringView s)
{
    auto allDigits = [](QStringView t) {
        return !t.isEmpty() &&
               std::all_of(t.begin(), t.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    };
    auto number = [](QStringView digits) { return digits.toInt(); };
    if (s.size() == 8 && allDigits(s))
        return QDate(number(s.first(4)), number(s.sliced(4, 2)), number(s.sliced(6, 2)));
    if (s.size() == 10 && (s[4] == u'-' || s[4] == u'/') && s[7] == s[4]) {
        const QStringView y = s.first(4), m = s.sliced(5, 2), d = s.sliced(8, 2);
        if (allDigits(y) && allDigits(m) && allDigits(d))
            return QDate(number(y), number(m), number(d));
    }
    return {};
}

QDate parseDate(QByteArrayView s)
{
    const char *p = s.data();
    auto digits = [p](qsizetype at, qsizetype count, int *out) {
        int v = 0;
        for (qsizetype k = at; k < at + count; ++k) {
            if (p[k] < '0' || p[k] > '9')
                return false;
            v = v * 10 + (p[k] - '0');
        }
        *out = v;
        return true;
    };
    int y = 0, m = 0, d = 0;
    if (s.size() == 8 && digits(0, 4, &y) && digits(4, 2, &m) && digits(6, 2, &d))
        return QDate(y, m, d);
    if (s.size() == 10 && (p[4] == '-' || p[4] == '/') && p[7] == p[4] && digits(0, 4, &y) &&
        digits(5, 2, &m) && digits(8, 2, &d))
        return QDate(y, m, d);
    return {};
}

bool parseNumber(QByteArrayView s, double *value)
{
    const char *begin = s.data(), *end = s.data() + s.size();
    if (begin != end && *begin == '+' && end - begin > 1 && begin[1] != '-')
        ++begin;
    if (begin == end)
        return false;
    const auto [last, ec] = std::from_chars(begin, end, *value);
    return ec == std::errc() && last == end && std::isfinite(*value);
}

QByteArrayView trimmed(QByteArrayView s)
{
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; };
    qsizetype from = 0, to = s.size();
    while (from < to && blank(s[from]))
        ++from;
    while (to > from && blank(s[to - 1]))
        --to;
    return s.sliced(from, to - from);
}

bool plainAscii(QByteArrayView line)
{
    for (char c : line)
        if (c == 0 || static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

int namedColumn(QStringView name)
{
    static const char16_t *const names[][4] = {
        {u"date", u"日期", u"trade_date", nullptr},   {u"open", u"开盘", u"开盘价", nullptr},
        {u"high", u"最高", u"最高价", nullptr},       {u"low", u"最低", u"最低价", nullptr},
        {u"close", u"收盘", u"收盘价", nullptr},      {u"volume", u"成交量", u"vol", nullptr},
        {u"amount", u"成交额", u"turnover", nullptr},
    };
    for (int c = 0; c < 7; ++c)
        for (const char16_t *const *n = names[c]; *n; ++n)
            if (name.compare(QStringView(*n), Qt::CaseInsensitive) == 0)
                return c;
    return -1;
}

int badBarValue(double open, double high, double low, double close, double volume, double amount)
{
    const double prices[] = {open, high, low, close};
    for (int i = 0; i < 4; ++i)
        if (!(prices[i] > 0))
            return i;
    if (low > high)
        return 2;
    if (open < low || open > high)
        return 0;
    if (close < low || close > high)
        return 3;
    if (!(volume >= 0))
        return 4;
    if (!(amount >= 0))
        return 5;
    return -1;
}

void appendBar(Bars &b, const QDate &date, double open, double high, double low, double close,
               double volume, double amount)
{
    b.dates.push_back(date);
    b.open.push_back(open);
    b.high.push_back(high);
    b.low.push_back(low);
    b.close.push_back(close);
    b.volume.push_back(volume);
    b.amount.push_back(amount);
}

TextCodec textCodec(QByteArrayView bytes)
{
    return bytes.isValidUtf8() ? TextCodec::Utf8 : TextCodec::Gb18030;
}

LineDecoder::LineDecoder(TextCodec codec)
    : m_codec(codec), m_gb("GB18030", QStringDecoder::Flag::Stateless)
{
    if (!m_gb.isValid()) {
        m_gb = QStringDecoder(QStringDecoder::System, QStringDecoder::Flag::Stateless);
        m_system = true;
    }
}

QString LineDecoder::operator()(QByteArrayView line)
{
    if (line.contains('\0'))
        return {};
    if (m_codec == TextCodec::Utf8)
        return QString::fromUtf8(line);
    QString text = m_gb.decode(line);
    if (text.contains(QChar::ReplacementCharacter))
        return {};
    if (m_system && QByteArrayView(text.toLocal8Bit()) != line)
        return {};
    return text;
}

} // namespace detail

namespace {

using detail::namedColumn;
using detail::parseDate;

// The column key for a header name: "FINANCE7" or "FINANCE(7)" gives "FINANCE(7)";
// CAPITAL and the INDEX columns as they are; anything else none.
QString extraColumnKey(QStringView name)
{
    const QString n = name.toString().toUpper().remove(u'(').remove(u')');
    if (n == u"CAPITAL" ||
        (n.size() == 6 && n.startsWith(u"INDEX") && QStringView(u"COHLVA").contains(n.back())))
        return n;
    bool ok = false;
    const int k = n.startsWith(u"FINANCE") ? QStringView(n).sliced(7).toInt(&ok) : 0;
    return ok && k > 0 ? u"FINANCE("_s + QString::number(k) + u')' : QString();
}

struct Row
{
    QList<QString> fields;
    QList<bool> quoted;
    int badField = 0; // 1-based field with a malformed quote, 0 when none
};

// One row of fields split at sep; "…" fields (RFC 4180) may hold the separator and ""
// for a quote. Fields are trimmed; a quote must open and close a field.
Row splitRow(QStringView line, QChar sep)
{
    Row row;
    qsizetype i = 0;
    const qsizetype n = line.size();
    while (true) {
        while (i < n && line[i] == u' ')
            ++i;
        QString field;
        bool quoted = false;
        if (i < n && line[i] == u'"') {
            quoted = true;
            bool closed = false;
            for (++i; i < n; ++i) {
                if (line[i] != u'"') {
                    field += line[i];
                } else if (i + 1 < n && line[i + 1] == u'"') {
                    field += u'"';
                    ++i;
                } else {
                    closed = true;
                    ++i;
                    break;
                }
            }
            while (i < n && line[i] == u' ')
                ++i;
            if (!closed || (i < n && line[i] != sep)) {
                row.badField = int(row.fields.size() + 1);
                return row;
            }
        } else {
            const qsizetype end = line.indexOf(sep, i);
            field = line.sliced(i, (end < 0 ? n : end) - i).trimmed().toString();
            if (field.contains(u'"')) {
                row.badField = int(row.fields.size() + 1);
                return row;
            }
            i = end < 0 ? n : end;
        }
        row.fields.append(field.trimmed());
        row.quoted.append(quoted);
        if (i >= n)
            return row;
        ++i; // the separator
    }
}

// The separator of a row: a tab when tabs and no commas stand outside quotes.
QChar separatorOf(QStringView line)
{
    bool inQuotes = false, tab = false, comma = false;
    for (QChar c : line) {
        if (c == u'"')
            inQuotes = !inQuotes;
        else if (!inQuotes && c == u'\t')
            tab = true;
        else if (!inQuotes && c == u',')
            comma = true;
    }
    return tab && !comma ? QChar(u'\t') : QChar(u',');
}

// A data row's fields as views into the line, split as splitRow does: trimmed, "…" fields
// may hold the separator. A doubled quote inside stays doubled: no date or number has one,
// so the field is refused as it was.
struct ByteRow
{
    std::vector<QByteArrayView> fields;
    std::vector<char> quoted;
    int badField = 0;
};

void splitBytes(QByteArrayView line, char sep, ByteRow &row)
{
    row.fields.clear();
    row.quoted.clear();
    row.badField = 0;
    const char *p = line.data();
    const qsizetype n = line.size();
    qsizetype i = 0;
    while (true) {
        while (i < n && p[i] == ' ')
            ++i;
        QByteArrayView field;
        bool quoted = false;
        if (i < n && p[i] == '"') {
            quoted = true;
            const qsizetype open = ++i;
            bool closed = false;
            for (; i < n; ++i) {
                if (p[i] != '"')
                    continue;
                if (i + 1 < n && p[i + 1] == '"') {
                    ++i;
                    continue;
                }
                closed = true;
                break;
            }
            field = line.sliced(open, i - open);
            if (closed)
                ++i;
            while (i < n && p[i] == ' ')
                ++i;
            if (!closed || (i < n && p[i] != sep)) {
                row.badField = int(row.fields.size() + 1);
                return;
            }
        } else {
            const void *at = std::memchr(p + i, sep, std::size_t(n - i));
            const qsizetype end = at ? static_cast<const char *>(at) - p : n;
            field = line.sliced(i, end - i);
            if (field.contains('"')) {
                row.badField = int(row.fields.size() + 1);
                return;
            }
            i = end;
        }
        row.fields.push_back(detail::trimmed(field));
        row.quoted.push_back(quoted ? 1 : 0);
        if (i >= n)
            return;
        ++i; // the separator
    }
}

char separatorOf(QByteArrayView line)
{
    bool inQuotes = false, tab = false, comma = false;
    for (char c : line) {
        if (c == '"')
            inQuotes = !inQuotes;
        else if (!inQuotes && c == '\t')
            tab = true;
        else if (!inQuotes && c == ',')
            comma = true;
    }
    return tab && !comma ? '\t' : ',';
}

// A quoted number may carry thousands separators ("1,234.50"); nothing else is read into
// one, so "1,5" stays an error rather than fifteen.
bool parseNumber(QByteArrayView text, bool quoted, double *value)
{
    if (!quoted || !text.contains(','))
        return detail::parseNumber(text, value);
    if (text.size() > detail::kMaxField)
        return false;
    char plain[detail::kMaxField];
    qsizetype size = 0, start = 0;
    for (int g = 0; start <= text.size(); ++g) {
        const qsizetype comma = text.indexOf(',', start);
        const qsizetype end = comma < 0 ? text.size() : comma;
        const QByteArrayView part = text.sliced(start, end - start);
        if (g == 0) {
            const QByteArrayView head = part.startsWith('-') ? part.sliced(1) : part;
            if (head.isEmpty() || head.size() > 3)
                return false;
        } else {
            const qsizetype dot = part.indexOf('.');
            if ((dot < 0 ? part.size() : dot) != 3 || (dot >= 0 && comma >= 0))
                return false;
        }
        std::memcpy(plain + size, part.data(), std::size_t(part.size()));
        size += part.size();
        start = end + 1;
    }
    return detail::parseNumber(QByteArrayView(plain, size), value);
}

// A problem with a row or the header; None when it reads.
struct CsvFault
{
    BarsProblem problem = BarsProblem::None;
    int column = 0;
};

// Where each column stands, from the header when there is one.
struct CsvLayout
{
    // Where each of date, open, high, low, close, volume, amount stands; -1 when absent.
    // Positional unless a header names the prices.
    std::array<qsizetype, 7> at = {0, 1, 2, 3, 4, 5, 6};
    bool named = false;
    qsizetype width = 0;                               // fields per row when named
    std::vector<std::pair<qsizetype, QString>> extras; // named extra columns
    std::vector<std::vector<double> *> extraValues;    // their columns in the bars
    qsizetype positional = 7;                          // fields before them

    CsvFault readHeader(const QString &text, Bars &bars);
    CsvFault readRow(const ByteRow &row, Bars &bars) const;
};

CsvFault CsvLayout::readHeader(const QString &text, Bars &bars)
{
    const Row names = splitRow(text, separatorOf(QStringView(text)));
    const QList<QString> &fields = names.fields;
    std::array<qsizetype, 7> byName = {-1, -1, -1, -1, -1, -1, -1};
    for (qsizetype f = 0; f < fields.size(); ++f)
        if (const int c = namedColumn(fields[f]); c >= 0 && byName[std::size_t(c)] < 0)
            byName[std::size_t(c)] = f;
    named = std::all_of(byName.begin(), byName.begin() + 5, [](qsizetype f) { return f >= 0; });
    if (named) {
        at = byName;
        width = fields.size();
    }
    // Named extra columns: FINANCE7, CAPITAL, INDEXC…; positional ones follow the prices.
    for (qsizetype f = named ? 0 : 5; f < fields.size(); ++f) {
        const QString key = extraColumnKey(fields[f]);
        if (key.isEmpty() && !named && !extras.empty())
            return {BarsProblem::ColumnCount, int(f + 1)};
        if (!key.isEmpty()) {
            if (extras.empty() && !named)
                positional = f;
            extras.emplace_back(f, key);
        }
    }
    if (!named) {
        for (std::size_t c = 5; c < 7; ++c)
            at[c] = qsizetype(c) < positional ? qsizetype(c) : -1;
    }
    for (const auto &extra : extras)
        extraValues.push_back(&bars.extra[extra.second]);
    return {};
}

CsvFault CsvLayout::readRow(const ByteRow &row, Bars &bars) const
{
    const auto count = qsizetype(row.fields.size());
    if (named            ? count != width
        : extras.empty() ? count < 5 || count > 7
                         : count != positional + qsizetype(extras.size()))
        return {BarsProblem::ColumnCount, 0};
    auto field = [&](qsizetype f) { return row.fields[std::size_t(f)]; };
    if (field(at[0]).size() > detail::kMaxField)
        return {BarsProblem::TooLong, int(at[0] + 1)};
    const QDate date = parseDate(field(at[0]));
    if (!date.isValid())
        return {BarsProblem::BadDate, int(at[0] + 1)};
    double v[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t c = 1; c < 7; ++c) {
        const qsizetype f = at[c];
        if (f < 0 || f >= count)
            continue;
        if (field(f).size() > detail::kMaxField)
            return {BarsProblem::TooLong, int(f + 1)};
        if (!parseNumber(field(f), row.quoted[std::size_t(f)] != 0, &v[c - 1]))
            return {BarsProblem::BadNumber, int(f + 1)};
    }
    for (std::size_t e = 0; e < extras.size(); ++e) {
        const qsizetype f = extras[e].first;
        double x = 0;
        if (field(f).size() > detail::kMaxField)
            return {BarsProblem::TooLong, int(f + 1)};
        if (!parseNumber(field(f), row.quoted[std::size_t(f)] != 0, &x))
            return {BarsProblem::BadNumber, int(f + 1)};
        extraValues[e]->push_back(x);
    }
    if (const int bad = detail::badBarValue(v[0], v[1], v[2], v[3], v[4], v[5]); bad >= 0)
        return {BarsProblem::BadPrices, int(at[std::size_t(bad + 1)] + 1)};
    if (!bars.dates.empty() && date <= bars.dates.back())
        return {BarsProblem::DateOrder, int(at[0] + 1)};
    detail::appendBar(bars, date, v[0], v[1], v[2], v[3], v[4], v[5]);
    return {};
}

} // namespace

BarsRead readBarsCsv(const QByteArray &bytes)
{
    BarsRead r;
    auto fail = [&r](BarsProblem p, qint64 line, int column) {
        r.problem = p;
        r.line = int(line);
        r.column = column;
        r.bars = {};
        return false;
    };
    detail::LineDecoder decode(detail::textCodec(bytes));
    bool first = true;
    CsvLayout layout;
    {
        const auto rows = std::size_t(std::count(bytes.begin(), bytes.end(), '\n') + 1);
        for (auto *v : {&r.bars.open, &r.bars.high, &r.bars.low, &r.bars.close, &r.bars.volume,
                        &r.bars.amount})
            v->reserve(rows);
        r.bars.dates.reserve(rows);
    }
    ByteRow row;
    detail::forEachLine(bytes, [&](qint64 lineNo, QByteArrayView raw) {
        if (raw.size() > detail::kMaxTextLine)
            return fail(BarsProblem::TooLong, lineNo, 0);
        // Data rows are plain ASCII: decoded only when they are not, to know they are text.
        const bool ascii = detail::plainAscii(raw);
        QString text;
        if (!ascii) {
            text = decode(raw);
            if (text.isNull())
                return fail(BarsProblem::Encoding, lineNo, 0);
            if (text.trimmed().isEmpty())
                return true;
        } else if (detail::trimmed(raw).isEmpty()) {
            return true;
        }
        splitBytes(raw, separatorOf(raw), row);
        if (row.badField > 0)
            return fail(BarsProblem::ColumnCount, lineNo, row.badField);
        const QByteArrayView head = row.fields[0];
        const bool header = first && parseDate(head).isNull() && !head.isEmpty() &&
                            !(head[0] >= '0' && head[0] <= '9');
        first = false;
        if (header && ascii)
            text = QString::fromLatin1(raw);
        const CsvFault fault =
            header ? layout.readHeader(text, r.bars) : layout.readRow(row, r.bars);
        if (fault.problem != BarsProblem::None)
            return fail(fault.problem, lineNo, fault.column);
        return true;
    });
    if (r.problem == BarsProblem::None && r.bars.dates.empty())
        fail(BarsProblem::Empty, 0, 0);
    return r;
}

} // namespace morvane::formula
