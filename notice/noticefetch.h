#pragma once

#include "httpresponse.h"
#include "noticedecision.h"

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <memory>

class QTcpSocket;

namespace morvane {

struct NoticeFetchLimits
{
    int timeoutMs = 3000;        // the whole exchange, redirects included
    qint64 maxBodyBytes = 65536; // a larger body is no notice file
    int maxRedirects = 50;       // as many as Qt's own client follows
    HttpLimits http() const { return {65536, 100, 8, maxBodyBytes}; }
};

// One GET of the notice file, on the caller's thread and event loop: it never blocks, and
// when the bound or a cap is hit the connection is closed at once, so nothing keeps reading.
// http and https (where the platform has TLS); redirects as Qt's client takes them: at most
// maxRedirects, to http or https only, never from https down to http.
class NoticeFetch : public QObject
{
    Q_OBJECT
public:
    explicit NoticeFetch(QObject *parent = nullptr);
    ~NoticeFetch() override;

    // `finished` follows exactly once, from the event loop, unless cancelled first.
    void start(const QUrl &url, const NoticeFetchLimits &limits = {});
    // Closes the connection; no `finished` follows.
    void cancel();
    bool isRunning() const { return m_running; }

signals:
    // `completed` means a whole response arrived, whatever its HTTP status.
    void finished(const morvane::NoticeResponse &response);

private:
    void connectTo(const QUrl &url);
    void readAvailable();
    void connectionEnded(bool closedByPeer);
    void responseEnded();
    void end(const NoticeResponse &response);
    void dropSocket();

    NoticeFetchLimits m_limits;
    QUrl m_url;
    int m_redirects = 0;
    bool m_running = false;
    QTimer m_deadline;
    QPointer<QTcpSocket> m_socket;
    std::unique_ptr<HttpResponseParser> m_parser;
};

} // namespace morvane
