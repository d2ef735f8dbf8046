#include "scorecard.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace morvane::formula {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool isOne(double x)
{
    return x == 1.0;
}

SignalOutcome outcomeOf(const std::vector<qsizetype> &bars, const Series &close, int horizon)
{
    SignalOutcome o;
    const qsizetype n = qsizetype(close.size());
    for (const qsizetype b : bars) {
        ++o.count;
        const qsizetype exit = b + horizon;
        if (exit >= n)
            continue;
        const double from = close[std::size_t(b)];
        const double to = close[std::size_t(exit)];
        if (!(from > 0) || !std::isfinite(to))
            continue; // no price to trade at: counted with the count, not the outcomes
        const double r = to / from - 1;
        ++o.withOutcome;
        o.wins += r > 0 ? 1 : 0;
        o.sumReturn += r;
    }
    return o;
}

} // namespace

bool isSignal(const std::vector<Series> &channels)
{
    if (channels.empty())
        return false;
    return std::all_of(channels.front().begin(), channels.front().end(),
                       [](double x) { return std::isnan(x) || x == 0.0 || x == 1.0; });
}

double SignalOutcome::meanReturn() const
{
    return withOutcome > 0 ? sumReturn / double(withOutcome) : kNaN;
}

double SignalOutcome::winRate() const
{
    return withOutcome > 0 ? double(wins) / double(withOutcome) : kNaN;
}

void SignalOutcome::add(const SignalOutcome &o)
{
    count += o.count;
    withOutcome += o.withOutcome;
    wins += o.wins;
    sumReturn += o.sumReturn;
}

namespace {

qsizetype lowerMedian(std::vector<qsizetype> values)
{
    if (values.empty())
        return -1;
    const auto mid = values.begin() + std::ptrdiff_t((values.size() - 1) / 2);
    std::nth_element(values.begin(), mid, values.end());
    return *mid; // the lower median: a number of bars, never a half
}

qsizetype largest(const std::vector<qsizetype> &values)
{
    return values.empty() ? -1 : *std::max_element(values.begin(), values.end());
}

} // namespace

qsizetype Scorecard::lateMedian() const
{
    return lowerMedian(lateBy);
}

qsizetype Scorecard::lateMax() const
{
    return largest(lateBy);
}

void ScorecardSum::add(const Scorecard &s)
{
    ++securities;
    complete = complete && s.complete;
    horizon = s.horizon;
    hindsight.add(s.hindsight);
    live.add(s.live);
    vanished += qsizetype(s.vanished.size());
    late += qsizetype(s.late.size());
    lateBy.insert(lateBy.end(), s.lateBy.begin(), s.lateBy.end());
}

qsizetype ScorecardSum::lateMedian() const
{
    return lowerMedian(lateBy);
}

qsizetype ScorecardSum::lateMax() const
{
    return largest(lateBy);
}

double overstatement(const SignalOutcome &hindsight, const SignalOutcome &live)
{
    return hindsight.meanReturn() - live.meanReturn();
}

SignalTally::SignalTally(Series hindsight)
    : m_hindsight(std::move(hindsight)), m_live(m_hindsight.size(), false),
      m_wasCut(m_hindsight.size(), false), m_shown(m_hindsight.size(), -1)
{
}

void SignalTally::changed(qsizetype c, qsizetype b, double then)
{
    Q_ASSERT(c >= m_cut && b <= c);
    m_cut = c;
    if (!isOne(then))
        m_notOne.insert(b);
    else if (b == c)
        m_live[std::size_t(b)] = true; // 1 then, whatever it is now
}

void SignalTally::endCut(qsizetype c)
{
    const auto bar = std::size_t(c);
    m_wasCut[bar] = true;
    if (isOne(m_hindsight[bar]) && !m_notOne.contains(c))
        m_live[bar] = true;
    if (isOne(m_hindsight[bar]))
        m_pending.push_back(c);
    // A pending bar stays only while each cut names it: the work follows the changes.
    std::erase_if(m_pending, [&](qsizetype b) {
        if (m_shown[std::size_t(b)] >= 0)
            return true;
        if (m_notOne.contains(b))
            return false;
        m_shown[std::size_t(b)] = c;
        return true;
    });
    m_notOne.clear();
    m_cut = c;
}

