#include "devdata/settings.h"

#include "dbf/codec.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace devdata {

int Settings::familyBits(int t) const {
    if (t >= 228 && t <= 230) return par1_228;
    if (t == 225 || t == 238) return par1_225;
    if (t >= 234 && t <= 237) return par1_234;
    if (t == 128) return par1_128;
    return 0;
}

bool Settings::noDtrCheck(int t) const {
    return (familyBits(t) & kBitNoDtrCheck) != 0;
}

std::string SettingsStore::defaultPath() {
    if (const char* p = std::getenv("MERVO_REGISTRY"); p && *p) return p;
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        base = x;
    else if (const char* h = std::getenv("HOME"); h && *h)
        base = std::string(h) + "/.config";
    else
        base = "/tmp";
    return base + "/Mervo/registry.ini";
}

std::string encodeDateTimeRaw(dbf::DateTime t) {
    uint64_t bits = std::bit_cast<uint64_t>(t.toOleDays());
    std::string s;
    char b[3];
    for (int i = 0; i < 8; ++i) {
        std::snprintf(b, sizeof b, "%02X", unsigned((bits >> (8 * i)) & 0xFF));
        s += b;
    }
    return s;
}

std::optional<dbf::DateTime> decodeDateTimeRaw(const std::string& hex) {
    if (hex.size() != 16) return std::nullopt;
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) {
        unsigned v = 0;
        if (std::sscanf(hex.c_str() + 2 * i, "%2x", &v) != 1) return std::nullopt;
        bits |= uint64_t(v) << (8 * i);
    }
    double d = std::bit_cast<double>(bits);
    if (!(d > -657434.0 && d < 2958466.0)) return std::nullopt; // years 100..9999
    return dbf::DateTime::fromOleDays(d);
}

std::map<std::string, std::string> SettingsStore::read(bool& exists) const {
    std::map<std::string, std::string> values;
    std::ifstream in(path_);
    exists = bool(in);
    std::string line;
    bool inPar = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            inPar = dbf::codec::sameName(line, "[PAR]");
            continue;
        }
        auto eq = line.find('=');
        if (!inPar || eq == std::string::npos) continue;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

void SettingsStore::write(const std::map<std::string, std::string>& values) const {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p(path_);
    if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
    std::string tmp = path_ + ".new~";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out) throw dbf::Error("Не удалось записать настройки в " + path_);
        out << "[PAR]\n";
        for (const auto& [k, v] : values)
            out << k << "=" << v << "\n";
        out.flush();
        if (!out) throw dbf::Error("Не удалось записать настройки в " + path_);
    }
    if (std::rename(tmp.c_str(), path_.c_str()) != 0) {
        std::remove(tmp.c_str());
        throw dbf::Error("Не удалось записать настройки в " + path_ + ": " + std::strerror(errno));
    }
}

namespace {

std::map<std::string, std::string> toValues(const Settings& s) {
    return {{"DPath", s.dpath},
            {"DTConn", encodeDateTimeRaw(s.dtconn)},
            {"Period", std::to_string(s.period)},
            {"PeriodX", std::to_string(s.periodX)},
            {"Repeat", std::to_string(s.repeat)},
            {"ArchFilter", std::to_string(s.archFilter)},
            {"ArchType", std::to_string(s.archType)},
            {"Par1_228", std::to_string(s.par1_228)},
            {"Par1_225", std::to_string(s.par1_225)},
            {"Par1_234", std::to_string(s.par1_234)},
            {"Par1_128", std::to_string(s.par1_128)},
            {"Par2", std::to_string(s.par2)}};
}

int intOf(const std::map<std::string, std::string>& v, const char* key, int fallback) {
    auto it = v.find(key);
    if (it == v.end()) return fallback;
    char* end = nullptr;
    long n = std::strtol(it->second.c_str(), &end, 10);
    if (end == it->second.c_str()) return fallback;
    return int(n);
}

} // namespace

Settings SettingsStore::load() {
    bool exists = false;
    auto values = read(exists);
    Settings defaults;
    defaults.dtconn = dbf::DateTime::now().date().addMs(12 * 3'600'000LL);
    // write the defaults of whatever is missing
    bool missing = false;
    for (const auto& [k, v] : toValues(defaults))
        if (!values.count(k)) {
            values[k] = v;
            missing = true;
        }
    if (missing || !exists) {
        try {
            write(values);
        } catch (const dbf::Error&) {
            // a store that cannot be written: what could be read stands, defaults for the rest
        }
    }
    Settings s;
    s.dpath = values["DPath"];
    s.dtconn = decodeDateTimeRaw(values["DTConn"]).value_or(defaults.dtconn);
    s.period = intOf(values, "Period", 0);
    s.periodX = intOf(values, "PeriodX", 1);
    s.repeat = intOf(values, "Repeat", 6);
    s.archFilter = intOf(values, "ArchFilter", 3);
    s.archType = intOf(values, "ArchType", 0);
    s.par1_228 = intOf(values, "Par1_228", 7);
    s.par1_225 = intOf(values, "Par1_225", 23);
    s.par1_234 = intOf(values, "Par1_234", 23);
    s.par1_128 = intOf(values, "Par1_128", 7);
    s.par2 = intOf(values, "Par2", 0);
    // the window's spin fields keep these in range
    s.repeat = std::clamp(s.repeat, 1, 10);
    s.periodX = std::clamp(s.periodX, 1, 9999);
    return s;
}

void SettingsStore::save(const Settings& s) {
    bool exists = false;
    auto values = read(exists);
    for (const auto& [k, v] : toValues(s))
        values[k] = v;
    write(values);
}

} // namespace devdata
