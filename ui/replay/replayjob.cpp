#include "replayjob.h"

#include "parser.h"
#include "replaytext.h"

#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

using Sz = std::size_t;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// As the replay compares: relative, with an absolute floor; two gaps are equal.
bool same(double a, double b)
{
    const double tolerance = formula::ReplayOptions{}.tolerance;
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::abs(a - b) <= tolerance * std::max({1.0, std::abs(a), std::abs(b)});
}

// A line whose values stay near the prices shares their axis; an oscillator gets its own.
bool nearPrices(const ReplayOutput &o, const formula::Bars &bars)
{
    if (bars.size() == 0)
        return true;
    const double low = *std::min_element(bars.low.begin(), bars.low.end());
    const double high = *std::max_element(bars.high.begin(), bars.high.end());
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const formula::Series &s : o.today)
        for (const double x : s)
            if (std::isfinite(x)) {
                lo = std::min(lo, x);
                hi = std::max(hi, x);
            }
    if (lo > hi)
        return true;
    const double margin = (high - low) * 0.5;
    return lo >= low - margin && hi <= high + margin;
}

// How strongly a rewrite shows: a value that appeared or vanished most, else the change
// relative to the larger of the two, in steps of a thousandth so that the newest of nearly
// equal ones is chosen.
double rewriteWeight(double before, double after)
{
    if (std::isnan(before) != std::isnan(after))
        return 3;
    const double scale = std::max({std::abs(before), std::abs(after), 1e-12});
    return std::round(std::abs(before - after) / scale * 1000) / 1000;
}

// What a drawing draws beyond its prices: DRAWTEXT's words, DRAWICON's picture.
void describeDrawing(ReplayOutput &o, const formula::OutputLine &line,
                     const formula::Program &program)
{
    o.drawingName = line.drawing;
    if (line.drawing.isEmpty() || line.statement < 0 ||
        Sz(line.statement) >= program.statements.size())
        return;
    const formula::Expr *call = program.statements[Sz(line.statement)].value.get();
    if (!call || call->kind != formula::ExprKind::Call || call->text != line.drawing)
        return;
    const auto arg = [call](Sz i) { return i < call->args.size() ? call->args[i].get() : nullptr; };
    const formula::Expr *text = arg(line.drawing == u"DRAWTEXT_FIX" ? 4 : 2);
    if (line.drawing.startsWith(u"DRAWTEXT") && text && text->kind == formula::ExprKind::String)
        o.drawingText = text->text;
    if (line.drawing == u"DRAWICON" && arg(2) && arg(2)->kind == formula::ExprKind::Number)
        o.icon = int(arg(2)->number);
}

// Each output's example: a vanished signal, a late one, else the strongest stored rewrite of
// the newest year of cuts (the strongest of all when that year rewrote nothing).
void chooseExamples(ReplayModel &model)
{
    constexpr qsizetype kRecent = 250; // trading days of a year
    const qsizetype recentFrom = model.bars.size() - 1 - kRecent;
    // [output][0: any cut, 1: a recent one]
    std::vector<std::array<double, 2>> weight(model.outputs.size(), {-1.0, -1.0});
    std::vector<std::array<ReplayExample, 2>> best(model.outputs.size());
    for (Sz index = 0; index < model.cutBars.size(); ++index) {
        if (index >= model.stored.size() || !model.stored[index])
            continue;
        const qsizetype cut = model.cutBars[index];
        for (Sz d = model.diffStart[index]; d < model.diffStart[index + 1]; ++d) {
            const ReplayDiff &diff = model.diffs[d];
            const Sz k = Sz(diff.output);
            const double after = model.outputs[k].today[Sz(diff.channel)][Sz(diff.bar)];
            const double w = rewriteWeight(diff.then, after);
            for (const Sz recent : {Sz(0), Sz(1)}) {
                if (recent == 1 && cut < recentFrom)
                    continue;
                // Cuts ascend: a later one of equal weight is as recent or more.
                if (w > weight[k][recent] ||
                    (w == weight[k][recent] && diff.bar >= best[k][recent].bar)) {
                    weight[k][recent] = w;
                    best[k][recent] = {ReplayExample::Kind::Rewrite,
                                       diff.bar,
                                       cut,
                                       diff.channel,
                                       diff.then,
                                       after};
                }
            }
        }
    }
    for (Sz k = 0; k < model.outputs.size(); ++k)
        model.outputs[k].example = weight[k][1] >= 0 ? best[k][1] : best[k][0];
    for (ReplayOutput &o : model.outputs) {
        if (o.scorecard && !o.scorecard->vanished.empty()) {
            const qsizetype bar = o.scorecard->vanished.back();
            o.example = {ReplayExample::Kind::Vanished, bar, bar, 0, 1, o.today[0][Sz(bar)]};
        } else if (o.scorecard && !o.scorecard->late.empty()) {
            const qsizetype bar = o.scorecard->late.back();
            o.example = {ReplayExample::Kind::Late, bar, o.scorecard->lateShownAt.back(), 0, 0, 1};
        } else if (o.example.kind == ReplayExample::Kind::None && o.rewrites()) {
            o.example = {ReplayExample::Kind::Rewrite,
                         o.first.bar,
                         o.first.cut,
                         o.first.channel,
                         o.first.before,
                         o.first.after};
        }
    }
}

} // namespace

