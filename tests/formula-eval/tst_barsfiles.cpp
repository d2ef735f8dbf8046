// The bars readers on made-up files: .day records, the text export, the CSV, the kind a
// file is taken for, the size bound (the folder listing: tst_barsfolder). Bad records included.
#include "barfiles.h"

#include <QDir>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <cmath>
#include <cstring>
#include <limits>

using namespace Qt::StringLiterals;
using namespace morvane::formula;

namespace {

QByteArray dayRecord(quint32 date, quint32 open, quint32 high, quint32 low, quint32 close,
                     float amount = 1.5e6f, quint32 volume = 10000)
{
    QByteArray r(32, '\0');
    quint32 amountBits = 0;
    std::memcpy(&amountBits, &amount, sizeof amountBits);
    const quint32 fields[] = {date, open, high, low, close, amountBits, volume, 0};
    for (int i = 0; i < 8; ++i)
        qToLittleEndian(fields[i], r.data() + 4 * i);
    return r;
}

QByteArray gbk(const QString &text)
{
    QStringEncoder encoder("GB18030");
    // Qt without ICU (Windows): the system's code page, 936 where these tests run.
    return encoder.isValid() ? encoder.encode(text) : text.toLocal8Bit();
}

// A text export as the software writes it: GBK, CR LF, a title, column names, rows, source.
QByteArray exportFile(const QString &rows, const QString &columns = QString())
{
    const QString head = u"600000 浦发银行 日线 不复权\r\n"_s +
                         (columns.isNull() ? u"      日期\t    开盘\t    最高\t    最低\t    收盘\t"
                                             u"    成交量\t    成交额\r\n"_s
                                           : columns);
    return gbk(head + rows + u"数据来源:通达信\r\n"_s);
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

} // namespace

class TestBarsFiles : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void exportNames();
    void kind_data();
    void kind();
    void priceDivisor_data();
    void priceDivisor();
    void sizeBound();
    void unreadable();
};

