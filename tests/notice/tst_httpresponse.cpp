#include "httpresponse.h"

#include <QTest>

using namespace morvane;

using State = HttpResponseParser::State;
Q_DECLARE_METATYPE(HttpResponseParser::State)

class TestHttpResponse : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

void TestHttpResponse::parse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<State>("state"); // after the close
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    QTest::newRow("until the close, LF only") << QByteArray("HTTP/1.0 200\nX: y\n\n1.2|a")
                                              << State::Complete << 200 << QByteArray("1.2|a");
    QTest::newRow("folded header, trailing bytes ignored")
        << ok + "X: a\r\n b\r\nContent-Length: 3\r\n\r\n1.2junk" << State::Complete << 200
        << QByteArray("1.2");
    QTest::newRow("equal lengths") << ok + "Content-Length: 2, 2\r\nContent-Length: 2\r\n\r\nab"
                                   << State::Complete << 200 << QByteArray("ab");
    QTest::newRow("conflicting lengths") << ok + "Content-Length: 2\r\nContent-Length: 3\r\n\r\nabc"
                                         << State::Failed << 200 << QByteArray();
    QTest::newRow("signed length")
        << ok + "Content-Length: +2\r\n\r\nab" << State::Failed << 200 << QByteArray();
    QTest::newRow("gzip coding runs to the close")
        << ok + "Transfer-Encoding: gzip\r\nContent-Length: 1\r\n\r\nabc" << State::Complete << 200
        << QByteArray("abc");
    QTest::newRow("204 has no body")
        << QByteArray("HTTP/1.1 204 No\r\n\r\nabc") << State::Complete << 204 << QByteArray();
    QTest::newRow("101 was never asked for")
        << QByteArray("HTTP/1.1 101 Up\r\n\r\n") << State::Failed << 101 << QByteArray();
    QTest::newRow("nine interim answers")
        << QByteArray("HTTP/1.1 100 C\r\n\r\n").repeated(9) + ok + "\r\n"
        << State::Failed << 100 << QByteArray();
    QTest::newRow("HTTP/2 status line")
        << QByteArray("HTTP/2 200\r\n\r\n") << State::Failed << 0 << QByteArray();
    QTest::newRow("head over 64 KiB") << ok + "X: " + QByteArray(70000, 'x') + "\r\n\r\n"
                                      << State::Failed << 200 << QByteArray();
    QTest::newRow("101 header lines") << ok + QByteArray("X: y\r\n").repeated(101) + "\r\n"
                                      << State::Failed << 200 << QByteArray();
    QTest::newRow("chunk larger than the cap") << ok + "Transfer-Encoding: chunked\r\n\r\n10001\r\n"
                                               << State::Failed << 200 << QByteArray();
    QTest::newRow("chunk size overflows")
        << ok + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n"
        << State::Failed << 200 << QByteArray();
    QTest::newRow("chunk without its line end")
        << ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nabX\r\n0\r\n\r\n"
        << State::Failed << 200 << QByteArray();
    QTest::newRow("no last chunk") << ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nab\r\n"
                                   << State::Failed << 200 << QByteArray();
}

// Whole or a byte at a time, the same response.
void TestHttpResponse::parse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(State, state);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    HttpResponseParser whole;
    whole.feed(bytes);
    HttpResponseParser bytewise;
    for (const char c : bytes)
        bytewise.feed(QByteArrayView(&c, 1));
    for (HttpResponseParser *p : {&whole, &bytewise}) {
        QCOMPARE(p->finish(), state);
        QCOMPARE(p->status(), status);
        QCOMPARE(p->body(), body);
    }
}

QTEST_APPLESS_MAIN(TestHttpResponse)
#include "tst_httpresponse.moc"
