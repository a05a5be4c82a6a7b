// Metafiles built record by record: the sample pictures of the metafile tests and of the picture fuzzer's
// seeds.
#pragma once

#include <cstdint>
#include <vector>

namespace mervo::test {

// Records of a metafile built by hand.
struct Records {
    std::vector<uint8_t> bytes;
    void u32(uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(uint8_t(v >> (8 * i)));
    }
    void u16(uint16_t v) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    // an EMF record: type, size, then the parameters as 32-bit values
    void emf(uint32_t type, std::vector<uint32_t> params) {
        u32(type);
        u32(uint32_t(8 + params.size() * 4));
        for (uint32_t p : params)
            u32(p);
    }
    // a WMF record: size in words, function, 16-bit parameters
    void wmf(uint16_t fn, std::vector<uint16_t> params) {
        u32(uint32_t(3 + params.size()));
        u16(fn);
        for (uint16_t p : params)
            u16(p);
    }
};

inline std::vector<uint8_t> sampleEmf() {
    Records r;
    // header: bounds 0,0-119,59, frame, " EMF", version, sizes, device 1024×768 px = 320×240 mm
    r.emf(1, {0, 0, 119, 59, 0, 0, 3175, 1587, 0x464D4520, 0x10000, 0, 0, 0, 0, 0, 0, 1024, 768, 320, 240});
    r.emf(39, {1, 0, 0x000000FF, 0});    // brush 1: solid red
    r.emf(37, {1});                      // select it
    r.emf(38, {2, 0, 3, 0, 0x00FF0000}); // pen 2: solid blue, 3 wide
    r.emf(37, {2});
    r.emf(43, {10, 10, 50, 40});  // rectangle
    r.emf(37, {0x80000005});      // NULL_BRUSH
    r.emf(42, {70, 10, 110, 50}); // ellipse outline only
    r.emf(27, {0, 55});           // move to
    r.emf(54, {119, 55});         // line to
    r.emf(9999, {1, 2, 3});       // an unknown record is skipped
    // a 2 × 2 bitmap (24 bits, bottom-up rows) stretched to 20,44 - 40,54: yellow
    std::vector<uint32_t> dib = {0, 0,          0,  0,  20, 44, 0, 0,          2, 2,  80, 40, 120, 16,
                                 0, 0x00CC0020, 20, 10, 40, 2,  2, 0x00180001, 0, 16, 0,  0,  0,   0};
    for (int row = 0; row < 2; ++row) {
        dib.push_back(0x00FFFF00u); // bytes 00 FF FF 00: pixel 0 yellow (B G R), then B of pixel 1
        dib.push_back(0x0000FFFFu); // G R of pixel 1, padding
    }
    r.emf(81, dib);
    r.emf(14, {0, 0, 20}); // EOF
    return r.bytes;
}

// A placeable Windows metafile of 96 × 48 pixels: a green rectangle at the top left.
inline std::vector<uint8_t> sampleWmf() {
    Records r;
    // placeable header: key, handle, frame 0,0-1440,720 at 1440 units per inch, reserved, checksum
    r.u32(0x9AC6CDD7);
    r.u16(0);
    for (uint16_t v : {0, 0, 1440, 720, 1440})
        r.u16(v);
    r.u32(0);
    r.u16(0);
    // metafile header: type 1, 9 words, version, size, 2 objects, max record, no parameters
    for (uint16_t v : {1, 9, 0x300, 0, 0, 2, 0, 0, 0})
        r.u16(v);
    r.wmf(0x020B, {0, 0});                 // window origin 0,0
    r.wmf(0x020C, {720, 1440});            // window extent 1440 × 720
    r.wmf(0x02FC, {0, 0xFF00, 0x0000, 0}); // solid green brush (0x0000FF00)
    r.wmf(0x012D, {0});
    r.wmf(0x041B, {600, 600, 120, 120}); // rectangle 120,120 - 600,600 (bottom, right, top, left)
    r.wmf(0, {});
    return r.bytes;
}

} // namespace mervo::test
