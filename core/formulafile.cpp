#include "formulafile.h"

#include "encoding.h"

#include <QSaveFile>

namespace morvane {

QByteArray encodeFormula(const QString &text)
{
    QString crlf = text;
    crlf.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return encodeGb18030(crlf);
}

bool saveFormulaFile(const QString &path, const QString &text, QString *error)
{
    QSaveFile file(path);
    const QByteArray bytes = encodeFormula(text);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace morvane
