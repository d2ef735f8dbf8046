#include "linkaction.h"

#include "textrules.h"

namespace morvane {

std::optional<QUrl> linkTarget(const QString &caption, const QUrl &fixedUrl)
{
    if (isBlank(caption))
        return std::nullopt;
    const QUrl url = fixedUrl.isEmpty() ? QUrl(caption.trimmed(), QUrl::StrictMode) : fixedUrl;
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https"))
        return std::nullopt;
    return url;
}

} // namespace morvane
