#pragma once

#include "commandio.h"

#include <QMap>
#include <QStringList>

namespace morvane {

struct Options
{
    QString list; // empty: list.txt beside the program, else the built-in names
    bool positions = false;
    bool json = false;
    bool precise = false; // the formula read as a program
    bool replay = false;  // the formula run on bars
    bool eval = false;    // the formula's outputs at every bar, as CSV
    QString bars;         // --replay, --eval: a CSV export; empty: the built-in history
    QMap<QString, double> params;
    int horizon = 5;      // --replay: a signal's outcome is the close this many bars later
    bool finalAt = false; // --eval: per output, from which date each value stood as it stands
    QStringList inputs;   // "-" is standard input
};

enum class ParseResult
{
    Run,
    Done,
    Failed
};

// Fills options from the command line; answers --help and --version itself.
ParseResult parseOptions(const QStringList &arguments, Options *options, Writer &out,
                         QString *error);

} // namespace morvane
