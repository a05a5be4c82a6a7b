// The links a frame exchange runs over: a serial line (direct or through a modem), UDP and TCP.
#pragma once

#include "poll/clock.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace polling {

// Network type of an object: the NETTYPE field.
enum class NetType { Com = 0, Modem = 1, Udp = 2, Tcp = 3 };

// A failure of a port or socket while sending or receiving.
class TransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class Transport {
public:
    virtual ~Transport() = default;
    virtual NetType netType() const = 0;
    // Readable when input has arrived.
    virtual int fd() const = 0;
    // Writes the bytes (on UDP: one datagram).
    virtual void send(const uint8_t* data, size_t n) = 0;
    // Reads what has arrived without waiting; 0 when nothing has. Throws TransportError on a failure or when
    // the peer closed the link.
    virtual size_t receive(uint8_t* buf, size_t max) = 0;
    // Drops whatever has arrived and was not read.
    void discardInput();
};

// A serial port (a direct line or a modem) given as an open file descriptor; the link does not own it.
class SerialLink : public Transport {
public:
    // Puts fd into non-blocking mode.
    SerialLink(int fd, NetType type = NetType::Com);
    NetType netType() const override { return type_; }
    int fd() const override { return fd_; }
    void send(const uint8_t* data, size_t n) override;
    size_t receive(uint8_t* buf, size_t max) override;

private:
    int fd_;
    NetType type_;
};

// A UDP endpoint talking to one remote host and port.
class UdpLink : public Transport {
public:
    // Resolves host (a name or an address) and connects the socket to host:port. Throws TransportError.
    UdpLink(const std::string& host, int port);
    ~UdpLink() override;
    NetType netType() const override { return NetType::Udp; }
    int fd() const override { return fd_; }
    void send(const uint8_t* data, size_t n) override;
    size_t receive(uint8_t* buf, size_t max) override;

private:
    int fd_ = -1;
};

// A TCP client connection.
class TcpLink : public Transport {
public:
    // Connects to host:port within timeout on clock; throws TransportError on a failure, a refusal or a
    // time-out (timedOut() tells which) or when stop is requested meanwhile.
    TcpLink(const std::string& host, int port, Clock& clock, Duration timeout,
            const StopSignal* stop = nullptr);
    ~TcpLink() override;
    NetType netType() const override { return NetType::Tcp; }
    int fd() const override { return fd_; }
    void send(const uint8_t* data, size_t n) override;
    size_t receive(uint8_t* buf, size_t max) override;

private:
    int fd_ = -1;
};

// True when the last TcpLink constructor failed by its time-out rather than by an error.
class TcpConnectTimeout : public TransportError {
public:
    using TransportError::TransportError;
};

} // namespace polling
