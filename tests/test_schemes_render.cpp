// Pictures of the scheme files (BMP, JPEG through libjpeg, icons, metafiles), the element library's vector
// elements and the painting of labels.
#include "dbf/codec.h"
#include "schemes/render.h"
#include "tests/picture_samples.h"
#include "tmpdir.h"

#include <QBuffer>
#include <QPainter>
#include <array>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>

using namespace schemes;
using mervo::test::Records;
using mervo::test::sampleEmf;
using mervo::test::sampleWmf;

namespace {

QImage testImage(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(200, 30, 40));
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, qRgb(20, 40, 220));
    return img;
}

std::vector<uint8_t> saved(const QImage& img, const char* format) {
    QByteArray bytes;
    QBuffer buf(&bytes);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

bool near(QRgb a, QRgb b, int tol = 12) {
    return std::abs(qRed(a) - qRed(b)) <= tol && std::abs(qGreen(a) - qGreen(b)) <= tol &&
           std::abs(qBlue(a) - qBlue(b)) <= tol;
}

void writeCp1251(const std::string& path, const std::string& utf8) {
    std::ofstream out(path, std::ios::binary);
    out << dbf::codec::toCp1251(utf8);
}

} // namespace

TEST(SchemePictures, JpegThroughLibjpeg) {
    QImage src = testImage(40, 30);
    std::vector<uint8_t> jpeg = encodeJpeg(src, 95);
    ASSERT_GT(jpeg.size(), 100u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    QImage back = pictureImage({PictureKind::Jpeg, jpeg});
    ASSERT_EQ(back.size(), QSize(40, 30));
    EXPECT_TRUE(near(back.pixel(5, 3), qRgb(20, 40, 220)));
    EXPECT_TRUE(near(back.pixel(5, 25), qRgb(200, 30, 40)));
    // a cut-off or foreign stream is refused, not half-decoded into a crash
    std::vector<uint8_t> cut(jpeg.begin(), jpeg.begin() + 20);
    EXPECT_THROW(pictureImage({PictureKind::Jpeg, cut}), SchemeError);
    EXPECT_THROW(pictureImage({PictureKind::Jpeg, std::vector<uint8_t>(100, 0x55)}), SchemeError);
    EXPECT_TRUE(decodeJpeg(nullptr, 0).isNull());
}

TEST(SchemePictures, BitmapsIconsAndTheTransparentColour) {
    QImage src = testImage(16, 10);
    src.setPixel(0, 9, qRgb(255, 0, 255));
    src.setPixel(3, 2, qRgb(255, 0, 255));
    std::vector<uint8_t> bmp = encodeBmp(src);
    ASSERT_EQ(bmp[0], 'B');
    QImage back = pictureImage({PictureKind::Bitmap, bmp});
    ASSERT_EQ(back.size(), QSize(16, 10));
    EXPECT_EQ(back.pixel(5, 2) & 0xFFFFFF, qRgb(20, 40, 220) & 0xFFFFFF);
    QImage t = withTransparentColour(back);
    EXPECT_EQ(qAlpha(t.pixel(0, 9)), 0); // bottom-left colour
    EXPECT_EQ(qAlpha(t.pixel(3, 2)), 0); // the same colour elsewhere
    EXPECT_EQ(qAlpha(t.pixel(5, 2)), 255);
    EXPECT_THROW(pictureImage({PictureKind::Bitmap, std::vector<uint8_t>(60, 1)}), SchemeError);

    QImage ico = pictureImage({PictureKind::Icon, saved(testImage(32, 32), "ICO")});
    ASSERT_EQ(ico.size(), QSize(32, 32));
    EXPECT_TRUE(near(ico.pixel(4, 4), qRgb(20, 40, 220)));
    EXPECT_THROW(pictureImage({PictureKind::Icon, std::vector<uint8_t>(10, 0)}), SchemeError);
}

TEST(SchemePictures, EnhancedMetafilesArePlayed) {
    QImage img = pictureImage({PictureKind::Metafile, sampleEmf()});
    ASSERT_EQ(img.size(), QSize(120, 60));
    EXPECT_TRUE(near(img.pixel(30, 25), qRgb(255, 0, 0)));   // the rectangle's fill
    EXPECT_TRUE(near(img.pixel(10, 25), qRgb(0, 0, 255)));   // its pen
    EXPECT_EQ(qAlpha(img.pixel(90, 30)), 0);                 // inside the unfilled ellipse
    EXPECT_TRUE(near(img.pixel(70, 30), qRgb(0, 0, 255)));   // its outline
    EXPECT_TRUE(near(img.pixel(60, 55), qRgb(0, 0, 255)));   // the line
    EXPECT_EQ(qAlpha(img.pixel(60, 2)), 0);                  // nothing drawn there
    EXPECT_TRUE(near(img.pixel(30, 49), qRgb(255, 255, 0))); // the embedded bitmap
    // a record whose size runs past the end ends the playing, nothing is read beyond the bytes
    std::vector<uint8_t> cut = sampleEmf();
    cut.resize(cut.size() - 30);
    cut[cut.size() - 8] = 0xFF;
    EXPECT_NO_THROW(pictureImage({PictureKind::Metafile, cut}));
    EXPECT_THROW(pictureImage({PictureKind::Metafile, std::vector<uint8_t>(40, 7)}), SchemeError);
}

TEST(SchemePictures, PlaceableWindowsMetafilesArePlayed) {
    QImage img = pictureImage({PictureKind::Metafile, sampleWmf()});
    ASSERT_EQ(img.size(), QSize(96, 48));
    EXPECT_TRUE(near(img.pixel(20, 20), qRgb(0, 255, 0)));
    EXPECT_EQ(qAlpha(img.pixel(80, 40)), 0);
}

namespace {

uint32_t floatBits(float f) {
    uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}

constexpr uint32_t kMinInt = 0x80000000u, kMaxInt = 0x7FFFFFFFu;

// An EMF header: bounds (inclusive pixels), frame (0.01 mm), reference device in pixels and millimetres.
void emfHeader(Records& r, std::array<uint32_t, 4> bounds, std::array<uint32_t, 4> frame, uint32_t pxW,
               uint32_t pxH, uint32_t mmW, uint32_t mmH) {
    r.emf(1, {bounds[0], bounds[1],  bounds[2], bounds[3], frame[0], frame[1], frame[2],
              frame[3],  0x464D4520, 0x10000,   0,         0,        0,        0,
              0,         0,          pxW,       pxH,       mmW,      mmH});
}

} // namespace

// Coordinates, extents, transforms, font heights and save levels at the ends of their ranges, NaN and
// infinities: the picture plays (the sanitizer build checks that no conversion overflows) and the records
// after them still draw where they should.
TEST(SchemePictures, MetafileWithOutOfRangeNumbersPlaysAndGoesOn) {
    const float huge = 3.0e38f, inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Records r;
    emfHeader(r, {0, 0, 119, 59}, {0, 0, 3175, 1587}, 1024, 768, 320, 240);
    r.emf(33, {}); // save the device context
    r.emf(35, {floatBits(nan), floatBits(inf), floatBits(-inf), floatBits(huge), floatBits(-huge),
               floatBits(nan)}); // world transform
    for (int i = 0; i < 4; ++i)  // multiplied up to infinity
        r.emf(36, {floatBits(huge), 0, 0, floatBits(huge), floatBits(huge), floatBits(huge), 2});
    r.emf(9, {1, 1});                    // window extent 1 × 1
    r.emf(11, {kMaxInt, kMaxInt});       // viewport extent at the top of the range
    r.emf(10, {kMinInt, kMinInt});       // window origin at the bottom
    r.emf(12, {kMaxInt, kMinInt});       // viewport origin
    r.emf(38, {3, 0, kMaxInt, 0, 0xFF}); // pen 3 as wide as the range allows
    r.emf(37, {3});
    r.emf(82, {4, kMinInt, 0, 0, 0, 700}); // font 4 of the lowest height
    r.emf(37, {4});
    r.emf(43, {kMinInt, kMinInt, kMaxInt, kMaxInt});
    r.emf(42, {kMaxInt, kMinInt, kMinInt, kMaxInt});
    r.emf(44, {kMinInt, kMinInt, kMaxInt, kMaxInt, kMaxInt, kMaxInt});
    r.emf(3, {0, 0, 0, 0, 3, kMinInt, kMaxInt, kMaxInt, kMinInt, kMinInt, kMinInt}); // polygon
    r.emf(27, {kMinInt, kMaxInt});
    r.emf(54, {kMaxInt, kMinInt});
    r.emf(84, {0, 0, 0, 0, 1,   floatBits(nan), floatBits(inf), kMaxInt, kMinInt, 1, 84, 0, 0, 0, 0,
               0, 0, 0, 0, 0x41});    // text "A" at the ends of the range
    r.emf(34, {kMinInt});             // a restore of the lowest level does nothing
    r.emf(34, {0xFFFFFFFFu});         // back to the saved state: identity, no mapping
    r.emf(39, {1, 0, 0x000000FF, 0}); // a red brush, an ordinary rectangle
    r.emf(37, {1});
    r.emf(37, {0x80000008}); // NULL_PEN
    r.emf(43, {10, 10, 50, 40});
    r.emf(14, {0, 0, 20});
    QImage img;
    ASSERT_NO_THROW(img = pictureImage({PictureKind::Metafile, r.bytes}));
    ASSERT_EQ(img.size(), QSize(120, 60));
    EXPECT_TRUE(near(img.pixel(30, 25), qRgb(255, 0, 0)));
}

// The picture's size from headers at the ends of their ranges: bounded to 4000 pixels a side, never
// wrapped around.
TEST(SchemePictures, MetafileSizeFromOutOfRangeHeaders) {
    struct Case {
        const char* what;
        std::array<uint32_t, 4> bounds, frame;
        uint32_t pxW, mmW;
        QSize size;
    };
    const Case cases[] = {
        {"bounds over the whole range, no frame",
         {kMinInt, kMinInt, kMaxInt, kMaxInt},
         {0, 0, 0, 0},
         1024,
         320,
         QSize(1, 1)},
        {"no bounds, frame over the whole range",
         {0, 0, 0, 0},
         {kMinInt, kMinInt, kMaxInt, kMaxInt},
         1024,
         320,
         QSize(4000, 4000)},
        {"no bounds, a reference device of 2^31 pixels a millimetre",
         {0, 0, 0, 0},
         {0, 0, kMaxInt, kMaxInt},
         kMaxInt,
         1,
         QSize(4000, 4000)},
        {"bounds upside down", {kMaxInt, kMaxInt, kMinInt, kMinInt}, {0, 0, 100, 100}, 96, 1, QSize(97, 97)},
    };
    for (const Case& c : cases) {
        Records r;
        emfHeader(r, c.bounds, c.frame, c.pxW, c.pxW, c.mmW, c.mmW);
        r.emf(43, {0, 0, 10, 10});
        r.emf(14, {0, 0, 20});
        QImage img;
        ASSERT_NO_THROW(img = pictureImage({PictureKind::Metafile, r.bytes})) << c.what;
        EXPECT_EQ(img.size(), c.size) << c.what;
    }
    // a placeable metafile framed over the whole 16-bit range at one unit an inch
    Records w;
    w.u32(0x9AC6CDD7);
    w.u16(0);
    for (uint16_t v : {0x8000, 0x8000, 0x7FFF, 0x7FFF, 1})
        w.u16(v);
    w.u32(0);
    w.u16(0);
    for (uint16_t v : {1, 9, 0x300, 0, 0, 2, 0, 0, 0})
        w.u16(v);
    w.wmf(0x020C, {1, 1});                                // a window of one unit
    w.wmf(0x02FA, {0, 0x7FFF, 0, 0xFF, 0});               // a pen as wide as 16 bits allow
    w.wmf(0x02FB, {0x8000, 0, 0, 0, 0x7FFF, 0, 0, 0, 0}); // a font of the lowest height
    w.wmf(0x041B, {0x7FFF, 0x7FFF, 0x8000, 0x8000});
    w.wmf(0, {});
    QImage img;
    ASSERT_NO_THROW(img = pictureImage({PictureKind::Metafile, w.bytes}));
    EXPECT_EQ(img.size(), QSize(4000, 4000));
}

TEST(ElementLibraryDrawing, ShapesOnFuchsiaAtScale) {
    mervo::test::TempDir dir;
    const std::string path = dir.file("Objects.ini");
    writeCp1251(path, "[Насос]\r\n"
                      "ObjSize=20,10,40,10,20,5\r\n"
                      "a=Прямоугольник,clBlack,psSolid,clRed,1,2,2,8,8\r\n"
                      "b=Окружность,clBlue,,$0000FF00,1,10,0,20,10\r\n"
                      "c=Линия,clBlack,psDash,clWhite,1,0,9,19,9\r\n"
                      "d=Линия,clBlack,,clWhite,1,1,1\r\n"
                      "e=Звезда,clBlack,psSolid,clWhite,1,0,0,5,5\r\n"
                      "\r\n[Пустой]\r\nfoo=1\r\n");
    ElementLibrary lib(path);
    ASSERT_EQ(lib.sectionNames(), (std::vector<std::string>{"Насос", "Пустой"}));
    auto d = lib.draw("Насос", 2);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->width, 40);
    EXPECT_EQ(d->height, 20);
    EXPECT_EQ(d->maxWidth, 80);
    EXPECT_EQ(d->minWidth, 20);
    EXPECT_EQ(d->maxHeight, 40);
    EXPECT_EQ(d->minHeight, 10);
    const QImage& img = d->image;
    ASSERT_EQ(img.size(), QSize(40, 20));
    const QRgb fuchsia = qRgb(255, 0, 255);
    for (QPoint c : {QPoint(0, 0), QPoint(39, 0), QPoint(0, 19), QPoint(39, 19)})
        EXPECT_EQ(img.pixel(c) & 0xFFFFFF, fuchsia & 0xFFFFFF);
    EXPECT_EQ(img.pixel(8, 8) & 0xFFFFFF, qRgb(255, 0, 0) & 0xFFFFFF);   // rectangle fill (4,4)-(16,16)
    EXPECT_EQ(img.pixel(4, 10) & 0xFFFFFF, qRgb(0, 0, 0) & 0xFFFFFF);    // its black border
    EXPECT_EQ(img.pixel(30, 10) & 0xFFFFFF, qRgb(0, 255, 0) & 0xFFFFFF); // ellipse fill, colour in "$" hex
    EXPECT_EQ(img.pixel(2, 16) & 0xFFFFFF, fuchsia & 0xFFFFFF);          // nothing drawn there
    // the one-point line draws nothing; the unknown kind neither
    EXPECT_EQ(img.pixel(2, 2) & 0xFFFFFF, fuchsia & 0xFFFFFF);
    int dash = 0; // the dashed line at y 9 × 2: some pixels black, not all
    for (int x = 0; x < 20; ++x)
        dash += (img.pixel(x, 18) & 0xFFFFFF) == 0;
    EXPECT_GT(dash, 5);
    EXPECT_LT(dash, 19);
    // a section without ObjSize, or a missing one, gives nothing
    EXPECT_FALSE(lib.draw("Пустой", 2));
    EXPECT_FALSE(lib.draw("Кран", 2));
    EXPECT_TRUE(ElementLibrary(dir.file("none.ini")).empty());
}

