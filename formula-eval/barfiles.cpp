#include "barfiles.h"

#include "barstext_p.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <tuple>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace morvane::formula {

namespace {

constexpr qsizetype kDayRecord = 32;
// Enough of a file to tell its kind and its first lines.
constexpr qint64 kHead = 4096;

QString suffixOf(const QString &fileName)
{
    const qsizetype slash = std::max(fileName.lastIndexOf(u'/'), fileName.lastIndexOf(u'\\'));
    const qsizetype dot = fileName.lastIndexOf(u'.');
    return dot > slash ? fileName.sliced(dot + 1).toLower() : QString();
}

QString baseOf(const QString &fileName)
{
    const qsizetype slash = std::max(fileName.lastIndexOf(u'/'), fileName.lastIndexOf(u'\\'));
    QString base = fileName.sliced(slash + 1);
    const qsizetype dot = base.lastIndexOf(u'.');
    return dot > 0 ? base.first(dot) : base;
}

quint32 le32(const char *p)
{
    return qFromLittleEndian<quint32>(p);
}

QDate dayDate(quint32 v)
{
    const int y = int(v / 10000), m = int(v / 100 % 100), d = int(v % 100);
    return y >= 1900 && y <= 2999 ? QDate(y, m, d) : QDate();
}

// A .day record as the software writes it: a date, then four prices that make a bar.
bool looksLikeDayRecord(QByteArrayView r)
{
    if (r.size() < kDayRecord || !dayDate(le32(r.data())).isValid())
        return false;
    const double o = le32(r.data() + 4), h = le32(r.data() + 8), l = le32(r.data() + 12),
                 c = le32(r.data() + 16);
    return detail::badBarValue(o, h, l, c, 0, 0) < 0;
}

// The lines of a text head, decoded, blank ones left out; at most `wanted`.
QStringList firstLines(QByteArrayView head, int wanted)
{
    QStringList lines;
    // A head cut inside a character would not read as UTF-8: only whole lines decide.
    if (const qsizetype end = std::max(head.lastIndexOf('\n'), head.lastIndexOf('\r')); end > 0)
        head = head.first(end);
    detail::LineDecoder decode(detail::textCodec(head));
    detail::forEachLine(head, [&](qint64, QByteArrayView raw) {
        const QString text = decode(raw).trimmed();
        if (!text.isEmpty())
            lines << text;
        return lines.size() < wanted;
    });
    return lines;
}

bool isExportTitle(const QString &line)
{
    return line.contains(u"复权") || line.contains(u"日线") || line.contains(u"周线") ||
           line.contains(u"月线") || line.contains(u"分钟");
}

bool isExportColumns(const QString &line)
{
    return line.contains(u"日期") && line.contains(u"开盘") && line.contains(u"收盘");
}

BarsFileRead refuse(BarsFileRead r, BarsProblem problem, qint64 record, int field)
{
    r.problem = problem;
    r.record = record;
    r.field = field;
    r.bars = {};
    return r;
}

BarsFileRead readDay(const QByteArray &bytes, const QString &fileName)
{
    BarsFileRead r;
    r.kind = BarsFileKind::Day;
    r.code = baseOf(fileName).toLower();
    r.priceDivisor = dayPriceDivisor(fileName);
    const qsizetype n = bytes.size();
    if (n % kDayRecord != 0)
        return refuse(std::move(r), BarsProblem::Truncated, n / kDayRecord + 1, 0);
    const double unit = double(r.priceDivisor);
    const qint64 records = n / kDayRecord;
    r.bars.dates.reserve(std::size_t(records));
    for (qint64 i = 0; i < records; ++i) {
        const char *p = bytes.constData() + i * kDayRecord;
        const qint64 record = i + 1;
        if (std::all_of(p, p + kDayRecord, [](char c) { return c == 0; })) {
            // Space some tools leave for records never written.
            if (r.skipped++ == 0)
                r.firstSkipped = record;
            continue;
        }
        const QDate date = dayDate(le32(p));
        if (!date.isValid())
            return refuse(std::move(r), BarsProblem::BadDate, record, 1);
        float amount = 0;
        const quint32 amountBits = le32(p + 20);
        std::memcpy(&amount, &amountBits, sizeof amount);
        if (!std::isfinite(amount))
            return refuse(std::move(r), BarsProblem::BadNumber, record, 6);
        const double o = le32(p + 4) / unit, h = le32(p + 8) / unit, l = le32(p + 12) / unit,
                     c = le32(p + 16) / unit, v = le32(p + 24);
        // Fields in the record: date, open, high, low, close, amount, volume.
        static constexpr int fieldOf[] = {2, 3, 4, 5, 7, 6};
        if (const int bad = detail::badBarValue(o, h, l, c, v, amount); bad >= 0)
            return refuse(std::move(r), BarsProblem::BadPrices, record, fieldOf[bad]);
        if (!r.bars.dates.empty() && date <= r.bars.dates.back())
            return refuse(std::move(r), BarsProblem::DateOrder, record, 1);
        detail::appendBar(r.bars, date, o, h, l, c, v, double(amount));
    }
    if (r.bars.dates.empty())
        return refuse(std::move(r), BarsProblem::Empty, 0, 0);
    return r;
}

// A data row's fields, split at tabs, else commas, else runs of spaces, each trimmed.
void splitExportRow(QByteArrayView line, std::vector<QByteArrayView> &fields)
{
    fields.clear();
    line = detail::trimmed(line);
    const char sep = line.contains('\t') ? '\t' : line.contains(',') ? ',' : ' ';
    qsizetype start = 0;
    while (start <= line.size()) {
        qsizetype end = line.indexOf(sep, start);
        if (end < 0)
            end = line.size();
        const QByteArrayView field = detail::trimmed(line.sliced(start, end - start));
        if (sep != ' ' || !field.isEmpty())
            fields.push_back(field);
        start = end + 1;
    }
}

// A problem with a line of the export; None when it reads.
struct ExportFault
{
    BarsProblem problem = BarsProblem::None;
    int field = 0;
};

// "600000 浦发银行 日线 不复权": code, name, period, adjustment.
void readExportTitle(const QString &line, BarsFileRead &r)
{
    const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
    if (!words.isEmpty() && words[0].size() <= 12 &&
        std::all_of(words[0].begin(), words[0].end(), [](QChar c) { return c.isDigit(); }))
        r.code = words[0];
    if (words.size() > 1 && !isExportTitle(words[1]))
        r.name = words[1];
}

// The column names: where each of date, open, high, low, close, volume, amount stands.
ExportFault readExportColumns(const QString &line, std::array<qsizetype, 7> &at, qsizetype &width)
{
    const QStringList names = line.contains(u'\t')  ? line.split(u'\t')
                              : line.contains(u',') ? line.split(u',')
                                                    : line.split(u' ', Qt::SkipEmptyParts);
    for (qsizetype f = 0; f < names.size(); ++f) {
        const QString name = names[f].trimmed();
        if (const int c = detail::namedColumn(name); c >= 0 && at[std::size_t(c)] < 0)
            at[std::size_t(c)] = f;
        // Minute bars carry a time column, and a bar is a day here.
        if (name == u"时间")
            return {BarsProblem::NotDaily, int(f + 1)};
    }
    if (std::any_of(at.begin(), at.begin() + 5, [](qsizetype f) { return f < 0; }))
        return {BarsProblem::UnknownLayout, 0};
    width = names.size();
    return {};
}

ExportFault readExportRow(const std::vector<QByteArrayView> &fields,
                          const std::array<qsizetype, 7> &at, qsizetype width, Bars &bars)
{
    if (qsizetype(fields.size()) != width)
        return {BarsProblem::ColumnCount, 0};
    for (std::size_t c = 0; c < 7; ++c)
        if (at[c] >= 0 && fields[std::size_t(at[c])].size() > detail::kMaxField)
            return {BarsProblem::TooLong, int(at[c] + 1)};
    const QDate date = detail::parseDate(fields[std::size_t(at[0])]);
    if (!date.isValid())
        return {BarsProblem::BadDate, int(at[0] + 1)};
    double v[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t c = 1; c < 7; ++c) {
        if (at[c] < 0)
            continue;
        if (!detail::parseNumber(fields[std::size_t(at[c])], &v[c - 1]))
            return {BarsProblem::BadNumber, int(at[c] + 1)};
    }
    if (const int bad = detail::badBarValue(v[0], v[1], v[2], v[3], v[4], v[5]); bad >= 0)
        return {BarsProblem::BadPrices, int(at[std::size_t(bad + 1)] + 1)};
    if (!bars.dates.empty() && date <= bars.dates.back())
        return {BarsProblem::DateOrder, int(at[0] + 1)};
    detail::appendBar(bars, date, v[0], v[1], v[2], v[3], v[4], v[5]);
    return {};
}

BarsFileRead readExport(const QByteArray &bytes)
{
    BarsFileRead r;
    r.kind = BarsFileKind::Export;
    detail::LineDecoder decode(detail::textCodec(bytes));
    // Where each of date, open, high, low, close, volume, amount stands; -1 when absent.
    std::array<qsizetype, 7> at = {-1, -1, -1, -1, -1, -1, -1};
    qsizetype width = 0;
    int seen = 0; // non-blank lines so far
    bool ended = false;
    auto stop = [&r](BarsProblem p, qint64 line, int field) {
        r.problem = p;
        r.record = line;
        r.field = field;
        return false;
    };
    std::vector<QByteArrayView> fields;
    detail::forEachLine(bytes, [&](qint64 lineNo, QByteArrayView raw) {
        if (raw.size() > detail::kMaxTextLine)
            return stop(BarsProblem::TooLong, lineNo, 0);
        // Data rows are plain ASCII: only the title, the column names and the footer are
        // decoded.
        const bool ascii = detail::plainAscii(raw);
        QString text;
        if (!ascii) {
            text = decode(raw);
            if (text.isNull())
                return stop(BarsProblem::Encoding, lineNo, 0);
            text = text.trimmed();
            if (text.isEmpty())
                return true;
        } else if (detail::trimmed(raw).isEmpty()) {
            return true;
        }
        if (ended)
            return stop(BarsProblem::AfterEnd, lineNo, 0);
        ++seen;
        ExportFault fault;
        if (width == 0) {
            const QString line = ascii ? QString::fromLatin1(detail::trimmed(raw)) : text;
            if (seen == 1 && !isExportColumns(line)) {
                readExportTitle(line, r);
                return true;
            }
            fault = readExportColumns(line, at, width);
        } else if (!ascii && text.startsWith(u"数据来源")) {
            ended = true;
            return true;
        } else {
            splitExportRow(raw, fields);
            fault = readExportRow(fields, at, width, r.bars);
        }
        if (fault.problem != BarsProblem::None)
            return stop(fault.problem, lineNo, fault.field);
        return true;
    });
    if (r.problem != BarsProblem::None)
        return refuse(std::move(r), r.problem, r.record, r.field);
    if (r.bars.dates.empty())
        return refuse(std::move(r), width == 0 ? BarsProblem::UnknownLayout : BarsProblem::Empty, 0,
                      0);
    return r;
}

} // namespace

