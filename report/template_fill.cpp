#include "report/template_fill.h"

#include "dbf/codec.h"
#include "devdata/layouts.h"

#include <cctype>

namespace zorbel {

std::string replaceSystemTag(const std::string& text, int system) {
    for (size_t p = text.find('<'); p != std::string::npos; p = text.find('<', p + 1)) {
        if (p + 5 >= text.size() || text[p + 2] != '+' || text.compare(p + 4, 2, "T>") != 0) continue;
        char a = text[p + 1], k = text[p + 3];
        if (!std::isdigit(static_cast<unsigned char>(a)) || !std::isdigit(static_cast<unsigned char>(k)))
            throw TagError("неверный признак системы в \"" + text + "\"");
        int n = (a - '0') + (k - '0') * system;
        return text.substr(0, p) + std::to_string(n) + text.substr(p + 6);
    }
    return text;
}

std::string deviceModelName(int deviceType) {
    switch (deviceType) {
    case 225:
        return "Vexa-1 K1(2)(M)";
    case 228:
        return "Vexa-1 П120";
    case 229:
        return "Vexa-1 П140";
    case 230:
        return "Vexa-1 П150";
    case 234:
        return "Vexa-1 П140 М";
    case 235:
        return "Vexa-1 П150 М";
    case 236:
        return "Vexa-1 П140 М new";
    case 237:
        return "Vexa-1 П150 М new";
    default:
        return "";
    }
}

std::string reportTitle(ArchiveKind kind) {
    return kind == ArchiveKind::Daily ? "Суточный протокол учета тепловой энергии воды"
                                      : "Часовой протокол учета тепловой энергии воды";
}

bool isDifferenceField(const std::string& name) {
    static const char* const kFields[] = {
        "WorkTime", "WorkTimeErr1", "WorkTimeErr2", "HEnergy1",   "HEnergy2",  "Volume1",  "Volume2",
        "Volume3",  "Volume4",      "Volume5",      "Volume6",    "Weight1",   "Weight2",  "Weight3",
        "Weight4",  "Weight5",      "Weight6",      "ErrHVolume", "ElEnergy1", "ElEnergy2"};
    for (const char* f : kFields)
        if (dbf::codec::sameName(name, f)) return true;
    return false;
}

std::optional<std::string> specialValue(const std::string& text, const ReportContext& ctx) {
    std::string v;
    if (text == "DEVTYPESTRING")
        v = deviceModelName(ctx.deviceType);
    else if (text == "RepFirstDate")
        v = ctx.fromDate;
    else if (text == "RepLastDate")
        v = ctx.toDate;
    else if (text == "RepSystemNum")
        v = ctx.system == 1 ? "Система 2" : "Система 1";
    else if (text == "VersInfo")
        v = kVersionText;
    else
        return std::nullopt;
    if (v.empty()) return std::nullopt;
    return v;
}

bool isSpecialName(const std::string& text) {
    for (const char* n : {"DEVTYPESTRING", "RepFirstDate", "RepLastDate", "RepSystemNum", "VersInfo"})
        if (text == n) return true;
    return false;
}

double spreadsheetDate(dbf::DateTime t) {
    return t.toOleDays();
}

const char* dateFormat(ArchiveKind kind) {
    return kind == ArchiveKind::Hourly ? kHourFormat : kDayFormat;
}

namespace {

CellValue fieldValue(const dbf::Table& table, int fieldNo, ArchiveKind kind) {
    const dbf::FieldDef& def = table.fields()[size_t(fieldNo)];
    dbf::Value v = table.value(fieldNo);
    if (std::holds_alternative<std::monostate>(v)) {
        // an empty text field is an empty text; other empty fields leave the cell empty
        return def.type == dbf::FieldType::Char ? CellValue::str("") : CellValue{};
    }
    if (auto* s = std::get_if<std::string>(&v)) return CellValue::str(*s);
    if (auto* i = std::get_if<int64_t>(&v)) return CellValue::num(double(*i));
    if (auto* d = std::get_if<double>(&v)) return CellValue::num(*d);
    if (auto* b = std::get_if<bool>(&v)) return CellValue::num(*b ? 1 : 0);
    if (auto* t = std::get_if<dbf::DateTime>(&v)) {
        double days = spreadsheetDate(*t);
        // an archive stamp without its time of day carries the hour in WriteHour
        if (dbf::codec::sameName(def.name, "WriteDay") && *t == t->date()) {
            int h = table.fieldIndex("WriteHour");
            if (h >= 0) {
                dbf::Value hv = table.value(h);
                if (auto* hour = std::get_if<int64_t>(&hv)) days += double(*hour) / 24.0;
            }
        }
        return CellValue::date(days, dateFormat(kind));
    }
    return {};
}

} // namespace

std::optional<CellValue> cellValue(const dbf::Table* table, const std::string& text, const ReportContext& ctx,
                                   const std::vector<std::string>& layout) {
    if (table && table->isOpen()) {
        int f = table->fieldIndex(text);
        if (f >= 0) {
            // no record to show (an empty range, no parameter row): nothing
            if (table->eof() && table->bof()) return CellValue{};
            return fieldValue(*table, f, ctx.kind);
        }
    }
    for (const std::string& name : layout)
        if (dbf::codec::sameName(name, text)) return CellValue{};
    if (auto s = specialValue(text, ctx)) return CellValue::str(*s);
    if (isSpecialName(text)) return CellValue{};
    return std::nullopt;
}

std::vector<std::string> layoutFieldsOf(const std::string& rangeName, int deviceType) {
    const devdata::TableLayout* l = nullptr;
    if (rangeName == "ParsData")
        l = &devdata::paramsTableLayout();
    else if (rangeName == "ArchFirstLine" || rangeName == "ArchLastLine")
        l = devdata::archiveTableLayout(deviceType);
    std::vector<std::string> out;
    if (l)
        for (const dbf::FieldDef& f : l->fields)
            out.push_back(f.name);
    return out;
}

void applyDifference(std::vector<std::vector<CellValue>>& rows, const std::vector<std::string>& entries) {
    if (rows.empty()) return;
    for (size_t j = 0; j < entries.size(); ++j) {
        bool diff = isDifferenceField(entries[j]);
        bool keep = entries[j] == "WriteDay" || entries[j] == "WriteHour";
        for (size_t i = 0; i + 1 < rows.size(); ++i) {
            CellValue& cur = rows[i][j];
            const CellValue& nxt = rows[i + 1][j];
            if (diff) {
                if (cur.kind == CellValue::Kind::Number && nxt.kind == CellValue::Kind::Number)
                    cur = CellValue::num(nxt.number - cur.number);
                else
                    cur = CellValue{}; // no difference of an empty value
            } else if (!keep) {
                cur = nxt;
            }
        }
    }
    rows.pop_back();
}

std::vector<std::vector<CellValue>>
archLineBlock(dbf::Table& archive, const std::vector<std::string>& entries, const ReportContext& ctx) {
    std::vector<std::vector<CellValue>> rows;
    if (archive.isOpen()) {
        std::vector<int> fieldNo;
        std::vector<std::optional<std::string>> special;
        for (const std::string& e : entries) {
            fieldNo.push_back(archive.fieldIndex(e));
            special.push_back(specialValue(e, ctx));
        }
        for (archive.first(); !archive.eof(); archive.next()) {
            std::vector<CellValue> row;
            row.reserve(entries.size());
            for (size_t j = 0; j < entries.size(); ++j) {
                if (fieldNo[j] >= 0)
                    row.push_back(fieldValue(archive, fieldNo[j], ctx.kind));
                else if (special[j])
                    row.push_back(CellValue::str(*special[j]));
                else if (isSpecialName(entries[j]))
                    row.emplace_back(); // a special name without a value shows nothing
                else
                    row.push_back(CellValue::str(entries[j]));
            }
            rows.push_back(std::move(row));
        }
    }
    if (ctx.difference) applyDifference(rows, entries);
    return rows;
}

} // namespace zorbel
