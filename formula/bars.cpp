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

} // namespace

Bars builtinBars(int count, quint32 seed)
{
    Rng rng(seed);
    Bars b;
    QDate day(2020, 1, 2);
    double close = 10.0;
    double capital = 5.0e8;
    std::vector<double> capitals;
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
        capitals.push_back(capital);
        close = next;
        day = day.addDays(1);
    }
    b.extra.emplace(u"CAPITAL"_s, std::move(capitals));
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
        if (header)
            continue;
        if (fields.size() < 5 || fields.size() > 7)
            return fail(BarsProblem::ColumnCount, lineNo, 0);
        const QDate date = parseDate(fields[0].trimmed());
        if (!date.isValid())
            return fail(BarsProblem::BadDate, lineNo, 1);
        double v[6] = {0, 0, 0, 0, 0, 0};
        for (qsizetype f = 1; f < fields.size(); ++f) {
            bool ok = false;
            v[f - 1] = fields[f].trimmed().toDouble(&ok);
            if (!ok || !std::isfinite(v[f - 1]))
                return fail(BarsProblem::BadNumber, lineNo, int(f + 1));
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
