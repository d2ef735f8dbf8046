#include "translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

using namespace Qt::StringLiterals;

namespace morvane {

bool installQtChinese(QCoreApplication *app)
{
    const QString dirs[] = {QCoreApplication::applicationDirPath() + u"/translations"_s,
                            QLibraryInfo::path(QLibraryInfo::TranslationsPath),
                            u":/translations"_s};
    for (const QString &dir : dirs) {
        auto *translator = new QTranslator(app);
        if (translator->load(u"qtbase_zh_CN"_s, dir) &&
            QCoreApplication::installTranslator(translator))
            return true;
        delete translator;
    }
    return false;
}

} // namespace morvane
