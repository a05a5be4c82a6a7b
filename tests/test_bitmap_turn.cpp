// Quarter turns of BMP files: pixel moves for every depth, headers and colour tables kept, bad files refused.
#include "schemes/bitmap_turn.h"

#include <QImage>
#include <functional>
#include <gtest/gtest.h>
#include <random>

using schemes::BitmapError;
using schemes::Turn;
using schemes::turnBmp;

namespace {

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

size_t rowOf(int w, int bpp) {
    return size_t((w * bpp + 31) / 32 * 4);
}

// A BMP file of w × h pixels; pixel(x, y) with y counted from the top gives the pixel's value (palette index
// below 8 bits, the raw little-endian bytes above).
std::vector<uint8_t> makeBmp(int w, int h, int bpp, const std::function<uint32_t(int, int)>& pixel,
                             bool topDown = false) {
    const size_t palette = bpp <= 8 ? (size_t(1) << bpp) * 4 : 0;
    const size_t offset = 14 + 40 + palette, row = rowOf(w, bpp);
    std::vector<uint8_t> b(offset + row * size_t(h), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, uint32_t(b.size()));
    put32(b, 10, uint32_t(offset));
    put32(b, 14, 40);
    put32(b, 18, uint32_t(w));
    put32(b, 22, uint32_t(topDown ? -h : h));
    b[26] = 1;
    b[28] = uint8_t(bpp);
    for (size_t i = 0; i < palette / 4; ++i) { // a recognisable colour table
        b[54 + i * 4] = uint8_t(i * 7);
        b[54 + i * 4 + 1] = uint8_t(255 - i);
        b[54 + i * 4 + 2] = uint8_t(i * 3);
    }
    for (int y = 0; y < h; ++y) {
        uint8_t* r = b.data() + offset + size_t(topDown ? y : h - 1 - y) * row;
        for (int x = 0; x < w; ++x) {
            const uint32_t v = pixel(x, y);
            if (bpp >= 8) {
                for (int k = 0; k < bpp / 8; ++k)
                    r[size_t(x * (bpp / 8) + k)] = uint8_t(v >> (8 * k));
            } else {
                const int bit = x * bpp, shift = 8 - bpp - bit % 8;
                r[bit / 8] = uint8_t(r[bit / 8] | (v << shift));
            }
        }
    }
    return b;
}

struct Picture {
    int w, h, bpp;
    bool topDown;
    std::vector<uint8_t> bytes;
    uint32_t at(int x, int y) const {
        const size_t offset = get32(bytes, 10), row = rowOf(w, bpp);
        const uint8_t* r = bytes.data() + offset + size_t(topDown ? y : h - 1 - y) * row;
        if (bpp >= 8) {
            uint32_t v = 0;
            for (int k = 0; k < bpp / 8; ++k)
                v |= uint32_t(r[size_t(x * (bpp / 8) + k)]) << (8 * k);
            return v;
        }
        const int bit = x * bpp, shift = 8 - bpp - bit % 8;
        return (r[bit / 8] >> shift) & ((1u << bpp) - 1);
    }
};

Picture read(const std::vector<uint8_t>& b) {
    const int32_t h = int32_t(get32(b, 22));
    return Picture{int(get32(b, 18)), h < 0 ? -h : h, int(b[28]), h < 0, b};
}

} // namespace

TEST(BitmapTurn, ThreeByTwoTrueColourClockwise) {
    // pixels A B C over D E F
    const uint32_t px[2][3] = {{0x0000A1, 0x0000B2, 0x0000C3}, {0x0000D4, 0x0000E5, 0x0000F6}};
    const auto src = makeBmp(3, 2, 24, [&](int x, int y) { return px[y][x]; });
    const auto turned = turnBmp(src, Turn::Clockwise);
    const Picture p = read(turned);
    ASSERT_EQ(p.w, 2);
    ASSERT_EQ(p.h, 3);
    // first row from the top: bottom-left, then top-left of the source
    EXPECT_EQ(p.at(0, 0), 0x0000D4u);
    EXPECT_EQ(p.at(1, 0), 0x0000A1u);
    EXPECT_EQ(p.at(0, 2), 0x0000F6u);
    EXPECT_EQ(get32(turned, 34), 0u);                        // image size
    EXPECT_EQ(get32(turned, 2), uint32_t(turned.size()));    // file size of the new rows
    EXPECT_EQ(turned.size(), size_t(54 + 3 * rowOf(2, 24))); // rows of 8 bytes, padded
    auto back = src;
    for (int i = 0; i < 4; ++i)
        back = turnBmp(back, Turn::Clockwise);
    EXPECT_EQ(back, src);
}

