#include "windowfixture.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <QPainter>
#include <QRawFont>
#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void controls_data();
    void controls();
    void stacking();
    void labelsArePlainText();
    void fitToText();
    void tabOrder();
    void fonts_data();
    void fonts();
    void pictures_data();
    void pictures();
    void backgroundGeometry();
    void windowGrab();
    void textInFullColour_data();
    void textInFullColour();
    void latinNamesWhole_data();
    void latinNamesWhole();
    void lettersApart_data();
    void lettersApart();
    void listShowsFunctionList();
    void saveFilter();
};

void TestLayout::controls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QString>("text");

    const QString w = u"fmFunctionCheck"_s;
    QTest::newRow("panelAbout") << u"panelAbout"_s << w << QRect(8, 24, 443, 377) << QString();
    QTest::newRow("btnLoadList") << u"btnLoadList"_s << w << QRect(8, 368, 47, 25) << u"刷新"_s;
    QTest::newRow("btnEditList") << u"btnEditList"_s << w << QRect(57, 368, 47, 25) << u"编辑"_s;
    QTest::newRow("List") << u"List"_s << w << QRect(8, 48, 93, 316) << QString();
    QTest::newRow("PanelInfo") << u"PanelInfo"_s << w << QRect(104, 24, 345, 377) << QString();
    QTest::newRow("PanelCode") << u"PanelCode"_s << w << QRect(104, 24, 345, 377) << QString();
    QTest::newRow("lbNewVersion") << u"lbNewVersion"_s << w << QRect(488, 64, 65, 17) << QString();
    QTest::newRow("lbadURL") << u"lbadURL"_s << w << QRect(488, 8, 65, 17) << QString();
    QTest::newRow("Image4") << u"Image4"_s << w << QRect(403, 5, 13, 13) << QString();
    QTest::newRow("lbTitle") << u"lbTitle"_s << w << QRect(27, 5, 150, 12)
                             << u"MorvaneV1.1 -- Kavrin出品"_s;
    QTest::newRow("Label1") << u"Label1"_s << w << QRect(8, 32, 72, 12) << u"未来函数列表"_s;
    QTest::newRow("Image3") << u"Image3"_s << w << QRect(421, 5, 13, 13) << QString();
    QTest::newRow("Image2") << u"Image2"_s << w << QRect(440, 5, 13, 13) << QString();
    QTest::newRow("Image1") << u"Image1"_s << w << QRect(0, 0, 460, 420) << QString();

    const QString about = u"panelAbout"_s;
    QTest::newRow("btnAbout") << u"btnAbout"_s << about << QRect(184, 248, 57, 25) << u"确定"_s;
    QTest::newRow("Image5") << u"Image5"_s << about << QRect(56, 80, 34, 33) << QString();
    QTest::newRow("Label6") << u"Label6"_s << about << QRect(112, 88, 56, 14) << u"MorvaneV"_s;
    QTest::newRow("lbVersion") << u"lbVersion"_s << about << QRect(169, 88, 21, 14) << u"1.1"_s;

    const QString info = u"PanelInfo"_s;
    QTest::newRow("txtResult") << u"txtResult"_s << info << QRect(0, 24, 343, 317) << QString();
    QTest::newRow("btnReturn") << u"btnReturn"_s << info << QRect(280, 344, 57, 25) << u"返回"_s;
    QTest::newRow("lbad") << u"lbad"_s << info << QRect(8, 352, 262, 12) << QString();
    QTest::newRow("Label5") << u"Label5"_s << info << QRect(8, 8, 60, 12) << u"检测结果："_s;

    const QString code = u"PanelCode"_s;
    QTest::newRow("btnClear") << u"btnClear"_s << code << QRect(208, 344, 57, 25) << u"清空"_s;
    QTest::newRow("btnSave") << u"btnSave"_s << code << QRect(136, 344, 57, 25) << u"保存"_s;
    QTest::newRow("txtCode") << u"txtCode"_s << code << QRect(0, 24, 343, 317) << QString();
    QTest::newRow("btnCheck") << u"btnCheck"_s << code << QRect(280, 344, 57, 25) << u"检测"_s;
    QTest::newRow("lbMsg") << u"lbMsg"_s << code << QRect(16, 352, 113, 12) << QString();
    QTest::newRow("Label3") << u"Label3"_s << code << QRect(64, 8, 270, 12)
                            << u"(请将代码粘贴到文本框内,点击检测按钮查看结果)"_s;
    QTest::newRow("Label2") << u"Label2"_s << code << QRect(8, 8, 60, 12) << u"代码编辑："_s;
    QTest::newRow("Label4") << u"Label4"_s << code << QRect(8, 352, 6, 12) << QString();
}

