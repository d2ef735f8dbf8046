#pragma once

#include <QIODevice>

// Opens fine, then fails every read: a disk error, a file pulled away, without tricks.
class FailingDevice : public QIODevice
{
public:
    FailingDevice();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;
};
