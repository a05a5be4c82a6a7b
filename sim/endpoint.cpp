#include "sim/endpoint.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
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

std::optional<Clock::time_point> earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// Waits for the descriptors until the deadline (none: without limit); false when polling failed.
bool pollUntil(pollfd* fds, nfds_t n, std::optional<Clock::time_point> deadline) {
    timespec ts{};
    if (deadline) {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*deadline - Clock::now()).count();
        ns = std::max<long long>(0, ns);
        ts = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }
    return ::ppoll(fds, n, deadline ? &ts : nullptr, nullptr) >= 0 || errno == EINTR;
}

// The transmissions of one byte stream (a TCP connection, the pseudo-terminal), waiting for their time or
// being written. They leave one after the other as on a serial line: each at its own time (the moment its
// request was read plus its latency) or, while the one before is still on the line, right after that one's
// last byte; their bytes never mix. So a late answer holds nothing back while it waits: the answer to a
// request read meanwhile goes out at once, before it, unless the late one has begun by then. An answer holds
// the line from its first due byte to its last one, burst gaps and pacing included.
class StreamOut {
public:
    enum class Outcome { Open, Dropped, Failed };

    void add(std::vector<Transmission> ts, Clock::time_point now) {
        for (auto& t : ts) {
            Clock::time_point start = now + std::chrono::milliseconds(t.latencyMs);
            // After every one that starts no later; the one on the line stays first.
            bool onLine = !queue_.empty() && (queue_.front().sent > 0 || queue_.front().start <= now);
            auto at = std::upper_bound(queue_.begin() + (onLine ? 1 : 0), queue_.end(), start,
                                       [](Clock::time_point s, const Pending& p) { return s < p.start; });
            queue_.insert(at, Pending{std::move(t), start, 0});
        }
    }

    // Writes the bytes that are due. Dropped: a transmission with a drop fault has gone out as far as it goes
    // (`dropped`: its bytes sent); Failed: writing failed (errno tells why).
    Outcome pump(int fd, Clock::time_point now, std::size_t& dropped) {
        blocked_ = false;
        while (!queue_.empty()) {
            Pending& p = queue_.front();
            if (now < p.start) return Outcome::Open;
            std::size_t n = sendLength(p.t);
            std::size_t due = p.sent;
            while (due < n && deadlineOf(p.t, p.start, due) <= now)
                ++due;
            while (p.sent < due) {
                ssize_t w = ::write(fd, p.t.bytes.data() + p.sent, due - p.sent);
                if (w > 0) {
                    p.sent += static_cast<std::size_t>(w);
                } else if (w < 0 && errno == EINTR) {
                    continue;
                } else if (w < 0 && errno == EAGAIN) {
                    blocked_ = true;
                    return Outcome::Open;
                } else {
                    return Outcome::Failed;
                }
            }
            if (p.sent < n) return Outcome::Open;
            Clock::time_point end = n ? deadlineOf(p.t, p.start, n - 1) : p.start;
            bool drop = p.t.dropAfter >= 0;
            queue_.pop_front();
            if (!queue_.empty()) queue_.front().start = std::max(queue_.front().start, end);
            if (drop) {
                dropped = n;
                return Outcome::Dropped;
            }
        }
        return Outcome::Open;
    }

    // When the next byte is due; none while nothing waits or the descriptor takes no more (see blocked()).
    std::optional<Clock::time_point> next() const {
        if (queue_.empty() || blocked_) return std::nullopt;
        const Pending& p = queue_.front();
        if (p.sent >= sendLength(p.t)) return p.start;
        return std::max(p.start, deadlineOf(p.t, p.start, p.sent));
    }
    // Bytes are due but the descriptor took no more: wait until it is writable.
    bool blocked() const { return blocked_; }
    void clear() {
        queue_.clear();
        blocked_ = false;
    }

private:
    struct Pending {
        Transmission t;
        Clock::time_point start; // the first byte's time, before pacing
        std::size_t sent;
    };
    std::deque<Pending> queue_;
    bool blocked_ = false;
};

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

