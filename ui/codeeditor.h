#pragma once

#include "services.h"

#include <QPlainTextEdit>
#include <QTextBlock>

namespace morvane {

// The code box: line numbers in a narrow gutter inside its frame, long lines kept whole
// (scrolled sideways), and a file dropped or pasted as a file loaded as the formula.
class CodeEditor : public QPlainTextEdit
{
    Q_OBJECT
public:
    explicit CodeEditor(QWidget *parent = nullptr);

    int gutterWidth() const;
    // Replaces the text as one step that Ctrl+Z takes back.
    void replaceText(const QString &text);

signals:
    void fileDropped(const QString &path);
    void openRequested();
    // A formula file, opened or dropped, now fills the box.
    void formulaFileLoaded(const QString &path);
    // A bars file was opened or dropped, and the user chose to replay the formula on it.
    void barsFileChosen(const QString &path);

protected:
    bool canInsertFromMimeData(const QMimeData *source) const override;
    void insertFromMimeData(const QMimeData *source) override;
    void resizeEvent(QResizeEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    friend class LineNumberGutter;
    void followLongLines(int from, int removed, int added);
    void setWrapped(bool wrapped);
    void prepareFor(QStringView text, const QTextBlock &at);
    void paintGutter(QPaintEvent *event);
    void updateGutterWidth();

    QWidget *m_gutter;
    bool m_wrapCheckPending = false;
};

// A line longer than this is wrapped in the code box rather than scrolled sideways.
inline constexpr int kWrapLineCharacters = 64 * 1024;

// Largest formula file the window opens: the code box takes 0.9 s to lay out 4 MiB of short
// lines and then holds about 27 times the file; larger ones go to morvane-check (256 MiB).
inline constexpr qint64 kMaxFormulaFileBytes = 4 * 1024 * 1024;

// Reads a formula file, UTF-8 or GBK. An empty error means it was read; `replaced` says some
// bytes could not be decoded. Only a regular file is opened (a pipe would block the window
// until something wrote to it), and one past the bound is refused before it is read.
QString readFormulaFile(const QString &path, QString *error, bool *replaced);

// 打开 (Ctrl+O) and dropped files for the code box; failures are told in Chinese.
// `showCode` brings the code page forward first.
void connectFormulaOpening(QWidget *window, CodeEditor *box, const WindowServices &services,
                           std::function<void()> showCode);

} // namespace morvane
