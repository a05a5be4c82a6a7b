// Field and index lists of the tables in the data directory: the objects table
// MAINDB, the current-state tables STATEDB<type>, the parameters table PARSDB and
// the archive tables ARCHDB<serial><kind><type> (shared by the temporary archive
// tables). The order of the fields is the order on disk.
#pragma once

#include "dbf/types.h"
#include "devdata/catalogue.h"

#include <string>
#include <vector>

namespace devdata {

struct TableLayout {
    std::vector<dbf::FieldDef> fields;
    std::vector<dbf::IndexDef> indexes;
};

// MAINDB: 17 fields, indexes "Primary" (NUM, primary, unique), "SN" (SERIALNUM), "ADR" (ADDRES), "NT"
// (NETTYPE).
const TableLayout& objectsTableLayout();

// STATEDB layouts; nullptr for StateLayoutKind::None or a code without a state layout.
const TableLayout* stateTableLayout(StateLayoutKind kind);
const TableLayout* stateTableLayout(int deviceType);

// The widest text the state reader can store in a field of STATEDB<type> (the format it writes the device's
// value with, every digit it can take; "8" for a digit): what a field label must have room for. Empty for a
// field the type's state table does not have or that holds no device value.
std::string widestStateText(int deviceType, const std::string& field);

// PARSDB: one layout for every device type.
const TableLayout& paramsTableLayout();

// ARCHDB layouts (225/238: 20 fields, 228-230: 53, 234-237: 68); nullptr for 128, 231 and unknown codes.
const TableLayout* archiveTableLayout(ArchiveLayoutKind kind);
const TableLayout* archiveTableLayout(int deviceType);

} // namespace devdata
