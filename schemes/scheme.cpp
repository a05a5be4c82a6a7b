#include "schemes/scheme.h"

#include "dbf/codec.h"
#include "devdata/settings.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace schemes {

using dbf::codec::sameName;

// ---------------------------------------------------------------- names and values

const char* className(ElementClass c) {
    switch (c) {
    case ElementClass::Panel:
        return "TPanel";
    case ElementClass::Image:
        return "TImage";
    case ElementClass::Label:
        return "TLabel";
    case ElementClass::DBText:
        return "TDBText";
    case ElementClass::DBEdit:
        return "TDBEdit";
    }
    return "";
}

std::optional<ElementClass> classFromName(std::string_view name) {
    for (ElementClass c : {ElementClass::Panel, ElementClass::Image, ElementClass::Label,
                           ElementClass::DBText, ElementClass::DBEdit})
        if (sameName(name, className(c))) return c;
    return std::nullopt;
}

const char* namePrefix(ElementClass c) {
    switch (c) {
    case ElementClass::Panel:
        return "Panel";
    case ElementClass::Image:
        return "MImage";
    case ElementClass::Label:
        return "Text";
    case ElementClass::DBText:
        return "DBText";
    case ElementClass::DBEdit:
        return "DBEdit";
    }
    return "";
}

const std::vector<NamedValue>& colourNames() {
    static const std::vector<NamedValue> names = {
        {"clBlack", 0x00000000},
        {"clMaroon", 0x00000080},
        {"clGreen", 0x00008000},
        {"clOlive", 0x00008080},
        {"clNavy", 0x00800000},
        {"clPurple", 0x00800080},
        {"clTeal", 0x00808000},
        {"clGray", 0x00808080},
        {"clSilver", 0x00C0C0C0},
        {"clRed", 0x000000FF},
        {"clLime", 0x0000FF00},
        {"clYellow", 0x0000FFFF},
        {"clBlue", 0x00FF0000},
        {"clFuchsia", 0x00FF00FF},
        {"clAqua", 0x00FFFF00},
        {"clWhite", 0x00FFFFFF},
        {"clMoneyGreen", 0x00C0DCC0},
        {"clSkyBlue", 0x00F0CAA6},
        {"clCream", 0x00F0FBFF},
        {"clMedGray", 0x00A4A0A0},
        {"clActiveBorder", 0xFF00000A},
        {"clActiveCaption", 0xFF000002},
        {"clAppWorkSpace", 0xFF00000C},
        {"clBackground", 0xFF000001},
        {"clBtnFace", 0xFF00000F},
        {"clBtnHighlight", 0xFF000014},
        {"clBtnShadow", 0xFF000010},
        {"clBtnText", 0xFF000012},
        {"clCaptionText", 0xFF000009},
        {"clDefault", 0x20000000},
        {"clGradientActiveCaption", 0xFF00001B},
        {"clGradientInactiveCaption", 0xFF00001C},
        {"clGrayText", 0xFF000011},
        {"clHighlight", 0xFF00000D},
        {"clHighlightText", 0xFF00000E},
        {"clHotLight", 0xFF00001A},
        {"clInactiveBorder", 0xFF00000B},
        {"clInactiveCaption", 0xFF000003},
        {"clInactiveCaptionText", 0xFF000013},
        {"clInfoBk", 0xFF000018},
        {"clInfoText", 0xFF000017},
        {"clMenu", 0xFF000004},
        {"clMenuBar", 0xFF00001E},
        {"clMenuHighlight", 0xFF00001D},
        {"clMenuText", 0xFF000007},
        {"clNone", 0x1FFFFFFF},
        {"clScrollBar", 0xFF000000},
        {"cl3DDkShadow", 0xFF000015},
        {"cl3DLight", 0xFF000016},
        {"clWindow", 0xFF000005},
        {"clWindowFrame", 0xFF000006},
        {"clWindowText", 0xFF000008},
    };
    return names;
}

std::optional<uint32_t> colourFromName(std::string_view name) {
    for (const auto& n : colourNames())
        if (sameName(name, n.name)) return n.value;
    return std::nullopt;
}

std::string colourToText(uint32_t colour) {
    for (const auto& n : colourNames())
        if (n.value == colour) return n.name;
    return std::to_string(int32_t(colour));
}