void TestLayout::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, container);
    QFETCH(QRect, rect);
    QFETCH(QString, text);

    const bool metricFont = (QFontInfo(skin::font(12)).family().contains(u"UMing"_s) ||
                             QFontInfo(skin::font(12)).family().startsWith(u"Morvane Latin"_s)) ||
                            QFontInfo(skin::font(12)).family() == u"SimSun"_s;
    WindowFixture fx;
    auto window = fx.makeWindow();
    auto *control = window->findChild<QWidget *>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(control->parentWidget()->objectName(), container);
    if (auto *label = qobject_cast<QLabel *>(control)) {
        QCOMPARE(label->text(), text);
        if (!metricFont && !text.isEmpty())
            QSKIP("the metric font is not installed: text widths differ");
#ifdef Q_OS_WIN
        // Sized to bold text, which FreeType without fontconfig (and GDI) widens by a pixel a
        // letter; the version follows the name.
        if (name == u"Label6"_s || name == u"lbVersion"_s)
            QSKIP("bold text is a pixel a letter wider here");
#endif
    } else if (auto *button = qobject_cast<QPushButton *>(control)) {
        QCOMPARE(button->text(), text);
    }
    QCOMPARE(control->geometry(), rect);
}

void TestLayout::stacking()
{
    WindowFixture fx;
    auto window = fx.makeWindow();
    const QObjectList kids = window->children();
    auto index = [&](QWidget *w) { return kids.indexOf(w); };
    // Later children stack in front.
    QVERIFY(index(window->Image1) < index(window->lbTitle));
    QVERIFY(index(window->lbTitle) < index(window->PanelCode));
    QVERIFY(index(window->PanelCode) < index(window->PanelInfo));
    QVERIFY(index(window->PanelInfo) < index(window->List));
    QVERIFY(index(window->List) < index(window->panelAbout));
    const QObjectList code = window->PanelCode->children();
    QVERIFY(code.indexOf(window->Label2) < code.indexOf(window->Label3));
    QVERIFY(code.indexOf(window->Label3) < code.indexOf(window->txtCode));
}

void TestLayout::labelsArePlainText()
{
    WindowFixture fx;
    auto window = fx.makeWindow();
    const auto labels = window->findChildren<QLabel *>();
    QCOMPARE(labels.size(), 14);
    for (QLabel *label : labels)
        QVERIFY2(label->textFormat() == Qt::PlainText, qPrintable(label->objectName()));
    window->lbad->setCaption(u"<img src=x>"_s);
    QCOMPARE(window->lbad->text(), u"<img src=x>"_s);
    QVERIFY(window->lbNewVersion->isHidden());
    QVERIFY(window->lbadURL->isHidden());
    QVERIFY(window->lbNewVersion->autoFillBackground());
}

void TestLayout::fitToText()
{
    WindowFixture fx;
    auto window = fx.makeWindow();
    const QFontMetrics fm(window->lbad->font());
    window->lbad->setCaption(u"赞助商 sponsor"_s);
    QCOMPARE(window->lbad->pos(), QPoint(8, 352));
    QCOMPARE(window->lbad->width(), fm.horizontalAdvance(u"赞助商 sponsor"_s));
    window->lbMsg->setCaption(u"发现新版本1.2 and a very long tail that does not fit"_s);
    QCOMPARE(window->lbMsg->geometry(), QRect(16, 352, 113, 12));
    QCOMPARE(window->Label4->toolTip(), u"赞助链接"_s);
    QCOMPARE(window->lbad->toolTip(), u"赞助链接"_s);
}

void TestLayout::tabOrder()
{
    WindowFixture fx;
    auto window = fx.makeWindow();
    window->Form_Load();
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get(), 5000));
    QCOMPARE(QApplication::focusWidget(), window->txtCode);
    const QList<QWidget *> expected{window->btnCheck,    window->btnClear,    window->btnSave,
                                    window->btnEditList, window->btnLoadList, window->List,
                                    window->txtCode};
    for (QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    // Tab leaves the formula box instead of typing a tab into it.
    QCOMPARE(window->txtCode->toPlainText(), QString());
}

