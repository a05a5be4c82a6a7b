// Mnemonic schemes on disk and in memory: the drawing area with its elements (picture elements, text labels,
// field labels), the classes and properties a scheme file may hold with their defaults and writing order,
// colour, character-set and font-style names, the picture block "Picture.Data", saving and loading a
// scheme file, the scheme path, the scheme list "ScmList.lst" and the element names.
// No window code here; drawing is in schemes/render.h.
#pragma once

#include "schemes/notation.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace schemes {

// A scheme that cannot be read or a value that does not fit its property.
class SchemeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- classes

enum class ElementClass { Panel, Image, Label, DBText, DBEdit };
const char* className(ElementClass c);
std::optional<ElementClass> classFromName(std::string_view name);
// Name prefix of new elements: "MImage", "Text", "DBText" ("Panel", "DBEdit" for the others).
const char* namePrefix(ElementClass c);

// ---- colours (TColor values: 0x00BBGGRR, 0xFF0000xx system colours)

inline constexpr uint32_t clBlack = 0x00000000;
inline constexpr uint32_t clWhite = 0x00FFFFFF;
inline constexpr uint32_t clFuchsia = 0x00FF00FF;
inline constexpr uint32_t clLime = 0x0000FF00;
inline constexpr uint32_t clBlue = 0x00FF0000;
inline constexpr uint32_t clRed = 0x000000FF;
inline constexpr uint32_t clNavy = 0x00800000;
inline constexpr uint32_t clBtnFace = 0xFF00000F;
inline constexpr uint32_t clWindow = 0xFF000005;
inline constexpr uint32_t clWindowText = 0xFF000008;
inline constexpr uint32_t clNone = 0x1FFFFFFF;
inline constexpr uint32_t clDefault = 0x20000000;

struct NamedValue {
    const char* name;
    uint32_t value;
};
// The 52 colour names with their values.
const std::vector<NamedValue>& colourNames();
// A colour name (any letter case); nullopt for an unknown name.
std::optional<uint32_t> colourFromName(std::string_view name);
// "clRed", or the decimal Integer value when the colour has no name.
std::string colourToText(uint32_t colour);
// What a scheme file or the element library may hold: a name, a decimal integer or "$" + hexadecimal.
std::optional<uint32_t> parseColour(std::string_view text);

// ---- character sets and font styles

const std::vector<NamedValue>& charsetNames();
std::optional<int> charsetFromName(std::string_view name);
std::string charsetToText(int charset);
inline constexpr int DEFAULT_CHARSET = 1;
inline constexpr int RUSSIAN_CHARSET = 204;

enum FontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };

struct Font {
    int charset = DEFAULT_CHARSET;
    uint32_t color = clWindowText;
    int height = -11; // negative: pixel height of the characters
    std::string name = "MS Sans Serif";
    std::string pitch = "fpDefault";
    unsigned style = 0; // FontStyle bits
    bool operator==(const Font&) const = default;
};

// ---- pictures

enum class PictureKind { None, Bitmap, Jpeg, Metafile, Icon };
struct Picture {
    PictureKind kind = PictureKind::None;
    std::vector<uint8_t> bytes; // the complete file: BMP, JPEG, EMF or placeable WMF, ICO
    bool empty() const { return kind == PictureKind::None; }
};
// The value of "Picture.Data": length byte, kind name ("TBitmap", "TJPEGImage", "TMetafile", "TIcon"), then
// the picture (with its 4-byte length except for icons; a metafile's length counts itself).
std::vector<uint8_t> encodePictureData(const Picture& p);
// Throws SchemeError for an unknown kind or a length that runs past the block.
Picture decodePictureData(const std::vector<uint8_t>& data);

// ---- elements

enum class Alignment { Left, Center, Right };

class Element {
public:
    Element() = default;
    Element(ElementClass cls, std::string name) : cls_(cls), name_(std::move(name)) {}

    ElementClass cls() const { return cls_; }
    const std::string& name() const { return name_; }
    void setName(std::string n) { name_ = std::move(n); }

    // The properties set on the element, in the order they were set (paths as in the file). A property
    // that is not set has its class default.
    const std::vector<Property>& properties() const { return props_; }
    const PropValue* find(std::string_view path) const;
    // Throws SchemeError when the class has no such property or the value does not fit it.
    void set(std::string_view path, PropValue v);
    void unset(std::string_view path);
    bool has(std::string_view path) const { return find(path) != nullptr; }

    // Typed views (the set value, else the class default).
    int64_t intProp(std::string_view path) const;
    bool boolProp(std::string_view path) const;
    std::string identProp(std::string_view path) const;
    std::string stringProp(std::string_view path) const;
    uint32_t colourProp(std::string_view path) const;

    int left() const { return int(intProp("Left")); }
    int top() const { return int(intProp("Top")); }
    int width() const { return int(intProp("Width")); }
    int height() const { return int(intProp("Height")); }
    void setBounds(int left, int top, int width, int height);
    std::string caption() const { return stringProp("Caption"); }
    std::string dataField() const { return stringProp("DataField"); }
    // "MainForm.DataSource2" or empty.
    std::string dataSource() const;
    Alignment alignment() const;
    bool autoSize() const { return boolProp("AutoSize"); }
    bool transparent() const { return boolProp("Transparent"); }
    bool stretch() const { return boolProp("Stretch"); }
    bool visible() const { return boolProp("Visible"); }
    bool wordWrap() const;
    bool parentFont() const { return boolProp("ParentFont"); }
    bool parentColor() const { return boolProp("ParentColor"); }
    uint32_t color() const { return colourProp("Color"); }
    // The element's own font (meaningful when ParentFont is false).
    Font font() const;
    void setFont(const Font& f);
    Picture picture() const;
    void setPicture(const Picture& p);
    // Constraints (0 = no limit): MaxWidth, MinWidth, MaxHeight, MinHeight.
    int maxWidth() const { return int(intProp("Constraints.MaxWidth")); }
    int minWidth() const { return int(intProp("Constraints.MinWidth")); }
    int maxHeight() const { return int(intProp("Constraints.MaxHeight")); }
    int minHeight() const { return int(intProp("Constraints.MinHeight")); }

