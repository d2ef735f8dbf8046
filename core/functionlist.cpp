#include "functionlist.h"

#include "encoding.h"
#include "textrules.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <filesystem>

using namespace Qt::StringLiterals;

namespace morvane {

const QStringList &builtinFunctionNames()
{
    static const QStringList names = {
        u"ZIG"_s,     u"ZIGA"_s,    u"PEAK"_s,       u"PEAKA"_s,   u"PEAKBARS"_s, u"PEAKBARSA"_s,
        u"TROUGH"_s,  u"TROUGHA"_s, u"TROUGHBARS"_s, u"FLATZIG"_s, u"FLATZIGA"_s, u"FFT"_s,
        u"BACKSET"_s, u"WINNER"_s,  u"LWINNER"_s,    u"COST"_s,    u"CAPITAL"_s,  u"DYNAINFO"_s,
        u"FINANCE"_s, u"XMA"_s,     u"#MONTH"_s,     u"#WEEK"_s,   u"#YEAR"_s,
    };
    return names;
}

QStringList parseFunctionList(const QString &text)
{
    QStringList entries;
    const QStringView view(text);
    qsizetype start = 0;
    const qsizetype size = view.size();
    auto take = [&](qsizetype end) {
        const QStringView line = view.sliced(start, end - start);
        if (!isBlank(line))
            entries.append(line.toString());
    };
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = view[i];
        if (c != u'\r' && c != u'\n')
            continue;
        take(i);
        if (c == u'\r' && i + 1 < size && view[i + 1] == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < size)
        take(size);
    return entries;
}

QStringList parseFunctionListBytes(const QByteArray &bytes)
{
    return parseFunctionList(decodeUserText(bytes));
}

QByteArray serializeFunctionList(const QStringList &entries)
{
    QString text;
    for (const QString &entry : entries) {
        text += entry;
        text += u"\r\n";
    }
    return encodeGb18030(text);
}

QString defaultListPath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"list.txt"_s);
}

QString userListDir()
{
    // AppDataLocation follows the asking program's name: ask under the window program's.
    const QString own = QCoreApplication::applicationName();
    QCoreApplication::setApplicationName(u"morvane"_s);
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QCoreApplication::setApplicationName(own);
    return dir;
}

QString listLocation(const QString &programDir, bool programDirWritable, const QString &userDataDir)
{
    // Without a user folder (no home) the program's folder is still the best try.
    const bool beside = programDirWritable || userDataDir.isEmpty();
    return QDir(beside ? programDir : userDataDir).filePath(u"list.txt"_s);
}

bool listFileExists(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile() && !info.isHidden();
}

ListFileState listFileState(const QString &path)
{
    namespace fs = std::filesystem;
    const fs::path native(path.toStdU16String());
    std::error_code ec;
    // symlink_status: a dangling link is something, not nothing.
    const fs::file_status own = fs::symlink_status(native, ec);
    if (own.type() == fs::file_type::not_found || (ec && own.type() == fs::file_type::none))
        return ListFileState::Missing;
    return listFileExists(path) ? ListFileState::File : ListFileState::Other;
}

bool readFunctionListFile(const QString &path, QStringList *entries, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return readFunctionList(file, entries, error);
}

namespace {

enum class ReadOutcome
{
    Read,
    Failed,
    TooLarge
};

ReadOutcome readCapped(QIODevice &device, QByteArray *bytes, QString *error)
{
    char chunk[64 * 1024];
    for (qint64 n; (n = device.read(chunk, sizeof chunk)) != 0;) {
        if (n < 0) { // QFile's readAll() would hide this
            if (error)
                *error = device.errorString();
            return ReadOutcome::Failed;
        }
        if (bytes->size() + n > kMaxListFileBytes)
            return ReadOutcome::TooLarge;
        bytes->append(chunk, n);
    }
    return ReadOutcome::Read;
}

} // namespace

bool readFunctionList(QIODevice &device, QStringList *entries, QString *error)
{
    QByteArray bytes;
    const ReadOutcome outcome = readCapped(device, &bytes, error);
    if (outcome == ReadOutcome::TooLarge && error)
        *error = QString::number(kMaxListFileBytes);
    if (outcome != ReadOutcome::Read)
        return false;
    *entries = parseFunctionListBytes(bytes);
    return true;
}

bool createFunctionListFile(const QString &path, const QStringList &entries, QString *error)
{
    QFile file(path);
    // O_CREAT | O_EXCL: fails on anything already there, a link included.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QByteArray bytes = serializeFunctionList(entries);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        if (error)
            *error = file.errorString();
        file.remove();
        return false;
    }
    file.close();
    return true;
}

FunctionList::FunctionList(QString path)
    : m_path(std::move(path)), m_entries(builtinFunctionNames())
{
}

FunctionList::LoadResult FunctionList::load(QString *error)
{
    switch (listFileState(m_path)) {
    case ListFileState::Missing:
        return createFunctionListFile(m_path, m_entries, error) ? LoadResult::Created
                                                                : LoadResult::WriteFailed;
    case ListFileState::Other:
        return LoadResult::NotAFile;
    case ListFileState::File:
        break;
    }
    // Only a plain file gets here, so opening cannot block on a FIFO or a device.
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return LoadResult::ReadFailed;
    }
    return loadFrom(file, error);
}

FunctionList::LoadResult FunctionList::loadFrom(QIODevice &device, QString *error)
{
    QByteArray bytes;
    switch (readCapped(device, &bytes, error)) {
    case ReadOutcome::Failed:
        return LoadResult::ReadFailed;
    case ReadOutcome::TooLarge:
        return LoadResult::TooLarge;
    case ReadOutcome::Read:
        break;
    }
    const DecodedText decoded = decodeUserTextDetailed(bytes);
    m_replaced = decoded.replaced;
    m_entries = parseFunctionList(decoded.text);
    return LoadResult::Loaded;
}

FunctionList::EditResult FunctionList::ensureFile(QString *error)
{
    switch (listFileState(m_path)) {
    case ListFileState::File:
        return EditResult::Opened;
    case ListFileState::Other:
        return EditResult::NotAFile;
    case ListFileState::Missing:
        break;
    }
    return createFunctionListFile(m_path, m_entries, error) ? EditResult::Opened
                                                            : EditResult::WriteFailed;
}

FunctionList::EditResult FunctionList::edit(const EditorLauncher &launcher, QString *error)
{
    if (const EditResult ensured = ensureFile(error); ensured != EditResult::Opened)
        return ensured;
    if (!launcher || !launcher(m_path))
        return EditResult::LaunchFailed;
    return EditResult::Opened;
}

} // namespace morvane