void TestLayout::fonts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("underline");

    QTest::newRow("window") << u"fmFunctionCheck"_s << 12 << false << false;
    QTest::newRow("Label1") << u"Label1"_s << 12 << false << false;
    QTest::newRow("btnCheck") << u"btnCheck"_s << 12 << false << false;
    QTest::newRow("Label6") << u"Label6"_s << 14 << true << false;
    QTest::newRow("lbVersion") << u"lbVersion"_s << 14 << true << false;
    QTest::newRow("lblink") << u"lblink"_s << 12 << false << true;
    QTest::newRow("lbad") << u"lbad"_s << 12 << false << true;
    QTest::newRow("lbMsg") << u"lbMsg"_s << 12 << false << true;
    QTest::newRow("Label4") << u"Label4"_s << 12 << false << true;
    QTest::newRow("List") << u"List"_s << 13 << false << false;
}

void TestLayout::fonts()
{
    QFETCH(QString, name);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(bool, underline);
    WindowFixture fx;
    auto window = fx.makeWindow();
    QWidget *w = name == window->objectName() ? window.get() : window->findChild<QWidget *>(name);
    QVERIFY(w);
    QCOMPARE(w->font().pixelSize(), pixelSize);
    QCOMPARE(w->font().bold(), bold);
    QCOMPARE(w->font().underline(), underline);

    const QFontInfo info(skin::font(12));
    if (!info.family().contains(u"UMing"_s) && !info.family().startsWith(u"Morvane Latin"_s) &&
        info.family() != u"SimSun"_s)
        QSKIP("the metric font (AR PL UMing CN or SimSun) is not installed");
    const QFontMetrics fm(skin::font(12));
    QCOMPARE(fm.horizontalAdvance(u"A"_s), 6);
    QCOMPARE(fm.horizontalAdvance(u"未"_s), 12);
    QCOMPARE(fm.height(), 12);
}

void TestLayout::pictures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("background") << u":/skin/background.png"_s << QSize(460, 420);
    QTest::newRow("close") << u":/skin/close.png"_s << QSize(13, 13);
    QTest::newRow("minimise") << u":/skin/minimise.png"_s << QSize(13, 13);
    QTest::newRow("about") << u":/skin/about.png"_s << QSize(13, 13);
    QTest::newRow("emblem") << u":/skin/emblem.png"_s << QSize(34, 33);
    for (int s : {16, 24, 32, 48, 64, 72})
        QTest::addRow("icon %d", s) << u":/skin/icon-%1.png"_s.arg(s) << QSize(s, s);
}

void TestLayout::pictures()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    WindowFixture fx;
    auto window = fx.makeWindow(); // brings the pictures in
    const QImage img(path);
    QVERIFY2(!img.isNull(), qPrintable(path));
    QCOMPARE(img.size(), size);
}

void TestLayout::backgroundGeometry()
{
    const QImage img(u":/skin/background.png"_s);
    QVERIFY(!img.isNull());
    const QRgb grey = qRgb(237, 238, 240);
    for (int y = 22; y <= 401; ++y)
        for (int x = 6; x <= 453; ++x)
            QVERIFY2(img.pixel(x, y) == grey, qPrintable(u"%1,%2"_s.arg(x).arg(y)));
    const QRgb frame = qRgb(153, 164, 170);
    for (int x = 5; x <= 454; ++x) {
        QCOMPARE(img.pixel(x, 21), frame);
        QCOMPARE(img.pixel(x, 402), frame);
    }
    for (int y = 21; y <= 402; ++y) {
        QCOMPARE(img.pixel(5, y), frame);
        QCOMPARE(img.pixel(454, y), frame);
    }
    const QRgb edge = qRgb(151, 164, 170);
    QCOMPARE(img.pixel(0, 0), edge);
    QCOMPARE(img.pixel(459, 419), edge);
    QCOMPARE(img.pixel(230, 0), edge);
    // The title strip darkens towards its foot; so does the bottom strip.
    QVERIFY(qGray(img.pixel(300, 1)) > qGray(img.pixel(300, 20)));
    QVERIFY(qGray(img.pixel(300, 403)) > qGray(img.pixel(300, 418)));
}

