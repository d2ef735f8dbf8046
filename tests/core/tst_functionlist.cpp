#include "functionlist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "failingdevice.h"
#include "testfiles.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#ifdef Q_OS_LINUX
#include <sys/sysmacros.h>
#endif
#endif

using namespace morvane;
using namespace Qt::StringLiterals;

class TestFunctionList : public QObject
{
    Q_OBJECT

private slots:
    void builtinNames();
    void reading_data();
    void reading();
    void writingBuiltinList();
    void existence();
    void loadMissingWritesCurrentList();
    void loadReplacesList();
    void loadUnreadableKeepsList();
    void thingsInTheWay_data();
    void thingsInTheWay();
    void tooLargeKeepsList();
    void failedWriteKeepsOldFile();
    void editWritesMissingFileFirst();
    void editReportsLauncherFailure();
};

void TestFunctionList::builtinNames()
{
    const QStringList &names = builtinFunctionNames();
    QCOMPARE(names.size(), 23);
    QCOMPARE(names.first(), u"ZIG"_s);
    QCOMPARE(names.at(8), u"TROUGHBARS"_s);
    QCOMPARE(names.at(12), u"BACKSET"_s);
    QCOMPARE(names.mid(20), QStringList({u"#MONTH"_s, u"#WEEK"_s, u"#YEAR"_s}));
}

void TestFunctionList::reading_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("crlf") << QByteArray("ZIG\r\nPEAK\r\n") << QStringList{u"ZIG"_s, u"PEAK"_s};
    QTest::newRow("lone cr") << QByteArray("ZIG\rPEAK") << QStringList{u"ZIG"_s, u"PEAK"_s};
    QTest::newRow("lone lf") << QByteArray("ZIG\nPEAK\n") << QStringList{u"ZIG"_s, u"PEAK"_s};
    QTest::newRow("mixed ends") << QByteArray("A\r\n\r\nB\n\rC\r")
                                << QStringList{u"A"_s, u"B"_s, u"C"_s};
    QTest::newRow("blank lines") << QByteArray("ZIG\r\n   \r\n\r\n PEAK")
                                 << QStringList{u"ZIG"_s, u" PEAK"_s};
    QTest::newRow("tabs kept") << QByteArray("\t\t\r\nZIG") << QStringList{u"\t\t"_s, u"ZIG"_s};
    QTest::newRow("spaces kept") << QByteArray("  ZIG  \r\n") << QStringList{u"  ZIG  "_s};
    QTest::newRow("duplicates") << QByteArray("ZIG\r\nZIG\r\n") << QStringList{u"ZIG"_s, u"ZIG"_s};
    QTest::newRow("last line open") << QByteArray("ZIG\r\nXMA") << QStringList{u"ZIG"_s, u"XMA"_s};
    QTest::newRow("case kept") << QByteArray("zig\r\n") << QStringList{u"zig"_s};
    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("only blanks") << QByteArray("\r\n  \r\n") << QStringList();
    QTest::newRow("gbk") << QByteArray("\xce\xb4\xc0\xb4\r\nZIG")
                         << QStringList{u"未来"_s, u"ZIG"_s};
    QTest::newRow("utf8") << QByteArray("未来\nZIG") << QStringList{u"未来"_s, u"ZIG"_s};
    QTest::newRow("utf8 mark") << QByteArray("\xEF\xBB\xBFZIG\r\n未来")
                               << QStringList{u"ZIG"_s, u"未来"_s};
    QTest::newRow("mark only") << QByteArray("\xEF\xBB\xBF") << QStringList();
}

void TestFunctionList::reading()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, expected);

    QTemporaryDir dir;
    const QString path = dir.filePath(u"list.txt"_s);
    writeBytes(path, bytes);
    QStringList entries{u"untouched"_s};
    QVERIFY(readFunctionListFile(path, &entries));
    QCOMPARE(entries, expected);
}

