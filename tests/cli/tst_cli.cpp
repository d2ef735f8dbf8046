#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

#include "testfiles.h"

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

Run run(const QStringList &args, const QByteArray &input = {},
        const QString &program = QStringLiteral(MORVANE_CHECK_EXE), const QString &cwd = {})
{
    QProcess process;
    if (!cwd.isEmpty())
        process.setWorkingDirectory(cwd);
    process.start(program, args);
    if (!process.waitForStarted(10000))
        return {};
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000)) {
        process.kill();
        return {};
    }
    auto text = [](QByteArray bytes) {
#ifdef Q_OS_WIN
        // The C runtime's text mode wrote each LF as CR LF.
        bytes.replace("\r\n", "\n");
#endif
        return QString::fromUtf8(bytes);
    };
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            text(process.readAllStandardOutput()), text(process.readAllStandardError())};
}

const QString kNone = u" 没有发现未来函数。\n"_s;
const QString kNone59 = u" 没有发现未来函数吖！\n"_s;

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void reports_data();
    void reports();
    void positions();
    void json();
    void standardInput();
    void explicitList();
    void listBesideProgram();
    void listLookupOrder_data();
    void listLookupOrder();
    void encodings();
    void unreadableInputAmongGoodOnes();
    void precise_data();
    void precise();
    void preciseJson();
    void replay_data();
    void replay();
    void replayFaults_data();
    void replayFaults();
    void replayJsonChecked();
    void replayFolder();
    void replayNothingSilent_data();
    void replayNothingSilent();
    void options_data();
    void options();
    void helpIsChinese_data();
    void helpIsChinese();
    void faults_data();
    void faults();
    void fullDevice();
    void jsonLayout();
    void cleanupTestCase();

private:
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }
};

void TestCli::initTestCase()
{
    // The sample formulas, copied so that the runs can name them relative to one folder.
    const QDir data(QStringLiteral(MORVANE_TEST_DATA "/cli"));
    for (const QString &name : {u"hits.txt"_s, u"clean.txt"_s, u"empty.txt"_s})
        QVERIFY(QFile::copy(data.filePath(name), path(name)));
    // The user's list.txt (the window's, after a system install) is looked for here, never
    // in the home of whoever runs the tests.
    qputenv("XDG_DATA_HOME", QFile::encodeName(path(u"data"_s)));
}

void TestCli::reports_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");

    QTest::newRow("hits") << QStringList{u"hits.txt"_s} << 1
                          << u" 发现未来函数 ZIG\n 发现未来函数 PEAK\n 发现未来函数 PEAKBARS\n"_s;
    QTest::newRow("clean") << QStringList{u"clean.txt"_s} << 0 << kNone;
    QTest::newRow("empty") << QStringList{u"empty.txt"_s} << 0 << kNone;
    QTest::newRow("several")
        << QStringList{u"clean.txt"_s, u"hits.txt"_s} << 1
        << u"clean.txt:  没有发现未来函数。\nhits.txt:  发现未来函数 ZIG\n"
           "hits.txt:  发现未来函数 PEAK\nhits.txt:  发现未来函数 PEAKBARS\n"_s;
}

