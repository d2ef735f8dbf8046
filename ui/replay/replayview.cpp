#include "replayview.h"

#include "explain.h"
#include "foldersummary.h"
#include "parametermemory.h"
#include "services.h"

#include "replaychart.h"
#include "replaytext.h"
#include "replaywords.h"
#include "reportstyle.h"
#include "skinwidgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>

using namespace Qt::StringLiterals;

namespace morvane {

namespace {

// A parameter as the formula writes it: 5, not 5.00; 0.5 as 0.5.
QString number(double x)
{
    return std::isnan(x) ? u"空"_s : QString::number(x, 'g', 10);
}

// The evaluator's nesting bound is no function that is missing: it is told as what it means.
QString whyNotComputed(const QStringList &missing)
{
    QStringList names = missing;
    const bool deep = names.removeAll(QString::fromUtf16(formula::kTooDeep)) > 0;
    QStringList parts;
    if (!names.isEmpty())
        parts << u"不会计算 "_s + names.join(u"、"_s);
    if (deep)
        parts << formula::tooDeepWords();
    return parts.join(u"；"_s);
}

QString isoDate(const QDate &d)
{
    return d.toString(Qt::ISODate);
}

QLabel *heading(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setFont(skin::font(12, true));
    return label;
}

} // namespace

ReplayServices ReplayServices::system()
{
    ReplayServices s;
    s.openFile = [](QWidget *parent, const QString &caption, const QString &filter) {
        ChineseFileIconProvider icons; // outlives the dialog, which only borrows it
        QFileDialog dialog(parent, caption, QString(), filter);
        dialog.setIconProvider(&icons);
        dialog.setFileMode(QFileDialog::ExistingFile);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };
    s.openFolder = [](QWidget *parent, const QString &caption) {
        ChineseFileIconProvider icons;
        QFileDialog dialog(parent, caption);
        dialog.setIconProvider(&icons);
        dialog.setFileMode(QFileDialog::Directory);
        dialog.setOption(QFileDialog::ShowDirsOnly);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
            return QString();
        return dialog.selectedFiles().constFirst();
    };
    s.warn = [](QWidget *parent, const QString &text) {
        QMessageBox::warning(parent, u"Morvane"_s, text);
    };
    return s;
}

bool hasSyntaxProblems(const ReplayModel &model)
{
    return model.program && !model.program->notes.empty();
}

namespace {

// A parameter as the formula writes it: 5, not 5.0000; 0.5 as 0.5.
class ParameterBox : public QDoubleSpinBox
{
public:
    using QDoubleSpinBox::QDoubleSpinBox;
    QString textFromValue(double value) const override { return QString::number(value, 'g', 10); }
};

} // namespace

QString replayValueWords(double x, int decimals)
{
    return std::isnan(x) ? u"空"_s : QString::number(x, 'f', decimals);
}

QString replayExampleWords(const ReplayOutput &o, const ReplayModel &model)
{
    const ReplayExample &e = o.example;
    const auto date = [&](qsizetype bar) {
        return bar >= 0 && bar < model.bars.size() ? isoDate(model.bars.dates[std::size_t(bar)])
                                                   : QString();
    };
    // A signal's 0 and 1 are no prices.
    const int decimals = o.scorecard ? 0 : model.priceDecimals;
    switch (e.kind) {
    case ReplayExample::Kind::None:
        return {};
    case ReplayExample::Kind::Vanished:
        return u"%1 在 %2 当时发出信号，之后消失"_s.arg(o.label, date(e.bar));
    case ReplayExample::Kind::Late:
        return u"%1 在 %2 的信号当时没有，到 %3 才出现（迟到 %4 根）"_s
            .arg(o.label, date(e.bar), date(e.cut))
            .arg(e.cut - e.bar);
    case ReplayExample::Kind::Rewrite:
        break;
    }
    const QString before = replayValueWords(e.before, decimals);
    const QString after = replayValueWords(e.after, decimals);
    if (o.drawing) {
        if (std::isnan(e.after))
            return u"%1 在 %2 当时画在 %3，之后消失"_s.arg(o.label, date(e.bar), before);
        if (std::isnan(e.before))
            return u"%1 在 %2 截至 %3 时没有画，之后画在 %4"_s.arg(o.label, date(e.bar),
                                                                   date(e.cut), after);
        return u"%1 在 %2 截至 %3 时画在 %4，之后移到 %5"_s.arg(o.label, date(e.bar), date(e.cut),
                                                                before, after);
    }
    return u"%1 的值截至 %2 时为 %3，之后为 %4"_s.arg(date(e.bar), date(e.cut), before, after);
}

QString replayVerdict(const ReplayOutput &o, const ReplayModel &model)
{
    if (!o.checked)
        return o.missing.isEmpty() ? u"%1：无法检验——没有行情数据"_s.arg(o.label)
                                   : u"%1：无法检验——%2"_s.arg(o.label, whyNotComputed(o.missing));
    if (model.cuts == 0)
        return u"%1：无法检验——%2"_s.arg(o.label, formula::cutlessWords(model.bars.size()));
    if (!o.rewrites()) {
        const formula::Unchanging u = formula::unchangingOver(o.today);
        if (u != formula::Unchanging::No)
            return u"%1：无法检验——%2"_s.arg(o.label, formula::unchangingWords(u));
    }
    if (!o.rewrites() && hasSyntaxProblems(model))
        return u"%1：未见改写——%2 个截断点，但公式有读不懂的语句没有回放，不能算稳定"_s.arg(o.label)
            .arg(model.cuts);
    if (!o.rewrites())
        return u"%1：稳定——%2 个截断点，过去的值没有一个变过"_s.arg(o.label).arg(model.cuts);
    QString text = u"%1：改写历史——%2/%3 个截断点，%4"_s.arg(o.label)
                       .arg(o.cutsRewritten)
                       .arg(model.cuts)
                       .arg(formula::reachWords(o.farthestBack));
    if (const QString example = replayExampleWords(o, model); !example.isEmpty())
        text += u"；例："_s + example;
    return text;
}

ReplayView::ReplayView(ReplayServices services, QWidget *parent)
    : QWidget(parent, Qt::Window), m_services(std::move(services)), m_job(new ReplayJob(this)),
      m_summaryJob(new FolderSummaryJob(this))
{
    setWindowTitle(u"回放 — Morvane"_s);
    setObjectName(u"ReplayView"_s);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, skin::contentGrey);
    setPalette(pal);
    setAutoFillBackground(true);
    createLayout();
    resize(1100, 620);