    // Nested elements (only a panel holds any; the drawing area's elements in painting order).
    std::vector<Element>& children() { return children_; }
    const std::vector<Element>& children() const { return children_; }

private:
    ElementClass cls_ = ElementClass::Label;
    std::string name_;
    std::vector<Property> props_;
    std::vector<Element> children_;
};

// The writing order of a class's properties (as the writer puts them when present).
std::vector<std::string> propertyOrder(ElementClass c);
bool classHasProperty(ElementClass c, std::string_view path);

// The block of an element as the writer stores it: properties in the class order, defaults left out, Color
// only when ParentColor is false, Font.* only when ParentFont is false, Transparent whenever it was set.
ObjectBlock toBlock(const Element& e);
// An element from a block. Throws SchemeError for an unknown class, a property its class does not have or
// a value that does not fit. As when the program's own reader assigns them, a Color makes ParentColor false
// and a Font.* property makes ParentFont false unless the block sets them again.
Element fromBlock(const ObjectBlock& b);

// ---- the scheme: the drawing area "Dr" with its elements

inline constexpr int kAreaWidth = 1005;
inline constexpr int kAreaHeight = 585;
inline constexpr int kAreaBevel = 2;
inline constexpr const char* kAreaName = "Dr";
// The one data source field labels are bound to: the main window's current-state source.
inline constexpr const char* kStateSourceName = "MainForm.DataSource2";

struct Scheme {
    // The drawing area as stored: "object Dr: TPanel" with Left 0, Top 92, 1005 × 585, BevelInner bvLowered,
    // the four size constraints, font MS Sans Serif -24, ParentFont False, TabOrder 1.
    Element area = standardArea();
    std::vector<Element>& elements() { return area.children(); }
    const std::vector<Element>& elements() const { return area.children(); }

    static Element standardArea();
    // The element of that name (any letter case), nullptr when there is none.
    const Element* element(std::string_view name) const;
    // Prefix + the smallest k from 1 whose name no element has; after 65535 tries prefix + "65536".
    std::string nextName(std::string_view prefix) const;
};

// The file text: the area's block and one extra CR LF.
std::string schemeText(const Scheme& s);
// Throws SchemeError (also for a notation error) when the text is no scheme.
Scheme parseSchemeText(std::string_view text);

// The message of a load that failed: "Ошибка загрузки схемы " + path.
inline constexpr const char* kLoadErrorText = "Ошибка загрузки схемы ";
std::string loadErrorMessage(const std::string& path);

// Reads and converts a scheme file. Throws SchemeError whose what() is loadErrorMessage(path) for a missing
// or unreadable file and for any content error; detail() says what was wrong. The file is only read.
class SchemeLoadError : public SchemeError {
public:
    SchemeLoadError(const std::string& path, std::string detail)
        : SchemeError(loadErrorMessage(path)), detail_(std::move(detail)) {}
    const std::string& detail() const { return detail_; }

private:
    std::string detail_;
};
Scheme loadSchemeFile(const std::string& path);
// Creates or truncates the file and writes the scheme. Throws SchemeError when it cannot be written (a
// missing per-type folder is not created).
void saveSchemeFile(const Scheme& s, const std::string& path);

// ---- paths and the scheme list (under the program folder)

// programDir + "/Circuits/" + type + "/S" + n + ".MNS".
std::string schemePath(const std::string& programDir, int deviceType, int number);
// The existing scheme file of (type, n), its folders and name matched without regard to letter case;
// empty when there is none.
std::string findSchemeFile(const std::string& programDir, int deviceType, int number);
// programDir + "/Circuits/ScmList.lst", "/Circuits/Objects.ini", "/wallpaper.jpg".
std::string schemeListPath(const std::string& programDir);
std::string elementLibraryPath(const std::string& programDir);
std::string wallpaperPath(const std::string& programDir);
// The snapshot file of the object window: "res.tmp" in the user's private temporary folder
// (devdata::privateTempDir); empty when there is none.
std::string snapshotPath();
// A path under dir, each component matched without regard to letter case; empty when it does not exist.
std::string findPathNoCase(const std::string& dir, const std::string& relative);

struct SchemeListLine {
    std::string key;         // "S3"
    std::string description; // UTF-8
    // The scheme number: the key without its first character (0 when that is no number).
    int number() const;
    std::string text() const { return key + "=" + description; }
};
// The lines of the device type's section [type] in file order.
std::vector<SchemeListLine> readSchemeList(const std::string& listPath, int deviceType);
// Writes key "S" + number in section [type] (Windows-1251, CR LF; other lines stay). Throws on a write
// error.
void writeSchemeDescription(const std::string& listPath, int deviceType, int number, const std::string& text);
// The smallest n from 1 to 65535 whose scheme file of the type does not exist; nullopt when all are taken.
std::optional<int> nextFreeSchemeNumber(const std::string& programDir, int deviceType);

} // namespace schemes
