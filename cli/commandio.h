#pragma once

#include "textscan.h"

#include <QByteArray>
#include <QFileDevice>
#include <QIODevice>
#include <QString>

#include <functional>
#include <memory>

class QFile;

namespace morvane {

inline constexpr char kProgram[] = "morvane-check";
// No formula is this long; the bound keeps /dev/zero and sparse giants from eating memory.
inline constexpr qint64 kMaxInput = qint64(256) << 20;

// Says one thing on standard error, after the program's name.
using Fail = std::function<void(const QString &)>;

// Output goes out in large pieces: thousands of small files make thousands of reports.
// A failed write (a full disk, a closed pipe) is remembered, not ignored.
class Writer
{
public:
    explicit Writer(QIODevice &device) : m_device(device) {}
    ~Writer() { flush(); }
    Writer &operator<<(const QString &text)
    {
        m_buffer += text.toUtf8();
        if (m_buffer.size() > (1 << 20))
            write();
        return *this;
    }
    // Text already in UTF-8.
    Writer &writeUtf8(QByteArrayView utf8)
    {
        if (utf8.size() >= (1 << 19)) { // large: handed over as it is, not copied first
            write();
            if (m_device.write(utf8.data(), utf8.size()) != utf8.size())
                m_failed = true;
            return *this;
        }
        m_buffer += utf8;
        if (m_buffer.size() > (1 << 20))
            write();
        return *this;
    }
    // Everything written out and handed to the system; false when anything failed.
    bool flush()
    {
        write();
        if (auto *file = qobject_cast<QFileDevice *>(&m_device); file && !file->flush())
            m_failed = true;
        return !m_failed;
    }
    QString errorString() const { return m_device.errorString(); }

private:
    void write()
    {
        if (!m_buffer.isEmpty() && m_device.write(m_buffer) != m_buffer.size())
            m_failed = true;
        m_buffer.clear();
    }
    QIODevice &m_device;
    QByteArray m_buffer;
    bool m_failed = false;
};

// The input's device: standard input for "-", else the file, opened into `file`.
QIODevice *openInput(const QString &name, QIODevice &in, std::unique_ptr<QFile> *file,
                     QString *error);
// The rest of a device, up to the bound.
InputStatus readWhole(QIODevice &source, QByteArray *bytes, QString *error);
// Each line of text with the prefix before it.
QString prefixLines(const QString &text, const QString &prefix);
// What an input over kMaxInput says, for every mode alike.
QString tooLargeText();
// The device is a terminal a person watches (progress is drawn only there).
bool isTerminal(QIODevice &device);

// A progress bar on a terminal, redrawn at most ten times a second, wiped when done.
class ProgressBar
{
public:
    ProgressBar(QIODevice &device, QString what);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    void show(qint64 done, qint64 total);

private:
    QIODevice &m_device;
    QString m_what;
    qint64 m_last = -1;
    bool m_drawn = false;
};

} // namespace morvane
