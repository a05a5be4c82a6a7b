#include "sim/layouts.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

namespace calcsim {

int Layout::find(const std::string& field) const {
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (fields[i].name == field) return static_cast<int>(i);
    return -1;
}

int encSize(Enc e) {
    switch (e) {
    case Enc::U8:
        return 1;
    case Enc::U16:
    case Enc::U16C:
        return 2;
    case Enc::F32:
    case Enc::U32:
        return 4;
    }
    return 0;
}

namespace {

double clampInt(double v, double max) {
    if (std::isnan(v)) return 0;
    v = std::round(v);
    if (v < 0) return 0;
    if (v > max) return max;
    return v;
}

void put(Bytes& out, int offset, std::uint32_t v, int size) {
    for (int i = 0; i < size; ++i)
        out.at(static_cast<std::size_t>(offset + i)) = static_cast<std::uint8_t>((v >> (8 * i)) & 0xFF);
}

// Builder for the layouts: fields follow each other unless an offset is given.
struct Builder {
    Layout l;
    int at = 0;
    Builder(std::string name, int size) {
        l.name = std::move(name);
        l.size = size;
    }
    Builder& add(const std::string& name, Enc e) {
        l.fields.push_back({name, at, e});
        at += encSize(e);
        return *this;
    }
    Builder& series(const std::string& prefix, int from, int to, Enc e) {
        for (int i = from; i <= to; ++i)
            add(prefix + std::to_string(i), e);
        return *this;
    }
    Builder& skipTo(int offset) {
        at = offset;
        return *this;
    }
    Layout done() {
        for (const auto& f : l.fields)
            if (f.offset + encSize(f.enc) > l.size)
                throw std::logic_error("layout " + l.name + ": " + f.name);
        return std::move(l);
    }
};

Layout layoutA(bool masses) {
    Builder b(masses ? "state A 123" : "state A 99", masses ? 123 : 99);
    b.add("HEnergy1", Enc::F32).add("HEnergy2", Enc::F32);
    b.add("TemperF1", Enc::F32).add("TemperR1", Enc::F32).add("TemperF2", Enc::F32).add("TemperR2", Enc::F32);
    b.add("TemperX1", Enc::F32).add("TemperX2", Enc::F32);
    b.add("Pressure11", Enc::F32)
        .add("Pressure21", Enc::F32)
        .add("Pressure12", Enc::F32)
        .add("Pressure22", Enc::F32);
    b.add("V11", Enc::F32).add("V21", Enc::F32).add("V31", Enc::F32);
    b.add("V12", Enc::F32).add("V22", Enc::F32).add("V32", Enc::F32);
    b.add("Err1", Enc::U8).add("Err2", Enc::U8).add("HardErr", Enc::U8);
    b.add("CurrV11", Enc::F32).add("CurrV21", Enc::F32).add("CurrV31", Enc::F32);
    b.add("CurrV12", Enc::F32).add("CurrV22", Enc::F32).add("CurrV32", Enc::F32);
    if (masses) {
        b.add("Weight11", Enc::F32).add("Weight21", Enc::F32).add("Weight31", Enc::F32);
        b.add("Weight12", Enc::F32).add("Weight22", Enc::F32).add("Weight32", Enc::F32);
    }
    return b.done();
}

Layout layoutB() {
    Builder b("state B", 35);
    b.add("HEnergy1", Enc::F32);
    b.add("TemperF1", Enc::U16C).add("TemperR1", Enc::U16C).add("TemperX1", Enc::U16C);
    b.add("V11", Enc::F32).add("V21", Enc::F32).add("V31", Enc::F32).add("Vmin", Enc::F32);
    b.add("E1", Enc::F32).add("E2", Enc::F32).add("Err", Enc::U8);
    return b.done();
}

Layout layoutK() {
    Builder b("state K", 25);
    b.skipTo(2).series("Counter", 1, 4, Enc::U32).series("Exp", 1, 4, Enc::U8).add("Mod", Enc::U8);
    return b.done();
}

Layout layoutO1() {
    Builder b("state O1", 14);
    b.add("Flow", Enc::F32).add("VolumeCounter", Enc::U32).add("TimeWork", Enc::F32);
    return b.done();
}

Layout layoutO2() {
    Builder b("state O2", 56);
    b.skipTo(2).add("Diameter", Enc::F32).add("PulseWeight", Enc::F32);
    return b.done();
}

Layout params(int size) {
    Builder b(size == 40 ? "parameters 40" : "parameters 94", size);
    b.series("CountWeight", 1, 6, Enc::U16);
    b.add("SystemType1", Enc::U8)
        .add("SystemType2", Enc::U8)
        .add("SetTemperC", Enc::U8)
        .add("SetTemperC1", Enc::U8);
    b.add("StartDay", Enc::U8).add("StartMonth", Enc::U8).add("EndDay", Enc::U8).add("EndMonth", Enc::U8);
    b.add("MinExpense1", Enc::F32)
        .add("MinExpense2", Enc::F32)
        .add("MaxExpense1", Enc::F32)
        .add("MaxExpense2", Enc::F32);
    b.skipTo(size == 40 ? 36 : 90)
        .add("DayOfReport", Enc::U8)
        .add("EnergyError", Enc::U8)
        .add("FlTemperC", Enc::U8);
    return b.done();
}

Layout paramsK() {
    Builder b("parameters 17", 17);
    return b.done();
}

// Error counters of the two-system records, from ErrorTime1 to ErrorDeltaTEnergy2.
void errorBlock(Builder& b) {
    b.add("ErrorTime1", Enc::U16).add("ErrorTime2", Enc::U16);
    b.add("ErrorMinExpTime1", Enc::U16).add("ErrorMinExpTime2", Enc::U16);
    b.add("ErrorMinExpEnergy1", Enc::F32).add("ErrorMinExpEnergy2", Enc::F32);
    b.add("ErrorMaxExpTime1", Enc::U16).add("ErrorMaxExpTime2", Enc::U16);
    b.add("ErrorMaxExpEnergy1", Enc::F32).add("ErrorMaxExpEnergy2", Enc::F32);
    b.add("ErrorDeltaTTime1", Enc::U16).add("ErrorDeltaTTime2", Enc::U16);
    b.add("ErrorDeltaTEnergy1", Enc::F32).add("ErrorDeltaTEnergy2", Enc::F32);
}

Layout recordP() {
    Builder b("record 160", 160);
    b.add("WorkTime", Enc::U16).add("WorkTimeErr1", Enc::U16).add("WorkTimeErr2", Enc::U16);
    b.add("HEnergy1", Enc::F32).add("HEnergy2", Enc::F32).series("Volume", 1, 6, Enc::F32);
    b.add("CurrWorkTime", Enc::U16).add("CurrHeatEnergy1", Enc::F32).add("CurrHeatEnergy2", Enc::F32);
    b.series("CurrVolume", 1, 6, Enc::F32);
    b.series("MainTemper", 1, 4, Enc::F32)
        .series("AddTemper", 1, 2, Enc::F32)
        .series("Pressure", 1, 4, Enc::F32);
    errorBlock(b);
    b.add("SysErr1", Enc::U8).add("SysErr2", Enc::U8).add("DevErr", Enc::U8);
    b.add("hour", Enc::U8).add("day", Enc::U16);
    return b.done();
}

Layout recordPM() {
    Builder b("record 216", 216);
    b.add("WorkTime", Enc::U16).add("WorkTimeErr1", Enc::U16).add("WorkTimeErr2", Enc::U16);
    b.add("HEnergy1", Enc::F32).add("HEnergy2", Enc::F32).series("Volume", 1, 6, Enc::F32);
    b.series("Weight", 1, 6, Enc::F32);
    b.add("CurrWorkTime", Enc::U16).add("CurrHeatEnergy1", Enc::F32).add("CurrHeatEnergy2", Enc::F32);
    b.series("CurrVolume", 1, 6, Enc::F32).series("CurrWeight", 1, 6, Enc::F32);
    b.series("MainTemper", 1, 4, Enc::F32)
        .series("AddTemper", 1, 2, Enc::F32)
        .series("Pressure", 1, 4, Enc::F32);
    errorBlock(b);
    b.add("ErrorPwrTime", Enc::U16).add("ErrorRevTime1", Enc::U16).add("ErrorRevTime2", Enc::U16);
    b.add("SysErr1", Enc::U8).add("SysErr2", Enc::U8).add("DevErr", Enc::U8);
    b.add("hour", Enc::U8).add("day", Enc::U16).add("RecNum", Enc::U16);
    return b.done();
}

Layout recordK() {
    Builder b("record 43", 43);
    b.add("WorkTime", Enc::U16).add("WorkTimeErr1", Enc::U16);
    b.add("HEnergy1", Enc::F32).series("Volume", 1, 3, Enc::F32).add("ErrHVolume", Enc::F32);
    b.add("ElEnergy1", Enc::F32).add("ElEnergy2", Enc::F32);
    b.add("MainTemper1", Enc::U16C).add("MainTemper2", Enc::U16C).add("AddTemper1", Enc::U16C);
    b.add("SysErr1", Enc::U8).add("ErrTime", Enc::U8).add("hour", Enc::U8).add("day", Enc::U16);
    return b.done();
}

} // namespace

double normalize(Enc e, double v) {
    switch (e) {
    case Enc::F32:
        return static_cast<double>(static_cast<float>(v));
    case Enc::U8:
        return clampInt(v, 255);
    case Enc::U16:
        return clampInt(v, 65535);
    case Enc::U16C:
        return clampInt(v * 100, 65535) / 100;
    case Enc::U32:
        return clampInt(v, 4294967295.0);
    }
    return v;
}

Bytes encode(const Layout& layout, const std::vector<double>& values) {
    Bytes out(static_cast<std::size_t>(layout.size), 0);
    for (std::size_t i = 0; i < layout.fields.size() && i < values.size(); ++i) {
        const Field& f = layout.fields[i];
        double v = normalize(f.enc, values[i]);
        switch (f.enc) {
        case Enc::F32: {
            float x = static_cast<float>(v);
            std::uint32_t bits;
            std::memcpy(&bits, &x, 4);
            put(out, f.offset, bits, 4);
            break;
        }
        case Enc::U16C:
            put(out, f.offset, static_cast<std::uint32_t>(std::lround(v * 100)), 2);
            break;
        default:
            put(out, f.offset, static_cast<std::uint32_t>(v), encSize(f.enc));
        }
    }
    return out;
}

const Layout& stateLayout(int row) {
    static const Layout a99 = layoutA(false), a123 = layoutA(true), b = layoutB(), k = layoutK(),
                        o = layoutO1();
    switch (row) {
    case 0:
        return a99;
    case 1:
    case 6:
        return b;
    case 2:
        return k;
    case 3:
    case 5:
        return a123;
    case 4:
        return o;
    }
    throw std::out_of_range("no state layout for row " + std::to_string(row));
}

const Layout* secondStateLayout(int row) {
    static const Layout o2 = layoutO2();
    return row == 4 ? &o2 : nullptr;
}

const Layout* paramLayout(int row) {
    static const Layout p40 = params(40), p94 = params(94), k = paramsK();
    switch (row) {
    case 0:
        return &p40;
    case 3:
    case 5:
        return &p94;
    case 1:
    case 6:
        return &k;
    }
    return nullptr;
}

const Layout* recordLayout(int row) {
    static const Layout p = recordP(), pm = recordPM(), k = recordK();
    switch (row) {
    case 0:
        return &p;
    case 1:
    case 6:
        return &k;
    case 3:
    case 5:
        return &pm;
    }
    return nullptr;
}

} // namespace calcsim
