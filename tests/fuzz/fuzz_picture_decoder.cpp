// libFuzzer target of the picture decoding that every scheme load runs: the bytes are the value of a picture
// element's "Picture.Data" (length byte, kind name, the picture: BMP, JPEG, icon, EMF or placeable WMF).
// Either the block or the picture is refused with SchemeError, or it decodes to an image within the
// decoders' size limit that the transparent-colour step takes as it is.
#include "schemes/render.h"
#include "schemes/scheme.h"

#include <QGuiApplication>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    // metafile text needs the font database, which needs an application object
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler(quiet);
    static QGuiApplication* app = new QGuiApplication(*argc, *argv);
    (void)app;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        const schemes::Picture p = schemes::decodePictureData(std::vector<uint8_t>(data, data + size));
        const QImage img = schemes::pictureImage(p);
        if (img.isNull() || img.width() > 10000 || img.height() > 10000) __builtin_trap();
        const QImage keyed = schemes::withTransparentColour(img);
        if (keyed.size() != img.size()) __builtin_trap();
    } catch (const schemes::SchemeError&) {
    }
    return 0;
}
