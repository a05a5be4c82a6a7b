#include "sim/endpoint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace calcsim {

namespace {

std::string sysError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string addressText(const sockaddr_storage& a) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (a.ss_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&a);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

// When byte k of the transmission may leave: after the latency and the burst gaps before it, and, with
// pacing, when it would have been completely on the wire (10 bits per byte).
Clock::time_point deadlineOf(const Transmission& t, Clock::time_point start, std::size_t k) {
    Clock::time_point d = start;
    for (const auto& [pos, ms] : t.gaps)
        if (pos <= k) d += std::chrono::milliseconds(ms);
    if (t.baud > 0) d += std::chrono::nanoseconds(static_cast<long long>((k + 1) * 10.0e9 / t.baud + 0.5));
    return d;
}

std::size_t sendLength(const Transmission& t) {
    return t.dropAfter >= 0 ? std::min(t.bytes.size(), static_cast<std::size_t>(t.dropAfter))
                            : t.bytes.size();
}

} // namespace

Endpoint::Endpoint(const EndpointConfig& config, Log& log) : config_(config), log_(log) {
    if (config_.transport == Transport::Pty)
        openPty();
    else
        openInet();
    session_ = std::make_unique<Session>(config_, log_, name_);
}

Endpoint::~Endpoint() {
    if (linkMade_) {
        // Remove the link only while it still points at our device.
        char target[256];
        ssize_t n = ::readlink(config_.path.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == ptyName_)
            ::unlink(config_.path.c_str());
    }
    if (fd_ >= 0) ::close(fd_);
}

void Endpoint::openInet() {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = config_.transport == Transport::Udp ? SOCK_DGRAM : SOCK_STREAM;
    addrinfo* ai = nullptr;
    int rc = ::getaddrinfo(config_.host.c_str(), std::to_string(config_.port).c_str(), &hints, &ai);
    if (rc != 0) throw std::runtime_error("address " + config_.host + ": " + ::gai_strerror(rc));
    fd_ = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        ::freeaddrinfo(ai);
        throw std::runtime_error(sysError("socket"));
    }
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd_, ai->ai_addr, ai->ai_addrlen) < 0) {
        std::string msg = sysError("bind " + config_.describe());
        ::freeaddrinfo(ai);
        throw std::runtime_error(msg);
    }
    ::freeaddrinfo(ai);
    if (config_.transport == Transport::Tcp && ::listen(fd_, 4) < 0)
        throw std::runtime_error(sysError("listen"));
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    setNonBlocking(fd_);
    name_ = std::string(config_.transport == Transport::Udp ? "udp " : "tcp ") + addressText(a);
}

void Endpoint::openPty() {
    int slave = -1;
    char name[256];
    if (::openpty(&fd_, &slave, name, nullptr, nullptr) < 0) throw std::runtime_error(sysError("openpty"));
    ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::cfsetispeed(&t, B9600);
    ::cfsetospeed(&t, B9600);
    t.c_cflag |= CLOCAL | CREAD;
    ::tcsetattr(slave, TCSANOW, &t);
    ::close(slave); // the client opens it through the link; a closed slave shows as a hang-up on the master
    setNonBlocking(fd_);
    ptyName_ = name;
    struct stat st {};
    if (::lstat(config_.path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            throw std::runtime_error(config_.path + " exists and is not a symbolic link; not replaced");
        ::unlink(config_.path.c_str());
    }
    if (::symlink(name, config_.path.c_str()) < 0)
        throw std::runtime_error(sysError("symlink " + config_.path));
    linkMade_ = true;
    name_ = "pty " + config_.path;
}

std::string Endpoint::readyLine() const {
    if (config_.transport == Transport::Pty) return "READY pty " + config_.path + " -> " + ptyName_;
    return "READY " + name_;
}

void Endpoint::run(int stopFd) {
    stopFd_ = stopFd;
    switch (config_.transport) {
    case Transport::Udp:
        runUdp();
        break;
    case Transport::Tcp:
        runTcp();
        break;
    case Transport::Pty:
        runPty();
        break;
    }
}

bool Endpoint::waitUntil(Clock::time_point deadline) {
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) return true;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        pollfd p{stopFd_, POLLIN, 0};
        if (::ppoll(&p, 1, &ts, nullptr) > 0) return false;
    }
}

bool Endpoint::sendStream(int fd, const Transmission& t) {
    std::size_t n = sendLength(t);
    Clock::time_point start = Clock::now() + std::chrono::milliseconds(t.latencyMs);
    std::size_t k = 0;
    while (k < n) {
        if (!waitUntil(deadlineOf(t, start, k))) return false;
        auto now = Clock::now();
        std::size_t j = k + 1;
        while (j < n && deadlineOf(t, start, j) <= now)
            ++j;
        while (k < j) {
            ssize_t w = ::write(fd, t.bytes.data() + k, j - k);
            if (w > 0) {
                k += static_cast<std::size_t>(w);
            } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p[2] = {{fd, POLLOUT, 0}, {stopFd_, POLLIN, 0}};
                ::poll(p, 2, 100);
                if (p[1].revents) return false;
            } else {
                session_->onLineClosed(sysError("write"));
                return false;
            }
        }
    }
    return t.dropAfter < 0;
}

