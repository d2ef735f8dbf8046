#include "formulafile.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "testfiles.h"

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace morvane;
using namespace Qt::StringLiterals;

class TestFormulaFile : public QObject
{
    Q_OBJECT

private slots:
    void writableFileInClosedFolder();
    void keepsOwnerAndPermissions();
};

// A folder that takes no new files, holding a file that may still be written: the safe save
// cannot make its temporary file there, and once refused the whole save.
void TestFormulaFile::writableFileInClosedFolder()
{
    QTemporaryDir dir;
    const QString folder = dir.filePath(u"closed"_s);
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + u"/f.txt"_s;
    writeBytes(path, "old");
#ifdef Q_OS_UNIX
    const bool root = geteuid() == 0;
#else
    // No chmod or chattr to call (under Wine the call alone took two minutes to fail).
    QSKIP("closing a folder is done here with POSIX tools");
    const bool root = false;
#endif
    // Root ignores permissions; an immutable folder stops root too.
    const QStringList close = root ? QStringList{u"chattr"_s, u"+i"_s, folder}
                                   : QStringList{u"chmod"_s, u"0555"_s, folder};
    const QStringList open = root ? QStringList{u"chattr"_s, u"-i"_s, folder}
                                  : QStringList{u"chmod"_s, u"0755"_s, folder};
    if (QProcess::execute(close.first(), close.mid(1)) != 0)
        QSKIP("cannot close a folder here");
    QString error;
    const bool saved = saveFormulaFile(path, u"ZIG\n"_s, &error);
    QProcess::execute(open.first(), open.mid(1));
    QVERIFY2(saved, qPrintable(error));
    QCOMPARE(readBytes(path), QByteArray("ZIG\r\n"));
}

void TestFormulaFile::keepsOwnerAndPermissions()
{
#ifdef Q_OS_UNIX
    if (geteuid() != 0)
        QSKIP("only root can save another user's file");
    QTemporaryDir dir;
    const QString path = dir.filePath(u"theirs.txt"_s);
    writeBytes(path, "old");
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    QCOMPARE(chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    QVERIFY(saveFormulaFile(path, u"new"_s));
    QCOMPARE(readBytes(path), QByteArray("new"));
    const QFileInfo info(path);
    QCOMPARE(info.ownerId(), 65534u);
    QCOMPARE(info.groupId(), 65534u);
    QCOMPARE(info.permissions() & 0x7077, // owner, group, others; not the reader's own
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
#else
    QSKIP("owners are a POSIX matter");
#endif
}

QTEST_GUILESS_MAIN(TestFormulaFile)
#include "tst_formulafile.moc"
