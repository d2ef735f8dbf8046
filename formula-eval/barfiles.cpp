#include "barfiles.h"

namespace morvane::formula {

BarsFileRead readBarsFile(const QString &path, qint64 maxBytes)
{
    Q_UNUSED(path);
    Q_UNUSED(maxBytes);
    BarsFileRead r;
    r.problem = BarsProblem::UnknownLayout;
    return r;
}

BarsFileRead readBarsBytes(const QByteArray &bytes, const QString &fileName)
{
    Q_UNUSED(bytes);
    Q_UNUSED(fileName);
    BarsFileRead r;
    r.problem = BarsProblem::UnknownLayout;
    return r;
}

BarsFileKind barsFileKind(const QString &fileName, QByteArrayView head)
{
    Q_UNUSED(fileName);
    Q_UNUSED(head);
    return BarsFileKind::Unknown;
}

int dayPriceDivisor(const QString &fileName)
{
    Q_UNUSED(fileName);
    return 100;
}

QStringList barsFilesIn(const QString &folder)
{
    Q_UNUSED(folder);
    return {};
}

} // namespace morvane::formula
