#pragma once

#include "fmfunctioncheck.h"

#include <QTemporaryDir>
#include <QTime>

#include <memory>

// The report's lines without the detail lines under each name, "\n" between them.
inline QString headlines(const QString &report)
{
    QStringList out;
    for (const QString &line :
         QString(report).replace(QStringLiteral("\r\n"), QStringLiteral("\n")).split(u'\n')) {
        if (!line.startsWith(QStringLiteral("    ")) && !line.isEmpty())
            out << line;
    }
    return out.join(u'\n');
}

// A window wired to recorders instead of dialogs, browsers, editors and the network.
struct WindowFixture
{
    QTemporaryDir dir;
    QTime now{10, 30};
    QStringList saveAnswers; // what the save dialog answers, in turn ("" = cancel)
    QStringList openAnswers; // what the open dialog answers, in turn ("" = cancel)
    bool browserOpens = true;
    QList<morvane::CommonDialog> dialogStates;
    QList<QUrl> openedUrls;
    QStringList editedFiles;
    QStringList warnings;
    QStringList questions;       // what the window asked, in turn
    QList<bool> questionAnswers; // the user's answers, in turn (none left: no)
    bool editorStarts = true;
    // Launches that started, then ended in failure once the test calls these.
    QList<morvane::LaterFailure> laterFailures;

    morvane::WindowServices services(const QUrl &noticeUrl = {})
    {
        morvane::WindowServices s;
        s.listPath = dir.filePath(QStringLiteral("list.txt"));
        s.parametersPath = dir.filePath(QStringLiteral("parameters.json"));
        s.clock = [this] { return now; };
        s.saveDialog = [this](QWidget *, const morvane::CommonDialog &state) {
            dialogStates << state;
            return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
        };
        s.openDialog = [this](QWidget *) {
            return openAnswers.isEmpty() ? QString() : openAnswers.takeFirst();
        };
        s.openUrl = [this](const QUrl &url, const morvane::LaterFailure &failedLater) {
            openedUrls << url;
            laterFailures << failedLater;
            return browserOpens;
        };
        s.editorLauncher = [this](const QString &path, const morvane::LaterFailure &failedLater) {
            editedFiles << path;
            laterFailures << failedLater;
            return editorStarts;
        };
        s.warn = [this](QWidget *, const QString &text) { warnings << text; };
        s.ask = [this](QWidget *, const QString &text) {
            questions << text;
            return !questionAnswers.isEmpty() && questionAnswers.takeFirst();
        };
        s.noticeUrl = noticeUrl;
        return s;
    }

    std::unique_ptr<morvane::fmFunctionCheck> makeWindow(const QUrl &noticeUrl = {})
    {
        return std::make_unique<morvane::fmFunctionCheck>(services(noticeUrl));
    }

    QString listPath() const { return dir.filePath(QStringLiteral("list.txt")); }
};
