// The command line of the report program, as the main program's object window builds it:
//   Zorbel.dll vrelt SERIAL KIND /R TYPE RANGE
// and the archive table it names.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zorbel {

inline constexpr const char* kLaunchToken = "vrelt";
inline constexpr const char* kDifferenceSwitch = "/R";

// Archive kinds as the list "Тип архива" orders them.
enum class ArchiveKind { Daily = 0, Hourly = 1, Monthly = 2 };

// "D", "H" or "M".
char kindLetter(ArchiveKind kind);
// The list text: "Суточный архив", "Часовой архив", "Месячный архив".
const char* kindCaption(ArchiveKind kind);
// The message when the kind has no file: "Суточный архив отсутствует." and so on.
const char* kindMissingText(ArchiveKind kind);
// The kind of the kind argument: "H" hourly, "M" monthly, anything else daily.
ArchiveKind kindFromArgument(const std::string& arg);

struct LaunchArgs {
    int serial = 0;
    ArchiveKind kind = ArchiveKind::Daily;
    bool difference = false;
    int deviceType = 0;
    int rangePreset = 0; // may lie outside 0..6: then no range item is selected
};

// What the command line asks for.
struct LaunchCheck {
    enum class Outcome {
        Run,             // args hold the launch
        EndSilently,     // wrong token or empty serial number
        ConversionError, // a number argument is not a number: message holds the conversion error
    };
    Outcome outcome = Outcome::EndSilently;
    LaunchArgs args;
    std::string message;
};

// Parses the arguments after the program name. Missing arguments count as empty ones.
LaunchCheck checkLaunch(const std::vector<std::string>& args);

// Converts a decimal argument as the program's integer conversion does; an empty text is 0. nullopt for
// anything that is not a whole number in the int range.
std::optional<int> toInt(const std::string& text);
// The conversion error for a text that is no integer.
std::string conversionErrorText(const std::string& text);

// "ARCHDB" + serial + letter + type + ".dbf"
std::string archiveFileName(int serial, ArchiveKind kind, int deviceType);

} // namespace zorbel