void TestLayout::windowGrab()
{
    WindowFixture fx;
    auto window = fx.makeWindow();
    window->Form_Load();
    const QImage img = window->grab().toImage();
    img.save(QStringLiteral(MORVANE_BUILD_DIR "/window.png"));
    QCOMPARE(img.size() / img.devicePixelRatio(), QSize(460, 420));
    const qreal r = img.devicePixelRatio();
    auto at = [&](int x, int y) { return img.pixelColor(int(x * r), int(y * r)); };
    QCOMPARE(at(104 + 200, 24 + 5), QColor(237, 238, 240));      // inside the code page
    QVERIFY(at(446, 6).red() > 150 && at(446, 6).green() < 110); // the close button's red
    QVERIFY(at(250, 6).lightness() > at(250, 18).lightness());   // gradient behind lbTitle

    // The other pages, for people to look at.
    window->txtCode->setPlainText(u"A:=ZIG(C,3);B:=PEAKBARS(1,2,3);"_s);
    window->btnCheck_Click();
    window->lbad->setCaption(u"赞助商链接 sponsor.example"_s);
    window->grab().save(QStringLiteral(MORVANE_BUILD_DIR "/window-result.png"));
    window->Image4_Click();
    window->grab().save(QStringLiteral(MORVANE_BUILD_DIR "/window-about.png"));
}

// Thin strokes drawn smoothed never reach their colour; the font's bitmaps draw solid ones.
void TestLayout::textInFullColour_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("lbMsg, the new-version notice") << u"lbMsg"_s << skin::noticeRed;
    // the built-in names are all flagged: drawn in the report's colours (ZIG red)
    QTest::newRow("List, the names") << u"List"_s << skin::reportRed;
    QTest::newRow("lbTitle") << u"lbTitle"_s << skin::linkBlue;
    QTest::newRow("Label1, the list's heading") << u"Label1"_s << skin::headingGrey;
}

void TestLayout::textInFullColour()
{
    QFETCH(QString, name);
    QFETCH(QColor, colour);
    QFont other(u"DejaVu Sans"_s); // any other font keeps its antialiasing
    other.setPixelSize(12);
    QVERIFY(QFontInfo(other).family().startsWith(u"AR PL UMing"_s) ||
            !skin::drawsFromBitmaps(other));
    if (!skin::drawsFromBitmaps(skin::font(12)))
        QSKIP("AR PL UMing is not installed: other fonts keep their antialiasing");
    WindowFixture fx;
    auto window = fx.makeWindow();
    window->Form_Load();
    window->lbMsg->setCaption(u"发现新版本1.2"_s);
    window->lbMsg->show();
    auto *control = window->findChild<QWidget *>(name);
    QVERIFY(control);
    const QImage img = control->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int exact = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            exact += img.pixel(x, y) == colour.rgb();
    QVERIFY2(exact >= 20, qPrintable(u"%1 pixels of the exact colour"_s.arg(exact)));
}

// The names at the sizes the window shows them (code 12 px, list and report 13 px): no hole
// inside a name wider than the spacing between ordinary letters.
void TestLayout::latinNamesWhole_data()
{
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<int>("widestHole"); // as between Y and N: letters' own side bearings
    QTest::newRow("12 px") << 12 << 2;
    QTest::newRow("13 px") << 13 << 2;
}

