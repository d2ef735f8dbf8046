#include "fmfunctioncheck.h"

#include "codeeditor.h"
#include "formulaassist.h"
#include "formulafile.h"
#include "linkaction.h"
#include "morvane_config.h"
#include "noticedecision.h"
#include "noticefetch.h"
#include "replayview.h"

#include <QDir>
#include <QEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QShortcut>
#include <QToolButton>
#include <QWindow>

using namespace Qt::StringLiterals;

// The pictures live in this static library: make sure the linker keeps them.
static void initSkinResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace morvane {

namespace {

constexpr char16_t kSaveFilter[] = u"文档文件(*.txt)|*.txt|所有文件(*.*)|*.*";

QPixmap skinPicture(const QString &name)
{
    return QPixmap(u":/skin/"_s + name + u".png"_s);
}

QPushButton *makeButton(QWidget *parent, const QString &name, const QString &text, QRect geometry)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    new EnterPressesButton(button);
    QPalette pal = button->palette();
    pal.setColor(QPalette::Button, skin::contentGrey);
    button->setPalette(pal);
    return button;
}

SkinLabel *makeLabel(QWidget *parent, const QString &name, const QString &text, QRect geometry,
                     const QColor &color, bool autoSize)
{
    auto *label = new SkinLabel(parent);
    label->setObjectName(name);
    label->setGeometry(geometry);
    label->setTextColor(color);
    label->setText(text);
    label->setAutoSize(autoSize);
    if (autoSize && !text.isEmpty())
        label->fitToText();
    return label;
}

PictureBox *makePicture(QWidget *parent, const QString &name, const QString &picture, QPoint pos)
{
    auto *box = new PictureBox(skinPicture(picture), parent);
    box->setObjectName(name);
    box->move(pos);
    return box;
}

SkinPanel *makePanel(QWidget *parent, const QString &name, QRect geometry)
{
    auto *panel = new SkinPanel(parent);
    panel->setObjectName(name);
    panel->setGeometry(geometry);
    return panel;
}

QPlainTextEdit *makeTextBox(QPlainTextEdit *box, const QString &name, QRect geometry)
{
    box->setObjectName(name);
    box->setGeometry(geometry);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The code box scrolls sideways rather than wrap a line mid-expression.
    box->setHorizontalScrollBarPolicy(qobject_cast<CodeEditor *>(box) ? Qt::ScrollBarAsNeeded
                                                                      : Qt::ScrollBarAlwaysOff);
    box->setTabChangesFocus(true);
    box->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    return box;
}

} // namespace

fmFunctionCheck::fmFunctionCheck(WindowServices services, QWidget *parent)
    : QWidget(parent), m_services(std::move(services)),
      m_list(m_services.listPath.isEmpty() ? defaultListPath() : m_services.listPath)
{
    initSkinResources();
    setObjectName(u"fmFunctionCheck"_s);
    setWindowTitle(u"Morvane"_s);
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 72})
        icon.addFile(u":/skin/icon-%1.png"_s.arg(size), QSize(size, size));
    setWindowIcon(icon);
    setFont(skin::font(12));
    resize(834, 685);

    createLayout();
    connectHandlers();
    m_assist = new FormulaAssist(
        txtCode, txtResult, [this] { return m_list.entries(); }, [this] { btnReturn_Click(); },
        this);
    connectFormulaOpening(this, static_cast<CodeEditor *>(txtCode), m_services,
                          [this] { btnReturn_Click(); });
    connect(static_cast<CodeEditor *>(txtCode), &CodeEditor::barsFileChosen, this,
            [this](const QString &path) { openReplayView()->useFile(path); });
    // The next Save As starts at the file the formula came from.
    connect(static_cast<CodeEditor *>(txtCode), &CodeEditor::formulaFileLoaded, this,
            [this](const QString &path) { CommonDialog1.fileName = path; });
    addButtonShortcuts();
    showList();
    // The replay view: Ctrl+R anywhere, or the button in the free strip above the report.
    new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_R), this, this, [this] { openReplayView(); });
    auto *replay = new QToolButton(PanelInfo);
    replay->setObjectName(u"btnReplay"_s);
    replay->setText(u"回放"_s);
    replay->setToolTip(u"在行情上回放公式，看它是否改写历史（Ctrl+R）"_s);
    replay->setGeometry(228, 2, 50, 20);
    connect(replay, &QToolButton::clicked, this, [this] { openReplayView(); });
    btnParams = new QToolButton(PanelInfo);
    btnParams->setObjectName(u"btnParams"_s);
    btnParams->setGeometry(172, 2, 52, 20);
    btnParams->hide();
    connect(btnParams, &QToolButton::clicked, this, [this] { openParameterTable(); });
}