namespace {

std::string trim(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r' || s[a] == '\n'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r' || s[b - 1] == '\n'))
        --b;
    return std::string(s.substr(a, b - a));
}

std::optional<int64_t> parseInteger(std::string_view text) {
    std::string t = trim(text);
    if (t.empty()) return std::nullopt;
    bool neg = false;
    size_t i = 0;
    if (t[0] == '-' || t[0] == '+') {
        neg = t[0] == '-';
        ++i;
    }
    bool hex = false;
    if (i < t.size() && t[i] == '$') {
        hex = true;
        ++i;
    }
    if (i >= t.size()) return std::nullopt;
    int64_t v = 0;
    for (; i < t.size(); ++i) {
        char c = t[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        v = v * (hex ? 16 : 10) + d;
        if (v > 0xFFFFFFFFll) return std::nullopt;
    }
    if (hex && v > 0x7FFFFFFF) v = int32_t(uint32_t(v));
    return neg ? -v : v;
}

} // namespace

std::optional<uint32_t> parseColour(std::string_view text) {
    std::string t = trim(text);
    if (auto c = colourFromName(t)) return c;
    if (auto v = parseInteger(t)) {
        if (*v < INT32_MIN || *v > 0xFFFFFFFFll) return std::nullopt;
        return uint32_t(*v);
    }
    return std::nullopt;
}

const std::vector<NamedValue>& charsetNames() {
    static const std::vector<NamedValue> names = {
        {"ANSI_CHARSET", 0},     {"DEFAULT_CHARSET", 1},      {"SYMBOL_CHARSET", 2},
        {"MAC_CHARSET", 77},     {"SHIFTJIS_CHARSET", 128},   {"HANGEUL_CHARSET", 129},
        {"JOHAB_CHARSET", 130},  {"GB2312_CHARSET", 134},     {"CHINESEBIG5_CHARSET", 136},
        {"GREEK_CHARSET", 161},  {"TURKISH_CHARSET", 162},    {"HEBREW_CHARSET", 177},
        {"ARABIC_CHARSET", 178}, {"BALTIC_CHARSET", 186},     {"RUSSIAN_CHARSET", 204},
        {"THAI_CHARSET", 222},   {"EASTEUROPE_CHARSET", 238}, {"OEM_CHARSET", 255},
    };
    return names;
}

std::optional<int> charsetFromName(std::string_view name) {
    for (const auto& n : charsetNames())
        if (sameName(name, n.name)) return int(n.value);
    return std::nullopt;
}

std::string charsetToText(int charset) {
    for (const auto& n : charsetNames())
        if (int(n.value) == charset) return n.name;
    return std::to_string(charset);
}

// ---------------------------------------------------------------- pictures

namespace {

struct KindName {
    PictureKind kind;
    const char* name;
};
const KindName kKindNames[] = {{PictureKind::Bitmap, "TBitmap"},
                               {PictureKind::Jpeg, "TJPEGImage"},
                               {PictureKind::Metafile, "TMetafile"},
                               {PictureKind::Icon, "TIcon"}};

void putLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(uint8_t(v >> (8 * i)));
}

} // namespace

std::vector<uint8_t> encodePictureData(const Picture& p) {
    const char* name = nullptr;
    for (const auto& k : kKindNames)
        if (k.kind == p.kind) name = k.name;
    if (!name) return {};
    std::vector<uint8_t> out;
    out.push_back(uint8_t(std::strlen(name)));
    out.insert(out.end(), name, name + std::strlen(name));
    if (p.kind == PictureKind::Metafile)
        putLe32(out, uint32_t(p.bytes.size() + 4));
    else if (p.kind != PictureKind::Icon)
        putLe32(out, uint32_t(p.bytes.size()));
    out.insert(out.end(), p.bytes.begin(), p.bytes.end());
    return out;
}

