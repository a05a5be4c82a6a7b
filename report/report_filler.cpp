#include "report/report_filler.h"

#include "dbf/codec.h"

namespace zorbel {

namespace {

// Writes the ArchLine block, leaving the columns whose template text is a formula to the formulas the row
// copy carried over.
void writeBlock(calc::Workbook& wb, int row, int col, const std::vector<std::string>& entries,
                const std::vector<std::vector<CellValue>>& block) {
    size_t j = 0;
    while (j < entries.size()) {
        if (!entries[j].empty() && entries[j][0] == '=') {
            ++j;
            continue;
        }
        size_t e = j;
        while (e < entries.size() && !(!entries[e].empty() && entries[e][0] == '='))
            ++e;
        std::vector<std::vector<CellValue>> part;
        part.reserve(block.size());
        for (const auto& r : block)
            part.emplace_back(r.begin() + long(j), r.begin() + long(e));
        wb.setBlock(col + int(j), row, part);
        j = e;
    }
}

void processName(calc::Workbook& wb, ArchiveSession& s, const ReportContext& ctx, const std::string& name,
                 const std::vector<calc::Area>& areas, FillOutcome& out) {
    dbf::Table* table = nullptr;
    if (name == "MainData" || name == "ReportData")
        table = &s.objects();
    else if (name == "ParsData")
        table = s.paramsOpen() ? &s.params() : nullptr; // without the object's row its cells are emptied
    else
        table = &s.archive();
    const bool archLine = name == "ArchLine";
    if (name == "ArchFirstLine") s.archive().first();
    if (name == "ArchLastLine") s.archive().last();
    // the fields a cell may name when the table is missing or shows no record: such cells are emptied
    const std::vector<std::string> layout = layoutFieldsOf(name, ctx.deviceType);

    std::vector<std::string> entries;
    for (const calc::Area& a : areas)
        for (int r = a.row1; r <= a.row2; ++r)
            for (int c = a.col1; c <= a.col2; ++c) {
                std::string text = replaceSystemTag(wb.formula(c, r), ctx.system);
                if (archLine) {
                    entries.push_back(text);
                    continue;
                }
                if (auto v = cellValue(table, text, ctx, layout)) wb.setValue(c, r, *v);
            }
    if (archLine) {
        const int r = areas[0].row1, c = areas[0].col1;
        auto block = archLineBlock(s.archive(), entries, ctx);
        if (block.empty()) {
            // nothing to show: the template line is emptied so that no field names are printed
            std::vector<std::vector<CellValue>> blank(1, std::vector<CellValue>(entries.size()));
            writeBlock(wb, r, c, entries, blank);
        } else {
            if (block.size() >= 2) wb.replicateRow(r, r + 1, int(block.size()) - 1);
            writeBlock(wb, r, c, entries, block);
        }
        out.archRows = int(block.size());
        s.archive().last();
    }
}

} // namespace

FillOutcome fillWorkbook(calc::Workbook& wb, ArchiveSession& session, const ReportContext& ctx) {
    FillOutcome out;
    for (const char* name : kFillNames) {
        try {
            std::vector<calc::Area> areas = wb.namedRange(name);
            int cells = 0;
            for (const auto& a : areas)
                cells += a.cells();
            if (cells == 0) {
                out.skipped.push_back(name);
                continue;
            }
            processName(wb, session, ctx, name, areas, out);
            out.filled.push_back(name);
        } catch (const std::exception&) {
            out.skipped.push_back(name);
        }
    }
    if (session.archive().isOpen()) session.archive().last();
    std::vector<calc::Area> title = wb.namedRange(kTitleName);
    if (!title.empty()) {
        wb.setValue(title[0].col1, title[0].row1, CellValue::str(reportTitle(ctx.kind)));
        out.titled = true;
    }
    return out;
}

} // namespace zorbel