bool ReplayModel::anyRewrites() const
{
    return std::any_of(outputs.begin(), outputs.end(),
                       [](const ReplayOutput &o) { return o.rewrites(); });
}

bool ReplayModel::isCut(qsizetype bar) const
{
    return std::binary_search(cutBars.begin(), cutBars.end(), bar);
}

qsizetype ReplayModel::landing(qsizetype bar, bool forward) const
{
    const qsizetype n = bars.size();
    if (n == 0)
        return 0;
    bar = std::clamp<qsizetype>(bar, 0, n - 1);
    if (bar == n - 1 || isCut(bar) || cutBars.empty())
        return cutBars.empty() ? n - 1 : bar;
    const auto next = std::lower_bound(cutBars.begin(), cutBars.end(), bar);
    if (forward)
        return next == cutBars.end() ? n - 1 : *next;
    return next == cutBars.begin() ? cutBars.front() : *(next - 1);
}

ReplaySnapshot ReplayModel::snapshot(qsizetype cut) const
{
    ReplaySnapshot s;
    const qsizetype n = bars.size();
    if (n == 0)
        return s;
    s.cut = std::clamp<qsizetype>(cut, 0, n - 1);
    const Sz count = Sz(s.cut + 1);
    s.values.resize(outputs.size());
    for (Sz k = 0; k < outputs.size(); ++k)
        for (const formula::Series &today : outputs[k].today)
            s.values[k].emplace_back(today.begin(),
                                     today.begin() + std::ptrdiff_t(std::min(count, today.size())));
    if (s.cut == n - 1)
        return s;
    const auto at = std::lower_bound(cutBars.begin(), cutBars.end(), s.cut);
    const Sz index = Sz(at - cutBars.begin());
    if (at != cutBars.end() && *at == s.cut && stored.size() > index && stored[index]) {
        for (Sz d = diffStart[index]; d < diffStart[index + 1]; ++d) {
            const ReplayDiff &diff = diffs[d];
            s.values[Sz(diff.output)][Sz(diff.channel)][Sz(diff.bar)] = diff.then;
            s.marked.push_back(diff.bar);
        }
    } else if (program) {
        const formula::Evaluation part =
            formula::Evaluator(*program, options).run(bars.head(s.cut + 1));
        for (Sz k = 0; k < outputs.size() && k < part.outputs.size(); ++k) {
            const formula::OutputLine &now = part.outputs[k];
            if (!outputs[k].checked || !now.ok() || now.channels.size() != s.values[k].size())
                continue;
            for (Sz c = 0; c < now.channels.size(); ++c)
                for (Sz i = 0; i < count && i < now.channels[c].size(); ++i)
                    if (!same(now.channels[c][i], s.values[k][c][i])) {
                        s.values[k][c][i] = now.channels[c][i];
                        s.marked.push_back(qsizetype(i));
                    }
        }
    }
    std::sort(s.marked.begin(), s.marked.end());
    s.marked.erase(std::unique(s.marked.begin(), s.marked.end()), s.marked.end());
    return s;
}

