// The texts of the calculators' error bits, as the state windows list them and the report program explains
// an archive record's error codes.
#pragma once

#include <array>

namespace devdata {

// System error byte of the one-system calculators (225, 238), bit 1 first.
const std::array<const char*, 8>& oneSystemErrorTexts();
// System error bytes of the two-system calculators (228 .. 230, 234 .. 237), bit 1 first.
const std::array<const char*, 8>& twoSystemErrorTexts();
// Device (hardware) error bits 1, 2, 4, 8 and 16 of the two-system calculators.
const std::array<const char*, 5>& deviceErrorTexts();

} // namespace devdata