    connect(m_job, &ReplayJob::progress, this, [this](qint64 done, qint64 total) {
        m_progress->setRange(0, int(total));
        m_progress->setValue(int(done));
    });
    connect(m_job, &ReplayJob::finished, this, &ReplayView::showModel);
    connect(m_job, &ReplayJob::cancelled, this, [this] {
        m_progress->setVisible(false);
        m_cancel->setVisible(false);
        setStatus(u"已取消。点“重新计算”再算一次。"_s);
        m_chart->setMessage(u"已取消"_s);
        emit cancelled();
    });
    showBuiltinList();
    setSource(builtinBarsSource(0));
}

// The built-in securities to pick from, the first one chosen.
void ReplayView::showBuiltinList()
{
    m_folderFiles.clear();
    m_files->clear();
    m_files->addItems(builtinBarsNames());
    m_files->setCurrentIndex(0);
    m_files->setVisible(m_files->count() > 1);
}

void ReplayView::createLayout()
{
    auto *root = new QHBoxLayout(this);
    root->setContentsMargins(8, 8, 8, 8);
    root->setSpacing(10);

    auto *left = new QVBoxLayout;
    left->setSpacing(6);
    m_chart = new ReplayChart(this);
    left->addWidget(m_chart, 1);

    auto *cutRow = new QHBoxLayout;
    m_slider = new QSlider(Qt::Horizontal, this);
    m_slider->setObjectName(u"cutSlider"_s);
    m_slider->setToolTip(u"截断点：只看这一天以前的行情，以及公式当时算出的线（←→ 键逐根移动）"_s);
    m_slider->setFocusPolicy(Qt::StrongFocus);
    m_slider->setPageStep(20);
    cutRow->addWidget(m_slider, 1);
    m_cutLabel = new QLabel(this);
    // As wide as its longest text, so that the slider keeps its length.
    m_cutLabel->setMinimumWidth(m_cutLabel->fontMetrics().horizontalAdvance(
                                    u"截至 0000-00-00（模拟行情）：第 00000/00000 根"_s) +
                                8);
    cutRow->addWidget(m_cutLabel);
    m_liveTrace = new QCheckBox(u"实时轨迹"_s, this);
    m_liveTrace->setToolTip(
        u"每根K线处画它当时作为最新一根时公式给出的值——盘中实际看到的线，对照今日回头画出的线"_s);
    cutRow->addWidget(m_liveTrace);
    left->addLayout(cutRow);

    auto *statusRow = new QHBoxLayout;
    m_status = new QLabel(this);
    m_status->setStyleSheet(u"color: %1"_s.arg(skin::headingGrey.name()));
    m_status->setWordWrap(true); // a long status takes two lines rather than losing its end
    statusRow->addWidget(m_status, 1);
    m_progress = new QProgressBar(this);
    m_progress->setMaximumWidth(320);
    m_progress->setFormat(u"计算截断点 %v/%m"_s);
    // Its text whole at the most bars a view takes, in the view's own face.
    m_progress->setMinimumWidth(
        m_progress->fontMetrics().horizontalAdvance(u"计算截断点 0000000/0000000"_s) + 24);
    m_progress->setVisible(false);
    statusRow->addWidget(m_progress);
    m_cancel = new QPushButton(u"取消"_s, this);
    m_cancel->setVisible(false);
    statusRow->addWidget(m_cancel);
    left->addLayout(statusRow);
    root->addLayout(left, 1);

    auto *side = new QVBoxLayout;
    side->setSpacing(6);
    auto *sideWidget = new QWidget(this);
    sideWidget->setFixedWidth(300);
    sideWidget->setLayout(side);
    side->setContentsMargins(0, 0, 0, 0);

    side->addWidget(heading(u"行情"_s, sideWidget));
    m_originLabel = new QLabel(sideWidget);
    m_originLabel->setWordWrap(true);
    side->addWidget(m_originLabel);
    auto *barsRow = new QHBoxLayout;
    auto *builtin = new QPushButton(u"内置行情"_s, sideWidget);
    auto *file = new QPushButton(u"文件…"_s, sideWidget);
    auto *folder = new QPushButton(u"文件夹…"_s, sideWidget);
    builtin->setObjectName(u"builtinBars"_s);
    file->setObjectName(u"barsFile"_s);
    folder->setObjectName(u"barsFolder"_s);
    barsRow->addWidget(builtin);
    barsRow->addWidget(file);
    barsRow->addWidget(folder);
    side->addLayout(barsRow);
    m_files = new QComboBox(sideWidget);
    m_files->setVisible(false);
    side->addWidget(m_files);

    side->addSpacing(6);
    side->addWidget(heading(u"参数"_s, sideWidget));
    m_paramPanel = new QWidget(sideWidget);
    m_paramForm = new QFormLayout(m_paramPanel);
    m_paramForm->setContentsMargins(0, 0, 0, 0);
    side->addWidget(m_paramPanel);
    m_recompute = new QPushButton(u"重新计算"_s, sideWidget);
    m_recompute->setObjectName(u"recompute"_s);
    side->addWidget(m_recompute);

    side->addSpacing(6);
    side->addWidget(heading(u"结论"_s, sideWidget));
    m_verdicts = new QListWidget(sideWidget);
    m_verdicts->setWordWrap(true);
    // Thousands of wrapped verdicts are laid out a batch per turn of the event loop, not in one
    // stall of a second or more.
    m_verdicts->setLayoutMode(QListView::Batched);
    m_verdicts->setBatchSize(200);
    m_verdicts->setFont(skin::font(12));
    side->addWidget(m_verdicts, 1);
    m_showExample = new QPushButton(u"转到例子"_s, sideWidget);
    m_showExample->setObjectName(u"showExample"_s);
    m_showExample->setToolTip(u"把滑块移到所选结论的例子：那一天当时看到的线"_s);
    m_showExample->setEnabled(false);
    side->addWidget(m_showExample, 0, Qt::AlignRight);
    connect(m_verdicts, &QListWidget::currentItemChanged, this,
            [this](QListWidgetItem *item) { m_showExample->setEnabled(exampleCut(item) >= 0); });
    connect(m_verdicts, &QListWidget::itemDoubleClicked, this, [this] { showExample(); });
    connect(m_showExample, &QPushButton::clicked, this, [this] { showExample(); });
    // The signals' scorecard: how much the history overstates them.
    m_scoreHeading = heading(u"信号体检"_s, sideWidget);
    side->addWidget(m_scoreHeading);
    m_scoreOutput = new QComboBox(sideWidget);
    m_scoreOutput->setObjectName(u"scorecardOutput"_s);
    side->addWidget(m_scoreOutput);
    m_scorecard = new QTableWidget(5, 3, sideWidget);
    m_scorecard->setObjectName(u"scorecard"_s);
    m_scorecard->setHorizontalHeaderLabels({u"项目"_s, u"事后"_s, u"当时"_s});
    m_scorecard->verticalHeader()->hide();
    // The figures share what the names leave: no column is cut off or scrolled to.
    m_scorecard->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_scorecard->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_scorecard->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    m_scorecard->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scorecard->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_scorecard->setSelectionMode(QAbstractItemView::NoSelection);
    m_scorecard->setFont(skin::font(12));
    m_scorecard->setFixedHeight(m_scorecard->horizontalHeader()->sizeHint().height() +
                                5 * m_scorecard->verticalHeader()->defaultSectionSize() + 4);
    m_scorecard->setToolTip(u"事后：用全部K线算出的信号；当时：每根K线作为最新一根时算出的信号。"
                            u"消失：当时发出、事后不见；迟到：事后才有、当时没有。"
                            u"红圈画在消失的信号上，金色菱形画在迟到的信号第一次出现处。"_s);
    side->addWidget(m_scorecard);
    m_scoreStory = new QLabel(sideWidget);
    m_scoreStory->setObjectName(u"scorecardStory"_s);
    m_scoreStory->setWordWrap(true);
    side->addWidget(m_scoreStory);
    for (QWidget *w :
         std::initializer_list<QWidget *>{m_scoreHeading, m_scoreOutput, m_scorecard, m_scoreStory})
        w->setVisible(false);
    connect(m_scoreOutput, &QComboBox::currentIndexChanged, this, [this] { showScorecard(); });
    // A folder's files summed up, as the command line sums them; shown for a folder only.
    m_summaryHeading = heading(u"文件夹汇总"_s, sideWidget);
    side->addWidget(m_summaryHeading);
    m_summary = new QListWidget(sideWidget);
    m_summary->setObjectName(u"folderSummary"_s);
    m_summary->setWordWrap(true);
    m_summary->setFont(skin::font(12));
    side->addWidget(m_summary, 1);
    m_summaryHeading->setVisible(false);
    m_summary->setVisible(false);
    root->addWidget(sideWidget);
    connect(m_summaryJob, &FolderSummaryJob::progress, this, [this](qint64 done, qint64 total) {
        m_summary->clear();
        new QListWidgetItem(u"正在回放文件夹里的行情：%1/%2 个文件……"_s.arg(done).arg(total),
                            m_summary);
    });
    connect(m_summaryJob, &FolderSummaryJob::finished, this,
            [this](const QList<FolderSummaryJob::Line> &lines, bool complete) {
                m_summary->clear();
                for (const FolderSummaryJob::Line &line : lines) {
                    auto *item = new QListWidgetItem(line.text, m_summary);
                    switch (line.tone) {
                    case FolderSummaryJob::Tone::Plain:
                        break;
                    case FolderSummaryJob::Tone::Stable:
                        item->setForeground(skin::reportGreen);
                        break;
                    case FolderSummaryJob::Tone::Rewrites:
                        item->setForeground(skin::reportRed);
                        break;
                    case FolderSummaryJob::Tone::Unchecked:
                        item->setForeground(skin::reportIncomplete);
                        break;
                    }
                }
                m_summary->setToolTip(complete ? QString() : u"有文件没有回放：汇总不完整"_s);
                emit folderSummarized();
            });

    connect(m_slider, &QSlider::valueChanged, this, &ReplayView::showCut);
    connect(m_chart, &ReplayChart::cutRequested, this,
            [this](qsizetype bar) { m_slider->setValue(int(bar)); });
    connect(m_liveTrace, &QCheckBox::toggled, m_chart, &ReplayChart::setLiveTrace);
    // What was seen live is the story; today's line stands thin under it.
    m_liveTrace->setChecked(true);
    connect(m_cancel, &QPushButton::clicked, this, &ReplayView::cancel);
    connect(builtin, &QPushButton::clicked, this, &ReplayView::useBuiltinBars);
    connect(file, &QPushButton::clicked, this, &ReplayView::chooseFile);
    connect(folder, &QPushButton::clicked, this, &ReplayView::chooseFolder);
    connect(m_recompute, &QPushButton::clicked, this, &ReplayView::recompute);
    connect(m_files, &QComboBox::activated, this, [this](int index) {
        if (m_folderFiles.empty()) {
            setSource(builtinBarsSource(index));
            recompute();
            return;
        }
        if (index < 0 || std::size_t(index) >= m_folderFiles.size())
            return;
        BarsSource source = readBarsSource(m_folderFiles[std::size_t(index)]);
        if (!source.ok()) {
            m_services.warn(this, source.error);
            return;
        }
        setSource(std::move(source));
        recompute();
    });
}

