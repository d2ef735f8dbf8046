#pragma once

#include "functionlist.h"
#include "functionmatcher.h"
#include "parametertable.h"
#include "replayview.h"
#include "services.h"
#include "skinwidgets.h"

#include <QCursor>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPoint>
#include <QPointer>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>

namespace morvane {

class FormulaAssist;

// The one window: the function list on the left, the code or result page on the right,
// the about page laid over both. Controls keep the names of the layout.
class fmFunctionCheck : public QWidget
{
    Q_OBJECT
public:
    explicit fmFunctionCheck(WindowServices services = WindowServices::system(),
                             QWidget *parent = nullptr);

    // Start-up, before the window is first shown. The notice is only asked for here: its
    // answer fills the labels later, and the window never waits for it.
    void Form_Load();
    // The start-up notice while its answer is awaited; null before and after.
    const NoticeFetch *noticeFetch() const { return m_noticeFetch; }

    const FunctionList &functionList() const { return m_list; }
    // The report as data, CR LF line ends included; txtResult shows it line by line.
    const QString &reportText() const { return m_reportText; }
    FormulaAssist *formulaAssist() const { return m_assist; }

    // Window itself
    PictureBox *Image1 = nullptr; // the background: title strip, edge, drag area
    PictureBox *Image2 = nullptr; // close button
    PictureBox *Image3 = nullptr; // minimise button
    PictureBox *Image4 = nullptr; // about button
    SkinLabel *lbTitle = nullptr;
    SkinLabel *Label1 = nullptr; // heading of the function list
    SkinLabel *lbNewVersion = nullptr;
    SkinLabel *lbadURL = nullptr;
    QListWidget *List = nullptr;
    QPushButton *btnLoadList = nullptr;
    QPushButton *btnEditList = nullptr;
    SkinPanel *PanelCode = nullptr;
    SkinPanel *PanelInfo = nullptr;
    SkinPanel *panelAbout = nullptr;
    CommonDialog CommonDialog1;
    ReplayServices replayServices = ReplayServices::system(); // the replay view's dialogs

    // Code page
    QPlainTextEdit *txtCode = nullptr;
    QPushButton *btnCheck = nullptr;
    QPushButton *btnClear = nullptr;
    QPushButton *btnSave = nullptr;
    SkinLabel *lbMsg = nullptr;
    SkinLabel *Label2 = nullptr; // heading of the code box
    SkinLabel *Label3 = nullptr; // how to use the code box
    SkinLabel *Label4 = nullptr; // an empty caption at the foot of the code page

    // Result page
    QPlainTextEdit *txtResult = nullptr;
    QToolButton *btnParams = nullptr; // the formula's parameters, shown when it has any
    QPushButton *btnReturn = nullptr;
    SkinLabel *lbad = nullptr;
    SkinLabel *Label5 = nullptr; // heading of the report

    // About page
    QPushButton *btnAbout = nullptr;
    SkinLabel *lbVersion = nullptr;
    PictureBox *Image5 = nullptr; // emblem on the about page
    SkinLabel *lblink = nullptr;
    SkinLabel *Label6 = nullptr; // program name before lbVersion
    SkinLabel *Label8 = nullptr; // the free-software line

public slots:
    void btnCheck_Click();
    void btnClear_Click();
    void btnSave_Click();
    void btnLoadList_Click();
    void btnEditList_Click();
    void btnReturn_Click();
    void btnAbout_Click();
    void Image2_Click();
    void Image3_Click();
    void Image4_Click();
    void lbMsg_Click();
    void lbad_Click();
    void lblink_Click();
    // The code's replay as a chart, in a window of its own (Ctrl+R).
    ReplayView *openReplayView();
    // The checked formula's parameters beside the report, to fill in as the chart has them.
    ParameterTable *openParameterTable();

private slots:
    // Pointer movement: window moves, hover frames, link colours, the hand cursor.
    void Image1_MouseMove(QPoint globalPos, Qt::MouseButtons buttons);
    void lbTitle_MouseMove(QPoint globalPos, Qt::MouseButtons buttons);
    void Image2_MouseMove();
    void Image3_MouseMove();
    void Image4_MouseMove();
    void panelAbout_MouseMove();
    void PanelInfo_MouseMove();
    void lblink_MouseMove();
    void lbad_MouseMove();
    void lbMsg_MouseMove();

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createLayout();
    void connectHandlers();
    void addButtonShortcuts();
    void showParameterButton();
    void showList();
    void loadList(bool tellUser);
    void Form_Resize();
    void CheckNotice();
    void applyNotice(const NoticeResponse &response);
    void DragWindow(QPoint globalPos, Qt::MouseButtons buttons);
    void setFrames(bool image2, bool image3, bool image4);
    void openLink(const QString &caption, const QUrl &fixedUrl = {});
    LaterFailure laterFailureWarning(const QString &text);

    WindowServices m_services;
    FunctionList m_list;
    FunctionMatcher m_matcher; // the list, compiled once per load
    FormulaAssist *m_assist = nullptr;
    QString m_reportText;
    QCursor m_handCursor;
    QPoint m_dragOffset;
    bool m_systemMove = false;
    NoticeFetch *m_noticeFetch = nullptr; // a child; deleted once answered or closed
    QPointer<ReplayView> m_replayView;
    ParameterTable *m_paramTable = nullptr;
    QString m_checkedFormula; // the text the report and its parameters are of
};

} // namespace morvane
