#include "replaybars.h"

#include "barfiles.h"
#include "builtin.h"
#include "replaywords.h"

#include <QFileInfo>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

QString simulated()
{
    return QString::fromUtf16(formula::kSimulatedBars);
}

// Text files name no unit: prices with a third decimal are priced in thousandths.
int decimalsOf(const formula::Bars &bars)
{
    for (const std::vector<double> *prices : {&bars.open, &bars.high, &bars.low, &bars.close})
        for (const double x : *prices)
            if (std::abs(x * 100 - std::round(x * 100)) > 1e-6 * std::max(1.0, std::abs(x)))
                return 3;
    return 2;
}

} // namespace

QStringList builtinBarsNames()
{
    QStringList names;
    for (const formula::Security &s : formula::builtinSecurities())
        names << s.code + u' ' + s.name;
    return names;
}

BarsSource builtinBarsSource(int index)
{
    std::vector<formula::Security> all = formula::builtinSecurities();
    if (all.empty())
        return {formula::builtinBars(), simulated(), {}, {}, 2};
    formula::Security &s = all[std::size_t(std::clamp(index, 0, int(all.size()) - 1))];
    return {std::move(s.bars), simulated(), {}, {}, 2};
}

BarsSource readBarsSource(const QString &path, qint64 maxBytes)
{
    formula::BarsEntry entry{path, {}, path, {}, {}};
    // A pipe chosen in the dialog would block the window in open(2) until something wrote.
    if (const QFileInfo info(path); info.exists() && !info.isFile() && !info.isDir())
        entry.problem = formula::BarsProblem::NotRegular;
    return readBarsSource(entry, maxBytes);
}

BarsSource readBarsSource(const formula::BarsEntry &entry, qint64 maxBytes)
{
    BarsSource source;
    source.path = entry.shown;
    source.origin = QFileInfo(entry.shown).fileName();
    formula::BarsFileRead read = formula::readBarsEntry(entry, maxBytes);
    if (!read.ok()) {
        source.error = formula::barsProblemWords(source.origin, read, maxBytes);
        return source;
    }
    source.bars = std::move(read.bars);
    source.priceDecimals = read.priceDivisor == 1000 ? 3
                           : read.priceDivisor > 0   ? 2
                                                     : decimalsOf(source.bars);
    return source;
}

std::vector<formula::BarsEntry> barsFilesInFolder(const QString &folder)
{
    return formula::barsEntriesIn(folder);
}

} // namespace morvane
