#pragma once

#include "check.h"
#include "functionlist.h"
#include "noticefetch.h"

#include <QAbstractFileIconProvider>
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

// Runs when a program started without waiting ends in failure after all (xdg-open that found
// no program for the file), on the UI thread.
using LaterFailure = std::function<void()>;

// Starts a program for the user without waiting: false when it cannot start at all;
// `failedLater` is called if it fails once running.
using WatchedLauncher = std::function<bool(const QString &path, const LaterFailure &failedLater)>;
using UrlOpener = std::function<bool(const QUrl &url, const LaterFailure &failedLater)>;

// The desktop's text editor: Notepad on Windows, the user's choice elsewhere.
WatchedLauncher systemEditorLauncher();

// The type column of Qt's own file dialogs in Chinese: qtbase_zh_CN of Qt 6.4 still
// translates these words under the class's Qt 5 name, so "Folder" stayed English.
class ChineseFileIconProvider : public QAbstractFileIconProvider
{
public:
    QString type(const QFileInfo &info) const override;
};

// Is a file ever written in `dir`? Asked by writing one: Windows' permission bits do not tell.
bool folderWritable(const QString &dir);

// list.txt for the window (listLocation()), its folder made: the user's may not exist yet, and
// the first start writes the built-in names there.
QString windowListPath(const QString &programDir, bool programDirWritable,
                       const QString &userDataDir);

// Everything the window asks of the outside world; tests replace each of them.
struct WindowServices
{
    QString listPath;       // list.txt
    QString parametersPath; // the values given to formulas' parameters; "" keeps none
    LocalClock clock;       // local time
    std::function<QString(QWidget *parent, const CommonDialog &)> saveDialog; // "" = cancel
    std::function<QString(QWidget *parent)> openDialog;                       // "" = cancel
    UrlOpener openUrl;                                                        // the browser
    WatchedLauncher editorLauncher;                                           // the text editor
    std::function<void(QWidget *parent, const QString &text)> warn; // a message to the user
    std::function<bool(QWidget *parent, const QString &text)> ask;  // a yes-or-no question
    QUrl noticeUrl;                                                 // the start-up notice
    NoticeFetchLimits noticeLimits;                                 // its time and size bounds

    // The real ones: dialogs, the desktop, the clock, the built-in addresses.
    static WindowServices system();
};

} // namespace morvane