Picture decodePictureData(const std::vector<uint8_t>& data) {
    if (data.empty()) throw SchemeError("empty picture block");
    size_t nameLen = data[0];
    if (nameLen > 63 || 1 + nameLen > data.size()) throw SchemeError("bad picture kind");
    std::string name(data.begin() + 1, data.begin() + 1 + long(nameLen));
    Picture p;
    for (const auto& k : kKindNames)
        if (name == k.name) p.kind = k.kind;
    if (p.kind == PictureKind::None) throw SchemeError("unknown picture kind " + name);
    size_t pos = 1 + nameLen;
    if (p.kind == PictureKind::Icon) {
        p.bytes.assign(data.begin() + long(pos), data.end());
        if (p.bytes.size() < 6) throw SchemeError("icon too short");
        return p;
    }
    if (data.size() < pos + 4) throw SchemeError("picture length missing");
    uint32_t n = dbf::codec::getLe32(&data[pos]);
    pos += 4;
    if (p.kind == PictureKind::Metafile) {
        if (n < 4) throw SchemeError("bad metafile length");
        n -= 4;
    }
    if (n > data.size() - pos) throw SchemeError("picture length runs past the block");
    if (n == 0) throw SchemeError("empty picture");
    p.bytes.assign(data.begin() + long(pos), data.begin() + long(pos + n));
    return p;
}

// ---------------------------------------------------------------- the property tables

