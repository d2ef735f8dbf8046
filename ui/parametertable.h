#pragma once

#include "parametermemory.h"

#include <QFrame>
#include <QMap>
#include <QString>

#include <vector>

class QLabel;
class QTableWidget;

namespace morvane {

// A parameter of a formula as the chart would show it in its parameter table.
struct FormulaParameter
{
    QString name;
    double value = 0;        // the remembered one, else the default
    double defaultValue = 0; // the declaration's, else the one assumed
    bool declared = false;   // the formula gives it a default
    bool remembered = false; // the user gave the value
    QString meaning;         // a stock fact's ("日线" for PERIOD), else empty
};

// Every parameter the formula reads, the undeclared first, in the order the chart's table
// would list them; `given` overrides the defaults.
std::vector<FormulaParameter> formulaParameters(const QString &formula,
                                                const QMap<QString, double> &given);

// "M1=5，M2=10": whole values without decimals.
QString parameterText(double value);

// The parameters of a formula beside the report: the undeclared ones to fill in as the chart
// has them, kept per formula text for the replay.
class ParameterTable : public QFrame
{
    Q_OBJECT
public:
    explicit ParameterTable(ParameterMemory memory, QWidget *parent = nullptr);

    void setFormula(const QString &formula);
    const std::vector<FormulaParameter> &parameters() const { return m_parameters; }
    int undeclared() const;
    QTableWidget *table() const { return m_table; }

signals:
    void changed(); // a value was given and remembered

private:
    void fill();
    void valueEdited(int row);

    ParameterMemory m_memory;
    QString m_formula;
    std::vector<FormulaParameter> m_parameters;
    QLabel *m_note = nullptr;
    QTableWidget *m_table = nullptr;
};

} // namespace morvane
