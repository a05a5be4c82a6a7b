// The template catalogue "Patterns/Patterns.ini" and the last choice per device "Patterns/RepStore.ini", both
// Windows-1251 INI files beside the program.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zorbel {

inline constexpr const char* kPatternsDir = "Patterns";
inline constexpr const char* kCatalogueFile = "Patterns.ini";
inline constexpr const char* kRepStoreFile = "RepStore.ini";

struct CatalogueGroup {
    std::string name;                                         // section: the report group
    std::vector<std::pair<std::string, std::string>> reports; // template name -> file in "Patterns"
};

// The groups in file order; a missing file gives none. Keys without "=" are skipped.
std::vector<CatalogueGroup> readCatalogue(const std::string& path);

// RepStore.ini section of a device: "N" + serial + device type, e.g. "N530236".
std::string repStoreSection(int serial, int deviceType);

struct StoredChoice {
    std::optional<std::string> group, report;
};
// The stored choice; nullopt when the file has no section for the device.
std::optional<StoredChoice> readStoredChoice(const std::string& path, int serial, int deviceType);
// Writes GROUP and REPORT, keeping every other line. Throws dbf::Error when the file cannot be written.
void storeChoice(const std::string& path, int serial, int deviceType, const std::string& group,
                 const std::string& report);

} // namespace zorbel
