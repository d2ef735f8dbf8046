#include "windowfixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QMouseEvent>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include "codeeditor.h"
#include "testfiles.h"
#include <QTimer>

using namespace morvane;
using namespace Qt::StringLiterals;

namespace {

void sendMouse(QWidget *w, QEvent::Type type, QPoint local, Qt::MouseButton button,
               Qt::MouseButtons buttons)
{
    QMouseEvent event(type, local, w->mapToGlobal(local), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void hover(QWidget *w, QPoint local = {2, 2})
{
    sendMouse(w, QEvent::MouseMove, local, Qt::NoButton, Qt::NoButton);
}

// Code, Result, About over code, About over result.
QString pageState(const fmFunctionCheck &w)
{
    const bool code = w.PanelCode->isVisibleTo(const_cast<fmFunctionCheck *>(&w));
    const bool info = w.PanelInfo->isVisibleTo(const_cast<fmFunctionCheck *>(&w));
    const bool about = w.panelAbout->isVisibleTo(const_cast<fmFunctionCheck *>(&w));
    if (code == info)
        return u"broken"_s;
    return QString(about ? u"about/"_s : QString()) + (code ? u"code"_s : u"result"_s);
}

void setPageState(fmFunctionCheck &w, const QString &state)
{
    const bool result = state.endsWith(u"result"_s);
    w.PanelCode->setVisible(!result);
    w.PanelInfo->setVisible(result);
    w.panelAbout->setVisible(state.startsWith(u"about/"_s));
}

struct CloseCounter : QObject
{
    int count = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::Close;
        return false;
    }
};

} // namespace

class TestWindow : public QObject
{
    Q_OBJECT

private slots:
    void startUp();
    void startUpWithListFile();
    void pages_data();
    void pages();
    void check_data();
    void check();
    void checkTwice();
    void clearOnlyEmptiesFormula();
    void enterPressesFocusedButton_data();
    void enterPressesFocusedButton();
    void hoverFrames();
    void linkColoursAndCursor();
    void dragging();
    void maximiseUndone();
    void closing_data();
    void closing();
    void saving_data();
    void saving();
    void secondSaveStartsAtFirstName();
    void failedSaveTellsUserAndKeepsFile_data();
    void failedSaveTellsUserAndKeepsFile();
    void refreshAfterDeleteWritesLoadedList();
    void refreshFailureIsTold();
    void refreshTellsOfUndecodableBytes();
    void editWritesMissingFileFirst();
    void shortcutsDoWhatButtonsDo_data();
    void shortcutsDoWhatButtonsDo();
    void saveSuggestsOpenedFile_data();
    void saveSuggestsOpenedFile();
    void saveAddsTextExtension_data();
    void saveAddsTextExtension();
    void launchFailingLaterIsTold_data();
    void launchFailingLaterIsTold();
    void xdgOpenExitStatusIsHeard_data();
    void xdgOpenExitStatusIsHeard();
};

void TestWindow::startUp()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get(), 5000));
    QCOMPARE(w->size(), QSize(460, 420));
    QCOMPARE(w->Image1->pos(), QPoint(0, 0));
    QCOMPARE(pageState(*w), u"code"_s);
    QVERIFY(w->windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(w->windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(w->windowFlags() & Qt::WindowMaximizeButtonHint);
    QVERIFY(w->windowFlags() & Qt::WindowSystemMenuHint);
    QCOMPARE(w->windowTitle(), u"Morvane"_s);
    QVERIFY(!w->windowIcon().isNull());
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 5000));
    QCOMPARE(QApplication::focusWidget(), w->txtCode);
    // No list.txt: the built-in names stay and are written out.
    QCOMPARE(w->List->count(), 23);
    QVERIFY(readBytes(fx.listPath()).startsWith("ZIG\r\nZIGA\r\n"));
    // Nothing from the notice without an answer.
    QVERIFY(w->lbMsg->isVisibleTo(w.get()));
    QCOMPARE(w->lbMsg->caption(), QString());
}

