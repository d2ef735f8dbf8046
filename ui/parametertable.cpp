#include "parametertable.h"

#include "eval.h"
#include "parser.h"

#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane {

std::vector<FormulaParameter> formulaParameters(const QString &formula,
                                                const QMap<QString, double> &given)
{
    const formula::Program program = formula::parse(formula);
    const formula::Evaluator evaluator(program);
    // No bars: only which names are parameters, and their defaults, are wanted.
    const formula::Evaluation none = evaluator.run(formula::Bars{});
    std::vector<FormulaParameter> out;
    for (const formula::ParamUse &p : none.params) {
        FormulaParameter f;
        f.name = p.name;
        f.defaultValue = p.value;
        f.declared = !p.assumed;
        f.meaning = p.meaning;
        const auto it = given.constFind(p.name);
        f.remembered = it != given.constEnd();
        f.value = f.remembered ? *it : p.value;
        out.push_back(f);
    }
    std::stable_sort(out.begin(), out.end(), [&](const auto &a, const auto &b) {
        if (a.declared != b.declared)
            return !a.declared;
        if (!a.declared && a.meaning.isEmpty() && b.meaning.isEmpty())
            return evaluator.assumedOrder(a.name) < evaluator.assumedOrder(b.name);
        return a.meaning.isEmpty() && !b.meaning.isEmpty();
    });
    return out;
}

QString parameterText(double value)
{
    return QString::number(value, 'g', 10);
}

ParameterTable::ParameterTable(ParameterMemory memory, QWidget *parent)
    : QFrame(parent, Qt::Popup), m_memory(std::move(memory))
{
    setObjectName(u"ParameterTable"_s);
    setFrameStyle(QFrame::StyledPanel | QFrame::Plain);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    m_note = new QLabel(this);
    m_note->setWordWrap(true);
    layout->addWidget(m_note);
    m_table = new QTableWidget(0, 3, this);
    m_table->setHorizontalHeaderLabels({u"参数"_s, u"数值"_s, u"来源"_s});
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::AllEditTriggers);
    layout->addWidget(m_table);
    connect(m_table, &QTableWidget::cellChanged, this, [this](int row, int column) {
        if (column == 1)
            valueEdited(row);
    });
    setFixedWidth(332);
}

void ParameterTable::setFormula(const QString &formula)
{
    m_formula = formula;
    m_parameters = formulaParameters(formula, m_memory.recall(formula));
    fill();
}

int ParameterTable::undeclared() const
{
    return int(std::count_if(m_parameters.begin(), m_parameters.end(),
                             [](const FormulaParameter &p) { return !p.declared; }));
}

void ParameterTable::fill()
{
    const QSignalBlocker block(m_table);
    m_table->setRowCount(int(m_parameters.size()));
    for (int row = 0; row < int(m_parameters.size()); ++row) {
        const FormulaParameter &p = m_parameters[std::size_t(row)];
        auto *name = new QTableWidgetItem(
            p.meaning.isEmpty() ? p.name : u"%1（%2）"_s.arg(p.name, p.meaning));
        name->setFlags(Qt::ItemIsEnabled);
        auto *value = new QTableWidgetItem(parameterText(p.value));
        value->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
        QString from;
        if (p.remembered)
            from = u"已填写"_s;
        else if (p.declared)
            from = u"公式声明"_s;
        else
            from = u"未声明，假设为 %1"_s.arg(parameterText(p.defaultValue));
        auto *source = new QTableWidgetItem(from);
        source->setFlags(Qt::ItemIsEnabled);
        m_table->setItem(row, 0, name);
        m_table->setItem(row, 1, value);
        m_table->setItem(row, 2, source);
    }
    m_table->resizeColumnsToContents();
    m_table->setColumnWidth(1, std::max(m_table->columnWidth(1), 64));
    const int rows = std::min<int>(int(m_parameters.size()), 8);
    m_table->setFixedHeight(m_table->horizontalHeader()->height() + 4 +
                            rows * m_table->verticalHeader()->defaultSectionSize());
    if (m_parameters.empty())
        m_note->setText(u"公式没有参数。"_s);
    else if (undeclared() > 0)
        m_note->setText(u"公式用到 %1 个没有声明的参数：图表软件把它们放在公式的参数表里。"
                        u"请按那里的值填写；按公式记住，回放时使用。"_s.arg(undeclared()));
    else
        m_note->setText(u"参数都已在公式中声明；改动的值按公式记住，回放时使用。"_s);
    adjustSize();
}

void ParameterTable::valueEdited(int row)
{
    QTableWidgetItem *item = m_table->item(row, 1);
    bool ok = false;
    const double value = QLocale::c().toDouble(item->text().trimmed(), &ok);
    FormulaParameter &p = m_parameters[std::size_t(row)];
    if (!ok || !std::isfinite(value)) {
        const QSignalBlocker block(m_table);
        item->setText(parameterText(p.value)); // not a number: the old value stays
        return;
    }
    p.value = value;
    p.remembered = true;
    QMap<QString, double> values = m_memory.recall(m_formula);
    values.insert(p.name, value);
    const bool kept = m_memory.remember(m_formula, values);
    fill();
    if (!kept)
        m_note->setText(u"无法写入 %1：填写的值没有记住，回放仍按原来的值。"_s.arg(
            QDir::toNativeSeparators(m_memory.path())));
    emit changed();
}

} // namespace morvane
