#include "schemes/palette.h"

#include <QBuffer>
#include <QPainter>
#include <QPolygon>

namespace schemes {

namespace {

const QColor kLime(0, 255, 0);
const QColor kGrey(0x80, 0x80, 0x80);
const QColor kDark(0x40, 0x40, 0x40);
const QColor kPlate(0, 0, 0xC0);

QImage blank(int w, int h) {
    QImage img(w, h, QImage::Format_RGB888);
    img.fill(Qt::white);
    return img;
}

// Fills the rectangles with clLime (pixel-exact, no smoothing).
void lime(QImage& img, std::initializer_list<QRect> parts) {
    QPainter p(&img);
    for (const QRect& r : parts)
        p.fillRect(r, kLime);
}

// Every white pixel next to a clLime one (the eight neighbours) becomes black: the pipe's walls.
void outline(QImage& img) {
    const QRgb white = qRgb(255, 255, 255), green = kLime.rgb();
    QImage src = img;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            if (src.pixel(x, y) != white) continue;
            bool next = false;
            for (int dy = -1; dy <= 1 && !next; ++dy)
                for (int dx = -1; dx <= 1 && !next; ++dx) {
                    int nx = x + dx, ny = y + dy;
                    if (nx >= 0 && ny >= 0 && nx < img.width() && ny < img.height() &&
                        src.pixel(nx, ny) == green)
                        next = true;
                }
            if (next) img.setPixel(x, y, qRgb(0, 0, 0));
        }
}

QImage pipe() {
    QImage img = blank(63, 12);
    lime(img, {QRect(0, 2, 63, 8)});
    outline(img);
    return img;
}

// An elbow joining two edges of a 32 × 32 square through its middle band (columns and rows 12 to 19).
QImage elbow(bool right, bool down) {
    QImage img = blank(32, 32);
    lime(img, {right ? QRect(12, 12, 20, 8) : QRect(0, 12, 20, 8),
               down ? QRect(12, 12, 8, 20) : QRect(12, 0, 8, 20)});
    outline(img);
    return img;
}

QImage tee() {
    QImage img = blank(32, 32);
    lime(img, {QRect(0, 12, 32, 8), QRect(12, 12, 8, 20)});
    outline(img);
    return img;
}

QImage flowMeter() {
    QImage img = blank(63, 31);
    lime(img, {QRect(0, 11, 63, 9)});
    outline(img);
    QPainter p(&img);
    p.fillRect(QRect(4, 5, 4, 21), kDark); // flanges
    p.fillRect(QRect(55, 5, 4, 21), kDark);
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawRect(QRect(19, 4, 24, 22)); // the meter's body
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRect(25, 9, 12, 12));
    p.setBrush(Qt::black);
    p.drawPolygon(QPolygon({QPoint(29, 12), QPoint(34, 15), QPoint(29, 18)})); // direction of flow
    return img;
}

QImage gateValve() {
    QImage img = blank(57, 45);
    lime(img, {QRect(0, 30, 57, 8)});
    outline(img);
    QPainter p(&img);
    p.setPen(Qt::black);
    p.setBrush(kGrey);
    p.drawPolygon(QPolygon({QPoint(14, 25), QPoint(14, 42), QPoint(28, 34)}));
    p.drawPolygon(QPolygon({QPoint(42, 25), QPoint(42, 42), QPoint(28, 34)}));
    p.fillRect(QRect(27, 8, 3, 26), Qt::black); // stem
    p.setPen(QPen(kDark, 2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRect(14, 2, 29, 8)); // handwheel
    p.fillRect(QRect(26, 4, 5, 4), kDark);
    return img;
}

QImage sensor() {
    QImage img = blank(32, 32);
    lime(img, {QRect(0, 20, 32, 8)});
    outline(img);
    QPainter p(&img);
    p.fillRect(QRect(15, 9, 3, 10), Qt::black); // well
    p.setPen(Qt::black);
    p.setBrush(kGrey);
    p.drawEllipse(QRect(10, 1, 12, 10)); // head
    return img;
}

QImage sensorAssembly() {
    QImage img = blank(37, 63);
    lime(img, {QRect(0, 50, 37, 8), QRect(15, 18, 7, 32)});
    outline(img);
    QPainter p(&img);
    p.setPen(Qt::black);
    p.setBrush(Qt::white);
    p.drawEllipse(QRect(9, 0, 18, 17));      // gauge
    p.drawLine(18, 8, 23, 4);                // needle
    p.fillRect(QRect(12, 40, 13, 3), kDark); // valve on the impulse tube
    return img;
}

QImage heatExchanger() {
    QImage img = blank(75, 108);
    QPainter p(&img);
    p.fillRect(QRect(14, 0, 9, 11), kGrey); // connections
    p.fillRect(QRect(52, 0, 9, 11), kGrey);
    p.fillRect(QRect(14, 97, 9, 11), kGrey);
    p.fillRect(QRect(52, 97, 9, 11), kGrey);
    p.setPen(Qt::black);
    p.setBrush(kGrey);
    p.drawRect(QRect(3, 10, 68, 87)); // frame
    for (int i = 0; i < 10; ++i)
        p.fillRect(QRect(9 + 6 * i, 16, 4, 76), kPlate); // plates
    return img;
}

} // namespace

const std::vector<PalettePicture>& palettePictures() {
    static const std::vector<PalettePicture> pictures = {
        {"Труба", pipe()},
        {"Отвод вправо-вниз", elbow(true, true)},
        {"Отвод влево-вниз", elbow(false, true)},
        {"Отвод вправо-вверх", elbow(true, false)},
        {"Отвод влево-вверх", elbow(false, false)},
        {"Тройник", tee()},
        {"Расходомер", flowMeter()},
        {"Задвижка", gateValve()},
        {"Датчик", sensor()},
        {"Датчик с манометром", sensorAssembly()},
        {"Пластинчатый теплообменник", heatExchanger()},
    };
    return pictures;
}

QImage recolour(const QImage& image, QColor colour) {
    QImage out = image.convertToFormat(QImage::Format_RGB888);
    const QRgb green = kLime.rgb(), to = colour.rgb();
    for (int y = 0; y < out.height(); ++y)
        for (int x = 0; x < out.width(); ++x)
            if (out.pixel(x, y) == green) out.setPixel(x, y, to);
    return out;
}

std::vector<uint8_t> encodeBmp24(const QImage& image) {
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    image.convertToFormat(QImage::Format_RGB888).save(&buf, "BMP");
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

} // namespace schemes