// F5 checks, as in the charting software; Ctrl+S saves. Both from any page, as the buttons'
// handlers do; the tooltips name them.
void fmFunctionCheck::addButtonShortcuts()
{
    const std::pair<QPushButton *, QKeySequence> keys[] = {
        {btnCheck, QKeySequence(Qt::Key_F5)},
        {btnSave, QKeySequence(Qt::CTRL | Qt::Key_S)},
    };
    const QString tips[] = {u"检测公式中的未来函数（%1）"_s, u"把公式保存为文本文件（%1）"_s};
    for (size_t i = 0; i < std::size(keys); ++i) {
        QPushButton *button = keys[i].first;
        auto *shortcut = new QShortcut(keys[i].second, this);
        connect(shortcut, &QShortcut::activated, button, &QPushButton::click);
        button->setToolTip(tips[i].arg(keys[i].second.toString(QKeySequence::NativeText)));
    }
}

ReplayView *fmFunctionCheck::openReplayView()
{
    if (!m_replayView) {
        ReplayServices services = replayServices;
        if (services.parametersPath.isEmpty())
            services.parametersPath = m_services.parametersPath;
        m_replayView = new ReplayView(services, this);
    }
    m_replayView->setFormula(txtCode->toPlainText());
    m_replayView->show();
    m_replayView->raise();
    m_replayView->activateWindow();
    return m_replayView;
}

