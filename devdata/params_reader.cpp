// Parameter reading: the configuration block of entry 4 into the object's single PARSDB row.
#include "devdata/reader_support.h"
#include "devdata/readers.h"
#include "devdata/tables.h"

#include <exception>

namespace devdata {

namespace {

using detail::f32At;
using detail::setFormatted;
using detail::setFormattedInt;
using detail::u16At;
using detail::u8At;

constexpr const char* kSaveErrorText = "Ошибка при сохраненнии данных параметров";

bool servesParameters(int type) {
    switch (type) {
    case 128:
    case 225:
    case 229:
    case 230:
    case 231:
    case 234:
    case 235:
    case 236:
    case 237:
        return true;
    default:
        return false;
    }
}

// The fields PARSDB keeps from a configuration block; the last three lie at tailOffset (36 in the 40-byte
// block of 229/230, 90 in the 94-byte block of 234-237).
void fillParameters(dbf::Table& t, std::span<const uint8_t> block, size_t tailOffset) {
    static const char* const kWeights[] = {"CountWeight1", "CountWeight2", "CountWeight3",
                                           "CountWeight4", "CountWeight5", "CountWeight6"};
    for (size_t i = 0; i < 6; ++i)
        setFormattedInt(t, kWeights[i], "%2d", u16At(block, 2 * i)); // unit flag in bit 15 kept as it is
    static const char* const kBytes[] = {"SystemType1", "SystemType2", "SetTemperC", "SetTemperC1",
                                         "StartDay",    "StartMonth",  "EndDay",     "EndMonth"};
    for (size_t i = 0; i < 8; ++i)
        setFormattedInt(t, kBytes[i], "%2d", u8At(block, 12 + i));
    static const char* const kFlows[] = {"MinExpense1", "MinExpense2", "MaxExpense1", "MaxExpense2"};
    for (size_t i = 0; i < 4; ++i)
        setFormatted(t, kFlows[i], "%2.2f", f32At(block, 20 + 4 * i));
    setFormattedInt(t, "DayOfReport", "%2d", u8At(block, tailOffset));
    setFormattedInt(t, "EnergyError", "%2d", u8At(block, tailOffset + 1));
    setFormattedInt(t, "FlTemperC", "%2d", u8At(block, tailOffset + 2));
}

} // namespace

bool readParameters(ReaderContext& ctx) {
    const int type = ctx.deviceType;
    polling::Protocol& proto = ctx.protocol;
    if (proto.entry(polling::kParams).requestLength == 0 || !servesParameters(type) || ctx.serial == 0)
        return false;

    dbf::Table table;
    openParamsTable(table, ctx.dataDir, &ctx.objects);

    if (!proto.sendCommand(polling::kParams, ctx.repeat, type, ctx.serial)) return false;

    try {
        detail::rewriteObjectRow(table, [&] {
            if (type >= 234 && type <= 237)
                fillParameters(table, proto.record(polling::Dest::P3), 90);
            else if (type == 229 || type == 230)
                fillParameters(table, proto.record(polling::Dest::P0), 36);
        });
        return true;
    } catch (const std::exception& e) {
        detail::cancelQuietly(table);
        ctx.observer.eventLine(kSaveErrorText);
        ctx.observer.eventLine(e.what());
        return false;
    }
}

} // namespace devdata
