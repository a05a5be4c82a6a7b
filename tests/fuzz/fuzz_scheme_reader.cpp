// libFuzzer target of the scheme reader: any bytes either read as a scheme or are refused with SchemeError;
// a scheme that reads writes a text that reads back and writes the same text again.
#include "schemes/scheme.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        const schemes::Scheme s = schemes::parseSchemeText(text);
        const std::string written = schemes::schemeText(s);
        const schemes::Scheme again = schemes::parseSchemeText(written);
        if (schemes::schemeText(again) != written) __builtin_trap();
    } catch (const schemes::SchemeError&) {
    }
    return 0;
}