TEST(ElementLibraryDrawing, VectorElementIsACentredTransparentPicture) {
    mervo::test::TempDir dir;
    const std::string path = dir.file("Objects.ini");
    writeCp1251(path, "[Труба]\r\nObjSize=31,6,0,0,0,0\r\nl=Линия,clNavy,psSolid,clWhite,2,0,3,31,3\r\n");
    ElementLibrary lib(path);
    Scheme s;
    s.elements().emplace_back(ElementClass::Image, "MImage1");
    auto e = makeVectorElement(lib, "Труба", 3, QPoint(100, 50), s);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "MImage2");
    EXPECT_EQ(e->left(), 100 - 93 / 2);
    EXPECT_EQ(e->top(), 50 - 9);
    EXPECT_EQ(e->width(), 93);
    EXPECT_EQ(e->height(), 18);
    EXPECT_TRUE(e->stretch());
    EXPECT_TRUE(e->transparent());
    EXPECT_EQ(e->picture().kind, PictureKind::Bitmap);
    QImage img = withTransparentColour(pictureImage(e->picture()));
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0);
    EXPECT_EQ(img.pixel(40, 9) & 0xFFFFFF, qRgb(0, 0, 128) & 0xFFFFFF);
    // and it survives a save and a load
    s.elements().push_back(*e);
    Scheme back = parseSchemeText(schemeText(s));
    EXPECT_EQ(back.elements()[1].picture().bytes, e->picture().bytes);
}