void Endpoint::runUdp() {
    std::uint8_t buf[2048];
    for (;;) {
        pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) break;
        if (p[0].revents) break;
        if (!p[1].revents) continue;
        sockaddr_storage from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) continue;
        auto ts = session_->onDatagram(std::span(buf, static_cast<std::size_t>(n)),
                                       "from " + addressText(from) + ": ");
        for (const auto& t : ts) {
            // Every burst is a datagram of its own, sent when its last byte would have arrived on the wire.
            std::size_t total = sendLength(t);
            Clock::time_point start = Clock::now() + std::chrono::milliseconds(t.latencyMs);
            std::size_t a = 0;
            while (a < total) {
                std::size_t b = total;
                for (const auto& [pos, ms] : t.gaps)
                    if (pos > a && pos < b) b = pos;
                if (!waitUntil(deadlineOf(t, start, b - 1))) return;
                ::sendto(fd_, t.bytes.data() + a, b - a, 0, reinterpret_cast<sockaddr*>(&from), len);
                a = b;
            }
        }
    }
}

void Endpoint::runTcp() {
    int client = -1;
    std::string peer;
    auto closeClient = [&](const std::string& why) {
        if (client < 0) return;
        ::close(client);
        client = -1;
        log_.line(name_ + ": connection from " + peer + " closed: " + why);
        session_->onLineClosed(why);
    };
    auto send = [&](std::vector<Transmission> ts) {
        for (const auto& t : ts) {
            if (client < 0) return;
            if (!sendStream(client, t)) {
                if (t.dropAfter >= 0)
                    closeClient("dropped mid-frame after " + std::to_string(sendLength(t)) +
                                " bytes (fault)");
                else
                    closeClient("write failed or stopping");
                return;
            }
        }
    };
    std::uint8_t buf[4096];
    for (;;) {
        pollfd p[3] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}, {client, POLLIN, 0}};
        int timeout = -1;
        if (auto t = session_->nextTimer()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*t - Clock::now()).count() + 1;
            timeout = static_cast<int>(std::max<long long>(0, ms));
        }
        if (::poll(p, client >= 0 ? 3 : 2, timeout) < 0 && errno != EINTR) break;
        if (p[0].revents) break;
        send(session_->onTimer(Clock::now()));
        if (p[1].revents & POLLIN) {
            sockaddr_storage a{};
            socklen_t len = sizeof a;
            int c = ::accept4(fd_, reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (c >= 0) {
                closeClient("a new connection replaces it");
                client = c;
                peer = addressText(a);
                int one = 1;
                ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                log_.line(name_ + ": connection from " + peer);
            }
            continue;
        }
        if (client >= 0 && (p[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::read(client, buf, sizeof buf);
            if (n > 0)
                send(session_->onStream(std::span(buf, static_cast<std::size_t>(n)), Clock::now()));
            else if (n == 0)
                closeClient("closed by the peer");
            else if (errno != EAGAIN && errno != EINTR)
                closeClient(sysError("read"));
        }
    }
    closeClient("stopping");
}

void Endpoint::runPty() {
    bool open = false; // a client holds the slave side
    std::uint8_t buf[4096];
    auto hangUp = [&](const std::string& why) {
        if (!open) return;
        open = false;
        log_.line(name_ + ": " + why);
        session_->onLineClosed(why);
        // What was sent but not read stays in the slave's input queue; the next client must not get it.
        int slave = ::open(ptyName_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (slave >= 0) {
            ::tcflush(slave, TCIOFLUSH);
            ::close(slave);
        }
        ::tcflush(fd_, TCIOFLUSH);
    };
    auto send = [&](std::vector<Transmission> ts) {
        for (const auto& t : ts)
            if (!sendStream(fd_, t)) return;
    };
    for (;;) {
        if (!open) {
            // With no client the master reports a hang-up at once: look again every 20 ms.
            pollfd s{stopFd_, POLLIN, 0};
            if (::poll(&s, 1, 0) > 0) break;
            pollfd m{fd_, POLLIN, 0};
            ::poll(&m, 1, 0);
            if (m.revents & POLLHUP && !(m.revents & POLLIN)) {
                if (::poll(&s, 1, 20) > 0) break;
                continue;
            }
            open = true;
            log_.line(name_ + ": line opened by a client");
        }
        pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        int timeout = -1;
        if (auto t = session_->nextTimer()) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*t - Clock::now()).count() + 1;
            timeout = static_cast<int>(std::max<long long>(0, ms));
        }
        if (::poll(p, 2, timeout) < 0 && errno != EINTR) break;
        if (p[0].revents) break;
        send(session_->onTimer(Clock::now()));
        if (p[1].revents & POLLIN) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                send(session_->onStream(std::span(buf, static_cast<std::size_t>(n)), Clock::now()));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            hangUp("line closed by the client");
        } else if (p[1].revents & (POLLHUP | POLLERR)) {
            hangUp("line closed by the client");
        }
    }
}

} // namespace calcsim
