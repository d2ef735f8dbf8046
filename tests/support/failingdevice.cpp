#include "failingdevice.h"

using namespace Qt::StringLiterals;

FailingDevice::FailingDevice()
{
    open(QIODevice::ReadOnly);
}

qint64 FailingDevice::readData(char *, qint64)
{
    setErrorString(u"Input/output error"_s);
    return -1;
}

qint64 FailingDevice::writeData(const char *, qint64)
{
    return -1;
}
