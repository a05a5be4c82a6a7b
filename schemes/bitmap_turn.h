// Quarter turns of a picture in its BMP file form, as the object window's "90", "180" and "-90" commands
// apply them to a picture element: the headers and the colour table are kept, width and height exchange, the
// pixels move whole (8 bits and more) or bit group by bit group (1, 2 and 4 bits per pixel).
#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace schemes {

// A BMP file that cannot be turned: too short, a header or pixel area that does not fit the file, a
// compressed or unknown pixel format.
class BitmapError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class Turn { Clockwise, Anticlockwise, Half };

// The turned BMP file. Clockwise, the pixel at column x, row y (rows counted from the top) goes to column
// h - 1 - y, row x; anticlockwise to column y, row w - 1 - x; a half turn is two anticlockwise quarter turns.
// The image-size field becomes 0 and the file-size field the new file's size; pictures stored top-down stay
// top-down. Throws BitmapError.
std::vector<uint8_t> turnBmp(const std::vector<uint8_t>& bmp, Turn turn);

} // namespace schemes
