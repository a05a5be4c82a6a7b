// Device frame protocol: frames, command table, exchange rules, retries and the protocol steps, over real
// links (a socket pair standing for a serial line, UDP and TCP on loopback) with a scripted peer.
#include "dbf/types.h"
#include "poll/protocol.h"

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace polling;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes frame(Bytes head) {
    head.push_back(frameChecksum(head.data(), head.size()));
    return head;
}

// A reply: bursts of bytes, each sent after its delay.
struct Burst {
    int delayMs = 0;
    Bytes bytes;
};
using Script = std::function<std::vector<Burst>(const Bytes& request)>;

// The device end of a serial line: reads what the program writes, answers by script.
class SerialPeer {
public:
    explicit SerialPeer(Script script) : script_(std::move(script)) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
            throw std::runtime_error("socketpair");
        programFd_ = sv[0];
        peerFd_ = sv[1];
        thread_ = std::thread([this] { run(); });
    }
    ~SerialPeer() {
        stop_ = true;
        ::shutdown(peerFd_, SHUT_RDWR);
        thread_.join();
        ::close(peerFd_);
        if (programFd_ >= 0) ::close(programFd_);
    }
    int programFd() const { return programFd_; }
    // Everything the program sent, in order.
    Bytes seen() {
        std::lock_guard<std::mutex> g(m_);
        return seen_;
    }
    int requests() const { return requests_; }
    void hangUp() { ::shutdown(peerFd_, SHUT_RDWR); }

private:
    void run() {
        Bytes pending;
        uint8_t buf[512];
        while (!stop_) {
            ssize_t n = ::read(peerFd_, buf, sizeof buf);
            if (n <= 0) return;
            {
                std::lock_guard<std::mutex> g(m_);
                seen_.insert(seen_.end(), buf, buf + n);
            }
            pending.insert(pending.end(), buf, buf + n);
            // a frame is complete when its length byte is reached (wake-up zeros in front are skipped)
            while (!pending.empty() && pending[0] == 0)
                pending.erase(pending.begin());
            if (pending.empty() || pending.size() < pending[0]) continue;
            Bytes req(pending.begin(), pending.begin() + pending[0]);
            pending.erase(pending.begin(), pending.begin() + pending[0]);
            ++requests_;
            for (const Burst& b : script_(req)) {
                if (b.delayMs) std::this_thread::sleep_for(std::chrono::milliseconds(b.delayMs));
                if (::send(peerFd_, b.bytes.data(), b.bytes.size(), MSG_NOSIGNAL) < 0) return;
            }
        }
    }

    Script script_;
    int programFd_ = -1, peerFd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::mutex m_;
    Bytes seen_;
};

// The answer a well-behaved device gives: its header repeated, payload of the right length.
Bytes answer(const Bytes& req, uint8_t length, uint8_t fill = 0x11) {
    Bytes r(length - 1, fill);
    r[0] = length;
    std::copy(req.begin() + 1, req.begin() + 5, r.begin() + 1);
    return frame(r);
}

struct Fixture {
    VirtualClock clock{Duration(60)};
    StopSignal stop;
    Protocol proto{clock, stop};
};

} // namespace

