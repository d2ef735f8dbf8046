#include "codeeditor.h"

#include "barfiles.h"

#include "encoding.h"

#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace morvane {

class LineNumberGutter : public QWidget
{
public:
    explicit LineNumberGutter(CodeEditor *editor) : QWidget(editor), m_editor(editor) {}

protected:
    void paintEvent(QPaintEvent *event) override { m_editor->paintGutter(event); }

private:
    CodeEditor *m_editor;
};

namespace {

const QColor kGutterBack{237, 238, 240};
const QColor kGutterText{128, 128, 128};
constexpr int kLongLine = 4096; // past it a line keeps its glyphs: a few lines at most

// The longest line of `text` once inserted into `block`, whose text joins its first and last.
qsizetype longestLine(QStringView text, const QTextBlock &block)
{
    qsizetype longest = 0;
    qsizetype start = 0;
    for (qsizetype k = 0; k <= text.size(); ++k) {
        if (k == text.size() || text[k] == u'\n' || text[k] == u'\r' ||
            text[k] == QChar::ParagraphSeparator) {
            longest = std::max(longest, k - start);
            start = k + 1;
        }
    }
    return longest + (block.isValid() ? block.length() - 1 : 0);
}

QString localFile(const QMimeData *source)
{
    if (!source || !source->hasUrls())
        return {};
    for (const QUrl &url : source->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return {};
}

} // namespace

CodeEditor::CodeEditor(QWidget *parent)
    : QPlainTextEdit(parent), m_gutter(new LineNumberGutter(this))
{
    setLineWrapMode(QPlainTextEdit::NoWrap);
    connect(this, &QPlainTextEdit::blockCountChanged, this, &CodeEditor::updateGutterWidth);
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect &rect, int dy) {
        if (dy)
            m_gutter->scroll(0, dy);
        else
            m_gutter->update(0, rect.y(), m_gutter->width(), rect.height());
    });
    connect(document(), &QTextDocument::contentsChange, this, &CodeEditor::followLongLines);
    updateGutterWidth();
}

int CodeEditor::gutterWidth() const
{
    int digits = 1;
    for (int n = std::max(1, blockCount()); n >= 10; n /= 10)
        ++digits;
    return 4 + fontMetrics().horizontalAdvance(u'9') * std::max(digits, 2);
}

void CodeEditor::updateGutterWidth()
{
    setViewportMargins(gutterWidth(), 0, 0, 0);
}

void CodeEditor::resizeEvent(QResizeEvent *event)
{
    QPlainTextEdit::resizeEvent(event);
    const QRect r = contentsRect();
    m_gutter->setGeometry(QRect(r.left(), r.top(), gutterWidth(), r.height()));
}

void CodeEditor::paintGutter(QPaintEvent *event)
{
    QPainter painter(m_gutter);
    painter.fillRect(event->rect(), kGutterBack);
    painter.setFont(font());
    painter.setPen(kGutterText);
    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    const int lineHeight = fontMetrics().height();
    while (block.isValid() && top <= event->rect().bottom()) {
        const int height = qRound(blockBoundingRect(block).height());
        if (block.isVisible() && top + height >= event->rect().top())
            painter.drawText(0, top, m_gutter->width() - 2, lineHeight, Qt::AlignRight,
                             QString::number(block.blockNumber() + 1));
        block = block.next();
        top += height;
    }
}

// Qt shapes a line again for each layout, caret and paint unless its glyphs are kept, and
// draws every piece of it on each paint: a pasted line of 1 MB with a space every few letters
// stood the window still for a second at each caret blink. Long lines keep their glyphs; a
// line too long to scroll sideways is wrapped, so that only the rows in view are drawn.
void CodeEditor::followLongLines(int from, int, int added)
{
    bool tooLong = false;
    const QTextBlock last = document()->findBlock(from + added);
    for (QTextBlock b = document()->findBlock(from); b.isValid(); b = b.next()) {
        if (b.length() > kLongLine && !b.layout()->cacheEnabled())
            b.layout()->setCacheEnabled(true);
        tooLong = tooLong || b.length() > kWrapLineCharacters;
        if (b == last)
            break;
    }
    // Typed, undone or replaced: the mode is set after the edit, never inside it.
    if (tooLong != (lineWrapMode() != NoWrap) && !m_wrapCheckPending) {
        m_wrapCheckPending = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_wrapCheckPending = false;
                bool any = false;
                for (QTextBlock b = document()->firstBlock(); b.isValid() && !any; b = b.next())
                    any = b.length() > kWrapLineCharacters;
                setWrapped(any);
            },
            Qt::QueuedConnection);
    }
}

void CodeEditor::setWrapped(bool wrapped)
{
    // Anywhere: Qt looks for a word boundary afresh for each row of a line that has none.
    setWordWrapMode(wrapped ? QTextOption::WrapAnywhere
                            : QTextOption::WrapAtWordBoundaryOrAnywhere);
    setLineWrapMode(wrapped ? WidgetWidth : NoWrap);
}

