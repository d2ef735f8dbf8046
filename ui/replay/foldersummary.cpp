#include "foldersummary.h"

#include "parser.h"
#include "replayset.h"
#include "replaytext.h"
#include "replaywords.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QThread>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

using Line = FolderSummaryJob::Line;
using Tone = FolderSummaryJob::Tone;

QList<Line> summarize(const QString &formulaText, const QString &folder,
                      const QMap<QString, double> &params, const std::atomic_bool *cancel,
                      const std::function<void(qsizetype, qsizetype)> &progress, bool *complete)
{
    const formula::Program program = formula::parse(formulaText);
    const formula::ReplayUniverse universe = formula::ReplayUniverse::ofFolder(folder);
    formula::ReplaySetOptions options;
    options.replay.params = params;
    options.cancel = cancel;
    QElapsedTimer since;
    since.start();
    options.progress = [&](qsizetype done, qsizetype total) {
        if (done == total || since.elapsed() >= 100) { // a signal per file would flood the queue
            since.restart();
            progress(done, total);
        }
        return true;
    };
    const formula::ReplaySetResult run = formula::replaySet(program, universe, options);
    const QStringList text = formula::replaySetLines(run, universe);
    QList<Line> lines;
    if (run.cancelled)
        lines.append({u"已取消：%1 个文件没有回放，下面只是已回放的部分"_s.arg(run.notRun()),
                      Tone::Unchecked});
    if (run.outputs.empty())
        lines.append({u"没有输出，无从检验"_s, Tone::Unchecked});
    // The sentences: the head, then one per output in the tallies' order, each with its
    // indented details, then the rest.
    std::size_t output = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        Tone tone = i == 0 && !run.refused.empty() ? Tone::Unchecked : Tone::Plain;
        if (i >= 1 && !text[i].startsWith(u"  "_s) && output < run.tallies.size()) {
            const formula::OutputTally &t = run.tallies[output++];
            tone = t.rewritesOn > 0                                  ? Tone::Rewrites
                   : t.checkedOn == run.replayed && run.replayed > 0 ? Tone::Stable
                                                                     : Tone::Unchecked;
        }
        lines.append({text[i], tone});
    }
    for (const formula::SecurityResult &r : run.refused)
        lines.append(
            {formula::barsProblemWords(r.file, r.refusal, options.maxBytes), Tone::Unchecked});
    *complete = !run.cancelled && run.refused.empty();
    return lines;
}

} // namespace

FolderSummaryJob::FolderSummaryJob(QObject *parent) : QObject(parent) {}

FolderSummaryJob::~FolderSummaryJob()
{
    if (m_cancel)
        m_cancel->store(true);
    for (QThread *thread : findChildren<QThread *>(Qt::FindDirectChildrenOnly)) {
        thread->quit();
        thread->wait();
    }
}

void FolderSummaryJob::start(const QString &formula, const QString &folder,
                             const QMap<QString, double> &params)
{
    if (m_cancel)
        m_cancel->store(true);
    m_cancel = std::make_shared<std::atomic_bool>(false);
    const quint64 generation = ++m_generation;
    m_running = true;
    const QPointer<FolderSummaryJob> self(this);
    QThread *thread = QThread::create([=, cancel = m_cancel] {
        const auto report = [&](qsizetype done, qsizetype total) {
            QMetaObject::invokeMethod(self, [self, generation, done, total] {
                if (self && generation == self->m_generation && self->m_running)
                    emit self->progress(done, total);
            });
        };
        bool complete = false;
        const QList<Line> lines =
            summarize(formula, folder, params, cancel.get(), report, &complete);
        QMetaObject::invokeMethod(self, [self, generation, lines, complete] {
            if (!self || generation != self->m_generation || !self->m_running)
                return;
            self->m_running = false;
            emit self->finished(lines, complete);
        });
    });
    thread->setParent(this);
    thread->setStackSize(8u << 20); // the evaluator's nesting may take 3 MiB; Windows gives 1
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

void FolderSummaryJob::cancel()
{
    if (m_cancel)
        m_cancel->store(true);
    m_running = false;
}

} // namespace morvane
