// ICMP echo: the node search before an Ethernet link.
#pragma once

#include "poll/clock.h"

#include <string>

namespace polling {

enum class EchoOutcome {
    Reply,       // the node answered with the data sent
    Unreachable, // destination network or host unreachable
    TimedOut,    // no answer within the time-out
    BadHost,     // the name cannot be resolved
    Aborted,     // the stop flag ended the wait
    Refused,     // the system allows no ICMP socket to this program
};

// Sends one echo request carrying data to host and waits up to timeout for its reply.
EchoOutcome icmpEcho(const std::string& host, const std::string& data, Duration timeout, Clock& clock,
                     const StopSignal* stop);

} // namespace polling
