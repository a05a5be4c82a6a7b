#include "report/errors.h"

#include "devdata/catalogue.h"
#include "devdata/error_texts.h"

#include <span>

namespace zorbel {

namespace {

// bits[b] is the line of bit b; bits beyond the list have none.
void addByte(std::string& out, int value, const std::string& heading, std::span<const char* const> bits) {
    if (value == 0) return;
    out += "\n\r" + heading + std::to_string(value);
    for (size_t b = 0; b < 8; ++b)
        if ((value >> b) & 1 && b < bits.size()) out += std::string("\n\r\t") + bits[b];
}

} // namespace

std::string explainErrors(int deviceType, int devErr, int sysErr1, int sysErr2) {
    std::string out;
    switch (devdata::archiveLayoutKind(deviceType)) {
    case devdata::ArchiveLayoutKind::VexaP:
    case devdata::ArchiveLayoutKind::VexaPM:
        addByte(out, devErr, "Ошибка устройства - E", devdata::deviceErrorTexts());
        addByte(out, sysErr1, "Ошибка системы 1 - E", devdata::twoSystemErrorTexts());
        addByte(out, sysErr2, "Ошибка системы 2 - E", devdata::twoSystemErrorTexts());
        break;
    case devdata::ArchiveLayoutKind::VexaK:
        addByte(out, sysErr1, "Ошибка  - E", devdata::oneSystemErrorTexts());
        break;
    case devdata::ArchiveLayoutKind::None:
        break;
    }
    return out.empty() ? kNoErrorsText : out;
}

} // namespace zorbel
