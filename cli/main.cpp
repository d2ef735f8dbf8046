#include "checkcommand.h"
#include "morvane_config.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <new>

#ifdef Q_OS_WIN
#include <QScopeGuard>

#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

int main(int argc, char *argv[])
{
    try {
        QCoreApplication app(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("morvane-check"));
        QCoreApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
        // Qt's own words in --help and option errors ("用法：", "未知选项"), where installed.
        QTranslator qtChinese;
        for (const QString &dir :
             {QCoreApplication::applicationDirPath() + QStringLiteral("/translations"),
              QLibraryInfo::path(QLibraryInfo::TranslationsPath),
              QStringLiteral(":/translations")}) {
            if (qtChinese.load(QStringLiteral("qtbase_zh_CN"), dir)) {
                QCoreApplication::installTranslator(&qtChinese);
                break;
            }
        }
        QFile in, out, err;
#ifdef Q_OS_WIN
        // Byte for byte: no CR LF folding, no end at Ctrl-Z. And through the descriptor: Qt
        // takes the end of a pipe read through the FILE for a read error.
        _setmode(_fileno(stdin), _O_BINARY);
        in.open(_fileno(stdin), QIODevice::ReadOnly);
        // What is written is UTF-8, as on Linux; a console (GBK on a Chinese Windows) shows it
        // right only in its UTF-8 code page, given back on the way out. Files and pipes get
        // the same bytes.
        const UINT consoleCodePage = GetConsoleOutputCP();
        if (consoleCodePage != 0)
            SetConsoleOutputCP(CP_UTF8);
        const auto restoreCodePage = qScopeGuard([consoleCodePage] {
            if (consoleCodePage != 0)
                SetConsoleOutputCP(consoleCodePage);
        });
#else
        in.open(stdin, QIODevice::ReadOnly);
#endif
        out.open(stdout, QIODevice::WriteOnly);
        err.open(stderr, QIODevice::WriteOnly);
        return morvane::runCheckCommand(QCoreApplication::arguments(), in, out, err);
    } catch (const std::bad_alloc &) {
        std::fputs("morvane-check: out of memory\n", stderr);
        return 2;
    }
}
