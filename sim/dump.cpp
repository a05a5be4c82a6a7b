#include "sim/dump.h"

#include "sim/device.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstring>

namespace calcsim {

using nlohmann::ordered_json;

namespace {

ordered_json number(Enc e, double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
    if (e == Enc::F32 || e == Enc::U16C) return v;
    return static_cast<std::int64_t>(v);
}

ordered_json fields(const Layout& l, const std::vector<double>& v,
                    ordered_json into = ordered_json::object()) {
    for (std::size_t i = 0; i < l.fields.size(); ++i)
        into[l.fields[i].name] = number(l.fields[i].enc, v[i]);
    return into;
}

// Values of the named fields read back from a block the device holds as bytes (the configuration block, which
// the parameter-write command may replace).
std::vector<double> decodeBlock(const Layout& l, const Bytes& b) {
    std::vector<double> v;
    for (const auto& f : l.fields) {
        std::uint32_t x = 0;
        for (int i = encSize(f.enc) - 1; i >= 0; --i)
            x = (x << 8) | b.at(static_cast<std::size_t>(f.offset + i));
        if (f.enc == Enc::F32) {
            float fl;
            static_assert(sizeof fl == sizeof x);
            std::memcpy(&fl, &x, 4);
            v.push_back(fl);
        } else if (f.enc == Enc::U16C) {
            v.push_back(x / 100.0);
        } else {
            v.push_back(x);
        }
    }
    return v;
}

ordered_json deviceJson(const EndpointConfig& e, long afterReads) {
    Device d(e.device);
    for (long i = 0; i < afterReads; ++i)
        d.endArchiveSession();
    ordered_json j;
    j["endpoint"] = e.describe();
    j["type"] = d.type();
    j["serial"] = d.serial();
    j["row"] = d.row();
    j["ident_type"] = d.identType();
    j["clock"] = formatDateTime(d.initialClock());
    ordered_json state = fields(d.stateLayout(), d.stateValues());
    if (const Layout* l2 = d.secondStateLayout()) state = fields(*l2, d.secondStateValues(), state);
    j["state"] = state;
    if (const Layout* p = d.paramLayout()) {
        ordered_json params = fields(*p, decodeBlock(*p, d.paramBlock()));
        params["raw"] = hex(d.paramBlock(), 1000);
        j["params"] = params;
    } else {
        j["params"] = nullptr;
    }
    ordered_json archives = ordered_json::object();
    const Layout* rl = d.recordLayout();
    for (int k = 0; k < 3; ++k) {
        Kind kind = static_cast<Kind>(k);
        ordered_json a;
        a["depth"] = d.depth(kind);
        a["pointer"] = d.pointer(kind);
        a["filled"] = d.filled(kind);
        ordered_json records = ordered_json::array();
        for (int slot = 0; rl && slot < d.depth(kind); ++slot) {
            auto v = d.record(kind, slot);
            if (!v) continue;
            ordered_json r;
            r["slot"] = slot;
            int day = static_cast<int>((*v)[static_cast<std::size_t>(rl->find("day"))]);
            int hour = static_cast<int>((*v)[static_cast<std::size_t>(rl->find("hour"))]);
            r["time"] = formatDateTime(
                fromSeconds(toSeconds({1999, 12, 31, 0, 0, 0}) + day * 86400LL + hour * 3600LL));
            records.push_back(fields(*rl, *v, r));
        }
        a["records"] = records;
        archives[kKindNames[k]] = a;
    }
    j["archives"] = archives;
    return j;
}

} // namespace

std::string dumpJson(const Options& options) {
    ordered_json devices = ordered_json::array();
    for (const auto& e : options.endpoints)
        devices.push_back(deviceJson(e, options.afterReads));
    ordered_json out;
    out["devices"] = devices;
    return out.dump(1);
}

} // namespace calcsim
