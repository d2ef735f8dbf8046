#include "noticefetch.h"
#include "noticeserver.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace morvane;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(NoticeServer::Answer)

namespace {

// The fetch as the window runs it, waited for here; every wait bounded.
NoticeResponse fetchNotice(const QUrl &url, const NoticeFetchLimits &limits = {})
{
    NoticeFetch fetch;
    QSignalSpy spy(&fetch, &NoticeFetch::finished);
    fetch.start(url, limits);
    if (!spy.wait(limits.timeoutMs + 5000) || spy.size() != 1)
        return {false, "<no single answer>"};
    return spy.at(0).at(0).value<NoticeResponse>();
}

} // namespace

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
    void endlessAnswerIsDropped_data();
    void endlessAnswerIsDropped();
    void cancelCloses();
    void httpsAgainstPlainServer();
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
    QTest::newRow("after 100 Continue")
        << NoticeServer::Answer([](QTcpSocket *s, const QByteArray &) {
               s->write("HTTP/1.1 100 Continue\r\n\r\n" + NoticeServer::response(200, "1.2"));
               s->disconnectFromHost();
           })
        << true << QByteArray("1.2");
    QTest::newRow("chunked") << NoticeServer::Answer([](QTcpSocket *s, const QByteArray &) {
        s->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "3;x=y\r\n1.2\r\n2\r\n|a\r\n0\r\nX-Trailer: 1\r\n\r\n");
        s->disconnectFromHost();
    }) << true << QByteArray("1.2|a");
    // Qt's client took these now and then for whole answers.
    QTest::newRow("chunk cut short") << NoticeServer::Answer([](QTcpSocket *s, const QByteArray &) {
        s->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40\r\n1.2|x");
        s->disconnectFromHost();
    }) << false << QByteArray();
    QTest::newRow("garbled chunk size") << NoticeServer::Answer([](QTcpSocket *s,
                                                                   const QByteArray &) {
        s->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\n1.2|x\r\n0\r\n\r\n");
        s->disconnectFromHost();
    }) << false << QByteArray();
    QTest::newRow("redirect to a file")
        << NoticeServer::reply(302, "", "Location: file:///etc/passwd\r\n") << false
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

void TestNoticeFetch::endlessAnswerIsDropped_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<QByteArray>("unit");

    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("endless header line") << ok + "X-A: " << QByteArray(4096, 'a');
    QTest::newRow("endless header lines") << ok << QByteArray("X-A: a\r\n");
    QTest::newRow("endless 100 Continue")
        << QByteArray() << QByteArray("HTTP/1.1 100 Continue\r\n\r\n");
    QTest::newRow("endless body") << ok + "Connection: close\r\n\r\n" << QByteArray(4096, 'b');
    QTest::newRow("endless chunks") << ok + "Transfer-Encoding: chunked\r\n\r\n"
                                    << QByteArray("1000\r\n" + QByteArray(4096, 'c') + "\r\n");
}

// The caps end the exchange, not the bound, and the connection closes with it: Qt's client
// read on in its own thread after the bound, about 120 MB of an endless body.
void TestNoticeFetch::endlessAnswerIsDropped()
{
    QFETCH(QByteArray, head);
    QFETCH(QByteArray, unit);
    NoticeServer server(NoticeServer::endless(head, unit));
    const NoticeResponse response = fetchNotice(server.url(), {60000, 65536});
    QVERIFY(!response.completed);
    QVERIFY(response.body.isEmpty());
#ifdef Q_OS_WIN
    // The client closes at its first 4 KiB with the rest unread; Wine never tells the server
    // of that reset while the server's sends are blocked.
    if (unit.startsWith("HTTP/1.1 100"))
        QSKIP("the server does not see the client's reset under Wine");
#endif
    QTRY_VERIFY_WITH_TIMEOUT(server.clientsGone(), 5000);
    QVERIFY2(server.sent < 32 * 1024 * 1024, QByteArray::number(server.sent).constData());
}

void TestNoticeFetch::cancelCloses()
{
    NoticeServer server([](QTcpSocket *, const QByteArray &) {}); // never answers
    NoticeFetch fetch;
    QSignalSpy spy(&fetch, &NoticeFetch::finished);
    fetch.start(server.url());
    QTRY_COMPARE_WITH_TIMEOUT(server.requests.size(), 1, 5000);
    fetch.cancel();
    QVERIFY(!fetch.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(server.clientsGone(), 5000);
    QTest::qWait(50);
    QCOMPARE(spy.size(), 0);
}

// TLS spoken to a plain server: the exchange ends, bounded, with no answer.
void TestNoticeFetch::httpsAgainstPlainServer()
{
    NoticeServer server(NoticeServer::reply(200, "1.2"));
    QUrl url = server.url();
    url.setScheme(u"https"_s);
    QVERIFY(!fetchNotice(url, {1000, 65536}).completed);
}

QTEST_GUILESS_MAIN(TestNoticeFetch)
#include "tst_noticefetch.moc"
