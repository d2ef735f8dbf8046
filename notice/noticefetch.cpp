#include "noticefetch.h"

#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

namespace morvane {

namespace {

bool isWebUrl(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == u"http" || scheme == u"https");
}

bool isRedirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The request Qt's client sent, less what asks for compressed or kept-alive connections.
QByteArray requestHead(const QUrl &url)
{
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int defaultPort = url.scheme().toLower() == u"https" ? 443 : 80;
    if (url.port(defaultPort) != defaultPort)
        host += ':' + QByteArray::number(url.port());
    return "GET " + target + " HTTP/1.1\r\nHost: " + host +
           "\r\nIf-Modified-Since: 0\r\nCache-Control: no-cache\r\n"
           "Accept-Encoding: identity\r\nUser-Agent: Mozilla/5.0\r\nConnection: close\r\n\r\n";
}

} // namespace

NoticeFetch::NoticeFetch(QObject *parent) : QObject(parent)
{
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] { end({}); });
}

NoticeFetch::~NoticeFetch()
{
    cancel();
}

void NoticeFetch::start(const QUrl &url, const NoticeFetchLimits &limits)
{
    cancel();
    m_limits = limits;
    m_redirects = 0;
    m_running = true;
    m_deadline.start(limits.timeoutMs);
    if (!isWebUrl(url)) {
        // Not synchronously: the caller may connect after starting.
        QMetaObject::invokeMethod(
            this, [this] { end({}); }, Qt::QueuedConnection);
        return;
    }
    connectTo(url);
}

void NoticeFetch::cancel()
{
    m_running = false;
    m_deadline.stop();
    dropSocket();
}

void NoticeFetch::connectTo(const QUrl &url)
{
    dropSocket();
    m_url = url;
    m_parser = std::make_unique<HttpResponseParser>(m_limits.http());
    const bool secure = url.scheme().toLower() == u"https";
    if (secure && !QSslSocket::supportsSsl()) {
        QMetaObject::invokeMethod(
            this, [this] { end({}); }, Qt::QueuedConnection);
        return;
    }
    QTcpSocket *socket = secure ? new QSslSocket(this) : new QTcpSocket(this);
    m_socket = socket;
    // What Qt holds for us between two reads: never more than one read's worth.
    socket->setReadBufferSize(16384);
    connect(socket, &QTcpSocket::readyRead, this, &NoticeFetch::readAvailable);
    connect(socket, &QTcpSocket::disconnected, this, [this] { connectionEnded(true); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        connectionEnded(error == QAbstractSocket::RemoteHostClosedError);
    });
    const QByteArray head = requestHead(url);
#if QT_CONFIG(ssl)
    if (secure) {
        auto *ssl = static_cast<QSslSocket *>(socket);
        connect(ssl, &QSslSocket::encrypted, this, [ssl, head] { ssl->write(head); });
        ssl->connectToHostEncrypted(url.host(), quint16(url.port(443)));
        return;
    }
#endif
    connect(socket, &QTcpSocket::connected, this, [socket, head] { socket->write(head); });
    socket->connectToHost(url.host(), quint16(url.port(80)));
}

void NoticeFetch::readAvailable()
{
    char buffer[16384];
    while (m_socket && m_parser->state() == HttpResponseParser::State::Reading) {
        const qint64 n = m_socket->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        m_parser->feed(QByteArrayView(buffer, n));
    }
    if (m_parser->state() != HttpResponseParser::State::Reading)
        responseEnded();
}

void NoticeFetch::connectionEnded(bool closedByPeer)
{
    if (!m_running || !m_socket)
        return;
    // What arrived with the close is still the server's.
    readAvailable();
    if (!m_running)
        return;
    // A peer's close ends a body that runs to the close; a refusal or a failed handshake
    // ends the exchange without an answer.
    if (closedByPeer && m_parser->finish() == HttpResponseParser::State::Complete)
        responseEnded();
    else
        end({});
}

void NoticeFetch::responseEnded()
{
    const HttpResponseParser &parser = *m_parser;
    if (parser.state() != HttpResponseParser::State::Complete) {
        end({});
        return;
    }
    const QByteArray location = parser.header("location");
    if (isRedirect(parser.status()) && !location.isEmpty()) {
        const QUrl next = m_url.resolved(QUrl::fromEncoded(location));
        const bool downgrade =
            m_url.scheme().toLower() == u"https" && next.scheme().toLower() != u"https";
        if (!isWebUrl(next) || downgrade || ++m_redirects > m_limits.maxRedirects) {
            end({});
            return;
        }
        connectTo(next);
        return;
    }
    end({true, parser.body()});
}

void NoticeFetch::end(const NoticeResponse &response)
{
    if (!m_running)
        return;
    cancel();
    emit finished(response);
}

// Closed at once, unread bytes dropped; deleted later, as its own signal may be running.
void NoticeFetch::dropSocket()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
        m_socket->deleteLater();
        m_socket = nullptr;
    }
}

} // namespace morvane
