// The explanation of a record's error bytes shown on a double click in the archive grid.
#pragma once

#include <string>

namespace zorbel {

inline constexpr const char* kNoErrorsText = "Ошибок нет";

// Headings and lines, each begun with "\n\r" (lines also with a tab); "Ошибок нет" when no byte is set.
// Types 228-230 and 234-237 decode the device byte, then system 1 and system 2; types 225 and 238 only the
// system byte sysErr1; other types have nothing to decode.
std::string explainErrors(int deviceType, int devErr, int sysErr1, int sysErr2);

} // namespace zorbel
