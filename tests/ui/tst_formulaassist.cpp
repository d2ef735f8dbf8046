#include "catalog.h"
#include "formulaassist.h"
#include "formulahighlighter.h"
#include "knowledge.h"
#include "windowfixture.h"

#include <QTest>
#include <QTextBlock>
#include <QTextLayout>

using namespace morvane;
using namespace Qt::StringLiterals;

namespace {

// Where a piece of text shows in an editor's viewport.
QPoint pointAt(QPlainTextEdit *edit, const QString &piece, qsizetype skip = 0)
{
    const qsizetype at = edit->toPlainText().indexOf(piece, skip);
    QTextCursor c(edit->document());
    c.setPosition(static_cast<int>(at + 1));
    return edit->cursorRect(c).center();
}

} // namespace

class TestFormulaAssist : public QObject
{
    Q_OBJECT

private slots:
    void report_data();
    void report();
    void codeToolTips_data();
    void codeToolTips();
    void hitLineToolTips_data();
    void hitLineToolTips();
    void doubleClickSelectsNextOccurrence();
    void jumpCentresLine_data();
    void jumpCentresLine();
    void listToolTips_data();
    void listToolTips();
    void everyCatalogueNameHasHelp();
    void colours();
    void keystrokeTouchesOneBlock();
};

void TestFormulaAssist::report_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QString>("report");
    QTest::addColumn<bool>("red");
    const QString none = u" 没有发现未来函数。"_s;
    // The list's hit in a comment no longer counts: a grey line says why.
    QTest::newRow("comment hit told apart")
        << u"{ZIG} MA(C,5);"_s << none + u"\n 不算 ZIG：只出现在注释中"_s << false;
    QTest::newRow("clean") << u"MA(C,5);"_s << none << false;
    // A failure reported as success: the list misses these, the formula calls them.
    QTest::newRow("refx") << u"X:REFX(C,1);"_s << u" 发现未来函数 REFX"_s << true;
    QTest::newRow("negative ref") << u"A:=REF(C,-1);B:BARSNEXT(A>C);"_s
                                  << u" 发现未来函数 REF\n 发现未来函数 BARSNEXT"_s << true;
    QTest::newRow("suffix outside the list")
        << u"W:C#MIN15;"_s << u" 发现未来函数 #MIN15"_s << true;
    // Warnings alone do not turn the report red, but they are told.
    QTest::newRow("last bar only")
        << u"X:CURRBARSCOUNT;"_s << none + u"\n 末根提示 CURRBARSCOUNT"_s << false;
}

void TestFormulaAssist::report()
{
    QFETCH(QString, formula);
    QFETCH(QString, report);
    QFETCH(bool, red);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(formula);
    w->btnCheck_Click();
    QCOMPARE(headlines(w->reportText()), report);
    QCOMPARE(w->txtResult->palette().color(QPalette::Text),
             red ? QColor(255, 0, 0) : QColor(0, 128, 0));
}

void TestFormulaAssist::codeToolTips_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QString>("at");
    QTest::addColumn<QString>("tip"); // the start of it; "" = no tip
    // Class in Chinese with its meaning, then the definition, then the reason.
    QTest::newRow("future") << u"A:zig(3,5);"_s << u"zig"_s
                            << u"ZIG · 未来函数：用到后面的K线\nZIG(K,N)："_s;
    QTest::newRow("drift suffix") << u"A:C#WEEK;"_s << u"#WEEK"_s
                                  << u"#WEEK · 数据漂移：新数据会改写历史\n#WEEK：跨周期"_s;
    QTest::newRow("last bar") << u"A:ISLASTBAR;"_s << u"ISLASTBAR"_s
                              << u"ISLASTBAR · 末根提示：随最后一根K线变化\n"_s;
    // Every function gets its definition; plain ones no class.
    QTest::newRow("plain name") << u"A:MA(C,5);"_s << u"MA"_s
                                << u"MA\nMA(X,N)：X的N日简单移动平均"_s;
    QTest::newRow("REF by its offset")
        << u"A:REF(C,1);"_s << u"REF"_s << u"REF\nREF(X,N)：N个周期之前的X值"_s;
    QTest::newRow("unknown name") << u"X:FOO(1);"_s << u"FOO"_s << QString();
    QTest::newRow("in a comment") << u"{ZIG}\nA:1;"_s << u"ZIG"_s << QString();
}

void TestFormulaAssist::codeToolTips()
{
    QFETCH(QString, formula);
    QFETCH(QString, at);
    QFETCH(QString, tip);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(formula);
    const QString shown = w->formulaAssist()->codeToolTip(pointAt(w->txtCode, at));
    QVERIFY2(tip.isEmpty() ? shown.isEmpty() : shown.startsWith(tip), qPrintable(shown));
}

