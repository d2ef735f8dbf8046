#include "skinwidgets.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>

using namespace Qt::StringLiterals;

namespace morvane {

namespace skin {

QFont font(int pixelSize, bool bold, bool underline)
{
    QFont f;
    f.setFamilies({u"宋体"_s, u"SimSun"_s, u"AR PL UMing CN"_s});
    f.setPixelSize(pixelSize);
    f.setBold(bold);
    f.setUnderline(underline);
    return f;
}

int pointsToPixels(double points)
{
    return qRound(points * 96.0 / 72.0);
}

} // namespace skin

namespace {
// A click is a press and a release on the same control, as buttons behave.
bool releasedInside(const QWidget *w, const QMouseEvent *event, bool pressInside)
{
    return pressInside && event->button() == Qt::LeftButton &&
           w->rect().contains(event->position().toPoint());
}
} // namespace

PictureBox::PictureBox(const QPixmap &picture, QWidget *parent)
    : QWidget(parent), m_picture(picture)
{
    setMouseTracking(true);
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

void PictureBox::mousePressEvent(QMouseEvent *event)
{
    m_pressInside = event->button() == Qt::LeftButton;
    if (m_pressInside)
        emit pressed(event->globalPosition().toPoint());
}

void PictureBox::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click = releasedInside(this, event, m_pressInside);
    m_pressInside = false;
    if (click)
        emit clicked();
}

void PictureBox::mouseMoveEvent(QMouseEvent *event)
{
    emit mouseMoved(event->globalPosition().toPoint(), event->buttons());
}

SkinLabel::SkinLabel(QWidget *parent) : QLabel(parent)
{
    // Captions may come from a web server: never interpret them.
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setMargin(0);
    setIndent(0);
    setMouseTracking(true);
}

void SkinLabel::setCaption(const QString &caption)
{
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

void SkinLabel::mousePressEvent(QMouseEvent *event)
{
    m_pressInside = event->button() == Qt::LeftButton;
    if (m_pressInside)
        emit pressed(event->globalPosition().toPoint());
}

void SkinLabel::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click = releasedInside(this, event, m_pressInside);
    m_pressInside = false;
    if (click)
        emit clicked();
}

void SkinLabel::mouseMoveEvent(QMouseEvent *event)
{
    emit mouseMoved(event->globalPosition().toPoint(), event->buttons());
}

SkinPanel::SkinPanel(QWidget *parent) : QWidget(parent)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Window, skin::contentGrey);
    setPalette(pal);
    setAutoFillBackground(true);
    setMouseTracking(true);
}

void SkinPanel::mouseMoveEvent(QMouseEvent *event)
{
    emit mouseMoved(event->globalPosition().toPoint(), event->buttons());
}

} // namespace morvane
