#include "fmfunctioncheck.h"
#include "morvane_config.h"

#include <QApplication>

#include <cstdio>
#include <new>

int main(int argc, char *argv[])
{
    try {
        QApplication app(argc, argv);
        QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
        morvane::fmFunctionCheck window;
        window.Form_Load();
        window.show();
        return app.exec();
    } catch (const std::bad_alloc &) {
        // A list or a formula too large for memory: say so rather than abort.
        std::fputs("morvane: out of memory\n", stderr);
        return 2;
    }
}
