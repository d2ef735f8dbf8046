#include "fmfunctioncheck.h"
#include "morvane_config.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationVersion(QStringLiteral(MORVANE_VERSION));
    morvane::fmFunctionCheck window;
    window.Form_Load();
    window.show();
    return app.exec();
}
