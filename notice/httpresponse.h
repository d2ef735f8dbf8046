#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>

namespace morvane {

// What one response may cost before it is dropped. The notice is a small text file; a
// server that sends more is broken or hostile, and nothing of it needs to be kept.
struct HttpLimits
{
    qsizetype maxHeadBytes = 65536; // every head of the exchange, interim answers included
    int maxHeaderLines = 100;       // in one head
    int maxInterimResponses = 8;    // "100 Continue" and its kin before the real answer
    qint64 maxBodyBytes = 65536;
};

// An HTTP/1.1 response read as it arrives, for a GET. It holds at most the limits' worth of
// bytes and says as soon as the response is whole or can no longer be one.
class HttpResponseParser
{
public:
    enum class State
    {
        Reading,
        Complete,
        Failed
    };
    enum class Failure
    {
        None,
        HeadTooLarge,
        BodyTooLarge,
        Malformed,
        Truncated
    };

    explicit HttpResponseParser(const HttpLimits &limits = {});

    // Consumes the next bytes of the connection; bytes after a whole response are ignored.
    State feed(QByteArrayView bytes);
    // The connection ended: a body that runs to the close is whole, anything else was cut.
    State finish();

    State state() const { return m_state; }
    Failure failure() const { return m_failure; }
    int status() const { return m_status; }
    // The first value of a header, white space trimmed; the name is matched in any case.
    QByteArray header(QByteArrayView name) const;
    const QByteArray &body() const { return m_body; }

private:
    enum class Step
    {
        StatusLine,
        HeaderLine,
        Body,
        ChunkSize,
        ChunkData,
        ChunkEnd,
        Trailer
    };

    bool takeLine(QByteArrayView &bytes, QByteArray &line);
    bool headLine(const QByteArray &line);
    bool statusLine(const QByteArray &line);
    bool headEnd();
    bool chunkSize(const QByteArray &line);
    void appendBody(QByteArrayView bytes);
    State fail(Failure failure);
    State complete();

    HttpLimits m_limits;
    State m_state = State::Reading;
    Failure m_failure = Failure::None;
    Step m_step = Step::StatusLine;
    QByteArray m_line; // a line not yet ended
    qsizetype m_headBytes = 0;
    int m_headerLines = 0;
    int m_interim = 0;
    int m_status = 0;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QByteArray m_body;
    qint64 m_remaining = -1; // of the body or the chunk; -1 = until the close
};

} // namespace morvane
