#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>
#include <functional>

// A one-file HTTP server on 127.0.0.1 for the notice tests: it reads a request head and
// hands the socket to `answer`, which may reply, drip, cut or keep silent.
class NoticeServer : public QTcpServer
{
public:
    using Answer = std::function<void(QTcpSocket *socket, const QByteArray &requestHead)>;

    explicit NoticeServer(Answer answer = {}) : m_answer(std::move(answer))
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    QByteArray &head = m_pending[socket];
                    head += socket->readAll();
                    if (!head.contains("\r\n\r\n") || m_answered.contains(socket))
                        return;
                    m_answered << socket;
                    requests << head;
                    if (m_answer)
                        m_answer(socket, head);
                });
            }
        });
    }

    void setAnswer(Answer answer) { m_answer = std::move(answer); }
    QUrl url(const QString &path = QStringLiteral("/v.txt")) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
    }

    static QByteArray response(int status, const QByteArray &body,
                               const QByteArray &extraHeaders = {})
    {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: text/plain\r\n" +
               "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n" +
               extraHeaders + "\r\n" + body;
    }

    // The most common answer: a whole response, then the connection closes.
    static Answer reply(int status, const QByteArray &body, const QByteArray &extraHeaders = {})
    {
        return [=](QTcpSocket *socket, const QByteArray &) {
            socket->write(response(status, body, extraHeaders));
            socket->disconnectFromHost();
        };
    }

    // `head`, then `unit` again and again for as long as the client reads; `sent` counts.
    static Answer endless(const QByteArray &head, const QByteArray &unit)
    {
        // Small units go out a few KiB at a time: one send each crawled under Wine.
        const QByteArray block = unit.repeated(std::max<qsizetype>(1, 4096 / unit.size()));
        return [head, block](QTcpSocket *socket, const QByteArray &) {
            qint64 &sent = static_cast<NoticeServer *>(socket->parent())->sent;
            auto more = [&sent, socket, unit = block] {
                while (socket->state() == QAbstractSocket::ConnectedState &&
                       socket->bytesToWrite() < 65536) {
                    socket->write(unit);
                    sent += unit.size();
                }
            };
            socket->write(head);
            sent += head.size();
            connect(socket, &QTcpSocket::bytesWritten, socket, more);
            more();
        };
    }

    // Every connection answered has been closed by the client.
    bool clientsGone() const
    {
        for (const QTcpSocket *socket : m_answered) {
            if (socket->state() != QAbstractSocket::UnconnectedState)
                return false;
        }
        return true;
    }

    // A port nothing listens on.
    static quint16 closedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        return port;
    }

    QList<QByteArray> requests;
    qint64 sent = 0;

private:
    Answer m_answer;
    QHash<QTcpSocket *, QByteArray> m_pending;
    QList<QTcpSocket *> m_answered;
};
