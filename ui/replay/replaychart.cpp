#include "replaychart.h"

#include "reportstyle.h"
#include "skinwidgets.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVarLengthArray>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

using Sz = std::size_t;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr int legendHeight = 20;
constexpr int axisWidth = 62;
constexpr int dateHeight = 20;
constexpr int paneGap = 8;

const QColor upRed = skin::reportRed;
const QColor downGreen = skin::green;
const QColor gridGrey = skin::contentGrey;
const QColor markOrange{skin::reportDrift.red(), skin::reportDrift.green(),
                        skin::reportDrift.blue(), 48};

struct Range
{
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();

    void add(double x)
    {
        if (std::isfinite(x)) {
            lo = std::min(lo, x);
            hi = std::max(hi, x);
        }
    }
    bool empty() const { return lo > hi; }
    // Room above and below, and some height for a flat line.
    void settle()
    {
        if (empty()) {
            lo = 0;
            hi = 1;
        }
        const double pad = hi > lo ? (hi - lo) * 0.06 : std::max(1.0, std::abs(hi) * 0.05);
        lo -= pad;
        hi += pad;
    }
};

double niceStep(double span, int lines)
{
    const double raw = span / std::max(1, lines);
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (const double f : {1.0, 2.0, 2.5, 5.0, 10.0})
        if (f * magnitude >= raw)
            return f * magnitude;
    return 10 * magnitude;
}

QString tickText(double v, double step)
{
    const int decimals = std::clamp(int(std::ceil(-std::log10(step))), 0, 6);
    return QString::number(v, 'f', decimals);
}

} // namespace

struct ReplayChart::Pane
{
    QRect rect;
    Range range;

    double y(double v) const
    {
        return rect.top() + (range.hi - v) / (range.hi - range.lo) * rect.height();
    }
    int pixelY(double v) const { return int(std::lround(y(v))); }
};

ReplayChart::ReplayChart(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setFocusPolicy(Qt::NoFocus);
}

QColor ReplayChart::outputColor(int output)
{
    static const QColor colors[] = {skin::linkBlue,      skin::reportDrift, skin::quotedText,
                                    skin::reportWarning, skin::darkGrey,    skin::linkHover};
    return colors[Sz(output) % std::size(colors)];
}

void ReplayChart::setModel(std::shared_ptr<const ReplayModel> model)
{
    m_model = std::move(model);
    m_snapshot = {};
    m_drawn.clear();
    if (m_model) {
        for (const bool rewriting : {true, false})
            for (Sz k = 0; k < m_model->outputs.size() && m_drawn.size() < kMaxDrawn; ++k)
                if (m_model->outputs[k].rewrites() == rewriting)
                    m_drawn.push_back(k);
        std::sort(m_drawn.begin(), m_drawn.end());
    }
    if (m_model && m_model->bars.size() > 0)
        m_snapshot = m_model->snapshot(m_model->bars.size() - 1);
    update();
}

void ReplayChart::setMessage(const QString &text)
{
    m_message = text;
    update();
}

void ReplayChart::setCut(qsizetype cut)
{
    if (!m_model || m_model->bars.size() == 0)
        return;
    cut = std::clamp<qsizetype>(cut, 0, m_model->bars.size() - 1);
    if (cut == m_snapshot.cut)
        return;
    m_snapshot = m_model->snapshot(cut);
    update();
}

void ReplayChart::setLiveTrace(bool on)
{
    m_liveTrace = on;
    update();
}

void ReplayChart::setSpan(qsizetype bars)
{
    bars = std::max<qsizetype>(bars, 20);
    if (bars == m_span)
        return;
    m_span = bars;
    emit spanChanged(m_span);
    update();
}

double ReplayChart::drawnValue(int output, qsizetype bar, int channel) const
{
    if (output < 0 || Sz(output) >= m_snapshot.values.size())
        return nan;
    const auto &channels = m_snapshot.values[Sz(output)];
    if (channel < 0 || Sz(channel) >= channels.size() || bar < 0 ||
        Sz(bar) >= channels[Sz(channel)].size())
        return nan;
    return channels[Sz(channel)][Sz(bar)];
}

