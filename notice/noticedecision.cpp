#include "noticedecision.h"

#include "encoding.h"
#include "textrules.h"

#include <QStringList>

namespace morvane {

bool isNumericVersion(const QString &field)
{
    const QStringView s = trimSpaces(field);
    qsizetype i = 0;
    const qsizetype n = s.size();
    auto digits = [&] {
        const qsizetype start = i;
        while (i < n && s[i] >= u'0' && s[i] <= u'9')
            ++i;
        return i - start;
    };
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        ++i;
    qsizetype mantissa = digits();
    if (i < n && s[i] == u'.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return false;
    if (i < n && (s[i] == u'e' || s[i] == u'E')) {
        ++i;
        if (i < n && (s[i] == u'+' || s[i] == u'-'))
            ++i;
        if (digits() == 0)
            return false;
    }
    return i == n;
}

std::optional<NoticeLabels> decideNotice(const NoticeResponse &response,
                                         const QString &runningVersion, const QString &currentAd,
                                         const QString &currentAdUrl,
                                         const SponsorDefaults &defaults)
{
    if (!response.completed)
        return std::nullopt;

    const QString &defaultCaption = defaults.caption;
    const QString &defaultUrl = defaults.url;
    const QString text = decodeGb18030(response.body);
    // An empty text has no fields at all; otherwise n separators give n + 1 fields.
    const QStringList fields = text.isEmpty() ? QStringList() : text.split(u'|');

    NoticeLabels labels{QString(), currentAd, currentAdUrl, QString(), false};
    if (fields.isEmpty() || !isNumericVersion(fields[0])) {
        labels.newVersion = runningVersion;
        labels.adUrl = defaultUrl;
        labels.ad = defaultCaption;
    } else {
        labels.newVersion = fields[0];
    }
    if (fields.size() > 1)
        labels.ad = isBlank(fields[1]) ? defaultCaption : fields[1];
    if (fields.size() > 2)
        labels.adUrl = isBlank(fields[2]) ? defaultUrl : fields[2];

    const QStringView newest = trimSpaces(labels.newVersion);
    if (newest != trimSpaces(runningVersion)) {
        labels.message = QString::fromUtf16(kNewVersionPrefix) + newest.toString();
        labels.messageVisible = true;
    }
    return labels;
}

} // namespace morvane
