#pragma once

#include <QByteArray>
#include <QString>

namespace morvane {

// The formula as the text box holds it, in GB18030 with CR LF line ends, nothing appended.
QByteArray encodeFormula(const QString &text);

// Replaces the file as a whole, or leaves it exactly as it was when anything fails.
bool saveFormulaFile(const QString &path, const QString &text, QString *error = nullptr);

// The chosen path with ".txt" added when its file name has no dot, the rule Qt's Save As
// dialog applies, so that a dialog that adds nothing saves the same file.
QString withTextExtension(const QString &path);

} // namespace morvane
