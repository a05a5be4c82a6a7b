// The column table of the archive grid (`TFieldGrid`): for each of the two archive layouts 53 rows with a
// system mask, a caption and the archive field. Layout 1 serves device types 225 and 238, layout 0 the types
// 228-230 and 234-237.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zorbel {

struct TFieldGrid {
    uint16_t mask;       // bit 0: shown for system 1, bit 1: for system 2, bit 15: never shown
    const char* caption; // "" for the empty rows of layout 1
    const char* field;   // "" for the empty rows of layout 1
};

inline constexpr uint16_t kNeverShown = 0x8000;
inline constexpr int kFieldGridRows = 53;

// 0 for 228-230 and 234-237, 1 for 225 and 238, -1 for a type without an archive.
int gridLayoutOf(int deviceType);
const std::array<TFieldGrid, kFieldGridRows>& fieldGrid(int layout);

struct GridColumn {
    std::string caption;
    std::string field;
};

// The columns shown for a device type and system (1 or 2), in table order; empty for a type without an
// archive.
std::vector<GridColumn> gridColumns(int deviceType, int system);

} // namespace zorbel