void TestWindow::startUpWithListFile()
{
    WindowFixture fx;
    writeBytes(fx.listPath(), "zig\nBACKSET\n");
    auto w = fx.makeWindow();
    w->Form_Load();
    QCOMPARE(w->List->count(), 2);
    QCOMPARE(w->List->item(0)->text(), u"zig"_s);
    QCOMPARE(readBytes(fx.listPath()), QByteArray("zig\nBACKSET\n"));
}

void TestWindow::pages_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("to");

    const QString states[] = {u"code"_s, u"result"_s, u"about/code"_s, u"about/result"_s};
    for (const QString &s : states) {
        const bool about = s.startsWith(u"about/"_s);
        const QString base = about ? s.mid(6) : s;
        const QString prefix = about ? u"about/"_s : QString();
        QTest::addRow("%s check", qPrintable(s)) << s << u"check"_s << prefix + u"result"_s;
        QTest::addRow("%s return", qPrintable(s)) << s << u"return"_s << prefix + u"code"_s;
        QTest::addRow("%s about", qPrintable(s)) << s << u"about"_s << u"about/"_s + base;
        QTest::addRow("%s ok", qPrintable(s)) << s << u"ok"_s << base;
    }
}

void TestWindow::pages()
{
    QFETCH(QString, from);
    QFETCH(QString, event);
    QFETCH(QString, to);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    setPageState(*w, from);
    if (event == u"check"_s)
        w->btnCheck_Click();
    else if (event == u"return"_s)
        w->btnReturn_Click();
    else if (event == u"about"_s)
        w->Image4_Click();
    else
        w->btnAbout_Click();
    QCOMPARE(pageState(*w), to);
}

void TestWindow::check_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QColor>("color");

    QTest::newRow("two hits") << u"a:=zig(c,3);\nb:=peak(1,2,3);"_s << QTime(10, 0)
                              << u" 发现未来函数 ZIG\n 发现未来函数 PEAK"_s << QColor(255, 0, 0);
    QTest::newRow("nothing") << u"MA(C,5)"_s << QTime(10, 0) << u" 没有发现未来函数。"_s
                             << QColor(0, 128, 0);
    QTest::newRow("nothing at 59")
        << u"MA(C,5)"_s << QTime(14, 59, 30) << u" 没有发现未来函数吖！"_s << QColor(0, 128, 0);
}

void TestWindow::check()
{
    QFETCH(QString, formula);
    QFETCH(QTime, time);
    QFETCH(QString, shown);
    QFETCH(QColor, color);
    WindowFixture fx;
    fx.now = time;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(formula);
    QTest::mouseClick(w->btnCheck, Qt::LeftButton);
    QCOMPARE(headlines(w->txtResult->toPlainText()), shown);
    QCOMPARE(w->reportText().contains(u"\r\n"_s), color == QColor(255, 0, 0));
    QCOMPARE(w->txtResult->palette().color(QPalette::Text), color);
    QCOMPARE(w->txtResult->font().pixelSize(), 13);
    QVERIFY(!w->txtResult->font().bold());
    QCOMPARE(w->txtCode->toPlainText(), formula);
    QCOMPARE(pageState(*w), u"result"_s);
}

void TestWindow::checkTwice()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(u"BACKSET(C>O,2)"_s);
    w->btnCheck_Click();
    QCOMPARE(headlines(w->reportText()), u" 发现未来函数 BACKSET"_s);
    w->btnReturn_Click();
    w->txtCode->setPlainText(u"ZIG"_s);
    w->btnCheck_Click();
    QCOMPARE(headlines(w->reportText()), u" 发现未来函数 ZIG"_s);
    QCOMPARE(headlines(w->txtResult->toPlainText()), u" 发现未来函数 ZIG"_s);
}

void TestWindow::clearOnlyEmptiesFormula()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(u"ZIG"_s);
    w->btnCheck_Click();
    w->btnReturn_Click();
    QTest::mouseClick(w->btnClear, Qt::LeftButton);
    QCOMPARE(w->txtCode->toPlainText(), QString());
    QCOMPARE(headlines(w->txtResult->toPlainText()), u" 发现未来函数 ZIG"_s);
    QCOMPARE(w->List->count(), 23);
    QCOMPARE(pageState(*w), u"code"_s);
}

