#pragma once

#include "bars.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace morvane::formula {

// One security's bars with what is known of it.
struct Security
{
    QString code; // "sh600000", "600000"; empty when the file does not say
    QString name; // "浦发银行", "模拟甲"; empty when the file does not say
    QString file; // empty for the built-in securities
    Bars bars;
};

enum class BarsFileKind
{
    Unknown,
    Csv,    // date, open, high, low, close[, volume[, amount]] (readBarsCsv)
    Day,    // the charting software's vipdoc/{sh,sz,bj}/lday/*.day, 32-byte records
    Export, // the charting software's text export (数据导出)
};

struct BarsFileRead
{
    Bars bars;
    QString code;
    QString name;
    BarsFileKind kind = BarsFileKind::Unknown;
    // The price unit a .day file was read with: 100 (stocks, indices) or 1000 (funds,
    // bonds, Shanghai B shares), decided by the code (dayPriceDivisor); 0 for text.
    int priceDivisor = 0;
    BarsProblem problem = BarsProblem::None;
    qint64 record = 0; // 1-based record (.day) or line (text) of the problem; 0 the whole file
    int field = 0;     // 1-based field of the problem, 0 the whole record
    QString error;     // the system's words when the file could not be opened or read
    // Records passed over, not refused (all-zero .day records); the first of them.
    qint64 skipped = 0;
    qint64 firstSkipped = 0;

    bool ok() const { return problem == BarsProblem::None; }
};

// Reads a bars file of any known kind, refusing it unread when larger than maxBytes
// (devices and pipes are read up to the bound and refused past it).
BarsFileRead readBarsFile(const QString &path, qint64 maxBytes);
// The same on bytes already read; the name (its extension, and the code in it) helps
// decide the kind. Standard input, tests and the fuzzer come this way.
BarsFileRead readBarsBytes(const QByteArray &bytes, const QString &fileName);

// The kind a file name and its first bytes say.
BarsFileKind barsFileKind(const QString &fileName, QByteArrayView head);

// .day prices are integers in units of 1/divisor: 1000 for funds and bonds (sh 5xxxxx,
// sh 1xxxxx, sh 2xxxxx, sh 9xxxxx B shares; sz 10xxxx–13xxxx, 15xxxx, 16xxxx, 18xxxx),
// 100 for everything else (stocks, indices, Beijing). The file name gives market and code.
int dayPriceDivisor(const QString &fileName);

// One candidate bars file of a folder (*.day, *.csv, *.txt, *.tsv, any case, sub-folders
// included), or a sub-folder that could not be listed.
struct BarsEntry
{
    QString path;      // for QFile; empty when the name has no exact QString form
    QByteArray native; // the path's own bytes (Unix): a GBK name unpacked on Linux opens by these
    QString shown;     // the path as the user reads it: UTF-8, else GB18030, else escaped bytes
    // Known unreadable before it is opened: None, Denied, NotRegular, or Unreadable with the
    // system's words in error (a sub-folder that could not be listed).
    BarsProblem problem = BarsProblem::None;
    QString error;
};

// Every candidate under a folder, sorted by what is shown; a folder that cannot be listed is
// one entry that says why, one that does not exist none. Nothing is filtered out by its
// content or its name's bytes: a candidate that does not read is refused when read, so it is
// named and counted. Names only: nothing is read, so a folder of thousands stays cheap.
std::vector<BarsEntry> barsEntriesIn(const QString &folder);

// Reads an entry as readBarsFile reads a path, by the name's own bytes where it has no
// QString form; the error and the kind go by what is shown.
BarsFileRead readBarsEntry(const BarsEntry &entry, qint64 maxBytes);

} // namespace morvane::formula
