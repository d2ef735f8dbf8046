#pragma once

#include <QByteArray>
#include <QString>

namespace morvane {

// Files users edit by hand: UTF-8 (with or without the mark) when the bytes say so,
// otherwise GB18030, which reads every GBK file exactly as GBK does.
QString decodeUserText(const QByteArray &bytes);

// Raw GB18030, no mark handling: the notice body is taken whole.
QString decodeGb18030(const QByteArray &bytes);

// Everything the program writes; identical to GBK for every GBK character.
QByteArray encodeGb18030(const QString &text);

bool isValidUtf8(const QByteArray &bytes);

} // namespace morvane