void TestWindow::enterPressesFocusedButton_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("return") << int(Qt::Key_Return);
    QTest::newRow("keypad enter") << int(Qt::Key_Enter);
}

void TestWindow::enterPressesFocusedButton()
{
    QFETCH(int, key);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 5000));
    w->txtCode->setPlainText(u"ZIG"_s);
    w->btnCheck->setFocus();
    QTest::keyClick(w->btnCheck, Qt::Key(key));
    QTRY_COMPARE_WITH_TIMEOUT(pageState(*w), u"result"_s, 2000);
    QCOMPARE(headlines(w->txtResult->toPlainText()), u" 发现未来函数 ZIG"_s);
}

void TestWindow::hoverFrames()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->Image4_Click();
    auto frames = [&] {
        return QString::number(w->Image2->isFramed()) + QString::number(w->Image3->isFramed()) +
               QString::number(w->Image4->isFramed());
    };
    QCOMPARE(frames(), u"000"_s);
    hover(w->Image2);
    QCOMPARE(frames(), u"100"_s);
    hover(w->Image3);
    QCOMPARE(frames(), u"010"_s);
    hover(w->Image4);
    QCOMPARE(frames(), u"001"_s);
    hover(w->lbTitle); // the title changes no frame
    QCOMPARE(frames(), u"001"_s);
    hover(w->txtCode->viewport());
    QCOMPARE(frames(), u"001"_s);
    hover(w->btnAbout, {5, 5}); // over a control of the about page, not the page
    QCOMPARE(frames(), u"001"_s);
    hover(w->panelAbout, {5, 300});
    QCOMPARE(frames(), u"000"_s);
    hover(w->Image2);
    hover(w->Image1, {200, 410});
    QCOMPARE(frames(), u"000"_s);
}

void TestWindow::linkColoursAndCursor()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    for (SkinLabel *link : {w->lblink, w->lbad})
        QCOMPARE(link->textColor(), QColor(63, 131, 168));

    hover(w->lblink);
    QCOMPARE(w->lblink->textColor(), QColor(192, 0, 0));
    QCOMPARE(w->lblink->cursor().shape(), Qt::PointingHandCursor);
    hover(w->panelAbout, {5, 300});
    QCOMPARE(w->lblink->textColor(), QColor(45, 162, 194));

    w->lbad->setCaption(u"sponsor"_s);
    hover(w->lbad);
    QCOMPARE(w->lbad->textColor(), QColor(192, 0, 0));
    QCOMPARE(w->lbad->cursor().shape(), Qt::PointingHandCursor);
    hover(w->PanelInfo, {300, 5});
    QCOMPARE(w->lbad->textColor(), QColor(45, 162, 194));
    QCOMPARE(w->lblink->textColor(), QColor(45, 162, 194));

    hover(w->lbMsg);
    QCOMPARE(w->lbMsg->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(w->lbMsg->textColor(), QColor(255, 0, 0));
}

void TestWindow::dragging()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get(), 5000));
    const QPoint start = w->pos();

    // Pointer movement alone moves nothing.
    hover(w->Image1, {200, 410});
    QCOMPARE(w->pos(), start);

    hover(w->Image2);
    sendMouse(w->Image1, QEvent::MouseButtonPress, {200, 410}, Qt::LeftButton, Qt::LeftButton);
    sendMouse(w->Image1, QEvent::MouseMove, {230, 440}, Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(w->pos(), start + QPoint(30, 30), 2000);
    QVERIFY(!w->Image2->isFramed());
    sendMouse(w->Image1, QEvent::MouseButtonRelease, {200, 410}, Qt::LeftButton, Qt::NoButton);

    // From the title: the frames stay as they were.
    hover(w->Image3);
    const QPoint before = w->pos();
    sendMouse(w->lbTitle, QEvent::MouseButtonPress, {5, 5}, Qt::LeftButton, Qt::LeftButton);
    sendMouse(w->lbTitle, QEvent::MouseMove, {15, 25}, Qt::NoButton, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(w->pos(), before + QPoint(10, 20), 2000);
    QVERIFY(w->Image3->isFramed());
}

void TestWindow::maximiseUndone()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get(), 5000));
    w->setWindowState(Qt::WindowMaximized);
    QTRY_VERIFY_WITH_TIMEOUT(!w->isMaximized(), 2000);
    QCOMPARE(w->size(), QSize(460, 420));
    w->showMaximized();
    QTRY_VERIFY_WITH_TIMEOUT(!w->isMaximized(), 2000);

    QTest::mouseClick(w->Image3, Qt::LeftButton, {}, {6, 6});
    QVERIFY(w->isMinimized());
    w->showNormal();
    QVERIFY(!w->isMinimized());
}