void fmFunctionCheck::createLayout()
{
    // Created back to front: a later sibling stacks over an earlier one.
    Image1 = makePicture(this, u"Image1"_s, u"background"_s, QPoint(0, 0));
    Image2 = makePicture(this, u"Image2"_s, u"close"_s, QPoint(440, 5));
    Image3 = makePicture(this, u"Image3"_s, u"minimise"_s, QPoint(421, 5));
    Label1 = makeLabel(this, u"Label1"_s, u"未来函数列表"_s, QRect(8, 32, 72, 12),
                       skin::headingGrey, true);
    lbTitle = makeLabel(this, u"lbTitle"_s,
                        u"MorvaneV"_s + QString::fromUtf8(MORVANE_VERSION) + u" -- Kavrin出品"_s,
                        QRect(27, 5, 216, 12), skin::linkBlue, true);
    Image4 = makePicture(this, u"Image4"_s, u"about"_s, QPoint(403, 5));
    lbadURL = makeLabel(this, u"lbadURL"_s, QString(), QRect(488, 8, 65, 17), skin::white, false);
    lbNewVersion =
        makeLabel(this, u"lbNewVersion"_s, QString(), QRect(488, 64, 65, 17), skin::white, false);
    for (SkinLabel *hidden : {lbadURL, lbNewVersion}) {
        hidden->setOpaque(skin::darkGrey);
        hidden->hide();
    }

    PanelCode = makePanel(this, u"PanelCode"_s, QRect(104, 24, 345, 377));
    Label4 = makeLabel(PanelCode, u"Label4"_s, QString(), QRect(8, 352, 6, 12), skin::green, true);
    Label4->setFont(skin::font(12, false, true));
    Label4->resize(6, 12); // it never gets a text: keep its stored size for the tooltip
    Label4->setToolTip(u"赞助链接"_s);
    Label2 = makeLabel(PanelCode, u"Label2"_s, u"代码编辑："_s, QRect(8, 8, 60, 12),
                       skin::headingGrey, true);
    Label3 = makeLabel(PanelCode, u"Label3"_s, u"(请将代码粘贴到文本框内,点击检测按钮查看结果)"_s,
                       QRect(64, 8, 270, 12), skin::headingGrey, true);
    lbMsg = makeLabel(PanelCode, u"lbMsg"_s, QString(), QRect(16, 352, 113, 12), skin::noticeRed,
                      false);
    lbMsg->setFont(skin::font(12, false, true));
    btnCheck = makeButton(PanelCode, u"btnCheck"_s, u"检测"_s, QRect(280, 344, 57, 25));
    txtCode = makeTextBox(new CodeEditor(PanelCode), u"txtCode"_s, QRect(0, 24, 343, 317));
    btnSave = makeButton(PanelCode, u"btnSave"_s, u"保存"_s, QRect(136, 344, 57, 25));
    btnClear = makeButton(PanelCode, u"btnClear"_s, u"清空"_s, QRect(208, 344, 57, 25));

    PanelInfo = makePanel(this, u"PanelInfo"_s, QRect(104, 24, 345, 377));
    Label5 = makeLabel(PanelInfo, u"Label5"_s, u"检测结果："_s, QRect(8, 8, 60, 12),
                       skin::headingGrey, true);
    lbad =
        makeLabel(PanelInfo, u"lbad"_s, QString(), QRect(8, 352, 262, 12), skin::linkBlue, false);
    lbad->setFont(skin::font(12, false, true));
    lbad->setAutoSize(true);
    lbad->setToolTip(u"赞助链接"_s);
    btnReturn = makeButton(PanelInfo, u"btnReturn"_s, u"返回"_s, QRect(280, 344, 57, 25));
    txtResult = makeTextBox(new QPlainTextEdit(PanelInfo), u"txtResult"_s, QRect(0, 24, 343, 317));
    txtResult->setReadOnly(true);
    txtResult->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QPalette resultPalette = txtResult->palette();
    resultPalette.setColor(QPalette::Base, skin::contentGrey);
    txtResult->setPalette(resultPalette);

    List = new QListWidget(this);
    List->setObjectName(u"List"_s);
    List->setGeometry(8, 48, 93, 316);
    List->setFont(skin::font(skin::pointsToPixels(9.75)));
    List->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    List->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    List->setUniformItemSizes(true);
    QPalette listPalette = List->palette();
    listPalette.setColor(QPalette::Base, skin::contentGrey);
    listPalette.setColor(QPalette::Text, skin::linkBlue);
    List->setPalette(listPalette);

    btnEditList = makeButton(this, u"btnEditList"_s, u"编辑"_s, QRect(57, 368, 47, 25));
    btnLoadList = makeButton(this, u"btnLoadList"_s, u"刷新"_s, QRect(8, 368, 47, 25));

    panelAbout = makePanel(this, u"panelAbout"_s, QRect(8, 24, 443, 377));
    Label6 = makeLabel(panelAbout, u"Label6"_s, u"MorvaneV"_s, QRect(112, 88, 128, 14),
                       skin::linkBlue, true);
    Label6->setFont(skin::font(skin::pointsToPixels(10.5), true));
    lblink = makeLabel(panelAbout, u"lblink"_s, QString::fromUtf8(MORVANE_HOME_URL),
                       QRect(112, 168, 132, 12), skin::linkBlue, true);
    lblink->setFont(skin::font(12, false, true));
    Image5 = makePicture(panelAbout, u"Image5"_s, u"emblem"_s, QPoint(56, 80));
    // The version follows the name directly, one pixel apart, on the same line.
    lbVersion =
        makeLabel(panelAbout, u"lbVersion"_s, QString::fromUtf8(MORVANE_VERSION),
                  QRect(Label6->x() + Label6->width() + 1, 88, 24, 14), skin::linkBlue, true);
    lbVersion->setFont(skin::font(skin::pointsToPixels(10.5), true));
    Label8 = makeLabel(panelAbout, u"Label8"_s, u"本软件完全免费，欢迎转发给身边的朋友"_s,
                       QRect(112, 128, 222, 12), skin::linkBlue, true);
    btnAbout = makeButton(panelAbout, u"btnAbout"_s, u"确定"_s, QRect(184, 248, 57, 25));

    // Tab order of the layout; labels and panels never take the focus.
    QWidget *chain[] = {txtCode,     btnCheck,  btnClear, btnSave,   btnEditList,
                        btnLoadList, btnReturn, List,     txtResult, btnAbout};
    for (size_t i = 0; i + 1 < std::size(chain); ++i)
        setTabOrder(chain[i], chain[i + 1]);
}

