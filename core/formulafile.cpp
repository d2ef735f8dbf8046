#include "formulafile.h"

#include "encoding.h"

#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace morvane {

QByteArray encodeFormula(const QString &text)
{
    QString crlf = text;
    crlf.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return encodeGb18030(crlf);
}

namespace {

// The safe save renames a new file over the old one, so the old owner would be lost when
// root saves another user's file. Qt has no call for owners; where there are none, nothing to do.
void keepOwner(const QString &path, const QFileInfo &before)
{
#ifdef Q_OS_UNIX
    const QFileInfo after(path);
    if (after.ownerId() != before.ownerId() || after.groupId() != before.groupId()) {
        const int rc =
            ::chown(QFile::encodeName(path).constData(), before.ownerId(), before.groupId());
        Q_UNUSED(rc); // only root may give a file away; anyone else keeps the file as saved
    }
#else
    Q_UNUSED(path);
    Q_UNUSED(before);
#endif
}

bool writeInPlace(const QString &path, const QByteArray &bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes) != bytes.size() || !file.flush()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace

bool saveFormulaFile(const QString &path, const QString &text, QString *error)
{
    const QFileInfo before(path);
    const bool replacing = before.isFile();
    const QByteArray bytes = encodeFormula(text);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        // A writable file in a folder that takes no new files is still saved, in place.
        if (replacing)
            return writeInPlace(path, bytes, error);
        if (error)
            *error = file.errorString();
        return false;
    }
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    if (replacing)
        keepOwner(path, before);
    return true;
}

QString withTextExtension(const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    if (name.isEmpty() || name.contains(u'.'))
        return path;
    return path + QStringLiteral(".txt");
}

} // namespace morvane
