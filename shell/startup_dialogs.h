// What the start-up asks the operator about the data directory, as windows: the warning of a missing drive
// and the folder choice "Выбор директории" with "Выбрать" and "Отмена".
#pragma once

#include "shell/startup.h"

#include <functional>

namespace shell {

// beforeAsking runs before each question is shown (the start-up hides its stay-on-top splash there).
DataDirQuestions startupQuestions(std::function<void()> beforeAsking = {});

} // namespace shell
