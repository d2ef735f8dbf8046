#include "morvane_config.h"
#include "noticeserver.h"
#include "windowfixture.h"

#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(NoticeServer::Answer)

class TestNoticeWindow : public QObject
{
    Q_OBJECT

private slots:
    void labelsAfterStart_data();
    void labelsAfterStart();
    void noServerLeavesLayout();
    void links();
    void unsafeSponsorUrlOpensNothing_data();
    void unsafeSponsorUrlOpensNothing();
    void windowDoesNotWait_data();
    void windowDoesNotWait();
    void unchangedCaptionKeepsItsSize();
};

namespace {

// The notice answers from the event loop; every wait for it is bounded.
bool noticeDone(const fmFunctionCheck &w)
{
    return QTest::qWaitFor([&] { return !w.noticeFetch(); }, 10000);
}

} // namespace

void TestNoticeWindow::labelsAfterStart_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("ad");

    QTest::newRow("newer") << QByteArray("1.2|look here|http://s.example/") << u"发现新版本1.2"_s
                           << u"look here"_s;
    QTest::newRow("same") << QByteArray("1.1|look here|http://s.example/") << QString()
                          << u"look here"_s;
    QTest::newRow("html") << QByteArray("<b>1.2</b>|<img src=x>|http://s.example/") << QString()
                          << u"<img src=x>"_s;
}

void TestNoticeWindow::labelsAfterStart()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    QFETCH(QString, ad);
    NoticeServer server(NoticeServer::reply(200, body));
    WindowFixture fx;
    auto w = fx.makeWindow(server.url());
    w->Form_Load();
    QVERIFY(noticeDone(*w));
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(w->lbMsg->caption(), message);
    QCOMPARE(w->lbMsg->isVisibleTo(w.get()), !message.isEmpty());
    QCOMPARE(w->lbad->caption(), ad);
    QCOMPARE(w->lbad->textFormat(), Qt::PlainText);
    QCOMPARE(w->lbadURL->caption(), u"http://s.example/"_s);
    QVERIFY(w->lbNewVersion->isHidden());
    // The list still loads after the notice.
    QCOMPARE(w->List->count(), 23);
}

void TestNoticeWindow::noServerLeavesLayout()
{
    WindowFixture fx;
    auto w = fx.makeWindow(QUrl(u"http://127.0.0.1:%1/v.txt"_s.arg(NoticeServer::closedPort())));
    w->Form_Load();
    QVERIFY(noticeDone(*w));
    for (SkinLabel *label : {w->lbMsg, w->lbad, w->lbadURL, w->lbNewVersion})
        QCOMPARE(label->caption(), QString());
    QVERIFY(w->lbMsg->isVisibleTo(w.get()));
    QVERIFY(w->lbad->isVisibleTo(w->PanelInfo));
    QCOMPARE(w->List->count(), 23);

    // Blank captions open nothing.
    w->lbMsg_Click();
    w->lbad_Click();
    QVERIFY(fx.openedUrls.isEmpty());
    w->lblink_Click();
    QCOMPARE(fx.openedUrls, QList<QUrl>{QUrl(QString::fromUtf8(MORVANE_HOME_URL))});
}

void TestNoticeWindow::links()
{
    NoticeServer server(NoticeServer::reply(200, "1.5|sponsor|  http://s.example/go\r\n"));
    WindowFixture fx;
    auto w = fx.makeWindow(server.url());
    w->Form_Load();
    QVERIFY(noticeDone(*w));
    QCOMPARE(w->lbadURL->caption(), u"  http://s.example/go\r\n"_s); // stored as sent
    QTest::mouseClick(w->lbMsg, Qt::LeftButton, {}, {3, 3});
    QTest::mouseClick(w->lbad, Qt::LeftButton, {}, {3, 3});
    QTest::mouseClick(w->lblink, Qt::LeftButton, {}, {3, 3});
    QCOMPARE(fx.openedUrls, QList<QUrl>({QUrl(QString::fromUtf8(MORVANE_DOWNLOAD_URL)),
                                         QUrl(u"http://s.example/go"_s),
                                         QUrl(QString::fromUtf8(MORVANE_HOME_URL))}));
}

void TestNoticeWindow::unsafeSponsorUrlOpensNothing_data()
{
    QTest::addColumn<QByteArray>("url");
    QTest::newRow("file") << QByteArray("file:///etc/passwd");
    QTest::newRow("mailto") << QByteArray("mailto:a@s.example");
}

void TestNoticeWindow::unsafeSponsorUrlOpensNothing()
{
    QFETCH(QByteArray, url);
    NoticeServer server(NoticeServer::reply(200, "1.1|click me|" + url));
    WindowFixture fx;
    auto w = fx.makeWindow(server.url());
    w->Form_Load();
    w->show();
    QVERIFY(noticeDone(*w));
    QCOMPARE(w->lbad->caption(), u"click me"_s);
    w->lbad_Click();
    QVERIFY(fx.openedUrls.isEmpty());
}

void TestNoticeWindow::windowDoesNotWait_data()
{
    QTest::addColumn<NoticeServer::Answer>("answer");
    QTest::newRow("silence") << NoticeServer::Answer([](QTcpSocket *, const QByteArray &) {});
    QTest::newRow("endless header lines")
        << NoticeServer::endless("HTTP/1.1 200 OK\r\n", "X-A: a\r\n");
}

// Start-up waited for the network, 3 s for a silent server and 8 s for endless headers;
// now the window is up at once, and closing it drops the connection.
void TestNoticeWindow::windowDoesNotWait()
{
    QFETCH(NoticeServer::Answer, answer);
    NoticeServer server(answer);
    WindowFixture fx;
    auto services = fx.services(server.url());
    services.noticeLimits.timeoutMs = 60000;
    fmFunctionCheck w(services);
    w.Form_Load();
    QVERIFY(w.noticeFetch());
    QCOMPARE(w.List->count(), 23);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w, 5000));
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 5000);
    w.close();
    QVERIFY(!w.noticeFetch());
    QTRY_VERIFY_WITH_TIMEOUT(server.clientsGone(), 5000);
    for (SkinLabel *label : {w.lbMsg, w.lbad, w.lbadURL, w.lbNewVersion})
        QCOMPARE(label->caption(), QString());
}

// A notice that names no sponsor rewrites lbad's empty caption with itself; the label
// shrank to nothing and its page lost the tooltip, the hand and the hover colour.
void TestNoticeWindow::unchangedCaptionKeepsItsSize()
{
    NoticeServer server(NoticeServer::reply(200, "1.1"));
    WindowFixture fx;
    auto w = fx.makeWindow(server.url());
    w->Form_Load();
    const QRect before = w->lbad->geometry();
    QVERIFY(noticeDone(*w));
    QCOMPARE(w->lbNewVersion->caption(), u"1.1"_s); // the answer was applied
    QCOMPARE(w->lbad->caption(), QString());
    QCOMPARE(w->lbad->geometry(), before);
    QVERIFY(before.width() > 0);
}

QTEST_MAIN(TestNoticeWindow)
#include "tst_notice_window.moc"