// The window of bars shown: the cut near its right edge, a little room after it, never past
// the newest bar; all bars when they fit the span.
qsizetype ReplayChart::firstVisible() const
{
    if (!m_model)
        return 0;
    const qsizetype n = m_model->bars.size();
    if (m_span >= n)
        return 0;
    const qsizetype room = m_snapshot.cut < n - 1 ? std::max<qsizetype>(1, m_span / 10) : 0;
    const qsizetype last = std::min(n - 1, m_snapshot.cut + room);
    return std::max<qsizetype>(0, last - m_span + 1);
}

qsizetype ReplayChart::lastVisible() const
{
    if (!m_model)
        return -1;
    return std::min(m_model->bars.size(), firstVisible() + m_span) - 1;
}

bool ReplayChart::hasLowerPane() const
{
    return m_model && std::any_of(m_drawn.begin(), m_drawn.end(),
                                  [this](Sz k) { return !m_model->outputs[k].pricePane; });
}

double ReplayChart::barWidth() const
{
    const int plotWidth = std::max(1, width() - axisWidth);
    return double(plotWidth) / double(std::max<qsizetype>(1, lastVisible() - firstVisible() + 1));
}

int ReplayChart::barX(qsizetype bar) const
{
    return int(std::floor((double(bar - firstVisible()) + 0.5) * barWidth()));
}

qsizetype ReplayChart::barAt(double x) const
{
    return firstVisible() + qsizetype(std::floor(x / barWidth()));
}

