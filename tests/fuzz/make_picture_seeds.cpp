// Seeds of the picture fuzzer: "Picture.Data" blocks of small pictures of every kind (BMP with a colour table
// and without, JPEG, icon, EMF, placeable WMF) and the picture blocks of the delivered schemes that fit the
// fuzzer's input size.
//   make_picture_seeds SEED_DIR [SCHEME_FILE...]
#include "schemes/render.h"
#include "schemes/scheme.h"
#include "tests/picture_samples.h"

#include <QBuffer>
#include <QGuiApplication>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace schemes;

namespace {

constexpr size_t kMaxSeed = 65536;

QImage sample(int w, int h) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(QColor(255, 0, 255));
    for (int y = 1; y < h - 1; ++y)
        for (int x = y % 3; x < w - 1; x += 2)
            img.setPixel(x, y, qRgb(20 * x % 256, 40 * y % 256, 200));
    return img;
}

std::vector<uint8_t> qtBytes(const QImage& img, const char* format) {
    QByteArray b;
    QBuffer buf(&b);
    buf.open(QIODevice::WriteOnly);
    img.save(&buf, format);
    return std::vector<uint8_t>(b.begin(), b.end());
}

int written = 0;

void seed(const std::string& dir, const std::string& name, const Picture& p) {
    const std::vector<uint8_t> block = encodePictureData(p);
    if (block.size() > kMaxSeed || p.bytes.empty()) return;
    std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size()));
    ++written;
}

void fromElements(const std::string& dir, const std::string& file, const std::vector<Element>& elements,
                  int& k) {
    for (const Element& e : elements) {
        if (e.cls() == ElementClass::Image && e.has("Picture.Data"))
            seed(dir, file + "-" + std::to_string(++k), e.picture());
        fromElements(dir, file, e.children(), k);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_picture_seeds SEED_DIR [SCHEME_FILE...]\n");
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const std::string dir = argv[1];
    seed(dir, "bitmap-table", {PictureKind::Bitmap, encodeBmp(sample(9, 7))});
    seed(dir, "bitmap-24",
         {PictureKind::Bitmap, qtBytes(sample(5, 3).convertToFormat(QImage::Format_RGB888), "BMP")});
    seed(dir, "bitmap-32",
         {PictureKind::Bitmap, qtBytes(sample(4, 4).convertToFormat(QImage::Format_ARGB32), "BMP")});
    seed(dir, "jpeg", {PictureKind::Jpeg, encodeJpeg(sample(16, 8), 75)});
    seed(dir, "icon", {PictureKind::Icon, qtBytes(sample(16, 16), "ICO")});
    seed(dir, "emf", {PictureKind::Metafile, mervo::test::sampleEmf()});
    seed(dir, "wmf", {PictureKind::Metafile, mervo::test::sampleWmf()});
    for (int i = 2; i < argc; ++i) {
        try {
            const Scheme s = loadSchemeFile(argv[i]);
            // the delivered schemes are all S1.MNS: the type folder tells them apart
            const std::filesystem::path file(argv[i]);
            const std::string base = file.parent_path().filename().string() + "-" + file.filename().string();
            int k = 0;
            fromElements(dir, base, s.elements(), k);
        } catch (const SchemeError& e) {
            std::fprintf(stderr, "%s: %s\n", argv[i], e.what());
        }
    }
    std::printf("%d seeds\n", written);
    return 0;
}
