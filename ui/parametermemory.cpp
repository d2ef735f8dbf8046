#include "parametermemory.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <vector>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

QString keyOf(const QString &formula)
{
    QString text;
    text.reserve(formula.size());
    for (QChar c : formula)
        if (!c.isSpace())
            text += c;
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toHex());
}

// The stored formulas, or nothing when the file is missing, too large or not ours.
QJsonObject readAll(const QString &path, bool *readable)
{
    *readable = true;
    QFile file(path);
    if (!file.exists())
        return {};
    if (file.size() > ParameterMemory::kMaxFileBytes || !file.open(QIODevice::ReadOnly)) {
        *readable = false;
        return {};
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        *readable = false;
        return {};
    }
    return doc.object();
}

} // namespace

ParameterMemory::ParameterMemory(QString path) : m_path(std::move(path)) {}

QMap<QString, double> ParameterMemory::recall(const QString &formula) const
{
    QMap<QString, double> values;
    if (m_path.isEmpty())
        return values;
    bool readable = false;
    const QJsonObject entry = readAll(m_path, &readable).value(keyOf(formula)).toObject();
    const QJsonObject params = entry.value(u"params"_s).toObject();
    for (auto it = params.begin(); it != params.end(); ++it)
        if (it.value().isDouble() && std::isfinite(it.value().toDouble()))
            values.insert(it.key(), it.value().toDouble());
    return values;
}

bool ParameterMemory::remember(const QString &formula, const QMap<QString, double> &values) const
{
    if (m_path.isEmpty())
        return true;
    bool readable = false;
    QJsonObject all = readAll(m_path, &readable);
    if (!readable) {
        // Somebody else's file, or ours damaged: kept aside rather than written over.
        const QString aside = m_path + u".bad"_s;
        QFile::remove(aside);
        if (!QFile::rename(m_path, aside))
            return false;
        all = {};
    }
    const QString key = keyOf(formula);
    if (values.isEmpty()) {
        all.remove(key);
    } else {
        QJsonObject params;
        for (auto it = values.begin(); it != values.end(); ++it)
            params.insert(it.key(), it.value());
        all.insert(key, QJsonObject{{u"params"_s, params},
                                    {u"used"_s, QDateTime::currentMSecsSinceEpoch()}});
    }
    if (all.size() > kMaxFormulas) {
        std::vector<std::pair<double, QString>> byUse;
        for (auto it = all.begin(); it != all.end(); ++it)
            byUse.emplace_back(it.value().toObject().value(u"used"_s).toDouble(), it.key());
        std::sort(byUse.begin(), byUse.end());
        for (std::size_t i = 0; i + kMaxFormulas < byUse.size(); ++i)
            all.remove(byUse[i].second);
    }
    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(all).toJson(QJsonDocument::Compact));
    return file.commit();
}

} // namespace morvane