void fmFunctionCheck::connectHandlers()
{
    connect(btnCheck, &QPushButton::clicked, this, &fmFunctionCheck::btnCheck_Click);
    connect(btnClear, &QPushButton::clicked, this, &fmFunctionCheck::btnClear_Click);
    connect(btnSave, &QPushButton::clicked, this, &fmFunctionCheck::btnSave_Click);
    connect(btnLoadList, &QPushButton::clicked, this, &fmFunctionCheck::btnLoadList_Click);
    connect(btnEditList, &QPushButton::clicked, this, &fmFunctionCheck::btnEditList_Click);
    connect(btnReturn, &QPushButton::clicked, this, &fmFunctionCheck::btnReturn_Click);
    connect(btnAbout, &QPushButton::clicked, this, &fmFunctionCheck::btnAbout_Click);
    connect(Image2->pointer(), &PointerEvents::clicked, this, &fmFunctionCheck::Image2_Click);
    connect(Image3->pointer(), &PointerEvents::clicked, this, &fmFunctionCheck::Image3_Click);
    connect(Image4->pointer(), &PointerEvents::clicked, this, &fmFunctionCheck::Image4_Click);
    connect(lbMsg->pointer(), &PointerEvents::clicked, this, &fmFunctionCheck::lbMsg_Click);
    connect(lbad->pointer(), &PointerEvents::clicked, this, &fmFunctionCheck::lbad_Click);
    connect(lblink->pointer(), &PointerEvents::clicked, this, &fmFunctionCheck::lblink_Click);

    // Moving: press on the background or the title, then move with the button held.
    auto startDrag = [this](QPoint globalPos) {
        m_dragOffset = globalPos - frameGeometry().topLeft();
        m_systemMove = false;
    };
    connect(Image1->pointer(), &PointerEvents::pressed, this, startDrag);
    connect(lbTitle->pointer(), &PointerEvents::pressed, this, startDrag);
    connect(Image1->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::Image1_MouseMove);
    connect(lbTitle->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::lbTitle_MouseMove);
    connect(Image2->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::Image2_MouseMove);
    connect(Image3->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::Image3_MouseMove);
    connect(Image4->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::Image4_MouseMove);
    connect(panelAbout->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::panelAbout_MouseMove);
    connect(PanelInfo->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::PanelInfo_MouseMove);
    connect(lblink->pointer(), &PointerEvents::mouseMoved, this,
            &fmFunctionCheck::lblink_MouseMove);
    connect(lbad->pointer(), &PointerEvents::mouseMoved, this, &fmFunctionCheck::lbad_MouseMove);
    connect(lbMsg->pointer(), &PointerEvents::mouseMoved, this, &fmFunctionCheck::lbMsg_MouseMove);
}

void fmFunctionCheck::Image1_MouseMove(QPoint globalPos, Qt::MouseButtons buttons)
{
    DragWindow(globalPos, buttons);
    setFrames(false, false, false);
}