void TestFormulaAssist::hitLineToolTips_data()
{
    QTest::addColumn<QString>("formula");
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("tip");
    QTest::newRow("not counted") << u"{ZIG(3,5)}\nA:MA(C,5);"_s << u" 不算 ZIG"_s
                                 << u"旧的按文字查找会报告 ZIG"_s;
    QTest::newRow("counted") << u"A:=1;\nB:ZIG(3,5);"_s << u" 发现未来函数 ZIG"_s
                             << u"用到后面的K线：之字转向"_s; // reason, then where
}

void TestFormulaAssist::hitLineToolTips()
{
    QFETCH(QString, formula);
    QFETCH(QString, line);
    QFETCH(QString, tip);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->txtCode->setPlainText(formula);
    w->btnCheck_Click();
    const QString shown = w->formulaAssist()->resultToolTip(pointAt(w->txtResult, line));
    QVERIFY2(shown.startsWith(tip), qPrintable(shown));
}

void TestFormulaAssist::doubleClickSelectsNextOccurrence()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get(), 5000));
    w->txtCode->setPlainText(u"{zig} A:zig(3,5);\nB:ZIG(2,5);"_s);
    w->btnCheck_Click();
    const QPoint hit = pointAt(w->txtResult, u"ZIG"_s);
    for (int expected : {8, 20, 8}) { // the comment never: it does not count
        QTest::mouseDClick(w->txtResult->viewport(), Qt::LeftButton, {}, hit);
        QVERIFY(w->PanelCode->isVisible());
        QCOMPARE(w->txtCode->textCursor().selectionStart(), expected);
        QCOMPARE(w->txtCode->textCursor().selectedText().toUpper(), u"ZIG"_s);
        w->PanelInfo->setVisible(true); // back to the report, as after the check
        w->PanelCode->setVisible(false);
    }
}

void TestFormulaAssist::colours()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->txtCode->setPlainText(
        u"{ a\nZIG }\nA:ZIG(3,5)#WEEK;'ZIG'\nB:REF(C,-1)+REF(C,1);\"KDJ.K#WEEK\""_s);
    auto formatAt = [&](int blockNumber, int column) {
        const QTextBlock block = w->txtCode->document()->findBlockByNumber(blockNumber);
        for (const QTextLayout::FormatRange &r : block.layout()->formats()) {
            if (column >= r.start && column < r.start + r.length)
                return r.format;
        }
        return QTextCharFormat();
    };
    QCOMPARE(formatAt(1, 0).foreground().color(), QColor(128, 128, 128)); // comment, line 2
    QCOMPARE(formatAt(2, 2).foreground().color(), QColor(255, 0, 0));     // ZIG
    QCOMPARE(formatAt(2, 11).foreground().color(), QColor(224, 112, 0));  // #WEEK
    QCOMPARE(formatAt(2, 18).foreground().color(), QColor(0, 128, 128));  // 'ZIG'
    QCOMPARE(formatAt(3, 2).foreground().color(), QColor(255, 0, 0));     // REF(C,-1)
    QVERIFY(!formatAt(3, 13).hasProperty(QTextFormat::ForegroundBrush));  // REF(C,1)
    QCOMPARE(formatAt(3, 27).foreground().color(), QColor(224, 112, 0));  // "KDJ.K#WEEK"
}

void TestFormulaAssist::keystrokeTouchesOneBlock()
{
    WindowFixture fx;
    auto w = fx.makeWindow();
    QStringList lines;
    for (int i = 0; i < 10000; ++i)
        lines << u"V%1:=MA(C,%1)+ZIG(3,5); {note %1}"_s.arg(i);
    w->txtCode->setPlainText(lines.join(u'\n'));
    const FormulaHighlighter *h = w->formulaAssist()->highlighter();
    const qint64 before = h->highlightedBlocks();
    QTextCursor c(w->txtCode->document()->findBlockByNumber(5000));
    c.insertText(u"X"_s);
    QCOMPARE(h->highlightedBlocks() - before, 1);
    // A comment opened at the end of a line runs into the next one, which closes it.
    c.movePosition(QTextCursor::EndOfBlock);
    c.insertText(u"{"_s);
    QCOMPARE(h->highlightedBlocks() - before, 1 + 2);
    // A paste of many MiB is left plain, and coloured again once it is gone.
    w->txtCode->setPlainText(QString(FormulaHighlighter::kMaxCharacters, u'A'));
    QVERIFY(!h->document());
    w->txtCode->setPlainText(u"ZIG"_s);
    QCOMPARE(h->document(), w->txtCode->document());
}

