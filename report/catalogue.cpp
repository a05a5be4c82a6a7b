#include "report/catalogue.h"

#include "dbf/codec.h"
#include "devdata/settings.h"

#include <fstream>
#include <sstream>

namespace zorbel {

namespace {

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

} // namespace

std::vector<CatalogueGroup> readCatalogue(const std::string& path) {
    std::vector<CatalogueGroup> out;
    std::ifstream in(path, std::ios::binary);
    if (!in) return out;
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = dbf::codec::fromCp1251(ss.str());
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        line = trim(line);
        if (line.empty() || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            out.push_back({trim(line.substr(1, line.size() - 2)), {}});
            continue;
        }
        size_t eq = line.find('=');
        if (out.empty() || eq == std::string::npos) continue;
        out.back().reports.emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    return out;
}

std::string repStoreSection(int serial, int deviceType) {
    return "N" + std::to_string(serial) + std::to_string(deviceType);
}

std::optional<StoredChoice> readStoredChoice(const std::string& path, int serial, int deviceType) {
    devdata::IniFile ini(path);
    std::string section = repStoreSection(serial, deviceType);
    StoredChoice c;
    c.group = ini.value(section, "GROUP");
    c.report = ini.value(section, "REPORT");
    if (!c.group && !c.report && ini.keys(section).empty()) {
        // a section without keys still counts as present when its header is in the file
        std::ifstream in(path, std::ios::binary);
        std::string l;
        bool found = false;
        while (std::getline(in, l))
            if (trim(l) == "[" + section + "]") found = true;
        if (!found) return std::nullopt;
    }
    return c;
}

void storeChoice(const std::string& path, int serial, int deviceType, const std::string& group,
                 const std::string& report) {
    devdata::IniFile ini(path);
    std::string section = repStoreSection(serial, deviceType);
    ini.set(section, "GROUP", group);
    ini.set(section, "REPORT", report);
    ini.write();
}

} // namespace zorbel