bool ReplayView::isComputing() const
{
    return m_job->isRunning();
}

QStringList ReplayView::verdicts() const
{
    QStringList lines;
    for (int i = 0; i < m_verdicts->count(); ++i)
        lines << m_verdicts->item(i)->text();
    // Those not in the list yet, as they will be.
    if (m_model)
        for (std::size_t k = m_verdictsShown; k < m_model->outputs.size(); ++k)
            lines << replayVerdict(m_model->outputs[k], *m_model);
    return lines;
}

// A batch of verdicts per turn of the event loop: 33,000 at once held the window over a second.
void ReplayView::addVerdicts()
{
    if (!m_model)
        return;
    const std::size_t end = std::min(m_model->outputs.size(), m_verdictsShown + 500);
    for (; m_verdictsShown < end; ++m_verdictsShown) {
        const ReplayOutput &o = m_model->outputs[m_verdictsShown];
        auto *item = new QListWidgetItem(replayVerdict(o, *m_model), m_verdicts);
        item->setData(Qt::UserRole, qulonglong(m_verdictsShown));
        const bool untested =
            !o.rewrites() && formula::unchangingOver(o.today) != formula::Unchanging::No;
        item->setForeground(!o.checked || untested        ? skin::reportDrift
                            : o.rewrites()                ? skin::reportRed
                            : hasSyntaxProblems(*m_model) ? skin::reportIncomplete
                                                          : skin::reportGreen);
    }
    if (m_verdictsShown < m_model->outputs.size())
        QTimer::singleShot(0, this, [this, model = m_model.get()] {
            if (m_model.get() == model)
                addVerdicts();
        });
}