void fmFunctionCheck::lbTitle_MouseMove(QPoint globalPos, Qt::MouseButtons buttons)
{
    DragWindow(globalPos, buttons);
}

void fmFunctionCheck::Image2_MouseMove()
{
    setFrames(true, false, false);
}

void fmFunctionCheck::Image3_MouseMove()
{
    setFrames(false, true, false);
}

void fmFunctionCheck::Image4_MouseMove()
{
    setFrames(false, false, true);
}

void fmFunctionCheck::panelAbout_MouseMove()
{
    setFrames(false, false, false);
    lblink->setTextColor(skin::linkRest);
}

void fmFunctionCheck::PanelInfo_MouseMove()
{
    lbad->setTextColor(skin::linkRest);
}

void fmFunctionCheck::lblink_MouseMove()
{
    lblink->setCursor(m_handCursor);
    lblink->setTextColor(skin::linkHover);
}

void fmFunctionCheck::lbad_MouseMove()
{
    lbad->setCursor(m_handCursor);
    lbad->setTextColor(skin::linkHover);
}

void fmFunctionCheck::lbMsg_MouseMove()
{
    lbMsg->setCursor(m_handCursor);
}

void fmFunctionCheck::Form_Load()
{
    // A taskbar entry whose menu offers minimise, maximise and close, with no frame drawn.
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint | Qt::WindowSystemMenuHint);
    m_handCursor = QCursor(Qt::PointingHandCursor);
    Image1->move(0, 0);
    setFixedSize(Image1->size());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    PanelInfo->setVisible(false);
    PanelCode->setVisible(true);
    panelAbout->setVisible(false);
    CheckNotice();
    loadList(false);
    txtCode->setFocus(Qt::OtherFocusReason);
}

void fmFunctionCheck::showList()
{
    List->clear();
    List->addItems(m_list.entries());
    for (int i = 0; i < List->count(); ++i) {
        QListWidgetItem *item = List->item(i);
        item->setToolTip(functionHelp(item->text(), true));
        // The report's colour of its class, so that list and report agree; a name of the
        // user's own nobody knows keeps the list's blue.
        const std::optional<formula::NameClass> cls = functionClass(item->text(), true);
        if (cls && *cls != formula::NameClass::Listed)
            item->setForeground(reportStyle(reportKind(*cls)).colour);
    }
    m_matcher = FunctionMatcher(m_list.entries());
}

void fmFunctionCheck::btnLoadList_Click()
{
    loadList(true);
}

// At start-up a failure stays silent; after a click the user hears why nothing changed.
void fmFunctionCheck::loadList(bool tellUser)
{
    QString error;
    const FunctionList::LoadResult result = m_list.load(&error);
    showList();
    if (!tellUser)
        return;
    const QString path = QDir::toNativeSeparators(m_list.path());
    switch (result) {
    case FunctionList::LoadResult::ReadFailed:
        m_services.warn(this, u"无法读取 %1：%2"_s.arg(path, error));
        break;
    case FunctionList::LoadResult::TooLarge:
        m_services.warn(this, u"%1 超过 %2 MiB，未读取；列表保持不变。"_s.arg(
                                  path, QString::number(kMaxListFileBytes / (1024 * 1024))));
        break;
    case FunctionList::LoadResult::WriteFailed:
        m_services.warn(this, u"无法写入 %1：%2"_s.arg(path, error));
        break;
    case FunctionList::LoadResult::NotAFile:
        m_services.warn(this, u"%1 不是普通文件，既未读取也未改写；列表保持不变。"_s.arg(path));
        break;
    case FunctionList::LoadResult::Loaded:
        if (m_list.replacedCharacters())
            m_services.warn(
                this,
                u"%1 中有无法识别的字节，已显示为 �；请检查文件的编码（UTF-8 或 GBK）。"_s.arg(
                    path));
        break;
    case FunctionList::LoadResult::Created:
        break;
    }
}