namespace {

enum class VT { Int, Bool, Enum, Colour, Charset, Set, String, Bytes, Ref };
enum class Rule {
    Always,               // written with the set value or the default
    NotDefault,           // written when set and not equal to the default
    WhenSet,              // written whenever set
    ParentColor,          // written (value or default) when ParentColor is false
    ParentFont,           // written (value or default) when ParentFont is false
    ParentFontNotDefault, // written when ParentFont is false and the value is not the default
};

struct PropSpec {
    std::string path;
    VT type;
    PropValue def;
    Rule rule;
    std::vector<std::string> values; // Enum and Set members
};

const std::vector<std::string> kAlignments = {"taLeftJustify", "taRightJustify", "taCenter"};
const std::vector<std::string> kLayouts = {"tlTop", "tlCenter", "tlBottom"};
const std::vector<std::string> kBevels = {"bvNone", "bvLowered", "bvRaised", "bvSpace"};
const std::vector<std::string> kPitches = {"fpDefault", "fpVariable", "fpFixed"};
const std::vector<std::string> kBorderStyles = {"bsNone", "bsSingle"};
const std::vector<std::string> kStyles = {"fsBold", "fsItalic", "fsUnderline", "fsStrikeOut"};

PropValue I(int64_t v) {
    return PropValue::makeInt(v);
}
PropValue Id(const char* s) {
    return PropValue::makeIdent(s);
}
PropValue B(bool v) {
    return PropValue::makeIdent(v ? "True" : "False");
}
PropValue S(const char* s) {
    return PropValue::makeString(s);
}

void addGeometry(std::vector<PropSpec>& v) {
    v.push_back({"Tag", VT::Int, I(0), Rule::NotDefault, {}});
    for (const char* p : {"Left", "Top", "Width", "Height"})
        v.push_back({p, VT::Int, I(0), Rule::Always, {}});
}
void addConstraints(std::vector<PropSpec>& v) {
    for (const char* p :
         {"Constraints.MaxHeight", "Constraints.MaxWidth", "Constraints.MinHeight", "Constraints.MinWidth"})
        v.push_back({p, VT::Int, I(0), Rule::NotDefault, {}});
}
void addFont(std::vector<PropSpec>& v) {
    v.push_back({"Font.Charset", VT::Charset, Id("DEFAULT_CHARSET"), Rule::ParentFont, {}});
    v.push_back({"Font.Color", VT::Colour, Id("clWindowText"), Rule::ParentFont, {}});
    v.push_back({"Font.Height", VT::Int, I(-11), Rule::ParentFont, {}});
    v.push_back({"Font.Name", VT::String, S("MS Sans Serif"), Rule::ParentFont, {}});
    v.push_back({"Font.Pitch", VT::Enum, Id("fpDefault"), Rule::ParentFontNotDefault, kPitches});
    v.push_back({"Font.Style", VT::Set, PropValue::makeSet({}), Rule::ParentFont, kStyles});
}

const std::vector<PropSpec>& specs(ElementClass c) {
    static const auto image = [] {
        std::vector<PropSpec> v;
        addGeometry(v);
        v.push_back({"Center", VT::Bool, B(false), Rule::NotDefault, {}});
        addConstraints(v);
        v.push_back({"Picture.Data", VT::Bytes, PropValue::makeBytes({}), Rule::WhenSet, {}});
        v.push_back({"Proportional", VT::Bool, B(false), Rule::NotDefault, {}});
        v.push_back({"Stretch", VT::Bool, B(false), Rule::NotDefault, {}});
        v.push_back({"Transparent", VT::Bool, B(false), Rule::NotDefault, {}});
        v.push_back({"Visible", VT::Bool, B(true), Rule::NotDefault, {}});
        return v;
    }();
    static const auto label = [] {
        std::vector<PropSpec> v;
        addGeometry(v);
        v.push_back({"Alignment", VT::Enum, Id("taLeftJustify"), Rule::NotDefault, kAlignments});
        v.push_back({"AutoSize", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"Caption", VT::String, S(""), Rule::NotDefault, {}});
        v.push_back({"Color", VT::Colour, Id("clBtnFace"), Rule::ParentColor, {}});
        addFont(v);
        v.push_back({"ParentColor", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"ParentFont", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"Transparent", VT::Bool, B(false), Rule::WhenSet, {}});
        v.push_back({"Layout", VT::Enum, Id("tlTop"), Rule::NotDefault, kLayouts});
        v.push_back({"Visible", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"WordWrap", VT::Bool, B(false), Rule::NotDefault, {}});
        return v;
    }();
    static const auto dbtext = [] {
        std::vector<PropSpec> v;
        addGeometry(v);
        v.push_back({"Alignment", VT::Enum, Id("taLeftJustify"), Rule::NotDefault, kAlignments});
        v.push_back({"AutoSize", VT::Bool, B(false), Rule::NotDefault, {}});
        v.push_back({"Color", VT::Colour, Id("clBtnFace"), Rule::ParentColor, {}});
        v.push_back({"DataField", VT::String, S(""), Rule::NotDefault, {}});
        v.push_back({"DataSource", VT::Ref, Id(""), Rule::WhenSet, {}});
        addFont(v);
        v.push_back({"ParentColor", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"ParentFont", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"Transparent", VT::Bool, B(false), Rule::WhenSet, {}});
        v.push_back({"Visible", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"WordWrap", VT::Bool, B(false), Rule::NotDefault, {}});
        return v;
    }();
    static const auto panel = [] {
        std::vector<PropSpec> v;
        addGeometry(v);
        v.push_back({"Alignment", VT::Enum, Id("taCenter"), Rule::NotDefault, kAlignments});
        v.push_back({"BevelInner", VT::Enum, Id("bvNone"), Rule::NotDefault, kBevels});
        v.push_back({"BevelOuter", VT::Enum, Id("bvRaised"), Rule::NotDefault, kBevels});
        v.push_back({"BevelWidth", VT::Int, I(1), Rule::NotDefault, {}});
        v.push_back({"BorderWidth", VT::Int, I(0), Rule::NotDefault, {}});
        v.push_back({"Caption", VT::String, S(""), Rule::NotDefault, {}});
        v.push_back({"Color", VT::Colour, Id("clBtnFace"), Rule::ParentColor, {}});
        addConstraints(v);
        addFont(v);
        v.push_back({"ParentColor", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"ParentFont", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"TabOrder", VT::Int, I(-1), Rule::NotDefault, {}});
        v.push_back({"Visible", VT::Bool, B(true), Rule::NotDefault, {}});
        return v;
    }();
    static const auto dbedit = [] {
        std::vector<PropSpec> v;
        addGeometry(v);
        v.push_back({"AutoSize", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"BorderStyle", VT::Enum, Id("bsSingle"), Rule::NotDefault, kBorderStyles});
        v.push_back({"Color", VT::Colour, Id("clWindow"), Rule::NotDefault, {}});
        v.push_back({"DataField", VT::String, S(""), Rule::NotDefault, {}});
        v.push_back({"DataSource", VT::Ref, Id(""), Rule::WhenSet, {}});
        addFont(v);
        v.push_back({"ParentColor", VT::Bool, B(false), Rule::NotDefault, {}});
        v.push_back({"ParentFont", VT::Bool, B(true), Rule::NotDefault, {}});
        v.push_back({"ReadOnly", VT::Bool, B(false), Rule::NotDefault, {}});
        v.push_back({"TabOrder", VT::Int, I(-1), Rule::NotDefault, {}});
        v.push_back({"Visible", VT::Bool, B(true), Rule::NotDefault, {}});
        return v;
    }();
    switch (c) {
    case ElementClass::Image:
        return image;
    case ElementClass::Label:
        return label;
    case ElementClass::DBText:
        return dbtext;
    case ElementClass::Panel:
        return panel;
    case ElementClass::DBEdit:
        return dbedit;
    }
    return label;
}

const PropSpec* findSpec(ElementClass c, std::string_view path) {
    for (const auto& s : specs(c))
        if (sameName(s.path, path)) return &s;
    return nullptr;
}

const PropSpec& spec(ElementClass c, std::string_view path) {
    const PropSpec* s = findSpec(c, path);
    if (!s) throw SchemeError(std::string(className(c)) + " has no property " + std::string(path));
    return *s;
}

std::string canonicalMember(const std::vector<std::string>& list, const std::string& id) {
    for (const auto& m : list)
        if (sameName(m, id)) return m;
    return {};
}

// The value checked against the property's type and brought to the one spelling the writer uses.
PropValue normalise(const PropSpec& s, PropValue v) {
    using K = PropValue::Kind;
    auto bad = [&]() -> SchemeError { return SchemeError("bad value for " + s.path); };
    switch (s.type) {
    case VT::Int:
        if (v.kind != K::Integer || v.integer < INT32_MIN || v.integer > INT32_MAX) throw bad();
        return v;
    case VT::Bool:
        if (v.kind != K::Ident) throw bad();
        if (sameName(v.text, "True")) return B(true);
        if (sameName(v.text, "False")) return B(false);
        throw bad();
    case VT::Enum: {
        if (v.kind != K::Ident) throw bad();
        std::string m = canonicalMember(s.values, v.text);
        if (m.empty()) throw bad();
        return PropValue::makeIdent(m);
    }
    case VT::Colour: {
        uint32_t c;
        if (v.kind == K::Ident) {
            auto n = colourFromName(v.text);
            if (!n) throw bad();
            c = *n;
        } else if (v.kind == K::Integer && v.integer >= INT32_MIN && v.integer <= 0xFFFFFFFFll) {
            c = uint32_t(v.integer);
        } else {
            throw bad();
        }
        for (const auto& n : colourNames())
            if (n.value == c) return PropValue::makeIdent(n.name);
        return PropValue::makeInt(int32_t(c));
    }
    case VT::Charset: {
        int c;
        if (v.kind == K::Ident) {
            auto n = charsetFromName(v.text);
            if (!n) throw bad();
            c = *n;
        } else if (v.kind == K::Integer && v.integer >= 0 && v.integer <= 255) {
            c = int(v.integer);
        } else {
            throw bad();
        }
        for (const auto& n : charsetNames())
            if (int(n.value) == c) return PropValue::makeIdent(n.name);
        return PropValue::makeInt(c);
    }
    case VT::Set: {
        if (v.kind != K::Set) throw bad();
        std::vector<std::string> out;
        for (const auto& m : s.values) // the members in their declared order, each once
            for (const auto& item : v.items)
                if (sameName(item, m)) {
                    out.push_back(m);
                    break;
                }
        for (const auto& item : v.items)
            if (canonicalMember(s.values, item).empty()) throw bad();
        return PropValue::makeSet(out);
    }
    case VT::String:
        if (v.kind != K::String) throw bad();
        return v;
    case VT::Bytes:
        if (v.kind != K::Bytes) throw bad();
        if (s.path == "Picture.Data") {
            try {
                decodePictureData(v.bytes);
            } catch (const SchemeError& e) {
                throw SchemeError("bad picture: " + std::string(e.what()));
            }
        }
        return v;
    case VT::Ref:
        if (v.kind != K::Ident) throw bad();
        return v;
    }
    throw bad();
}

bool sameValue(const PropSpec& s, const PropValue& a, const PropValue& b) {
    if (s.type == VT::Colour || s.type == VT::Charset) {
        auto num = [&](const PropValue& v) -> int64_t {
            if (v.kind == PropValue::Kind::Integer) return int64_t(uint32_t(v.integer));
            if (s.type == VT::Colour) return colourFromName(v.text).value_or(0);
            return charsetFromName(v.text).value_or(0);
        };
        return num(a) == num(b);
    }
    return a == b;
}

} // namespace