void ReplayChart::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), skin::white);
    const QFont font = skin::font(12);
    p.setFont(font);
    const QFontMetrics metrics(font);
    if (!m_model || m_model->bars.size() == 0 || m_snapshot.cut < 0) {
        p.setPen(skin::headingGrey);
        p.drawText(rect(), Qt::AlignCenter, m_model ? u"没有行情数据"_s : m_message);
        return;
    }
    const ReplayModel &model = *m_model;
    const formula::Bars &bars = model.bars;
    const qsizetype first = firstVisible(), cut = m_snapshot.cut;
    const qsizetype last = std::min(lastVisible(), cut); // nothing is drawn past the cut
    const double bw = barWidth();
    const int plotRight = width() - axisWidth;
    const int plotBottom = height() - dateHeight;

    // Panes and their value ranges over what is drawn.
    Pane price, lower;
    const bool twoPanes = hasLowerPane();
    const int plotHeight = plotBottom - legendHeight;
    const int priceHeight = twoPanes ? plotHeight * 68 / 100 : plotHeight;
    price.rect = QRect(0, legendHeight, plotRight, priceHeight);
    lower.rect = QRect(0, legendHeight + priceHeight + paneGap, plotRight,
                       plotHeight - priceHeight - paneGap);
    for (qsizetype i = first; i <= last; ++i) {
        price.range.add(bars.low[Sz(i)]);
        price.range.add(bars.high[Sz(i)]);
    }
    for (const Sz k : m_drawn) {
        const ReplayOutput &o = model.outputs[k];
        Pane &pane = o.pricePane ? price : lower;
        for (Sz c = 0; c < o.today.size(); ++c) {
            if (o.drawingName == u"DRAWNUMBER" && c == 1)
                continue; // the number written, not where
            for (qsizetype i = first; i <= last; ++i) {
                pane.range.add(o.today[c][Sz(i)]);
                pane.range.add(m_snapshot.values[k][c][Sz(i)]);
                if (m_liveTrace)
                    pane.range.add(o.live[c][Sz(i)]);
            }
        }
    }
    price.range.settle();
    lower.range.settle();
    std::vector<Pane *> panes{&price};
    if (twoPanes)
        panes.push_back(&lower);

    // Grid and the value axis: 1-px lines on pixel centres.
    p.setRenderHint(QPainter::Antialiasing, false);
    for (Pane *pane : panes) {
        const double step = niceStep(pane->range.hi - pane->range.lo, pane->rect.height() / 60);
        for (double v = std::ceil(pane->range.lo / step) * step; v <= pane->range.hi; v += step) {
            const double y = pane->pixelY(v) + 0.5;
            if (y < pane->rect.top() + 6 || y > pane->rect.bottom() - 2)
                continue;
            p.setPen(QPen(gridGrey, 1));
            p.drawLine(QPointF(0, y), QPointF(plotRight, y));
            p.setPen(skin::headingGrey);
            p.drawText(QRect(plotRight + 4, int(y) - 8, axisWidth - 6, 16),
                       Qt::AlignLeft | Qt::AlignVCenter, tickText(v, step));
        }
        p.setPen(QPen(skin::headingGrey, 1));
        p.drawLine(QPointF(plotRight + 0.5, pane->rect.top()),
                   QPointF(plotRight + 0.5, pane->rect.bottom() + 1));
    }

    // Bars whose value then differs from today's: a tinted column across the panes.
    for (const qsizetype bar : m_snapshot.marked) {
        if (bar < first || bar > last)
            continue;
        const int x0 = int(std::floor(double(bar - first) * bw));
        const int x1 = std::max(x0 + 1, int(std::floor(double(bar - first + 1) * bw)));
        for (Pane *pane : panes)
            p.fillRect(QRect(x0, pane->rect.top(), x1 - x0, pane->rect.height()), markOrange);
        p.fillRect(QRect(x0, price.rect.bottom() - 3, x1 - x0, 4), skin::reportDrift);
    }

    // Candles: red hollow up, green solid down; wicks alone when bars are narrow.
    {
        const int body = bw >= 3 ? std::max(1, int(bw * 0.7)) | 1 : 1;
        QVarLengthArray<QLineF, 1024> upWicks, downWicks;
        for (qsizetype i = first; i <= last; ++i) {
            const Sz s = Sz(i);
            const bool up = bars.close[s] >= bars.open[s];
            const double x = barX(i) + 0.5;
            const int top = price.pixelY(std::max(bars.open[s], bars.close[s]));
            const int bottom = price.pixelY(std::min(bars.open[s], bars.close[s]));
            const int high = price.pixelY(bars.high[s]), low = price.pixelY(bars.low[s]);
            auto &wicks = up ? upWicks : downWicks;
            if (body == 1) {
                wicks.append(QLineF(x, high, x, std::max(low, high + 1)));
                continue;
            }
            wicks.append(QLineF(x, high, x, top));
            wicks.append(QLineF(x, bottom + 1, x, std::max(low, bottom + 1)));
            const int left = barX(i) - body / 2;
            if (up) {
                p.setPen(QPen(upRed, 1));
                p.setBrush(skin::white);
                p.drawRect(QRectF(left + 0.5, top + 0.5, body - 1, std::max(0, bottom - top)));
            } else {
                p.fillRect(QRect(left, top, body, std::max(1, bottom - top + 1)), downGreen);
            }
        }
        p.setPen(QPen(upRed, 1));
        p.drawLines(upWicks.constData(), int(upWicks.size()));
        p.setPen(QPen(downGreen, 1));
        p.drawLines(downWicks.constData(), int(downWicks.size()));
        p.setBrush(Qt::NoBrush);
    }

    // Outputs: today's line thin, the line as computed then (or the live trace) bold over it,
    // dashed where later bars change it again. A drawing draws what it draws: sticks, words,
    // icons, else a mark per bar.
    p.setRenderHint(QPainter::Antialiasing, true);
    for (const Sz k : m_drawn) {
        const ReplayOutput &o = model.outputs[k];
        const Pane &pane = o.pricePane ? price : lower;
        const QColor color = outputColor(int(k));
        QColor faded = color;
        faded.setAlpha(110);
        p.save();
        p.setClipRect(pane.rect);
        const auto open = [&](qsizetype i) { return o.openAt(i, m_liveTrace ? i : cut); };
        const auto &then = m_liveTrace ? o.live : m_snapshot.values[k];
        if (o.drawing) {
            drawDrawing(p, pane, o, o.today, &then, faded, {});
            drawDrawing(p, pane, o, then, nullptr, color, open);
        } else {
            for (Sz c = 0; c < o.today.size(); ++c) {
                drawLine(p, pane, o.today[c], QPen(faded, 1), QPen(faded, 1), {});
                drawLine(p, pane, then[c],
                         QPen(color, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin),
                         QPen(color, 2, Qt::DashLine, Qt::FlatCap, Qt::RoundJoin), open);
            }
        }
        p.restore();
    }
    // A signal's scorecard on it: hollow circles where it fired then and vanished later, a
    // hollow diamond where a late one first showed (both up to the cut).
    for (const Sz k : m_drawn) {
        const ReplayOutput &o = model.outputs[k];
        if (!o.scorecard)
            continue;
        const Pane &pane = o.pricePane ? price : lower;
        const double y = pane.y(1.0);
        const double r = std::clamp(bw * 0.45, 3.0, 5.0);
        p.save();
        p.setClipRect(pane.rect.adjusted(0, -int(r) - 1, 0, int(r) + 1));
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(skin::reportRed, 1.5));
        for (const qsizetype b : o.scorecard->vanished)
            if (b >= first && b <= last)
                p.drawEllipse(QPointF(barX(b) + 0.5, y - r - 2), r, r);
        p.setPen(QPen(skin::reportIncomplete, 1.5));
        for (const qsizetype at : o.scorecard->lateShownAt)
            if (at >= first && at <= last) {
                const double x = barX(at) + 0.5;
                p.drawPolygon(QPolygonF{QPointF(x, y - 2 * r - 2), QPointF(x + r, y - r - 2),
                                        QPointF(x, y - 2), QPointF(x - r, y - r - 2)});
            }
        p.restore();
    }
    p.setRenderHint(QPainter::Antialiasing, false);

    // The cut: a line through the panes and its date under them.
    const double cutX = barX(cut) + 0.5;
    if (cut < bars.size() - 1) {
        p.setPen(QPen(skin::linkBlue, 1, Qt::DashLine));
        p.drawLine(QPointF(cutX, legendHeight), QPointF(cutX, plotBottom));
    }
    p.setPen(QPen(skin::headingGrey, 1));
    p.drawLine(QPointF(0, plotBottom + 0.5), QPointF(plotRight, plotBottom + 0.5));
    const auto dateText = [&](qsizetype bar) {
        return bars.dates[Sz(bar)].toString(u"yyyy-MM-dd"_s);
    };
    const int dateWidth = metrics.horizontalAdvance(u"0000-00-00"_s) + 8;
    const int cutLeft = std::clamp(int(cutX) - dateWidth / 2, 0, width() - dateWidth);
    const QRect cutDate(cutLeft, plotBottom + 2, dateWidth, dateHeight - 3);
    p.setPen(skin::headingGrey);
    const qsizetype stepBars = std::max<qsizetype>(1, qsizetype(dateWidth * 1.6 / bw));
    for (qsizetype i = first; i <= last; i += stepBars) {
        const int x = std::clamp(barX(i) - dateWidth / 2, 0, width() - dateWidth);
        const QRect r(x, plotBottom + 2, dateWidth, dateHeight - 3);
        if (!r.intersects(cutDate.adjusted(-6, 0, 6, 0)))
            p.drawText(r, Qt::AlignCenter, dateText(i));
    }
    p.fillRect(cutDate, skin::linkBlue);
    p.setPen(skin::white);
    p.drawText(cutDate, Qt::AlignCenter, dateText(cut));

    // The legend.
    QStringList labels;
    for (const Sz k : m_drawn)
        labels << model.outputs[k].label;
    const QString note =
        m_drawn.size() < model.outputs.size()
            ? u"只画出 %1/%2 条输出"_s.arg(m_drawn.size()).arg(model.outputs.size())
            : QString();
    const QString key = m_liveTrace ? u"粗线：实时轨迹（虚段后来被改写）　细线：今日所见"_s
                                    : u"粗线：截至当时（虚段之后会变）　细线：今日　橙色：被改写"_s;
    const LegendLayout legend = legendLayout(metrics, plotRight, note, labels, u"等 %1 条"_s, key);
    p.setPen(skin::headingGrey);
    if (!legend.note.isEmpty())
        p.drawText(legend.note, Qt::AlignLeft | Qt::AlignVCenter, note);
    for (std::size_t i = 0; i < legend.labels.size(); ++i) {
        const QColor color = outputColor(int(m_drawn[i]));
        const QRect r = legend.labels[i];
        p.fillRect(QRect(r.x(), legendHeight / 2 - 1, 14, 2), color);
        p.setPen(color);
        p.drawText(r.adjusted(18, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, labels[qsizetype(i)]);
    }
    p.setPen(skin::headingGrey);
    if (!legend.rest.isEmpty())
        p.drawText(legend.rest, Qt::AlignLeft | Qt::AlignVCenter,
                   u"等 %1 条"_s.arg(labels.size() - qsizetype(legend.labels.size())));
    if (!legend.key.isEmpty())
        p.drawText(legend.key, Qt::AlignRight | Qt::AlignVCenter, key);
}

