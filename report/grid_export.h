// The archive grid's rows as they are shown, for saving them to a file: semicolon-separated text in
// Windows-1251 or UTF-8, or the cells of a workbook the office saves.
#pragma once

#include "report/archive_model.h"
#include "report/template_fill.h"

#include <QByteArray>
#include <vector>

namespace zorbel {

enum class GridExport { CsvCp1251, CsvUtf8, Xlsx };

// The column captions, then one line per row. Date-times as "dd.MM.yyyy hh:mm", floats with two decimals
// and a decimal comma (as programs of the Russian locale read semicolon-separated files), lines ended by
// CR LF; a field holding ';', '"' or a line break is quoted.
QByteArray gridCsv(const ArchiveModel& model, bool utf8);

// The same as cells: the captions as texts, numbers as numbers (floats shown with two decimals), date-times
// as dates with the format "DD.MM.YYYY HH:MM", the rest as texts.
std::vector<std::vector<CellValue>> gridCells(const ArchiveModel& model);

} // namespace zorbel
