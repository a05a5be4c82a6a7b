// Byte layouts of what the simulated devices send: the current-state blocks, the configuration block and the
// archive records. Every value is held as a double and written little-endian in its field's encoding.
#pragma once

#include "sim/protocol.h"

#include <string>
#include <vector>

namespace calcsim {

enum class Enc {
    F32,  // IEEE 754 single
    U8,   // unsigned byte
    U16,  // unsigned 16-bit
    U16C, // unsigned 16-bit holding hundredths (a temperature of 26.00 is 2600)
    U32,  // unsigned 32-bit
};

struct Field {
    std::string name;
    int offset;
    Enc enc;
};

struct Layout {
    std::string name;
    int size = 0; // payload bytes
    std::vector<Field> fields;

    // Index of the field, or -1.
    int find(const std::string& field) const;
};

int encSize(Enc e);
// The value as the field can hold it: floats rounded to single precision, integers rounded and clamped to
// their range, hundredths rounded to two decimals. NaN and infinities pass through a float field unchanged.
double normalize(Enc e, double v);
// Writes the values (one per field, in field order) into a zero payload of the layout's size.
Bytes encode(const Layout& layout, const std::vector<double>& values);

// Current state, by command-table row: layout A (rows 0, 3, 5; the masses only in rows 3 and 5), layout B
// (rows 1, 6), the pulse counters (row 2), and the flow meter's two blocks (row 4: entry 2 and entry 4).
const Layout& stateLayout(int row);
const Layout* secondStateLayout(int row); // row 4 only
// Configuration block of entry 4: 40 bytes in row 0, 94 in rows 3 and 5, 17 bytes of unnamed data in rows 1
// and 6; nullptr for rows 2 and 4.
const Layout* paramLayout(int row);
// Archive record of entry 7: 160 bytes in row 0, 43 in rows 1 and 6, 216 in rows 3 and 5; nullptr otherwise.
// The time stamp fields are named "hour" and "day"; rows 3 and 5 carry "RecNum".
const Layout* recordLayout(int row);

} // namespace calcsim
