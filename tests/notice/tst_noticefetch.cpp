#include "noticefetch.h"
#include "noticeserver.h"

#include <QElapsedTimer>
#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(NoticeServer::Answer)

class TestNoticeFetch : public QObject
{
    Q_OBJECT

private slots:
    void requestAsSent();
    void answers_data();
    void answers();
    void refusedConnection();
    void silentServerEndsWithinBound();
    void redirect();
    void notHttp();
};

void TestNoticeFetch::requestAsSent()
{
    NoticeServer server(NoticeServer::reply(200, "1.1"));
    fetchNotice(server.url());
    QCOMPARE(server.requests.size(), 1);
    const QByteArray head = server.requests[0];
    QVERIFY2(head.startsWith("GET /v.txt HTTP/1.1\r\n"), head.constData());
    QVERIFY(head.contains("\r\nIf-Modified-Since: 0\r\n"));
    QVERIFY(head.contains("\r\nCache-Control: no-cache\r\n"));
}

void TestNoticeFetch::answers_data()
{
    QTest::addColumn<NoticeServer::Answer>("answer");
    QTest::addColumn<bool>("completed");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("notice") << NoticeServer::reply(200, "1.2|ad|http://s.example/") << true
                            << QByteArray("1.2|ad|http://s.example/");
    QTest::newRow("empty body") << NoticeServer::reply(200, "") << true << QByteArray();
    QTest::newRow("404 page") << NoticeServer::reply(404, "<html>Not Found</html>") << true
                              << QByteArray("<html>Not Found</html>");
    QTest::newRow("500 page") << NoticeServer::reply(500, "oops") << true << QByteArray("oops");
    QTest::newRow("at the cap") << NoticeServer::reply(200, QByteArray(65536, 'x')) << true
                                << QByteArray(65536, 'x');
    QTest::newRow("over the cap") << NoticeServer::reply(200, QByteArray(65537, 'x')) << false
                                  << QByteArray();
    QTest::newRow("over the cap, no length")
        << NoticeServer::Answer([](QTcpSocket *s, const QByteArray &) {
               s->write("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + QByteArray(200000, 'x'));
               s->disconnectFromHost();
           })
        << false << QByteArray();
    QTest::newRow("closed before answering")
        << NoticeServer::Answer([](QTcpSocket *s, const QByteArray &) { s->abort(); }) << false
        << QByteArray();
    QTest::newRow("cut in the body") << NoticeServer::Answer([](QTcpSocket *s, const QByteArray &) {
        s->write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n1.2|a");
        s->flush();
        s->disconnectFromHost();
    }) << false << QByteArray();
}

void TestNoticeFetch::answers()
{
    QFETCH(NoticeServer::Answer, answer);
    QFETCH(bool, completed);
    QFETCH(QByteArray, body);
    NoticeServer server(answer);
    const NoticeResponse response = fetchNotice(server.url());
    QCOMPARE(response.completed, completed);
    QCOMPARE(response.body, body);
}

void TestNoticeFetch::refusedConnection()
{
    const NoticeResponse response =
        fetchNotice(QUrl(u"http://127.0.0.1:%1/v.txt"_s.arg(NoticeServer::closedPort())));
    QVERIFY(!response.completed);
}

void TestNoticeFetch::silentServerEndsWithinBound()
{
    NoticeServer server([](QTcpSocket *, const QByteArray &) {}); // accepts, never answers
    QElapsedTimer clock;
    clock.start();
    const NoticeResponse response = fetchNotice(server.url(), {300, 65536});
    QVERIFY(!response.completed);
    QVERIFY(clock.elapsed() < 10000); // it ended: a hang would run on forever
}

void TestNoticeFetch::redirect()
{
    NoticeServer server;
    server.setAnswer([&](QTcpSocket *s, const QByteArray &head) {
        if (head.startsWith("GET /v.txt"))
            s->write(NoticeServer::response(302, "", "Location: /moved.txt\r\n"));
        else
            s->write(NoticeServer::response(200, "1.3"));
        s->disconnectFromHost();
    });
    const NoticeResponse response = fetchNotice(server.url());
    QVERIFY(response.completed);
    QCOMPARE(response.body, QByteArray("1.3"));
    QCOMPARE(server.requests.size(), 2);
}

void TestNoticeFetch::notHttp()
{
    QVERIFY(!fetchNotice(QUrl()).completed);
    QVERIFY(!fetchNotice(QUrl(u"file:///etc/hostname"_s)).completed);
}

QTEST_GUILESS_MAIN(TestNoticeFetch)
#include "tst_noticefetch.moc"