void fmFunctionCheck::btnEditList_Click()
{
    QString error;
    const QString path = QDir::toNativeSeparators(m_list.path());
    const QString noEditor = u"无法启动文本编辑器来打开 %1。"_s.arg(path);
    const FunctionList::EditResult result = m_list.edit(
        [this, &noEditor](const QString &file) {
            return m_services.editorLauncher &&
                   m_services.editorLauncher(file, laterFailureWarning(noEditor));
        },
        &error);
    showList();
    if (result == FunctionList::EditResult::WriteFailed)
        m_services.warn(this, u"无法打开 %1：%2"_s.arg(path, error));
    else if (result == FunctionList::EditResult::NotAFile)
        m_services.warn(this, u"%1 不是普通文件，无法打开编辑。"_s.arg(path));
    else if (result == FunctionList::EditResult::LaunchFailed)
        m_services.warn(this, noEditor);
}

// A launch that fails after it started is told once it is known, if the window is still there.
LaterFailure fmFunctionCheck::laterFailureWarning(const QString &text)
{
    return [window = QPointer<fmFunctionCheck>(this), text] {
        if (window)
            window->m_services.warn(window, text);
    };
}

void fmFunctionCheck::btnCheck_Click()
{
    m_checkedFormula = txtCode->toPlainText();
    m_reportText = m_assist->check(m_checkedFormula, m_matcher, m_services.clock).text();
    showParameterButton();
    PanelInfo->setVisible(true);
    PanelCode->setVisible(false);
}

// "参数" beside the replay button when the formula reads any; gold while some are undeclared
// and not yet filled in, as the report's doubts are.
void fmFunctionCheck::showParameterButton()
{
    const std::vector<FormulaParameter> params = formulaParameters(
        m_checkedFormula, ParameterMemory(m_services.parametersPath).recall(m_checkedFormula));
    QStringList open;
    for (const FormulaParameter &p : params)
        if (!p.declared && !p.remembered && p.meaning.isEmpty())
            open << u"%1=%2"_s.arg(p.name, parameterText(p.value));
    btnParams->setText(u"参数"_s);
    btnParams->setVisible(!params.empty());
    QPalette palette = btnParams->palette();
    palette.setColor(QPalette::ButtonText,
                     open.isEmpty() ? palette.color(QPalette::WindowText) : skin::reportIncomplete);
    btnParams->setPalette(palette);
    btnParams->setToolTip(
        open.isEmpty()
            ? u"公式的参数：数值按公式记住，回放时使用"_s
            : u"公式没有声明 %1，回放按假设值计算：点这里按图表软件参数表里的值填写"_s.arg(
                  open.join(u"，"_s)));
}

ParameterTable *fmFunctionCheck::openParameterTable()
{
    if (!m_paramTable) {
        m_paramTable = new ParameterTable(ParameterMemory(m_services.parametersPath), this);
        connect(m_paramTable, &ParameterTable::changed, this, [this] {
            showParameterButton();
            if (m_replayView && m_replayView->isVisible() &&
                m_replayView->formula() == m_checkedFormula)
                m_replayView->setFormula(m_checkedFormula); // the new values, replayed
        });
    }
    m_paramTable->setFormula(m_checkedFormula);
    // Over the report's top, inside the window.
    m_paramTable->move(PanelInfo->mapToGlobal(QPoint(6, btnParams->y() + btnParams->height() + 2)));
    m_paramTable->show();
    return m_paramTable;
}

// One undoable step: Ctrl+Z brings the formula back.
void fmFunctionCheck::btnClear_Click()
{
    static_cast<CodeEditor *>(txtCode)->replaceText(QString());
}

void fmFunctionCheck::btnSave_Click()
{
    CommonDialog1.filter = QString::fromUtf16(kSaveFilter);
    const QString fileName = withTextExtension(m_services.saveDialog(this, CommonDialog1));
    if (fileName.isEmpty())
        return;
    CommonDialog1.fileName = fileName;
    QString error;
    if (!saveFormulaFile(fileName, txtCode->toPlainText(), &error))
        m_services.warn(this,
                        u"无法保存到 %1：%2"_s.arg(QDir::toNativeSeparators(fileName), error));
}