std::vector<std::string> propertyOrder(ElementClass c) {
    std::vector<std::string> out;
    for (const auto& s : specs(c))
        out.push_back(s.path);
    return out;
}

bool classHasProperty(ElementClass c, std::string_view path) {
    return findSpec(c, path) != nullptr;
}

// ---------------------------------------------------------------- elements

const PropValue* Element::find(std::string_view path) const {
    for (const auto& p : props_)
        if (sameName(p.path, path)) return &p.value;
    return nullptr;
}

void Element::set(std::string_view path, PropValue v) {
    const PropSpec& s = spec(cls_, path);
    PropValue n = normalise(s, std::move(v));
    for (auto& p : props_)
        if (sameName(p.path, path)) {
            p.value = std::move(n);
            return;
        }
    props_.push_back({s.path, std::move(n)});
}

void Element::unset(std::string_view path) {
    props_.erase(std::remove_if(props_.begin(), props_.end(),
                                [&](const Property& p) { return sameName(p.path, path); }),
                 props_.end());
}

int64_t Element::intProp(std::string_view path) const {
    const PropValue* v = find(path);
    return v ? v->integer : spec(cls_, path).def.integer;
}

bool Element::boolProp(std::string_view path) const {
    const PropValue* v = find(path);
    return sameName(v ? v->text : spec(cls_, path).def.text, "True");
}