BarsFileKind barsFileKind(const QString &fileName, QByteArrayView head)
{
    const QString suffix = suffixOf(fileName);
    if (suffix == u"day")
        return BarsFileKind::Day;
    if (head.contains('\0'))
        return suffix.isEmpty() && head.size() >= kDayRecord && looksLikeDayRecord(head)
                   ? BarsFileKind::Day
                   : BarsFileKind::Unknown;
    const QStringList lines = firstLines(head.first(std::min<qsizetype>(head.size(), kHead)), 2);
    // A title, or the column names with or without one above them (tabs or spaces, no
    // commas: a CSV header names its columns with commas).
    if (!lines.isEmpty() &&
        (isExportTitle(lines[0]) || (isExportColumns(lines[0]) && !lines[0].contains(u',')) ||
         (lines.size() > 1 && isExportColumns(lines[1]) && !lines[0].contains(u',') &&
          !isExportColumns(lines[0]))))
        return BarsFileKind::Export;
    if (suffix.isEmpty() || suffix == u"csv" || suffix == u"txt" || suffix == u"tsv")
        return BarsFileKind::Csv;
    return BarsFileKind::Unknown;
}

int dayPriceDivisor(const QString &fileName)
{
    const QString base = baseOf(fileName).toLower();
    if (base.size() != 8)
        return 100;
    const QStringView market = QStringView(base).first(2), code = QStringView(base).sliced(2);
    if (market == u"sh")
        return code.startsWith(u'5') || code.startsWith(u'1') || code.startsWith(u'2') ||
                       code.startsWith(u"01") || code.startsWith(u"02") || code.startsWith(u"900")
                   ? 1000
                   : 100;
    if (market == u"sz")
        return code.startsWith(u"10") || code.startsWith(u"11") || code.startsWith(u"12") ||
                       code.startsWith(u"13") || code.startsWith(u"15") || code.startsWith(u"16") ||
                       code.startsWith(u"18")
                   ? 1000
                   : 100;
    return 100;
}