void TestCli::reports()
{
    QFETCH(QStringList, files);
    QFETCH(int, status);
    QFETCH(QString, out);
    const Run r = run(files, {}, QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QCOMPARE(r.status, status);
    QString actual = r.out;
    actual.replace(kNone59, kNone).replace(u"没有发现未来函数吖！"_s, u"没有发现未来函数。"_s);
    QCOMPARE(actual, out);
    QCOMPARE(r.err, QString());
}

void TestCli::positions()
{
    writeBytes(path(u"multi.txt"_s), "x:=zig(c,1)+ZIG(c,2);\ny:=FLATZIGA;\r#month");
    const Run r = run({u"--positions"_s, u"multi.txt"_s, u"clean.txt"_s}, {},
                      QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QCOMPARE(r.status, 1);
    QCOMPARE(r.out, u"multi.txt:1:4: 发现未来函数 ZIG\n"
                    "multi.txt:1:13: 发现未来函数 ZIG\n"
                    "multi.txt:2:4: 发现未来函数 FLATZIG\n"
                    "multi.txt:2:4: 发现未来函数 FLATZIGA\n"
                    "multi.txt:2:8: 发现未来函数 ZIG\n"
                    "multi.txt:2:8: 发现未来函数 ZIGA\n"
                    "multi.txt:3:1: 发现未来函数 #MONTH\n"_s);
}

void TestCli::json()
{
    const Run r = run({u"--json"_s, u"hits.txt"_s, u"clean.txt"_s}, {},
                      QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QCOMPARE(r.status, 1);
    QJsonParseError error;
    const QJsonArray results = QJsonDocument::fromJson(r.out.toUtf8(), &error).array();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(results.size(), 2);
    const QJsonObject hits = results[0].toObject();
    QCOMPARE(hits[u"file"_s].toString(), u"hits.txt"_s);
    QVERIFY(hits[u"report"_s].toString().startsWith(u" 发现未来函数 ZIG\n"_s));
    const QJsonArray found = hits[u"found"_s].toArray();
    QCOMPARE(found.size(), 3);
    QCOMPARE(found[1].toObject()[u"name"_s].toString(), u"PEAK"_s);
    const QJsonObject at = found[1].toObject()[u"occurrences"_s].toArray()[0].toObject();
    QCOMPARE(at[u"line"_s].toInt(), 2);
    QCOMPARE(at[u"column"_s].toInt(), 4);
    QCOMPARE(results[1].toObject()[u"found"_s].toArray().size(), 0);
}

void TestCli::standardInput()
{
    Run r = run({}, "a:=backset(c,2);");
    QCOMPARE(r.status, 1);
    QCOMPARE(r.out, u" 发现未来函数 BACKSET\n"_s);
    r = run({u"--positions"_s, u"-"_s}, "\nzig");
    QCOMPARE(r.out, u"-:2:1: 发现未来函数 ZIG\n"_s);
}

void TestCli::explicitList()
{
    writeBytes(path(u"mylist.txt"_s), "ma\r\n");
    Run r = run({u"--list"_s, path(u"mylist.txt"_s), path(u"clean.txt"_s)});
    QCOMPARE(r.status, 1);
    QCOMPARE(r.out, u" 发现未来函数 ma\n"_s);

    r = run({u"--list"_s, path(u"nothere.txt"_s), path(u"hits.txt"_s)});
    QCOMPARE(r.status, 2);
    QCOMPARE(r.out, QString());
    QVERIFY(r.err.contains(u"nothere.txt"_s));
}

void TestCli::listBesideProgram()
{
    QTemporaryDir bin;
    const QString program = bin.filePath(QFileInfo(QStringLiteral(MORVANE_CHECK_EXE)).fileName());
    QVERIFY(QFile::copy(QStringLiteral(MORVANE_CHECK_EXE), program));
    // Without list.txt: the built-in names, and no list.txt is written.
    Run r = run({path(u"hits.txt"_s)}, {}, program);
    QCOMPARE(r.status, 1);
    QVERIFY(!QFile::exists(bin.filePath(u"list.txt"_s)));

    writeBytes(bin.filePath(u"list.txt"_s), "XMA\n");
    r = run({path(u"hits.txt"_s)}, {}, program);
    QCOMPARE(r.status, 0);
    writeBytes(path(u"xma.txt"_s), "XMA(C,5)");
    r = run({path(u"xma.txt"_s)}, {}, program);
    QCOMPARE(r.out, u" 发现未来函数 XMA\n"_s);
}

void TestCli::listLookupOrder_data()
{
    QTest::addColumn<QByteArray>("explicitList");
    QTest::addColumn<QByteArray>("beside");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QStringList>("found");
    QTest::newRow("built-in names") << QByteArray() << QByteArray() << QByteArray()
                                    << QStringList{u"ZIG"_s, u"PEAK"_s, u"COST"_s, u"XMA"_s};
    QTest::newRow("the user's") << QByteArray() << QByteArray() << "XMA\r\n"_ba
                                << QStringList{u"XMA"_s};
    QTest::newRow("beside the program first") << QByteArray() << "PEAK\r\n"_ba
                                              << "XMA\r\n"_ba << QStringList{u"PEAK"_s};
    QTest::newRow("--list first") << "COST\r\n"_ba
                                  << "PEAK\r\n"_ba
                                  << "XMA\r\n"_ba << QStringList{u"COST"_s};
}

void TestCli::listLookupOrder()
{
    QFETCH(QByteArray, explicitList);
    QFETCH(QByteArray, beside);
    QFETCH(QByteArray, user);
    QFETCH(QStringList, found);
#ifdef Q_OS_WIN
    // Windows names the user's folder from the shell, not from the environment: the test
    // would read and write the real user's list.
    if (!user.isEmpty() && beside.isEmpty() && explicitList.isEmpty())
        QSKIP("the user's list cannot be moved aside on Windows");
#endif
    QTemporaryDir bin;
    const QString program = bin.filePath(QFileInfo(QStringLiteral(MORVANE_CHECK_EXE)).fileName());
    QVERIFY(QFile::copy(QStringLiteral(MORVANE_CHECK_EXE), program));
    const QString userList = path(u"data/morvane/list.txt"_s);
    const auto removeUserList = qScopeGuard([&] { QFile::remove(userList); }); // other tests
    QVERIFY(QDir().mkpath(QFileInfo(userList).absolutePath()));
    if (!beside.isEmpty())
        writeBytes(bin.filePath(u"list.txt"_s), beside);
    if (!user.isEmpty())
        writeBytes(userList, user);
    QStringList args;
    if (!explicitList.isEmpty()) {
        writeBytes(bin.filePath(u"explicit.txt"_s), explicitList);
        args << u"--list"_s << bin.filePath(u"explicit.txt"_s);
    }
    const Run r = run(args, "ZIG(C,5)+XMA(C,5)+PEAK(1,2,3)+COST(90)", program);
    QString report;
    for (const QString &name : found)
        report += u" 发现未来函数 "_s + name + u'\n';
    QCOMPARE(r.out, report);
}

void TestCli::encodings()
{
    writeBytes(path(u"cn-list.txt"_s), "\xEF\xBB\xBF未来\r\n");
    writeBytes(path(u"gbk.txt"_s), "a:=\xce\xb4\xc0\xb4(1);");
    writeBytes(path(u"utf8.txt"_s), "a:=未来(1);");
    const Run r =
        run({u"--positions"_s, u"--list"_s, u"cn-list.txt"_s, u"gbk.txt"_s, u"utf8.txt"_s}, {},
            QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QCOMPARE(r.status, 1);
    QCOMPARE(r.out, u"gbk.txt:1:4: 发现未来函数 未来\nutf8.txt:1:4: 发现未来函数 未来\n"_s);
}

void TestCli::unreadableInputAmongGoodOnes()
{
    QVERIFY(QDir(m_dir.path()).mkpath(u"folder.txt"_s));
    const Run r = run({u"clean.txt"_s, u"missing.txt"_s, u"folder.txt"_s, u"hits.txt"_s}, {},
                      QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QCOMPARE(r.status, 2);
    QVERIFY(r.out.startsWith(u"clean.txt: "_s));
    QVERIFY(r.out.contains(u"hits.txt:  发现未来函数 ZIG\n"_s));
    QVERIFY(r.err.contains(u"missing.txt"_s));
    QVERIFY(r.err.contains(u"folder.txt"_s));
}

void TestCli::options_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("outContains");
    QTest::newRow("help") << QStringList{u"--help"_s} << 0 << u"--positions"_s;
    QTest::newRow("help in Chinese")
        << QStringList{u"--help"_s} << 0 << u"报告指标公式用到的未来函数"_s;
    QTest::newRow("version") << QStringList{u"--version"_s} << 0 << u"1.1"_s;
    QTest::newRow("unknown option") << QStringList{u"--bogus"_s} << 2 << QString();
    QTest::newRow("two modes") << QStringList{u"--json"_s, u"--positions"_s} << 2 << QString();
    QTest::newRow("precise and replay")
        << QStringList{u"--precise"_s, u"--replay"_s} << 2 << QString();
    QTest::newRow("bars without replay") << QStringList{u"--bars"_s, u"x.csv"_s} << 2 << QString();
    QTest::newRow("param not a number")
        << QStringList{u"--replay"_s, u"--param"_s, u"N=five"_s} << 2 << QString();
}

void TestCli::helpIsChinese_data()
{
    QTest::addColumn<QString>("absent");
    // Placeholders and Qt's own lines, which its Chinese translation leaves in English.
    QTest::newRow("no ASCII placeholder words") << u"FILE|DIR|NAME|VALUE|options|\\[FILE"_s;
    QTest::newRow("no English stock lines") << u"Displays|Usage|Options:|Arguments:|help-all"_s;
    // Words Qt's wrapping broke at the line's end, spaces of the indent between the halves.
    QTest::newRow("no word broken") << u"偏移\\s+量|判\\s+断|稳\\s+定|--re\\s+play|日\\s+期"_s;
}

void TestCli::helpIsChinese()
{
    QFETCH(QString, absent);
    const Run r = run({u"--help"_s});
    QCOMPARE(r.status, 0);
    const QRegularExpression word(u"\\b(?:"_s + absent + u')');
    const QRegularExpressionMatch m = word.match(r.out);
    QVERIFY2(!m.hasMatch(), qPrintable(m.captured()));
    QVERIFY(r.out.contains(u"--bars <文件|文件夹>"_s));
    for (const QString &line : r.out.split(u'\n')) {
        int columns = 0;
        for (QChar c : line)
            columns +=
                c.unicode() >= 0x2E80 || (c.unicode() >= 0x2018 && c.unicode() <= 0x201D) ? 2 : 1;
        QVERIFY2(columns <= 80, qPrintable(line)); // a console's width
    }
}

void TestCli::precise_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("formula");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    const QByteArray traps = "{ZIG(C,5)}\r\nA:=PEAKBARS(3,5,1);\r\nB:REF(C,-1)>C;\r\n"
                             "W:\"KDJ.K#WEEK\";DRAWTEXT(B,L,'ZIG');\r\nT:islastbar;";
    QTest::newRow("names, class, reason")
        << QStringList{u"--precise"_s} << traps << 1
        << u" 发现未来函数 PEAKBARS  未来  "
           u"取之字转向的波峰到当前的周期数，继承了ZIG要看后面行情的毛病。  不影响任何输出\n"
           " 发现未来函数 REF  未来  偏移为负数时引用的是当前周期之后的数据。（偏移 = -1）"
           "  影响输出：B（信号）、第 4 行 DRAWTEXT（信号）\n"
           " 发现未来函数 #WEEK  漂移  "
           "跨周期引用读到的是尚未走完的大周期，信号会随之后的价格出现又消失。  影响输出：W\n"
           " 发现未来函数 ISLASTBAR  末根提示  "
           "只在最后一根K线上为真，新K线到来后历史上的值随之改变。  影响输出：T\n"
           " 未检查 KDJ.K  引用了另一个公式，它的代码不在这里，无法判断它是否读到后面的K线。\n"_s;
    QTest::newRow("positions")
        << QStringList{u"--precise"_s, u"--positions"_s} << traps << 1
        << u"-:2:4: 发现未来函数 PEAKBARS\n-:3:3: 发现未来函数 REF\n-:4:4: 未检查 KDJ.K\n"
           "-:4:9: 发现未来函数 #WEEK\n-:5:3: 发现未来函数 ISLASTBAR\n"_s;
    QTest::newRow("clean") << QStringList{u"--precise"_s} << QByteArray("{ZIG} MA(C,5);") << 0
                           << kNone;
    // Offsets followed through variables; what cannot be checked is named after the verdict.
    QTest::newRow("disguised offset, plug-in")
        << QStringList{u"--precise"_s}
        << QByteArray("N:=5;\nA:REF(C,-N);\nB:REF(C,IF(C>O,1,-1));\nX:TDXDLL1(1,C,O,H);") << 1
        << u" 发现未来函数 REF  未来  偏移为负数时引用的是当前周期之后的数据。（偏移 = -5）"
           "  影响输出：A\n"
           " 偏移可能为负 REF  偏移量的正负看不出来：是负数时读的就是后面的K线。"
           "（偏移在 -1 到 1 之间）\n"
           " 未检查 TDXDLL1  外挂DLL在公式之外计算，可能读到后面的K线，这里看不到它的内部。\n"_s;
    QTest::newRow("negated negative")
        << QStringList{u"--precise"_s} << QByteArray("N:=-1; A:REF(C,-N);") << 0 << kNone;
    // Never the green line where something was not checked: status 3 and the reason.
    QTest::newRow("style word after the call")
        << QStringList{u"--precise"_s}
        << QByteArray("N:=-1; \xe6\x98\x8e\xe6\x97\xa5:REF(C,N)COLORRED,LINETHICK2;") << 1
        << u" 发现未来函数 REF  未来  偏移为负数时引用的是当前周期之后的数据。（偏移 = -1）"
           "  影响输出：明日\n"_s;
    QTest::newRow("missing parenthesis")
        << QStringList{u"--precise"_s} << QByteArray("A:MA(C,5;\nB:C;") << 3
        << u" 无法完全判断：第 1 行读不懂，这一句没有检查完。\n"
           " 语法问题 第 1 行第 9 列：缺少右括号 )，这里是 ;\n"_s;
    QTest::newRow("plug-in alone")
        << QStringList{u"--precise"_s} << QByteArray("X:TDXDLL1(1,C,O,H);") << 3
        << u" 无法完全判断：公式调用外挂 DLL（TDXDLL1）。\n"
           " 未检查 TDXDLL1  外挂DLL在公式之外计算，可能读到后面的K线，这里看不到它的内部。\n"_s;
    QTest::newRow("offset of either sign, positions")
        << QStringList{u"--precise"_s, u"--positions"_s}
        << QByteArray("A:REF(C,IF(BARSCOUNT(C)>10,-1,1));") << 3 << u"-:1:3: 偏移可能为负 REF\n"_s;
    QTest::newRow("offset truncated to today")
        << QStringList{u"--precise"_s} << QByteArray("A:REF(C,INTPART(-0.5));") << 0 << kNone;
    // The plain check's answer for the same text stays what it was.
    QTest::newRow("plain beside") << QStringList{} << QByteArray("{ZIG} MA(C,5);") << 1
                                  << u" 发现未来函数 ZIG\n"_s;
}

void TestCli::precise()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, formula);
    QFETCH(int, status);
    QFETCH(QString, out);
    const Run r = run(args, formula);
    QCOMPARE(r.out, out);
    QCOMPARE(r.status, status);
}

void TestCli::preciseJson()
{
    const Run r = run({u"--precise"_s, u"--json"_s}, "{PEAK} X:PEAKBARS(1,2,3); Y:refx(c,2);");
    QCOMPARE(r.status, 1);
    const QJsonObject input = QJsonDocument::fromJson(r.out.toUtf8()).array().first().toObject();
    QCOMPARE(input[u"file"_s].toString(), u"-"_s);
    QCOMPARE(input[u"verdict"_s].toString(), u"found"_s);

    // The three verdicts, the doubt's why and the offset's range, unbounded ends as null
    const Run unsure =
        run({u"--precise"_s, u"--json"_s}, "N:=(-5,5,1);A:REF(C,N);B:REF(C,-BARSLAST(C>O));");
    QCOMPARE(unsure.status, 1);
    const QJsonObject u = QJsonDocument::fromJson(unsure.out.toUtf8()).array()[0].toObject();
    const QJsonObject bounded =
        u[u"doubts"_s].toArray()[0][u"occurrences"_s].toArray()[0][u"offset"_s].toObject();
    QCOMPARE(u[u"doubts"_s].toArray()[0][u"why"_s].toString(), u"offset"_s);
    QCOMPARE(bounded[u"low"_s].toDouble(), -5.0);
    QCOMPARE(bounded[u"high"_s].toDouble(), 5.0);
    const QJsonObject unbounded =
        u[u"found"_s].toArray()[0][u"occurrences"_s].toArray()[0][u"offset"_s].toObject();
    QVERIFY(unbounded[u"low"_s].isNull());
    QCOMPARE(unbounded[u"high"_s].toDouble(), 0.0);
    const Run incomplete = run({u"--precise"_s, u"--json"_s}, "X:TDXDLL1(1,C,O,H);");
    QCOMPARE(incomplete.status, 3);
    QCOMPARE(QJsonDocument::fromJson(incomplete.out.toUtf8()).array()[0][u"verdict"_s].toString(),
             u"incomplete"_s);
    const QJsonArray found = input[u"found"_s].toArray();
    QCOMPARE(found.size(), 2);
    QCOMPARE(found[1][u"name"_s].toString(), u"REFX"_s);
    QCOMPARE(found[1][u"class"_s].toString(), u"future"_s);
    QVERIFY(!found[1][u"reason"_s].toString().isEmpty());
    QCOMPARE(found[1][u"occurrences"_s][0][u"column"_s].toInt(), 29);
    QStringList why;
    for (const QJsonValue &i : input[u"ignored"_s].toArray())
        why << i[u"name"_s].toString() + u'/' + i[u"why"_s].toString();
    QCOMPARE(why, QStringList({u"PEAK/comment"_s, u"PEAK/identifier"_s}));
    QVERIFY(input[u"notes"_s].isArray());
}

void TestCli::replay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("formula");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("outContains");
    QTest::newRow("stable") << QStringList{u"--replay"_s} << QByteArray("MA5:MA(C,5);") << 0
                            << u"MA5：稳定"_s;
    QTest::newRow("zig") << QStringList{u"--replay"_s} << QByteArray("Z:ZIG(3,5);") << 1
                         << u"Z：改写历史"_s;
    // N stands for a parameter: assumed 5 it reads three bars ahead, given as 8 none.
    QTest::newRow("parameter assumed")
        << QStringList{u"--replay"_s} << QByteArray("M:REF(C,N-8);") << 1 << u"N=5"_s;
    QTest::newRow("parameter given") << QStringList{u"--replay"_s, u"--param"_s, u"n=8"_s}
                                     << QByteArray("M:REF(C,N-8);") << 0 << u"M：稳定"_s;
    QTest::newRow("undeclared periods differ")
        << QStringList{u"--replay"_s}
        << QByteArray("MA1:MA(CLOSE,M1);MA2:MA(CLOSE,M2);XG:CROSS(MA1,MA2);") << 0
        << u"XG：稳定（20 个证券，每个至多 999 个截断点）\n  20 个证券合计 信号体检（之后 5 根）："
           "事后 1012 次，胜率 50.2%，平均收益 +0.20%（12 次之后不足 5 根K线，不计结果）；"
           "当时 1012 次，胜率 50.2%，平均收益 +0.20%（12 次之后不足 5 根K线，不计结果）；"
           "消失 0 次；迟到 0 次\n参数假设：M1=5，M2=10"_s;
    QTest::newRow("bars missing") << QStringList{u"--replay"_s, u"--bars"_s, u"no-such.csv"_s}
                                  << QByteArray("M:C;") << 2 << QString();
    // What never changes tests nothing: never 稳定
    QTest::newRow("a signal that never fires")
        << QStringList{u"--replay"_s} << QByteArray("MA5:MA(C,5);XG:CROSS(C,1E9);") << 3
        << u"XG：无法检验（20 个证券上从未出现信号）"_s;
    QTest::newRow("a constant line") << QStringList{u"--replay"_s} << QByteArray("K:10;") << 3
                                     << u"K：无法检验（20 个证券上输出始终不变）"_s;
    QTest::newRow("never drawn") << QStringList{u"--replay"_s, u"--json"_s}
                                 << QByteArray("DRAWTEXT(C<0,L,'X');") << 3
                                 << u"\"why\": \"never signals on 20 securities\""_s;
    // A signal read from a zig-zag: fired live and vanished, or shown only later.
    QTest::newRow("scorecard, horizon given") << QStringList{u"--replay"_s, u"--horizon"_s, u"10"_s}
                                              << QByteArray("XG:CROSS(C,ZIG(3,5));") << 1
                                              << u"  20 个证券合计 信号体检（之后 10 根）：事后 "_s;
    QTest::newRow("scorecard in JSON")
        << QStringList{u"--replay"_s, u"--json"_s} << QByteArray("XG:CROSS(C,ZIG(3,5));") << 1
        << u"\"scorecard\": {"_s;
    // How long the values took to stand, summed over the securities that tallied it.
    QTest::newRow("final delay")
        << QStringList{u"--replay"_s} << QByteArray("A:ZIG(3,10);") << 1
        << u"  20 个证券合计 定型于：一根K线的值，中位 20 根后不再变，90% 在 67 根内，最多 239 根；"
           "另有 212 个值新K线到来时仍可能变"_s;
    QTest::newRow("final delay untallied where cuts are sampled")
        << QStringList{u"--replay"_s} << QByteArray("A:ZIG(3,IF(C>O,5,6));") << 1
        << u"  定型于：20 个证券都不能每根K线截断或改写太多，未统计"_s;
}