// Decided before the text goes in, so that the long line is laid out once.
void CodeEditor::prepareFor(QStringView text, const QTextBlock &at)
{
    if (lineWrapMode() == NoWrap && longestLine(text, at) > kWrapLineCharacters)
        setWrapped(true);
}

void CodeEditor::replaceText(const QString &text)
{
    prepareFor(text, QTextBlock());
    QTextCursor cursor(document());
    cursor.beginEditBlock();
    cursor.select(QTextCursor::Document);
    cursor.insertText(text);
    cursor.endEditBlock();
}

bool CodeEditor::canInsertFromMimeData(const QMimeData *source) const
{
    return !localFile(source).isEmpty() || QPlainTextEdit::canInsertFromMimeData(source);
}

void CodeEditor::insertFromMimeData(const QMimeData *source)
{
    const QString path = localFile(source);
    if (path.isEmpty()) {
        if (source && source->hasText())
            prepareFor(source->text(), textCursor().block());
        QPlainTextEdit::insertFromMimeData(source);
    } else
        emit fileDropped(path);
}

void CodeEditor::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createStandardContextMenu(event->pos());
    menu->addSeparator();
    menu->addAction(u"打开公式文件…\tCtrl+O"_s, this, &CodeEditor::openRequested);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

QString readFormulaFile(const QString &path, QString *error, bool *replaced)
{
    error->clear();
    *replaced = false;
    QFile file;
#ifdef Q_OS_UNIX
    // Opened without waiting, and looked at before reading: open(2) on a FIFO blocks until a
    // writer comes, and the window with it.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *error = u"不是普通文件（文件夹、管道或设备），未打开"_s;
        return {};
    }
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        *error = file.errorString();
        return {};
    }
#else
    if (!QFileInfo(path).isFile()) {
        *error = u"不是普通文件（文件夹、管道或设备），未打开"_s;
        return {};
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return {};
    }
#endif
    const auto tooLarge = [&](qint64 size) {
        *error = u"文件有 %1 MiB，超过窗口可流畅显示的 %2 MiB；请用命令行 morvane-check 检查"_s
                     .arg(QString::number(double(size) / (1024 * 1024), 'f', 1))
                     .arg(kMaxFormulaFileBytes / (1024 * 1024));
    };
    if (file.size() > kMaxFormulaFileBytes) {
        tooLarge(file.size());
        return {};
    }
    // The size is known: one buffer of it (a file that grew meanwhile is refused).
    const QByteArray bytes = file.read(kMaxFormulaFileBytes + 1);
    if (bytes.size() > kMaxFormulaFileBytes) {
        tooLarge(bytes.size());
        return {};
    }
    if (file.error() != QFileDevice::NoError) {
        *error = file.errorString();
        return {};
    }
    DecodedText decoded = decodeUserTextDetailed(bytes);
    *replaced = decoded.replaced;
    return std::move(decoded.text);
}

void connectFormulaOpening(QWidget *window, CodeEditor *box, const WindowServices &services,
                           std::function<void()> showCode)
{
    auto load = [window, box, warn = services.warn, ask = services.ask,
                 showCode](const QString &path) {
        const QString shown = QDir::toNativeSeparators(path);
        // Bars are no formula: a .day file's records would fill the box with garbage. The
        // user may mean to replay the formula on them.
        const auto offerReplay = [&] {
            if (ask && ask(window,
                           u"%1 是行情文件，不是公式。\n要在这份行情上回放代码框里的公式吗？"_s.arg(
                               QFileInfo(path).fileName())))
                emit box->barsFileChosen(path);
        };
        if (QFileInfo(path).suffix().compare(u"day"_s, Qt::CaseInsensitive) == 0) {
            offerReplay();
            return;
        }
        QString error;
        bool replaced = false;
        const QString text = readFormulaFile(path, &error, &replaced);
        if (!error.isEmpty()) {
            if (warn)
                warn(window, u"无法打开 %1：%2"_s.arg(shown, error));
            return;
        }
        // A CSV of prices or the charting software's export reads as text, but is bars.
        const bool csv = QFileInfo(path).suffix().compare(u"csv"_s, Qt::CaseInsensitive) == 0;
        if (csv || formula::barsFileKind(QFileInfo(path).fileName(), text.left(4096).toUtf8()) ==
                       formula::BarsFileKind::Export) {
            offerReplay();
            return;
        }
        if (showCode)
            showCode();
        box->replaceText(text);
        emit box->formulaFileLoaded(path);
        box->setFocus(Qt::OtherFocusReason);
        if (replaced && warn)
            warn(window,
                 u"%1 中有无法识别的字节，已显示为 �；请检查文件的编码（UTF-8 或 GBK）。"_s.arg(
                     shown));
    };
    auto open = [window, load, dialog = services.openDialog] {
        const QString path = dialog ? dialog(window) : QString();
        if (!path.isEmpty())
            load(path);
    };
    auto *shortcut = new QShortcut(QKeySequence::Open, window);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, window, open);
    QObject::connect(box, &CodeEditor::openRequested, window, open);
    QObject::connect(box, &CodeEditor::fileDropped, window, load);
}

} // namespace morvane
