// A folder's listing: every candidate named, whatever stops it from being read (its content,
// a pipe, a link to nothing, a name in GBK bytes, a permission), none dropped unseen.
#include "barfiles.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

QByteArray dayRecord(quint32 date, quint32 open, quint32 high, quint32 low, quint32 close)
{
    QByteArray r(32, '\0');
    const float amount = 1.5e6f;
    quint32 amountBits = 0;
    std::memcpy(&amountBits, &amount, sizeof amountBits);
    const quint32 fields[] = {date, open, high, low, close, amountBits, 10000, 0};
    for (int i = 0; i < 8; ++i)
        qToLittleEndian(fields[i], r.data() + 4 * i);
    return r;
}

#ifdef Q_OS_UNIX
QByteArray gbk(const QString &text)
{
    QStringEncoder encoder("GB18030");
    return encoder.isValid() ? encoder.encode(text) : text.toLocal8Bit();
}
#endif

// Made by the name's own bytes: QFile would encode a QString with the locale.
bool make(const QByteArray &root, const QByteArray &kind, const QByteArray &name)
{
    const QByteArray path = root + '/' + name;
#ifdef Q_OS_UNIX
    for (qsizetype slash = root.size() + 1; (slash = path.indexOf('/', slash)) > 0; ++slash)
        ::mkdir(path.first(slash).constData(), 0755); // by bytes, as the names are
#else
    QDir().mkpath(QFile::decodeName(path.first(path.lastIndexOf('/'))));
#endif
    QByteArray bytes;
    if (kind == "day")
        bytes = dayRecord(20240102, 1000, 1100, 950, 1050) +
                dayRecord(20240103, 1050, 1120, 1000, 1100);
    else if (kind == "csv")
        bytes = "date,open,high,low,close\n2024-01-02,1,2,0.5,1.5\n2024-01-03,1.5,2,1,1.8\n";
    else if (kind == "badcsv")
        bytes = "2024-01-03,10,11,9,10.5\n2024-01-02,10,11,9,10.5\n";
    else if (kind == "notes" || kind == "md")
        bytes = "bought at 10.5, sell at 12\n";
    else if (kind == "dir")
        return QDir().mkpath(QFile::decodeName(path));
#ifdef Q_OS_UNIX
    if (kind == "fifo")
        return ::mkfifo(path.constData(), 0600) == 0;
    if (kind == "dangling")
        return ::symlink("nowhere", path.constData()) == 0;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), std::size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written;
#else
    QFile f(QFile::decodeName(path));
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
#endif
}

// QTemporaryDir removes by decoded names, which a GBK name is not: by bytes here.
void removeTree(const QByteArray &root)
{
#ifdef Q_OS_UNIX
    ::nftw(
        root.constData(),
        [](const char *path, const struct stat *, int, FTW *) {
            ::remove(path); // what stays is left to the system's cleaning
            return 0;
        },
        16, FTW_DEPTH | FTW_PHYS);
#else
    QDir(QFile::decodeName(root)).removeRecursively();
#endif
}

QString outcome(const BarsFileRead &r)
{
    switch (r.problem) {
    case BarsProblem::None:
        return r.bars.size() > 0 ? u"ok"_s : u"no bars"_s;
    case BarsProblem::Denied:
        return u"denied"_s;
    case BarsProblem::NotRegular:
        return u"not regular"_s;
    case BarsProblem::Unreadable:
        return u"unreadable"_s;
    default:
        return u"refused"_s; // by its content: the readers' own tests say how
    }
}

// "relative shown name=outcome" per entry, in the listing's order.
QStringList listed(const QString &root)
{
    QStringList out;
    for (const BarsEntry &e : barsEntriesIn(root)) {
        if (!e.shown.startsWith(root + u'/'))
            return {u"outside the folder: "_s + e.shown};
        out << e.shown.sliced(root.size() + 1) + u'=' + outcome(readBarsEntry(e, 1 << 20));
    }
    return out;
}

} // namespace

class TestBarsFolder : public QObject
{
    Q_OBJECT

private slots:
    void everyCandidateNamed_data();
    void everyCandidateNamed();
    void permission();
    void noFolder();
};