void TestWindow::closing_data()
{
    QTest::addColumn<bool>("throughPicture");
    QTest::newRow("close picture") << true;
    QTest::newRow("close request") << false;
}

void TestWindow::closing()
{
    QFETCH(bool, throughPicture);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get(), 5000));
    CloseCounter closes;
    w->installEventFilter(&closes);
    const QStringList filesBefore = QDir(fx.dir.path()).entryList(QDir::Files);
    QTimer::singleShot(0, w.get(), [&] {
        if (throughPicture)
            QTest::mouseClick(w->Image2, Qt::LeftButton, {}, {6, 6});
        else
            w->windowHandle()->close(); // what the window system's menu sends
    });
    QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(1); });
    // The program's event loop ends because its only window closed.
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!w->isVisible());
    QCOMPARE(closes.count, 1);
    QCOMPARE(QDir(fx.dir.path()).entryList(QDir::Files), filesBefore);
}

void TestWindow::saving_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QByteArray>("existing");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("empty formula empties the file")
        << QString() << QByteArray("old") << QByteArray();
    QTest::newRow("several lines") << u"A:=ZIG(C,3);\nB:=MA(C,5);"_s << QByteArray()
                                   << QByteArray("A:=ZIG(C,3);\r\nB:=MA(C,5);");
    QTest::newRow("replaces as a whole")
        << u"X"_s << QByteArray("a much longer old content") << QByteArray("X");
    QTest::newRow("gbk") << u"未来:=1;"_s << QByteArray() << QByteArray("\xce\xb4\xc0\xb4:=1;");
}

void TestWindow::saving()
{
    QFETCH(QString, formula);
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, expected);
    WindowFixture fx;
    const QString path = fx.dir.filePath(u"formula.txt"_s);
    if (!existing.isEmpty())
        writeBytes(path, existing);
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(formula);
    fx.saveAnswers << path;
    QTest::mouseClick(w->btnSave, Qt::LeftButton);
    QCOMPARE(fx.dialogStates.size(), 1);
    QCOMPARE(fx.dialogStates[0].nameFilters(),
             QStringList({u"文档文件(*.txt)"_s, u"所有文件(*.*)"_s}));
    QCOMPARE(readBytes(path), expected);
    QVERIFY(fx.warnings.isEmpty());
    QCOMPARE(w->txtCode->toPlainText(), formula);
}

void TestWindow::secondSaveStartsAtFirstName()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(u"ZIG"_s);
    const QString first = fx.dir.filePath(u"first.txt"_s);

    w->btnSave_Click(); // cancelled: nothing written
    QCOMPARE(QDir(fx.dir.path()).entryList({u"*.txt"_s}), QStringList{u"list.txt"_s});
    fx.saveAnswers << first;
    w->btnSave_Click();
    w->btnSave_Click(); // cancelled after a save: still nothing new
    QCOMPARE(fx.dialogStates.size(), 3);
    QCOMPARE(fx.dialogStates[0].fileName, QString());
    QCOMPARE(fx.dialogStates[2].fileName, first);
    QCOMPARE(readBytes(first), QByteArray("ZIG"));
    QCOMPARE(QDir(fx.dir.path()).entryList({u"*.txt"_s}),
             QStringList({u"first.txt"_s, u"list.txt"_s}));
}