BarsFileRead readBarsBytes(const QByteArray &bytes, const QString &fileName)
{
    const BarsFileKind kind = barsFileKind(
        fileName, QByteArrayView(bytes).first(std::min<qsizetype>(bytes.size(), kHead)));
    switch (kind) {
    case BarsFileKind::Day:
        return readDay(bytes, fileName);
    case BarsFileKind::Export:
        return readExport(bytes);
    case BarsFileKind::Csv: {
        BarsRead csv = readBarsCsv(bytes);
        BarsFileRead r;
        r.kind = BarsFileKind::Csv;
        r.bars = std::move(csv.bars);
        r.problem = csv.problem;
        r.record = csv.line;
        r.field = csv.column;
        return r;
    }
    case BarsFileKind::Unknown:
        break;
    }
    return refuse({}, BarsProblem::UnknownLayout, 0, 0);
}

BarsFileRead readBarsFile(const QString &path, qint64 maxBytes)
{
    BarsFileRead r;
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) {
        r.problem = BarsProblem::Unreadable;
        r.error = QFileInfo(path).isDir() ? u"Is a directory"_s : file.errorString();
        return r;
    }
    if (!file.isSequential() && file.size() > maxBytes) {
        r.problem = BarsProblem::TooLarge;
        return r;
    }
    // Devices and pipes say no size: read up to the bound, one byte past it to know.
    QByteArray bytes;
    const qint64 want = file.isSequential() ? maxBytes + 1 : file.size();
    // A file's size exactly, so the bytes are never copied to grow; a pipe's a bounded guess.
    bytes.reserve(qsizetype(file.isSequential() ? std::min<qint64>(want, 64 << 20) : want + 1));
    char chunk[64 * 1024];
    while (bytes.size() <= maxBytes) {
        const qint64 got =
            file.read(chunk, std::min<qint64>(qint64(sizeof chunk), maxBytes + 1 - bytes.size()));
        if (got < 0) {
            r.problem = BarsProblem::Unreadable;
            r.error = file.errorString();
            return r;
        }
        if (got == 0)
            break;
        bytes.append(chunk, qsizetype(got));
    }
    if (bytes.size() > maxBytes) {
        r.problem = BarsProblem::TooLarge;
        return r;
    }
    return readBarsBytes(bytes, path);
}