// A line, its pixel columns reduced to their lowest and highest points in order, so that many
// bars to a column keep the line's extent; a segment is dashed where its newer bar is open.
void ReplayChart::drawLine(QPainter &p, const Pane &pane, const formula::Series &s,
                           const QPen &solid, const QPen &dashed, const OpenAt &open) const
{
    struct Point
    {
        QPointF at;
        bool open = false;
        bool gapBefore = false;
    };
    const qsizetype first = firstVisible(), last = std::min(lastVisible(), m_snapshot.cut);
    std::vector<Point> points;
    int column = std::numeric_limits<int>::min();
    double lo = 0, hi = 0;
    bool loFirst = true, columnOpen = false, gap = true;
    const auto endColumn = [&] {
        if (column == std::numeric_limits<int>::min())
            return;
        const double x = column + 0.5;
        points.push_back({QPointF(x, loFirst ? lo : hi), columnOpen, gap});
        if (lo != hi)
            points.push_back({QPointF(x, loFirst ? hi : lo), columnOpen, false});
        column = std::numeric_limits<int>::min();
        gap = false;
    };
    for (qsizetype i = first; i <= last && Sz(i) < s.size(); ++i) {
        if (!std::isfinite(s[Sz(i)])) {
            endColumn();
            gap = true;
            continue;
        }
        const int at = barX(i);
        const double y = pane.y(s[Sz(i)]);
        const bool isOpen = open && open(i);
        if (at != column) {
            endColumn();
            column = at;
            lo = hi = y;
            loFirst = true;
            columnOpen = isOpen;
            continue;
        }
        columnOpen = columnOpen || isOpen;
        if (y < lo) {
            lo = y;
            loFirst = false;
        } else if (y > hi) {
            hi = y;
            loFirst = true;
        }
    }
    endColumn();

    QPolygonF run;
    bool runOpen = false;
    const auto flush = [&] {
        p.setPen(runOpen ? dashed : solid);
        if (run.size() > 1)
            p.drawPolyline(run);
        else if (run.size() == 1)
            p.drawPoint(run.front());
        run.clear();
    };
    for (const Point &pt : points) {
        if (pt.gapBefore || run.isEmpty()) {
            flush();
            runOpen = pt.open;
        } else if (run.size() == 1) {
            runOpen = pt.open;
        } else if (pt.open != runOpen) {
            const QPointF joint = run.back();
            flush();
            run.append(joint);
            runOpen = pt.open;
        }
        run.append(pt.at);
    }
    flush();
}

