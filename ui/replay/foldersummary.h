#pragma once

#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

namespace morvane {

// The formula replayed on every bars file of a folder, off the window's thread, summed up in
// the command line's own sentences; a new start or a cancel stops the run before it.
class FolderSummaryJob : public QObject
{
    Q_OBJECT
public:
    explicit FolderSummaryJob(QObject *parent = nullptr);
    ~FolderSummaryJob() override;

    void start(const QString &formula, const QString &folder, const QMap<QString, double> &params);
    void cancel();
    bool isRunning() const { return m_running; }

    // How a line of the summary reads: the verdicts' colours.
    enum class Tone
    {
        Plain,
        Stable,
        Rewrites,
        Unchecked // not every security checked, a file unread, a run cancelled
    };
    struct Line
    {
        QString text;
        Tone tone = Tone::Plain;
    };

signals:
    void progress(qint64 done, qint64 total);
    // The summary; `complete` false when some file was not replayed (cancelled or unreadable).
    void finished(const QList<FolderSummaryJob::Line> &lines, bool complete);

private:
    std::shared_ptr<std::atomic_bool> m_cancel;
    quint64 m_generation = 0;
    bool m_running = false;
};

} // namespace morvane
