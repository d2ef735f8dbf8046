#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTest>

// Raw bytes in and out of files, for tests that care about every byte.
inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(bytes), bytes.size());
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Whether a folder with a Chinese name can be made in `dir`. Wine maps names through the
// host's character set: on a host without a UTF-8 locale it cannot, though Windows can.
inline bool chineseNamesWork(const QString &dir)
{
    QDir probe(dir);
    if (!probe.mkpath(QStringLiteral("中文")))
        return false;
    probe.rmdir(QStringLiteral("中文"));
    return true;
}

// Skips the rest of a test where the system cannot hold Chinese names (see chineseNamesWork).
#define SKIP_WITHOUT_CHINESE_NAMES(dir)                                                            \
    do {                                                                                           \
        if (!chineseNamesWork(dir))                                                                \
            QSKIP("no Chinese file names here (Wine on a host without a UTF-8 locale)");           \
    } while (false)
