// The transports of the simulator: a UDP socket (answers go to the sender), a TCP listener with one
// connection at a time, and a pseudo-terminal reached through a symbolic link. Each endpoint runs its session
// on its own thread and sends the session's transmissions with their timing (latency, burst gaps, baud pacing
// on absolute deadlines of the monotonic clock). Requests keep being read while answers wait for their time:
// a late answer delays only itself. On UDP every datagram leaves at its own time; on a byte stream (TCP, the
// pseudo-terminal) answers leave one after the other as on a serial line (see StreamOut in endpoint.cpp).
#pragma once

#include "sim/config.h"
#include "sim/log.h"
#include "sim/session.h"

#include <memory>
#include <string>

namespace calcsim {

class Endpoint {
public:
    // Opens the socket or pseudo-terminal; throws std::runtime_error when it cannot.
    Endpoint(const EndpointConfig& config, Log& log);
    ~Endpoint();
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    // "READY udp 127.0.0.1:45678", "READY tcp 127.0.0.1:45678", "READY pty /tmp/vc0 -> /dev/pts/3"
    std::string readyLine() const;
    // Serves until stopFd becomes readable.
    void run(int stopFd);

private:
    void runUdp();
    void runTcp();
    void runPty();
    void openInet();
    void openPty();

    EndpointConfig config_;
    Log& log_;
    std::unique_ptr<Session> session_;
    std::string name_;
    int fd_ = -1; // UDP socket, TCP listener or PTY master
    int stopFd_ = -1;
    std::string ptyName_;
    bool linkMade_ = false;
};

} // namespace calcsim
