#include "testfiles.h"
#include "windowfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

// Where list.txt lives when the program's folder cannot be written (a system install).
class TestListLocation : public QObject
{
    Q_OBJECT

private slots:
    void listLocation_data();
    void listLocation();
    void firstStartInUserFolder();
    void userFolderIsTheWindowProgramsOwn();
};

void TestListLocation::listLocation_data()
{
    QTest::addColumn<bool>("writable");
    QTest::addColumn<QString>("userDir");
    QTest::addColumn<QString>("expected");
    QTest::newRow("unpacked folder")
        << true << u"/home/u/.local/share/morvane"_s << u"/opt/m/list.txt"_s;
    QTest::newRow("system install")
        << false << u"/home/u/.local/share/morvane"_s << u"/home/u/.local/share/morvane/list.txt"_s;
    QTest::newRow("no home") << false << QString() << u"/opt/m/list.txt"_s;
}

void TestListLocation::listLocation()
{
    QFETCH(bool, writable);
    QFETCH(QString, userDir);
    QFETCH(QString, expected);
    QCOMPARE(morvane::listLocation(u"/opt/m"_s, writable, userDir), expected);
}

void TestListLocation::firstStartInUserFolder()
{
    WindowFixture fx;
    const QString programDir = fx.dir.filePath(u"bin"_s);
    const QString userDir = fx.dir.filePath(u"home/share/morvane"_s); // not there yet
    QVERIFY(QDir().mkpath(programDir));
    QVERIFY(folderWritable(programDir));
    QVERIFY(!folderWritable(fx.dir.filePath(u"missing"_s)));

    const QString path = windowListPath(programDir, false, userDir);
    QCOMPARE(path, QDir(userDir).filePath(u"list.txt"_s));
    WindowServices services = fx.services();
    services.listPath = path;
    fmFunctionCheck window(services);
    window.Form_Load();
    // Written as today: the built-in names, GB18030, CR LF; nothing beside the program.
    QCOMPARE(readBytes(path), serializeFunctionList(builtinFunctionNames()));
    QVERIFY(QDir(programDir).isEmpty());

    writeBytes(path, "XMA\r\n");
    window.btnLoadList_Click();
    QCOMPARE(window.List->count(), 1);
    window.btnEditList_Click();
    QCOMPARE(fx.editedFiles, QStringList{path});
    QCOMPARE(fx.warnings, QStringList());
}

void TestListLocation::userFolderIsTheWindowProgramsOwn()
{
    // morvane-check asks too, under its own name: it must still find the window's file.
    QCoreApplication::setApplicationName(u"morvane-check"_s);
    QCOMPARE(QFileInfo(userListDir()).fileName(), u"morvane"_s);
    QCOMPARE(QCoreApplication::applicationName(), u"morvane-check"_s);
}

QTEST_MAIN(TestListLocation)
#include "tst_listlocation.moc"
