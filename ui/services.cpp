#include "services.h"

#include "morvane_config.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <QTime>

using namespace Qt::StringLiterals;

namespace morvane {

QStringList CommonDialog::nameFilters() const
{
    QStringList result;
    const QStringList parts = filter.split(u'|');
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString &description = parts[i];
        const QString patterns = QString(parts[i + 1]).replace(u';', u' ');
        // "文档文件(*.txt)" already names its pattern the way Qt reads it.
        if (description.endsWith(u'(' + patterns + u')'))
            result << description;
        else
            result << description + u" ("_s + patterns + u')';
    }
    return result;
}

namespace {

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
// xdg-open hands the file or address on and ends; its exit status is the only word of a
// failure (3: no program for it, 4: the program failed). Started detached it would say nothing.
bool startXdgOpen(const QString &target, const LaterFailure &failedLater)
{
    const QString program = QStandardPaths::findExecutable(u"xdg-open"_s);
    if (program.isEmpty())
        return false;
    // Lives until xdg-open ends; the application's child, so no window's close cuts it short.
    auto *process = new QProcess(QCoreApplication::instance());
    // No pipes: a program xdg-open waits on must not meet a closed one when we exit first.
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    QObject::connect(process, &QProcess::finished, process,
                     [process, failedLater](int exitCode, QProcess::ExitStatus status) {
                         if ((status != QProcess::NormalExit || exitCode != 0) && failedLater)
                             failedLater();
                         process->deleteLater();
                     });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [process, failedLater](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return; // a crash also ends in finished()
                         if (failedLater)
                             failedLater();
                         process->deleteLater();
                     });
    process->start(program, {target});
    return true;
}
#endif

} // namespace

// What differs between Windows and the other desktops lives here, and only here.
WatchedLauncher systemEditorLauncher()
{
    return [](const QString &path, const LaterFailure &failedLater) {
        const QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
        // The desktop's own choice of editor for a text file.
        return startXdgOpen(native, failedLater);
#else
        // Notepad is part of every Windows; it stays open as long as the user edits, so its
        // exit status says nothing about the start.
        Q_UNUSED(failedLater);
#ifdef Q_OS_WIN
        return QProcess::startDetached(u"NotePad.EXE"_s, {native});
#else
        return QProcess::startDetached(u"open"_s, {u"-t"_s, native});
#endif
#endif
    };
}

QString ChineseFileIconProvider::type(const QFileInfo &info) const
{
    if (info.isRoot())
        return u"驱动器"_s;
    if (info.isDir())
        return u"文件夹"_s;
    if (!info.isFile() && info.isSymLink())
        return u"快捷方式"_s;
    return QAbstractFileIconProvider::type(info);
}

bool folderWritable(const QString &dir)
{
    QTemporaryFile probe(QDir(dir).filePath(u".morvane-XXXXXX"_s));
    return probe.open();
}

QString windowListPath(const QString &programDir, bool programDirWritable,
                       const QString &userDataDir)
{
    const QString path = listLocation(programDir, programDirWritable, userDataDir);
    // A failure shows later, when the list cannot be written there.
    QDir().mkpath(QFileInfo(path).absolutePath());
    return path;
}

WindowServices WindowServices::system()
{
    WindowServices s;
    const QString programDir = QCoreApplication::applicationDirPath();
    s.listPath = windowListPath(programDir, folderWritable(programDir), userListDir());
    s.parametersPath = QDir(userListDir()).filePath(u"parameters.json"_s);
    s.clock = [] { return QTime::currentTime(); };
    s.saveDialog = [](QWidget *parent, const CommonDialog &state) {
        ChineseFileIconProvider icons; // outlives the dialog, which only borrows it
        QFileDialog dialog(parent);
        dialog.setIconProvider(&icons);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilters(state.nameFilters());
        // The name the window adds too, here where the question about replacing a file sees it.
        dialog.setDefaultSuffix(u"txt"_s);
        // A full path: the dialog opens in its folder with its name typed in.
        if (!state.fileName.isEmpty())
            dialog.selectFile(state.fileName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };
    s.openDialog = [](QWidget *parent) {
        ChineseFileIconProvider icons;
        QFileDialog dialog(parent, u"打开公式"_s, QString(), u"文档文件 (*.txt);;所有文件 (*)"_s);
        dialog.setIconProvider(&icons);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };
    s.openUrl = [](const QUrl &url, const LaterFailure &failedLater) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
        // Where xdg-open is missing Qt looks for a browser of its own and says if none is.
        if (startXdgOpen(url.toString(QUrl::FullyEncoded), failedLater))
            return true;
#else
        // ShellExecute says at once when no program takes the address.
        Q_UNUSED(failedLater);
#endif
        return QDesktopServices::openUrl(url);
    };
    s.editorLauncher = systemEditorLauncher();
    s.noticeUrl = QUrl(QString::fromUtf8(MORVANE_NOTICE_URL));
    // Not modal: a failure told after the fact (a launch that failed later) must not stop the
    // window or nest an event loop inside the signal that told it.
    s.ask = [](QWidget *parent, const QString &text) {
        return QMessageBox::question(parent, u"Morvane"_s, text) == QMessageBox::Yes;
    };
    s.warn = [](QWidget *parent, const QString &text) {
        auto *box =
            new QMessageBox(QMessageBox::Warning, u"Morvane"_s, text, QMessageBox::Ok, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    };
    return s;
}

} // namespace morvane