void TestWindow::failedSaveTellsUserAndKeepsFile_data()
{
    QTest::addColumn<QString>("relativePath");
    QTest::newRow("missing folder") << u"no/such/folder/f.txt"_s;
    QTest::newRow("folder in the way") << u"taken.txt"_s;
}

void TestWindow::failedSaveTellsUserAndKeepsFile()
{
    QFETCH(QString, relativePath);
    WindowFixture fx;
    QVERIFY(QDir(fx.dir.path()).mkpath(u"taken.txt/inside"_s));
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(u"ZIG"_s);
    fx.saveAnswers << fx.dir.filePath(relativePath);
    w->btnSave_Click();
    QCOMPARE(fx.warnings.size(), 1);
    QVERIFY(fx.warnings[0].contains(QDir::toNativeSeparators(fx.dir.filePath(relativePath))));
    QCOMPARE(w->txtCode->toPlainText(), u"ZIG"_s);
    QVERIFY(QFileInfo(fx.dir.filePath(u"taken.txt/inside"_s)).isDir());
    QCOMPARE(QDir(fx.dir.path()).entryList(QDir::Files), QStringList{u"list.txt"_s});
}

void TestWindow::refreshAfterDeleteWritesLoadedList()
{
    WindowFixture fx;
    writeBytes(fx.listPath(), "XMA\r\nCOST\r\n");
    auto w = fx.makeWindow();
    w->Form_Load();
    QVERIFY(QFile::remove(fx.listPath()));
    QTest::mouseClick(w->btnLoadList, Qt::LeftButton);
    QCOMPARE(readBytes(fx.listPath()), QByteArray("XMA\r\nCOST\r\n"));
    QCOMPARE(w->List->count(), 2);

    writeBytes(fx.listPath(), "PEAK\n");
    QTest::mouseClick(w->btnLoadList, Qt::LeftButton);
    QCOMPARE(w->List->count(), 1);
    QCOMPARE(w->List->item(0)->text(), u"PEAK"_s);
    QVERIFY(fx.warnings.isEmpty());
}

void TestWindow::refreshFailureIsTold()
{
    WindowFixture fx;
    QVERIFY(QDir().mkpath(fx.listPath())); // a folder named list.txt: the write fails
    auto w = fx.makeWindow();
    w->Form_Load(); // silent at start-up
    QVERIFY(fx.warnings.isEmpty());
    QCOMPARE(w->List->count(), 23);
    w->btnLoadList_Click();
    QCOMPARE(fx.warnings.size(), 1);
    QCOMPARE(w->List->count(), 23);
}

// A list that needed replacement characters loads, and the user hears why names look odd.
void TestWindow::refreshTellsOfUndecodableBytes()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    writeBytes(fx.listPath(), "ZIG\r\nP\xff\xfe\xfd"
                              "AK\r\n\xe6\x9c\xaa\xe6\x9d\xa5\r\n");
    w->btnLoadList_Click();
    QCOMPARE(w->List->count(), 3);
    QCOMPARE(fx.warnings.size(), 1);
    QVERIFY(fx.warnings[0].contains(QDir::toNativeSeparators(fx.listPath())));
    writeBytes(fx.listPath(), "ZIG\r\n");
    w->btnLoadList_Click();
    QCOMPARE(fx.warnings.size(), 1);
}

void TestWindow::editWritesMissingFileFirst()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    QVERIFY(QFile::remove(fx.listPath()));
    QTest::mouseClick(w->btnEditList, Qt::LeftButton);
    QCOMPARE(fx.editedFiles, QStringList{fx.listPath()});
    QVERIFY(readBytes(fx.listPath()).startsWith("ZIG\r\n"));
    QVERIFY(fx.warnings.isEmpty());

    fx.editorStarts = false;
    w->btnEditList_Click();
    QCOMPARE(fx.warnings.size(), 1);
}

