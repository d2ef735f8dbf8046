// What a careless archive or a huge file does to the window: each case drives the real window
// under the offscreen platform, waits a bounded time, and checks that the event loop kept
// answering (a round trip within 1 s) while it ran.
#include "codeeditor.h"
#include "parser.h"
#include "replaychart.h"
#include "replayview.h"
#include "testfiles.h"
#include "windowfixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cmath>
#include <thread>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace morvane;
using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kLive = 1000; // the longest the event loop may go without answering

// Turns the event loop until done() or the timeout; the longest gap between two turns of a
// 20 ms timer is the window's worst stall over the wait.
struct Liveness
{
    qint64 worst = 0;
    bool done = false;
};

Liveness waitLive(const std::function<bool()> &done, int timeoutMs)
{
    Liveness l;
    QElapsedTimer gap, total;
    gap.start();
    total.start();
    QTimer tick;
    tick.setInterval(20);
    QObject::connect(&tick, &QTimer::timeout, [&] { l.worst = std::max(l.worst, gap.restart()); });
    tick.start();
    while (!(l.done = done()) && total.elapsed() < timeoutMs)
        QTest::qWait(10);
    l.worst = std::max(l.worst, gap.elapsed());
    return l;
}

// One step of the event loop's work, timed: what a click or a key costs the window.
template <typename F> qint64 stallOf(F step)
{
    QElapsedTimer t;
    t.start();
    step();
    return t.elapsed();
}

QByteArray csv(const formula::Bars &bars)
{
    QByteArray out;
    out.reserve(bars.size() * 48);
    for (std::size_t i = 0; i < bars.dates.size(); ++i)
        out += bars.dates[i].toString(Qt::ISODate).toLatin1() + ',' +
               QByteArray::number(bars.open[i], 'f', 4) + ',' +
               QByteArray::number(bars.high[i], 'f', 4) + ',' +
               QByteArray::number(bars.low[i], 'f', 4) + ',' +
               QByteArray::number(bars.close[i], 'f', 4) + '\n';
    return out;
}

// For the report: what the process holds now and at most ("VmRSS … VmHWM …").
QByteArray residentKb()
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return "unknown";
    QByteArray out;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS") || line.startsWith("VmHWM"))
            out += line.simplified() + ' ';
    return out;
}

QString manyOutputs(int count)
{
    QString text;
    for (int i = 0; i < count; ++i)
        text += u"O%1:REF(C,-1);\n"_s.arg(i);
    return text;
}

bool same(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::abs(a - b) <= 1e-9 * std::max({1.0, std::abs(a), std::abs(b)});
}

} // namespace

class TestHeavyInputs : public QObject
{
    Q_OBJECT

private slots:
    void openRefusesWhatWouldFreeze_data();
    void openRefusesWhatWouldFreeze();
    void replayViewStaysLive_data();
    void replayViewStaysLive();
    void closingTheViewStopsItsWork();
    void viewNamesEveryRefusal_data();
    void viewNamesEveryRefusal();
};

void TestHeavyInputs::openRefusesWhatWouldFreeze_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("warning"); // empty: the file is opened
    QTest::newRow("a pipe named x.txt") << u"fifo"_s << u"不是普通文件"_s;
    QTest::newRow("a folder") << u"folder"_s << u"不是普通文件"_s;
    QTest::newRow("past the window's bound") << u"large"_s << u"超过窗口可流畅显示的 4 MiB"_s;
    QTest::newRow("just under the bound") << u"under"_s << QString();
}

void TestHeavyInputs::openRefusesWhatWouldFreeze()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 5000));
    w->txtCode->setPlainText(u"OLD"_s);
    const QString path = fx.dir.filePath(u"x.txt"_s);
    std::thread writer; // frees a blocked open after a while, so that the test ends
    if (kind == u"fifo") {
#ifdef Q_OS_UNIX
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        writer = std::thread([path] {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) {
                [[maybe_unused]] const auto n = ::write(fd, "WRITTEN", 7);
                ::close(fd);
            }
        });