// A drawing as the charting software draws it: sticks between their two prices, words and
// numbers at their price, icons as arrows, other drawings as a mark per bar. Open values are
// drawn hollow. With `unlessSame`, only the bars where it differs (today's under the cut's).
void ReplayChart::drawDrawing(QPainter &p, const Pane &pane, const ReplayOutput &o,
                              const std::vector<formula::Series> &channels,
                              const std::vector<formula::Series> *unlessSame, const QColor &color,
                              const OpenAt &open) const
{
    if (channels.empty())
        return;
    const qsizetype first = firstVisible(), last = std::min(lastVisible(), m_snapshot.cut);
    const double bw = barWidth();
    const double r = std::clamp(bw * 0.35, 1.5, 3.5);
    const QString &name = o.drawingName;
    const auto value = [&](Sz c, qsizetype i) {
        return c < channels.size() && Sz(i) < channels[c].size() ? channels[c][Sz(i)] : nan;
    };
    const auto differs = [&](qsizetype i) {
        if (!unlessSame)
            return true;
        for (Sz c = 0; c < channels.size() && c < unlessSame->size(); ++c) {
            const double a = value(c, i), b = (*unlessSame)[c][Sz(i)];
            if (std::isnan(a) != std::isnan(b) || (!std::isnan(a) && a != b))
                return true;
        }
        return false;
    };
    QFont small = p.font();
    small.setPixelSize(11);
    p.setFont(small);
    for (qsizetype i = first; i <= last; ++i) {
        const double v = value(0, i);
        if (!std::isfinite(v) || !differs(i))
            continue;
        const bool hollow = open && open(i);
        const double x = barX(i) + 0.5, y = pane.y(v);
        p.setPen(QPen(color, 1.2, hollow ? Qt::DashLine : Qt::SolidLine));
        p.setBrush(hollow ? QBrush(Qt::NoBrush) : QBrush(color));
        if (name == u"STICKLINE" && std::isfinite(value(1, i))) {
            // Whole pixels, unblended: a stick is a bar, not a stroke.
            const int w = std::clamp(int(bw * 0.5), 1, 6);
            const int top = pane.pixelY(std::max(v, value(1, i)));
            const int bottom = pane.pixelY(std::min(v, value(1, i)));
            const QRect stick(barX(i) - (w - 1) / 2, top, w, std::max(1, bottom - top + 1));
            if (hollow)
                p.drawRect(QRectF(stick).adjusted(0.5, 0.5, -0.5, -0.5));
            else
                p.fillRect(stick, color);
        } else if (name == u"VERTLINE") {
            p.drawLine(QPointF(x, pane.rect.top()), QPointF(x, pane.rect.bottom()));
        } else if ((name == u"DRAWTEXT" && !o.drawingText.isEmpty()) ||
                   (name == u"DRAWNUMBER" && std::isfinite(value(1, i)))) {
            const QString text =
                name == u"DRAWNUMBER" ? QString::number(value(1, i), 'f', 2) : o.drawingText;
            const int w = p.fontMetrics().horizontalAdvance(text) + 2;
            p.drawText(QRectF(x - w / 2.0, y - 8, w, 16), Qt::AlignCenter, text);
        } else if (name == u"DRAWICON") {
            // The common icons point up (buy) or down (sell); the others are a badge.
            const double h = std::max(4.0, r * 2);
            if (o.icon == 1 || o.icon == 2) {
                const double dir = o.icon == 1 ? -1 : 1;
                p.drawPolygon(QPolygonF{QPointF(x, y + dir * h), QPointF(x - h * 0.7, y),
                                        QPointF(x + h * 0.7, y)});
            } else {
                p.drawRect(QRectF(x - h / 2, y - h / 2, h, h));
            }
        } else {
            p.drawEllipse(QPointF(x, y), r, r);
        }
    }
    p.setBrush(Qt::NoBrush);
}

