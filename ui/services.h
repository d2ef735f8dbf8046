#pragma once

#include "check.h"
#include "functionlist.h"
#include "noticefetch.h"

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QWidget;

namespace morvane {

// The Save As state the window keeps between saves: the filter and the last chosen name.
struct CommonDialog
{
    QString filter; // "description|pattern|description|pattern"
    QString fileName;

    // The filter in Qt's form: "description (patterns)" per choice.
    QStringList nameFilters() const;
};

// The desktop's text editor: Notepad on Windows, the user's choice elsewhere.
EditorLauncher systemEditorLauncher();

// Is a file ever written in `dir`? Asked by writing one: Windows' permission bits do not tell.
bool folderWritable(const QString &dir);

// list.txt for the window (listLocation()), its folder made: the user's may not exist yet, and
// the first start writes the built-in names there.
QString windowListPath(const QString &programDir, bool programDirWritable,
                       const QString &userDataDir);

// Everything the window asks of the outside world; tests replace each of them.
struct WindowServices
{
    QString listPath;                                                         // list.txt
    LocalClock clock;                                                         // local time
    std::function<QString(QWidget *parent, const CommonDialog &)> saveDialog; // "" = cancel
    std::function<QString(QWidget *parent)> openDialog;                       // "" = cancel
    std::function<bool(const QUrl &)> openUrl; // the browser; false when none opened
    EditorLauncher editorLauncher;             // the text editor
    std::function<void(QWidget *parent, const QString &text)> warn; // a message to the user
    QUrl noticeUrl;                                                 // the start-up notice
    NoticeFetchLimits noticeLimits;                                 // its time and size bounds

    // The real ones: dialogs, the desktop, the clock, the built-in addresses.
    static WindowServices system();
};

} // namespace morvane
