#include "fmfunctioncheck.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    morvane::fmFunctionCheck window;
    window.Form_Load();
    window.show();
    return app.exec();
}
