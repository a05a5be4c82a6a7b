#include "report/columns.h"

#include "devdata/catalogue.h"

namespace zorbel {

namespace {

constexpr uint16_t S1 = 1, S2 = 2, S12 = 3, NO = kNeverShown;

constexpr std::array<TFieldGrid, kFieldGridRows> kLayout0{{
    {NO, "NUM", "NUM"},
    {NO, "NUMSTATE", "NUMSTATE"},
    {S12, "Дата", "WriteDay"},
    {S12, "Время", "WriteHour"},
    {S12, "Наработка [ч]", "WorkTime"},
    {S1, "Наработка с ошб.", "WorkTimeErr1"},
    {S2, "Наработка с ошб.", "WorkTimeErr2"},
    {S1, "Тепло [Гкал]", "HEnergy1"},
    {S2, "Тепло [Гкал]", "HEnergy2"},
    {S1, "Объем 1 [m3]", "Volume1"},
    {S1, "Объем 2 [m3]", "Volume2"},
    {S1, "Объем 3 [m3]", "Volume3"},
    {S2, "Объем 4 [m3]", "Volume4"},
    {S2, "Объем 5 [m3]", "Volume5"},
    {S2, "Объем 6 [m3]", "Volume6"},
    {S1, "Tпод. [°C]", "MainTemper1"},
    {S1, "Tобр.  [°C]", "MainTemper2"},
    {S2, "Tпод. [°C]", "MainTemper3"},
    {S2, "Tобр.  [°C]", "MainTemper4"},
    {S1, "Тдоп. [°C]", "AddTemper1"},
    {S2, "Тдоп. [°C]", "AddTemper2"},
    {S1, "Давление1 [МПа]", "Pressure1"},
    {S1, "Давление2 [МПа]", "Pressure2"},
    {S2, "Давление3 [МПа]", "Pressure3"},
    {S2, "Давление4 [МПа]", "Pressure4"},
    {S1, "Ошибка системы1", "SysErr1"},
    {S2, "Ошибка системы2", "SysErr2"},
    {S12, "Ошибка устройства", "DevErr"},
    {NO, "Время работы за отч. пер.", "CurrWorkTime"},
    {NO, "Тепло за отч. пер.", "CurrHeatEnergy1"},
    {NO, "Тепло за отч. пер.", "CurrHeatEnergy2"},
    {NO, "Объем 1 за отч. пер.", "CurrVolume1"},
    {NO, "Объем 2 за отч. пер.", "CurrVolume2"},
    {NO, "Объем 3 за отч. пер.", "CurrVolume3"},
    {NO, "Объем 4 за отч. пер.", "CurrVolume4"},
    {NO, "Объем 5 за отч. пер.", "CurrVolume5"},
    {NO, "Объем 6 за отч. пер.", "CurrVolume6"},
    {NO, "Время ошибки за отч. пер.", "ErrorTime1"},
    {NO, "Время ошибки за отч. пер.", "ErrorTime2"},
    {NO, "ErrorMinExpTime1", "ErrorMinExpTime1"},
    {NO, "ErrorMinExpTime2", "ErrorMinExpTime2"},
    {NO, "ErrorMinExpEnergy1", "ErrorMinExpEnergy1"},
    {NO, "ErrorMinExpEnergy2", "ErrorMinExpEnergy2"},
    {NO, "ErrorMaxExpTime1", "ErrorMaxExpTime1"},
    {NO, "ErrorMaxExpTime2", "ErrorMaxExpTime2"},
    {NO, "ErrorMaxExpEnergy1", "ErrorMaxExpEnergy1"},
    {NO, "ErrorMaxExpEnergy2", "ErrorMaxExpEnergy2"},
    {NO, "ErrorDeltaTTime1", "ErrorDeltaTTime1"},
    {NO, "ErrorDeltaTTime2", "ErrorDeltaTTime2"},
    {NO, "ErrorDeltaTEnergy1", "ErrorDeltaTEnergy1"},
    {NO, "ErrorDeltaTEnergy2", "ErrorDeltaTEnergy2"},
    {NO, "CheckField", "CheckField"},
    {NO, "RecNum", "RecNum"},
}};

constexpr std::array<TFieldGrid, kFieldGridRows> makeLayout1() {
    std::array<TFieldGrid, kFieldGridRows> a{};
    const TFieldGrid head[] = {
        {NO, "NUM", "NUM"},
        {NO, "NUMSTATE", "NUMSTATE"},
        {S12, "Дата", "WriteDay"},
        {S12, "Время", "WriteHour"},
        {S12, "Наработка [ч]", "WorkTime"},
        {S12, "Наработка с ошб.", "WorkTimeErr1"},
        {S12, "Тепло [Гкал]", "HEnergy1"},
        {S12, "Объем 1 [m3]", "Volume1"},
        {S12, "Объем 2 [m3]", "Volume2"},
        {S12, "Объем 3 [m3]", "Volume3"},
        {S12, "Tпод. [°C]", "MainTemper1"},
        {S12, "Tобр.  [°C]", "MainTemper2"},
        {S12, "Тдоп. [°C]", "AddTemper1"},
        {S12, "Объем ГВС при низкой температуре", "ErrHVolume"},
        {S12, "Эл.энергия Тариф 1", "ElEnergy1"},
        {S12, "Эл.энергия Тариф 2", "ElEnergy2"},
        {S12, "Ошибка", "SysErr1"},
        {S12, "Время действия ошибки", "ErrTime"},
        {NO, "CheckField", "CheckField"},
        {NO, "RecNum", "RecNum"},
    };
    size_t i = 0;
    for (const auto& r : head)
        a[i++] = r;
    for (; i < a.size(); ++i)
        a[i] = {NO, "", ""};
    return a;
}

constexpr std::array<TFieldGrid, kFieldGridRows> kLayout1 = makeLayout1();

} // namespace

int gridLayoutOf(int deviceType) {
    switch (devdata::archiveLayoutKind(deviceType)) {
    case devdata::ArchiveLayoutKind::VexaK:
        return 1;
    case devdata::ArchiveLayoutKind::VexaP:
    case devdata::ArchiveLayoutKind::VexaPM:
        return 0;
    case devdata::ArchiveLayoutKind::None:
        break;
    }
    return -1;
}

const std::array<TFieldGrid, kFieldGridRows>& fieldGrid(int layout) {
    return layout == 1 ? kLayout1 : kLayout0;
}

std::vector<GridColumn> gridColumns(int deviceType, int system) {
    std::vector<GridColumn> out;
    int layout = gridLayoutOf(deviceType);
    if (layout < 0) return out;
    uint16_t bit = system == 2 ? 2 : 1;
    for (const TFieldGrid& r : fieldGrid(layout))
        if ((r.mask & bit) && !(r.mask & kNeverShown)) out.push_back({r.caption, r.field});
    return out;
}

} // namespace zorbel