void TestWindow::shortcutsDoWhatButtonsDo_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("button");
    QTest::newRow("F5 checks") << int(Qt::Key_F5) << int(Qt::NoModifier) << u"btnCheck"_s;
    QTest::newRow("Ctrl+S saves") << int(Qt::Key_S) << int(Qt::ControlModifier) << u"btnSave"_s;
}

// Pressed in the code box, where the user types; the tooltip names the key.
void TestWindow::shortcutsDoWhatButtonsDo()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, button);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowActive(w.get(), 5000));
    w->txtCode->setPlainText(u"A:ZIG(3,5);"_s);
    const QString saved = fx.dir.filePath(u"saved.txt"_s);
    fx.saveAnswers << saved;
    QTest::keyClick(w->txtCode, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    auto *pressed = w->findChild<QPushButton *>(button);
    QVERIFY(pressed);
    QVERIFY2(pressed->toolTip().contains(
                 QKeySequence(key | modifiers).toString(QKeySequence::NativeText)),
             qPrintable(pressed->toolTip()));
    if (button == u"btnCheck"_s) {
        QCOMPARE(pageState(*w), u"result"_s);
        QVERIFY(headlines(w->reportText()).startsWith(u" 发现未来函数 ZIG"_s));
        QVERIFY(fx.dialogStates.isEmpty());
    } else {
        QCOMPARE(pageState(*w), u"code"_s);
        QCOMPARE(fx.dialogStates.size(), 1);
        QCOMPARE(readBytes(saved), QByteArray("A:ZIG(3,5);"));
    }
    QCOMPARE(w->txtCode->toPlainText(), u"A:ZIG(3,5);"_s); // the key typed nothing
}

void TestWindow::saveSuggestsOpenedFile_data()
{
    QTest::addColumn<bool>("drop");
    QTest::newRow("opened") << false;
    QTest::newRow("dropped") << true;
}

// The dialog starts at the file the formula came from, until a save chooses another; a file
// that could not be opened suggests nothing.
void TestWindow::saveSuggestsOpenedFile()
{
    QFETCH(bool, drop);
    WindowFixture fx;
    SKIP_WITHOUT_CHINESE_NAMES(fx.dir.path());
    QVERIFY(QDir(fx.dir.path()).mkpath(u"公式"_s));
    const QString opened = fx.dir.filePath(u"公式/均线.txt"_s);
    writeBytes(opened, "MA(C,5);");
    auto w = fx.makeWindow();
    w->Form_Load();
    auto *editor = qobject_cast<CodeEditor *>(w->txtCode);
    QVERIFY(editor);
    const auto load = [&](const QString &path) {
        if (drop) {
            emit editor->fileDropped(path);
        } else {
            fx.openAnswers << path;
            emit editor->openRequested();
        }
    };
    load(fx.dir.filePath(u"missing.txt"_s));
    w->btnSave_Click();
    QCOMPARE(fx.dialogStates.last().fileName, QString());
    load(opened);
    QCOMPARE(w->txtCode->toPlainText(), u"MA(C,5);"_s);
    const QString other = fx.dir.filePath(u"other.txt"_s);
    fx.saveAnswers << other;
    w->btnSave_Click();
    QCOMPARE(fx.dialogStates.last().fileName, opened);
    QCOMPARE(fx.dialogStates.last().nameFilters(),
             QStringList({u"文档文件(*.txt)"_s, u"所有文件(*.*)"_s}));
    w->btnSave_Click(); // cancelled
    QCOMPARE(fx.dialogStates.last().fileName, other);
    QCOMPARE(readBytes(opened), QByteArray("MA(C,5);"));
    QCOMPARE(readBytes(other), QByteArray("MA(C,5);"));
}

void TestWindow::saveAddsTextExtension_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    QTest::newRow("bare name") << u"formula"_s << u"formula.txt"_s;
    QTest::newRow("Chinese name") << u"均线"_s << u"均线.txt"_s;
    QTest::newRow("txt kept") << u"formula.txt"_s << u"formula.txt"_s;
    QTest::newRow("other extension kept") << u"formula.tn6"_s << u"formula.tn6"_s;
    QTest::newRow("dot in the folder only") << u"a.b/formula"_s << u"a.b/formula.txt"_s;
}

