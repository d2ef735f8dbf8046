#include "bars.h"

#include "barstext_p.h"

#include <QList>
#include <QStringDecoder>
#include <QStringView>

#include <algorithm>
#include <array>

#include <cmath>

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

// The place among date, open, high, low, close, volume, amount a header name stands for;
// -1 for any other name.
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

// A quoted number may carry thousands separators ("1,234.50"); nothing else is read into
// one, so "1,5" stays an error rather than fifteen.
bool parseNumber(QString text, bool quoted, double *value)
{
    if (quoted && text.contains(u',')) {
        const QList<QStringView> groups = QStringView(text).split(u',');
        const QStringView head = groups[0].startsWith(u'-') ? groups[0].sliced(1) : groups[0];
        bool grouped = !head.isEmpty() && head.size() <= 3;
        for (qsizetype g = 1; grouped && g < groups.size(); ++g) {
            const qsizetype dot = groups[g].indexOf(u'.');
            grouped =
                (dot < 0 ? groups[g].size() : dot) == 3 && (dot < 0 || g + 1 == groups.size());
        }
        if (!grouped)
            return false;
        text.remove(u',');
    }
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok && std::isfinite(*value);
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
    // Where each of date, open, high, low, close, volume, amount stands; -1 when absent.
    // Positional unless a header names the prices.
    std::array<qsizetype, 7> at = {0, 1, 2, 3, 4, 5, 6};
    bool named = false;
    qsizetype width = 0;                               // fields per row when named
    std::vector<std::pair<qsizetype, QString>> extras; // named extra columns
    qsizetype positional = 7;                          // fields before them
    detail::forEachLine(bytes, [&](qint64 lineNo, QByteArrayView raw) {
        const QString text = decode(raw);
        if (text.isNull())
            return fail(BarsProblem::Encoding, lineNo, 0);
        if (text.trimmed().isEmpty())
            return true;
        const Row row = splitRow(text, separatorOf(text));
        if (row.badField > 0)
            return fail(BarsProblem::ColumnCount, lineNo, row.badField);
        const QList<QString> &fields = row.fields;
        const bool header = first && parseDate(fields[0]).isNull() && !fields[0].isEmpty() &&
                            !fields[0][0].isDigit();
        first = false;
        if (header) {
            std::array<qsizetype, 7> byName = {-1, -1, -1, -1, -1, -1, -1};
            for (qsizetype f = 0; f < fields.size(); ++f)
                if (const int c = namedColumn(fields[f]); c >= 0 && byName[std::size_t(c)] < 0)
                    byName[std::size_t(c)] = f;
            named =
                std::all_of(byName.begin(), byName.begin() + 5, [](qsizetype f) { return f >= 0; });
            if (named) {
                at = byName;
                width = fields.size();
            }
            // Named extra columns: FINANCE7, CAPITAL, INDEXC…; positional ones follow the prices.
            for (qsizetype f = named ? 0 : 5; f < fields.size(); ++f) {
                const QString key = extraColumnKey(fields[f]);
                if (key.isEmpty() && !named && !extras.empty())
                    return fail(BarsProblem::ColumnCount, lineNo, int(f + 1));
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
            return true;
        }
        const qsizetype count = fields.size();
        if (named            ? count != width
            : extras.empty() ? count < 5 || count > 7
                             : count != positional + qsizetype(extras.size()))
            return fail(BarsProblem::ColumnCount, lineNo, 0);
        const QDate date = parseDate(fields[at[0]]);
        if (!date.isValid())
            return fail(BarsProblem::BadDate, lineNo, int(at[0] + 1));
        double v[6] = {0, 0, 0, 0, 0, 0};
        for (std::size_t c = 1; c < 7; ++c) {
            const qsizetype f = at[c];
            if (f < 0 || f >= count)
                continue;
            if (!parseNumber(fields[f], row.quoted[f], &v[c - 1]))
                return fail(BarsProblem::BadNumber, lineNo, int(f + 1));
        }
        for (const auto &[f, key] : extras) {
            double x = 0;
            if (!parseNumber(fields[f], row.quoted[f], &x))
                return fail(BarsProblem::BadNumber, lineNo, int(f + 1));
            r.bars.extra[key].push_back(x);
        }
        if (const int bad = detail::badBarValue(v[0], v[1], v[2], v[3], v[4], v[5]); bad >= 0)
            return fail(BarsProblem::BadPrices, lineNo, int(at[std::size_t(bad + 1)] + 1));
        if (!r.bars.dates.empty() && date <= r.bars.dates.back())
            return fail(BarsProblem::DateOrder, lineNo, int(at[0] + 1));
        detail::appendBar(r.bars, date, v[0], v[1], v[2], v[3], v[4], v[5]);
        return true;
    });
    if (r.problem == BarsProblem::None && r.bars.dates.empty())
        fail(BarsProblem::Empty, 0, 0);
    return r;
}

} // namespace morvane::formula
