#include "bars.h"

#include <QList>
#include <QStringView>

#include <algorithm>

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

namespace {

// xorshift64*: a few lines, the same numbers everywhere (std:: distributions are not).
class Rng
{
public:
    explicit Rng(quint64 seed) : m_state(seed * 0x9E3779B97F4A7C15ULL + 1) {}
    quint64 next()
    {
        m_state ^= m_state >> 12;
        m_state ^= m_state << 25;
        m_state ^= m_state >> 27;
        return m_state * 0x2545F4914F6CDD1DULL;
    }
    // Uniform in [0,1).
    double uniform() { return double(next() >> 11) * (1.0 / 9007199254740992.0); }
    // Sum of uniforms: bell-shaped in [-1,1), no libm so no platform differences.
    double bell() { return (uniform() + uniform() + uniform() + uniform()) / 2.0 - 1.0; }

private:
    quint64 m_state;
};

double cents(double price)
{
    return std::round(price * 100.0) / 100.0;
}

// A report-period key: reports come out by 04-30 (annual, Q1), 08-31 (half year) and
// 10-31 (Q3), so the figures a chart shows step on those days.
int reportPeriod(const QDate &d)
{
    const int md = d.month() * 100 + d.day();
    return d.year() * 10 + (md > 1031 ? 3 : md > 831 ? 2 : md > 430 ? 1 : 0);
}

} // namespace

Bars builtinBars(int count, quint32 seed)
{
    Rng rng(seed);
    Rng market(seed + 1); // the index's own moves, drawn apart so the stock stays the same
    Bars b;
    QDate day(2020, 1, 2);
    const QDate listed(2010, 6, 18);
    double close = 10.0;
    double capital = 5.0e8;
    double index = 3000.0;
    std::map<QString, std::vector<double>> columns;
    auto put = [&columns](const char *key, double v) {
        columns[QString::fromLatin1(key)].push_back(v);
    };
    int reports = 0;
    for (int i = 0; i < count; ++i) {
        while (day.dayOfWeek() > 5)
            day = day.addDays(1);
        const double open = cents(close * (1.0 + 0.01 * rng.bell()));
        const double next = std::max(0.5, cents(close * (1.0 + 0.05 * rng.bell())));
        const double high = cents(std::max(open, next) * (1.0 + 0.015 * rng.uniform()));
        const double low = cents(std::min(open, next) * (1.0 - 0.015 * rng.uniform()));
        const double volume = std::round(2.0e6 * (0.5 + rng.uniform()) *
                                         (1.0 + 10.0 * std::abs(next - close) / close));
        b.dates.push_back(day);
        b.open.push_back(open);
        b.high.push_back(high);
        b.low.push_back(low);
        b.close.push_back(next);
        b.volume.push_back(volume);
        b.amount.push_back(std::round(volume * (open + high + low + next) / 4.0));
        if (i == count / 3 || i == 2 * count / 3)
            capital *= 1.2; // a share issue
        if (i > 0 && reportPeriod(day) != reportPeriod(b.dates[std::size_t(i - 1)]))
            ++reports;
        put("CAPITAL", capital);
        // FINANCE(n) as the software numbers them; shares in 股, CAPITAL in 手.
        put("FINANCE(1)", capital * 125.0);                    // 总股本
        put("FINANCE(3)", 1);                                  // 沪深品种类型: 1 A股主板
        put("FINANCE(7)", capital * 100.0);                    // 流通股本
        put("FINANCE(32)", 1.2 + 0.05 * double(reports));      // 每股未分配利润
        put("FINANCE(33)", 0.48 + 0.02 * double(reports % 4)); // 每股收益(折算全年)
        put("FINANCE(34)", 4.6 + 0.08 * double(reports));      // 每股净资产
        put("FINANCE(42)", double(listed.daysTo(day)));        // 上市的天数
        // The market index: partly the stock's own move, partly its own walk.
        const double move = 0.3 * (next - close) / close + 0.012 * market.bell();
        const double iopen = index * (1.0 + 0.004 * market.bell());
        const double iclose = index * (1.0 + move);
        const double ivol = std::round(3.0e8 * (0.7 + 0.6 * market.uniform()));
        put("INDEXO", iopen);
        put("INDEXC", iclose);
        put("INDEXH", std::max(iopen, iclose) * (1.0 + 0.006 * market.uniform()));
        put("INDEXL", std::min(iopen, iclose) * (1.0 - 0.006 * market.uniform()));
        put("INDEXV", ivol);
        put("INDEXA", std::round(ivol * 100.0 * iclose / 300.0));
        index = iclose;
        close = next;
        day = day.addDays(1);
    }
    b.extra = std::move(columns);
    return b;
}

