// The bars readers on any bytes, under each kind of name: a refusal keeps no bars; bars
// read are whole, dated in order and sound (every price above zero, open and close
// inside the day's range), with the problem's place inside the file.
#include "barfiles.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdlib>

using namespace morvane::formula;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const char *const names[] = {
        "sh600000.day", "sz159915.day", "600000.txt", "bars.csv", "-", "x.tsv"};
    const QString name = QString::fromLatin1(names[data[0] % 6]);
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const BarsFileRead r = readBarsBytes(bytes, name);
    const Bars &b = r.bars;
    const auto n = std::size_t(b.size());
    if (b.open.size() != n || b.high.size() != n || b.low.size() != n || b.close.size() != n ||
        b.volume.size() != n || b.amount.size() != n)
        std::abort();
    if (!r.ok()) {
        if (n != 0 || r.record < 0 || r.record > qint64(size) + 1 || r.field < 0)
            std::abort();
        return 0;
    }
    if (n == 0 || r.skipped < 0)
        std::abort();
    for (std::size_t i = 0; i < n; ++i) {
        if (!b.dates[i].isValid() || (i > 0 && b.dates[i] <= b.dates[i - 1]))
            std::abort();
        if (!(b.low[i] > 0) || b.low[i] > b.high[i] || b.open[i] < b.low[i] ||
            b.open[i] > b.high[i] || b.close[i] < b.low[i] || b.close[i] > b.high[i] ||
            !std::isfinite(b.high[i]) || !(b.volume[i] >= 0) || !(b.amount[i] >= 0) ||
            !std::isfinite(b.volume[i]) || !std::isfinite(b.amount[i]))
            std::abort();
    }
    return 0;
}