void TestFunctionList::writingBuiltinList()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"list.txt"_s);
    FunctionList list(path);
    QCOMPARE(list.load(), FunctionList::LoadResult::Created);
    QCOMPARE(readBytes(path),
             QByteArray("ZIG\r\nZIGA\r\nPEAK\r\nPEAKA\r\nPEAKBARS\r\nPEAKBARSA\r\nTROUGH\r\n"
                        "TROUGHA\r\nTROUGHBARS\r\nFLATZIG\r\nFLATZIGA\r\nFFT\r\nBACKSET\r\n"
                        "WINNER\r\nLWINNER\r\nCOST\r\nCAPITAL\r\nDYNAINFO\r\nFINANCE\r\nXMA\r\n"
                        "#MONTH\r\n#WEEK\r\n#YEAR\r\n"));
    // Chinese entries go out as GBK bytes and come back unchanged.
    const QString gbk = dir.filePath(u"gbk.txt"_s);
    QVERIFY(createFunctionListFile(gbk, {u"未来"_s, u" ZIG "_s}));
    QCOMPARE(readBytes(gbk), QByteArray("\xce\xb4\xc0\xb4\r\n ZIG \r\n"));
}

void TestFunctionList::existence()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"list.txt"_s);
    QVERIFY(!listFileExists(file));
    writeBytes(file, "");
    QVERIFY(listFileExists(file));

    const QString folder = dir.filePath(u"sub/list.txt"_s);
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(!listFileExists(folder));

#ifndef Q_OS_WIN
    const QString hidden = dir.filePath(u".list.txt"_s);
    writeBytes(hidden, "ZIG");
    QVERIFY(!listFileExists(hidden));
#endif
}

void TestFunctionList::loadMissingWritesCurrentList()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"list.txt"_s);
    FunctionList list(path);
    list.setEntries({u"ZIG"_s, u"未来"_s});
    QCOMPARE(list.load(), FunctionList::LoadResult::Created);
    QCOMPARE(list.entries(), QStringList({u"ZIG"_s, u"未来"_s}));
    QCOMPARE(readBytes(path), QByteArray("ZIG\r\n\xce\xb4\xc0\xb4\r\n"));
}

void TestFunctionList::loadReplacesList()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"list.txt"_s);
    writeBytes(path, "");
    FunctionList list(path);
    QCOMPARE(list.load(), FunctionList::LoadResult::Loaded);
    QVERIFY(list.entries().isEmpty()); // the built-in names do not come back

    writeBytes(path, "PEAK\nXMA\n");
    QCOMPARE(list.load(), FunctionList::LoadResult::Loaded);
    QCOMPARE(list.entries(), QStringList({u"PEAK"_s, u"XMA"_s}));
    QCOMPARE(readBytes(path), QByteArray("PEAK\nXMA\n")); // reading never rewrites
}

void TestFunctionList::loadUnreadableKeepsList()
{
    FailingDevice device;
    FunctionList list;
    list.setEntries({u"ZIG"_s});
    QString error;
    QCOMPARE(list.loadFrom(device, &error), FunctionList::LoadResult::ReadFailed);
    QVERIFY(!error.isEmpty());
    QCOMPARE(list.entries(), QStringList{u"ZIG"_s});
}

void TestFunctionList::thingsInTheWay_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<FunctionList::LoadResult>("result");
    QTest::newRow("folder") << u"folder"_s << FunctionList::LoadResult::NotAFile;
#ifdef Q_OS_UNIX
    // Windows' links made by QFile::link are shell shortcuts, files of their own.
    QTest::newRow("link to a file") << u"link to file"_s << FunctionList::LoadResult::Loaded;
    QTest::newRow("dangling link") << u"dangling link"_s << FunctionList::LoadResult::NotAFile;
    QTest::newRow("link to a device") << u"link to device"_s << FunctionList::LoadResult::NotAFile;
    QTest::newRow("fifo") << u"fifo"_s << FunctionList::LoadResult::NotAFile;
    QTest::newRow("link to a fifo") << u"link to fifo"_s << FunctionList::LoadResult::NotAFile;
#endif
}

