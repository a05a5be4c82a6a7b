// Pictures of the scheme files (BMP, JPEG through libjpeg, icons, metafiles), the element library's vector
// elements and the painting of labels.
#include "dbf/codec.h"
#include "schemes/render.h"
#include "tmpdir.h"

#include <QBuffer>
#include <QPainter>
#include <fstream>
#include <gtest/gtest.h>

using namespace schemes;

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

TEST(SchemePictures, MetafilesBecomeAFrameOfTheirSize) {
    std::vector<uint8_t> emf(108, 0);
    auto put = [&](size_t at, uint32_t v) { dbf::codec::putLe32(&emf[at], v); };
    put(0, 1);
    put(4, 108);
    put(8, 0);
    put(12, 0);
    put(16, 119); // bounds 0..119 × 0..59
    put(20, 59);
    put(40, 0x464D4520);
    QImage img = pictureImage({PictureKind::Metafile, emf});
    EXPECT_EQ(img.size(), QSize(120, 60));
    EXPECT_EQ(qAlpha(img.pixel(60, 10)), 0);  // see-through inside
    int frame = 0;
    for (int x = 0; x < 120; ++x)
        frame += qAlpha(img.pixel(x, 0)) > 0;
    EXPECT_GT(frame, 40); // the dashed frame
    std::vector<uint8_t> wmf(40, 0);
    dbf::codec::putLe32(&wmf[0], 0x9AC6CDD7u);
    dbf::codec::putLe16(&wmf[10], 1440); // one inch wide
    dbf::codec::putLe16(&wmf[12], 720);
    dbf::codec::putLe16(&wmf[14], 1440);
    EXPECT_EQ(pictureImage({PictureKind::Metafile, wmf}).size(), QSize(96, 48));
    EXPECT_THROW(pictureImage({PictureKind::Metafile, std::vector<uint8_t>(40, 7)}), SchemeError);
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
        paintElements(p, s.area, [](const std::string&) -> std::optional<std::string> { return std::nullopt; });
    }
    EXPECT_EQ(redPixels(QRect(0, 0, 300, 120)), 0);
}
