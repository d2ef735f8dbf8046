#include "formulaassist.h"
#include "formulahighlighter.h"
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
    QTest::newRow("future") << u"A:zig(3,5);"_s << u"zig"_s << u"ZIG · 用到后面的K线\n"_s;
    QTest::newRow("drift suffix") << u"A:C#WEEK;"_s << u"#WEEK"_s
                                  << u"#WEEK · 新数据会改写历史\n"_s;
    QTest::newRow("last bar") << u"A:ISLASTBAR;"_s << u"ISLASTBAR"_s
                              << u"ISLASTBAR · 随最后一根K线变化\n"_s;
    QTest::newRow("plain name") << u"A:MA(C,5);"_s << u"MA"_s << QString();
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

QTEST_MAIN(TestFormulaAssist)
#include "tst_formulaassist.moc"