// Nothing but a plain file is read, and nothing at all is replaced: a link to a device once
// had the device node replaced by a text file. Opening a FIFO would hang the test.
void TestFunctionList::thingsInTheWay()
{
    QFETCH(QString, what);
    QFETCH(FunctionList::LoadResult, result);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"list.txt"_s);
    const QString target = dir.filePath(u"target"_s);
    if (what == u"folder"_s) {
        QVERIFY(QDir().mkpath(path));
    } else if (what == u"link to file"_s) {
        writeBytes(target, "PEAK\r\n");
        QVERIFY(QFile::link(target, path));
    } else if (what == u"dangling link"_s) {
        QVERIFY(QFile::link(target, path));
    } else if (what == u"link to device"_s) {
#ifdef Q_OS_UNIX
        // A device node of our own, so that a regression replaces nothing of the system's.
        if (mknod(QFile::encodeName(target).constData(), S_IFCHR | 0600, makedev(1, 3)) != 0)
            QSKIP("cannot make a device node here (not root)");
        QVERIFY(QFile::link(target, path));
#endif
    } else {
#ifdef Q_OS_UNIX
        const QString fifo = what == u"fifo"_s ? path : target;
        QCOMPARE(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        if (fifo != path)
            QVERIFY(QFile::link(target, path));
#endif
    }
    FunctionList list(path);
    QCOMPARE(list.load(), result);
    QCOMPARE(list.entries(), result == FunctionList::LoadResult::Loaded ? QStringList{u"PEAK"_s}
                                                                        : builtinFunctionNames());
    QCOMPARE(list.edit([](const QString &) { return true; }),
             result == FunctionList::LoadResult::Loaded ? FunctionList::EditResult::Opened
                                                        : FunctionList::EditResult::NotAFile);
    if (what == u"link to device"_s)
        QVERIFY(!QFileInfo(target).isFile());
    if (what == u"dangling link"_s)
        QVERIFY(!QFileInfo::exists(target));
    if (what == u"folder"_s)
        QVERIFY(QFileInfo(path).isDir());
}

void TestFunctionList::tooLargeKeepsList()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"list.txt"_s);
    writeBytes(path, QByteArray(kMaxListFileBytes + 1, 'A'));
    FunctionList list(path);
    QCOMPARE(list.load(), FunctionList::LoadResult::TooLarge);
    QCOMPARE(list.entries(), builtinFunctionNames());
    QStringList entries;
    QVERIFY(!readFunctionListFile(path, &entries));
}

void TestFunctionList::failedWriteKeepsOldFile()
{
    QTemporaryDir dir;
    QString error;
    QVERIFY(!createFunctionListFile(dir.filePath(u"missing/list.txt"_s), {u"ZIG"_s}, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    // Never over something that is there.
    const QString existing = dir.filePath(u"list.txt"_s);
    writeBytes(existing, "mine");
    QVERIFY(!createFunctionListFile(existing, {u"ZIG"_s}));
    QCOMPARE(readBytes(existing), QByteArray("mine"));
}

void TestFunctionList::editWritesMissingFileFirst()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"list.txt"_s);
    FunctionList list(path);
    list.setEntries({u"XMA"_s});
    QStringList opened;
    QByteArray contentWhenOpened;
    const auto result = list.edit([&](const QString &p) {
        opened << p;
        contentWhenOpened = readBytes(p);
        return true;
    });
    QCOMPARE(result, FunctionList::EditResult::Opened);
    QCOMPARE(opened, QStringList{path});
    QCOMPARE(contentWhenOpened, QByteArray("XMA\r\n"));
    QCOMPARE(list.entries(), QStringList{u"XMA"_s});

    // An existing file is opened as it is.
    writeBytes(path, "ZIG");
    QCOMPARE(list.edit([&](const QString &p) { return readBytes(p) == "ZIG"; }),
             FunctionList::EditResult::Opened);
}

void TestFunctionList::editReportsLauncherFailure()
{
    QTemporaryDir dir;
    FunctionList list(dir.filePath(u"list.txt"_s));
    QCOMPARE(list.edit([](const QString &) { return false; }),
             FunctionList::EditResult::LaunchFailed);
    QVERIFY(listFileExists(list.path()));
}

QTEST_GUILESS_MAIN(TestFunctionList)
#include "tst_functionlist.moc"
