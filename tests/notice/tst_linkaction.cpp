#include "linkaction.h"

#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

class TestLinkAction : public QObject
{
    Q_OBJECT

private slots:
    void target_data();
    void target();
};

void TestLinkAction::target_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QUrl>("fixed");
    QTest::addColumn<QString>("expected"); // "" = nothing opened

    const QUrl none;
    const QUrl download(u"http://www.morvane.example/index.html"_s);
    QTest::newRow("blank") << u"   "_s << none << QString();
    QTest::newRow("empty") << QString() << none << QString();
    QTest::newRow("plain") << u"http://s.example/a?b=1"_s << none << u"http://s.example/a?b=1"_s;
    QTest::newRow("spaces trimmed")
        << u"  https://s.example/  "_s << none << u"https://s.example/"_s;
    QTest::newRow("line break trimmed")
        << u"http://s.example/x\r\n"_s << none << u"http://s.example/x"_s;
    QTest::newRow("upper-case scheme") << u"HTTP://S.example/"_s << none << u"http://s.example/"_s;
    // Strict parsing refused these, so the sponsor link did nothing.
    QTest::newRow("space") << u"http://s.example/a b"_s << none << u"http://s.example/a%20b"_s;
    QTest::newRow("braces and quote")
        << u"http://s.example/{x}?q=\"y\""_s << none << u"http://s.example/%7Bx%7D?q=%22y%22"_s;
    QTest::newRow("angle brackets and caret")
        << u"https://s.example/<a>^b"_s << none << u"https://s.example/%3Ca%3E%5Eb"_s;
    QTest::newRow("bare percent") << u"http://s.example/100%"_s << none
                                  << u"http://s.example/100%25"_s;
    QTest::newRow("mailto") << u"mailto:a@s.example"_s << none << QString();
    QTest::newRow("file url") << u"file:///etc/passwd"_s << none << QString();
    QTest::newRow("program path") << u"/usr/bin/xterm"_s << none << QString();
    QTest::newRow("windows path") << u"C:\\Windows\\System32\\calc.exe"_s << none << QString();
    QTest::newRow("javascript") << u"javascript:alert(1)"_s << none << QString();
    QTest::newRow("no host") << u"http://"_s << none << QString();
    QTest::newRow("notice opens the download page")
        << u"发现新版本1.2"_s << download << download.toString();
    QTest::newRow("blank notice opens nothing") << QString() << download << QString();
}

void TestLinkAction::target()
{
    QFETCH(QString, caption);
    QFETCH(QUrl, fixed);
    QFETCH(QString, expected);
    const std::optional<QUrl> url = linkTarget(caption, fixed);
    QCOMPARE(url.has_value(), !expected.isEmpty());
    if (url)
        QCOMPARE(url->toString(QUrl::FullyEncoded), expected);
}

QTEST_GUILESS_MAIN(TestLinkAction)
#include "tst_linkaction.moc"
