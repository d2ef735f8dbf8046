#pragma once

#include "options.h"

namespace morvane {

// The list check over each input: the window's report, --positions or --json.
int runPlain(const Options &options, const QStringList &entries, QIODevice &in, Writer &out,
             const Fail &fail);

} // namespace morvane