void TestWindow::saveAddsTextExtension()
{
    QFETCH(QString, typed);
    QFETCH(QString, written);
    WindowFixture fx;
    if (typed.front().unicode() > 0x7f)
        SKIP_WITHOUT_CHINESE_NAMES(fx.dir.path());
    QVERIFY(QDir(fx.dir.path()).mkpath(u"a.b"_s));
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(u"ZIG"_s);
    fx.saveAnswers << fx.dir.filePath(typed);
    w->btnSave_Click();
    QCOMPARE(readBytes(fx.dir.filePath(written)), QByteArray("ZIG"));
    if (typed != written)
        QVERIFY(!QFileInfo::exists(fx.dir.filePath(typed)));
    fx.saveAnswers.clear();
    w->btnSave_Click(); // the name offered next is the one written
    QCOMPARE(fx.dialogStates.last().fileName, fx.dir.filePath(written));
}

void TestWindow::launchFailingLaterIsTold_data()
{
    QTest::addColumn<bool>("editor");
    QTest::newRow("editor") << true;
    QTest::newRow("browser") << false;
}

// The launcher started, then the program it ran found nothing to open the file or address
// with: the user hears of it then, in Chinese, and once.
void TestWindow::launchFailingLaterIsTold()
{
    QFETCH(bool, editor);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    if (editor)
        w->btnEditList_Click();
    else
        w->lblink_Click();
    QCOMPARE(fx.laterFailures.size(), 1);
    QVERIFY(fx.warnings.isEmpty()); // started: nothing to say yet
    fx.laterFailures[0]();
    QCOMPARE(fx.warnings.size(), 1);
    QVERIFY2(fx.warnings[0].startsWith(editor ? u"无法启动文本编辑器"_s : u"无法打开浏览器"_s),
             qPrintable(fx.warnings[0]));
    QVERIFY(fx.warnings[0].contains(editor ? QDir::toNativeSeparators(fx.listPath())
                                           : w->lblink->caption().trimmed()));
    // A failure that arrives after the window is gone finds no one to tell.
    const morvane::LaterFailure late = fx.laterFailures[0];
    w.reset();
    late();
    QCOMPARE(fx.warnings.size(), 1);
}

void TestWindow::xdgOpenExitStatusIsHeard_data()
{
    QTest::addColumn<QByteArray>("script"); // "" = no xdg-open at all
    QTest::addColumn<bool>("starts");
    QTest::addColumn<bool>("failsLater");
    QTest::newRow("opened") << QByteArray("exit 0") << true << false;
    QTest::newRow("no program for the file") << QByteArray("exit 3") << true << true;
    QTest::newRow("killed") << QByteArray("kill -9 $$") << true << true;
    QTest::newRow("no xdg-open") << QByteArray() << false << false;
}

// The desktop's editor on Linux, through a stand-in xdg-open: its exit status is heard.
void TestWindow::xdgOpenExitStatusIsHeard()
{
#if !defined(Q_OS_UNIX) || defined(Q_OS_MACOS)
    QSKIP("xdg-open is the Linux desktops' opener");
#else
    QFETCH(QByteArray, script);
    QFETCH(bool, starts);
    QFETCH(bool, failsLater);
    QTemporaryDir bin;
    if (!script.isEmpty()) {
        const QString opener = bin.filePath(u"xdg-open"_s);
        writeBytes(opener, "#!/bin/sh\n" + script + "\n");
        QVERIFY(
            QFile::setPermissions(opener, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    const QByteArray path = qgetenv("PATH");
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    qputenv("PATH", bin.path().toLocal8Bit());
    int failures = 0;
    QCOMPARE(systemEditorLauncher()(bin.filePath(u"list.txt"_s), [&] { ++failures; }), starts);
    // Ended and heard: the watcher is gone once the opener's status is in.
    QTRY_VERIFY_WITH_TIMEOUT(qApp->findChildren<QProcess *>().isEmpty(), 10000);
    QCOMPARE(failures, failsLater ? 1 : 0);
#endif
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
