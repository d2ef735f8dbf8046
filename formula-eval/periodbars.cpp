#include "run_p.h"

#include <algorithm>
#include <limits>

namespace morvane::formula::detail {

std::vector<int> periodKeys(const Bars &days, const QString &period)
{
    std::vector<int> keys(days.dates.size());
    for (Sz i = 0; i < keys.size(); ++i)
        keys[i] = periodKey(period, days.dates[i]).value_or(std::numeric_limits<int>::min());
    return keys;
}

Bars aggregate(const Bars &days, const std::vector<int> &keys, Sz from, Sz to,
               std::vector<Sz> *index)
{
    Bars out;
    index->clear();
    // How each extra column folds, decided once rather than by name at every day.
    enum class Fold
    {
        High,
        Low,
        Sum,
        First,
        Newest // closes and latest-data values
    };
    struct Column
    {
        const std::vector<double> *in;
        std::vector<double> *out;
        Fold fold;
    };
    std::vector<Column> columns;
    for (const auto &[name, values] : days.extra) {
        const Fold fold = name == u"INDEXH"                        ? Fold::High
                          : name == u"INDEXL"                      ? Fold::Low
                          : name == u"INDEXV" || name == u"INDEXA" ? Fold::Sum
                          : name == u"INDEXO"                      ? Fold::First
                                                                   : Fold::Newest;
        columns.push_back({&values, &out.extra[name], fold});
    }
    std::optional<int> key;
    for (Sz i = from; i < to; ++i) {
        const int k = keys[i];
        if (!key || k != *key) {
            key = k;
            out.dates.push_back(days.dates[i]);
            out.open.push_back(days.open[i]);
            out.high.push_back(days.high[i]);
            out.low.push_back(days.low[i]);
            out.close.push_back(days.close[i]);
            out.volume.push_back(days.volume[i]);
            out.amount.push_back(days.amount[i]);
            for (const Column &c : columns)
                c.out->push_back((*c.in)[i]);
        } else {
            out.dates.back() = days.dates[i];
            out.high.back() = std::max(out.high.back(), days.high[i]);
            out.low.back() = std::min(out.low.back(), days.low[i]);
            out.close.back() = days.close[i];
            out.volume.back() += days.volume[i];
            out.amount.back() += days.amount[i];
            for (const Column &c : columns) {
                double &v = c.out->back();
                const double x = (*c.in)[i];
                switch (c.fold) {
                case Fold::High:
                    v = std::max(v, x);
                    break;
                case Fold::Low:
                    v = std::min(v, x);
                    break;
                case Fold::Sum:
                    v += x;
                    break;
                case Fold::First:
                    break;
                case Fold::Newest:
                    v = x;
                    break;
                }
            }
        }
        index->push_back(out.dates.size() - 1);
    }
    return out;
}

void Run::headOfPeriods(const Trace::Period &full, Bars *bars, std::vector<Sz> *index) const
{
    const Sz n = size(), last = full.index[n - 1];
    Sz start = n - 1;
    while (start > 0 && full.index[start - 1] == last)
        --start;
    *bars = full.bars.head(qsizetype(last));
    std::vector<Sz> ignored;
    const Bars forming = aggregate(m_bars, full.keys, start, n, &ignored);
    Bars &b = *bars;
    b.dates.push_back(forming.dates.front());
    b.open.push_back(forming.open.front());
    b.high.push_back(forming.high.front());
    b.low.push_back(forming.low.front());
    b.close.push_back(forming.close.front());
    b.volume.push_back(forming.volume.front());
    b.amount.push_back(forming.amount.front());
    for (const auto &[name, values] : forming.extra)
        b.extra[name].push_back(values.front());
    index->assign(full.index.begin(), full.index.begin() + std::ptrdiff_t(n));
}

Value Run::inPeriod(const Expr &e, int stmt)
{
    const QString period = e.period.toUpper();
    if (period == u"#DAY")
        return expr(e, stmt, true);
    if (!periodKey(period, QDate(2000, 1, 1)))
        return missingValue(period);
    m_periods.insert(period);
    auto &sub = m_sub[period];
    if (!sub) {
        sub = std::make_unique<Sub>();
        const Trace::Period *full = nullptr;
        if (m_reuse && size() > 0) {
            const auto known = m_reuse->periods.find(period);
            if (known != m_reuse->periods.end() && known->second.index.size() >= size())
                full = &known->second;
        }
        if (full) {
            headOfPeriods(*full, &sub->bars, &sub->index);
        } else {
            const std::vector<int> keys = periodKeys(m_bars, period);
            sub->bars = aggregate(m_bars, keys, 0, size(), &sub->index);
            if (m_record)
                m_record->periods.try_emplace(period, Trace::Period{keys, sub->bars, sub->index});
        }
        sub->run = std::make_unique<Run>(m_ev, sub->bars, m_params, m_periods);
    }
    sub->run->m_depth = m_depth; // one bound across the periods' runs
    sub->run->m_stackBase = m_stackBase;
    Value p = sub->run->expr(e, stmt, true);
    p.causal = false; // the newest period bar is still forming
    if (!p.ok() || p.isText)
        return p;
    Value out;
    out.v.resize(size());
    for (Sz i = 0; i < size(); ++i)
        out.v[i] = p.v[sub->index[i]];
    return out;
}

} // namespace morvane::formula::detail