void TestFormulaAssist::jumpCentresLine_data()
{
    QTest::addColumn<int>("line"); // where ZIG stands, 0 first
    QTest::newRow("far down") << 80;
    QTest::newRow("just below the first screen") << 30;
    QTest::newRow("last line") << 119;
}

// The selected name sits in the box with lines below it, not on the bottom edge.
void TestFormulaAssist::jumpCentresLine()
{
    QFETCH(int, line);
    WindowFixture fx;
    auto w = fx.makeWindow();
    w->Form_Load();
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get(), 5000));
    QStringList lines;
    for (int i = 0; i < 120; ++i)
        lines << (i == line ? u"X:ZIG(3,5);"_s : u"V%1:MA(C,%1);"_s.arg(i + 1));
    w->txtCode->setPlainText(lines.join(u'\n'));
    w->btnCheck_Click();
    QTest::mouseDClick(w->txtResult->viewport(), Qt::LeftButton, {},
                       pointAt(w->txtResult, u"ZIG"_s));
    QCOMPARE(w->txtCode->textCursor().blockNumber(), line);
    const QRect at = w->txtCode->cursorRect();
    const int rowHeight = w->txtCode->fontMetrics().height();
    const int viewHeight = w->txtCode->viewport()->height();
    QVERIFY2(at.top() >= 0 && at.bottom() < viewHeight, "the line is not in view");
    // Lines follow below it, except where the formula ends there.
    if (line + 2 < lines.size())
        QVERIFY2(at.bottom() + rowHeight < viewHeight - rowHeight,
                 qPrintable(u"row at %1 of %2"_s.arg(at.top()).arg(viewHeight)));
}

void TestFormulaAssist::listToolTips_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("tip"); // the start of it
    QTest::addColumn<QColor>("colour");
    QTest::newRow("future") << u"ZIG"_s << u"ZIG · 未来函数：用到后面的K线\nZIG(K,N)："_s
                            << skin::reportRed;
    QTest::newRow("drift") << u"FINANCE"_s << u"FINANCE · 数据漂移：新数据会改写历史\n"_s
                           << skin::reportDrift;
    QTest::newRow("suffix") << u"#MONTH"_s << u"#MONTH · 数据漂移"_s << skin::reportDrift;
    QTest::newRow("spaces and case as loaded")
        << u"  zig  "_s << u"ZIG · 未来函数"_s << skin::reportRed;
    QTest::newRow("last bar") << u"ISLASTBAR"_s << u"ISLASTBAR · 末根提示"_s << skin::reportWarning;
    QTest::newRow("unknown to both")
        << u"MYFUNC"_s << u"MYFUNC · 列表中的名字\n函数列表 list.txt"_s << skin::linkBlue;
}

void TestFormulaAssist::listToolTips()
{
    QFETCH(QString, entry);
    QFETCH(QString, tip);
    WindowFixture fx;
    QFile list(fx.listPath());
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write(u"XMA\r\n%1\r\n"_s.arg(entry).toUtf8());
    list.close();
    auto w = fx.makeWindow();
    w->Form_Load();
    QCOMPARE(w->List->count(), 2);
    QVERIFY(!w->List->item(0)->toolTip().isEmpty());
    const QString shown = w->List->item(1)->toolTip();
    QVERIFY2(shown.startsWith(tip), qPrintable(shown));
    // the report's colour of its class, so that the list and the report agree
    QFETCH(QColor, colour);
    const QBrush brush = w->List->item(1)->foreground();
    QCOMPARE(brush.style() == Qt::NoBrush ? w->List->palette().color(QPalette::Text)
                                          : brush.color(),
             colour);
}

// Each name of the catalogue: its definition, and its class where it is flagged.
void TestFormulaAssist::everyCatalogueNameHasHelp()
{
    for (const formula::CatalogEntry &e : formula::catalog()) {
        const QString help = functionHelp(e.name);
        QVERIFY2(help.contains(e.definition), qPrintable(e.name));
        const QString word = e.cls == formula::FunctionClass::Future    ? u" · 未来函数"_s
                             : e.cls == formula::FunctionClass::Drift   ? u" · 数据漂移"_s
                             : e.cls == formula::FunctionClass::LastBar ? u" · 末根提示"_s
                                                                        : QString();
        const formula::KnownName *known = formula::knownName(e.name);
        const QString first = help.section(u'\n', 0, 0);
        if (!word.isEmpty() && !(known && known->negativeOffsetOnly))
            QVERIFY2(first.startsWith(e.name + word + u"："_s), qPrintable(help));
        else
            QCOMPARE(first, e.name);
    }
}

QTEST_MAIN(TestFormulaAssist)
#include "tst_formulaassist.moc"
