#include "fmfunctioncheck.h"
#include "morvane_config.h"
#include "translations.h"

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
    morvane::installQtChinese(&app);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"打开 Morvane 窗口，检查指标公式是否用到未来函数。把公式粘贴到代码框（或按 Ctrl+O "
        "打开公式文件），点击“检测”查看结果。\n"
        "未来函数列表是程序所在文件夹中的 list.txt；该文件夹不能写入时，放在用户数据文件夹中。"_s);
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
        morvane::installQtChinese(&app);
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
