#include "linkaction.h"

#include "textrules.h"

namespace morvane {

std::optional<QUrl> linkTarget(const QString &caption, const QUrl &fixedUrl)
{
    if (isBlank(caption))
        return std::nullopt;
    // Read as a browser's address bar reads it: a space, braces, quotes or a bare "%" in a
    // sponsor's address are escaped, not refused.
    const QUrl url = fixedUrl.isEmpty() ? QUrl(caption.trimmed(), QUrl::TolerantMode) : fixedUrl;
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https"))
        return std::nullopt;
    return url;
}

} // namespace morvane
