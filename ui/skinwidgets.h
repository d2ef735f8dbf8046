#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QWidget>

namespace morvane {

namespace skin {
inline const QColor contentGrey{237, 238, 240};
inline const QColor linkBlue{63, 131, 168};
inline const QColor headingGrey{128, 128, 128};
inline const QColor noticeRed{255, 0, 0};
inline const QColor green{0, 192, 0};
inline const QColor darkGrey{64, 64, 64};
inline const QColor white{255, 255, 255};
inline const QColor linkHover{192, 0, 0};
inline const QColor linkRest{45, 162, 194};
inline const QColor reportGreen{0, 128, 0}; // nothing found
inline const QColor reportRed{255, 0, 0};   // something found
inline constexpr int reportPointSize = 10;
// The formula as it is typed.
inline const QColor commentGrey{128, 128, 128};
inline const QColor quotedText{0, 128, 128};
// The names' colours are the report's (reportstyle.h), so code and report agree.

// 宋体 where installed; elsewhere a font with its metrics. Sizes in pixels at 96 dpi.
QFont font(int pixelSize, bool bold = false, bool underline = false);
// True where the font resolves to one whose embedded bitmaps draw this size: text is then
// drawn without antialiasing, in solid strokes of the full colour.
bool drawsFromBitmaps(const QFont &font);
int pointsToPixels(double points);
} // namespace skin

// The pointer events the window answers, for a control that has no behaviour of its own:
// a click (press and release on the control), a press, and every movement over it.
class PointerEvents : public QObject
{
    Q_OBJECT
public:
    explicit PointerEvents(QWidget *control);

signals:
    void clicked();
    void pressed(QPoint globalPos);
    void mouseMoved(QPoint globalPos, Qt::MouseButtons buttons);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool m_pressInside = false;
};

// Enter on a focused push button presses it, as on Windows; Qt leaves that to dialogs.
class EnterPressesButton : public QObject
{
public:
    explicit EnterPressesButton(QPushButton *button);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
};

// A picture at its pixel size, with an optional flat one-pixel frame.
class PictureBox : public QWidget
{
    Q_OBJECT
public:
    explicit PictureBox(const QPixmap &picture, QWidget *parent = nullptr);

    bool isFramed() const { return m_framed; }
    void setFramed(bool framed);

    PointerEvents *pointer() const { return m_pointer; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QPixmap m_picture;
    bool m_framed = false;
    PointerEvents *m_pointer;
};

// A plain-text label: transparent unless given a background, optionally sized to its text.
class SkinLabel : public QLabel
{
    Q_OBJECT
public:
    explicit SkinLabel(QWidget *parent = nullptr);

    void setAutoSize(bool on) { m_autoSize = on; }
    QString caption() const { return text(); }
    void setCaption(const QString &caption);
    void setTextColor(const QColor &color);
    QColor textColor() const;
    void setOpaque(const QColor &background);
    void fitToText();

    PointerEvents *pointer() const { return m_pointer; }

protected:
    void changeEvent(QEvent *event) override;

private:
    bool m_autoSize = false;
    PointerEvents *m_pointer;
};

// A page: a solid content-grey child window without a border.
class SkinPanel : public QWidget
{
    Q_OBJECT
public:
    explicit SkinPanel(QWidget *parent = nullptr);

    PointerEvents *pointer() const { return m_pointer; }

private:
    PointerEvents *m_pointer;
};

} // namespace morvane
