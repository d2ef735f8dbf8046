#include "noticefetch.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

#include <memory>

namespace morvane {

namespace {

// An HTTP error status is still an answer; a cut, cancelled or garbled exchange is not.
bool responseArrived(const QNetworkReply &reply)
{
    if (!reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
        return false;
    const int error = reply.error();
    return error == QNetworkReply::NoError ||
           (error >= QNetworkReply::ContentAccessDenied &&
            error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError &&
            error <= QNetworkReply::UnknownServerError);
}

} // namespace

NoticeResponse fetchNotice(const QUrl &url, const NoticeFetchLimits &limits)
{
    NoticeResponse response;
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != u"http" && scheme != u"https"))
        return response;

    QNetworkAccessManager manager;
    QNetworkRequest request(url);
    request.setRawHeader("If-Modified-Since", "0");
    request.setRawHeader("Cache-Control", "no-cache");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);

    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    QEventLoop loop;
    bool tooLarge = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply.get(), &QNetworkReply::abort);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    auto checkSize = [&](qint64 received, qint64 total) {
        if (received > limits.maxBodyBytes || total > limits.maxBodyBytes) {
            tooLarge = true;
            reply->abort();
        }
    };
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, reply.get(), checkSize);
    deadline.start(limits.timeoutMs);
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);

    if (tooLarge || !responseArrived(*reply))
        return response;
    response.body = reply->readAll();
    if (response.body.size() > limits.maxBodyBytes)
        return NoticeResponse{};
    response.completed = true;
    return response;
}

} // namespace morvane