void fmFunctionCheck::btnReturn_Click()
{
    PanelInfo->setVisible(false);
    PanelCode->setVisible(true);
}

void fmFunctionCheck::btnAbout_Click()
{
    panelAbout->setVisible(false);
}

void fmFunctionCheck::Image2_Click()
{
    close();
}

void fmFunctionCheck::Image3_Click()
{
    setWindowState(windowState() | Qt::WindowMinimized);
}

void fmFunctionCheck::Image4_Click()
{
    panelAbout->setVisible(true);
}

void fmFunctionCheck::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Form_Resize();
}

void fmFunctionCheck::Form_Resize()
{
    if (windowState() & Qt::WindowMaximized)
        setWindowState(windowState() & ~Qt::WindowMaximized);
}

void fmFunctionCheck::setFrames(bool image2, bool image3, bool image4)
{
    Image2->setFramed(image2);
    Image3->setFramed(image3);
    Image4->setFramed(image4);
}

void fmFunctionCheck::DragWindow(QPoint globalPos, Qt::MouseButtons buttons)
{
    if (!(buttons & Qt::LeftButton) || m_systemMove)
        return;
    // The window system's own move where it has one; otherwise follow the pointer here.
    QWindow *window = windowHandle();
    if (window && window->startSystemMove()) {
        m_systemMove = true;
        return;
    }
    move(globalPos - m_dragOffset);
}

void fmFunctionCheck::CheckNotice()
{
    delete m_noticeFetch;
    m_noticeFetch = new NoticeFetch(this);
    connect(m_noticeFetch, &NoticeFetch::finished, this, &fmFunctionCheck::applyNotice);
    m_noticeFetch->start(m_services.noticeUrl, m_services.noticeLimits);
}

// The captions the answer meets are those of its arrival, as the decision table reads them.
void fmFunctionCheck::applyNotice(const NoticeResponse &response)
{
    // Deleted later: this runs inside its signal.
    m_noticeFetch->deleteLater();
    m_noticeFetch = nullptr;
    const std::optional<NoticeLabels> labels = decideNotice(
        response, lbVersion->caption(), lbad->caption(), lbadURL->caption(),
        {QString::fromUtf8(MORVANE_SPONSOR_CAPTION), QString::fromUtf8(MORVANE_SPONSOR_URL)});
    if (!labels)
        return;
    lbNewVersion->setCaption(labels->newVersion);
    lbad->setCaption(labels->ad);
    lbadURL->setCaption(labels->adUrl);
    lbMsg->setCaption(labels->message);
    lbMsg->setVisible(labels->messageVisible);
}

// A window closed before the answer drops the connection; nothing arrives later.
void fmFunctionCheck::closeEvent(QCloseEvent *event)
{
    delete m_noticeFetch;
    m_noticeFetch = nullptr;
    QWidget::closeEvent(event);
}

void fmFunctionCheck::openLink(const QString &caption, const QUrl &fixedUrl)
{
    const std::optional<QUrl> url = linkTarget(caption, fixedUrl);
    if (!url)
        return;
    const QString noBrowser = u"无法打开浏览器来访问 %1。"_s.arg(url->toString());
    if (!m_services.openUrl || !m_services.openUrl(*url, laterFailureWarning(noBrowser)))
        m_services.warn(this, noBrowser);
}

void fmFunctionCheck::lbMsg_Click()
{
    openLink(lbMsg->caption(), QUrl(QString::fromUtf8(MORVANE_DOWNLOAD_URL)));
}

void fmFunctionCheck::lbad_Click()
{
    openLink(lbadURL->caption());
}

void fmFunctionCheck::lblink_Click()
{
    openLink(lblink->caption());
}

} // namespace morvane
