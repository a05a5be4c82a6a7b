#include "schemes/metafile.h"

#include "dbf/codec.h"
#include "schemes/render.h"
#include "schemes/scheme.h"

#include <QPainter>
#include <QPainterPath>
#include <QTransform>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>

namespace schemes {

namespace {

constexpr int kMaxSide = 4000;

// Every coordinate, extent and transform factor that comes from the file is bounded before it reaches
// integer arithmetic or the painter: far beyond anything a picture of at most kMaxSide pixels uses, small
// enough that no product of two of them overflows, and never NaN or infinite.
constexpr double kMaxCoord = 1 << 24;
constexpr double kMaxFactor = 1 << 12;

double bounded(double v, double limit = kMaxCoord) {
    return std::isfinite(v) ? std::clamp(v, -limit, limit) : 0.0;
}
int boundedInt(double v) {
    return int(bounded(v));
}
QPointF bounded(QPointF p) {
    return QPointF(bounded(p.x()), bounded(p.y()));
}
// The affine transform with its factors and offsets within the bounds.
QTransform bounded(const QTransform& t) {
    return QTransform(bounded(t.m11(), kMaxFactor), bounded(t.m12(), kMaxFactor),
                      bounded(t.m21(), kMaxFactor), bounded(t.m22(), kMaxFactor), bounded(t.dx()),
                      bounded(t.dy()));
}

// A bounds-checked little-endian reader over one record.
class Bytes {
public:
    Bytes(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    size_t size() const { return n_; }
    bool has(size_t at, size_t len) const { return at <= n_ && len <= n_ - at; }
    uint32_t u32(size_t at) const {
        if (!has(at, 4)) return 0;
        return uint32_t(p_[at]) | (uint32_t(p_[at + 1]) << 8) | (uint32_t(p_[at + 2]) << 16) |
               (uint32_t(p_[at + 3]) << 24);
    }
    int32_t i32(size_t at) const { return int32_t(u32(at)); }
    uint16_t u16(size_t at) const {
        if (!has(at, 2)) return 0;
        return uint16_t(p_[at] | (p_[at + 1] << 8));
    }
    int16_t i16(size_t at) const { return int16_t(u16(at)); }
    uint8_t u8(size_t at) const { return has(at, 1) ? p_[at] : 0; }
    float f32(size_t at) const {
        uint32_t v = u32(at);
        float f;
        std::memcpy(&f, &v, 4);
        return float(bounded(f, kMaxFactor * kMaxCoord));
    }
    const uint8_t* data() const { return p_; }

private:
    const uint8_t* p_;
    size_t n_;
};

QColor colorRef(uint32_t c) {
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

Qt::PenStyle penStyle(uint32_t style) {
    switch (style & 0x0F) {
    case 1:
        return Qt::DashLine;
    case 2:
        return Qt::DotLine;
    case 3:
        return Qt::DashDotLine;
    case 4:
        return Qt::DashDotDotLine;
    case 5:
        return Qt::NoPen;
    default:
        return Qt::SolidLine;
    }
}

struct GdiObject {
    enum Kind { Pen, Brush, Font } kind = Pen;
    QPen pen;
    QBrush brush;
    QFont font;
};

struct DcState {
    QPen pen = QPen(Qt::black, 0);
    QBrush brush = QBrush(Qt::white);
    QFont font;
    QColor textColor = Qt::black;
    QColor bkColor = Qt::white;
    bool opaqueBk = true;
    Qt::FillRule fill = Qt::OddEvenFill;
    uint32_t textAlign = 0;
    QPointF pos;
    QTransform world;
    QPointF winOrg, vpOrg;
    QSizeF winExt, vpExt;
    bool winExtSet = false, vpExtSet = false;
};

// The common part of both players: the device context and the drawing through the mapping.
class Player {
public:
    Player(QPainter& p, QTransform base) : p_(p), base_(base) {}

    DcState dc;
    std::vector<DcState> saved;
    std::map<uint32_t, GdiObject> objects;
    std::optional<QPainterPath> path;

    QTransform mapping() const {
        QTransform m = dc.world;
        double sx = 1, sy = 1;
        if (dc.winExtSet && dc.vpExtSet && dc.winExt.width() != 0 && dc.winExt.height() != 0) {
            sx = bounded(dc.vpExt.width() / dc.winExt.width(), kMaxFactor);
            sy = bounded(dc.vpExt.height() / dc.winExt.height(), kMaxFactor);
        }
        QTransform vp(sx, 0, 0, sy, bounded(dc.vpOrg.x() - dc.winOrg.x() * sx),
                      bounded(dc.vpOrg.y() - dc.winOrg.y() * sy));
        return bounded(bounded(m) * vp * base_);
    }
    void prepare() {
        p_.setTransform(mapping());
        QPen pen = dc.pen;
        p_.setPen(pen);
        p_.setBrush(dc.brush);
    }
    void select(uint32_t ih) {
        if (ih & 0x80000000u) { // stock objects
            switch (ih & 0xFF) {
            case 0:
                dc.brush = QBrush(Qt::white);
                break;
            case 1:
                dc.brush = QBrush(QColor(192, 192, 192));
                break;
            case 2:
                dc.brush = QBrush(QColor(128, 128, 128));
                break;
            case 3:
                dc.brush = QBrush(QColor(64, 64, 64));
                break;
            case 4:
                dc.brush = QBrush(Qt::black);
                break;
            case 5:
                dc.brush = Qt::NoBrush;
                break;
            case 6:
                dc.pen = QPen(Qt::white, 0);
                break;
            case 7:
                dc.pen = QPen(Qt::black, 0);
                break;
            case 8:
                dc.pen = Qt::NoPen;
                break;
            default:
                break;
            }
            return;
        }
        auto it = objects.find(ih);
        if (it == objects.end()) return;
        switch (it->second.kind) {
        case GdiObject::Pen:
            dc.pen = it->second.pen;
            break;
        case GdiObject::Brush:
            dc.brush = it->second.brush;
            break;
        case GdiObject::Font:
            dc.font = it->second.font;
            break;
        }
    }
    void save() {
        if (saved.size() < 256) saved.push_back(dc);
    }
    void restore(int32_t rel) {
        const int64_t n = rel < 0 ? -int64_t(rel) : int64_t(saved.size()) - rel + 1;
        if (n <= 0 || uint64_t(n) > saved.size()) return;
        dc = saved[saved.size() - size_t(n)];
        saved.resize(saved.size() - size_t(n));
    }

    void moveTo(QPointF pt) {
        dc.pos = pt;
        if (path) path->moveTo(pt);
    }
    void lineTo(QPointF pt) {
        if (path) {
            path->lineTo(pt);
        } else {
            prepare();
            p_.drawLine(dc.pos, pt);
        }
        dc.pos = pt;
    }
    void polyline(const QPolygonF& pts, bool closed, bool fromCurrent) {
        if (pts.isEmpty()) return;
        QPolygonF all = pts;
        if (fromCurrent) all.prepend(dc.pos);
        if (path) {
            path->moveTo(all.first());
            for (int i = 1; i < all.size(); ++i)
                path->lineTo(all[i]);
            if (closed) path->closeSubpath();
        } else {
            prepare();
            if (closed) {
                p_.drawPolygon(all, dc.fill);
            } else {
                p_.drawPolyline(all);
            }
        }
        if (fromCurrent) dc.pos = all.last();
    }
    void bezier(const QPolygonF& pts, bool fromCurrent) {
        QPolygonF all = pts;
        if (fromCurrent) all.prepend(dc.pos);
        if (all.size() < 4) return;
        QPainterPath pp(all[0]);
        for (int i = 1; i + 2 < all.size(); i += 3)
            pp.cubicTo(all[i], all[i + 1], all[i + 2]);
        if (path) {
            path->addPath(pp);
        } else {
            prepare();
            p_.setBrush(Qt::NoBrush);
            p_.drawPath(pp);
        }
        if (fromCurrent) dc.pos = all.last();
    }
    void polyPolygon(const std::vector<QPolygonF>& polys, bool closed) {
        if (closed && !path) {
            QPainterPath pp;
            pp.setFillRule(dc.fill);
            for (const auto& poly : polys) {
                pp.addPolygon(poly);
                pp.closeSubpath();
            }
            prepare();
            p_.drawPath(pp);
            return;
        }
        for (const auto& poly : polys)
            polyline(poly, closed, false);
    }
    void rect(QRectF r, int kind, QSizeF corner = {}) {
        r = r.normalized();
        if (path) {
            if (kind == 1)
                path->addEllipse(r);
            else
                path->addRect(r);
            return;
        }
        prepare();
        if (kind == 1)
            p_.drawEllipse(r);
        else if (kind == 2)
            p_.drawRoundedRect(r, corner.width() / 2, corner.height() / 2);
        else
            p_.drawRect(r);
    }
    void drawPath(bool fill, bool stroke) {
        if (!path) return;
        prepare();
        path->setFillRule(dc.fill);
        if (!fill) p_.setBrush(Qt::NoBrush);
        if (!stroke) p_.setPen(Qt::NoPen);
        p_.drawPath(*path);
        path.reset();
    }
    void text(QPointF at, const QString& s) {
        if (s.isEmpty()) return;
        prepare();
        p_.setFont(dc.font);
        QFontMetricsF fm(dc.font);
        const double w = fm.horizontalAdvance(s);
        QPointF o = at;
        // TA_CENTER 6, TA_RIGHT 2; TA_BASELINE 24, TA_BOTTOM 8, top otherwise
        if ((dc.textAlign & 6) == 6)
            o.rx() -= w / 2;
        else if (dc.textAlign & 2)
            o.rx() -= w;
        if ((dc.textAlign & 24) != 24) {
            if (dc.textAlign & 8)
                o.ry() -= fm.descent();
            else
                o.ry() += fm.ascent();
        }
        if (dc.opaqueBk) p_.fillRect(QRectF(o.x(), o.y() - fm.ascent(), w, fm.height()), dc.bkColor);
        p_.setPen(dc.textColor);
        p_.drawText(o, s);
    }
    void image(const QImage& img, QRectF dest) {
        if (img.isNull()) return;
        prepare();
        p_.drawImage(dest.normalized(), img);
    }

private:
    QPainter& p_;
    QTransform base_;
};

// A DIB (BITMAPINFO and bits) as an image: a BMP file is put around it for the decoder.
QImage dibImage(const uint8_t* bmi, size_t bmiSize, const uint8_t* bits, size_t bitsSize) {
    if (bmiSize < 12 || bmiSize > 100000 || bitsSize > 64u * 1024 * 1024) return QImage();
    QByteArray file;
    const uint32_t total = uint32_t(14 + bmiSize + bitsSize);
    const uint32_t offset = uint32_t(14 + bmiSize);
    file.append("BM", 2);
    for (uint32_t v : {total, 0u, offset})
        for (int i = 0; i < 4; ++i)
            file.append(char(v >> (8 * i)));
    file.append(reinterpret_cast<const char*>(bmi), qsizetype(bmiSize));
    file.append(reinterpret_cast<const char*>(bits), qsizetype(bitsSize));
    return QImage::fromData(file, "BMP");
}

QFont logFont(int32_t height, int weight, bool italic, bool underline, bool strike, const QString& face) {
    QFont f(face.isEmpty() ? QString("Arial") : face);
    f.setStyleHint(QFont::SansSerif);
    const int64_t h = height < 0 ? -int64_t(height) : int64_t(height);
    f.setPixelSize(h == 0 ? 12 : int(std::min<int64_t>(h, 2000)));
    f.setBold(weight >= 600);
    f.setItalic(italic);
    f.setUnderline(underline);
    f.setStrikeOut(strike);
    return f;
}

// ---------------------------------------------------------------- EMF

QImage playEmf(const std::vector<uint8_t>& data) {
    Bytes all(data.data(), data.size());
    // the bounds, inclusive, in device pixels (64-bit: the file may put them at the ends of the 32-bit range)
    int64_t left = all.i32(8), top = all.i32(12);
    int64_t w = int64_t(all.i32(16)) - left + 1, h = int64_t(all.i32(20)) - top + 1;
    if (w <= 1 || h <= 1 || w > kMaxSide || h > kMaxSide) {
        // bounds unset: the frame (0.01 mm) through the reference device's pixels per millimetre
        const double mmW = all.i32(80), mmH = all.i32(84);
        const double pxW = all.i32(72), pxH = all.i32(76);
        const double kx = mmW > 0 && pxW > 0 ? pxW / mmW : 96.0 / 25.4;
        const double ky = mmH > 0 && pxH > 0 ? pxH / mmH : 96.0 / 25.4;
        left = boundedInt(all.i32(24) * kx / 100);
        top = boundedInt(all.i32(28) * ky / 100);
        w = int64_t(boundedInt(all.i32(32) * kx / 100)) - left + 1;
        h = int64_t(boundedInt(all.i32(36) * ky / 100)) - top + 1;
    }
    const QSize size(int(std::clamp<int64_t>(w, 1, kMaxSide)), int(std::clamp<int64_t>(h, 1, kMaxSide)));
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    Player pl(p, QTransform::fromTranslate(-double(left), -double(top)));

    size_t pos = 0;
    int guard = 0;
    while (pos + 8 <= data.size() && ++guard < 1000000) {
        const uint32_t type = all.u32(pos);
        const uint32_t nSize = all.u32(pos + 4);
        if (nSize < 8 || nSize > data.size() - pos) break;
        Bytes r(data.data() + pos, nSize);
        pos += nSize;
        auto pt32 = [&](size_t at) { return bounded(QPointF(r.i32(at), r.i32(at + 4))); };
        auto size32 = [&](size_t at) { return QSizeF(bounded(r.i32(at)), bounded(r.i32(at + 4))); };
        auto pt16 = [&](size_t at) { return QPointF(r.i16(at), r.i16(at + 2)); };
        auto points = [&](size_t countAt, bool small) {
            QPolygonF poly;
            uint32_t n = r.u32(countAt);
            const size_t step = small ? 4 : 8;
            if (n > (r.size() - std::min(r.size(), countAt + 4)) / step) return poly;
            for (uint32_t i = 0; i < n; ++i)
                poly << (small ? pt16(countAt + 4 + i * step) : pt32(countAt + 4 + i * step));
            return poly;
        };
        auto polyPoly = [&](bool small) {
            std::vector<QPolygonF> out;
            const uint32_t nPolys = r.u32(24), total = r.u32(28);
            const size_t step = small ? 4 : 8;
            if (nPolys > 100000 || !r.has(32, size_t(nPolys) * 4)) return out;
            size_t at = 32 + size_t(nPolys) * 4;
            if (total > (r.size() - std::min(r.size(), at)) / step) return out;
            for (uint32_t k = 0; k < nPolys; ++k) {
                uint32_t n = r.u32(32 + k * 4);
                QPolygonF poly;
                for (uint32_t i = 0; i < n && r.has(at, step); ++i, at += step)
                    poly << (small ? pt16(at) : pt32(at));
                out.push_back(poly);
            }
            return out;
        };
        switch (type) {
        case 14:
            pos = data.size();
            break; // EOF
        case 9:
            pl.dc.winExt = size32(8);
            pl.dc.winExtSet = true;
            break;
        case 10:
            pl.dc.winOrg = pt32(8);
            break;
        case 11:
            pl.dc.vpExt = size32(8);
            pl.dc.vpExtSet = true;
            break;
        case 12:
            pl.dc.vpOrg = pt32(8);
            break;
        case 18:
            pl.dc.opaqueBk = r.u32(8) == 2;
            break;
        case 19:
            pl.dc.fill = r.u32(8) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case 22:
            pl.dc.textAlign = r.u32(8);
            break;
        case 24:
            pl.dc.textColor = colorRef(r.u32(8));
            break;
        case 25:
            pl.dc.bkColor = colorRef(r.u32(8));
            break;
        case 27:
            pl.moveTo(pt32(8));
            break;
        case 54:
            pl.lineTo(pt32(8));
            break;
        case 33:
            pl.save();
            break;
        case 34:
            pl.restore(r.i32(8));
            break;
        case 35:
        case 36: {
            QTransform x(r.f32(8), r.f32(12), r.f32(16), r.f32(20), r.f32(24), r.f32(28));
            const uint32_t mode = type == 35 ? 4 : r.u32(32);
            if (mode == 1)
                pl.dc.world = QTransform();
            else if (mode == 2)
                pl.dc.world = x * pl.dc.world;
            else if (mode == 3)
                pl.dc.world = pl.dc.world * x;
            else
                pl.dc.world = x;
            break;
        }
        case 37:
            pl.select(r.u32(8));
            break;
        case 40:
            pl.objects.erase(r.u32(8));
            break;
        case 38: { // CREATEPEN
            GdiObject o;
            o.kind = GdiObject::Pen;
            o.pen = QPen(colorRef(r.u32(24)), std::clamp(r.i32(16), 0, 1000), penStyle(r.u32(12)));
            pl.objects[r.u32(8)] = o;
            break;
        }
        case 95: { // EXTCREATEPEN
            GdiObject o;
            o.kind = GdiObject::Pen;
            o.pen = QPen(colorRef(r.u32(40)), int(std::min<uint32_t>(r.u32(32), 1000)), penStyle(r.u32(28)));
            pl.objects[r.u32(8)] = o;
            break;
        }
        case 39: { // CREATEBRUSHINDIRECT
            GdiObject o;
            o.kind = GdiObject::Brush;
            const uint32_t style = r.u32(12);
            o.brush = style == 1
                          ? QBrush(Qt::NoBrush)
                          : QBrush(colorRef(r.u32(16)), style == 2 ? Qt::DiagCrossPattern : Qt::SolidPattern);
            pl.objects[r.u32(8)] = o;
            break;
        }
        case 82: { // EXTCREATEFONTINDIRECTW
            GdiObject o;
            o.kind = GdiObject::Font;
            QString face;
            for (size_t i = 0; i < 32 && r.has(40 + i * 2, 2); ++i) {
                uint16_t c = r.u16(40 + i * 2);
                if (!c) break;
                face += QChar(c);
            }
            o.font = logFont(r.i32(12), r.i32(28), r.u8(32), r.u8(33), r.u8(34), face);
            pl.objects[r.u32(8)] = o;
            break;
        }
        case 42:
            pl.rect(QRectF(pt32(8), pt32(16)), 1);
            break;
        case 43:
            pl.rect(QRectF(pt32(8), pt32(16)), 0);
            break;
        case 44:
            pl.rect(QRectF(pt32(8), pt32(16)), 2, size32(24));
            break;
        case 2:
            pl.bezier(points(24, false), false);
            break;
        case 3:
            pl.polyline(points(24, false), true, false);
            break;
        case 4:
            pl.polyline(points(24, false), false, false);
            break;
        case 5:
            pl.bezier(points(24, false), true);
            break;
        case 6:
            pl.polyline(points(24, false), false, true);
            break;
        case 85:
            pl.bezier(points(24, true), false);
            break;
        case 86:
            pl.polyline(points(24, true), true, false);
            break;
        case 87:
            pl.polyline(points(24, true), false, false);
            break;
        case 88:
            pl.bezier(points(24, true), true);
            break;
        case 89:
            pl.polyline(points(24, true), false, true);
            break;
        case 7:
            pl.polyPolygon(polyPoly(false), false);
            break;
        case 8:
            pl.polyPolygon(polyPoly(false), true);
            break;
        case 90:
            pl.polyPolygon(polyPoly(true), false);
            break;
        case 91:
            pl.polyPolygon(polyPoly(true), true);
            break;
        case 59:
            pl.path = QPainterPath(pl.dc.pos);
            break; // BEGINPATH
        case 61:   // CLOSEFIGURE
            if (pl.path) pl.path->closeSubpath();
            break;
        case 62:
            pl.drawPath(true, false);
            break;
        case 63:
            pl.drawPath(true, true);
            break;
        case 64:
            pl.drawPath(false, true);
            break;
        case 84: { // EXTTEXTOUTW
            const QPointF ref = pt32(36);
            const uint32_t n = r.u32(44), off = r.u32(48);
            if (n > 10000 || !r.has(off, size_t(n) * 2)) break;
            QString s;
            for (uint32_t i = 0; i < n; ++i)
                s += QChar(r.u16(off + i * 2));
            pl.text(ref, s);
            break;
        }
        case 81: { // STRETCHDIBITS
            const uint32_t offBmi = r.u32(48), cbBmi = r.u32(52), offBits = r.u32(56), cbBits = r.u32(60);
            if (!r.has(offBmi, cbBmi) || !r.has(offBits, cbBits)) break;
            QImage dib = dibImage(r.data() + offBmi, cbBmi, r.data() + offBits, cbBits);
            pl.image(dib, QRectF(pt32(24), size32(72)));
            break;
        }
        default:
            break;
        }
    }
    return img;
}

// ---------------------------------------------------------------- placeable WMF

QImage playWmf(const std::vector<uint8_t>& data) {
    Bytes all(data.data(), data.size());
    const int left = all.i16(6), top = all.i16(8), right = all.i16(10), bottom = all.i16(12);
    int inch = all.u16(14);
    if (inch <= 0) inch = 1440;
    const int w = std::clamp(boundedInt(std::round((right - left) * 96.0 / inch)), 1, kMaxSide);
    const int h = std::clamp(boundedInt(std::round((bottom - top) * 96.0 / inch)), 1, kMaxSide);
    if (right <= left || bottom <= top) throw SchemeError("the metafile has an empty frame");
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    // logical units of the frame → pixels; a window set by the metafile takes the frame's place
    Player pl(p, QTransform());
    QRectF frame(left, top, right - left, bottom - top);
    auto baseFor = [&](const DcState& dc) {
        QRectF win = dc.winExtSet ? QRectF(dc.winOrg, dc.winExt) : frame;
        if (win.width() == 0 || win.height() == 0) win = frame;
        const double sx = w / win.width(), sy = h / win.height();
        return QTransform(sx, 0, 0, sy, -win.left() * sx, -win.top() * sy);
    };
    std::vector<int> table; // object slots: index → key in pl.objects, -1 when free
    const size_t headerAt = 22;
    if (all.u16(headerAt + 2) != 9) throw SchemeError("the metafile has no Windows metafile header");
    const uint16_t nObjects = all.u16(headerAt + 10);
    table.assign(std::min<size_t>(nObjects, 4096), -1);
    size_t pos = headerAt + 18;
    int guard = 0;
    while (pos + 6 <= data.size() && ++guard < 1000000) {
        const uint32_t words = all.u32(pos);
        const uint16_t fn = all.u16(pos + 4);
        if (words < 3 || words > (data.size() - pos) / 2) break;
        Bytes r(data.data() + pos, size_t(words) * 2);
        pos += size_t(words) * 2;
        if (fn == 0) break; // EOF
        auto param = [&](size_t i) { return r.i16(6 + i * 2); };
        auto addObject = [&](const GdiObject& o) {
            for (size_t i = 0; i < table.size(); ++i)
                if (table[i] < 0) {
                    table[i] = int(i);
                    pl.objects[uint32_t(i)] = o;
                    return;
                }
        };
        switch (fn) {
        case 0x020B:
            pl.dc.winOrg = QPointF(param(1), param(0));
            break;
        case 0x020C:
            pl.dc.winExt = QSizeF(param(1), param(0));
            pl.dc.winExtSet = true;
            break;
        case 0x0102:
            pl.dc.opaqueBk = param(0) == 2;
            break;
        case 0x0106:
            pl.dc.fill = param(0) == 2 ? Qt::WindingFill : Qt::OddEvenFill;
            break;
        case 0x012E:
            pl.dc.textAlign = uint16_t(param(0));
            break;
        case 0x0209:
            pl.dc.textColor = colorRef(r.u32(6));
            break;
        case 0x0201:
            pl.dc.bkColor = colorRef(r.u32(6));
            break;
        case 0x001E:
            pl.save();
            break;
        case 0x0127:
            pl.restore(param(0));
            break;
        case 0x012D: {
            const uint16_t i = uint16_t(param(0));
            if (i < table.size() && table[i] >= 0) pl.select(i);
            break;
        }
        case 0x01F0: {
            const uint16_t i = uint16_t(param(0));
            if (i < table.size()) {
                table[i] = -1;
                pl.objects.erase(i);
            }
            break;
        }
        case 0x02FA: { // CREATEPENINDIRECT
            GdiObject o;
            o.kind = GdiObject::Pen;
            o.pen =
                QPen(colorRef(r.u32(12)), std::clamp<int>(param(1), 0, 1000), penStyle(uint16_t(param(0))));
            addObject(o);
            break;
        }
        case 0x02FC: { // CREATEBRUSHINDIRECT
            GdiObject o;
            o.kind = GdiObject::Brush;
            const uint16_t style = uint16_t(param(0));
            o.brush = style == 1
                          ? QBrush(Qt::NoBrush)
                          : QBrush(colorRef(r.u32(8)), style == 2 ? Qt::DiagCrossPattern : Qt::SolidPattern);
            addObject(o);
            break;
        }
        case 0x02FB: { // CREATEFONTINDIRECT
            GdiObject o;
            o.kind = GdiObject::Font;
            QString face;
            for (size_t i = 0; i < 32 && r.has(24 + i, 1) && r.u8(24 + i); ++i)
                face += QChar(r.u8(24 + i));
            o.font = logFont(param(0), param(4), r.u8(16), r.u8(17), r.u8(18), face);
            addObject(o);
            break;
        }
        case 0x00F7: // CREATEPALETTE and other objects take a slot too
        case 0x01F9:
        case 0x0142:
            addObject(GdiObject{GdiObject::Brush, QPen(), QBrush(Qt::NoBrush), QFont()});
            break;
        default:
            break;
        }
        // drawing records use the mapping in force
        const QTransform base = baseFor(pl.dc);
        auto mapped = [&](auto f) {
            Player d(p, base);
            d.dc = pl.dc;
            d.dc.winExtSet = d.dc.vpExtSet = false;
            d.dc.winOrg = d.dc.vpOrg = QPointF();
            d.objects.swap(pl.objects);
            d.path.swap(pl.path);
            f(d);
            pl.dc.pos = d.dc.pos;
            pl.dc.pen = d.dc.pen;
            d.objects.swap(pl.objects);
            d.path.swap(pl.path);
        };
        auto poly = [&](size_t countParam) {
            QPolygonF out;
            const int n = param(countParam);
            for (int i = 0; i < n && r.has(6 + (countParam + 1 + size_t(i) * 2 + 1) * 2, 2); ++i)
                out << QPointF(param(countParam + 1 + size_t(i) * 2), param(countParam + 2 + size_t(i) * 2));
            return out;
        };
        switch (fn) {
        case 0x0214:
            mapped([&](Player& d) { d.moveTo(QPointF(param(1), param(0))); });
            break;
        case 0x0213:
            mapped([&](Player& d) { d.lineTo(QPointF(param(1), param(0))); });
            break;
        case 0x041B:
            mapped([&](Player& d) {
                d.rect(QRectF(QPointF(param(3), param(2)), QPointF(param(1), param(0))), 0);
            });
            break;
        case 0x0418:
            mapped([&](Player& d) {
                d.rect(QRectF(QPointF(param(3), param(2)), QPointF(param(1), param(0))), 1);
            });
            break;
        case 0x061C:
            mapped([&](Player& d) {
                d.rect(QRectF(QPointF(param(5), param(4)), QPointF(param(3), param(2))), 2,
                       QSizeF(param(1), param(0)));
            });
            break;
        case 0x0324:
            mapped([&](Player& d) { d.polyline(poly(0), true, false); });
            break;
        case 0x0325:
            mapped([&](Player& d) { d.polyline(poly(0), false, false); });
            break;
        case 0x0538: {
            const int n = param(0);
            std::vector<QPolygonF> polys;
            size_t at = 1 + size_t(std::max(0, n));
            for (int k = 0; k < n && k < 10000; ++k) {
                QPolygonF pg;
                const int cnt = param(1 + size_t(k));
                for (int i = 0; i < cnt && r.has(6 + (at + 1) * 2, 2); ++i, at += 2)
                    pg << QPointF(param(at), param(at + 1));
                polys.push_back(pg);
            }
            mapped([&](Player& d) { d.polyPolygon(polys, true); });
            break;
        }
        case 0x0521: { // TEXTOUT
            const int n = std::max<int>(0, param(0));
            if (!r.has(8, size_t(n))) break;
            QString s = QString::fromStdString(
                dbf::codec::fromCp1251(std::string(reinterpret_cast<const char*>(r.data() + 8), size_t(n))));
            const size_t after = 1 + (size_t(n) + 1) / 2;
            mapped([&](Player& d) { d.text(QPointF(param(after + 1), param(after)), s); });
            break;
        }
        case 0x0A32: { // EXTTEXTOUT
            const int n = std::max<int>(0, param(2));
            const uint16_t opts = uint16_t(param(3));
            const size_t textAt = 6 + 8 + ((opts & 6) ? 8 : 0);
            if (!r.has(textAt, size_t(n))) break;
            QString s = QString::fromStdString(dbf::codec::fromCp1251(
                std::string(reinterpret_cast<const char*>(r.data() + textAt), size_t(n))));
            mapped([&](Player& d) { d.text(QPointF(param(1), param(0)), s); });
            break;
        }
        default:
            break;
        }
    }
    return img;
}

} // namespace

QImage renderMetafile(const std::vector<uint8_t>& bytes) {
    Bytes all(bytes.data(), bytes.size());
    if (bytes.size() >= 88 && all.u32(0) == 1 && all.u32(40) == 0x464D4520u) return playEmf(bytes);
    if (bytes.size() >= 40 && all.u32(0) == 0x9AC6CDD7u) return playWmf(bytes);
    throw SchemeError("the metafile is neither an enhanced nor a placeable Windows metafile");
}

} // namespace schemes
