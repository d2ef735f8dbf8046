#include "morvane_config.h"
#include "noticeserver.h"
#include "windowfixture.h"

#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

class TestNoticeWindow : public QObject
{
    Q_OBJECT

private slots:
    void labelsAfterStart_data();
    void labelsAfterStart();
    void noServerLeavesLayout();
    void links();
    void unsafeSponsorUrlOpensNothing();
};

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
    QCOMPARE(w->lbadURL->caption(), u"  http://s.example/go\r\n"_s); // stored as sent
    QTest::mouseClick(w->lbMsg, Qt::LeftButton, {}, {3, 3});
    QTest::mouseClick(w->lbad, Qt::LeftButton, {}, {3, 3});
    QTest::mouseClick(w->lblink, Qt::LeftButton, {}, {3, 3});
    QCOMPARE(fx.openedUrls, QList<QUrl>({QUrl(QString::fromUtf8(MORVANE_DOWNLOAD_URL)),
                                         QUrl(u"http://s.example/go"_s),
                                         QUrl(QString::fromUtf8(MORVANE_HOME_URL))}));
}

void TestNoticeWindow::unsafeSponsorUrlOpensNothing()
{
    NoticeServer server(NoticeServer::reply(200, "1.1|click me|file:///etc/passwd"));
    WindowFixture fx;
    auto w = fx.makeWindow(server.url());
    w->Form_Load();
    QCOMPARE(w->lbad->caption(), u"click me"_s);
    w->lbad_Click();
    QVERIFY(fx.openedUrls.isEmpty());
}

QTEST_MAIN(TestNoticeWindow)
#include "tst_notice_window.moc"