namespace {

bool isCandidateName(QByteArrayView name)
{
    const qsizetype dot = name.lastIndexOf('.');
    if (dot <= 0)
        return false;
    const QByteArray suffix = name.sliced(dot + 1).toByteArray().toLower();
    return suffix == "day" || suffix == "csv" || suffix == "txt" || suffix == "tsv";
}

// A name's bytes as text: UTF-8, else GB18030 (an archive made on a Chinese Windows), else
// each byte that reads as neither escaped.
QString readableName(QByteArrayView bytes)
{
    const QString text = detail::LineDecoder(detail::textCodec(bytes))(bytes);
    if (!text.isNull())
        return text;
    QString out;
    for (const char c : bytes)
        out += uchar(c) < 0x80 && uchar(c) >= 0x20
                   ? QString(QLatin1Char(c))
                   : u"\\x%1"_s.arg(uint(uchar(c)), 2, 16, QChar(u'0'));
    return out;
}

// Only the POSIX listing reads names as bytes; Windows gives them as UTF-16.
[[maybe_unused]] BarsEntry entryFor(const QByteArray &native, const QString &folder,
                                    QByteArrayView relative)
{
    BarsEntry e;
    e.native = native;
    const QString decoded = QFile::decodeName(native);
    if (QFile::encodeName(decoded) == native) {
        e.path = decoded;
        e.shown = decoded;
    } else {
        e.shown = folder + u'/' + readableName(relative);
    }
    return e;
}

} // namespace

