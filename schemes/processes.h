// The running processes of the machine seen by their executable's file name, and ending them: what the
// object window does to running report programs before it starts a new one.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace schemes {

// The processes (other than this one) whose executable's file name equals one of names without regard to
// letter case. A process matches by the file its /proc entry runs ("exe") or by the program path it was
// started with (its first argument), either given as a bare file name or as a full path.
std::vector<pid_t> processesNamed(const std::vector<std::string>& names);
// Ends every such process with SIGTERM; returns how many were sent the signal.
int terminateProcessesNamed(const std::vector<std::string>& names);

} // namespace schemes
