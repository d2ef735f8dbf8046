#pragma once

#include <QMap>
#include <QString>

namespace morvane {

// The values a user gave the parameters of a formula, kept per formula text: copied formulas
// rarely carry their parameters, the charting software keeps them in its own table, and the
// user should have to type them once. The text is compared with its spacing removed, so a
// formula pasted again with other line breaks finds its values.
class ParameterMemory
{
public:
    // An empty path remembers nothing.
    explicit ParameterMemory(QString path = {});

    const QString &path() const { return m_path; }
    QMap<QString, double> recall(const QString &formula) const;
    // Saves values for the formula (empty values forget it); the newest kMaxFormulas stay.
    // False when the file could not be written.
    bool remember(const QString &formula, const QMap<QString, double> &values) const;

    static constexpr int kMaxFormulas = 500;
    static constexpr qint64 kMaxFileBytes = 4 << 20; // a larger file is not ours: left alone

private:
    QString m_path;
};

} // namespace morvane