void TestCli::replay()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, formula);
    QFETCH(int, status);
    QFETCH(QString, outContains);
    const Run r = run(args, formula);
    QVERIFY2(r.out.contains(outContains), qPrintable(r.out));
    QCOMPARE(r.status, status);
}

// Each row failed on the old code: an unbounded read, a refusal missing, a silent success.
void TestCli::replayFaults_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("outContains");
    QTest::addColumn<QString>("errContains");

    writeBytes(path(u"m.txt"_s), "M:MA(C,5);");
    writeBytes(path(u"bars.csv"_s), "2024-01-02,10,11,9,10.5\n2024-01-03,10.5,11,10,10.8\n"
                                    "2024-01-04,10.8,11.2,10.1,11\n");
    {
        QFile list(path(u"big-list.txt"_s));
        if (list.open(QIODevice::WriteOnly))
            list.write(QByteArray(5 << 20, 'A'));
    }
    const QStringList replay{u"--replay"_s};
#ifdef Q_OS_UNIX
    const QString big = u"256 MiB"_s;
    QTest::newRow("endless formula")
        << QStringList{u"--replay"_s, u"/dev/zero"_s} << QByteArray() << 2 << QString() << big;
    QTest::newRow("endless bars") << QStringList{u"--replay"_s, u"--bars"_s, u"/dev/zero"_s,
                                                 u"m.txt"_s}
                                  << QByteArray() << 2 << QString() << big;