void Endpoint::runUdp() {
    // Every burst of an answer is a datagram of its own, sent when its last byte would have arrived on the
    // wire. Datagrams are independent: each leaves at its own time, so the answer to a later request is sent
    // while a late answer still waits, and a late answer arrives after it.
    struct Datagram {
        Clock::time_point at;
        Bytes bytes;
        sockaddr_storage to;
        socklen_t toLength;
    };
    std::deque<Datagram> pending; // by time
    std::uint8_t buf[2048];
    for (;;) {
        pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (!pollUntil(p, 2, pending.empty() ? std::nullopt : std::optional(pending.front().at))) break;
        if (p[0].revents) break;
        if (p[1].revents) {
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n >= 0) {
                auto ts = session_->onDatagram(std::span(buf, static_cast<std::size_t>(n)),
                                               "from " + addressText(from) + ": ");
                Clock::time_point now = Clock::now();
                for (const auto& t : ts) {
                    std::size_t total = sendLength(t);
                    Clock::time_point start = now + std::chrono::milliseconds(t.latencyMs);
                    for (std::size_t a = 0; a < total;) {
                        std::size_t b = total;
                        for (const auto& [pos, ms] : t.gaps)
                            if (pos > a && pos < b) b = pos;
                        Datagram d{deadlineOf(t, start, b - 1),
                                   Bytes(t.bytes.begin() + static_cast<long>(a),
                                         t.bytes.begin() + static_cast<long>(b)),
                                   from, len};
                        auto at =
                            std::upper_bound(pending.begin(), pending.end(), d.at,
                                             [](Clock::time_point x, const Datagram& y) { return x < y.at; });
                        pending.insert(at, std::move(d));
                        a = b;
                    }
                }
            }
        }
        for (Clock::time_point now = Clock::now(); !pending.empty() && pending.front().at <= now;) {
            const Datagram& d = pending.front();
            ::sendto(fd_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&d.to),
                     d.toLength);
            pending.pop_front();
        }
    }
}

void Endpoint::runTcp() {
    int client = -1;
    std::string peer;
    StreamOut out;
    auto closeClient = [&](const std::string& why) {
        if (client < 0) return;
        ::close(client);
        client = -1;
        out.clear();
        log_.line(name_ + ": connection from " + peer + " closed: " + why);
        session_->onLineClosed(why);
    };
    auto pump = [&] {
        if (client < 0) return;
        std::size_t sent = 0;
        switch (out.pump(client, Clock::now(), sent)) {
        case StreamOut::Outcome::Open:
            break;
        case StreamOut::Outcome::Dropped:
            closeClient("dropped mid-frame after " + std::to_string(sent) + " bytes (fault)");
            break;
        case StreamOut::Outcome::Failed:
            closeClient(sysError("write"));
            break;
        }
    };
    std::uint8_t buf[4096];
    for (;;) {
        short events = static_cast<short>(POLLIN | (out.blocked() ? POLLOUT : 0));
        pollfd p[3] = {{stopFd_, POLLIN, 0}, {fd_, POLLIN, 0}, {client, events, 0}};
        if (!pollUntil(p, client >= 0 ? 3 : 2, earliest(session_->nextTimer(), out.next()))) break;
        if (p[0].revents) break;
        Clock::time_point now = Clock::now();
        auto timed = session_->onTimer(now);
        if (client >= 0) out.add(std::move(timed), now);
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
        } else if (client >= 0 && (p[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            ssize_t n = ::read(client, buf, sizeof buf);
            if (n > 0) {
                Clock::time_point at = Clock::now();
                out.add(session_->onStream(std::span(buf, static_cast<std::size_t>(n)), at), at);
            } else if (n == 0) {
                closeClient("closed by the peer");
            } else if (errno != EAGAIN && errno != EINTR) {
                closeClient(sysError("read"));
            }
        }
        pump();
    }
    closeClient("stopping");
}

void Endpoint::runPty() {
    bool open = false; // a client holds the slave side
    StreamOut out;
    std::uint8_t buf[4096];
    auto hangUp = [&](const std::string& why) {
        out.clear();
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
        short events = static_cast<short>(POLLIN | (out.blocked() ? POLLOUT : 0));
        pollfd p[2] = {{stopFd_, POLLIN, 0}, {fd_, events, 0}};
        if (!pollUntil(p, 2, earliest(session_->nextTimer(), out.next()))) break;
        if (p[0].revents) break;
        Clock::time_point now = Clock::now();
        out.add(session_->onTimer(now), now);
        if (p[1].revents & POLLIN) {
            ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) {
                Clock::time_point at = Clock::now();
                out.add(session_->onStream(std::span(buf, static_cast<std::size_t>(n)), at), at);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hangUp("line closed by the client");
                continue;
            }
        } else if (p[1].revents & (POLLHUP | POLLERR)) {
            hangUp("line closed by the client");
            continue;
        }
        // A drop fault only breaks the answer off here: the line carries on with the next one.
        std::size_t sent = 0;
        StreamOut::Outcome o;
        while ((o = out.pump(fd_, Clock::now(), sent)) == StreamOut::Outcome::Dropped) {
        }
        if (o == StreamOut::Outcome::Failed) {
            session_->onLineClosed(sysError("write"));
            out.clear();
        }
    }
}

} // namespace calcsim
