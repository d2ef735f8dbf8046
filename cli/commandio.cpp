#include "commandio.h"

#include <QFile>

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
            *error += u"（文件名不是有效的 UTF-8，这里的文件名必须是 UTF-8）"_s;
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
} // namespace morvane