namespace {

QDate parseDate(QStringView s)
{
    auto number = [](QStringView digits) {
        bool ok = false;
        const int v = digits.toInt(&ok);
        return ok ? v : -1;
    };
    auto allDigits = [](QStringView t) {
        return !t.isEmpty() &&
               std::all_of(t.begin(), t.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    };
    if (s.size() == 8 && allDigits(s))
        return QDate(number(s.first(4)), number(s.sliced(4, 2)), number(s.sliced(6, 2)));
    if (s.size() == 10 && (s[4] == u'-' || s[4] == u'/') && s[7] == s[4]) {
        const QStringView y = s.first(4), m = s.sliced(5, 2), d = s.sliced(8, 2);
        if (allDigits(y) && allDigits(m) && allDigits(d))
            return QDate(number(y), number(m), number(d));
    }
    return {};
}

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

} // namespace

BarsRead readBarsCsv(const QByteArray &bytes)
{
    BarsRead r;
    const QString text = QString::fromUtf8(bytes);
    if (text.contains(QChar::ReplacementCharacter) || text.contains(QChar(0))) {
        r.problem = BarsProblem::Encoding;
        return r;
    }
    const QList<QStringView> lines = QStringView(text).split(u'\n');
    auto fail = [&r](BarsProblem p, int line, int column) {
        r.problem = p;
        r.line = line;
        r.column = column;
        r.bars = {};
        return r;
    };
    bool first = true;
    std::vector<QString> extras; // keys of the named extra columns
    qsizetype positional = 7;    // fields before them
    for (qsizetype li = 0; li < lines.size(); ++li) {
        const int lineNo = int(li + 1);
        QStringView line = lines[li];
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.startsWith(QChar(0xFEFF)))
            line = line.sliced(1);
        if (line.trimmed().isEmpty())
            continue;
        const QChar sep = line.contains(u'\t') && !line.contains(u',') ? QChar(u'\t') : QChar(u',');
        const QList<QStringView> fields = line.split(sep);
        const bool header = first && parseDate(fields[0].trimmed()).isNull() &&
                            !fields[0].trimmed().isEmpty() && !fields[0].trimmed()[0].isDigit();
        first = false;
        if (header) {
            // Named extra columns follow the prices: FINANCE7, CAPITAL, INDEXC…
            for (qsizetype f = 5; f < fields.size(); ++f) {
                const QString key = extraColumnKey(fields[f].trimmed());
                if (key.isEmpty() && !extras.empty())
                    return fail(BarsProblem::ColumnCount, lineNo, int(f + 1));
                if (!key.isEmpty()) {
                    if (extras.empty())
                        positional = f;
                    extras.push_back(key);
                }
            }
            continue;
        }
        if (extras.empty() ? fields.size() < 5 || fields.size() > 7
                           : fields.size() != positional + qsizetype(extras.size()))
            return fail(BarsProblem::ColumnCount, lineNo, 0);
        const QDate date = parseDate(fields[0].trimmed());
        if (!date.isValid())
            return fail(BarsProblem::BadDate, lineNo, 1);
        double v[6] = {0, 0, 0, 0, 0, 0};
        for (qsizetype f = 1; f < std::min(fields.size(), positional); ++f) {
            bool ok = false;
            v[f - 1] = fields[f].trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(v[f - 1]))
                return fail(BarsProblem::BadNumber, lineNo, int(f + 1));
        }
        for (qsizetype f = positional; f < fields.size(); ++f) {
            bool ok = false;
            const double x = fields[f].trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(x))
                return fail(BarsProblem::BadNumber, lineNo, int(f + 1));
            r.bars.extra[extras[std::size_t(f - positional)]].push_back(x);
        }
        const double o = v[0], h = v[1], l = v[2], c = v[3];
        if (o <= 0 || h <= 0 || l <= 0 || c <= 0 || l > h || v[4] < 0 || v[5] < 0)
            return fail(BarsProblem::BadPrices, lineNo, 0);
        if (!r.bars.dates.empty() && date <= r.bars.dates.back())
            return fail(BarsProblem::DateOrder, lineNo, 1);
        r.bars.dates.push_back(date);
        r.bars.open.push_back(o);
        r.bars.high.push_back(h);
        r.bars.low.push_back(l);
        r.bars.close.push_back(c);
        r.bars.volume.push_back(v[4]);
        r.bars.amount.push_back(v[5]);
    }
    if (r.bars.dates.empty())
        return fail(BarsProblem::Empty, 0, 0);
    return r;
}

} // namespace morvane::formula
