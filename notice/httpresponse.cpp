#include "httpresponse.h"

namespace morvane {

namespace {

// A chunk-size line is a number and perhaps an extension; nobody needs kilobytes of it.
constexpr qsizetype kMaxChunkLine = 1024;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

HttpResponseParser::HttpResponseParser(const HttpLimits &limits) : m_limits(limits) {}

QByteArray HttpResponseParser::header(QByteArrayView name) const
{
    const QByteArray wanted = name.toByteArray().toLower();
    for (const auto &[key, value] : m_headers) {
        if (key == wanted)
            return value;
    }
    return {};
}

HttpResponseParser::State HttpResponseParser::feed(QByteArrayView bytes)
{
    QByteArray line;
    while (m_state == State::Reading && !bytes.isEmpty()) {
        switch (m_step) {
        case Step::StatusLine:
        case Step::HeaderLine:
        case Step::Trailer:
            if (!takeLine(bytes, line))
                break;
            if (!headLine(line))
                return m_state;
            break;
        case Step::Body:
        case Step::ChunkData: {
            const qsizetype n =
                m_remaining < 0 ? bytes.size() : qsizetype(qMin<qint64>(m_remaining, bytes.size()));
            appendBody(bytes.first(n));
            bytes = bytes.sliced(n);
            if (m_state == State::Reading && m_remaining == 0) {
                if (m_step == Step::Body)
                    return complete();
                m_step = Step::ChunkEnd;
            }
            break;
        }
        case Step::ChunkSize:
            if (takeLine(bytes, line) && !chunkSize(line))
                return m_state;
            break;
        case Step::ChunkEnd:
            if (!takeLine(bytes, line))
                break;
            if (!line.isEmpty())
                return fail(Failure::Malformed);
            m_step = Step::ChunkSize;
            break;
        }
    }
    return m_state;
}

HttpResponseParser::State HttpResponseParser::finish()
{
    if (m_state != State::Reading)
        return m_state;
    if (m_step == Step::Body && m_remaining < 0)
        return complete();
    return fail(Failure::Truncated);
}

// Takes bytes up to the next LF into `line`, CR LF or LF ending it; false while unended.
bool HttpResponseParser::takeLine(QByteArrayView &bytes, QByteArray &line)
{
    const bool inHead =
        m_step == Step::StatusLine || m_step == Step::HeaderLine || m_step == Step::Trailer;
    const qsizetype end = bytes.indexOf('\n');
    const qsizetype taken = end < 0 ? bytes.size() : end + 1;
    if (inHead) {
        m_headBytes += taken;
        if (m_headBytes > m_limits.maxHeadBytes) {
            fail(Failure::HeadTooLarge);
            return false;
        }
    } else if (m_line.size() + taken > kMaxChunkLine) {
        fail(Failure::Malformed);
        return false;
    }
    m_line += bytes.first(end < 0 ? taken : end);
    bytes = bytes.sliced(taken);
    if (end < 0)
        return false;
    if (m_line.endsWith('\r'))
        m_line.chop(1);
    line = m_line;
    m_line.clear();
    return true;
}

bool HttpResponseParser::headLine(const QByteArray &line)
{
    if (m_step == Step::StatusLine) {
        if (line.isEmpty()) // a stray line end before the answer
            return true;
        if (!statusLine(line)) {
            fail(Failure::Malformed);
            return false;
        }
        m_step = Step::HeaderLine;
        m_headerLines = 0;
        m_headers.clear();
        return true;
    }
    if (line.isEmpty() && m_step == Step::Trailer) {
        complete();
        return false;
    }
    if (line.isEmpty())
        return headEnd();
    if (++m_headerLines > m_limits.maxHeaderLines) {
        fail(Failure::HeadTooLarge);
        return false;
    }
    if (m_step == Step::Trailer)
        return true; // nothing in a trailer matters here
    if ((line.startsWith(' ') || line.startsWith('\t')) && !m_headers.isEmpty()) {
        // An old-style folded line continues the header before it.
        m_headers.last().second += ' ' + line.trimmed();
        return true;
    }
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0)
        return true; // not a header: ignored, as browsers do
    m_headers.append({line.first(colon).trimmed().toLower(), line.sliced(colon + 1).trimmed()});
    return true;
}

// "HTTP/1.x 200 reason", the reason optional.
bool HttpResponseParser::statusLine(const QByteArray &line)
{
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || !isDigit(line[7]) || line[8] != ' ')
        return false;
    if (!isDigit(line[9]) || !isDigit(line[10]) || !isDigit(line[11]) ||
        (line.size() > 12 && line[12] != ' '))
        return false;
    m_status = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    return m_status >= 100;
}