void ReplayView::setFormula(const QString &text)
{
    m_formula = text;
    m_params = ParameterMemory(m_services.parametersPath).recall(text);
    while (m_paramForm->rowCount() > 0)
        m_paramForm->removeRow(0);
    m_paramBoxes.clear();
    recompute();
}

void ReplayView::setSource(BarsSource source)
{
    m_source = std::move(source);
    const formula::Bars &bars = m_source.bars;
    QString text = m_source.origin;
    if (bars.size() > 0)
        text += u"\n%1 根K线，%2 至 %3"_s.arg(bars.size())
                    .arg(isoDate(bars.dates.front()), isoDate(bars.dates.back()));
    if (m_source.path.isEmpty())
        text += u"\n%1：随机生成，日期不是真实交易日。"_s.arg(m_files->currentText());
    m_originLabel->setText(text);
    m_originLabel->setToolTip(m_source.path);
}

void ReplayView::useBuiltinBars()
{
    setFolder({});
    showBuiltinList();
    setSource(builtinBarsSource(0));
    recompute();
}

void ReplayView::chooseFile()
{
    const QString path = m_services.openFile(this, u"选择行情文件"_s,
                                             u"行情文件 (*.day *.csv *.txt);;所有文件 (*)"_s);
    if (!path.isEmpty())
        useFile(path);
}

