#pragma once

#include "bars.h"
#include "eval.h"
#include "replay.h"
#include "scorecard.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace morvane {

// The past value that best shows an output rewriting its history: a signal shown live that
// vanished, else one that came late, else the largest rewrite (the most recent of equals).
struct ReplayExample
{
    enum class Kind
    {
        None,
        Vanished, // at `bar`, the newest then, a signal that the whole history does not give
        Late,     // at `bar` in hindsight, first shown at `cut`
        Rewrite   // at `bar`, `before` at `cut` and `after` today
    };
    Kind kind = Kind::None;
    qsizetype bar = -1;
    qsizetype cut = -1; // where the slider shows it
    int channel = 0;
    double before = 0, after = 0;
};

// One output of the formula across every cut point.
struct ReplayOutput
{
    QString label; // its name, else the drawing and its text or "输出" and where it stands
    bool drawing = false;
    QString drawingName; // STICKLINE, DRAWTEXT…, else empty
    QString drawingText; // DRAWTEXT's words, when the formula writes them out
    int icon = 0;        // DRAWICON's picture
    bool checked = false;
    QStringList missing;
    std::vector<formula::Series> today; // per channel, with the whole history
    std::vector<formula::Series> live;  // per channel: at each bar, its value when it was newest
    bool pricePane = true;              // drawn over the candles, else in the pane below
    int cutsRewritten = 0;
    qsizetype farthestBack = 0;
    formula::Rewrite first;
    // A signal's: live against hindsight (none for lines and drawings that are no signal).
    std::optional<formula::Scorecard> scorecard;
    ReplayExample example;
    // Per bar, the cut from which its value stood as today (-1: may still change with the next
    // bar); empty when not every bar was a cut or past the memory bound.
    std::vector<std::int32_t> finalFrom;

    bool rewrites() const { return cutsRewritten > 0; }
    // Whether the value at bar, as the cut shows it, is one that later bars change again.
    bool openAt(qsizetype bar, qsizetype cut) const
    {
        if (finalFrom.empty() || bar < 0 || std::size_t(bar) >= finalFrom.size())
            return false;
        const std::int32_t from = finalFrom[std::size_t(bar)];
        return from < 0 || from > cut;
    }
};

// A past value that differed at one cut from the value drawn today. 32 bits each: a formula
// may have more outputs than 16 bits count.
struct ReplayDiff
{
    std::int32_t bar = 0;
    std::int32_t output = 0;
    std::int32_t channel = 0;
    double then = 0;
};

// What the chart draws at one cut: every output as computed on the bars up to it.
struct ReplaySnapshot
{
    qsizetype cut = -1;
    std::vector<std::vector<formula::Series>> values; // [output][channel], bars 0..cut
    std::vector<qsizetype> marked;                    // bars where a value differs from today
};

// Everything the view needs, computed once per formula, bars and parameters.
struct ReplayModel
{
    formula::Bars bars;
    QString origin;
    int priceDecimals = 2; // 3 for funds priced in thousandths
    std::vector<ReplayOutput> outputs;
    std::vector<formula::ParamUse> params;
    // The cut points, ascending: every bar but the newest while the work stays within its
    // bound (ReplayBudget), else the replay library's choice of them.
    std::vector<qsizetype> cutBars;
    qsizetype cuts = 0; // cutBars.size()
    // Differences per cut, flat: the k-th cut owns diffs[diffStart[k] .. diffStart[k + 1]). A
    // cut past the memory budget stores none and is evaluated again when shown.
    std::vector<std::size_t> diffStart;
    std::vector<ReplayDiff> diffs;
    std::vector<bool> stored;
    std::shared_ptr<const formula::Program> program;
    formula::EvalOptions options;
    bool linear = false;        // every bar a cut, through the replay's tails
    formula::Fallback fallback; // else what kept the cuts from every bar

    bool anyRewrites() const;
    bool isCut(qsizetype bar) const;
    // The bar a step of the slider lands on: bar itself when it is a cut or the newest,
    // else the next cut (or the newest bar) going forward, the one before going back.
    qsizetype landing(qsizetype bar, bool forward) const;
    // The chart's data at cut (the newest bar gives today's lines).
    ReplaySnapshot snapshot(qsizetype cut) const;
};

// What one computation may cost. Each cut evaluates its history's look-ahead parts again
// and compares every output that may look ahead over it: `work` bounds the sum over the
// cuts of bars x (1 + such outputs), so 1,000 outputs or 100,000 bars stay bounded.
struct ReplayBudget
{
    qint64 work = qint64(256) << 20;
    int maxCuts = 5000;
    // Differences kept, 64 MiB of them; past it a cut is evaluated again when shown.
    std::size_t diffs = (std::size_t(64) << 20) / sizeof(ReplayDiff);
};

using ReplayProgress = std::function<void(qsizetype done, qsizetype total)>;

// The model, evaluating the formula on bars.head(t + 1) at every cut t; null when cancelled.
std::shared_ptr<const ReplayModel>
computeReplay(const QString &formulaText, formula::Bars bars, const QString &origin,
              const QMap<QString, double> &params, const std::atomic_bool *cancel = nullptr,
              const ReplayProgress &progress = {}, const ReplayBudget &budget = {},
              int priceDecimals = 2);

// The worker of one run; lives in its own thread.
class ReplayWorker : public QObject
{
    Q_OBJECT
public:
    struct Input
    {
        QString formula;
        formula::Bars bars;
        QString origin;
        QMap<QString, double> params;
        int priceDecimals = 2;
    };
    ReplayWorker(Input input, std::shared_ptr<std::atomic_bool> cancel);

public slots:
    void run();

signals:
    void progressed(qint64 done, qint64 total);
    void done(std::shared_ptr<const ReplayModel> model); // null: cancelled

private:
    Input m_input;
    std::shared_ptr<std::atomic_bool> m_cancel;
};

// Runs the replay off the caller's thread; a new start cancels the run before it.
class ReplayJob : public QObject
{
    Q_OBJECT
public:
    explicit ReplayJob(QObject *parent = nullptr);
    ~ReplayJob() override;

    void start(ReplayWorker::Input input);
    void cancel();
    bool isRunning() const { return m_running; }

signals:
    void progress(qint64 done, qint64 total);
    void finished(std::shared_ptr<const ReplayModel> model);
    void cancelled();

private:
    std::shared_ptr<std::atomic_bool> m_cancel;
    quint64 m_generation = 0;
    bool m_running = false;
};

} // namespace morvane
