#include "fmfunctioncheck.h"
#include "morvane_config.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstring>
#include <new>

using namespace Qt::StringLiterals;

namespace {

// --help and --version answer without a display: help2man asks them while building.
bool asksForInformation(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i)
        for (const char *option : {"-h", "--help", "--help-all", "-v", "--version"})
            if (std::strcmp(argv[i], option) == 0)
                return true;
    return false;
}

void describe()
{
    // The window program's name also names the user's data folder (see userListDir()).
    QCoreApplication::setApplicationName(u"morvane"_s);
    QCoreApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
}

int answerInformation(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    describe();
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Opens the window that tells whether an indicator formula uses future functions "
        "(未来函数). Paste the formula and press 检测 (check).\n"
        "The function list is list.txt beside the program, or in the user's data folder "
        "when the program's folder cannot be written."_s);
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app); // prints and exits
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (asksForInformation(argc, argv))
        return answerInformation(argc, argv);
    try {
        QApplication app(argc, argv);
        describe();
        QGuiApplication::setDesktopFileName(QStringLiteral(MORVANE_APP_ID));
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