void ReplayView::useFile(const QString &path)
{
    BarsSource source = readBarsSource(path);
    if (!source.ok()) {
        m_services.warn(this, source.error);
        return;
    }
    m_files->setVisible(false);
    m_folderFiles.clear();
    setFolder({});
    setSource(std::move(source));
    recompute();
}

void ReplayView::showScorecards()
{
    const QSignalBlocker block(m_scoreOutput);
    m_scoreOutput->clear();
    if (m_model)
        for (std::size_t k = 0; k < m_model->outputs.size(); ++k)
            if (m_model->outputs[k].scorecard)
                m_scoreOutput->addItem(m_model->outputs[k].label, int(k));
    const bool any = m_scoreOutput->count() > 0;
    m_scoreHeading->setVisible(any);
    m_scoreOutput->setVisible(m_scoreOutput->count() > 1);
    m_scorecard->setVisible(any);
    m_scoreStory->setVisible(any);
    showScorecard();
}

void ReplayView::showScorecard()
{
    const int k = m_scoreOutput->currentData().toInt();
    if (!m_model || m_scoreOutput->count() == 0 || k < 0 ||
        std::size_t(k) >= m_model->outputs.size() || !m_model->outputs[std::size_t(k)].scorecard)
        return;
    const formula::Scorecard &s = *m_model->outputs[std::size_t(k)].scorecard;
    const auto count = [](const formula::SignalOutcome &o) { return u"%1 次"_s.arg(o.count); };
    const QString late = u"%1 次"_s.arg(s.late.size());
    const QStringList rows[] = {
        {u"信号"_s, count(s.hindsight), count(s.live)},
        {u"胜率（%1 根后）"_s.arg(s.horizon), formula::rateWords(s.hindsight.winRate()),
         formula::rateWords(s.live.winRate())},
        {u"平均收益"_s, formula::returnWords(s.hindsight.meanReturn()),
         formula::returnWords(s.live.meanReturn())},
        {u"消失"_s, u"—"_s, u"%1 次"_s.arg(s.vanished.size())},
        {u"迟到"_s, late, u"—"_s},
    };
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 3; ++c) {
            auto *item = new QTableWidgetItem(rows[r].value(c));
            if (c > 0)
                item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            if (r == 4 && c == 1 && !s.late.empty())
                item->setToolTip(u"迟到的信号中位 %1 根、最多 %2 根后才出现"_s.arg(s.lateMedian())
                                     .arg(s.lateMax()));
            m_scorecard->setItem(r, c, item);
        }
    m_scoreStory->setText(formula::scorecardStoryWords(s));
}