void TestBarsFolder::everyCandidateNamed_data()
{
    QTest::addColumn<QByteArrayList>("files"); // "kind:name", the name in its own bytes
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("a vipdoc tree, an export, notes and a stray file")
        << QByteArrayList{"day:vipdoc/sz/lday/sz000001.day", "day:vipdoc/sh/lday/sh600000.day",
                          "csv:mine.csv", "notes:export/notes.txt", "md:vipdoc/readme.md"}
        << QStringList{u"export/notes.txt=refused"_s, u"mine.csv=ok"_s,
                       u"vipdoc/sh/lday/sh600000.day=ok"_s, u"vipdoc/sz/lday/sz000001.day=ok"_s};
    QTest::newRow("a csv that does not parse beside a good one")
        << QByteArrayList{"csv:good.csv", "badcsv:bad.csv"}
        << QStringList{u"bad.csv=refused"_s, u"good.csv=ok"_s};
    QTest::newRow("only a csv that does not parse")
        << QByteArrayList{"badcsv:bad.csv"} << QStringList{u"bad.csv=refused"_s};
    QTest::newRow("extensions in capitals") << QByteArrayList{"csv:UP.CSV", "day:SH600000.DAY"}
                                            << QStringList{u"SH600000.DAY=ok"_s, u"UP.CSV=ok"_s};
    QTest::newRow("a folder named like a file")
        << QByteArrayList{"dir:fake.csv", "csv:fake.csv/in.csv"}
        << QStringList{u"fake.csv/in.csv=ok"_s};
    QTest::newRow("nothing but other files") << QByteArrayList{"md:readme.md"} << QStringList{};
#ifdef Q_OS_UNIX
    // As unpacked from an archive made on a Chinese Windows: the names are GBK bytes.
    QTest::newRow("names in GBK bytes")
        << QByteArrayList{"day:" + gbk(u"浦发银行.day"_s), "csv:flat.csv",
                          "csv:" + gbk(u"行情/平安.csv"_s)}
        << QStringList{u"flat.csv=ok"_s, u"浦发银行.day=ok"_s, u"行情/平安.csv=ok"_s};
    QTest::newRow("a name in neither UTF-8 nor GBK")
        << QByteArrayList{QByteArray("csv:a\xff\xfe.csv")} << QStringList{u"a\\xff\\xfe.csv=ok"_s};
    QTest::newRow("a pipe named like bars")
        << QByteArrayList{"fifo:x.csv", "csv:good.csv"}
        << QStringList{u"good.csv=ok"_s, u"x.csv=not regular"_s};
    QTest::newRow("a link to nothing")
        << QByteArrayList{"dangling:gone.day"} << QStringList{u"gone.day=unreadable"_s};
#endif
}

void TestBarsFolder::everyCandidateNamed()
{
    QFETCH(QByteArrayList, files);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray root = QFile::encodeName(dir.path());
    for (const QByteArray &spec : files) {
        const qsizetype colon = spec.indexOf(':');
        QVERIFY2(make(root, spec.first(colon), spec.sliced(colon + 1)), spec.constData());
    }
    const QStringList got = listed(dir.path());
    removeTree(root);
    QCOMPARE(got, expected);
}

// A file and a sub-folder the user may not read are named, not dropped. Root reads
// everything, so there is nothing to see as root (checked by hand with runuser).
void TestBarsFolder::permission()
{
#ifdef Q_OS_UNIX
    if (::geteuid() == 0)
        QSKIP("running as root: every file is readable; checked by hand as nobody");
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    QVERIFY(make(root, "csv", "good.csv"));
    QVERIFY(make(root, "csv", "locked.csv"));
    QVERIFY(make(root, "csv", "shut/in.csv"));
    QVERIFY(::chmod((root + "/locked.csv").constData(), 0) == 0);
    QVERIFY(::chmod((root + "/shut").constData(), 0) == 0);
    const QStringList got = listed(dir.path());
    const std::vector<BarsEntry> shut = barsEntriesIn(dir.filePath(u"shut"_s));
    ::chmod((root + "/shut").constData(), 0700); // so that the folder can be removed
    QCOMPARE(got, (QStringList{u"good.csv=ok"_s, u"locked.csv=denied"_s, u"shut=denied"_s}));
    // The folder itself: one entry that says so, not an empty listing.
    QCOMPARE(shut.size(), std::size_t(1));
    QCOMPARE(shut[0].problem, BarsProblem::Denied);
#else
    QSKIP("permission bits do not say what Windows lets read");
#endif
}

void TestBarsFolder::noFolder()
{
    QTemporaryDir dir;
    QVERIFY(barsEntriesIn(dir.filePath(u"nothing"_s)).empty());
}

QTEST_GUILESS_MAIN(TestBarsFolder)
#include "tst_barsfolder.moc"