LegendLayout legendLayout(const QFontMetrics &metrics, int width, const QString &note,
                          const QStringList &labels, const QString &restText, const QString &key)
{
    LegendLayout out;
    constexpr int gap = 12;
    constexpr int swatch = 18;
    auto advance = [&](const QString &text) { return metrics.horizontalAdvance(text) + 2; };
    const int keyWidth = advance(key);
    // The key keeps its place only if the labels leave it room; the labels come first.
    int right = width - 4;
    int x = 4;
    if (!note.isEmpty()) {
        out.note = QRect(x, 0, std::min(advance(note), std::max(0, right - x)), legendHeight);
        x += out.note.width() + gap;
    }
    for (qsizetype i = 0; i < labels.size(); ++i) {
        const int w = swatch + advance(labels[i]);
        const qsizetype left = labels.size() - i - 1;
        // Room for this label and, if more follow, for "等 N 条" after it.
        const int after = left > 0 ? gap + advance(restText.arg(left)) : 0;
        if (x + w + after > right) {
            const int restWidth = advance(restText.arg(labels.size() - i));
            if (x + restWidth <= right) {
                out.rest = QRect(x, 0, restWidth, legendHeight);
                x += restWidth + gap;
            }
            break;
        }
        out.labels.push_back(QRect(x, 0, w, legendHeight));
        x += w + gap;
    }
    if (x + keyWidth <= right)
        out.key = QRect(right - keyWidth, 0, keyWidth, legendHeight);
    return out;
}

void ReplayChart::wheelEvent(QWheelEvent *event)
{
    const int steps = event->angleDelta().y() / 120;
    if (steps == 0 || !m_model)
        return;
    const qsizetype n = std::max<qsizetype>(20, m_model->bars.size());
    qsizetype span = m_span;
    for (int i = 0; i < std::abs(steps); ++i)
        span = steps > 0 ? span * 4 / 5 : span * 5 / 4 + 1;
    setSpan(std::min(span, n));
    event->accept();
}

void ReplayChart::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && m_model && event->position().x() < width() - axisWidth)
        emit cutRequested(
            std::clamp<qsizetype>(barAt(event->position().x()), 0, m_model->bars.size() - 1));
}

} // namespace morvane