void ReplayView::setFolder(const QString &folder)
{
    m_folder = folder;
    m_summaryKey.clear();
    m_summaryJob->cancel();
    m_summary->clear();
    m_summaryHeading->setVisible(!folder.isEmpty());
    m_summary->setVisible(!folder.isEmpty());
}

void ReplayView::summarizeFolder()
{
    if (m_folder.isEmpty())
        return;
    QString key = m_folder + u'\n' + m_formula;
    for (auto it = m_params.cbegin(); it != m_params.cend(); ++it)
        key += u'\n' + it.key() + u'=' + QString::number(it.value(), 'g', 17);
    if (key == m_summaryKey)
        return; // another file of the same folder: the summary stands
    m_summaryKey = key;
    m_summary->clear();
    new QListWidgetItem(u"正在回放文件夹里的行情……"_s, m_summary);
    m_summaryJob->start(m_formula, m_folder, m_params);
}

void ReplayView::chooseFolder()
{
    const QString folder = m_services.openFolder(this, u"选择行情文件夹"_s);
    if (folder.isEmpty())
        return;
    std::vector<formula::BarsEntry> files = barsFilesInFolder(folder);
    if (files.empty()) {
        m_services.warn(this, u"%1 里没有行情文件（*.day、*.csv、*.txt）。"_s.arg(
                                  QDir::toNativeSeparators(folder)));
        return;
    }
    // The first file that reads; the others stay in the list to pick from, and those passed
    // over on the way are named.
    QStringList refused;
    for (std::size_t i = 0; i < files.size(); ++i) {
        BarsSource source = readBarsSource(files[i]);
        if (!source.ok()) {
            refused << source.error;
            continue;
        }
        // The rest are read when picked; those known unreadable already are named now.
        for (std::size_t j = i + 1; j < files.size(); ++j)
            if (files[j].problem != formula::BarsProblem::None)
                refused << readBarsSource(files[j]).error;
        m_files->clear();
        for (const formula::BarsEntry &f : files) {
            const QString name = QDir(folder).relativeFilePath(f.shown);
            m_files->addItem(f.problem == formula::BarsProblem::None ? name
                                                                     : name + u"（无法读取）"_s);
        }
        m_folderFiles = std::move(files);
        m_files->setCurrentIndex(int(i));
        m_files->setVisible(true);
        setFolder(folder);
        setSource(std::move(source));
        recompute();
        if (!refused.isEmpty())
            m_services.warn(this, u"跳过 %1 个无法读取的文件：\n"_s.arg(refused.size()) +
                                      refused.join(u'\n'));
        return;
    }
    m_services.warn(this,
                    u"%1 里的 %2 个行情文件都无法读取：\n"_s.arg(QDir::toNativeSeparators(folder))
                            .arg(files.size()) +
                        refused.join(u'\n'));
}

