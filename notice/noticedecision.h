#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace morvane {

inline constexpr char16_t kNewVersionPrefix[] = u"发现新版本";

struct NoticeResponse
{
    bool completed = false; // a response arrived, whatever its status
    QByteArray body;
};

// What the start-up notice writes into the window's labels.
struct NoticeLabels
{
    QString newVersion; // lbNewVersion
    QString ad;         // lbad
    QString adUrl;      // lbadURL
    QString message;    // lbMsg
    bool messageVisible = false;

    friend bool operator==(const NoticeLabels &, const NoticeLabels &) = default;
};

// An optional sign, digits with at most one decimal point, an optional exponent,
// spaces around allowed. The point is accepted whatever the user's locale says: one
// notice file serves everybody.
bool isNumericVersion(const QString &field);

// What the notice falls back to where it names no sponsor; the caller's configuration.
struct SponsorDefaults
{
    QString caption;
    QString url;
};

// No labels change when no response arrived. Otherwise the body is cut at every "|":
// version, sponsor caption, sponsor URL; a missing field keeps the current caption.
std::optional<NoticeLabels> decideNotice(const NoticeResponse &response,
                                         const QString &runningVersion, const QString &currentAd,
                                         const QString &currentAdUrl,
                                         const SponsorDefaults &defaults);

} // namespace morvane
