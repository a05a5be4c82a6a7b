#include "poll/transport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace polling {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw TransportError(what + ": " + std::strerror(errno));
}

// Writes to a port or socket; a peer that went away is an error, never a SIGPIPE.
ssize_t writeSome(int fd, const uint8_t* data, size_t n) {
    ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = ::write(fd, data, n);
    return w;
}

void writeAll(int fd, const uint8_t* data, size_t n, Duration patience) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = writeSome(fd, data + done, n - done);
        if (w > 0) {
            done += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, int(patience.count())) <= 0) throw TransportError("Запись в порт не завершена");
            continue;
        }
        fail("Ошибка записи");
    }
}

addrinfo* resolve(const std::string& host, int port, int socktype) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socktype;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &res);
    if (rc != 0) throw TransportError("Неверный узел " + host + ": " + ::gai_strerror(rc));
    return res;
}

} // namespace

void Transport::discardInput() {
    uint8_t buf[512];
    try {
        while (receive(buf, sizeof buf) > 0) {
        }
    } catch (const TransportError&) {
    }
}

// ---- serial

SerialLink::SerialLink(int fd, NetType type) : fd_(fd), type_(type) {
    int fl = ::fcntl(fd_, F_GETFL);
    if (fl >= 0) ::fcntl(fd_, F_SETFL, fl | O_NONBLOCK);
}

void SerialLink::send(const uint8_t* data, size_t n) {
    writeAll(fd_, data, n, Duration(5000));
}

size_t SerialLink::receive(uint8_t* buf, size_t max) {
    for (;;) {
        ssize_t r = ::read(fd_, buf, max);
        if (r > 0) return size_t(r);
        if (r == 0) return 0;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        fail("Ошибка чтения порта");
    }
}

// ---- UDP

UdpLink::UdpLink(const std::string& host, int port) {
    addrinfo* res = resolve(host, port, SOCK_DGRAM);
    int err = 0;
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd_ < 0) {
            err = errno;
            continue;
        }
        if (::connect(fd_, a->ai_addr, a->ai_addrlen) == 0) break;
        err = errno;
        ::close(fd_);
        fd_ = -1;
    }
    ::freeaddrinfo(res);
    if (fd_ < 0) {
        errno = err;
        fail("Ошибка UDP " + host + ":" + std::to_string(port));
    }
}

UdpLink::~UdpLink() {
    if (fd_ >= 0) ::close(fd_);
}

void UdpLink::send(const uint8_t* data, size_t n) {
    for (;;) {
        ssize_t r = ::send(fd_, data, n, 0);
        if (r >= 0) return;
        if (errno == EINTR) continue;
        fail("Ошибка отправки UDP");
    }
}

size_t UdpLink::receive(uint8_t* buf, size_t max) {
    for (;;) {
        ssize_t r = ::recv(fd_, buf, max, 0);
        if (r >= 0) return size_t(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        fail("Ошибка приёма UDP");
    }
}

// ---- TCP

TcpLink::TcpLink(const std::string& host, int port, Clock& clock, Duration timeout, const StopSignal* stop) {
    addrinfo* res = resolve(host, port, SOCK_STREAM);
    std::string lastError = "нет адреса";
    bool timedOut = false;
    const TimePoint end = clock.now() + timeout;
    for (addrinfo* a = res; a && fd_ < 0; a = a->ai_next) {
        int s = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (s < 0) {
            lastError = std::strerror(errno);
            continue;
        }
        if (::connect(s, a->ai_addr, a->ai_addrlen) == 0) {
            fd_ = s;
            break;
        }
        if (errno != EINPROGRESS) {
            lastError = std::strerror(errno);
            ::close(s);
            continue;
        }
        for (;;) {
            auto left = std::chrono::duration_cast<Duration>(end - clock.now());
            if (left.count() <= 0 || (stop && stop->requested())) {
                timedOut = true;
                break;
            }
            pollfd p[2] = {{s, POLLOUT, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
            int r = clock.pollFds(p, 2, left);
            if (r < 0) {
                lastError = std::strerror(errno);
                break;
            }
            if (r > 0 && (p[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
                int soErr = 0;
                socklen_t len = sizeof soErr;
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, &soErr, &len);
                if (soErr == 0)
                    fd_ = s;
                else
                    lastError = std::strerror(soErr);
                break;
            }
        }
        if (fd_ < 0) ::close(s);
        if (timedOut) break;
    }
    ::freeaddrinfo(res);
    if (fd_ < 0) {
        if (timedOut)
            throw TcpConnectTimeout("Превышен таймаут подключения к " + host + ":" + std::to_string(port));
        throw TransportError("Ошибка подключения к " + host + ":" + std::to_string(port) + ": " + lastError);
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

TcpLink::~TcpLink() {
    if (fd_ >= 0) ::close(fd_);
}

void TcpLink::send(const uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = ::send(fd_, data + done, n - done, MSG_NOSIGNAL);
        if (w > 0) {
            done += size_t(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 5000) <= 0) throw TransportError("Запись в сокет не завершена");
            continue;
        }
        fail("Ошибка отправки TCP");
    }
}

size_t TcpLink::receive(uint8_t* buf, size_t max) {
    for (;;) {
        ssize_t r = ::recv(fd_, buf, max, 0);
        if (r > 0) return size_t(r);
        if (r == 0) throw TransportError("Соединение закрыто узлом");
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        fail("Ошибка приёма TCP");
    }
}

} // namespace polling
