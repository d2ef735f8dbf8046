#include "checkcommand.h"
#include "morvane_config.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <new>

int main(int argc, char *argv[])
{
    try {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("morvane-check"));
        QCoreApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
        QFile in, out, err;
        in.open(stdin, QIODevice::ReadOnly);
        out.open(stdout, QIODevice::WriteOnly);
        err.open(stderr, QIODevice::WriteOnly);
        return morvane::runCheckCommand(QCoreApplication::arguments(), in, out, err);
    } catch (const std::bad_alloc &) {
        std::fputs("morvane-check: out of memory\n", stderr);
        return 2;
    }
}
