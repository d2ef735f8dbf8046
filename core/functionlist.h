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

enum class ListFileState
{
    Missing, // nothing at all at the path, not even a dangling link
    File,    // a plain, visible file, perhaps through a link
    Other    // a folder, a device, a FIFO, a dangling link, a hidden file: never read or replaced
};
ListFileState listFileState(const QString &path);

// Larger lists are refused as unreadable: nobody types more, and memory stays bounded.
inline constexpr qint64 kMaxListFileBytes = 4 * 1024 * 1024;

// False when the file cannot be opened or read, or holds more than kMaxListFileBytes;
// `entries` is then untouched.
bool readFunctionListFile(const QString &path, QStringList *entries, QString *error = nullptr);
// The same from a device that is already open.
bool readFunctionList(QIODevice &device, QStringList *entries, QString *error = nullptr);

// Creates the file only where nothing exists yet, never through a link; a failed write
// takes away what it created.
bool createFunctionListFile(const QString &path, const QStringList &entries,
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
        TooLarge, // over kMaxListFileBytes: read as far as the limit, then refused
        WriteFailed,
        NotAFile // something other than a plain file is in the way; left alone
    };

    explicit FunctionList(QString path = defaultListPath());

    const QStringList &entries() const { return m_entries; }
    void setEntries(const QStringList &entries) { m_entries = entries; }
    const QString &path() const { return m_path; }

    // Refresh: replaces the list with the file's; when nothing is at the path the list
    // stays and is written to a new file. A file that cannot be read keeps the list, and so
    // does anything that is not a plain file, which is neither opened nor replaced.
    LoadResult load(QString *error = nullptr);
    // The reading half of a refresh, from an open device: Loaded or ReadFailed.
    LoadResult loadFrom(QIODevice &device, QString *error = nullptr);

    enum class EditResult
    {
        Opened,
        WriteFailed, // the missing file could not be written; `error` says why
        NotAFile,    // something other than a plain file is in the way
        LaunchFailed
    };

    // Writes the current list when nothing is at the path; Opened when the file is there after.
    EditResult ensureFile(QString *error = nullptr);

    // Edit: makes sure the file exists, then hands it to the launcher.
    EditResult edit(const EditorLauncher &launcher, QString *error = nullptr);

    // The last load met bytes its encoding could not read; they became U+FFFD.
    bool replacedCharacters() const { return m_replaced; }

private:
    QString m_path;
    QStringList m_entries;
    bool m_replaced = false;
};

} // namespace morvane