TEST(SchemePainting, FieldLabelsShowTheRowAndLabelsTheirText) {
    Scheme s;
    Element d(ElementClass::DBText, "DBText1");
    d.setBounds(10, 10, 200, 40);
    d.set("DataField", PropValue::makeString("TemperF1"));
    d.set("DataSource", PropValue::makeIdent(kStateSourceName));
    Font f;
    f.height = -30;
    f.color = clRed;
    d.setFont(f);
    d.set("Transparent", PropValue::makeIdent("True"));
    s.elements().push_back(d);
    Element other = d;
    other.setName("DBText2");
    other.setBounds(10, 60, 200, 40);
    other.set("DataSource", PropValue::makeIdent("Form1.DataSource1")); // not the state source: no value
    s.elements().push_back(other);

    QImage canvas(300, 120, QImage::Format_RGB32);
    auto redPixels = [&](QRect r) {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) {
                QRgb p = canvas.pixel(x, y);
                if (qRed(p) > 150 && qGreen(p) < 100) ++n;
            }
        return n;
    };
    std::vector<std::string> asked;
    canvas.fill(Qt::white);
    {
        QPainter p(&canvas);
        paintElements(p, s.area, [&](const std::string& field) -> std::optional<std::string> {
            asked.push_back(field);
            return "70,5";
        });
    }
    EXPECT_EQ(asked, std::vector<std::string>{"TemperF1"});
    EXPECT_GT(redPixels(QRect(10, 10, 200, 40)), 20);
    EXPECT_EQ(redPixels(QRect(10, 60, 200, 40)), 0);
    canvas.fill(Qt::white);
    {
        QPainter p(&canvas);
        paintElements(p, s.area,
                      [](const std::string&) -> std::optional<std::string> { return std::nullopt; });
    }
    EXPECT_EQ(redPixels(QRect(0, 0, 300, 120)), 0);
}

// Damaged pictures: an image or a SchemeError, never a crash or a read outside the bytes.
TEST(SchemePictures, DamagedPicturesAreDecodedOrRefused) {
    uint32_t seed = 777;
    auto rnd = [&] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) & 0xFFFFFF;
    };
    const std::vector<Picture> originals = {
        {PictureKind::Metafile, sampleEmf()},
        {PictureKind::Jpeg, encodeJpeg(testImage(24, 16), 80)},
        {PictureKind::Bitmap, encodeBmp(testImage(9, 7))},
    };
    for (const auto& original : originals)
        for (int i = 0; i < 400; ++i) {
            Picture p = original;
            for (int k = 0; k < 1 + int(rnd() % 6); ++k)
                p.bytes[rnd() % p.bytes.size()] = uint8_t(rnd());
            if (rnd() % 4 == 0) p.bytes.resize(rnd() % p.bytes.size() + 1);
            try {
                QImage img = pictureImage(p);
                EXPECT_LE(img.width(), 10000);
                EXPECT_LE(img.height(), 10000);
            } catch (const SchemeError&) {
            }
        }
}