#endif
    for (const char *value : {"nan", "inf", "-inf", "NaN"})
        QTest::newRow(qPrintable(u"param "_s + QLatin1StringView(value)))
            << QStringList{u"--replay"_s, u"--param"_s, u"N="_s + QLatin1StringView(value)}
            << QByteArray("A:PEAK(C,N,1);") << 2 << QString() << u"--param"_s;
    QTest::newRow("bars and formula both on standard input")
        << QStringList{u"--replay"_s, u"--bars"_s, u"-"_s} << QByteArray("2024-01-02,1,1,1,1\n")
        << 2 << QString() << u"标准输入"_s;
    QTest::newRow("bars named empty") << QStringList{u"--replay"_s, u"--bars"_s, QString()}
                                      << QByteArray("M:C;") << 2 << QString() << u"--bars"_s;
    QTest::newRow("list over its bound") << QStringList{u"--list"_s, u"big-list.txt"_s, u"m.txt"_s}
                                         << QByteArray() << 2 << QString() << u"4 MiB"_s;
    QTest::newRow("parameter the formula never uses")
        << QStringList{u"--replay"_s, u"--param"_s, u"X=3"_s, u"m.txt"_s} << QByteArray() << 0
        << u"M：稳定"_s << u"没有用到参数 X"_s;