#else
        QSKIP("no FIFO on Windows");
#endif
    } else if (kind == u"folder") {
        QVERIFY(QDir().mkpath(path));
    } else {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        const qint64 size = kind == u"large" ? kMaxFormulaFileBytes + 1 : kMaxFormulaFileBytes;
        // Lines of a formula, as a pasted library would hold.
        const QByteArray line = "A:=MA(C,5)+REF(C,1)*2;\n";
        QByteArray block;
        while (block.size() < (1 << 20))
            block += line;
        for (qint64 left = size; left > 0; left -= block.size())
            QVERIFY(f.write(block.constData(), std::min<qint64>(left, block.size())) > 0);
    }
    fx.openAnswers << path;
    const qint64 stall = stallOf([&] { QTest::keyClick(w.get(), Qt::Key_O, Qt::ControlModifier); });
    if (writer.joinable())
        writer.join();
    qInfo("open of %s: %lld ms, resident %s", qPrintable(kind), stall, residentKb().constData());
    if (warning.isEmpty()) {
        QVERIFY(fx.warnings.isEmpty());
        QVERIFY(w->txtCode->toPlainText().startsWith(u"A:=MA(C,5)"_s));
        return; // a file the window shows: its time is in the report, not asserted
    }
    QVERIFY2(stall < kLive, qPrintable(u"the window stopped for %1 ms"_s.arg(stall)));
    QCOMPARE(w->txtCode->toPlainText(), u"OLD"_s);
    QCOMPARE(fx.warnings.size(), 1);
    QVERIFY2(fx.warnings[0].contains(warning), qPrintable(fx.warnings[0]));
}

void TestHeavyInputs::replayViewStaysLive_data()
{
    QTest::addColumn<int>("bars");
    QTest::addColumn<QString>("formula");
    QTest::newRow("100,000 bars, every bar a cut") << 100000 << u"A:ZIG(3,10);B:MA(C,5);"_s;
    QTest::newRow("100,000 bars, cuts bounded") << 100000 << u"A:ZIG(3,IF(C>O,10,8));B:MA(C,5);"_s;
    QTest::newRow("1,000 outputs") << 1000 << manyOutputs(1000);
    // The output's number past 16 bits: it once wrapped negative and wrote outside the values.
    QTest::newRow("33,000 outputs on 3 bars") << 3 << manyOutputs(33000);
}

void TestHeavyInputs::replayViewStaysLive()
{
    QFETCH(int, bars);
    QFETCH(QString, formula);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"bars.csv"_s);
    const formula::Bars history = formula::builtinBars(bars);
    writeBytes(path, csv(history));
    ReplayServices services;
    services.openFile = [path](QWidget *, const QString &, const QString &) { return path; };
    services.openFolder = [](QWidget *, const QString &) { return QString(); };
    QStringList warnings;
    services.warn = [&warnings](QWidget *, const QString &text) { warnings << text; };
    ReplayView view(services);
    view.resize(1100, 620);
    view.show();
    view.chooseFile();
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(u'\n')));
    QElapsedTimer took;
    took.start();
    view.setFormula(formula);
    const Liveness computing = waitLive([&] { return view.model() != nullptr; }, 120000);
    QVERIFY2(computing.done, "no result within 120 s");
    qInfo("%d bars: %lld ms to the result, the window's worst stall %lld ms, %lld cuts, %s", bars,
          took.elapsed(), computing.worst, qint64(view.model()->cuts), residentKb().constData());
    QVERIFY2(computing.worst < kLive, qPrintable(u"stalled %1 ms"_s.arg(computing.worst)));
    const ReplayModel &model = *view.model();
    QCOMPARE(model.bars.size(), qsizetype(bars));
    // Every bar a cut where the replay is linear; else within the window's bound.
    QVERIFY(model.linear ? model.cuts == model.bars.size() - 1
                         : model.cuts > 0 && model.cuts <= ReplayBudget{}.maxCuts);

    // The slider's left end, then its middle: each lands on a cut, drawn as then computed.
    const formula::Program program = formula::parse(formula);
    for (const int to : {0, bars / 2}) {
        const qint64 stall = stallOf([&] {
            view.slider()->setValue(to);
            QCoreApplication::processEvents();
        });
        QVERIFY2(stall < kLive, qPrintable(u"slider to %1: %2 ms"_s.arg(to).arg(stall)));
        const qsizetype cut = view.chart()->cut();
        QVERIFY(model.isCut(cut));
        QCOMPARE(view.slider()->value(), int(cut));
        const formula::Evaluation then =
            formula::evaluate(program, model.bars.head(cut + 1), model.options);
        const std::size_t last = model.outputs.size() - 1;
        for (std::size_t k : {std::size_t(0), last})
            for (qsizetype i = std::max<qsizetype>(0, cut - 3); i <= cut; ++i)
                QVERIFY2(same(view.chart()->snapshot().values[k][0][std::size_t(i)],
                              then.outputs[k].channels[0][std::size_t(i)]),
                         qPrintable(u"output %1 bar %2 cut %3"_s.arg(k).arg(i).arg(cut)));
    }
}

