// The --dump output: what every configured device holds, as JSON.
#pragma once

#include "sim/config.h"

#include <string>

namespace calcsim {

// One object {"devices": [...]} for the endpoints, their models taken after `afterReads` archive reading
// sessions.
std::string dumpJson(const Options& options);

} // namespace calcsim