#ifdef Q_OS_UNIX // Windows' names are UTF-16
    QTest::newRow("file name not UTF-8")
        << QStringList{u"--replay"_s, QString::fromLocal8Bit("bad\xff.txt")} << QByteArray() << 2
        << QString() << u"UTF-8"_s;
#endif
    // Nothing checked is no success.
    QTest::newRow("plug-in") << replay << QByteArray("W:TDXDLL1(1,C,0,0);") << 3 << u"W：无法检验"_s
                             << QString();
    QTest::newRow("unknown function")
        << replay << QByteArray("A:FOO(C,5);") << 3 << u"A：无法检验"_s << QString();
    QTest::newRow("unclosed call")
        << replay << QByteArray("A:MA(C,5") << 3 << u"语法问题"_s << QString();
    QTest::newRow("one checked, one not")
        << replay << QByteArray("A:MA(C,5);B:FOO(C);") << 3 << u"A：稳定"_s << QString();
    QTest::newRow("rewrites beats unchecked")
        << replay << QByteArray("A:ZIG(3,5);B:FOO(C);") << 1 << u"A：改写历史"_s << QString();
    // The words: the newest bar's own value, the simulated bars, the file.
    QTest::newRow("newest bar rewritten")
        << replay << QByteArray("A:REF(C,-1);") << 1 << u"当根即被改写"_s << QString();
    QTest::newRow("simulated bars named")
        << replay << QByteArray("A:ZIG(3,5);") << 1 << u"（模拟行情）"_s << QString();
    QTest::newRow("bars file named")
        << QStringList{u"--replay"_s, u"--bars"_s, u"bars.csv"_s} << QByteArray("A:REF(C,-1);") << 1
        << u"（bars.csv）"_s << QString();
    // A thousand weekly steps nest past the evaluator's bound: said in words, not as its code.
    QByteArray deep = "V0:=C;";
    for (int i = 1; i < 1000; ++i)
        deep += "V" + QByteArray::number(i) + ":=V" + QByteArray::number(i - 1) + "#WEEK+1;";
    QTest::newRow("nested past the bound")
        << QStringList{u"--replay"_s, u"--bars"_s, u"bars.csv"_s} << deep + "X:V999;Y:C;" << 3
        << u"X：无法检验（公式嵌套过深）"_s << QString();
}

