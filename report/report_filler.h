// "Заполнить отчет" on an open workbook made from a template: the named ranges MainData, ParsData,
// ReportData, ArchFirstLine, ArchLastLine and ArchLine in this order, then the title.
#pragma once

#include "report/calc.h"
#include "report/session.h"
#include "report/template_fill.h"

#include <string>
#include <vector>

namespace zorbel {

struct FillOutcome {
    std::vector<std::string> filled;  // names processed to the end
    std::vector<std::string> skipped; // names missing, without cells, or abandoned on an error
    int archRows = 0;                 // rows written by ArchLine
    bool titled = false;
};

// Fills the first sheet of wb. An error inside one name's processing abandons that name and goes on with the
// next; errors of the workbook outside the names propagate. The archive table is left on its last record.
FillOutcome fillWorkbook(calc::Workbook& wb, ArchiveSession& session, const ReportContext& ctx);

} // namespace zorbel
