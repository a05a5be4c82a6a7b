#include "schemes/render.h"

#include "dbf/codec.h"
#include "schemes/metafile.h"

#include <QBuffer>
#include <QFontMetrics>
#include <QImageReader>
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

extern "C" {
#include <jpeglib.h>
}

namespace schemes {

using dbf::codec::sameName;

// ---------------------------------------------------------------- JPEG

namespace {

struct JpegErrors {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

void jpegFail(j_common_ptr c) {
    std::longjmp(reinterpret_cast<JpegErrors*>(c->err)->jump, 1);
}
void jpegQuiet(j_common_ptr) {}

} // namespace

QImage decodeJpeg(const uint8_t* data, size_t size) {
    if (!data || size < 4) return QImage();
    jpeg_decompress_struct cinfo{};
    JpegErrors err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = jpegFail;
    err.pub.output_message = jpegQuiet;
    // Allocated through a pointer so that nothing with a destructor lives between setjmp and longjmp.
    QImage* volatile out = nullptr;
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        delete out;
        return QImage();
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, const_cast<unsigned char*>(data), static_cast<unsigned long>(size));
    jpeg_read_header(&cinfo, TRUE);
    if (cinfo.image_width == 0 || cinfo.image_height == 0 || cinfo.image_width > 10000 ||
        cinfo.image_height > 10000)
        jpegFail(reinterpret_cast<j_common_ptr>(&cinfo));
    const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
    cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const int w = int(cinfo.output_width), h = int(cinfo.output_height);
    if (w <= 0 || h <= 0 || w > 10000 || h > 10000 || cinfo.output_components < 1 ||
        cinfo.output_components > 4)
        jpegFail(reinterpret_cast<j_common_ptr>(&cinfo));
    out = new QImage(w, h, QImage::Format_RGB32);
    // the row buffer belongs to libjpeg's pool, so that an error's jump leaves nothing behind
    JSAMPARRAY rows = (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
                                                 JDIMENSION(w * cinfo.output_components), 1);
    const unsigned char* row = rows[0];
    while (cinfo.output_scanline < cinfo.output_height) {
        unsigned char* rp = rows[0];
        int y = int(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, &rp, 1);
        auto* line = reinterpret_cast<QRgb*>(out->scanLine(y));
        for (int x = 0; x < w; ++x) {
            const unsigned char* px = &row[size_t(x) * size_t(cinfo.output_components)];
            if (cmyk) {
                // Adobe writes CMYK inverted
                int k = px[3];
                line[x] = qRgb(px[0] * k / 255, px[1] * k / 255, px[2] * k / 255);
            } else if (cinfo.output_components == 1) {
                line[x] = qRgb(px[0], px[0], px[0]);
            } else {
                line[x] = qRgb(px[0], px[1], px[2]);
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    QImage result = std::move(*out);
    delete out;
    return result;
}

QImage loadJpegFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return QImage();
    std::stringstream ss;
    ss << in.rdbuf();
    std::string s = ss.str();
    return decodeJpeg(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

std::vector<uint8_t> encodeJpeg(const QImage& image, int quality) {
    if (image.isNull()) return {};
    QImage rgb = image.convertToFormat(QImage::Format_RGB888);
    jpeg_compress_struct cinfo{};
    JpegErrors err{};
    cinfo.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = jpegFail;
    err.pub.output_message = jpegQuiet;
    // libjpeg writes the buffer's address through the pointer it is given (so it lives in memory, not a
    // register, across the jump); the buffer is the caller's to free
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buf);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buf, &size);
    cinfo.image_width = JDIMENSION(rgb.width());
    cinfo.image_height = JDIMENSION(rgb.height());
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, std::clamp(quality, 0, 100), TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rgb.constScanLine(int(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::vector<uint8_t> out(buf, buf + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buf);
    return out;
}

// ---------------------------------------------------------------- pictures

namespace {

// A picture larger than this on either side is taken for a damaged one rather than allocated.
constexpr int kMaxPictureSide = 10000;

QImage decodeWithQt(const char* data, qsizetype size, const char* format) {
    QByteArray bytes = QByteArray::fromRawData(data, size);
    QBuffer buf(&bytes);
    buf.open(QIODevice::ReadOnly);
    QImageReader reader(&buf, format);
    const QSize s = reader.size();
    if (s.isValid() && (s.width() > kMaxPictureSide || s.height() > kMaxPictureSide)) return QImage();
    QImage img = reader.read();
    if (img.width() > kMaxPictureSide || img.height() > kMaxPictureSide) return QImage();
    return img;
}

} // namespace

QImage pictureImage(const Picture& p) {
    QImage img;
    const auto* data = reinterpret_cast<const char*>(p.bytes.data());
    const auto size = qsizetype(p.bytes.size());
    switch (p.kind) {
    case PictureKind::None:
        return QImage();
    case PictureKind::Bitmap:
        if (p.bytes.size() < 26 || p.bytes[0] != 'B' || p.bytes[1] != 'M')
            throw SchemeError("the bitmap is no BMP file");
        img = decodeWithQt(data, size, "BMP");
        if (img.isNull()) throw SchemeError("the bitmap cannot be decoded");
        return img;
    case PictureKind::Jpeg:
        img = decodeJpeg(p.bytes.data(), p.bytes.size());
        if (img.isNull()) throw SchemeError("the JPEG picture cannot be decoded");
        return img;
    case PictureKind::Icon:
        img = decodeWithQt(data, size, "ICO");
        if (img.isNull()) throw SchemeError("the icon cannot be decoded");
        return img;
    case PictureKind::Metafile:
        return renderMetafile(p.bytes);
    }
    return img;
}

QImage withTransparentColour(const QImage& image) {
    if (image.isNull()) return image;
    QImage out = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = out.pixel(0, out.height() - 1) & 0x00FFFFFF;
    for (int y = 0; y < out.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x)
            if ((line[x] & 0x00FFFFFF) == key) line[x] = 0;
    }
    return out;
}

std::vector<uint8_t> encodeBmp(const QImage& image) {
    QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    // A picture of at most 256 colours (every vector element) is stored with a colour table, 8 bits a pixel.
    std::map<QRgb, int> index;
    QList<QRgb> table;
    for (int y = 0; y < rgb.height() && table.size() <= 256; ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width() && table.size() <= 256; ++x)
            if (index.emplace(line[x] | 0xFF000000u, int(table.size())).second)
                table.push_back(line[x] | 0xFF000000u);
    }
    QImage out;
    if (table.size() <= 256) {
        out = QImage(rgb.size(), QImage::Format_Indexed8);
        out.setColorTable(table);
        for (int y = 0; y < rgb.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
            uchar* dst = out.scanLine(y);
            for (int x = 0; x < rgb.width(); ++x)
                dst[x] = uchar(index[line[x] | 0xFF000000u]);
        }
    } else {
        out = rgb.convertToFormat(QImage::Format_RGB888);
    }
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    out.save(&buf, "BMP");
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// ---------------------------------------------------------------- colours and fonts

QColor toQColor(uint32_t c) {
    if (c == clNone) return Qt::transparent;
    if (c == clDefault) return Qt::white;
    if ((c & 0xFF000000u) == 0xFF000000u) {
        static const QRgb system[] = {
            0xC8C8C8, 0x3A6EA5, 0x99B4D1, 0xBFCDDB, 0xF0F0F0, 0xFFFFFF, 0x646464, 0x000000,
            0x000000, 0x000000, 0xB4B4B4, 0xF4F7FC, 0xABABAB, 0x3399FF, 0xFFFFFF, 0xF0F0F0,
            0xA0A0A0, 0x6D6D6D, 0x000000, 0x434E54, 0xFFFFFF, 0x696969, 0xE3E3E3, 0x000000,
            0xFFFFE1, 0xB5B5B5, 0x0066CC, 0xB9D1EA, 0xD7E4F2, 0x3399FF, 0xF0F0F0,
        };
        uint32_t i = c & 0xFF;
        return i < std::size(system) ? QColor(system[i]) : QColor(Qt::black);
    }
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

QFont toQFont(const Font& f) {
    QFont q(QString::fromStdString(f.name));
    q.setStyleHint(QFont::SansSerif);
    // a height from a file is bounded before it is negated or scaled: no font is 2,000 pixels high
    const int h = std::clamp(f.height, -2000, 2000);
    int px = h < 0 ? -h : std::max(1, int(h * 0.85 + 0.5));
    if (px == 0) px = 11;
    q.setPixelSize(px);
    q.setBold(f.style & fsBold);
    q.setItalic(f.style & fsItalic);
    q.setUnderline(f.style & fsUnderline);
    q.setStrikeOut(f.style & fsStrikeOut);
    return q;
}

// ---------------------------------------------------------------- element library

namespace {

std::string trimmed(std::string_view s) {
    size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r'))
        ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r'))
        --b;
    return std::string(s.substr(a, b - a));
}

std::vector<std::string> splitFields(const std::string& v) {
    std::vector<std::string> out;
    std::stringstream ss(v);
    std::string f;
    while (std::getline(ss, f, ','))
        out.push_back(trimmed(f));
    if (!v.empty() && v.back() == ',') out.push_back("");
    return out;
}

std::optional<int> toInt(const std::string& s) {
    if (s.empty()) return std::nullopt;
    try {
        size_t used = 0;
        long v = std::stol(s, &used, 10);
        if (used != s.size() || v < -100000 || v > 100000) return std::nullopt;
        return int(v);
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

ElementLibrary::ElementLibrary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::string raw;
    Section* cur = nullptr;
    while (std::getline(in, raw)) {
        std::string line = trimmed(dbf::codec::fromCp1251(raw));
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            sections_.push_back({trimmed(line.substr(1, line.size() - 2)), {}});
            cur = &sections_.back();
            continue;
        }
        size_t eq = line.find('=');
        if (!cur || eq == std::string::npos) continue;
        cur->keys.push_back({trimmed(line.substr(0, eq)), trimmed(line.substr(eq + 1))});
    }
}

std::vector<std::string> ElementLibrary::sectionNames() const {
    std::vector<std::string> out;
    for (const auto& s : sections_)
        out.push_back(s.name);
    return out;
}

const ElementLibrary::Section* ElementLibrary::section(const std::string& name) const {
    for (const auto& s : sections_)
        if (QString::fromStdString(s.name).compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0)
            return &s;
    return nullptr;
}

std::optional<ElementLibrary::Drawn> ElementLibrary::draw(const std::string& sectionName, int f) const {
    const Section* s = section(sectionName);
    if (!s) return std::nullopt;
    std::optional<std::vector<int>> size;
    for (const auto& k : s->keys)
        if (sameName(k.key, "ObjSize")) {
            auto fields = splitFields(k.value);
            std::vector<int> v;
            for (const auto& x : fields)
                if (auto n = toInt(x)) v.push_back(*n * f);
            if (fields.size() == 6 && v.size() == 6) size = v;
            break;
        }
    if (!size) return std::nullopt;
    Drawn d{QImage(), (*size)[0], (*size)[1], (*size)[2], (*size)[3], (*size)[4], (*size)[5]};
    if (d.width <= 0 || d.height <= 0 || d.width > 4000 || d.height > 4000) return std::nullopt;

    QImage img(d.width, d.height, QImage::Format_RGB32);
    img.fill(Qt::white);
    // the flood fill from (1,1) over the white bitmap: the whole background becomes clFuchsia
    const QColor fuchsia = toQColor(clFuchsia);
    if (d.width > 1 && d.height > 1) img.fill(fuchsia);
    {
        QPainter g(&img);
        g.setRenderHint(QPainter::Antialiasing, false);
        Qt::PenStyle style = Qt::SolidLine;
        for (const auto& k : s->keys) {
            if (sameName(k.key, "ObjSize")) continue;
            auto fl = splitFields(k.value);
            if (fl.size() < 5) continue;
            const std::string& kind = fl[2];
            if (kind == "psSolid")
                style = Qt::SolidLine;
            else if (kind == "psDash")
                style = Qt::DashLine;
            else if (kind == "psDot")
                style = Qt::DotLine;
            else if (kind == "psDashDot")
                style = Qt::DashDotLine;
            else if (kind == "psDashDotDot")
                style = Qt::DashDotDotLine;
            auto penColour = parseColour(fl[1]);
            auto penWidth = toInt(fl[4]);
            if (!penColour || !penWidth) continue;
            std::vector<int> coords;
            bool ok = true;
            for (size_t i = 5; i < fl.size(); ++i) {
                auto n = toInt(fl[i]);
                if (!n) {
                    ok = false;
                    break;
                }
                coords.push_back(*n * f);
            }
            if (!ok) continue;
            QPen pen(toQColor(*penColour), std::max(0, *penWidth), style);
            pen.setJoinStyle(Qt::MiterJoin);
            g.setPen(pen);
            const std::string& shape = fl[0];
            const bool filled = shape == "Окружность" || shape == "Прямоугольник" || shape == "Полигон";
            if (filled) {
                auto fill = parseColour(fl[3]);
                if (!fill) continue;
                g.setBrush(toQColor(*fill));
            } else {
                g.setBrush(Qt::NoBrush);
            }
            if (shape == "Окружность" || shape == "Прямоугольник") {
                if (coords.size() < 4) continue;
                QRect r(QPoint(std::min(coords[0], coords[2]), std::min(coords[1], coords[3])),
                        QPoint(std::max(coords[0], coords[2]) - 1, std::max(coords[1], coords[3]) - 1));
                if (shape == "Окружность")
                    g.drawEllipse(r);
                else
                    g.drawRect(r);
            } else if (shape == "Линия" || shape == "Полигон") {
                QPolygon poly;
                for (size_t i = 0; i + 1 < coords.size(); i += 2)
                    poly << QPoint(coords[i], coords[i + 1]);
                if (shape == "Линия") {
                    if (poly.size() >= 2) g.drawPolyline(poly);
                } else if (!poly.isEmpty()) {
                    g.drawPolygon(poly);
                }
            }
        }
    }
    const QRgb fu = fuchsia.rgb();
    img.setPixel(0, 0, fu);
    img.setPixel(d.width - 1, 0, fu);
    img.setPixel(0, d.height - 1, fu);
    img.setPixel(d.width - 1, d.height - 1, fu);
    d.image = img;
    return d;
}

std::optional<Element> makeVectorElement(const ElementLibrary& lib, const std::string& section, int scale,
                                         QPoint drop, const Scheme& scheme) {
    auto d = lib.draw(section, scale);
    if (!d) return std::nullopt;
    Element e(ElementClass::Image, scheme.nextName("MImage"));
    e.setBounds(drop.x() - d->width / 2, drop.y() - d->height / 2, d->width, d->height);
    if (d->maxHeight) e.set("Constraints.MaxHeight", PropValue::makeInt(d->maxHeight));
    if (d->maxWidth) e.set("Constraints.MaxWidth", PropValue::makeInt(d->maxWidth));
    if (d->minHeight) e.set("Constraints.MinHeight", PropValue::makeInt(d->minHeight));
    if (d->minWidth) e.set("Constraints.MinWidth", PropValue::makeInt(d->minWidth));
    e.setPicture({PictureKind::Bitmap, encodeBmp(d->image)});
    e.set("Stretch", PropValue::makeIdent("True"));
    e.set("Transparent", PropValue::makeIdent("True"));
    return e;
}

// ---------------------------------------------------------------- painting

namespace {

Font ownFontOrDefault(const Element& e) {
    return classHasProperty(e.cls(), "ParentFont") && !e.parentFont() ? e.font() : Font();
}

uint32_t ownColourOrDefault(const Element& e) {
    return classHasProperty(e.cls(), "ParentColor") && !e.parentColor() ? e.color() : clBtnFace;
}

void paintChildren(QPainter& p, const Element& parent, const FieldText& fieldText);

// The value a field label bound to the state source shows (empty without a row or such a field).
QString fieldValue(const Element& e, const FieldText& fieldText) {
    std::optional<std::string> v;
    if (fieldText && sameName(e.dataSource(), kStateSourceName)) v = fieldText(e.dataField());
    return QString::fromStdString(v.value_or(""));
}

void paintText(QPainter& p, const Element& e, const Element& parent, const QString& text, bool mnemonic) {
    QFont font = effectiveFont(e, parent);
    Font own = e.parentFont() ? ownFontOrDefault(parent) : e.font();
    QRect box(e.left(), e.top(), e.width(), e.height());
    int flags = 0;
    switch (e.alignment()) {
    case Alignment::Left:
        flags |= Qt::AlignLeft;
        break;
    case Alignment::Center:
        flags |= Qt::AlignHCenter;
        break;
    case Alignment::Right:
        flags |= Qt::AlignRight;
        break;
    }
    std::string layout = classHasProperty(e.cls(), "Layout") ? e.identProp("Layout") : "tlTop";
    flags |= layout == "tlCenter" ? Qt::AlignVCenter : layout == "tlBottom" ? Qt::AlignBottom : Qt::AlignTop;
    if (e.wordWrap()) flags |= Qt::TextWordWrap;
    if (mnemonic) flags |= Qt::TextShowMnemonic;
    // the box of an auto-sized label is its text's extent from its own Left and Top
    if (e.autoSize()) box.setSize(labelExtent(e, parent, text));
    const bool transparent = e.transparent();
    if (!transparent) {
        uint32_t c = e.parentColor() ? ownColourOrDefault(parent) : e.color();
        p.fillRect(box, toQColor(c));
    }
    p.save();
    p.setClipRect(box);
    p.setFont(font);
    p.setPen(toQColor(own.color));
    p.drawText(box, flags, text);
    p.restore();
}

QImage cachedImage(const Element& e) {
    // The pictures of one scheme are few; decoded images are kept by a hash of the bytes they came from.
    static std::map<std::tuple<size_t, size_t, bool>, QImage> cache;
    const PropValue* v = e.find("Picture.Data");
    if (!v) return QImage();
    const std::string_view bytes(reinterpret_cast<const char*>(v->bytes.data()), v->bytes.size());
    const auto key = std::make_tuple(std::hash<std::string_view>{}(bytes), bytes.size(), e.transparent());
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    if (cache.size() > 256) cache.clear();
    QImage img;
    try {
        Picture pic = e.picture();
        img = pictureImage(pic);
        if (e.transparent() && pic.kind == PictureKind::Bitmap) img = withTransparentColour(img);
    } catch (const SchemeError&) {
        img = QImage();
    }
    cache[key] = img;
    return img;
}

void paintImage(QPainter& p, const Element& e) {
    QImage img = cachedImage(e);
    if (img.isNull()) return;
    QRect box(e.left(), e.top(), e.width(), e.height());
    p.save();
    p.setClipRect(box);
    if (e.stretch()) {
        QRect target = box;
        if (e.boolProp("Proportional")) {
            QSize s = img.size().scaled(box.size(), Qt::KeepAspectRatio);
            target = QRect(box.topLeft(), s);
            if (e.boolProp("Center")) target.moveCenter(box.center());
        }
        p.drawImage(target, img);
    } else {
        QRect target(box.topLeft(), img.size());
        if (e.boolProp("Center")) target.moveCenter(box.center());
        p.drawImage(target, img);
    }
    p.restore();
}

void drawBevel(QPainter& p, QRect r, const std::string& kind, int width) {
    if (kind == "bvNone") return;
    QColor light = toQColor(0xFF000014), dark = toQColor(0xFF000010);
    if (kind == "bvLowered") std::swap(light, dark);
    for (int i = 0; i < width; ++i) {
        p.setPen(light);
        p.drawLine(r.left(), r.top(), r.right(), r.top());
        p.drawLine(r.left(), r.top(), r.left(), r.bottom());
        p.setPen(dark);
        p.drawLine(r.left(), r.bottom(), r.right(), r.bottom());
        p.drawLine(r.right(), r.top(), r.right(), r.bottom());
        r.adjust(1, 1, -1, -1);
    }
}

void paintElement(QPainter& p, const Element& e, const Element& parent, const FieldText& fieldText) {
    if (!e.visible()) return;
    switch (e.cls()) {
    case ElementClass::Image:
        paintImage(p, e);
        break;
    case ElementClass::Label:
        paintText(p, e, parent, captionText(e.caption()), true);
        break;
    case ElementClass::DBText:
        paintText(p, e, parent, shownFieldText(e, parent, fieldValue(e, fieldText)).text, false);
        break;
    case ElementClass::DBEdit: {
        QRect box(e.left(), e.top(), e.width(), e.height());
        p.fillRect(box, toQColor(e.color()));
        drawBevel(p, box, "bvLowered", e.identProp("BorderStyle") == "bsSingle" ? 2 : 0);
        std::optional<std::string> v;
        if (fieldText && sameName(e.dataSource(), kStateSourceName)) v = fieldText(e.dataField());
        p.save();
        p.setClipRect(box.adjusted(3, 2, -3, -2));
        p.setFont(effectiveFont(e, parent));
        p.setPen(toQColor((e.parentFont() ? ownFontOrDefault(parent) : e.font()).color));
        p.drawText(box.adjusted(3, 2, -3, -2), Qt::AlignLeft | Qt::AlignVCenter,
                   QString::fromStdString(v.value_or("")));
        p.restore();
        break;
    }
    case ElementClass::Panel: {
        QRect box(e.left(), e.top(), e.width(), e.height());
        uint32_t c = e.parentColor() ? ownColourOrDefault(parent) : e.color();
        p.fillRect(box, toQColor(c));
        int bw = int(e.intProp("BevelWidth"));
        drawBevel(p, box, e.identProp("BevelOuter"), bw);
        drawBevel(p, box.adjusted(bw, bw, -bw, -bw), e.identProp("BevelInner"), bw);
        if (!e.caption().empty()) {
            p.setFont(effectiveFont(e, parent));
            p.setPen(toQColor((e.parentFont() ? ownFontOrDefault(parent) : e.font()).color));
            p.drawText(box, Qt::AlignCenter, QString::fromStdString(e.caption()));
        }
        p.save();
        p.translate(e.left(), e.top());
        p.setClipRect(QRect(0, 0, e.width(), e.height()));
        paintChildren(p, e, fieldText);
        p.restore();
        break;
    }
    }
}

void paintChildren(QPainter& p, const Element& parent, const FieldText& fieldText) {
    for (const auto& e : parent.children())
        paintElement(p, e, parent, fieldText);
}

} // namespace

QFont effectiveFont(const Element& e, const Element& parent) {
    if (classHasProperty(e.cls(), "ParentFont") && !e.parentFont()) return toQFont(e.font());
    return toQFont(ownFontOrDefault(parent));
}

void paintElements(QPainter& p, const Element& area, const FieldText& fieldText) {
    paintChildren(p, area, fieldText);
}

// ---------------------------------------------------------------- label boxes

QString captionText(const std::string& caption) {
    QString t = QString::fromStdString(caption);
    t.replace("\r\n", "\n");
    t.replace('\r', '\n');
    return t;
}

QSize labelExtent(const Element& e, const Element& parent, const QString& text) {
    QFontMetrics fm(effectiveFont(e, parent));
    int flags = Qt::AlignLeft | Qt::AlignTop;
    if (e.cls() == ElementClass::Label) flags |= Qt::TextShowMnemonic;
    if (e.wordWrap()) {
        const int w = std::max(1, e.width());
        QRect r = fm.boundingRect(QRect(0, 0, w, 100000), flags | Qt::TextWordWrap, text);
        return QSize(std::max(w, r.width()), std::max(r.height(), fm.height()));
    }
    QRect r = fm.boundingRect(QRect(0, 0, 100000, 100000), flags, text);
    return QSize(r.width(), std::max(r.height(), fm.height()));
}

bool fitAutoSize(Element& e, const Element& parent) {
    if (e.cls() != ElementClass::Label || !e.autoSize()) return false;
    const QSize s = labelExtent(e, parent, captionText(e.caption()));
    if (s.width() == e.width() && s.height() == e.height()) return false;
    e.setBounds(e.left(), e.top(), s.width(), s.height());
    return true;
}

bool fitAutoSizedLabels(Element& area) {
    bool changed = false;
    for (auto& e : area.children()) {
        changed |= fitAutoSize(e, area);
        if (e.cls() == ElementClass::Panel) changed |= fitAutoSizedLabels(e);
    }
    return changed;
}

ShownField shownFieldText(const Element& e, const Element& parent, const QString& value) {
    // an auto-sized label grows with its text (in its set width when it wraps words)
    if (e.autoSize() && !e.wordWrap()) return {value, {}};
    const QFontMetrics fm(effectiveFont(e, parent));
    const int room = std::max(0, e.width());
    // a value has no blanks to break at: a line wider than the box would lose characters
    bool fits = true;
    for (const QString& line : value.split('\n'))
        fits = fits && fm.horizontalAdvance(line) <= room;
    if (fits) return {value, {}};
    QString cut = fm.elidedText(value, Qt::ElideRight, room);
    // at the least the mark that something is missing
    if (!cut.endsWith(QChar(0x2026))) cut = QString(QChar(0x2026));
    return {cut, value};
}

namespace {

struct Found {
    const Element* element = nullptr;
    const Element* parent = nullptr;
    QPoint origin; // the parent's offset in the area
};

void collectFieldLabels(const Element& parent, QPoint origin, std::vector<Found>& out) {
    for (const auto& e : parent.children()) {
        if (!e.visible()) continue;
        if (e.cls() == ElementClass::DBText) out.push_back({&e, &parent, origin});
        if (e.cls() == ElementClass::Panel) collectFieldLabels(e, origin + QPoint(e.left(), e.top()), out);
    }
}

} // namespace

std::optional<ShownField> shownField(const Element& area, const std::string& name,
                                     const FieldText& fieldText) {
    std::vector<Found> all;
    collectFieldLabels(area, QPoint(), all);
    for (const auto& f : all)
        if (sameName(f.element->name(), name))
            return shownFieldText(*f.element, *f.parent, fieldValue(*f.element, fieldText));
    return std::nullopt;
}

QString fieldHintAt(const Element& area, QPoint p, const FieldText& fieldText) {
    std::vector<Found> all;
    collectFieldLabels(area, QPoint(), all);
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        const Element& e = *it->element;
        if (!QRect(it->origin + QPoint(e.left(), e.top()), QSize(e.width(), e.height())).contains(p))
            continue;
        return shownFieldText(e, *it->parent, fieldValue(e, fieldText)).hint;
    }
    return {};
}

} // namespace schemes