TEST(BitmapTurn, OneBitNineByFiveAnticlockwise) {
    const auto src = makeBmp(9, 5, 1, [](int x, int y) { return uint32_t((x * 3 + y) % 2); });
    const auto turned = turnBmp(src, Turn::Anticlockwise);
    const Picture p = read(turned), s = read(src);
    ASSERT_EQ(p.w, 5);
    ASSERT_EQ(p.h, 9);
    EXPECT_EQ(turned.size(), size_t(62 + 9 * 4));                                     // nine rows of 4 bytes
    EXPECT_TRUE(std::equal(src.begin() + 54, src.begin() + 62, turned.begin() + 54)); // the colour table
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 9; ++x)
            EXPECT_EQ(p.at(y, 8 - x), s.at(x, y)) << x << "," << y;
}

TEST(BitmapTurn, EveryDepthMovesEveryPixel) {
    std::mt19937 rnd(7);
    struct Case {
        int bpp, w, h;
        bool topDown;
    };
    for (const Case c : {Case{1, 13, 6, false}, Case{2, 7, 11, false}, Case{4, 9, 4, false},
                         Case{8, 5, 3, false}, Case{16, 3, 7, false}, Case{24, 6, 5, false},
                         Case{32, 4, 9, false}, Case{4, 5, 3, true}, Case{24, 3, 4, true}}) {
        SCOPED_TRACE(::testing::Message()
                     << c.bpp << " bpp " << c.w << "x" << c.h << (c.topDown ? " top-down" : ""));
        const uint32_t mask = c.bpp >= 32 ? 0xFFFFFFFFu : (1u << c.bpp) - 1;
        std::vector<uint32_t> values(size_t(c.w * c.h));
        for (auto& v : values)
            v = uint32_t(rnd()) & mask;
        const auto src = makeBmp(
            c.w, c.h, c.bpp, [&](int x, int y) { return values[size_t(y * c.w + x)]; }, c.topDown);
        const Picture s = read(src);
        const Picture cw = read(turnBmp(src, Turn::Clockwise));
        const Picture acw = read(turnBmp(src, Turn::Anticlockwise));
        const Picture half = read(turnBmp(src, Turn::Half));
        ASSERT_EQ(cw.w, c.h);
        ASSERT_EQ(cw.h, c.w);
        EXPECT_EQ(cw.topDown, c.topDown);
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x) {
                ASSERT_EQ(cw.at(c.h - 1 - y, x), s.at(x, y));
                ASSERT_EQ(acw.at(y, c.w - 1 - x), s.at(x, y));
                ASSERT_EQ(half.at(c.w - 1 - x, c.h - 1 - y), s.at(x, y));
            }
        EXPECT_EQ(turnBmp(turnBmp(src, Turn::Clockwise), Turn::Anticlockwise), src);
        // another reader agrees with the pixels
        if (c.bpp == 24 || c.bpp == 8) {
            QImage a = QImage::fromData(src.data(), int(src.size()), "BMP");
            QImage b = QImage::fromData(cw.bytes.data(), int(cw.bytes.size()), "BMP");
            ASSERT_FALSE(a.isNull());
            ASSERT_FALSE(b.isNull());
            EXPECT_EQ(b.size(), QSize(c.h, c.w));
            EXPECT_EQ(b.pixel(0, 0), a.pixel(0, c.h - 1));
            EXPECT_EQ(b.pixel(c.h - 1, c.w - 1), a.pixel(c.w - 1, 0));
        }
    }
}

TEST(BitmapTurn, BadFilesAreRefused) {
    const auto good = makeBmp(4, 4, 8, [](int x, int y) { return uint32_t(x + y); });
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> spoil;
    };
    const Case cases[] = {
        {"short file", [](std::vector<uint8_t>& b) { b.resize(30); }},
        {"not BM", [](std::vector<uint8_t>& b) { b[0] = 'X'; }},
        {"rows cut off", [](std::vector<uint8_t>& b) { b.resize(b.size() - 3); }},
        {"offset past the end", [](std::vector<uint8_t>& b) { put32(b, 10, uint32_t(b.size() + 10)); }},
        {"offset inside the header", [](std::vector<uint8_t>& b) { put32(b, 10, 20); }},
        {"core header", [](std::vector<uint8_t>& b) { put32(b, 14, 12); }},
        {"RLE compressed", [](std::vector<uint8_t>& b) { put32(b, 30, 1); }},
        {"3 bits per pixel", [](std::vector<uint8_t>& b) { b[28] = 3; }},
        {"huge height", [](std::vector<uint8_t>& b) { put32(b, 22, 0x7FFFFFFF); }},
        {"huge width", [](std::vector<uint8_t>& b) { put32(b, 18, 0x7FFFFFFF); }},
        {"negative width", [](std::vector<uint8_t>& b) { put32(b, 18, uint32_t(-4)); }},
    };
    for (const Case& c : cases) {
        auto b = good;
        c.spoil(b);
        EXPECT_THROW(turnBmp(b, Turn::Clockwise), BitmapError) << c.what;
    }
}