std::shared_ptr<const ReplayModel>
computeReplay(const QString &formulaText, formula::Bars bars, const QString &origin,
              const QMap<QString, double> &params, const std::atomic_bool *cancel,
              const ReplayProgress &progress, const ReplayBudget &budget, int priceDecimals)
{
    auto model = std::make_shared<ReplayModel>();
    model->priceDecimals = priceDecimals;
    auto program = std::make_shared<const formula::Program>(formula::parse(formulaText));
    model->program = program;
    model->options.params = params;
    model->bars = std::move(bars);
    model->origin = origin;
    const formula::Bars &all = model->bars;

    formula::ReplayOptions options;
    options.params = params;
    // Where the formula cannot be replayed at every bar in linear time: every bar while the
    // window's bound allows, which is larger than the command line's.
    options.stride = 1;
    options.maxCuts = budget.maxCuts;
    options.barBudget = std::max<qint64>(1, budget.work / 2);
    options.progress = [&](qsizetype done, qsizetype total) {
        if (cancel && cancel->load(std::memory_order_relaxed))
            return false;
        if (progress)
            progress(done, total);
        return true;
    };
    model->diffStart.push_back(0);
    options.keepFinalFrom = true; // the chart dashes the values still open
    options.onCut = [&](qsizetype cut, const std::vector<formula::CutChange> &changes) {
        // Past the memory bound a cut keeps nothing and is evaluated again when shown.
        const bool keep = model->diffs.size() + changes.size() <= budget.diffs;
        model->cutBars.push_back(cut);
        if (keep)
            for (const formula::CutChange &c : changes)
                model->diffs.push_back({std::int32_t(c.bar), c.output, c.channel, c.then});
        model->stored.push_back(keep);
        model->diffStart.push_back(model->diffs.size());
    };
    formula::ReplayReport report = formula::replay(*program, all, options);
    if (report.cancelled)
        return nullptr;
    model->cuts = qsizetype(model->cutBars.size());
    model->params = report.params;
    model->linear = report.linear;
    model->fallback = report.fallback;
    for (formula::OutputReplay &r : report.outputs) {
        ReplayOutput o;
        o.label = formula::outputTitle(r.line, *program);
        o.drawing = !r.line.drawing.isEmpty();
        o.checked = r.checked && all.size() > 0;
        o.missing = r.line.missing;
        o.today = std::move(r.line.channels);
        o.live = std::move(r.live);
        o.cutsRewritten = r.cutsRewritten;
        o.farthestBack = r.farthestBack;
        o.first = r.first;
        o.scorecard = r.scorecard;
        // A signal (0 and 1) gets a pane of its own even where prices stand near 1.
        o.pricePane = !formula::isSignal(o.today) && nearPrices(o, all);
        o.finalFrom.reserve(r.finalFrom.size());
        for (const qsizetype f : r.finalFrom)
            o.finalFrom.push_back(std::int32_t(f));
        describeDrawing(o, r.line, *program);
        model->outputs.push_back(std::move(o));
    }
    chooseExamples(*model);
    return model;
}

ReplayWorker::ReplayWorker(Input input, std::shared_ptr<std::atomic_bool> cancel)
    : m_input(std::move(input)), m_cancel(std::move(cancel))
{
}

void ReplayWorker::run()
{
    QElapsedTimer since;
    since.start();
    const auto report = [this, &since](qsizetype done, qsizetype total) {
        // A signal per cut would flood the window's queue on long histories.
        if (done == total || since.elapsed() >= 40) {
            since.restart();
            emit progressed(done, total);
        }
    };
    auto model = computeReplay(m_input.formula, std::move(m_input.bars), m_input.origin,
                               m_input.params, m_cancel.get(), report, {}, m_input.priceDecimals);
    emit done(std::move(model));
    QThread::currentThread()->quit();
}

ReplayJob::ReplayJob(QObject *parent) : QObject(parent) {}

ReplayJob::~ReplayJob()
{
    // No signal now: the view that listens is being destroyed.
    if (m_cancel)
        m_cancel->store(true);
    m_running = false;
    for (QThread *thread : findChildren<QThread *>(Qt::FindDirectChildrenOnly)) {
        thread->quit();
        thread->wait();
    }
}

void ReplayJob::start(ReplayWorker::Input input)
{
    if (m_cancel)
        m_cancel->store(true);
    m_cancel = std::make_shared<std::atomic_bool>(false);
    const quint64 generation = ++m_generation;
    m_running = true;

    auto *thread = new QThread(this);
    thread->setStackSize(8u << 20); // the evaluator's nesting may take 3 MiB; Windows gives 1
    auto *worker = new ReplayWorker(std::move(input), m_cancel);
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &ReplayWorker::run);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(worker, &ReplayWorker::progressed, this, [this, generation](qint64 done, qint64 total) {
        if (generation == m_generation && m_running)
            emit progress(done, total);
    });
    connect(worker, &ReplayWorker::done, this,
            [this, generation](std::shared_ptr<const ReplayModel> model) {
                if (generation != m_generation || !m_running)
                    return;
                m_running = false;
                if (model)
                    emit finished(std::move(model));
                else
                    emit cancelled();
            });
    thread->start();
}

void ReplayJob::cancel()
{
    if (m_cancel)
        m_cancel->store(true);
    if (m_running) {
        // The window answers at once; the thread stops at its next cut and cleans up.
        m_running = false;
        emit cancelled();
    }
}

} // namespace morvane