void TestBarsFiles::read_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("problem");
    QTest::addColumn<int>("record");
    QTest::addColumn<int>("field");
    QTest::addColumn<int>("bars");
    QTest::addColumn<double>("lastClose"); // when read
    QTest::addColumn<int>("skipped");
    const QByteArray d1 = dayRecord(20240102, 1000, 1100, 950, 1050);
    const QByteArray d2 = dayRecord(20240103, 1050, 1080, 1000, 1010);
    auto row = [](const char *tag, const QString &name, const QByteArray &bytes,
                  BarsProblem problem, int record, int field, int bars, double lastClose = 0,
                  int skipped = 0) {
        QTest::newRow(tag) << name << bytes << int(problem) << record << field << bars << lastClose
                           << skipped;
    };
    const QString day = u"sh600000.day"_s;
    // .day: 32-byte records, prices in cents (stocks) or tenths of a cent (funds).
    row("day", day, d1 + d2, BarsProblem::None, 0, 0, 2, 10.10);
    row("day fund", u"sh510300.day"_s, dayRecord(20240102, 4000, 4200, 3900, 4123),
        BarsProblem::None, 0, 0, 1, 4.123);
    row("day truncated", day, d1 + d2 + QByteArray(10, '\1'), BarsProblem::Truncated, 3, 0, 0);
    row("day zero close", day, d1 + dayRecord(20240103, 1050, 1080, 1000, 0),
        BarsProblem::BadPrices, 2, 5, 0);
    row("day close above high", day, dayRecord(20240102, 1000, 1100, 950, 1150),
        BarsProblem::BadPrices, 1, 5, 0);
    row("day low above high", day, dayRecord(20240102, 1000, 1100, 1200, 1050),
        BarsProblem::BadPrices, 1, 4, 0);
    row("day open below low", day, dayRecord(20240102, 900, 1100, 950, 1050),
        BarsProblem::BadPrices, 1, 2, 0);
    row("day dates out of order", day, d2 + d1, BarsProblem::DateOrder, 2, 1, 0);
    row("day date twice", day, d1 + d1, BarsProblem::DateOrder, 2, 1, 0);
    row("day no such date", day, d1 + dayRecord(20240230, 1000, 1100, 950, 1050),
        BarsProblem::BadDate, 2, 1, 0);
    row("day amount not a number", day,
        dayRecord(20240102, 1000, 1100, 950, 1050, std::numeric_limits<float>::quiet_NaN()),
        BarsProblem::BadNumber, 1, 6, 0);
    row("day negative amount", day, dayRecord(20240102, 1000, 1100, 950, 1050, -1.0f),
        BarsProblem::BadPrices, 1, 6, 0);
    row("day blank record skipped", day, d1 + QByteArray(32, '\0') + d2, BarsProblem::None, 0, 0, 2,
        10.10, 1);
    row("day empty", day, QByteArray(), BarsProblem::Empty, 0, 0, 0);
    row("day only blank records", day, QByteArray(64, '\0'), BarsProblem::Empty, 0, 0, 0, 0, 2);
    row("day by content on standard input", u"-"_s, d1 + d2, BarsProblem::None, 0, 0, 2, 10.10);

    // The text export.
    const QString r1 = u"2024/01/02\t10.00\t11.00\t9.50\t10.50\t1000\t10500.00\r\n"_s;
    const QString r2 = u"2024/01/03\t10.50\t10.80\t10.00\t10.10\t900\t9300.00\r\n"_s;
    const QString txt = u"600000.txt"_s;
    const QString csv0 = u"bars.csv"_s;
    row("export", txt, exportFile(r1 + r2), BarsProblem::None, 0, 0, 2, 10.10);
    row("export UTF-8, commas, dashes", txt,
        (u"600000 浦发银行 日线 前复权\n日期,开盘,最高,最低,收盘,成交量,成交额\n"
         u"2024-01-02,10,11,9.5,10.5,1000,10500\n数据来源:通达信\n"_s)
            .toUtf8(),
        BarsProblem::None, 0, 0, 1, 10.5);
    row("export spaces", txt,
        exportFile(u"2024/01/02  10.00  11.00  9.50  10.50  1000  10500.00\r\n"_s,
                   u"日期  开盘  最高  最低  收盘  成交量  成交额\r\n"_s),
        BarsProblem::None, 0, 0, 1, 10.5);
    row("export with a bare title", txt,
        gbk(u"000001 平安银行\r\n日期\t开盘\t最高\t最低\t收盘\r\n2024/01/02\t10\t11\t9.5\t10.5\r\n"_s),
        BarsProblem::None, 0, 0, 1, 10.5);
    row("export without volume", txt,
        exportFile(u"2024/01/02\t10.00\t11.00\t9.50\t10.50\r\n"_s,
                   u"日期\t开盘\t最高\t最低\t收盘\r\n"_s),
        BarsProblem::None, 0, 0, 1, 10.5);
    row("export minutes", txt,
        exportFile(u"2024/01/02\t0935\t10\t11\t9.5\t10.5\t1\t1\r\n"_s,
                   u"日期\t时间\t开盘\t最高\t最低\t收盘\t成交量\t成交额\r\n"_s),
        BarsProblem::NotDaily, 2, 2, 0);
    row("export without close", txt, exportFile(QString(), u"日期\t开盘\t最高\t最低\t成交量\r\n"_s),
        BarsProblem::UnknownLayout, 2, 0, 0);
    row("export bad number", txt,
        exportFile(r1 + u"2024/01/03\t10.50\t-\t10.00\t10.10\t900\t9300.00\r\n"_s),
        BarsProblem::BadNumber, 4, 3, 0);
    row("export close above high", txt,
        exportFile(u"2024/01/02\t10.00\t11.00\t9.50\t11.50\t1000\t10500.00\r\n"_s),
        BarsProblem::BadPrices, 3, 5, 0);
    row("export short row", txt, exportFile(r1 + u"2024/01/03\t10.50\t10.80\r\n"_s),
        BarsProblem::ColumnCount, 4, 0, 0);
    row("export dates out of order", txt, exportFile(r2 + r1), BarsProblem::DateOrder, 4, 1, 0);
    row("export no rows", txt, exportFile(QString()), BarsProblem::Empty, 0, 0, 0);
    row("export text after its source line", txt, exportFile(r1) + "2024/01/03\r\n",
        BarsProblem::AfterEnd, 5, 0, 0);
    row("export without its title", txt,
        exportFile(r1 + r2).sliced(gbk(u"600000 浦发银行 日线 不复权\r\n"_s).size()),
        BarsProblem::None, 0, 0, 2, 10.10);
    row("export without its title, named .csv", csv0,
        gbk(u"日期\t开盘\t最高\t最低\t收盘\r\n2024/01/02\t10\t11\t9.5\t10.5\r\n数据来源:通达信\r\n"_s),
        BarsProblem::None, 0, 0, 1, 10.5);
    row("export bad GBK in the title alone", txt,
        QByteArray("600000 \xff\xfe 日线\r\n") +
            exportFile(r1).sliced(gbk(u"600000 浦发银行 日线 不复权\r\n"_s).size()),
        BarsProblem::Encoding, 1, 0, 0);
    row("export a number of megabytes", txt,
        exportFile(u"2024/01/02\t10.00\t11.00\t9.50\t"_s + QString(4 << 10, u'1') +
                   u"\t1000\t10500.00\r\n"_s),
        BarsProblem::TooLong, 3, 5, 0);
    row("export a line past the bound", txt,
        exportFile(u"2024/01/02\t"_s + QString(70 << 10, u'1') + u"\r\n"_s), BarsProblem::TooLong,
        3, 0, 0);

    // The CSV.
    const QString csv = csv0;
    row("csv quoted fields", csv,
        "\"date\",\"open\",\"high\",\"low\",\"close\",\"vol\"\n"
        "\"2024-01-02\",\"1\",\"2\",\"0.5\",\"1.5\",\"1,234,000\"\n",
        BarsProblem::None, 0, 0, 1, 1.5);
    row("csv quote inside a quoted header", csv, "\"da\"\"te\",o,h,l,c\n2024-01-02,1,2,0.5,1.5\n",
        BarsProblem::None, 0, 0, 1, 1.5);
    row("csv unclosed quote", csv, "2024-01-02,\"1,2,0.5,1.5\n", BarsProblem::ColumnCount, 1, 2, 0);
    row("csv quoted decimal comma", csv, "2024-01-02,\"1,5\",2,0.5,1.5\n", BarsProblem::BadNumber,
        1, 2, 0);
    row("csv GBK header", csv,
        gbk(u"日期,开盘,最高,最低,收盘,成交量,成交额\r\n2024-01-02,1,2,0.5,1.5,10,15\r\n"_s),
        BarsProblem::None, 0, 0, 1, 1.5);
    row("csv named columns in another order", csv,
        "date,open,close,high,low\n2024-01-02,1,1.5,2,0.5\n", BarsProblem::None, 0, 0, 1, 1.5);
    row("csv CR line ends", csv, "2024-01-02,1,2,0.5,1.5\r2024-01-03,1,2,0.5,1.8\r",
        BarsProblem::None, 0, 0, 2, 1.8);
    row("csv close above high", csv, "2024-01-02,1,2,0.5,1.5\n2024-01-03,1,2,0.5,2.5\n",
        BarsProblem::BadPrices, 2, 5, 0);
    row("csv open above high", csv, "2024-01-02,3,2,0.5,1.5\n", BarsProblem::BadPrices, 1, 2, 0);
    row("csv negative volume", csv, "2024-01-02,1,2,0.5,1.5,-1\n", BarsProblem::BadPrices, 1, 6, 0);
    row("csv neither UTF-8 nor GBK", csv, "2024-01-02,1,2,0.5,1.5\n\xff\xff,1\n",
        BarsProblem::Encoding, 2, 0, 0);
    row("csv NUL", csv, QByteArray("2024-01-02,1,2,0.5,1.5\n2024-01-03,1,2,0.5\0,1.5\n", 47),
        BarsProblem::UnknownLayout, 0, 0, 0);
    row("csv a field of digits past the bound", csv,
        "2024-01-02,1,2,0.5," + QByteArray(1000, '1') + "\n", BarsProblem::TooLong, 1, 5, 0);
    // 64 MiB of digits in one field: refused at the line's length, before any field is read.
    row("csv a field of 64 MiB", csv, "2024-01-02,1,2,0.5," + QByteArray(64 << 20, '1') + "\n",
        BarsProblem::TooLong, 1, 0, 0);
    row("csv a date past the bound", csv, QByteArray(100, '2') + ",1,2,0.5,1.5\n",
        BarsProblem::TooLong, 1, 1, 0);
    row("csv a line past the bound", csv,
        "2024-01-02,1,2,0.5,1.5\n" + QByteArray(70 << 10, ' ') + "x\n", BarsProblem::TooLong, 2, 0,
        0);
    row("csv plus sign, exponent, no leading digit", csv, "2024-01-02,+1,2e0,.5,1.5\n",
        BarsProblem::None, 0, 0, 1, 1.5);
    row("csv number with letters after it", csv, "2024-01-02,1,2,0.5,1.5x\n",
        BarsProblem::BadNumber, 1, 5, 0);
    row("csv infinite number", csv, "2024-01-02,1,inf,0.5,1.5\n", BarsProblem::BadNumber, 1, 3, 0);
    row("csv grouped thousands, quoted", csv, "2024-01-02,1,2,0.5,1.5,\"1,234\",\"12,345,678.5\"\n",
        BarsProblem::None, 0, 0, 1, 1.5);
    row("csv grouping out of step", csv, "2024-01-02,1,2,0.5,1.5,\"12,34\"\n",
        BarsProblem::BadNumber, 1, 6, 0);
    row("unknown extension, not bars", u"notes.doc"_s, "hello\n", BarsProblem::UnknownLayout, 0, 0,
        0);
}

