#include "checkcommand.h"
#include "morvane_config.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("morvane-check"));
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    QFile in, out, err;
    in.open(stdin, QIODevice::ReadOnly);
    out.open(stdout, QIODevice::WriteOnly);
    err.open(stderr, QIODevice::WriteOnly);
    return morvane::runCheckCommand(QCoreApplication::arguments(), in, out, err);
}
