#pragma once

#include "noticedecision.h"

#include <QUrl>

namespace morvane {

struct NoticeFetchLimits
{
    int timeoutMs = 3000;        // the whole exchange, redirects included
    qint64 maxBodyBytes = 65536; // a larger body is no notice file
};

// A GET that returns when the exchange has ended, running a local event loop meanwhile.
// `completed` means a whole response arrived, whatever its HTTP status.
NoticeResponse fetchNotice(const QUrl &url, const NoticeFetchLimits &limits = {});

} // namespace morvane
