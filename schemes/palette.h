// The element palette of the scheme editor: eleven pictures of a heating substation's parts, 24-bit bitmaps
// on a white background whose bright green (clLime) parts take the colour chosen when a picture is picked.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <vector>

namespace schemes {

struct PalettePicture {
    QString name;
    QImage image; // Format_RGB888, white background, clLime where it is recoloured
};

// The eleven pictures in palette order: straight pipe (63 × 12), elbows right-down, left-down, right-up and
// left-up (32 × 32 each), T-junction (32 × 32), flow meter with flanges (63 × 31), gate valve with handwheel
// (57 × 45), sensor on a pipe (32 × 32), vertical sensor assembly on a pipe (37 × 63), plate heat exchanger
// (75 × 108, blue plates, nothing recolourable).
const std::vector<PalettePicture>& palettePictures();

// Every pixel of colour clLime (0x00FF00) replaced by the colour.
QImage recolour(const QImage& image, QColor colour);

// A complete 24-bit BMP file of the image.
std::vector<uint8_t> encodeBmp24(const QImage& image);

} // namespace schemes
