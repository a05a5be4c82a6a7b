// Pictures and drawing of mnemonic schemes: JPEG decoding (libjpeg), the pictures of "Picture.Data", colours
// and fonts of the scheme files in Qt terms, the element library "Objects.ini" with its vector-element
// drawing rule, and the painting of a scheme's elements.
#pragma once

#include "schemes/scheme.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPoint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QPainter;

namespace schemes {

// ---- JPEG through libjpeg; a null image when the bytes are no JPEG picture.
QImage decodeJpeg(const uint8_t* data, size_t size);
QImage loadJpegFile(const std::string& path);
// Quality 0..100; empty on failure.
std::vector<uint8_t> encodeJpeg(const QImage& image, int quality = 85);

// ---- pictures of picture elements

// The picture as an image. Bitmaps and icons are decoded by Qt, JPEG pictures by libjpeg, metafiles are
// played by schemes/metafile.h. Throws SchemeError for bytes that are no picture of their kind.
QImage pictureImage(const Picture& p);
// The picture with the pixels of the colour of its bottom-left pixel made see-through (what "Transparent"
// does to a bitmap).
QImage withTransparentColour(const QImage& image);
// A complete BMP file (24 bits per pixel) of the image, as a "TBitmap" picture holds it.
std::vector<uint8_t> encodeBmp(const QImage& image);

// ---- colours and fonts

// A TColor: RGB colours as they are, the system colours (0xFF0000xx) as the classic desktop shows them,
// clNone transparent.
QColor toQColor(uint32_t colour);
QFont toQFont(const Font& f);

// ---- element library "Objects.ini"

class ElementLibrary {
public:
    struct Shape {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Shape> keys; // every key of the section in file order, "ObjSize" included
    };

    // Reads the file (Windows-1251); an absent or unreadable file gives an empty library.
    explicit ElementLibrary(const std::string& path);
    ElementLibrary() = default;
    bool empty() const { return sections_.empty(); }
    const std::vector<Section>& sections() const { return sections_; }
    std::vector<std::string> sectionNames() const;
    const Section* section(const std::string& name) const;

    // The element's bitmap at scale f (library units → pixels), with its box and size limits from
    // "ObjSize"; nullopt for a missing section or an "ObjSize" that is not six integers.
    struct Drawn {
        QImage image; // clFuchsia where nothing is drawn
        int width, height, maxWidth, minWidth, maxHeight, minHeight;
    };
    std::optional<Drawn> draw(const std::string& sectionName, int scale) const;

private:
    std::vector<Section> sections_;
};

// A picture element "MImage" + k drawn from the library section at scale f, centred on the drop point,
// transparent and stretched, with the section's size limits. nullopt when the library has no such section
// (or it cannot be drawn); nothing is added to the scheme.
std::optional<Element> makeVectorElement(const ElementLibrary& lib, const std::string& section, int scale,
                                         QPoint drop, const Scheme& scheme);

// ---- painting

// The text of a field label: the value of the field in the shown row, or nullopt when there is no row or no
// such field.
using FieldText = std::function<std::optional<std::string>(const std::string& field)>;

// Paints the elements in painting order onto the painter, whose origin is the drawing area's top-left
// corner. Labels with ParentFont/ParentColor take the area's font and colour. Field labels bound to the
// main window's state source show fieldText's value.
void paintElements(QPainter& p, const Element& area, const FieldText& fieldText);
// The font a label draws with (its own or, with ParentFont, its parent's).
QFont effectiveFont(const Element& e, const Element& parent);

// ---- label boxes

// The text of a text label as it is drawn (line breaks as "\n").
QString captionText(const std::string& caption);
// The box an auto-sized label takes for its text in its effective font (parent: the drawing area, whose font
// labels with ParentFont use).
QSize labelExtent(const Element& label, const Element& parent, const QString& text);
// An auto-sized text label takes the size of its caption; Left and Top stay, whatever the alignment. False
// for any other element and when the size was already right.
bool fitAutoSize(Element& label, const Element& parent);
// fitAutoSize for every label of the area and of its panels; true when any box changed.
bool fitAutoSizedLabels(Element& area);

// A field label's value as its box shows it: the whole text when it fits the box's width, else the text cut
// with a trailing "…" and the whole value as the hint (the hint is empty when nothing is cut).
struct ShownField {
    QString text;
    QString hint;
    bool cut() const { return !hint.isEmpty(); }
};
ShownField shownFieldText(const Element& label, const Element& parent, const QString& value);
// What the field label (of the area or a panel in it) shows now; nullopt when there is no such field label.
std::optional<ShownField> shownField(const Element& area, const std::string& name,
                                     const FieldText& fieldText);
// The hint at a point of the area: the whole value of the topmost field label there whose text is cut;
// empty when there is none.
QString fieldHintAt(const Element& area, QPoint p, const FieldText& fieldText);

} // namespace schemes
