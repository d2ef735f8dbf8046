#pragma once

#include "fmfunctioncheck.h"

#include <QTemporaryDir>
#include <QTime>

#include <memory>

// A window wired to recorders instead of dialogs, browsers, editors and the network.
struct WindowFixture
{
    QTemporaryDir dir;
    QTime now{10, 30};
    QStringList saveAnswers; // what the save dialog answers, in turn ("" = cancel)
    QList<morvane::CommonDialog> dialogStates;
    QList<QUrl> openedUrls;
    QStringList editedFiles;
    QStringList warnings;
    bool editorStarts = true;

    morvane::WindowServices services(const QUrl &noticeUrl = {})
    {
        morvane::WindowServices s;
        s.listPath = dir.filePath(QStringLiteral("list.txt"));
        s.clock = [this] { return now; };
        s.saveDialog = [this](QWidget *, const morvane::CommonDialog &state) {
            dialogStates << state;
            return saveAnswers.isEmpty() ? QString() : saveAnswers.takeFirst();
        };
        s.openUrl = [this](const QUrl &url) { openedUrls << url; };
        s.editorLauncher = [this](const QString &path) {
            editedFiles << path;
            return editorStarts;
        };
        s.warn = [this](QWidget *, const QString &text) { warnings << text; };
        s.noticeUrl = noticeUrl;
        return s;
    }

    std::unique_ptr<morvane::fmFunctionCheck> makeWindow(const QUrl &noticeUrl = {})
    {
        return std::make_unique<morvane::fmFunctionCheck>(services(noticeUrl));
    }

    QString listPath() const { return dir.filePath(QStringLiteral("list.txt")); }
};
