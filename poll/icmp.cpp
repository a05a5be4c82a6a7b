#include "poll/icmp.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace polling {

namespace {

uint16_t inetChecksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += uint32_t(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += uint32_t(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum);
}

} // namespace

EchoOutcome icmpEcho(const std::string& host, const std::string& data, Duration timeout, Clock& clock,
                     const StopSignal* stop) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res) return EchoOutcome::BadHost;
    sockaddr_in to = *reinterpret_cast<sockaddr_in*>(res->ai_addr);
    ::freeaddrinfo(res);

    // a datagram ICMP socket where the system allows it, else a raw one (root or cap_net_raw)
    bool raw = false;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
        raw = true;
    }
    if (fd < 0) return EchoOutcome::Refused;

    const uint16_t id = uint16_t(::getpid() & 0xFFFF);
    static std::atomic<uint16_t> seqCounter{1};
    const uint16_t seq = seqCounter++;
    std::vector<uint8_t> pkt(8 + data.size());
    pkt[0] = ICMP_ECHO;
    pkt[4] = uint8_t(id >> 8);
    pkt[5] = uint8_t(id);
    pkt[6] = uint8_t(seq >> 8);
    pkt[7] = uint8_t(seq);
    std::memcpy(pkt.data() + 8, data.data(), data.size());
    uint16_t ck = inetChecksum(pkt.data(), pkt.size());
    pkt[2] = uint8_t(ck >> 8);
    pkt[3] = uint8_t(ck);
    if (::sendto(fd, pkt.data(), pkt.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        int e = errno;
        ::close(fd);
        if (e == EPERM || e == EACCES) return EchoOutcome::Refused;
        return e == ENETUNREACH || e == EHOSTUNREACH ? EchoOutcome::Unreachable : EchoOutcome::TimedOut;
    }
    const TimePoint end = clock.now() + timeout;
    EchoOutcome outcome = EchoOutcome::TimedOut;
    for (;;) {
        const TimePoint now = clock.now();
        if (now >= end) break;
        pollfd p[2] = {{fd, POLLIN, 0}, {stop ? stop->fd() : -1, POLLIN, 0}};
        int r = clock.pollFds(p, 2, std::chrono::ceil<Duration>(end - now));
        if (stop && stop->requested()) {
            outcome = EchoOutcome::Aborted;
            break;
        }
        if (r <= 0 || !(p[0].revents & POLLIN)) continue;
        uint8_t buf[1500];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EHOSTUNREACH || errno == ENETUNREACH) {
                outcome = EchoOutcome::Unreachable;
                break;
            }
            continue;
        }
        const uint8_t* icmp = buf;
        size_t len = size_t(n);
        if (raw) { // a raw socket hands over the IP header too
            size_t ihl = size_t(buf[0] & 0x0F) * 4;
            if (len < ihl + 8) continue;
            icmp += ihl;
            len -= ihl;
        }
        if (len < 8) continue;
        if (icmp[0] == ICMP_DEST_UNREACH) {
            outcome = EchoOutcome::Unreachable;
            break;
        }
        if (icmp[0] != ICMP_ECHOREPLY) continue;
        // a datagram socket rewrites the identifier; the sequence number and the data identify the reply
        if ((uint16_t(icmp[6] << 8 | icmp[7])) != seq) continue;
        if (raw && (uint16_t(icmp[4] << 8 | icmp[5])) != id) continue;
        if (len - 8 >= data.size() && std::memcmp(icmp + 8, data.data(), data.size()) == 0) {
            outcome = EchoOutcome::Reply;
            break;
        }
    }
    ::close(fd);
    return outcome;
}

} // namespace polling
