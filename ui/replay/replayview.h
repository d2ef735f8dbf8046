#pragma once

#include "replaybars.h"
#include "replayjob.h"

#include <QMap>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QFormLayout;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QProgressBar;
class QPushButton;
class QSlider;
class QTableWidget;

namespace morvane {

class FolderSummaryJob;
class ReplayChart;

// What the replay view asks of the outside world; tests replace each of them.
struct ReplayServices
{
    // A file to read bars from, "" when the user cancels.
    std::function<QString(QWidget *parent, const QString &caption, const QString &filter)> openFile;
    // A folder of bar files, "" when the user cancels.
    std::function<QString(QWidget *parent, const QString &caption)> openFolder;
    std::function<void(QWidget *parent, const QString &text)> warn; // a message to the user
    QString parametersPath; // the values given to formulas' parameters (ParameterMemory)

    static ReplayServices system();
};

// A value of the view's words: 空 for nothing, else with the given decimals.
QString replayValueWords(double x, int decimals);
// The output's example in words: "XG 在 2021-03-12 当时发出信号，之后消失"; empty without one.
QString replayExampleWords(const ReplayOutput &output, const ReplayModel &model);
// An output's verdict in a line: "改写历史", "稳定" or "无法检验", and why.
QString replayVerdict(const ReplayOutput &output, const ReplayModel &model);

// Statements of the formula did not parse: left out of the replay, so nothing is 稳定.
bool hasSyntaxProblems(const ReplayModel &model);

// The replay as a chart: a cut slider over the bars, the outputs then and today, the live
// trace; beside it the verdicts, the bars' origin, the parameters and the choice of bars.
class ReplayView : public QWidget
{
    Q_OBJECT
public:
    explicit ReplayView(ReplayServices services = ReplayServices::system(),
                        QWidget *parent = nullptr);

    // A new formula: its parameters start from the values the user gave this text before,
    // else from their declarations.
    void setFormula(const QString &text);
    const QString &formula() const { return m_formula; }

    const ReplayModel *model() const { return m_model.get(); }
    bool isComputing() const;
    QString origin() const { return m_source.origin; }
    QStringList verdicts() const;
    QDoubleSpinBox *parameterBox(const QString &name) const { return m_paramBoxes.value(name); }

    ReplayChart *chart() const { return m_chart; }
    QSlider *slider() const { return m_slider; }
    QCheckBox *liveTraceBox() const { return m_liveTrace; }
    QPushButton *cancelButton() const { return m_cancel; }
    QProgressBar *progressBar() const { return m_progress; }
    QComboBox *filesBox() const { return m_files; }
    QListWidget *folderSummary() const { return m_summary; }
    QTableWidget *scorecard() const { return m_scorecard; }
    QPushButton *exampleButton() const { return m_showExample; }
    QLabel *scorecardStory() const { return m_scoreStory; }
    QListWidget *verdictList() const { return m_verdicts; }

public slots:
    void useBuiltinBars();
    void chooseFile();
    // The bars of one file (a refusal is told), and the formula run on them.
    void useFile(const QString &path);
    void chooseFolder();
    void recompute();
    void cancel();

signals:
    void computed(); // a model is shown
    void folderSummarized();
    void cancelled();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void createLayout();
    void setSource(BarsSource source);
    void setFolder(const QString &folder); // "" when the bars are no folder's
    void showScorecards();
    void showScorecard();
    void summarizeFolder();
    void showBuiltinList();
    void showModel(std::shared_ptr<const ReplayModel> model);
    void addVerdicts();
    void showParameters();
    void showCut(int cut);
    // The cut that shows the example of the verdict's output, -1 for none.
    qsizetype exampleCut(const QListWidgetItem *item) const;
    void showExample();
    void setStatus(const QString &text);

    ReplayServices m_services;
    ReplayJob *m_job = nullptr;
    QString m_formula;
    BarsSource m_source;
    std::vector<formula::BarsEntry> m_folderFiles;
    QMap<QString, double> m_params; // the values the user set
    std::shared_ptr<const ReplayModel> m_model;
    QMap<QString, QDoubleSpinBox *> m_paramBoxes;

    ReplayChart *m_chart = nullptr;
    QSlider *m_slider = nullptr;
    QLabel *m_cutLabel = nullptr;
    QCheckBox *m_liveTrace = nullptr;
    QProgressBar *m_progress = nullptr;
    QPushButton *m_cancel = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_originLabel = nullptr;
    QComboBox *m_files = nullptr;
    QWidget *m_paramPanel = nullptr;
    QFormLayout *m_paramForm = nullptr;
    QPushButton *m_recompute = nullptr;
    QListWidget *m_verdicts = nullptr;
    QPushButton *m_showExample = nullptr;
    FolderSummaryJob *m_summaryJob = nullptr;
    QLabel *m_scoreHeading = nullptr;
    QComboBox *m_scoreOutput = nullptr;
    QTableWidget *m_scorecard = nullptr;
    QLabel *m_scoreStory = nullptr;
    QString m_folder;     // the folder whose files the list offers, else empty
    QString m_summaryKey; // the folder, formula and parameters the summary is of
    QLabel *m_summaryHeading = nullptr;
    QListWidget *m_summary = nullptr;
    std::size_t m_verdictsShown = 0; // outputs of m_model in the list so far
};

} // namespace morvane
