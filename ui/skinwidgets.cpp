#include "skinwidgets.h"

#include <QEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

using namespace Qt::StringLiterals;

namespace morvane {

namespace skin {

namespace {

// AR PL UMing's strikes misplace the capital I (at 13 px over the letter before it, with a
// hole after it: "ZI G"); a face of our own, drawn on the pixel grid, gives that one letter.
QString latinFace(int pixelSize)
{
    static const QStringList faces = [] {
        QStringList out;
        for (int px : {12, 13}) {
            const int id =
                QFontDatabase::addApplicationFont(u":/fonts/morvane-latin-%1.ttf"_s.arg(px));
            out << (id < 0 ? QString() : QFontDatabase::applicationFontFamilies(id).value(0));
        }
        return out;
    }();
    return pixelSize == 12 || pixelSize == 13 ? faces[pixelSize - 12] : QString();
}

} // namespace

QFont font(int pixelSize, bool bold, bool underline)
{
    QFont f;
    const QStringList described{u"宋体"_s, u"SimSun"_s, u"AR PL UMing CN"_s};
    f.setFamilies(described);
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setUnderline(underline);
    if (drawsFromBitmaps(f)) {
        f.setStyleStrategy(QFont::NoAntialias);
        if (const QString latin = latinFace(pixelSize); !latin.isEmpty())
            f.setFamilies(QStringList{latin} + described);
    }
    return f;
}

bool drawsFromBitmaps(const QFont &font)
{
    // AR PL UMing carries hand-drawn strikes from 11 to 16 px; FreeType uses them only when
    // antialiasing is off. Smoothed outlines at these sizes leave thin strokes pale.
    const int px = font.pixelSize();
    const QString family = QFontInfo(font).family();
    return px >= 11 && px <= 16 &&
           (family.startsWith(u"AR PL UMing"_s) || family.startsWith(u"Morvane Latin"_s));
}

int pointsToPixels(double points)
{
    return qRound(points * 96.0 / 72.0);
}

} // namespace skin

PointerEvents::PointerEvents(QWidget *control) : QObject(control)
{
    control->setMouseTracking(true);
    control->installEventFilter(this);
}

EnterPressesButton::EnterPressesButton(QPushButton *button) : QObject(button)
{
    button->installEventFilter(this);
}

bool EnterPressesButton::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress)
        return false;
    const int key = static_cast<QKeyEvent *>(event)->key();
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    static_cast<QPushButton *>(watched)->animateClick();
    return true;
}

bool PointerEvents::eventFilter(QObject *watched, QEvent *event)
{
    auto *control = static_cast<QWidget *>(watched);
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        m_pressInside = mouse->button() == Qt::LeftButton;
        if (m_pressInside)
            emit pressed(mouse->globalPosition().toPoint());
        return true;
    }
    case QEvent::MouseButtonRelease: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        const bool click = m_pressInside && mouse->button() == Qt::LeftButton &&
                           control->rect().contains(mouse->position().toPoint());
        m_pressInside = false;
        if (click)
            emit clicked();
        return true;
    }
    case QEvent::MouseMove: {
        auto *mouse = static_cast<QMouseEvent *>(event);
        // A page only hears the pointer off its controls, not what a button hands on.
        if (control->childAt(mouse->position().toPoint()))
            return false;
        emit mouseMoved(mouse->globalPosition().toPoint(), mouse->buttons());
        return true; // the control's own: never handed on to the page beneath
    }
    default:
        return false;
    }
}

PictureBox::PictureBox(const QPixmap &picture, QWidget *parent)
    : QWidget(parent), m_picture(picture), m_pointer(new PointerEvents(this))
{
    resize(picture.deviceIndependentSize().toSize());
}

void PictureBox::setFramed(bool framed)
{
    if (m_framed == framed)
        return;
    m_framed = framed;
    update();
}

void PictureBox::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.drawPixmap(0, 0, m_picture);
    if (m_framed) {
        p.setPen(QColor(0, 0, 0));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

SkinLabel::SkinLabel(QWidget *parent) : QLabel(parent), m_pointer(new PointerEvents(this))
{
    // Captions may come from a web server: never interpret them.
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setMargin(0);
    setIndent(0);
}

void SkinLabel::setCaption(const QString &caption)
{
    // An unchanged caption keeps its size: an empty label laid out wider than its text
    // keeps its tooltip, cursor and hover area.
    if (caption == text())
        return;
    setText(caption);
    if (m_autoSize)
        fitToText();
}

void SkinLabel::setTextColor(const QColor &color)
{
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, color);
    setPalette(pal);
}

QColor SkinLabel::textColor() const
{
    return palette().color(QPalette::WindowText);
}

void SkinLabel::setOpaque(const QColor &background)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Window, background);
    setPalette(pal);
    setAutoFillBackground(true);
}

void SkinLabel::fitToText()
{
    const QFontMetrics fm(font());
    int width = fm.horizontalAdvance(text());
    // A caption from the web may be any length: it never reaches past its page.
    if (parentWidget())
        width = qMin(width, qMax(0, parentWidget()->width() - x()));
    resize(width, fm.height());
}

void SkinLabel::changeEvent(QEvent *event)
{
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange && m_autoSize)
        fitToText();
}

SkinPanel::SkinPanel(QWidget *parent) : QWidget(parent), m_pointer(new PointerEvents(this))
{
    QPalette pal = palette();
    pal.setColor(QPalette::Window, skin::contentGrey);
    setPalette(pal);
    setAutoFillBackground(true);
}

} // namespace morvane