bool HttpResponseParser::headEnd()
{
    if (m_status < 200) {
        // 101 would switch protocols, which a GET never asked for.
        if (m_status == 101 || ++m_interim > m_limits.maxInterimResponses) {
            fail(m_status == 101 ? Failure::Malformed : Failure::HeadTooLarge);
            return false;
        }
        m_step = Step::StatusLine;
        return true;
    }
    if (m_status == 204 || m_status == 304) {
        complete();
        return false;
    }
    const QByteArray coding = header("transfer-encoding");
    if (!coding.isEmpty()) {
        // Only a final "chunked" says where the body ends; otherwise the close does.
        const QByteArray last = coding.sliced(coding.lastIndexOf(',') + 1).trimmed().toLower();
        m_step = last == "chunked" ? Step::ChunkSize : Step::Body;
        m_remaining = -1;
        return true;
    }
    qint64 length = -1;
    for (const auto &[key, value] : std::as_const(m_headers)) {
        if (key != "content-length")
            continue;
        // "5, 5" or two equal headers are the same length; anything else is no length.
        for (const QByteArray &item : value.split(',')) {
            const QByteArray digits = item.trimmed();
            bool ok = !digits.isEmpty() && digits.size() <= 18;
            for (const char c : digits)
                ok = ok && isDigit(c);
            const qint64 n = ok ? digits.toLongLong() : -1;
            if (!ok || (length >= 0 && n != length)) {
                fail(Failure::Malformed);
                return false;
            }
            length = n;
        }
    }
    if (length > m_limits.maxBodyBytes) {
        fail(Failure::BodyTooLarge);
        return false;
    }
    if (length == 0) {
        complete();
        return false;
    }
    m_step = Step::Body;
    m_remaining = length;
    return true;
}

bool HttpResponseParser::chunkSize(const QByteArray &line)
{
    const qsizetype extension = line.indexOf(';');
    const QByteArray digits = (extension < 0 ? line : line.first(extension)).trimmed();
    if (digits.isEmpty() || digits.size() > 15) {
        fail(Failure::Malformed);
        return false;
    }
    qint64 size = 0;
    for (const char c : digits) {
        const int v = hexValue(c);
        if (v < 0) {
            fail(Failure::Malformed);
            return false;
        }
        size = size * 16 + v;
    }
    if (size == 0) {
        m_step = Step::Trailer;
        m_headerLines = 0;
        return true;
    }
    if (size > m_limits.maxBodyBytes - m_body.size()) {
        fail(Failure::BodyTooLarge);
        return false;
    }
    m_remaining = size;
    m_step = Step::ChunkData;
    return true;
}

void HttpResponseParser::appendBody(QByteArrayView bytes)
{
    if (m_body.size() + bytes.size() > m_limits.maxBodyBytes) {
        fail(Failure::BodyTooLarge);
        return;
    }
    m_body += bytes;
    if (m_remaining > 0)
        m_remaining -= bytes.size();
}

HttpResponseParser::State HttpResponseParser::fail(Failure failure)
{
    m_state = State::Failed;
    m_failure = failure;
    m_line.clear();
    m_body.clear();
    return m_state;
}

HttpResponseParser::State HttpResponseParser::complete()
{
    m_state = State::Complete;
    m_line.clear();
    return m_state;
}

} // namespace morvane
