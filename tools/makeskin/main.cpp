// Draws the window's pictures; run it after changing a drawing and commit what it writes:
//   makeskin <resources folder>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtEndian>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

const QColor kContentGrey(237, 238, 240);
const QColor kEdge(151, 164, 170);
const QColor kFrame(153, 164, 170);
const QColor kSideStrip(214, 221, 227);
const QColor kButtonBlue(46, 110, 190);

QColor mix(const QColor &a, const QColor &b, double t)
{
    return QColor::fromRgbF(float(a.redF() + (b.redF() - a.redF()) * t),
                            float(a.greenF() + (b.greenF() - a.greenF()) * t),
                            float(a.blueF() + (b.blueF() - a.blueF()) * t));
}

void fillRows(QImage &img, int top, int bottom, int left, int right, const QColor &from,
              const QColor &to)
{
    for (int y = top; y <= bottom; ++y) {
        const double t = bottom == top ? 0.0 : double(y - top) / (bottom - top);
        const QRgb c = mix(from, to, t).rgb();
        for (int x = left; x <= right; ++x)
            img.setPixel(x, y, c);
    }
}

// A tilted white page under a magnifying glass, drawn on a square of `size` pixels.
QImage emblem(int width, int height)
{
    QImage img(width, height, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(width / 34.0, height / 33.0);

    p.save();
    p.translate(15, 15);
    p.rotate(-12);
    p.setPen(QPen(QColor(120, 130, 150), 1.0));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(-10, -13, 20, 26));
    p.setPen(QPen(QColor(170, 178, 192), 1.2));
    for (int i = 0; i < 5; ++i)
        p.drawLine(QPointF(-7, -8 + i * 4.2), QPointF(i == 4 ? 2 : 7, -8 + i * 4.2));
    p.restore();

    p.setPen(QPen(QColor(70, 60, 150), 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(25.5, 25.5), QPointF(31.5, 31.5));
    QRadialGradient lens(QPointF(19, 18), 8);
    lens.setColorAt(0, QColor(225, 238, 255, 170));
    lens.setColorAt(1, QColor(160, 190, 240, 150));
    p.setBrush(lens);
    p.setPen(QPen(QColor(88, 76, 200), 2.6));
    p.drawEllipse(QPointF(19.5, 19), 7.5, 7.5);
    return img;
}

QImage background()
{
    QImage img(460, 420, QImage::Format_RGB32);
    img.fill(kEdge);
    fillRows(img, 1, 20, 1, 458, QColor(244, 246, 245), QColor(203, 210, 216));
    fillRows(img, 21, 402, 1, 4, kSideStrip, kSideStrip);
    fillRows(img, 21, 402, 455, 458, kSideStrip, kSideStrip);
    fillRows(img, 21, 402, 5, 454, kFrame, kFrame);
    fillRows(img, 22, 401, 6, 453, kContentGrey, kContentGrey);
    fillRows(img, 403, 418, 1, 458, QColor(242, 243, 245), QColor(198, 201, 206));
    QPainter p(&img);
    p.drawImage(8, 2, emblem(16, 16));
    return img;
}

QImage buttonBase(const QColor &top, const QColor &bottom, const QColor &border)
{
    QImage img(13, 13, QImage::Format_RGB32);
    fillRows(img, 0, 12, 0, 12, top, bottom);
    QPainter p(&img);
    p.setPen(border);
    p.drawRect(0, 0, 12, 12);
    return img;
}

QImage closeButton()
{
    QImage img = buttonBase(QColor(236, 90, 80), QColor(196, 36, 30), QColor(150, 30, 26));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::white, 1.6));
    p.drawLine(QPointF(3.5, 3.5), QPointF(9.5, 9.5));
    p.drawLine(QPointF(9.5, 3.5), QPointF(3.5, 9.5));
    return img;
}

QImage minimiseButton()
{
    QImage img = buttonBase(QColor(252, 252, 252), QColor(222, 226, 230), QColor(150, 160, 170));
    QPainter p(&img);
    p.fillRect(3, 8, 7, 2, kButtonBlue);
    return img;
}

QImage aboutButton()
{
    QImage img = buttonBase(QColor(252, 252, 252), QColor(222, 226, 230), QColor(150, 160, 170));
    QPainter p(&img);
    p.fillRect(6, 3, 2, 2, kButtonBlue);
    p.fillRect(6, 6, 2, 4, kButtonBlue);
    p.fillRect(5, 6, 1, 1, kButtonBlue);
    p.fillRect(5, 9, 4, 1, kButtonBlue);
    return img;
}

QByteArray png(const QImage &img)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    img.save(&buffer, "PNG");
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// An .ico of PNG images, the form Windows has read since Vista.
QByteArray icon(const QList<int> &sizes)
{
    QList<QByteArray> images;
    for (int s : sizes)
        images << png(emblem(s, s));
    QByteArray out;
    auto u16 = [&](quint16 v) { out.append(char(v & 0xff)).append(char(v >> 8)); };
    auto u32 = [&](quint32 v) {
        u16(quint16(v & 0xffff));
        u16(quint16(v >> 16));
    };
    u16(0);
    u16(1);
    u16(quint16(sizes.size()));
    quint32 offset = 6 + 16 * quint32(sizes.size());
    for (int i = 0; i < sizes.size(); ++i) {
        out.append(char(sizes[i] >= 256 ? 0 : sizes[i]));
        out.append(char(sizes[i] >= 256 ? 0 : sizes[i]));
        out.append(char(0)).append(char(0));
        u16(1);
        u16(32);
        u32(quint32(images[i].size()));
        u32(offset);
        offset += quint32(images[i].size());
    }
    for (const QByteArray &img : images)
        out += img;
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: makeskin <resources folder>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    // The window's icon and the .ico take up to 72 px; the desktop's hicolor theme up to 256.
    const QList<int> iconSizes{16, 24, 32, 48, 64, 72};
    const QList<int> themeSizes{16, 24, 32, 48, 64, 72, 128, 256};
    bool ok = writeFile(dir.filePath(u"background.png"_s), png(background())) &&
              writeFile(dir.filePath(u"close.png"_s), png(closeButton())) &&
              writeFile(dir.filePath(u"minimise.png"_s), png(minimiseButton())) &&
              writeFile(dir.filePath(u"about.png"_s), png(aboutButton())) &&
              writeFile(dir.filePath(u"emblem.png"_s), png(emblem(34, 33))) &&
              writeFile(dir.filePath(u"morvane.ico"_s), icon(iconSizes));
    for (int s : themeSizes)
        ok = ok && writeFile(dir.filePath(u"icon-%1.png"_s.arg(s)), png(emblem(s, s)));
    return ok ? 0 : 1;
}