TEST(Frames, ChecksumMakesTheFrameAddUpToZero) {
    const Bytes ident = {0x06, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(frameChecksum(ident.data(), ident.size()), 0xFA);
    Bytes f = frame({0x08, 0xEC, 0x12, 0x02, 0x03, 0x34, 0x85});
    EXPECT_TRUE(checksumOk(f.data(), f.size()));
    f[3] ^= 1;
    EXPECT_FALSE(checksumOk(f.data(), f.size()));
    EXPECT_EQ(hexBytes(ident.data(), 3), "06 00 00");
}

TEST(CommandTable, RowsAndRecordsAgree) {
    // every row identifies with 6/6; a destination record holds exactly the payload of its response
    for (int row = 0; row < kCommandRows; ++row) {
        EXPECT_EQ(kCommandTable[row][0].requestLength, 6);
        EXPECT_EQ(kCommandTable[row][0].responseLength, 6);
        for (int e = 0; e < kCommandEntries; ++e) {
            const CommandEntry& c = kCommandTable[row][e];
            EXPECT_EQ(c.reserved, 0);
            EXPECT_EQ(c.requestLength == 0, c.responseLength == 0) << row << "/" << e;
            if (c.dest != Dest::None && e != 3) {
                EXPECT_EQ(destSize(c.dest), c.responseLength - 6u) << row << "/" << e;
            }
        }
    }
    struct Spot {
        int row, entry, code, req, resp;
        Dest dest;
    } spots[] = {
        {0, 2, 0x01, 6, 105, Dest::S0}, {1, 2, 0x01, 6, 41, Dest::S1},     {2, 2, 0x01, 6, 31, Dest::S2},
        {3, 2, 0x01, 6, 129, Dest::S3}, {4, 2, 0x06, 6, 20, Dest::S4a},    {4, 4, 0x05, 6, 62, Dest::S4b},
        {0, 4, 0x05, 6, 46, Dest::P0},  {5, 4, 0x05, 6, 100, Dest::P3},    {0, 5, 0x15, 6, 10, Dest::None},
        {1, 5, 0x15, 6, 9, Dest::None}, {3, 5, 0x15, 6, 10, Dest::None},   {5, 5, 0x15, 6, 12, Dest::None},
        {0, 7, 0x03, 8, 166, Dest::A0}, {6, 7, 0x03, 8, 49, Dest::A1},     {5, 7, 0x03, 8, 222, Dest::A3},
        {0, 8, 0xFE, 6, 6, Dest::None}, {1, 8, 0x00, 0, 0, Dest::None},    {0, 9, 0x0B, 11, 6, Dest::None},
        {2, 9, 0x0B, 0, 0, Dest::None}, {6, 12, 0x0D, 15, 14, Dest::None}, {3, 14, 0x0C, 8, 40, Dest::None},
        {0, 3, 0x04, 46, 7, Dest::P0},  {1, 1, 0xF0, 10, 6, Dest::None},
    };
    for (const Spot& s : spots) {
        const CommandEntry& c = kCommandTable[s.row][s.entry];
        SCOPED_TRACE(std::to_string(s.row) + "/" + std::to_string(s.entry));
        EXPECT_EQ(c.code, s.code);
        EXPECT_EQ(c.requestLength, s.req);
        EXPECT_EQ(c.responseLength, s.resp);
        EXPECT_EQ(c.dest, s.dest);
    }
    struct TypeRow {
        int type, row;
    } rows[] = {{229, 0}, {230, 0}, {225, 1}, {128, 2}, {234, 3}, {235, 3},
                {231, 4}, {236, 5}, {237, 5}, {238, 6}, {1, -1}};
    for (auto& r : rows)
        EXPECT_EQ(commandRowOf(r.type), r.row) << r.type;
}

TEST(Protocol, IdentificationRequestAndAnswer) {
    struct Case {
        int answeredType;
        bool registeredAs231;
        int expectType;
    } cases[] = {{236, false, 236}, {230, true, 231}, {230, false, 230}};
    for (const Case& c : cases) {
        SerialPeer peer([&](const Bytes&) {
            return std::vector<Burst>{{0, frame({0x06, uint8_t(c.answeredType), 0x12, 0x02, 0x00})}};
        });
        Fixture f;
        SerialLink link(peer.programFd());
        f.proto.setTransport(&link);
        auto id = f.proto.identifyDevice(c.registeredAs231, 3);
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(id->deviceType, c.expectType);
        EXPECT_EQ(id->serial, 0x0212);
        EXPECT_EQ(hexBytes(peer.seen().data(), peer.seen().size()), "06 00 00 00 00 FA");
    }
}

TEST(Protocol, ClockPayloadAtMidnightOfTheNewYear2000) {
    SerialPeer peer([](const Bytes& req) { return std::vector<Burst>{{0, answer(req, 6)}}; });
    Fixture f;
    SerialLink link(peer.programFd());
    f.proto.setTransport(&link);
    f.proto.setRow(commandRowOf(236));
    ASSERT_TRUE(f.proto.setDeviceClock(236, 530, 3, dbf::DateTime::fromParts(2000, 1, 1)));
    Bytes sent = peer.seen();
    ASSERT_EQ(sent.size(), 11u);
    EXPECT_EQ(hexBytes(sent.data(), 10), "0B EC 12 02 0B 00 00 01 01 00");
    EXPECT_TRUE(checksumOk(sent.data(), sent.size()));
    // 17:45 on 9 March 2026: 1065 minutes
    ASSERT_TRUE(f.proto.setDeviceClock(236, 530, 3, dbf::DateTime::fromParts(2026, 3, 9, 17, 45, 59)));
    sent = peer.seen();
    EXPECT_EQ(hexBytes(sent.data() + 11 + 5, 5), "29 04 09 03 1A");
    // 238 too; not for serial 0, not without entry 9 in the row
    f.proto.setRow(commandRowOf(238));
    EXPECT_TRUE(f.proto.setDeviceClock(238, 5, 3, dbf::DateTime::fromParts(2000, 1, 1)));
    f.proto.setRow(commandRowOf(236));
    EXPECT_FALSE(f.proto.setDeviceClock(236, 0, 3, dbf::DateTime::fromParts(2000, 1, 1)));
    f.proto.setRow(commandRowOf(128));
    EXPECT_FALSE(f.proto.setDeviceClock(128, 5, 3, dbf::DateTime::fromParts(2000, 1, 1)));
    EXPECT_EQ(peer.requests(), 3);
}

TEST(Protocol, EntryWithoutLengthsSucceedsWithoutTraffic) {
    SerialPeer peer([](const Bytes& req) { return std::vector<Burst>{{0, answer(req, 6)}}; });
    Fixture f;
    SerialLink link(peer.programFd());
    f.proto.setTransport(&link);
    f.proto.setRow(commandRowOf(128));
    auto s2 = f.proto.record(Dest::S2);
    std::fill(s2.begin(), s2.end(), 0xAA);
    EXPECT_TRUE(f.proto.sendCommand(kArchivePointers, 6, 128, 77));
    EXPECT_TRUE(f.proto.sendCommand(kArchiveRecord, 6, 128, 77));
    EXPECT_EQ(peer.requests(), 0);
    EXPECT_TRUE(std::all_of(s2.begin(), s2.end(), [](uint8_t b) { return b == 0xAA; }));
}

TEST(Protocol, PayloadReachesTheDestinationRecord) {
    SerialPeer peer([](const Bytes& req) {
        Bytes r(128, 0);
        r[0] = 129;
        std::copy(req.begin() + 1, req.begin() + 5, r.begin() + 1);
        for (int i = 5; i < 128; ++i)
            r[i] = uint8_t(i - 5);
        return std::vector<Burst>{{0, frame(r)}};
    });
    Fixture f;
    SerialLink link(peer.programFd());
    f.proto.setTransport(&link);
    f.proto.setRow(commandRowOf(236));
    ASSERT_TRUE(f.proto.sendCommand(kState, 3, 236, 530));
    auto s3 = f.proto.record(Dest::S3);
    ASSERT_EQ(s3.size(), 123u);
    for (size_t i = 0; i < s3.size(); ++i)
        ASSERT_EQ(s3[i], uint8_t(i));
    EXPECT_EQ(f.proto.response().size(), 129u);
}

// Replies that must fail every attempt, and ones that must pass.
TEST(Protocol, ReplyChecks) {
    struct Case {
        const char* what;
        std::function<Bytes(const Bytes&)> reply;
        bool ok;
    } cases[] = {
        {"right", [](const Bytes& q) { return answer(q, 6); }, true},
        {"wrong checksum",
         [](const Bytes& q) {
             Bytes r = answer(q, 6);
             r.back() ^= 0x55;
             return r;
         },
         false},
        {"other serial",
         [](const Bytes& q) {
             Bytes r(q.begin(), q.begin() + 5);
             r[0] = 6;
             r[2] ^= 1;
             return frame(r);
         },
         false},
        {"byte 4 zero with any header",
         [](const Bytes&) {
             return frame({0x06, 0x01, 0x02, 0x03, 0x00});
         },
         true},
        {"wrong length", [](const Bytes& q) { return answer(q, 7); }, false},
        {"length byte disagrees",
         [](const Bytes& q) {
             Bytes r = answer(q, 6);
             r[0] = 5;
             return r;
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SerialPeer peer([&](const Bytes& q) { return std::vector<Burst>{{0, c.reply(q)}}; });
        Fixture f;
        SerialLink link(peer.programFd());
        f.proto.setTransport(&link);
        f.proto.setRow(commandRowOf(236));
        EXPECT_EQ(f.proto.sendCommand(kArchiveEnd, 4, 236, 530), c.ok);
        EXPECT_EQ(peer.requests(), c.ok ? 1 : 4); // a failing reply fails every attempt
        if (!c.ok && std::string(c.what) == "wrong length") {
            // a reply of any other length is never complete: each attempt waits out the silence
            EXPECT_GE(f.clock.elapsed(), 4 * kSilenceTimeout);
            EXPECT_EQ(f.proto.exchangeState(), ExchangeState::TimedOut);
        }
    }
}

TEST(Protocol, CheckReplyLooksAtTheResponseBuffer) {
    // a record that arrived but was refused for its contents still passes; an empty buffer does not
    SerialPeer peer([](const Bytes& q) { return std::vector<Burst>{{0, answer(q, 222)}}; });
    Fixture f;
    SerialLink link(peer.programFd());
    f.proto.setTransport(&link);
    f.proto.setRow(commandRowOf(236));
    f.proto.prepareRequest(kArchiveRecord);
    f.proto.request()[5] = 0x10;
    f.proto.request()[6] = 0x80;
    ASSERT_TRUE(f.proto.sendCommand(kArchiveRecord, 1, 236, 530));
    EXPECT_EQ(hexBytes(peer.seen().data(), 7), "08 EC 12 02 03 10 80"); // caller's payload kept
    EXPECT_TRUE(f.proto.checkReply(kArchiveRecord));
    EXPECT_FALSE(f.proto.checkReply(kState));
}

TEST(Protocol, BurstsWithinTheSilenceCompleteAndAGapTooLongDoesNot) {
    SystemClock clock;
    StopSignal stop;
    for (int gap : {300, 2300}) {
        SerialPeer peer([&](const Bytes& q) {
            Bytes r = answer(q, 41);
            return std::vector<Burst>{{0, Bytes(r.begin(), r.begin() + 20)},
                                      {gap, Bytes(r.begin() + 20, r.end())}};
        });
        Protocol proto(clock, stop);
        SerialLink link(peer.programFd());
        proto.setTransport(&link);
        proto.setRow(commandRowOf(225));
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(proto.sendCommand(kState, 1, 225, 311), gap < 2000) << gap;
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
        if (gap > 2000) {
            // the real 2000 ms of silence after the first burst
            EXPECT_GE(ms.count(), 2000);
            EXPECT_LT(ms.count(), 2300);
        }
    }
}

TEST(Protocol, StopFlagEndsAWaitAtOnce) {
    SerialPeer peer([](const Bytes&) { return std::vector<Burst>{}; }); // silent device
    SystemClock clock;
    StopSignal stop;
    Protocol proto(clock, stop);
    SerialLink link(peer.programFd());
    proto.setTransport(&link);
    proto.setRow(0);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        stop.request();
    });
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(proto.sendCommand(kIdentify, 6, 229, 1));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
    stopper.join();
    EXPECT_LT(ms.count(), 600);
    EXPECT_EQ(peer.requests(), 1);
    EXPECT_EQ(proto.exchangeState(), ExchangeState::Waiting);
}

TEST(Protocol, TransportErrorEndsTheAttemptAfterAPause) {
    SerialPeer peer([](const Bytes&) { return std::vector<Burst>{}; });
    peer.hangUp();
    Fixture f;
    SerialLink link(peer.programFd());
    f.proto.setTransport(&link);
    EXPECT_FALSE(f.proto.sendCommand(kIdentify, 3, 236, 1));
    // three attempts, each ended by the error and a 100 ms pause, none by a 2000 ms time-out
    EXPECT_GE(f.clock.elapsed(), 3 * kTransportErrorPause);
    EXPECT_LT(f.clock.elapsed(), kSilenceTimeout);
}

TEST(Protocol, WakeUpByteOnASerialLine) {
    struct Case {
        int type;
        const char* start;
    } cases[] = {{229, "00 06 E5"}, {230, "00 06 E6"}, {231, "06 E6"}, {236, "06 EC"}};
    // a 231 is addressed as 230 but takes no wake-up byte
    for (const Case& c : cases) {
        SerialPeer peer([](const Bytes& q) { return std::vector<Burst>{{0, answer(q, 6)}}; });
        Fixture f;
        SerialLink link(peer.programFd());
        f.proto.setTransport(&link);
        // a few attempts: a loaded machine may keep the peer from answering within the first one
        ASSERT_TRUE(f.proto.sendCommand(kIdentify, 3, c.type, 1)) << c.type;
        Bytes s = peer.seen();
        const size_t n = std::string(c.start).size() / 3 + 1;
        ASSERT_GE(s.size(), n) << c.type;
        EXPECT_EQ(hexBytes(s.data(), n), c.start) << c.type;
    }
}

namespace {

// A UDP device on loopback: records datagrams, answers the frame in the last one.
struct UdpPeer {
    int fd = -1;
    int port = 0;
    std::thread thread;
    std::mutex m;
    std::vector<Bytes> datagrams;
    std::atomic<bool> stop{false};

    UdpPeer() {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        timeval tv{0, 100000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        thread = std::thread([this] {
            uint8_t buf[512];
            while (!stop) {
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
                if (n <= 0) continue;
                Bytes d(buf, buf + n);
                {
                    std::lock_guard<std::mutex> g(m);
                    datagrams.push_back(d);
                }
                size_t at = 0;
                while (at < d.size() && d[at] == 0)
                    ++at;
                if (at == d.size()) continue; // the wake-up byte alone gets no answer
                Bytes q(d.begin() + long(at), d.end());
                Bytes r = answer(q, 6);
                ::sendto(fd, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
            }
        });
    }
    ~UdpPeer() {
        stop = true;
        thread.join();
        ::close(fd);
    }
};

} // namespace

TEST(Protocol, UdpSendsTheWakeUpAsADatagramOfItsOwn) {
    for (int type : {229, 236}) {
        UdpPeer peer;
        Fixture f;
        UdpLink link("127.0.0.1", peer.port);
        f.proto.setTransport(&link);
        ASSERT_TRUE(f.proto.sendCommand(kIdentify, 1, type, 1)) << type;
        std::lock_guard<std::mutex> g(peer.m);
        if (type == 229) {
            ASSERT_EQ(peer.datagrams.size(), 2u);
            EXPECT_EQ(hexBytes(peer.datagrams[0].data(), peer.datagrams[0].size()), "00");
            EXPECT_EQ(hexBytes(peer.datagrams[1].data(), peer.datagrams[1].size()), "00 06 E5 01 00 00 14");
        } else {
            ASSERT_EQ(peer.datagrams.size(), 1u);
            EXPECT_EQ(hexBytes(peer.datagrams[0].data(), peer.datagrams[0].size()), "06 EC 01 00 00 0D");
        }
    }
}

TEST(Protocol, TcpSkipsLeadingZerosAndDropsWhatFollowsTheFrame) {
    int ls = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(ls, reinterpret_cast<sockaddr*>(&a), &len);
    ::listen(ls, 1);
    std::thread device([&] {
        int c = ::accept(ls, nullptr, nullptr);
        uint8_t buf[64];
        for (int i = 0; i < 2; ++i) {
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n < 6) break;
            Bytes q(buf, buf + n);
            EXPECT_NE(q[0], 0) << "no wake-up byte on TCP";
            Bytes r = {0, 0};
            Bytes f = answer(q, 6);
            r.insert(r.end(), f.begin(), f.end());
            r.push_back(0x77); // trailing junk
            ::send(c, r.data(), r.size(), MSG_NOSIGNAL);
        }
        ::close(c);
    });
    Fixture f;
    TcpLink link("127.0.0.1", ntohs(a.sin_port), f.clock, Duration(5000));
    f.proto.setTransport(&link);
    EXPECT_TRUE(f.proto.sendCommand(kIdentify, 1, 229, 1));
    EXPECT_TRUE(f.proto.sendCommand(kIdentify, 1, 229, 1)); // the junk of the first reply did not spoil it
    device.join();
    ::close(ls);
    // the peer closed: the next attempt is a transport error, not a hang
    EXPECT_FALSE(f.proto.sendCommand(kIdentify, 2, 229, 1));
}

TEST(Protocol, TrafficLinesReachTheObserver) {
    struct Lines : ProtocolObserver {
        std::vector<std::string> lines;
        void terminalLine(const std::string& l) override { lines.push_back(l); }
    } obs;
    SerialPeer peer([](const Bytes&) {
        return std::vector<Burst>{{0, frame({0x06, 0xEC, 0x12, 0x02, 0x00})}};
    });
    Fixture f;
    f.proto.setObserver(&obs);
    SerialLink link(peer.programFd());
    f.proto.setTransport(&link);
    ASSERT_TRUE(f.proto.identifyDevice(false, 1));
    ASSERT_GE(obs.lines.size(), 4u);
    EXPECT_EQ(obs.lines[0], "");
    EXPECT_EQ(obs.lines[1], "Send:  06 00 00 00 00 FA");
    EXPECT_EQ(obs.lines.back(), "Read:  06 EC 12 02 00 FA");
}