void TestBarsFiles::read()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(int, problem);
    QFETCH(int, record);
    QFETCH(int, field);
    QFETCH(int, bars);
    QFETCH(double, lastClose);
    QFETCH(int, skipped);
    const BarsFileRead r = readBarsBytes(bytes, name);
    QCOMPARE(int(r.problem), problem);
    QCOMPARE(r.record, qint64(record));
    QCOMPARE(r.field, field);
    QCOMPARE(r.bars.size(), bars);
    QCOMPARE(r.skipped, qint64(skipped));
    if (bars > 0)
        QCOMPARE(r.bars.close.back(), lastClose);
    // Every column as long as the dates.
    for (const auto *column :
         {&r.bars.open, &r.bars.high, &r.bars.low, &r.bars.close, &r.bars.volume, &r.bars.amount})
        QCOMPARE(qsizetype(column->size()), r.bars.size());
}

void TestBarsFiles::exportNames()
{
    const BarsFileRead r = readBarsBytes(
        exportFile(u"2024/01/02\t10.00\t11.00\t9.50\t10.50\t1000\t10500.00\r\n"_s), u"x.txt"_s);
    QCOMPARE(r.kind, BarsFileKind::Export);
    QCOMPARE(r.code, u"600000"_s);
    QCOMPARE(r.name, u"浦发银行"_s);
    QCOMPARE(r.bars.volume.front(), 1000.0);
    QCOMPARE(r.bars.amount.front(), 10500.0);
    const BarsFileRead day = readBarsBytes(dayRecord(20240102, 1000, 1100, 950, 1050),
                                           u"/v/vipdoc/sz/lday/sz000001.day"_s);
    QCOMPARE(day.kind, BarsFileKind::Day);
    QCOMPARE(day.code, u"sz000001"_s);
    QCOMPARE(day.priceDivisor, 100);
    QCOMPARE(day.bars.dates.front(), QDate(2024, 1, 2));
    QCOMPARE(day.bars.volume.front(), 10000.0);
}

