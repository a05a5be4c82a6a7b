#include "report/launch.h"

#include <cctype>
#include <charconv>

namespace zorbel {

char kindLetter(ArchiveKind kind) {
    switch (kind) {
    case ArchiveKind::Hourly:
        return 'H';
    case ArchiveKind::Monthly:
        return 'M';
    case ArchiveKind::Daily:
        break;
    }
    return 'D';
}

const char* kindCaption(ArchiveKind kind) {
    switch (kind) {
    case ArchiveKind::Hourly:
        return "Часовой архив";
    case ArchiveKind::Monthly:
        return "Месячный архив";
    case ArchiveKind::Daily:
        break;
    }
    return "Суточный архив";
}

const char* kindMissingText(ArchiveKind kind) {
    switch (kind) {
    case ArchiveKind::Hourly:
        return "Частовой архив отсутствует.";
    case ArchiveKind::Monthly:
        return "Месячный архив отсутствует.";
    case ArchiveKind::Daily:
        break;
    }
    return "Суточный архив отсутствует.";
}

ArchiveKind kindFromArgument(const std::string& arg) {
    if (arg == "H") return ArchiveKind::Hourly;
    if (arg == "M") return ArchiveKind::Monthly;
    return ArchiveKind::Daily;
}

std::optional<int> toInt(const std::string& text) {
    if (text.empty()) return 0;
    std::string t = text;
    // The conversion accepts surrounding blanks and a leading plus sign.
    while (!t.empty() && t.back() == ' ')
        t.pop_back();
    size_t b = 0;
    while (b < t.size() && t[b] == ' ')
        ++b;
    t = t.substr(b);
    if (!t.empty() && t[0] == '+') t = t.substr(1);
    if (t.empty() || t[0] == '+') return std::nullopt;
    int v = 0;
    auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, 10);
    if (ec != std::errc() || p != t.data() + t.size()) return std::nullopt;
    return v;
}

std::string conversionErrorText(const std::string& text) {
    return "'" + text + "' не является целым числом";
}

LaunchCheck checkLaunch(const std::vector<std::string>& args) {
    auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
    LaunchCheck c;
    if (arg(0) != kLaunchToken) return c;
    if (arg(1).empty()) return c;
    for (size_t i : {size_t(1), size_t(4), size_t(5)}) {
        if (!toInt(arg(i))) {
            c.outcome = LaunchCheck::Outcome::ConversionError;
            c.message = conversionErrorText(arg(i));
            return c;
        }
    }
    c.outcome = LaunchCheck::Outcome::Run;
    c.args.serial = *toInt(arg(1));
    c.args.kind = kindFromArgument(arg(2));
    c.args.difference = arg(3) == kDifferenceSwitch;
    c.args.deviceType = *toInt(arg(4));
    c.args.rangePreset = *toInt(arg(5));
    return c;
}

std::string archiveFileName(int serial, ArchiveKind kind, int deviceType) {
    return "ARCHDB" + std::to_string(serial) + kindLetter(kind) + std::to_string(deviceType) + ".dbf";
}

} // namespace zorbel