void TestLayout::latinNamesWhole()
{
    QFETCH(int, pixelSize);
    QFETCH(int, widestHole);
    WindowFixture fx;
    auto window = fx.makeWindow(); // loads the pictures and faces
    const QFont font = skin::font(pixelSize);
    if (!skin::drawsFromBitmaps(font))
        QSKIP("no bitmap face here: smoothed text has no such holes");
    for (const QString &name :
         {u"ZIG"_s, u"FINANCE"_s, u"WINNER"_s, u"LWINNER"_s, u"ISLASTBAR"_s, u"PEAKBARS"_s,
          u"TDXDLL1"_s, u"FILTERX"_s, u"DYNAINFO"_s, u"CAPITAL"_s}) {
        QImage img(200, 20, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        p.setFont(font);
        p.setPen(Qt::black);
        p.drawText(10, 15, name);
        p.end();
        int first = -1, last = -1, run = 0, widest = 0;
        for (int x = 0; x < img.width(); ++x) {
            bool ink = false;
            for (int y = 0; y < img.height(); ++y)
                ink = ink || img.pixel(x, y) != QColor(Qt::white).rgb();
            if (!ink) {
                ++run;
                continue;
            }
            if (first >= 0)
                widest = std::max(widest, run);
            if (first < 0)
                first = x;
            last = x;
            run = 0;
        }
        QVERIFY(last > first);
        QVERIFY2(widest <= widestHole,
                 qPrintable(u"%1: a hole of %2 px (%3)"_s.arg(name).arg(widest).arg(
                     font.families().join(u","_s))));
    }
}

// Letters that UMing's strikes run into their neighbour ("K线" at 13 px) or draw as another
// ("N%" read as "NW"): at least one empty column between the two, each drawn alone at its
// place in the pair.
void TestLayout::lettersApart_data()
{
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<QString>("pair");
    for (int px : {12, 13}) {
        for (const QString &pair : {u"K线"_s, u"N%"_s, u"5%"_s, u"%数"_s, u"KD"_s, u"ZI"_s})
            QTest::addRow("%d px %s", px, qPrintable(pair)) << px << pair;
    }
}

void TestLayout::lettersApart()
{
    QFETCH(int, pixelSize);
    QFETCH(QString, pair);
    WindowFixture fx;
    auto window = fx.makeWindow(); // loads the pictures and faces
    const QFont font = skin::font(pixelSize);
    if (!skin::drawsFromBitmaps(font))
        QSKIP("no bitmap face here: smoothed text is drawn apart");
    const QFontMetrics fm(font);
    // The columns holding ink of `text` drawn at x.
    auto inked = [&](const QString &text, int x) {
        QImage img(60, 20, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        p.setFont(font);
        p.setPen(Qt::black);
        p.drawText(x, 15, text);
        p.end();
        std::pair<int, int> span{img.width(), -1};
        for (int c = 0; c < img.width(); ++c) {
            for (int y = 0; y < img.height(); ++y) {
                if (img.pixel(c, y) != QColor(Qt::white).rgb()) {
                    span = {std::min(span.first, c), std::max(span.second, c)};
                    break;
                }
            }
        }
        return span;
    };
    const QString first = pair.first(1), second = pair.sliced(1);
    // and the letters UMing draws wrong drawn by our own face (its "%" reads as "W")
    const QString ownLetters = pixelSize == 13 ? u"IK%"_s : u"I%"_s;
    for (const QString &letter : {first, second}) {
        QFont own(QFontInfo(font).family());
        own.setPixelSize(pixelSize);
        own.setStyleStrategy(QFont::NoAntialias);
        if (ownLetters.contains(letter)) {
            QVERIFY(QFontInfo(own).family().startsWith(u"Morvane Latin"_s));
            QVERIFY2(QRawFont::fromFont(own).supportsCharacter(letter.front()),
                     qPrintable(letter + u" is not in "_s + own.family()));
            QImage a(20, 20, QImage::Format_RGB32), b(20, 20, QImage::Format_RGB32);
            for (auto [img, f] : {std::pair{&a, font}, std::pair{&b, own}}) {
                img->fill(Qt::white);
                QPainter p(img);
                p.setFont(f);
                p.setPen(Qt::black);
                p.drawText(2, 15, letter);
            }
            QVERIFY2(a == b, qPrintable(letter + u" is not drawn by "_s + own.family()));
        }
    }
    const int leftEnd = inked(first, 10).second;
    const int rightStart = inked(second, 10 + fm.horizontalAdvance(first)).first;
    QVERIFY2(rightStart - leftEnd >= 2,
             qPrintable(u"%1 ends at %2, %3 starts at %4 (%5)"_s.arg(first)
                            .arg(leftEnd)
                            .arg(second)
                            .arg(rightStart)
                            .arg(QFontInfo(font).family())));
}

void TestLayout::listShowsFunctionList()
{
    WindowFixture fx;
    auto window = fx.makeWindow();
    QCOMPARE(window->List->count(), 23);
    QCOMPARE(window->List->item(0)->text(), u"ZIG"_s);
    QCOMPARE(window->List->item(22)->text(), u"#YEAR"_s);
}

void TestLayout::saveFilter()
{
    CommonDialog dialog;
    dialog.filter = u"文档文件(*.txt)|*.txt|所有文件(*.*)|*.*"_s;
    QCOMPARE(dialog.nameFilters(), QStringList({u"文档文件(*.txt)"_s, u"所有文件(*.*)"_s}));
    dialog.filter = u"Formulas|*.txt;*.fml"_s;
    QCOMPARE(dialog.nameFilters(), QStringList{u"Formulas (*.txt *.fml)"_s});
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