void TestCli::replayFaults()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QString, outContains);
    QFETCH(QString, errContains);
    const Run r = run(args, input, QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QVERIFY2(r.out.contains(outContains), qPrintable(r.out));
    QVERIFY2(r.err.contains(errContains), qPrintable(r.err));
    QVERIFY2(!r.out.contains(u"最远回溯 0 根"_s), qPrintable(r.out));
    QVERIFY2(!r.out.contains(u'#'), qPrintable(r.out)); // no code such as #DEPTH
    QCOMPARE(r.status, status);
}

// Every output says whether it was checked, and why not.
void TestCli::replayJsonChecked()
{
    const Run r = run({u"--replay"_s, u"--json"_s}, "A:MA(C,5);W:TDXDLL1(1,C,0,0);");
    QCOMPARE(r.status, 3);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).array().at(0).toObject();
    QCOMPARE(o[u"checked"_s].toBool(true), false);
    const QJsonArray outputs = o[u"outputs"_s].toArray();
    QCOMPARE(outputs.size(), 2);
    QCOMPARE(outputs[0].toObject()[u"checked"_s].toBool(), true);
    QVERIFY(!outputs[0].toObject().contains(u"why"_s));
    QCOMPARE(outputs[1].toObject()[u"checked"_s].toBool(true), false);
    QVERIFY(outputs[1].toObject()[u"why"_s].toString().contains(u"TDXDLL1"_s));
}

// A folder: every security, the aggregate per output with its worst example, a refused file
// named with its record and counted.
void TestCli::replayFolder()
{
    QDir(m_dir.path()).mkpath(u"vipdoc/sz/lday"_s);
    auto day = [](int bars, quint32 seed) {
        QByteArray bytes;
        QDate d(2020, 1, 2);
        double price = 1000 + seed % 100;
        for (int i = 0; i < bars; ++i, d = d.addDays(d.dayOfWeek() == 5 ? 3 : 1)) {
            seed = seed * 1103515245u + 12345u;
            price = std::max(100.0, price + double(int(seed >> 16) % 41 - 20));
            const auto p = quint32(price);
            const quint32 record[8] = {quint32(d.year() * 10000 + d.month() * 100 + d.day()),
                                       p,
                                       p + 15,
                                       p - 15,
                                       p + 5,
                                       0,
                                       1000,
                                       0};
            bytes.append(reinterpret_cast<const char *>(record), sizeof record);
        }
        return bytes;
    };
    const QString folder = path(u"vipdoc"_s);
    for (int k = 0; k < 5; ++k)
        writeBytes(path(u"vipdoc/sz/lday/sz00000%1.day"_s.arg(k)), day(300, quint32(k + 1)));
    writeBytes(path(u"vipdoc/sz/lday/sz000009.day"_s), day(10, 9).left(100)); // cut short

    const Run ma = run({u"--replay"_s, u"--bars"_s, folder}, "M:MA(C,5);");
    QCOMPARE(ma.status, 3); // a file could not be read: not everything was checked
    QVERIFY2(ma.err.contains(u"sz000009.day：第 4 条记录"_s), qPrintable(ma.err));
    const Run zig = run({u"--replay"_s, u"--bars"_s, folder}, "Z:ZIG(3,5);M:MA(C,5);");
    QCOMPARE(zig.status, 1);
    QVERIFY2(zig.out.contains(u"5 个证券，另有 1 个文件无法读取"_s), qPrintable(zig.out));
    QVERIFY2(zig.out.contains(u"Z：改写历史——在 5/5 个证券上；最严重 "_s), qPrintable(zig.out));
    QVERIFY2(zig.out.contains(u"M：稳定"_s), qPrintable(zig.out));
    QVERIFY2(zig.err.contains(u"sz000009.day"_s), qPrintable(zig.err));

    QVERIFY(QFile::remove(path(u"vipdoc/sz/lday/sz000009.day"_s)));
    const Run json = run({u"--replay"_s, u"--json"_s, u"--bars"_s, folder}, "Z:ZIG(3,5);");
    QCOMPARE(json.status, 1);
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).array().at(0).toObject();
    QCOMPARE(o[u"securities"_s].toInt(), 5);
    const QJsonObject z = o[u"outputs"_s].toArray().at(0).toObject();
    QCOMPARE(z[u"securitiesRewritten"_s].toInt(), 5);
    QVERIFY(z[u"worst"_s].toObject()[u"source"_s].toString().endsWith(u".day"_s));
    QCOMPARE(run({u"--replay"_s, u"--bars"_s, folder}, "M:MA(C,5);").status, 0);
}