// A closed view is hidden, not destroyed: its worker must stop all the same.
void TestHeavyInputs::closingTheViewStopsItsWork()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"bars.csv"_s);
    writeBytes(path, csv(formula::builtinBars(100000)));
    ReplayServices services;
    services.openFile = [path](QWidget *, const QString &, const QString &) { return path; };
    services.openFolder = [](QWidget *, const QString &) { return QString(); };
    services.warn = [](QWidget *, const QString &) {};
    ReplayView view(services);
    view.show();
    view.chooseFile();
    // A percentage that changes from bar to bar: each cut runs its whole history, for seconds.
    view.setFormula(u"A:ZIG(3,IF(C>O,10,8));"_s);
    QVERIFY(view.isComputing());
    QTest::qWait(200); // well into the cuts
    view.close();
    QVERIFY(!view.isComputing());
    // The thread stops at its next cut and goes away.
    const Liveness stopping = waitLive(
        [&] {
            const auto threads = view.findChildren<QThread *>();
            return std::none_of(threads.begin(), threads.end(),
                                [](QThread *t) { return t->isRunning(); });
        },
        20000);
    QVERIFY2(stopping.done, "the worker still ran 20 s after the view closed");
    QVERIFY(!view.model());
}

// The view's choice of bars: what it cannot use is named, never passed over, never waited on.
void TestHeavyInputs::viewNamesEveryRefusal_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("warning");    // a warning holds this; empty: none
    QTest::addColumn<QStringList>("listed"); // the folder's list, in order
    QTest::addColumn<QString>("verdict");    // the first verdict starts so; empty: no model
    QTest::newRow("one bar") << u"one"_s << QString() << QStringList()
                             << u"A：无法检验——只有 1 根K线，无法回放"_s;
    QTest::newRow("a csv that does not parse beside a good one")
        << u"pair"_s << u"跳过 1 个无法读取的文件：\nbad.csv：第 2 行"_s
        << QStringList{u"bad.csv"_s, u"good.csv"_s} << u"A：稳定"_s;
#ifdef Q_OS_UNIX
    QTest::newRow("a pipe chosen as a file")
        << u"fifo"_s << u"x.csv：不是普通文件"_s << QStringList() << QString();
    QTest::newRow("a pipe in the folder")
        << u"fifo folder"_s << u"跳过 1 个无法读取的文件：\nx.csv：不是普通文件"_s
        << QStringList{u"good.csv"_s, u"x.csv（无法读取）"_s} << u"A：稳定"_s;
    QTest::newRow("a name in GBK bytes")
        << u"gbk"_s << QString() << QStringList{u"good.csv"_s, u"浦发银行.csv"_s} << u"A：稳定"_s;
#endif
}

