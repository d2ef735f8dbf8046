#pragma once

#include <QStringList>

class QIODevice;

namespace morvane {

// morvane-check: the window's check over formula files, for scripts and editors.
// Returns the exit status: 0 nothing found, 1 something found, 2 an input or option unusable.
int runCheckCommand(const QStringList &arguments, QIODevice &in, QIODevice &out, QIODevice &err);

} // namespace morvane
