#include "schemes/bitmap_turn.h"

#include <cstring>
#include <string>

namespace schemes {

namespace {

uint32_t rd32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t rd16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
void wr32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

size_t rowBytes(uint64_t width, unsigned bpp) {
    return size_t((width * bpp + 31) / 32 * 4);
}

// The pixel rows of a picture, addressed with rows counted from the top.
struct Pixels {
    uint8_t* data;
    uint32_t width, height;
    unsigned bpp;
    bool topDown;
    size_t row;

    uint8_t* rowAt(uint32_t y) const { return data + size_t(topDown ? y : height - 1 - y) * row; }
};

void movePixel(const Pixels& from, uint32_t x, uint32_t y, const Pixels& to, uint32_t tx, uint32_t ty) {
    const uint8_t* src = from.rowAt(y);
    uint8_t* dst = to.rowAt(ty);
    if (from.bpp >= 8) {
        const unsigned n = from.bpp / 8;
        std::memcpy(dst + size_t(tx) * n, src + size_t(x) * n, n);
        return;
    }
    // the leftmost pixel of a byte is in its most significant bits
    const unsigned bpp = from.bpp, mask = (1u << bpp) - 1;
    const size_t sbit = size_t(x) * bpp, dbit = size_t(tx) * bpp;
    const unsigned sshift = 8 - bpp - unsigned(sbit % 8), dshift = 8 - bpp - unsigned(dbit % 8);
    const unsigned value = (src[sbit / 8] >> sshift) & mask;
    uint8_t& target = dst[dbit / 8];
    target = uint8_t((target & ~(mask << dshift)) | (value << dshift));
}

std::vector<uint8_t> quarterTurn(const std::vector<uint8_t>& bmp, bool clockwise) {
    if (bmp.size() < 14 + 40 || bmp[0] != 'B' || bmp[1] != 'M') throw BitmapError("Не BMP-файл");
    const uint8_t* info = bmp.data() + 14;
    const uint32_t infoSize = rd32(info);
    const uint32_t offset = rd32(bmp.data() + 10);
    if (infoSize < 40 || 14 + uint64_t(infoSize) > bmp.size())
        throw BitmapError("Неподдерживаемый заголовок BMP-файла");
    if (offset < 14 + infoSize || offset > bmp.size()) throw BitmapError("Неверное смещение точек BMP-файла");
    const int32_t w = int32_t(rd32(info + 4)), h = int32_t(rd32(info + 8));
    const unsigned bpp = rd16(info + 14);
    const uint32_t compression = rd32(info + 16);
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
        throw BitmapError("Неподдерживаемое число бит на точку: " + std::to_string(bpp));
    // uncompressed rows only; bit fields only say what the bits of a 16- or 32-bit pixel mean
    if (compression != 0 && !(compression == 3 && (bpp == 16 || bpp == 32)))
        throw BitmapError("Сжатые BMP-файлы не поворачиваются");
    if (w < 0 || h == INT32_MIN) throw BitmapError("Неверный размер BMP-файла");
    const bool topDown = h < 0;
    const uint32_t width = uint32_t(w), height = uint32_t(topDown ? -h : h);
    const size_t srcRow = rowBytes(width, bpp);
    if (height != 0 && srcRow > (bmp.size() - offset) / height)
        throw BitmapError("BMP-файл короче своих точек");

    // everything before the pixels unchanged, then the exchanged size and no image size
    const size_t dstRow = rowBytes(height, bpp);
    std::vector<uint8_t> out(bmp.begin(), bmp.begin() + offset);
    out.resize(offset + dstRow * width, 0);
    uint8_t* oinfo = out.data() + 14;
    wr32(oinfo + 4, height);
    wr32(oinfo + 8, topDown ? uint32_t(-int64_t(width)) : width);
    wr32(oinfo + 20, 0);
    wr32(out.data() + 2, uint32_t(out.size()));

    const Pixels from{const_cast<uint8_t*>(bmp.data()) + offset, width, height, bpp, topDown, srcRow};
    const Pixels to{out.data() + offset, height, width, bpp, topDown, dstRow};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            if (clockwise)
                movePixel(from, x, y, to, height - 1 - y, x);
            else
                movePixel(from, x, y, to, y, width - 1 - x);
        }
    return out;
}

} // namespace

std::vector<uint8_t> turnBmp(const std::vector<uint8_t>& bmp, Turn turn) {
    switch (turn) {
    case Turn::Clockwise:
        return quarterTurn(bmp, true);
    case Turn::Anticlockwise:
        return quarterTurn(bmp, false);
    case Turn::Half:
        return quarterTurn(quarterTurn(bmp, false), false);
    }
    return bmp;
}

} // namespace schemes