void TestBarsFiles::kind_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<int>("kind");
    QTest::newRow(".day") << u"a/SH600000.DAY"_s << QByteArray("anything")
                          << int(BarsFileKind::Day);
    QTest::newRow("csv") << u"a.csv"_s << QByteArray("2024-01-02,1,2,0.5,1.5\n")
                         << int(BarsFileKind::Csv);
    QTest::newRow("export title") << u"a.txt"_s << gbk(u"000001 平安银行 日线 不复权\r\n"_s)
                                  << int(BarsFileKind::Export);
    QTest::newRow("export without title words")
        << u"a.txt"_s << gbk(u"000001 平安银行\r\n日期\t开盘\t最高\t最低\t收盘\r\n"_s)
        << int(BarsFileKind::Export);
    QTest::newRow("csv with a Chinese header")
        << u"a.csv"_s << gbk(u"日期,开盘,最高,最低,收盘\r\n2024-01-02,1,2,0.5,1.5\r\n"_s)
        << int(BarsFileKind::Csv);
    QTest::newRow("binary .txt") << u"a.txt"_s << QByteArray("\x01\x00\x02", 3)
                                 << int(BarsFileKind::Unknown);
    QTest::newRow("other extension")
        << u"a.xls"_s << QByteArray("2024-01-02,1,2,0.5,1.5\n") << int(BarsFileKind::Unknown);
}