std::string Element::identProp(std::string_view path) const {
    const PropValue* v = find(path);
    return v ? v->text : spec(cls_, path).def.text;
}

std::string Element::stringProp(std::string_view path) const {
    const PropValue* v = find(path);
    return v ? v->text : spec(cls_, path).def.text;
}

uint32_t Element::colourProp(std::string_view path) const {
    const PropValue* v = find(path);
    const PropValue& x = v ? *v : spec(cls_, path).def;
    if (x.kind == PropValue::Kind::Integer) return uint32_t(x.integer);
    return colourFromName(x.text).value_or(clBlack);
}

void Element::setBounds(int left, int top, int width, int height) {
    set("Left", PropValue::makeInt(left));
    set("Top", PropValue::makeInt(top));
    set("Width", PropValue::makeInt(width));
    set("Height", PropValue::makeInt(height));
}

std::string Element::dataSource() const {
    const PropValue* v = find("DataSource");
    return v ? v->text : std::string();
}

Alignment Element::alignment() const {
    if (!classHasProperty(cls_, "Alignment")) return Alignment::Left;
    std::string a = identProp("Alignment");
    if (a == "taCenter") return Alignment::Center;
    if (a == "taRightJustify") return Alignment::Right;
    return Alignment::Left;
}

bool Element::wordWrap() const {
    return classHasProperty(cls_, "WordWrap") && boolProp("WordWrap");
}

Font Element::font() const {
    Font f;
    const PropValue* cs = find("Font.Charset");
    if (cs) f.charset = cs->kind == PropValue::Kind::Integer ? int(cs->integer) : *charsetFromName(cs->text);
    f.color = colourProp("Font.Color");
    f.height = int(intProp("Font.Height"));
    f.name = stringProp("Font.Name");
    f.pitch = identProp("Font.Pitch");
    f.style = 0;
    const PropValue* st = find("Font.Style");
    if (st)
        for (const auto& m : st->items)
            for (size_t i = 0; i < kStyles.size(); ++i)
                if (m == kStyles[i]) f.style |= 1u << i;
    return f;
}

void Element::setFont(const Font& f) {
    set("Font.Charset", PropValue::makeInt(f.charset));
    set("Font.Color", PropValue::makeInt(int32_t(f.color)));
    set("Font.Height", PropValue::makeInt(f.height));
    set("Font.Name", PropValue::makeString(f.name));
    if (f.pitch == "fpDefault")
        unset("Font.Pitch");
    else
        set("Font.Pitch", PropValue::makeIdent(f.pitch));
    std::vector<std::string> st;
    for (size_t i = 0; i < kStyles.size(); ++i)
        if (f.style & (1u << i)) st.push_back(kStyles[i]);
    set("Font.Style", PropValue::makeSet(st));
    set("ParentFont", B(false));
}

Picture Element::picture() const {
    const PropValue* v = find("Picture.Data");
    if (!v) return {};
    return decodePictureData(v->bytes);
}

void Element::setPicture(const Picture& p) {
    if (p.empty())
        unset("Picture.Data");
    else
        set("Picture.Data", PropValue::makeBytes(encodePictureData(p)));
}

