#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;

namespace morvane {

// The 23 names the program knows without list.txt, in their fixed order.
const QStringList &builtinFunctionNames();

// One entry per line; CR LF, a lone CR and a lone LF all end a line. Lines that are
// empty or spaces only are skipped; every other line is kept exactly as read.
QStringList parseFunctionList(const QString &text);
QStringList parseFunctionListBytes(const QByteArray &bytes);

// Every entry followed by CR LF, in GB18030.
QByteArray serializeFunctionList(const QStringList &entries);

// list.txt beside the executable.
QString defaultListPath();

// The user's data folder for list.txt: the window program's AppDataLocation, whichever of
// the two programs asks, so that morvane-check finds the file the window wrote.
QString userListDir();

// Where the window keeps list.txt: beside the program while that folder may be written (an
// unpacked folder, what existing users have), else in the user's data folder (a system install).
QString listLocation(const QString &programDir, bool programDirWritable,
                     const QString &userDataDir);

// Present only as a plain, visible file: a folder of that name counts as missing.
bool listFileExists(const QString &path);

// False when the file cannot be opened or read; `entries` is then untouched.
bool readFunctionListFile(const QString &path, QStringList *entries, QString *error = nullptr);
// The same from a device that is already open.
bool readFunctionList(QIODevice &device, QStringList *entries, QString *error = nullptr);

// Atomic: an interrupted write leaves no half-written file behind.
bool writeFunctionListFile(const QString &path, const QStringList &entries,
                           QString *error = nullptr);

// Opens a file for the user to edit, without waiting; false when nothing could be started.
// The real one is the desktop's, supplied by the window.
using EditorLauncher = std::function<bool(const QString &path)>;

// The list the check uses, with the refresh and edit operations behind the window's buttons.
class FunctionList
{
public:
    enum class LoadResult
    {
        Loaded,
        Created,
        ReadFailed,
        WriteFailed
    };

    explicit FunctionList(QString path = defaultListPath());

    const QStringList &entries() const { return m_entries; }
    void setEntries(const QStringList &entries) { m_entries = entries; }
    const QString &path() const { return m_path; }

    // Refresh: replaces the list with the file's; when the file is missing the list
    // stays and is written to a new file. A file that cannot be read keeps the list.
    LoadResult load(QString *error = nullptr);
    // The reading half of a refresh, from an open device: Loaded or ReadFailed.
    LoadResult loadFrom(QIODevice &device, QString *error = nullptr);

    // Writes the current list when the file is missing; true when the file is there after.
    bool ensureFile(QString *error = nullptr);

    enum class EditResult
    {
        Opened,
        WriteFailed, // the missing file could not be written; `error` says why
        LaunchFailed
    };

    // Edit: makes sure the file exists, then hands it to the launcher.
    EditResult edit(const EditorLauncher &launcher, QString *error = nullptr);

private:
    QString m_path;
    QStringList m_entries;
};

} // namespace morvane
