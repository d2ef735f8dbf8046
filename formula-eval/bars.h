#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>

#include <map>
#include <vector>

namespace morvane::formula {

// Daily price history, oldest bar first.
struct Bars
{
    std::vector<QDate> dates;
    std::vector<double> open, high, low, close, volume, amount;
    // More columns per bar. Latest-data values, keyed "CAPITAL", "DYNAINFO(7)",
    // "FINANCE(1)": a chart shows the newest of them on every bar. The market index,
    // "INDEXC", "INDEXO", "INDEXH", "INDEXL", "INDEXV", "INDEXA": plain per-bar data.
    std::map<QString, std::vector<double>> extra;

    qsizetype size() const { return qsizetype(dates.size()); }
    // The first count bars: the history as it stood on bar count-1.
    Bars head(qsizetype count) const;
};

// A seeded random walk of trading days (weekends skipped), identical on every platform.
// Carries CAPITAL with two share issues, FINANCE(1, 3, 7, 32, 33, 34, 42) stepping at
// report dates (shares with the issues, 42 every day), and a market index.
Bars builtinBars(int count = 1000, quint32 seed = 20240105);

enum class BarsProblem
{
    None,
    Empty,         // no data rows
    ColumnCount,   // fewer than 5 or more than 7 fields
    BadDate,       // not YYYY-MM-DD, YYYY/MM/DD or YYYYMMDD, or no such day
    BadNumber,     // a price, volume or amount that is not a finite number
    BadPrices,     // a price not above zero, open or close outside low..high, a negative volume
                   // or amount
    DateOrder,     // a date not after the row above
    Encoding,      // not text
    TooLarge,      // the file is over the size bound; nothing read past it
    Truncated,     // a .day file ends inside a record
    UnknownLayout, // neither CSV, .day nor the text export
    Unreadable,    // the file could not be opened or read (BarsFileRead::error says why)
    Denied,        // a folder's file or sub-folder the user may not read
    NotRegular,    // a folder's entry that is no regular file (a pipe, a device): not opened
    TooLong,       // a field longer than any date or number (the line when field is 0)
    AfterEnd,      // a line after the export's 数据来源 footer
    NotDaily,      // minute bars (the export's 时间 column): only daily bars are read
};

struct BarsRead
{
    Bars bars;
    BarsProblem problem = BarsProblem::None;
    int line = 0;   // 1-based line of the problem
    int column = 0; // 1-based field of the problem, 0 when the whole row
};

// CSV or tab-separated: date, open, high, low, close[, volume[, amount]]; one header line
// allowed. Nothing is guessed: the first malformed row is the answer.
BarsRead readBarsCsv(const QByteArray &bytes);

} // namespace morvane::formula
