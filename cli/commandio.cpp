#include "commandio.h"

#include "replaywords.h"

#include <QDateTime>
#include <QFile>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace morvane {

// The input's device: standard input for "-", else the file, opened into `file`.
QIODevice *openInput(const QString &name, QIODevice &in, std::unique_ptr<QFile> *file,
                     QString *error)
{
    if (name == u"-"_s)
        return &in;
    *file = std::make_unique<QFile>(name);
    if (!(*file)->open(QIODevice::ReadOnly)) {
        *error = (*file)->errorString();
        if (name.contains(QChar::ReplacementCharacter))
            *error += u"（文件名不是有效的 UTF-8，此处的文件名须为 UTF-8）"_s;
        return nullptr;
    }
    return file->get();
}

// The rest of a device, up to the bound.
InputStatus readWhole(QIODevice &source, QByteArray *bytes, QString *error)
{
    char chunk[64 * 1024];
    for (qint64 n; (n = source.read(chunk, sizeof chunk)) != 0;) {
        if (n < 0) {
            *error = source.errorString();
            return InputStatus::ReadFailed;
        }
        if (bytes->size() + n > kMaxInput)
            return InputStatus::TooLarge;
        bytes->append(chunk, n);
    }
    return InputStatus::Ok;
}

QString prefixLines(const QString &text, const QString &prefix)
{
    QString result;
    for (const QString &line : text.split(u'\n', Qt::SkipEmptyParts))
        result += prefix + line + u'\n';
    return result;
}

QString tooLargeText()
{
    return formula::tooLargeWords(kMaxInput);
}

bool isTerminal(QIODevice &device)
{
    auto *file = qobject_cast<QFile *>(&device);
    if (!file || file->handle() < 0)
        return false;
#ifdef Q_OS_WIN
    return _isatty(file->handle()) != 0;
#else
    return isatty(file->handle()) != 0;
#endif
}

ProgressBar::ProgressBar(QIODevice &device, QString what)
    : m_device(device), m_what(std::move(what))
{
}

ProgressBar::~ProgressBar()
{
    if (m_drawn) {
        m_device.write("\r\x1b[K");
        if (auto *file = qobject_cast<QFileDevice *>(&m_device))
            file->flush();
    }
}

void ProgressBar::show(qint64 done, qint64 total)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (total <= 0 || (done < total && m_last >= 0 && now - m_last < 100))
        return;
    m_last = now;
    constexpr qint64 width = 30;
    const qint64 filled = width * done / total;
    const QString bar = QString(qsizetype(filled), u'#') + QString(qsizetype(width - filled), u'-');
    m_device.write((u"\r%1 [%2] %3/%4"_s.arg(m_what, bar).arg(done).arg(total)).toUtf8());
    m_drawn = true;
    // A frame left in the device's buffer would arrive at exit, after the report.
    if (auto *file = qobject_cast<QFileDevice *>(&m_device))
        file->flush();
}

} // namespace morvane