void TestHeavyInputs::viewNamesEveryRefusal()
{
    QFETCH(QString, kind);
    QFETCH(QString, warning);
    QFETCH(QStringList, listed);
    QFETCH(QString, verdict);
    QTemporaryDir dir;
    const QByteArray good = "2024-01-02,10,11,9,10.5\n2024-01-03,10.5,11,10,10.8\n"
                            "2024-01-04,10.8,11.2,10.1,11\n";
    QString chosen = dir.filePath(u"bars"_s);
    QDir().mkpath(chosen);
    [[maybe_unused]] const QByteArray folder = QFile::encodeName(chosen);
    bool isFolder = true;
    if (kind == u"one") {
        chosen = dir.filePath(u"one.csv"_s);
        writeBytes(chosen, "2024-01-02,10,11,9,10.5\n");
        isFolder = false;
    } else if (kind == u"pair") {
        writeBytes(chosen + u"/good.csv"_s, good);
        writeBytes(chosen + u"/bad.csv"_s, "2024-01-03,10,11,9,10.5\n2024-01-02,10,11,9,10.5\n");
    }
#ifdef Q_OS_UNIX
    else if (kind == u"fifo") {
        chosen = dir.filePath(u"x.csv"_s);
        QVERIFY(::mkfifo(QFile::encodeName(chosen).constData(), 0600) == 0);
        isFolder = false;
    } else if (kind == u"fifo folder") {
        writeBytes(chosen + u"/good.csv"_s, good);
        QVERIFY(::mkfifo((folder + "/x.csv").constData(), 0600) == 0);
    } else if (kind == u"gbk") {
        writeBytes(chosen + u"/good.csv"_s, good);
        // As unpacked from an archive made on a Chinese Windows.
        const QByteArray name = folder + "/\xc6\xd6\xb7\xa2\xd2\xf8\xd0\xd0.csv"; // 浦发银行
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        const QByteArray four = good + "2024-01-05,11,11.5,10.5,11.2\n";
        QCOMPARE(::write(fd, four.constData(), std::size_t(four.size())), four.size());
        ::close(fd);
    }
#endif
    ReplayServices services;
    services.openFile = [chosen](QWidget *, const QString &, const QString &) { return chosen; };
    services.openFolder = [chosen](QWidget *, const QString &) { return chosen; };
    QStringList warnings;
    services.warn = [&warnings](QWidget *, const QString &text) { warnings << text; };
    ReplayView view(services);
    view.show();
    view.setFormula(u"A:MA(C,2);"_s);
    QVERIFY(waitLive([&] { return view.model() != nullptr; }, 60000).done);
    const qint64 stall = stallOf([&] {
        if (isFolder)
            view.chooseFolder();
        else
            view.chooseFile();
    });
    QVERIFY2(stall < kLive, qPrintable(u"the window stopped for %1 ms"_s.arg(stall)));
    if (warning.isEmpty())
        QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(u'\n')));
    else
        QVERIFY2(warnings.size() == 1 && warnings[0].contains(warning),
                 qPrintable(warnings.join(u'\n')));
    if (!listed.isEmpty()) {
        QStringList items;
        for (int i = 0; i < view.filesBox()->count(); ++i)
            items << view.filesBox()->itemText(i);
        QCOMPARE(items, listed);
    }
    if (verdict.isEmpty()) {
        QVERIFY(!view.isComputing());
        return;
    }
    QVERIFY(waitLive([&] { return view.model() != nullptr; }, 60000).done);
    if (kind == u"gbk") { // the GBK-named file reads by its bytes
        emit view.filesBox()->activated(1);
        QVERIFY(waitLive([&] { return view.model() != nullptr; }, 60000).done);
        QCOMPARE(view.model()->bars.size(), qsizetype(4));
        QCOMPARE(view.origin(), u"浦发银行.csv"_s);
        // QTemporaryDir removes by decoded names, which this one is not.
        ::unlink((folder + "/\xc6\xd6\xb7\xa2\xd2\xf8\xd0\xd0.csv").constData());
    }
    QVERIFY2(view.verdicts().value(0).startsWith(verdict), qPrintable(view.verdicts().value(0)));
}

QTEST_MAIN(TestHeavyInputs)
#include "tst_heavyinputs.moc"
