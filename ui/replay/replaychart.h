#pragma once

#include "replayjob.h"

#include <QColor>
#include <QWidget>

#include <functional>
#include <memory>

class QPainter;
class QPen;

namespace morvane {

// The replay drawn: candles up to the cut, each output as computed then over the line as
// drawn today, the bars where they differ marked; optionally the live trace.
// Where the legend's parts stand in a strip `width` wide: the labels that fit, in order, then
// "等 N 条" for those that do not, and the key at the right; nothing past the strip.
struct LegendLayout
{
    QRect note;                // "只画出 a/b 条输出", when not every output is drawn
    std::vector<QRect> labels; // a swatch and a label each, for the first labels.size()
    QRect rest;                // "等 N 条": the labels that did not fit, if any
    QRect key;                 // empty when even the key does not fit
};
LegendLayout legendLayout(const QFontMetrics &metrics, int width, const QString &note,
                          const QStringList &labels, const QString &restText, const QString &key);

class ReplayChart : public QWidget
{
    Q_OBJECT
public:
    explicit ReplayChart(QWidget *parent = nullptr);

    void setModel(std::shared_ptr<const ReplayModel> model);
    // What the chart says while it has no model: computing, cancelled.
    void setMessage(const QString &text);
    const ReplayModel *model() const { return m_model.get(); }

    qsizetype cut() const { return m_snapshot.cut; }
    void setCut(qsizetype cut);
    bool liveTrace() const { return m_liveTrace; }
    void setLiveTrace(bool on);
    // How many bars the chart spans; the wheel changes it.
    qsizetype span() const { return m_span; }
    void setSpan(qsizetype bars);

    // What is drawn, for tests and the benchmark: the output's value at bar as computed at
    // the cut (NaN past the cut or where nothing is drawn), and the marked bars.
    const ReplaySnapshot &snapshot() const { return m_snapshot; }
    double drawnValue(int output, qsizetype bar, int channel = 0) const;
    qsizetype firstVisible() const;
    qsizetype lastVisible() const;

    static QColor outputColor(int output);
    // The outputs drawn, ascending: at most kMaxDrawn, those that rewrite history first.
    // More lines than that are a tangle to read and cost the window seconds to stroke.
    static constexpr std::size_t kMaxDrawn = 24;
    const std::vector<std::size_t> &drawn() const { return m_drawn; }

    QSize sizeHint() const override { return {760, 480}; }
    QSize minimumSizeHint() const override { return {320, 200}; }

signals:
    void cutRequested(qsizetype bar); // a click on a bar
    void spanChanged(qsizetype bars);

protected:
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    struct Pane;
    using OpenAt = std::function<bool(qsizetype bar)>;
    void drawLine(QPainter &p, const Pane &pane, const formula::Series &s, const QPen &solid,
                  const QPen &dashed, const OpenAt &open) const;
    void drawDrawing(QPainter &p, const Pane &pane, const ReplayOutput &o,
                     const std::vector<formula::Series> &channels,
                     const std::vector<formula::Series> *unlessSame, const QColor &color,
                     const OpenAt &open) const;
    bool hasLowerPane() const;
    double barWidth() const;
    int barX(qsizetype bar) const; // the pixel column of a bar's centre
    qsizetype barAt(double x) const;

    std::shared_ptr<const ReplayModel> m_model;
    ReplaySnapshot m_snapshot;
    std::vector<std::size_t> m_drawn;
    QString m_message;
    bool m_liveTrace = false;
    qsizetype m_span = 150; // candles about 5 px wide in the usual window
};

} // namespace morvane
