#include "services.h"

#include "morvane_config.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProcess>
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

// What differs between Windows and the other desktops lives here, and only here.
EditorLauncher systemEditorLauncher()
{
    return [](const QString &path) {
        const QString native = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
#ifdef Q_OS_WIN
        return QProcess::startDetached(u"NotePad.EXE"_s, {native});
#else
        // The desktop's own choice of editor for a text file.
        return QProcess::startDetached(u"xdg-open"_s, {native});
#endif
    };
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
    s.clock = [] { return QTime::currentTime(); };
    s.saveDialog = [](QWidget *parent, const CommonDialog &state) {
        QFileDialog dialog(parent);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setNameFilters(state.nameFilters());
        if (!state.fileName.isEmpty())
            dialog.selectFile(state.fileName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };
    s.openDialog = [](QWidget *parent) {
        return QFileDialog::getOpenFileName(parent, u"打开公式"_s, QString(),
                                            u"文档文件 (*.txt);;所有文件 (*)"_s);
    };
    s.openUrl = [](const QUrl &url) { return QDesktopServices::openUrl(url); };
    s.editorLauncher = systemEditorLauncher();
    s.noticeUrl = QUrl(QString::fromUtf8(MORVANE_NOTICE_URL));
    s.warn = [](QWidget *parent, const QString &text) {
        QMessageBox::warning(parent, u"Morvane"_s, text);
    };
    return s;
}

} // namespace morvane
