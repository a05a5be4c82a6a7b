// What the simulator says a device holds: `calcsim --dump` with the device's options, as JSON.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace mervo::test {

// The first device of the dump for these device options (the endpoint option is added here), after `reads`
// archive reading sessions.
inline nlohmann::json dumpOf(const std::vector<std::string>& deviceArgs, int reads = 0) {
    std::string cmd = std::string(CALCSIM_PATH) + " --dump";
    for (const auto& a : deviceArgs)
        cmd += " '" + a + "'";
    cmd += " --udp 0";
    if (reads) cmd += " --after-reads " + std::to_string(reads);
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    if (p) ::pclose(p);
    return nlohmann::json::parse(out)["devices"][0];
}

} // namespace mervo::test
