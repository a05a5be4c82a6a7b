// zorbel-patterns OUTDIR: writes the report templates delivered with Zorbel ("Patterns.ini" and the ".pat"
// workbooks, Excel 97-2003) into OUTDIR through LibreOffice. tools/make_patterns.sh runs it for
// dist/Patterns.
#include "dbf/codec.h"
#include "report/calc.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

using zorbel::CellValue;
using zorbel::calc::Area;
using zorbel::calc::Workbook;

namespace {

struct Column {
    const char* caption;
    const char* field; // cell text of the template line
    const char* format;
    int width;                     // 1/100 mm
    const char* reading = nullptr; // caption of the column's reading at the start and end of the range; none
                                   // when the column gets no reading
};

Area cell(int col, int row) {
    return {0, col, row, col, row};
}

void text(Workbook& wb, int col, int row, const std::string& s) {
    wb.setValue(col, row, CellValue::str(s));
}

// One protocol: heading, object data, parameters (two-system calculators only: 225 and 238 keep none), the
// column headings (printed on every page), the template line and the readings at the start and end of the
// range.
//
// The report program starts with "Разность" ticked: a column of an accumulating counter (WorkTime, HEnergy…,
// Volume…) then shows what the counter added from its row's record to the next one, and its heading says so
// ("за сутки", "за час"); the readings themselves stand in the rows below the table, under headings of their
// own.
void makeProtocol(zorbel::calc::Office& office, const std::string& path, const std::vector<Column>& cols,
                  bool twoSystems) {
    auto wb = office.create();
    const int n = int(cols.size());
    wb->setSheetName("Отчет");
    for (int c = 0; c < n; ++c)
        wb->setColumnWidth(c, cols[size_t(c)].width);

    // row 1: the title, filled by the program
    text(*wb, 0, 0, "Протокол учета тепловой энергии");
    wb->setMerged({0, 0, 0, n - 1, 0});
    wb->setBold(cell(0, 0), true);
    wb->setFontHeight(cell(0, 0), 14);
    wb->addName("Title", {cell(0, 0)});

    // rows 3-6: the object
    text(*wb, 0, 2, "Адрес объекта:");
    text(*wb, 2, 2, "ADDRES");
    text(*wb, 0, 3, "Тепловычислитель:");
    text(*wb, 2, 3, "DEVTYPESTRING");
    text(*wb, 4, 3, "Заводской №:");
    text(*wb, 5, 3, "SERIALNUM");
    wb->addName("MainData", {cell(2, 2), cell(2, 3), cell(5, 3)});
    text(*wb, 0, 4, "Период с");
    text(*wb, 2, 4, "RepFirstDate");
    text(*wb, 3, 4, "по");
    text(*wb, 4, 4, "RepLastDate");
    text(*wb, 0, 13, "Zorbel, версия");
    text(*wb, 2, 13, "VersInfo");
    if (twoSystems) {
        text(*wb, 5, 4, "RepSystemNum");
        wb->addName("ReportData", {{0, 2, 4, 2, 4}, {0, 4, 4, 5, 4}, cell(2, 13)});
        text(*wb, 0, 5, "Расчетный день:");
        text(*wb, 2, 5, "DayOfReport");
        text(*wb, 3, 5, "Тип системы:");
        text(*wb, 4, 5, "SystemType<1+1T>");
        wb->addName("ParsData", {cell(2, 5), cell(4, 5)});
    } else {
        wb->addName("ReportData", {{0, 2, 4, 2, 4}, cell(4, 4), cell(2, 13)});
    }
    wb->setBold({0, 0, 2, 0, 5}, true);

    // rows 8-9: the column headings, repeated on every printed page, and the template line
    for (int c = 0; c < n; ++c) {
        text(*wb, c, 7, cols[size_t(c)].caption);
        text(*wb, c, 8, cols[size_t(c)].field);
        wb->setNumberFormat(cell(c, 8), cols[size_t(c)].format);
    }
    wb->setBold({0, 0, 7, n - 1, 7}, true);
    wb->setWrapped({0, 0, 7, n - 1, 7});
    wb->setFrame({0, 0, 7, n - 1, 8});
    wb->addName("ArchLine", {{0, 0, 8, n - 1, 8}});
    wb->setPrintTitleRows(7, 7);

    // rows 10-12: the readings of the counters at the start and at the end of the range, under their own
    // headings
    text(*wb, 0, 10, "Показания на начало:");
    text(*wb, 0, 11, "Показания на конец:");
    std::vector<Area> first, last;
    int from = n, to = 0;
    for (int c = 0; c < n; ++c) {
        const Column& col = cols[size_t(c)];
        if (!col.reading) continue;
        text(*wb, c, 9, col.reading);
        text(*wb, c, 10, col.field);
        text(*wb, c, 11, col.field);
        wb->setNumberFormat(cell(c, 10), "0.00");
        wb->setNumberFormat(cell(c, 11), "0.00");
        first.push_back(cell(c, 10));
        last.push_back(cell(c, 11));
        from = std::min(from, c);
        to = std::max(to, c);
    }
    wb->setBold({0, 0, 9, n - 1, 9}, true);
    wb->setWrapped({0, 0, 9, n - 1, 9});
    wb->setFrame({0, from, 9, to, 11});
    wb->addName("ArchFirstLine", first);
    wb->addName("ArchLastLine", last);

    wb->fitToPageWidth();
    wb->saveXls(path);
}

const char* const kDate = "DD.MM.YYYY HH:MM";

// The daily protocol of the two-system calculators (229, 230, 234-237).
std::vector<Column> twoSystemColumns() {
    return {
        {"Дата", "WriteDay", kDate, 3900},
        {"Наработка за сутки, ч", "WorkTime", "0", 2900},
        {"Тепло за сутки, Гкал", "HEnergy<1+1T>", "0.000", 2600, "Тепло, Гкал"},
        {"Объем 1 за сутки, м3", "Volume<1+3T>", "0.00", 2600, "Объем 1, м3"},
        {"Объем 2 за сутки, м3", "Volume<2+3T>", "0.00", 2600, "Объем 2, м3"},
        {"Tпод., °C", "MainTemper<1+2T>", "0.00", 2200},
        {"Tобр., °C", "MainTemper<2+2T>", "0.00", 2200},
        {"Ошибка", "SysErr<1+1T>", "0", 1900},
    };
}

// The hourly protocol of the two-system calculators: what each hour added, temperatures and pressures.
std::vector<Column> twoSystemHourlyColumns() {
    return {
        {"Дата, час", "WriteDay", kDate, 3900},
        {"Наработка за час, ч", "WorkTime", "0", 2500},
        {"Тепло за час, Гкал", "HEnergy<1+1T>", "0.000", 2600, "Тепло, Гкал"},
        {"Объем 1 за час, м3", "Volume<1+3T>", "0.000", 2900, "Объем 1, м3"},
        {"Объем 2 за час, м3", "Volume<2+3T>", "0.000", 2900, "Объем 2, м3"},
        {"Объем 3 за час, м3", "Volume<3+3T>", "0.000", 2900, "Объем 3, м3"},
        {"Tпод., °C", "MainTemper<1+2T>", "0.00", 2200},
        {"Tобр., °C", "MainTemper<2+2T>", "0.00", 2200},
        {"Pпод., МПа", "Pressure<1+2T>", "0.000", 2300},
        {"Pобр., МПа", "Pressure<2+2T>", "0.000", 2300},
        {"Ошибка", "SysErr<1+1T>", "0", 1900},
    };
}

// The daily protocol of the one-system calculators (225, 238).
std::vector<Column> oneSystemColumns() {
    return {
        {"Дата", "WriteDay", kDate, 3900},
        {"Наработка за сутки, ч", "WorkTime", "0", 2900},
        {"Тепло за сутки, Гкал", "HEnergy1", "0.000", 2600, "Тепло, Гкал"},
        {"Объем 1 за сутки, м3", "Volume1", "0.00", 2600, "Объем 1, м3"},
        {"Объем 2 за сутки, м3", "Volume2", "0.00", 2600, "Объем 2, м3"},
        {"Tпод., °C", "MainTemper1", "0.00", 2200},
        {"Tобр., °C", "MainTemper2", "0.00", 2200},
        {"Ошибка", "SysErr1", "0", 1900},
    };
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zorbel-patterns OUTDIR\n");
        return 2;
    }
    std::string out = argv[1];
    try {
        zorbel::calc::Office office;
        office.start();
        makeProtocol(office, out + "/Vexa1P.pat", twoSystemColumns(), true);
        makeProtocol(office, out + "/Vexa1PH.pat", twoSystemHourlyColumns(), true);
        makeProtocol(office, out + "/Vexa1K.pat", oneSystemColumns(), false);
        office.stop();
        std::ofstream ini(out + "/Patterns.ini", std::ios::binary);
        ini << dbf::codec::toCp1251("[Vexa-1 П]\r\n"
                                    "Протокол учета (две системы)=Vexa1P.pat\r\n"
                                    "Часовой протокол (две системы)=Vexa1PH.pat\r\n"
                                    "[Vexa-1 K]\r\n"
                                    "Протокол учета (одна система)=Vexa1K.pat\r\n");
        if (!ini) throw std::runtime_error("cannot write " + out + "/Patterns.ini");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