ObjectBlock toBlock(const Element& e) {
    ObjectBlock b;
    b.name = e.name();
    b.className = className(e.cls());
    const bool parentColor = classHasProperty(e.cls(), "ParentColor") ? e.boolProp("ParentColor") : true;
    const bool parentFont = classHasProperty(e.cls(), "ParentFont") ? e.boolProp("ParentFont") : true;
    for (const auto& s : specs(e.cls())) {
        const PropValue* v = e.find(s.path);
        bool write = false;
        switch (s.rule) {
        case Rule::Always:
            write = true;
            break;
        case Rule::NotDefault:
            write = v && !sameValue(s, *v, s.def);
            break;
        case Rule::WhenSet:
            write = v != nullptr;
            break;
        case Rule::ParentColor:
            write = !parentColor;
            break;
        case Rule::ParentFont:
            write = !parentFont;
            break;
        case Rule::ParentFontNotDefault:
            write = !parentFont && v && !sameValue(s, *v, s.def);
            break;
        }
        if (write) b.properties.push_back({s.path, v ? *v : s.def});
    }
    for (const auto& c : e.children())
        b.children.push_back(toBlock(c));
    return b;
}

Element fromBlock(const ObjectBlock& b) {
    auto cls = classFromName(b.className);
    if (!cls) throw SchemeError("unknown class " + b.className + " of " + b.name);
    Element e(*cls, b.name);
    for (const auto& p : b.properties) {
        if (!classHasProperty(*cls, p.path))
            throw SchemeError(b.className + " " + b.name + " has no property " + p.path);
        try {
            e.set(p.path, p.value);
        } catch (const SchemeError& err) {
            throw SchemeError(b.name + ": " + err.what());
        }
        // what the component's own setters do when the reader assigns these
        if (sameName(p.path, "Color") && classHasProperty(*cls, "ParentColor"))
            e.set("ParentColor", B(false));
        if (p.path.size() > 5 && sameName(p.path.substr(0, 5), "Font.") &&
            classHasProperty(*cls, "ParentFont"))
            e.set("ParentFont", B(false));
    }
    if (!b.children.empty() && *cls != ElementClass::Panel)
        throw SchemeError(b.className + " " + b.name + " cannot hold other elements");
    for (const auto& c : b.children)
        e.children().push_back(fromBlock(c));
    return e;
}

// ---------------------------------------------------------------- the scheme

Element Scheme::standardArea() {
    Element a(ElementClass::Panel, kAreaName);
    a.setBounds(0, 92, kAreaWidth, kAreaHeight);
    a.set("BevelInner", Id("bvLowered"));
    a.set("Constraints.MaxHeight", I(kAreaHeight));
    a.set("Constraints.MaxWidth", I(kAreaWidth));
    a.set("Constraints.MinHeight", I(kAreaHeight));
    a.set("Constraints.MinWidth", I(kAreaWidth));
    Font f;
    f.height = -24;
    a.setFont(f);
    a.set("TabOrder", I(1));
    return a;
}

namespace {
const Element* findElement(const std::vector<Element>& list, std::string_view name) {
    for (const auto& e : list) {
        if (sameName(e.name(), name)) return &e;
        if (const Element* c = findElement(e.children(), name)) return c;
    }
    return nullptr;
}
} // namespace

const Element* Scheme::element(std::string_view name) const {
    return findElement(elements(), name);
}

std::string Scheme::nextName(std::string_view prefix) const {
    for (int k = 1; k <= 65535; ++k) {
        std::string n = std::string(prefix) + std::to_string(k);
        if (!element(n)) return n;
    }
    return std::string(prefix) + "65536";
}

std::string schemeText(const Scheme& s) {
    return writeObjectText(toBlock(s.area)) + "\r\n";
}

namespace {
bool isAreaGeometry(std::string_view path) {
    return path == "Left" || path == "Top" || path == "Width" || path == "Height" ||
           path.substr(0, 12) == "Constraints.";
}
} // namespace

Scheme parseSchemeText(std::string_view text) {
    ObjectBlock b;
    try {
        b = readObjectText(text);
    } catch (const NotationError& e) {
        throw SchemeError(e.what());
    }
    auto cls = classFromName(b.className);
    if (!cls || *cls != ElementClass::Panel) throw SchemeError("the drawing area must be a TPanel block");
    // The drawing area is the standard one with the file's own properties applied; its geometry is fixed,
    // so a block that holds less (or other sizes) still writes back the standard root block.
    Element stored = fromBlock(b);
    Scheme s;
    for (const Property& p : stored.properties()) {
        if (isAreaGeometry(p.path)) continue;
        s.area.set(p.path, p.value);
    }
    s.area.children() = std::move(stored.children());
    return s;
}

