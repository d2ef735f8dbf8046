#pragma once

#include <QString>
#include <QUrl>

#include <optional>

namespace morvane {

// What a click on a link label hands to the browser: nothing when the caption is blank;
// otherwise `fixedUrl` when given, else the caption itself. Surrounding white space, line
// breaks included, never reaches the browser, and only http and https addresses do.
std::optional<QUrl> linkTarget(const QString &caption, const QUrl &fixedUrl = {});

} // namespace morvane