void ReplayView::recompute()
{
    for (auto it = m_paramBoxes.cbegin(); it != m_paramBoxes.cend(); ++it)
        m_params[it.key()] = it.value()->value();
    m_model.reset();
    m_chart->setModel(nullptr);
    m_chart->setMessage(u"正在计算……"_s);
    m_verdicts->clear();
    m_verdictsShown = 0;
    m_slider->setEnabled(false);
    m_progress->setRange(0, 0);
    m_progress->setVisible(true);
    m_cancel->setVisible(true);
    setStatus(u"正在计算……"_s);
    m_job->start({m_formula, m_source.bars, m_source.origin, m_params, m_source.priceDecimals});
    summarizeFolder();
}

void ReplayView::cancel()
{
    m_job->cancel();
}

void ReplayView::showModel(std::shared_ptr<const ReplayModel> model)
{
    m_model = std::move(model);
    m_progress->setVisible(false);
    m_cancel->setVisible(false);
    const qsizetype n = m_model->bars.size();
    m_chart->setModel(m_model);
    {
        const QSignalBlocker block(m_slider);
        m_slider->setRange(0, int(std::max<qsizetype>(0, n - 1)));
        m_slider->setValue(m_slider->maximum());
    }
    m_slider->setEnabled(n > 1);
    showCut(m_slider->value());

    m_verdicts->clear();
    m_verdictsShown = 0;
    // The statements left out first: their outputs are not among the verdicts below.
    if (hasSyntaxProblems(*m_model)) {
        const std::vector<formula::SyntaxNote> &notes = m_model->program->notes;
        for (std::size_t k = 0; k < notes.size() && k < 20; ++k) {
            auto *item = new QListWidgetItem(
                QString::fromUtf16(formula::kSyntaxHeadline) +
                    formula::placeWords(notes[k].pos.line, notes[k].pos.column) + u"："_s +
                    formula::syntaxWords(notes[k]) + u"——这一句没有回放"_s,
                m_verdicts);
            item->setForeground(skin::reportSyntax);
        }
        if (notes.size() > 20)
            new QListWidgetItem(u"另有 %1 处语法问题"_s.arg(notes.size() - 20), m_verdicts);
    }
    // The assumptions stand with the verdicts they shape, not only in a tooltip.
    QStringList assumed;
    for (const formula::ParamUse &p : m_model->params)
        if (p.assumed)
            assumed << p.name + u'=' + number(p.value);
    if (!assumed.isEmpty()) {
        auto *item = new QListWidgetItem(
            u"参数假设：%1（公式没有声明，可在上面“参数”里修改）"_s.arg(assumed.join(u"，"_s)),
            m_verdicts);
        item->setForeground(skin::reportWarning);
    }
    addVerdicts();
    // The first example at hand, so that one press shows it; current, not selected, so that
    // the verdict keeps its colour.
    for (int row = 0; row < m_verdicts->count(); ++row)
        if (exampleCut(m_verdicts->item(row)) >= 0) {
            m_verdicts->setCurrentRow(row, QItemSelectionModel::NoUpdate);
            break;
        }
    if (m_model->outputs.empty())
        new QListWidgetItem(u"公式没有输出。"_s, m_verdicts);
    showParameters();
    showScorecards();
    QString status = m_model->anyRewrites() ? u"拖动滑块：橙色的K线处，当时算出的值与今日所见不同；"
                                              u"点“转到例子”看最能说明问题的一例。"_s
                                            : u"拖动滑块看公式在每个截断点当时算出的线。"_s;
    if (n > 1 && m_model->cuts < n - 1)
        status += u"%1，不能每根K线都截断：只算了 %2 个截断点（共 %3 根），滑块只停在截断点上。"_s
                      .arg(formula::fallbackWords(m_model->fallback))
                      .arg(m_model->cuts)
                      .arg(n);
    setStatus(status);
    m_slider->setFocus();
    emit computed();
}