std::vector<BarsEntry> barsEntriesIn(const QString &folder)
{
    std::vector<BarsEntry> entries;
#ifdef Q_OS_UNIX
    // By bytes: QDir decodes names with the locale, and a name that is not UTF-8 comes back as
    // a path that opens nothing.
    const QByteArray root = QFile::encodeName(folder);
    std::vector<QByteArray> pending{QByteArray()}; // sub-folders, relative to root
    while (!pending.empty()) {
        const QByteArray relative = std::move(pending.back());
        pending.pop_back();
        const QByteArray dirPath = relative.isEmpty() ? root : root + '/' + relative;
        DIR *dir = ::opendir(dirPath.constData());
        if (!dir) {
            if (relative.isEmpty() && errno == ENOENT)
                return {}; // no such folder: the caller tells
            BarsEntry e = relative.isEmpty() ? BarsEntry{folder, root, folder, {}, {}}
                                             : entryFor(dirPath, folder, relative);
            e.problem = errno == EACCES ? BarsProblem::Denied : BarsProblem::Unreadable;
            e.error = QString::fromLocal8Bit(std::strerror(errno));
            entries.push_back(std::move(e));
            continue;
        }
        while (const dirent *d = ::readdir(dir)) {
            const QByteArrayView name(d->d_name);
            if (name == "." || name == "..")
                continue;
            const QByteArray rel =
                relative.isEmpty() ? name.toByteArray() : relative + '/' + name.toByteArray();
            const QByteArray full = root + '/' + rel;
            struct stat own;
            if (::lstat(full.constData(), &own) != 0)
                continue; // gone since it was listed
            if (S_ISDIR(own.st_mode)) {
                pending.push_back(rel); // links to folders are not followed: no loops
                continue;
            }
            if (!isCandidateName(name))
                continue;
            BarsEntry e = entryFor(full, folder, rel);
            struct stat target;
            if (::stat(full.constData(), &target) != 0) {
                e.problem = BarsProblem::Unreadable; // a link to nothing
                e.error = QString::fromLocal8Bit(std::strerror(errno));
            } else if (S_ISDIR(target.st_mode)) {
                continue;
            } else if (!S_ISREG(target.st_mode)) {
                e.problem = BarsProblem::NotRegular; // a pipe would block the reader
            } else if (::access(full.constData(), R_OK) != 0) {
                e.problem = BarsProblem::Denied;
            }
            entries.push_back(std::move(e));
        }
        ::closedir(dir);
    }
#else
    // Windows names are UTF-16: every one has its QString.
    QDirIterator it(folder, QDir::Files | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!isCandidateName(it.fileName().toUtf8()))
            continue;
        BarsEntry e;
        e.path = path;
        e.shown = path;
        if (!it.fileInfo().isFile())
            e.problem = BarsProblem::NotRegular;
        else if (!it.fileInfo().isReadable())
            e.problem = BarsProblem::Denied;
        entries.push_back(std::move(e));
    }
#endif
    std::sort(entries.begin(), entries.end(), [](const BarsEntry &a, const BarsEntry &b) {
        return std::tie(a.shown, a.native) < std::tie(b.shown, b.native);
    });
    return entries;
}

BarsFileRead readBarsEntry(const BarsEntry &entry, qint64 maxBytes)
{
    BarsFileRead r;
    if (entry.problem != BarsProblem::None) {
        r.problem = entry.problem;
        r.error = entry.error;
        return r;
    }
    if (!entry.path.isEmpty())
        return readBarsFile(entry.path, maxBytes);
#ifdef Q_OS_UNIX
    const int fd = ::open(entry.native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int why = errno;
        r.problem = fd >= 0         ? BarsProblem::NotRegular
                    : why == EACCES ? BarsProblem::Denied
                                    : BarsProblem::Unreadable;
        r.error = QString::fromLocal8Bit(std::strerror(why));
        if (fd >= 0)
            ::close(fd);
        return r;
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        r.problem = BarsProblem::Unreadable;
        r.error = file.errorString();
        return r;
    }
    if (qint64(st.st_size) > maxBytes) {
        r.problem = BarsProblem::TooLarge;
        return r;
    }
    // A regular file: its size is known and bounded, one read takes it.
    const QByteArray bytes = file.read(qint64(st.st_size) + 1);
    if (file.error() != QFileDevice::NoError || bytes.size() > maxBytes) {
        r.problem = bytes.size() > maxBytes ? BarsProblem::TooLarge : BarsProblem::Unreadable;
        r.error = file.errorString();
        return r;
    }
    return readBarsBytes(bytes, entry.shown);
#else
    r.problem = BarsProblem::Unreadable;
    return r;
#endif
}

} // namespace morvane::formula
