// Current-state reading: entry 2 (and, for the flow meter, entry 4) decoded into the object's single row of
// "STATEDB<type>", and the outcome of the read in the object's MAINDB row.
#include "devdata/catalogue.h"
#include "devdata/reader_support.h"
#include "devdata/readers.h"
#include "devdata/tables.h"

#include <cmath>
#include <exception>

namespace devdata {

namespace {

using detail::f32At;
using detail::setFormatted;
using detail::setFormattedInt;
using detail::u16At;
using detail::u32At;
using detail::u8At;
using polling::Dest;

constexpr const char* kSaveErrorText = "Ошибка при сохраненнии данных состояния";

// A float of a layout that replaces NaN by 0 (an infinity stays what it is).
double nanToZero(float f) {
    return std::isnan(f) ? 0.0 : double(f);
}

// Layout A of the two-system calculators: the floats, then three error bytes, then the flows and, in the
// longer reply of 234-237, the masses.
void fillTwoSystem(dbf::Table& t, std::span<const uint8_t> p, bool masses) {
    static const char* const kHead[] = {"HEnergy1",   "HEnergy2",   "TemperF1", "TemperR1",   "TemperF2",
                                        "TemperR2",   "TemperX1",   "TemperX2", "Pressure11", "Pressure21",
                                        "Pressure12", "Pressure22", "V11",      "V21",        "V31",
                                        "V12",        "V22",        "V32"};
    static const char* const kFlows[] = {"CurrV11", "CurrV21", "CurrV31", "CurrV12", "CurrV22", "CurrV32"};
    static const char* const kMasses[] = {"Weight11", "Weight21", "Weight31",
                                          "Weight12", "Weight22", "Weight32"};
    // 234-237 replace a NaN by 0; 229 and 230 pass it on, and the field is left empty
    auto value = [masses](float f) { return masses ? nanToZero(f) : double(f); };
    size_t off = 0;
    for (const char* name : kHead) {
        setFormatted(t, name, "%2.2f", value(f32At(p, off)));
        off += 4;
    }
    setFormattedInt(t, "Err1", "%2d", u8At(p, 72));
    setFormattedInt(t, "Err2", "%2d", u8At(p, 73));
    setFormattedInt(t, "HardErr", "%2d", u8At(p, 74));
    off = 75;
    for (const char* name : kFlows) {
        setFormatted(t, name, "%2.2f", value(f32At(p, off)));
        off += 4;
    }
    if (!masses) return;
    for (const char* name : kMasses) {
        setFormatted(t, name, "%2.2f", value(f32At(p, off)));
        off += 4;
    }
}

// Layout B of the one-system calculators 225 and 238.
void fillOneSystem(dbf::Table& t, std::span<const uint8_t> p) {
    const float energy = f32At(p, 0);
    if (std::isnan(energy))
        t.setString("HEnergy1", "0");
    else
        setFormatted(t, "HEnergy1", "%2.2f", energy);
    setFormatted(t, "TemperF1", "%2.2f", u16At(p, 4) / 100.0);
    setFormatted(t, "TemperR1", "%2.2f", u16At(p, 6) / 100.0);
    setFormatted(t, "TemperX1", "%2.2f", u16At(p, 8) / 100.0);
    static const char* const kFloats[] = {"V11", "V21", "V31", "Vmin", "E1", "E2"};
    size_t off = 10;
    for (const char* name : kFloats) {
        setFormatted(t, name, "%2.2f", f32At(p, off));
        off += 4;
    }
    setFormattedInt(t, "Err", "%2d", u8At(p, 34));
}

// Layout K of the four-channel water-meter duplicator.
void fillKesta(dbf::Table& t, std::span<const uint8_t> p) {
    static const char* const kVolumes[] = {"V11", "V21", "V31", "V41"};
    static const char* const kWeights[] = {"V11_Ves", "V21_Ves", "V31_Ves", "V41_Ves"};
    for (size_t c = 0; c < 4; ++c) {
        const double scale = std::pow(10.0, u8At(p, 18 + c));
        setFormatted(t, kVolumes[c], "%2.3f", u32At(p, 2 + 4 * c) / scale);
        setFormatted(t, kWeights[c], "%1.0f", 1000.0 / scale);
    }
    setFormattedInt(t, "MOD", "%1d", u8At(p, 22));
    t.setString("Err", "0");
}

// Layout O of the flow meter: the state block of entry 2 and the diameter and pulse weight of entry 4.
void fillFlowMeter(dbf::Table& t, std::span<const uint8_t> state, std::span<const uint8_t> second,
                   int serial) {
    const float diameter = f32At(second, 2);
    const float pulseWeight = f32At(second, 6);
    const long dy = std::lround(double(diameter) * 1000.0);
    const double divisor = dy < 40 ? 100.0 : dy <= 150 ? 10.0 : 1.0;
    setFormattedInt(t, "SerialNum", "%d", serial);
    setFormattedInt(t, "Dy", "%d", dy);
    setFormatted(t, "VolumeL", "%2.2f", u32At(state, 4) / divisor);
    setFormatted(t, "Flow", "%2.2f", f32At(state, 0));
    setFormatted(t, "VesOut", "%1.3f", pulseWeight);
    setFormatted(t, "TimeWork", "%2.2f", f32At(state, 8));
    setFormattedInt(t, "Err", "%d", 0);
}

// ERRCODE bits from the stored state row.
int errorBits(const dbf::Table& t, int type) {
    if (type == 225 || type == 238 || type == 128 || type == 231) return t.asInt("Err") != 0 ? 1 : 0;
    int code = 0;
    if (t.asInt("Err1") != 0) code = 1;
    if (t.asInt("Err2") != 0) code |= 2;
    if (t.asInt("HardErr") != 0) code |= 4;
    return code;
}

} // namespace

bool readCurrentState(ReaderContext& ctx) {
    const int type = ctx.deviceType;
    if (!devdata::isPolledType(type) || ctx.serial == 0) return false;

    dbf::Table table;
    openStateTable(table, type, ctx.dataDir, &ctx.objects,
                   [&ctx](const std::string& line) { ctx.observer.damagedTable(line); });

    polling::Protocol& proto = ctx.protocol;
    bool ok = proto.sendCommand(polling::kState, ctx.repeat, type, ctx.serial);
    // the flow meter's second block (diameter, pulse weight) comes with the parameter read
    if (ok && type == 231) ok = proto.sendCommand(polling::kParams, ctx.repeat, type, ctx.serial);
    if (!ok) {
        detail::writeNoConnection(ctx);
        return false;
    }

    try {
        detail::rewriteObjectRow(table, [&] {
            switch (type) {
            case 229:
            case 230:
                fillTwoSystem(table, proto.record(Dest::S0), false);
                break;
            case 234:
            case 235:
            case 236:
            case 237:
                fillTwoSystem(table, proto.record(Dest::S3), true);
                break;
            case 225:
            case 238:
                fillOneSystem(table, proto.record(Dest::S1));
                break;
            case 128:
                fillKesta(table, proto.record(Dest::S2));
                break;
            case 231:
                fillFlowMeter(table, proto.record(Dest::S4a), proto.record(Dest::S4b), ctx.serial);
                break;
            }
        });

        ctx.objects.edit();
        detail::setConnectionTime(ctx);
        ctx.objects.setString("STATE", "Норма");
        const int bits = errorBits(table, type);
        ctx.objects.setInt("ERRCODE", bits);
        ctx.objects.setBool("ERR", bits != 0);
        ctx.objects.post();
        return true;
    } catch (const std::exception& e) {
        detail::cancelQuietly(table);
        detail::cancelQuietly(ctx.objects);
        ctx.observer.eventLine(kSaveErrorText);
        ctx.observer.eventLine(e.what());
        return false;
    }
}

} // namespace devdata
