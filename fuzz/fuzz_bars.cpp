// The bars readers on any bytes, under each kind of name: a refusal keeps no bars; bars
// read are whole, dated in order and sound (every price above zero, open and close
// inside the day's range), with the problem's place inside the file. A first byte from 0xF0
// up makes a folder of the rest instead (names in any bytes): its listing names every
// candidate once, and each reads or is refused.
#include "barfiles.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace morvane::formula;

namespace {

void checkRead(const BarsFileRead &r, std::size_t size);

// Parts split at 0x01: a kind byte (extension, sub-folder), a name of up to 8 raw bytes ended
// by 0x02, then the content.
int fuzzFolder(const uint8_t *data, size_t size)
{
#ifdef Q_OS_UNIX
    static QTemporaryDir dir;
    static const QByteArray root = QFile::encodeName(dir.path());
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    std::set<QByteArray> made; // relative names of the candidates
    std::vector<QByteArray> paths;
    ::mkdir((root + "/sub").constData(), 0755);
    int parts = 0;
    for (const QByteArray &part : input.split('\x01')) {
        if (part.isEmpty() || ++parts > 6)
            continue;
        static const char *const suffixes[] = {".csv", ".day", ".txt", ".TSV", ".md", ".bin"};
        const int kind = uchar(part[0]);
        const qsizetype end = part.indexOf('\x02', 1);
        QByteArray name = part.mid(1, std::clamp<qsizetype>(end < 0 ? 8 : end - 1, 0, 8));
        name.replace('/', '_').replace('\0', '_');
        if (name.isEmpty())
            name = "x";
        const QByteArray rel = (kind & 0x80 ? "sub/" : "") + name + suffixes[(kind & 0x7f) % 6];
        const QByteArray content = end < 0 ? QByteArray() : part.sliced(end + 1);
        const QByteArray path = root + '/' + rel;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            std::abort();
        if (::write(fd, content.constData(), std::size_t(content.size())) != content.size())
            std::abort();
        ::close(fd);
        paths.push_back(path);
        if ((kind & 0x7f) % 6 < 4)
            made.insert(rel);
    }
    const std::vector<BarsEntry> entries = barsEntriesIn(dir.path());
    if (entries.size() != made.size())
        std::abort(); // a candidate dropped or named twice
    for (const BarsEntry &e : entries) {
        if (!e.shown.startsWith(dir.path() + u'/') || e.native.isEmpty() ||
            !made.count(e.native.sliced(root.size() + 1)))
            std::abort();
        checkRead(readBarsEntry(e, 1 << 20), 1 << 20);
    }
    for (const QByteArray &path : paths)
        ::unlink(path.constData());
#else
    (void)data;
    (void)size;
#endif
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const char *const names[] = {
        "sh600000.day", "sz159915.day", "600000.txt", "bars.csv", "-", "x.tsv"};
    const QString name = QString::fromLatin1(names[data[0] % 6]);
    if (data[0] >= 0xF0)
        return fuzzFolder(data + 1, size - 1);
    const QByteArray bytes(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    checkRead(readBarsBytes(bytes, name), size);
    return 0;
}

namespace {

void checkRead(const BarsFileRead &r, std::size_t size)
{
    const Bars &b = r.bars;
    const auto n = std::size_t(b.size());
    if (b.open.size() != n || b.high.size() != n || b.low.size() != n || b.close.size() != n ||
        b.volume.size() != n || b.amount.size() != n)
        std::abort();
    if (!r.ok()) {
        if (n != 0 || r.record < 0 || r.record > qint64(size) + 1 || r.field < 0)
            std::abort();
        return;
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
}

} // namespace
