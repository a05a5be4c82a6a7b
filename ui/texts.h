// The texts the programs show as they were written: their lines are broken by "\n\r" (and some by "\r\n"),
// which a hint, a balloon or a message box would show as a line break plus a stray blank or empty line.
#pragma once

#include <QString>
#include <string>

namespace ui {

// The text with every "\n\r" and "\r\n" (and a lone "\r") as one "\n".
QString displayLines(const QString& text);
QString displayLines(const std::string& utf8);

} // namespace ui