Scorecard SignalTally::finish(const Series &close, int horizon) const
{
    Scorecard s;
    s.horizon = horizon;
    const qsizetype n = qsizetype(m_hindsight.size());
    std::vector<qsizetype> hindsight, live;
    for (qsizetype b = 0; b < n; ++b) {
        const auto i = std::size_t(b);
        // The newest bar is its own cut: its live value is the whole history's.
        const bool cut = m_wasCut[i] || b == n - 1;
        s.complete = s.complete && cut;
        const bool h = isOne(m_hindsight[i]);
        const bool l = b == n - 1 ? h : m_live[i];
        if (h)
            hindsight.push_back(b);
        if (l)
            live.push_back(b);
        if (l && !h)
            s.vanished.push_back(b);
        if (h && !l && cut) {
            // The whole history shows it at last, so some cut (the newest bar's at worst) did.
            const qsizetype shown = m_shown[i] >= 0 ? m_shown[i] : n - 1;
            s.late.push_back(b);
            s.lateBy.push_back(shown - b);
            s.lateShownAt.push_back(shown);
        }
    }
    s.hindsight = outcomeOf(hindsight, close, horizon);
    s.live = outcomeOf(live, close, horizon);
    return s;
}

FinalTally::FinalTally(qsizetype bars)
    : m_lastChanged(std::size_t(std::max<qsizetype>(0, bars)), -1)
{
}

void FinalTally::changed(qsizetype c, qsizetype b)
{
    m_lastChanged[std::size_t(b)] = c;
    if (c != m_lastCut) {
        m_lastCut = c;
        m_lastCutFrom = b;
    }
    m_lastCutFrom = std::min(m_lastCutFrom, b);
}

void FinalTally::cut(qsizetype c, qsizetype since, std::span<const qsizetype> differing)
{
    // What the cut before showed otherwise from `since` on showed so last at that cut.
    while (!m_open.empty() && m_open.back() >= since) {
        m_lastChanged[std::size_t(m_open.back())] = m_lastCut;
        m_open.pop_back();
    }
    m_open.insert(m_open.end(), differing.begin(), differing.end());
    if (!m_open.empty()) {
        m_lastCut = c;
        m_lastCutFrom = m_open.front();
    }
}

std::vector<qsizetype> FinalTally::finish(bool causal) const
{
    const qsizetype n = qsizetype(m_lastChanged.size());
    std::vector<qsizetype> out(m_lastChanged.size());
    std::vector<qsizetype> lastChanged = m_lastChanged;
    for (const qsizetype b : m_open)
        lastChanged[std::size_t(b)] = m_lastCut;
    // What the newest bar's arrival changed may change again with the next one.
    const qsizetype open = m_lastCut == n - 2 ? m_lastCutFrom : n;
    for (qsizetype b = 0; b < n; ++b) {
        const qsizetype last = lastChanged[std::size_t(b)];
        out[std::size_t(b)] = b >= open ? -1 : last < 0 ? b : last + 1;
    }
    if (n > 0 && !causal)
        out.back() = -1;
    return out;
}

FinalDelay finalDelay(const std::vector<qsizetype> &finalFrom)
{
    FinalDelay d;
    for (std::size_t b = 0; b < finalFrom.size(); ++b) {
        if (finalFrom[b] < 0) {
            ++d.open;
            continue;
        }
        const auto delay = std::size_t(finalFrom[b] - qsizetype(b));
        if (delay >= d.counts.size())
            d.counts.resize(delay + 1, 0);
        ++d.counts[delay];
        ++d.values;
    }
    return d;
}

namespace {

// The delay at 0-based rank k of the values in ascending order.
qsizetype delayAtRank(const FinalDelay &d, qsizetype k)
{
    qsizetype seen = 0;
    for (std::size_t delay = 0; delay < d.counts.size(); ++delay) {
        seen += d.counts[delay];
        if (seen > k)
            return qsizetype(delay);
    }
    return 0;
}

} // namespace

qsizetype FinalDelay::median() const
{
    return values > 0 ? delayAtRank(*this, (values - 1) / 2) : 0;
}

qsizetype FinalDelay::p90() const
{
    return values > 0 ? delayAtRank(*this, (values * 9 + 9) / 10 - 1) : 0;
}

qsizetype FinalDelay::max() const
{
    return counts.empty() ? 0 : qsizetype(counts.size()) - 1;
}

void FinalDelay::add(const FinalDelay &d)
{
    values += d.values;
    open += d.open;
    if (d.counts.size() > counts.size())
        counts.resize(d.counts.size(), 0);
    for (std::size_t i = 0; i < d.counts.size(); ++i)
        counts[i] += d.counts[i];
}

} // namespace morvane::formula