void TestBarsFiles::kind()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, head);
    QFETCH(int, kind);
    QCOMPARE(int(barsFileKind(name, head)), kind);
}

void TestBarsFiles::priceDivisor_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("divisor");
    QTest::newRow("sh stock") << u"sh600000.day"_s << 100;
    QTest::newRow("sh index") << u"sh000001.day"_s << 100;
    QTest::newRow("sh ETF") << u"sh510300.day"_s << 1000;
    QTest::newRow("sh convertible") << u"sh113050.day"_s << 1000;
    QTest::newRow("sh B share") << u"sh900901.day"_s << 1000;
    QTest::newRow("sz stock") << u"sz000001.day"_s << 100;
    QTest::newRow("sz ChiNext") << u"sz300750.day"_s << 100;
    QTest::newRow("sz ETF") << u"sz159915.day"_s << 1000;
    QTest::newRow("sz LOF") << u"sz161725.day"_s << 1000;
    QTest::newRow("sz convertible") << u"sz123100.day"_s << 1000;
    QTest::newRow("sz index") << u"sz399001.day"_s << 100;
    QTest::newRow("bj stock") << u"bj830799.day"_s << 100;
    QTest::newRow("no market") << u"600000.day"_s << 100;
}

void TestBarsFiles::priceDivisor()
{
    QFETCH(QString, name);
    QFETCH(int, divisor);
    QCOMPARE(dayPriceDivisor(u"/x/vipdoc/lday/"_s + name), divisor);
}

// Over the bound nothing is read past it: a sparse giant is refused by its size, a device
// that never ends after the bound.
void TestBarsFiles::sizeBound()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString big = dir.filePath(u"big.csv"_s);
    {
        QFile f(big);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(qint64(300) << 20)); // sparse: no disk used
    }
    QCOMPARE(readBarsFile(big, qint64(256) << 20).problem, BarsProblem::TooLarge);
    const QString small = dir.filePath(u"small.csv"_s);
    const QByteArray csv = "2024-01-02,1,2,0.5,1.5\n";
    writeFile(small, csv);
    QCOMPARE(readBarsFile(small, csv.size() - 1).problem, BarsProblem::TooLarge);
    QCOMPARE(readBarsFile(small, csv.size()).problem, BarsProblem::None);
    if (QFile::exists(u"/dev/zero"_s))
        QCOMPARE(readBarsFile(u"/dev/zero"_s, 1 << 20).problem, BarsProblem::TooLarge);
}

void TestBarsFiles::unreadable()
{
    QTemporaryDir dir;
    const BarsFileRead missing = readBarsFile(dir.filePath(u"none.day"_s), 1 << 20);
    QCOMPARE(missing.problem, BarsProblem::Unreadable);
    QVERIFY(!missing.error.isEmpty());
    QCOMPARE(readBarsFile(dir.path(), 1 << 20).problem, BarsProblem::Unreadable);
}

QTEST_GUILESS_MAIN(TestBarsFiles)
#include "tst_barsfiles.moc"