void ReplayView::showParameters()
{
    QStringList names;
    for (const formula::ParamUse &p : m_model->params)
        names << p.name;
    if (!names.isEmpty() && names == m_paramBoxes.keys())
        return; // the same parameters: the user's values stay as they are
    while (m_paramForm->rowCount() > 0)
        m_paramForm->removeRow(0);
    m_paramBoxes.clear();
    for (const formula::ParamUse &p : m_model->params) {
        auto *box = new ParameterBox(m_paramPanel);
        box->setObjectName(p.name);
        box->setRange(-1e9, 1e9);
        box->setDecimals(4);
        box->setValue(p.value);
        QString label = p.name;
        if (!p.meaning.isEmpty())
            label += u"（%1）"_s.arg(p.meaning);
        if (p.assumed)
            box->setToolTip(u"公式没有声明，按默认值 %1 计算"_s.arg(number(p.value)));
        connect(box, &QDoubleSpinBox::editingFinished, this, [this, box] {
            if (m_model && !isComputing() &&
                m_params.value(box->objectName(), box->value() + 1) != box->value()) {
                // Only what the user changed is kept: an assumed value stays an assumption.
                const ParameterMemory memory(m_services.parametersPath);
                QMap<QString, double> given = memory.recall(m_formula);
                given.insert(box->objectName(), box->value());
                memory.remember(m_formula, given);
                recompute();
            }
        });
        m_paramForm->addRow(label, box);
        m_paramBoxes.insert(p.name, box);
    }
    if (m_model->params.empty())
        m_paramForm->addRow(new QLabel(u"公式没有参数。"_s, m_paramPanel));
}

void ReplayView::closeEvent(QCloseEvent *event)
{
    // A closed view is hidden, not destroyed: its work would go on unseen.
    if (isComputing())
        cancel();
    if (m_summaryJob->isRunning()) {
        m_summaryJob->cancel();
        m_summaryKey.clear(); // started again when the view is used again
    }
    QWidget::closeEvent(event);
}

void ReplayView::showCut(int cut)
{
    // Past the work bound not every bar is a cut: the slider lands on the next one its way.
    if (m_model) {
        const qsizetype landed = m_model->landing(cut, cut > m_chart->cut());
        if (landed != cut) {
            m_slider->setValue(int(landed));
            return;
        }
    }
    m_chart->setCut(cut);
    if (!m_model || m_model->bars.size() == 0) {
        m_cutLabel->clear();
        return;
    }
    const qsizetype n = m_model->bars.size();
    const QString when = isoDate(m_model->bars.dates[std::size_t(cut)]);
    const QString simulated = m_source.path.isEmpty() ? u"（模拟行情）"_s : QString();
    m_cutLabel->setText(cut == n - 1
                            ? u"今日 %1%2：全部 %3 根"_s.arg(when, simulated).arg(n)
                            : u"截至 %1%2：第 %3/%4 根"_s.arg(when, simulated).arg(cut + 1).arg(n));
}

qsizetype ReplayView::exampleCut(const QListWidgetItem *item) const
{
    if (!m_model || !item || !item->data(Qt::UserRole).isValid())
        return -1;
    const auto k = std::size_t(item->data(Qt::UserRole).toULongLong());
    if (k >= m_model->outputs.size() || !m_model->outputs[k].rewrites())
        return -1;
    return m_model->outputs[k].example.cut;
}

void ReplayView::showExample()
{
    const qsizetype cut = exampleCut(m_verdicts->currentItem());
    if (cut < 0)
        return;
    m_slider->setValue(int(cut));
    m_slider->setFocus();
}

void ReplayView::setStatus(const QString &text)
{
    m_status->setText(text);
}

} // namespace morvane