std::string loadErrorMessage(const std::string& path) {
    return kLoadErrorText + path;
}

Scheme loadSchemeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw SchemeLoadError(path, "cannot open the file");
    std::stringstream ss;
    ss << in.rdbuf();
    if (in.bad()) throw SchemeLoadError(path, "cannot read the file");
    try {
        return parseSchemeText(ss.str());
    } catch (const SchemeError& e) {
        throw SchemeLoadError(path, e.what());
    }
}

void saveSchemeFile(const Scheme& s, const std::string& path) {
    const std::string text = schemeText(s);
    // Written beside the target and renamed over it, so that a failed write leaves the old scheme whole.
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw SchemeError("cannot create " + path);
        out.write(text.data(), std::streamsize(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::remove(tmp.c_str());
            throw SchemeError("cannot write " + path);
        }
    }
    std::error_code ec;
    fs::rename(tmp, path, ec);
    if (ec) {
        std::remove(tmp.c_str());
        throw SchemeError("cannot write " + path + ": " + ec.message());
    }
}

// ---------------------------------------------------------------- paths and the scheme list

std::string schemePath(const std::string& programDir, int deviceType, int number) {
    return dbf::codec::joinPath(programDir, "Circuits/" + std::to_string(deviceType) + "/S" +
                                                std::to_string(number) + ".MNS");
}

std::string findPathNoCase(const std::string& dir, const std::string& relative) {
    std::string cur = dir;
    std::stringstream parts(relative);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        std::string exact = dbf::codec::joinPath(cur, part);
        std::error_code ec;
        if (fs::exists(exact, ec)) {
            cur = exact;
            continue;
        }
        std::string found;
        for (fs::directory_iterator it(cur.empty() ? "." : cur, ec), end; !ec && it != end; it.increment(ec))
            if (sameName(it->path().filename().string(), part)) {
                found = it->path().string();
                break;
            }
        if (found.empty()) return {};
        cur = found;
    }
    return cur;
}

std::string findSchemeFile(const std::string& programDir, int deviceType, int number) {
    std::string p = findPathNoCase(programDir, "Circuits/" + std::to_string(deviceType) + "/S" +
                                                   std::to_string(number) + ".MNS");
    std::error_code ec;
    if (p.empty() || !fs::is_regular_file(p, ec)) return {};
    return p;
}

std::string schemeListPath(const std::string& programDir) {
    std::string p = findPathNoCase(programDir, "Circuits/ScmList.lst");
    return p.empty() ? dbf::codec::joinPath(programDir, "Circuits/ScmList.lst") : p;
}

std::string elementLibraryPath(const std::string& programDir) {
    std::string p = findPathNoCase(programDir, "Circuits/Objects.ini");
    return p.empty() ? dbf::codec::joinPath(programDir, "Circuits/Objects.ini") : p;
}

std::string wallpaperPath(const std::string& programDir) {
    std::string p = findPathNoCase(programDir, "wallpaper.jpg");
    return p.empty() ? dbf::codec::joinPath(programDir, "wallpaper.jpg") : p;
}

std::string snapshotPath() {
    const std::string dir = devdata::privateTempDir();
    return dir.empty() ? std::string() : dir + "/res.tmp";
}

int SchemeListLine::number() const {
    if (key.size() < 2) return 0;
    auto v = parseInteger(key.substr(1));
    return v && *v > 0 && *v <= 65535 && key[1] != '$' ? int(*v) : 0;
}

std::vector<SchemeListLine> readSchemeList(const std::string& listPath, int deviceType) {
    devdata::IniFile ini(listPath);
    std::vector<SchemeListLine> out;
    const std::string section = std::to_string(deviceType);
    for (const auto& k : ini.keys(section))
        out.push_back({k, ini.value(section, k).value_or("")});
    return out;
}

void writeSchemeDescription(const std::string& listPath, int deviceType, int number,
                            const std::string& text) {
    devdata::IniFile ini(listPath);
    ini.set(std::to_string(deviceType), "S" + std::to_string(number), text);
    ini.write();
}

std::optional<int> nextFreeSchemeNumber(const std::string& programDir, int deviceType) {
    for (int n = 1; n <= 65535; ++n)
        if (findSchemeFile(programDir, deviceType, n).empty()) return n;
    return std::nullopt;
}

} // namespace schemes