namespace {

QByteArray dayRecord(const QDate &d, quint32 price)
{
    const quint32 record[8] = {quint32(d.year() * 10000 + d.month() * 100 + d.day()),
                               price,
                               price + 15,
                               price - 15,
                               price + 5,
                               0,
                               1000,
                               0};
    return QByteArray(reinterpret_cast<const char *>(record), sizeof record);
}

#ifdef Q_OS_UNIX
QByteArray gbkBytes(const QString &text)
{
    QStringEncoder encoder("GB18030");
    return encoder.isValid() ? encoder.encode(text) : text.toLocal8Bit();
}
#endif

} // namespace

// Nothing left out without a word, and nothing unchecked reported as stable with status 0:
// each row was a silent success before.
void TestCli::replayNothingSilent_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("formula");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("outContains");
    QTest::addColumn<QString>("errContains");
    const QByteArray good = "2024-01-02,10,11,9,10.5\n2024-01-03,10.5,11,10,10.8\n"
                            "2024-01-04,10.8,11.2,10.1,11\n";
    const QByteArray outOfOrder = "2024-01-03,10,11,9,10.5\n2024-01-02,10,11,9,10.5\n";
    writeBytes(path(u"one.day"_s), dayRecord(QDate(2024, 1, 2), 1000));
    writeBytes(path(u"one.csv"_s), "2024-01-02,10,11,9,10.5\n");
    QDir(m_dir.path()).mkpath(u"ones"_s);
    writeBytes(path(u"ones/a.day"_s), dayRecord(QDate(2024, 1, 2), 1000));
    writeBytes(path(u"ones/b.csv"_s), "2024-01-02,10,11,9,10.5\n");
    QDir(m_dir.path()).mkpath(u"pair"_s);
    writeBytes(path(u"pair/good.csv"_s), good);
    writeBytes(path(u"pair/bad.csv"_s), outOfOrder);
    QDir(m_dir.path()).mkpath(u"lone"_s);
    writeBytes(path(u"lone/only.csv"_s), outOfOrder);
    writeBytes(path(u"syntax.txt"_s), "A:C;B:MA(C,;");
    const QByteArray ref = "Z:REF(C,-1);";

    QTest::newRow("one-record .day")
        << QStringList{u"--replay"_s, u"--bars"_s, u"one.day"_s, u"-"_s} << QByteArray("A:MA(C,5);")
        << 3 << u"A：无法检验（只有 1 根K线，无法回放）"_s << QString();
    QTest::newRow("one-row csv") << QStringList{u"--replay"_s, u"--bars"_s, u"one.csv"_s, u"-"_s}
                                 << ref << 3 << u"只有 1 根K线，无法回放"_s << QString();
    QTest::newRow("folder of one-bar files")
        << QStringList{u"--replay"_s, u"--bars"_s, u"ones"_s, u"-"_s} << ref << 3
        << u"Z：无法检验（2 个证券只有 1 根K线，无法回放）"_s << QString();
    QTest::newRow("a csv that does not parse beside a good one")
        << QStringList{u"--replay"_s, u"--bars"_s, u"pair"_s, u"-"_s} << QByteArray("A:MA(C,2);")
        << 3 << u"1 个证券，另有 1 个文件无法读取"_s << u"bad.csv：第 2 行"_s;
    QTest::newRow("a folder of only a csv that does not parse")
        << QStringList{u"--replay"_s, u"--bars"_s, u"lone"_s, u"-"_s} << QByteArray("A:MA(C,2);")
        << 2 << QString() << u"only.csv：第 2 行"_s;
    // 定型于: a causal output stood on its own bar; a zig-zag's newest values may still move.
    QTest::newRow("--eval --final-at")
        << QStringList{u"--eval"_s, u"--final-at"_s, u"--bars"_s, u"pair/good.csv"_s, u"-"_s}
        << QByteArray("M:MA(C,2);Z:ZIG(3,5);") << 0 << u"date,M,M@final,Z,Z@final"_s << QString();
    QTest::newRow("--eval --final-at where not every bar can be a cut")
        << QStringList{u"--eval"_s, u"--final-at"_s, u"--bars"_s, u"pair/good.csv"_s, u"-"_s}
        << QByteArray("Z:ZIG(3,IF(C>O,5,6));") << 1 << u"date,Z\n"_s
        << u"定型于：公式中 ZIG 的偏移（或周期、百分比）逐根变化"_s;
    QTest::newRow("--eval with a statement that does not parse")
        << QStringList{u"--eval"_s, u"--bars"_s, u"pair/good.csv"_s, u"syntax.txt"_s}
        << QByteArray() << 1 << u"date,A"_s << u"语法问题 1 处"_s;
