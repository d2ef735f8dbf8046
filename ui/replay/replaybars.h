#pragma once

#include "barfiles.h"
#include "bars.h"

#include <QString>
#include <QStringList>

namespace morvane {

// Bars for the replay view and where they came from. The one place that knows the readers.
struct BarsSource
{
    formula::Bars bars;
    QString origin;        // "模拟行情" or the file's name
    QString path;          // empty for built-in bars
    QString error;         // why the file could not be used; bars empty then
    int priceDecimals = 2; // 3 for funds and bonds priced in thousandths

    bool ok() const { return error.isEmpty(); }
};

// The built-in securities the view offers, by name.
QStringList builtinBarsNames();
BarsSource builtinBarsSource(int index = 0);

// A file of bars, at most maxBytes long.
BarsSource readBarsSource(const QString &path, qint64 maxBytes = 64 << 20);
// The same for a folder's entry, whatever its name's bytes.
BarsSource readBarsSource(const formula::BarsEntry &entry, qint64 maxBytes = 64 << 20);

// Every candidate file of a folder, sorted by name; those that do not read are refused when
// read, by readBarsSource.
std::vector<formula::BarsEntry> barsFilesInFolder(const QString &folder);

} // namespace morvane