#ifdef Q_OS_UNIX
    // As unpacked from an archive made on a Chinese Windows: the name is GBK bytes.
    QDir(m_dir.path()).mkpath(u"gbk"_s);
    writeBytes(path(u"gbk/flat.csv"_s), good);
    {
        QByteArray bars;
        QDate d(2024, 1, 2);
        for (int i = 0; i < 30; ++i, d = d.addDays(1))
            bars += dayRecord(d, quint32(1000 + (i * 37) % 90));
        const QByteArray name = QFile::encodeName(path(u"gbk/"_s)) + gbkBytes(u"浦发银行.day"_s);
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, bars.constData(), std::size_t(bars.size())), bars.size());
        ::close(fd);
    }
    QTest::newRow("a file named in GBK bytes")
        << QStringList{u"--replay"_s, u"--bars"_s, u"gbk"_s, u"-"_s} << ref << 1
        << u"Z：改写历史——在 2/2 个证券上"_s << QString();
    QTest::newRow("the GBK name shown readably")
        << QStringList{u"--replay"_s, u"--json"_s, u"--bars"_s, u"gbk"_s, u"-"_s} << ref << 1
        << u"gbk/浦发银行.day"_s << QString();
    QDir(m_dir.path()).mkpath(u"piped"_s);
    writeBytes(path(u"piped/good.csv"_s), good);
    QVERIFY(::mkfifo(QFile::encodeName(path(u"piped/x.csv"_s)).constData(), 0600) == 0);
    QTest::newRow("a pipe named like bars")
        << QStringList{u"--replay"_s, u"--json"_s, u"--bars"_s, u"piped"_s, u"-"_s}
        << QByteArray("A:MA(C,2);") << 3 << u"x.csv：不是普通文件"_s << u"x.csv：不是普通文件"_s;
#endif
}

void TestCli::replayNothingSilent()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, formula);
    QFETCH(int, status);
    QFETCH(QString, outContains);
    QFETCH(QString, errContains);
    const Run r = run(args, formula, QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QVERIFY2(r.out.contains(outContains), qPrintable(r.out));
    QVERIFY2(r.err.contains(errContains), qPrintable(r.err));
    QVERIFY2(!r.out.contains(u"0 个截断点"_s), qPrintable(r.out));
    QCOMPARE(r.status, status);
}

void TestCli::cleanupTestCase()
{
#ifdef Q_OS_UNIX
    // QTemporaryDir removes by decoded names, which a GBK name is not.
    ::unlink((QFile::encodeName(path(u"gbk/"_s)) + gbkBytes(u"浦发银行.day"_s)).constData());
#endif
}

void TestCli::options()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, outContains);
    const Run r = run(args);
    QCOMPARE(r.status, status);
    QVERIFY(r.out.contains(outContains));
    if (status == 2)
        QVERIFY(!r.err.isEmpty());
}

void TestCli::faults_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("errContains");

    writeBytes(path(u"stray.txt"_s), "A:=\xE9ZIG(C,5)");
    writeBytes(path(u"utf16.txt"_s), QByteArray("\xFF\xFEZ\0I\0G\0(\0", 10));
    writeBytes(path(u"a%1b%2.txt"_s), "PEAK");
    QFile giant(path(u"giant.txt"_s));
    if (giant.open(QIODevice::WriteOnly))
        giant.resize(qint64(600) << 20); // sparse: nothing is written

    const QString zig = u" 发现未来函数 ZIG\n"_s;
    QTest::newRow("stray byte before a name")
        << QStringList{u"stray.txt"_s} << QByteArray() << 1 << zig << u"已替换"_s;
    QTest::newRow("utf-16 with its mark")
        << QStringList{u"utf16.txt"_s} << QByteArray() << 1 << zig << QString();
    QTest::newRow("markers in a file name")
        << QStringList{u"--positions"_s, u"a%1b%2.txt"_s} << QByteArray() << 1
        << u"a%1b%2.txt:1:1: 发现未来函数 PEAK\n"_s << QString();
    QTest::newRow("sparse giant") << QStringList{u"giant.txt"_s} << QByteArray() << 2 << QString()
                                  << u"256 MiB"_s;
#ifdef Q_OS_UNIX
    QTest::newRow("endless device")
        << QStringList{u"/dev/zero"_s} << QByteArray() << 2 << QString() << u"256 MiB"_s;
#endif
    QTest::newRow("list named empty") << QStringList{u"--list"_s, QString(), u"hits.txt"_s}
                                      << QByteArray() << 2 << QString() << u"--list"_s;
    QTest::newRow("list and formula from standard input")
        << QStringList{u"--list"_s, u"/dev/stdin"_s} << QByteArray("ZIG\n") << 2 << QString()
        << u"标准输入"_s;
}

void TestCli::faults()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QString, out);
    QFETCH(QString, errContains);
    const Run r = run(args, input, QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QCOMPARE(r.status, status);
    QCOMPARE(r.out, out);
    QVERIFY2(r.err.contains(errContains), qPrintable(r.err));
}

void TestCli::fullDevice()
{
    if (!QFile::exists(u"/dev/full"_s))
        QSKIP("no /dev/full here");
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.setStandardOutputFile(u"/dev/full"_s);
    process.start(QStringLiteral(MORVANE_CHECK_EXE), {u"hits.txt"_s});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(process.readAllStandardError().contains("无法写出结果"));
}

// Written as it goes, laid out exactly as QJsonDocument lays it out.
void TestCli::jsonLayout()
{
#ifdef Q_OS_WIN
    const QString quoted = u"quote'd.txt"_s; // Windows allows no " in a name
#else
    const QString quoted = u"quote\"d.txt"_s;
#endif
    writeBytes(path(quoted), "zig\n\tpeakbars zig");
    const Run r = run({u"--json"_s, quoted, u"clean.txt"_s, u"empty.txt"_s}, {},
                      QStringLiteral(MORVANE_CHECK_EXE), m_dir.path());
    QCOMPARE(r.status, 1);
    const QByteArray out = r.out.toUtf8();
    QCOMPARE(out, QJsonDocument::fromJson(out).toJson(QJsonDocument::Indented));
    QCOMPARE(run({u"--json"_s, u"missing.txt"_s}).out, u"[\n]\n"_s);
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
