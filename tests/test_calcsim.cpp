// calcsim end to end: the built simulator runs as a separate process and is spoken to over UDP, TCP and
// pseudo-terminals with small clients written here. Frames, checksums, CRCs and payload layouts are built and
// decoded on this side from the protocol tables, never with the simulator's own code, so that a layout
// mistake in the simulator shows up as a mismatch with its --dump output.
#include "tests/tmpdir.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#ifndef CALCSIM_PATH
#error "CALCSIM_PATH must name the calcsim program"
#endif

using mervo::test::TempDir;
using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

// ---- frames, written from the protocol tables ----

std::uint8_t sumOf(const Bytes& b) {
    unsigned s = 0;
    for (auto x : b)
        s += x;
    return static_cast<std::uint8_t>(s & 0xFF);
}

// Length, type, serial low and high byte, command, payload, two's complement checksum.
Bytes rz(int type, int serial, int command, Bytes payload = {}) {
    Bytes f(payload.size() + 6);
    f[0] = static_cast<std::uint8_t>(f.size());
    f[1] = static_cast<std::uint8_t>(type);
    f[2] = static_cast<std::uint8_t>(serial & 0xFF);
    f[3] = static_cast<std::uint8_t>(serial >> 8);
    f[4] = static_cast<std::uint8_t>(command);
    std::copy(payload.begin(), payload.end(), f.begin() + 5);
    f.back() = static_cast<std::uint8_t>(-sumOf(f));
    return f;
}

// CRC-16/MODBUS, bit by bit, appended low byte first.
Bytes withCrc(Bytes b) {
    std::uint16_t crc = 0xFFFF;
    for (auto x : b) {
        crc ^= x;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    b.push_back(crc & 0xFF);
    b.push_back(crc >> 8);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}
std::uint32_t le(const Bytes& b, std::size_t at, int size) {
    std::uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = (v << 8) | b.at(at + static_cast<std::size_t>(i));
    return v;
}

float f32(const Bytes& b, std::size_t at) {
    std::uint32_t bits = le(b, at, 4);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// A payload of a reply (reply bytes 5 .. L-2).
Bytes payloadOf(const Bytes& reply) {
    return Bytes(reply.begin() + 5, reply.end() - 1);
}

// The archive record request (0x03) for a slot: low byte, then high byte plus 0x00 (hourly), 0x80 (daily) or
// 0xC0 (monthly).
Bytes recordRequest(int type, int serial, const std::string& kind, int slot) {
    int offset = kind == "hourly" ? 0x00 : kind == "daily" ? 0x80 : 0xC0;
    return rz(type, serial, 0x03,
              {static_cast<std::uint8_t>(slot & 0xFF), static_cast<std::uint8_t>((slot >> 8) + offset)});
}

// The value a --dump field shows, as the float or integer the wire carries.
void expectDumpFloat(const json& v, float wire, const std::string& what) {
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s == "NaN")
            EXPECT_TRUE(std::isnan(wire)) << what;
        else
            EXPECT_EQ(wire, s == "Infinity" ? INFINITY : -INFINITY) << what;
    } else {
        EXPECT_EQ(wire, static_cast<float>(v.get<double>())) << what;
    }
}

// ---- running the simulator ----

struct Result {
    int code = -1;
    std::string out, err;
};

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Runs calcsim to its end (--dump, usage errors).
Result runToEnd(std::vector<std::string> args) {
    TempDir io;
    std::string out = io.file("out"), err = io.file("err");
    args.insert(args.begin(), CALCSIM_PATH);
    pid_t pid = ::fork();
    if (pid == 0) {
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(o, 1);
        ::dup2(e, 2);
        auto argv = argvOf(args);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out), readFile(err)};
}

json dump(std::vector<std::string> args) {
    args.push_back("--dump");
    Result r = runToEnd(args);
    EXPECT_EQ(r.code, 0) << r.err;
    return json::parse(r.out);
}

// A JSON configuration for calcsim.
struct SimConfig {
    json value;
};

// A running calcsim: started with the arguments (or a configuration), ready once it has printed a READY line
// per endpoint; ended with SIGTERM.
class Calcsim {
public:
    explicit Calcsim(std::vector<std::string> args, std::size_t endpoints = 1) : args_(args) {
        start(args, endpoints);
    }
    explicit Calcsim(const SimConfig& config) {
        std::ofstream(dir_.file("config.json")) << config.value.dump(1);
        args_ = {"--config", dir_.file("config.json")};
        start(args_, config.value["endpoints"].size());
    }
    // A clean end (status 0) also means that no sanitizer reported anything.
    ~Calcsim() {
        if (pid_ > 0) {
            EXPECT_EQ(terminate(SIGTERM), 0) << log();
        }
    }
    Calcsim(const Calcsim&) = delete;
    Calcsim& operator=(const Calcsim&) = delete;

    // The arguments it was started with, for a --dump of the same devices.
    const std::vector<std::string>& args() const { return args_; }
    int port(std::size_t i = 0) const { return std::stoi(ready_.at(i).substr(ready_.at(i).rfind(':') + 1)); }
    std::string ptyLink(std::size_t i = 0) const {
        const std::string& l = ready_.at(i); // "READY pty PATH -> /dev/pts/N"
        return l.substr(10, l.find(" -> ") - 10);
    }
    const std::string& readyLine(std::size_t i = 0) const { return ready_.at(i); }
    std::string log() const { return readFile(dir_.file("stderr")); }
    // Exit status after the signal; -1 when killed by it.
    int terminate(int sig) {
        ::kill(pid_, sig);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    void start(std::vector<std::string> args, std::size_t endpoints) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        args.insert(args.begin(), CALCSIM_PATH);
        std::string err = dir_.file("stderr");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out[1], 1);
            int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(e, 2);
            ::close(out[0]);
            auto argv = argvOf(args);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string buffer;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (ready_.size() < endpoints && Clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char chunk[512];
            ssize_t n = ::read(out[0], chunk, sizeof chunk);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            for (auto nl = buffer.find('\n'); nl != std::string::npos; nl = buffer.find('\n')) {
                if (buffer.rfind("READY ", 0) == 0) ready_.push_back(buffer.substr(0, nl));
                buffer.erase(0, nl + 1);
            }
        }
        ::close(out[0]);
        ASSERT_EQ(ready_.size(), endpoints) << "calcsim did not get ready:\n" << log();
    }

    TempDir dir_;
    std::vector<std::string> args_;
    pid_t pid_ = -1;
    std::vector<std::string> ready_;
};

// ---- clients ----

struct Chunk {
    Clock::time_point at;
    std::size_t size;
};

class Udp {
public:
    explicit Udp(int port) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Udp() { ::close(fd_); }
    void send(const Bytes& b) {
        ASSERT_EQ(::send(fd_, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    }
    // Datagrams until `quietMs` pass without one (the first may take `firstMs`).
    std::vector<Bytes> receive(int firstMs = 2000, int quietMs = 300, std::vector<Chunk>* chunks = nullptr) {
        std::vector<Bytes> out;
        for (int wait = firstMs;; wait = quietMs) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, wait) <= 0) return out;
            Bytes b(2048);
            ssize_t n = ::recv(fd_, b.data(), b.size(), 0);
            if (n < 0) return out;
            b.resize(static_cast<std::size_t>(n));
            if (chunks) chunks->push_back({Clock::now(), b.size()});
            out.push_back(b);
        }
    }
    // One exchange: the first datagram that answers the request (empty when none came within `firstMs`).
    Bytes ask(const Bytes& request, int firstMs = 2000) {
        send(request);
        auto all = receive(firstMs, 0);
        return all.empty() ? Bytes{} : all[0];
    }

private:
    int fd_ = -1;
};

// A TCP connection or an opened pseudo-terminal.
class Stream {
public:
    static Stream tcp(int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        return Stream(fd);
    }
    static Stream pty(const std::string& path) {
        int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd, 0) << path;
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        return Stream(fd);
    }
    Stream(Stream&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    ~Stream() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void write(const Bytes& b) {
        ASSERT_EQ(::write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // Bytes until `n` have come, `silenceMs` pass without any, or the peer closes.
    Bytes read(std::size_t n, int silenceMs = 2000, std::vector<Chunk>* chunks = nullptr) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, silenceMs) <= 0) break;
            std::uint8_t buf[512];
            ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) {
                closed_ = true;
                break;
            }
            if (chunks) chunks->push_back({Clock::now(), static_cast<std::size_t>(got)});
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    // Modem text until it contains `until` (or silence).
    std::string readText(const std::string& until, int silenceMs = 2000) {
        std::string s;
        while (s.find(until) == std::string::npos) {
            Bytes b = read(1, silenceMs);
            if (b.empty()) break;
            s += static_cast<char>(b[0]);
        }
        return s;
    }
    Bytes ask(const Bytes& request, std::size_t expect) {
        write(request);
        return read(expect);
    }
    // True when nothing arrives within `ms`.
    bool silentFor(int ms) { return read(1, ms).empty(); }
    bool closedByPeer() const { return closed_; }

private:
    explicit Stream(int fd) : fd_(fd) {}
    int fd_ = -1;
    bool closed_ = false;
};

double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

json endpoint(const std::string& transport, int type, int serial) {
    json e = {{"type", type}, {"serial", serial}};
    if (transport == "pty")
        e["pty"] = "";
    else
        e[transport] = 0;
    return e;
}

// A configuration of endpoints; pseudo-terminal links go into the test's folder.
SimConfig configOf(std::vector<json> endpoints, const TempDir& dir) {
    int n = 0;
    for (auto& e : endpoints)
        if (e.contains("pty")) e["pty"] = dir.file("pty" + std::to_string(n++));
    return {json{{"endpoints", endpoints}}};
}

// ---- the device side of the command table: (code, request length, response length) per row ----

struct Cmd {
    int code, request, response;
};

std::vector<Cmd> commandsOf(int type) {
    const std::vector<Cmd> row0 = {{0x00, 6, 6},   {0xF0, 10, 7}, {0x01, 6, 105}, {0x04, 46, 7},
                                   {0x05, 6, 46},  {0x15, 6, 10}, {0x14, 6, 6},   {0x03, 8, 166},
                                   {0xFE, 6, 6},   {0x0B, 11, 6}, {0x09, 6, 7},   {0x06, 6, 7},
                                   {0x0D, 23, 23}, {0x02, 8, 7},  {0x0C, 8, 40}};
    const std::vector<Cmd> row1 = {{0x00, 6, 6},  {0xF0, 10, 6}, {0x01, 6, 41}, {0x04, 23, 7},
                                   {0x05, 6, 23}, {0x15, 6, 9},  {0x03, 8, 49}, {0x0B, 11, 6},
                                   {0x09, 6, 6},  {0x06, 6, 6},  {0x0D, 15, 14}};
    std::vector<Cmd> row3 = row0;
    row3[2] = {0x01, 6, 129};
    row3[3] = {0x04, 100, 7};
    row3[4] = {0x05, 6, 100};
    row3[7] = {0x03, 8, 222};
    std::vector<Cmd> row5 = row3;
    row5[5] = {0x15, 6, 12};
    switch (type) {
    case 229:
    case 230:
        return row0;
    case 225:
    case 238:
        return row1;
    case 128:
        return {{0x00, 6, 6}, {0xF0, 10, 6}, {0x01, 6, 31}};
    case 231:
        return {{0x00, 6, 6}, {0xF0, 10, 6}, {0x06, 6, 20}, {0x05, 6, 62}};
    case 234:
    case 235:
        return row3;
    default:
        return row5;
    }
}

// =====================================================================================================

TEST(Calcsim, IdentificationAnswersWithOwnTypeAndSerial) {
    TempDir dir;
    struct Case {
        int type, serial, identType; // identType: expected type byte of the answer
        json extra;
    };
    const std::vector<Case> cases = {
        {128, 7, 128, {}},
        {225, 300, 225, {}},
        {228, 2, 228, {}},
        {229, 1, 229, {}},
        {230, 65535, 230, {}},
        {231, 4660, 230, {}},
        {231, 9, 231, {{"ident_type", 231}}},
        {234, 513, 234, {}},
        {235, 5, 235, {}},
        {236, 530, 236, {}},
        {237, 6, 237, {}},
        {238, 258, 238, {}},
    };
    std::vector<json> eps;
    for (const auto& c : cases) {
        json e = endpoint("udp", c.type, c.serial);
        e.update(c.extra.is_null() ? json::object() : c.extra);
        eps.push_back(e);
    }
    Calcsim sim(configOf(eps, dir));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        Udp udp(sim.port(i));
        Bytes request = {0x06, 0x00, 0x00, 0x00, 0x00, 0xFA};
        EXPECT_EQ(rz(0, 0, 0), request);
        Bytes want = {6, static_cast<std::uint8_t>(c.identType), static_cast<std::uint8_t>(c.serial & 0xFF),
                      static_cast<std::uint8_t>(c.serial >> 8), 0};
        want.push_back(static_cast<std::uint8_t>(-sumOf(want)));
        EXPECT_EQ(udp.ask(request), want) << "type " << c.type;
    }
}

TEST(Calcsim, EveryTabledCommandIsAnsweredWithItsLengthAndOthersAreNot) {
    TempDir dir;
    const std::vector<int> types = {229, 225, 128, 234, 231, 236, 238};
    std::vector<json> eps;
    for (int t : types)
        eps.push_back(endpoint("udp", t, 77));
    Calcsim sim(configOf(eps, dir));
    for (std::size_t i = 0; i < types.size(); ++i) {
        int type = types[i], wire = type == 231 ? 230 : type;
        Udp udp(sim.port(i));
        auto cmds = commandsOf(type);
        for (const auto& c : cmds) {
            // Entry 9 gets a real date; the others a zero payload.
            Bytes payload(static_cast<std::size_t>(c.request - 6), 0);
            if (c.code == 0x0B) payload = {0x00, 0x00, 0x01, 0x01, 0x00};
            Bytes reply = udp.ask(rz(wire, 77, c.code, payload));
            ASSERT_EQ(reply.size(), static_cast<std::size_t>(c.response))
                << "type " << type << " command " << c.code;
            EXPECT_EQ(reply[0], c.response);
            EXPECT_EQ(Bytes(reply.begin() + 1, reply.begin() + 5),
                      (Bytes{static_cast<std::uint8_t>(wire), 77, 0, static_cast<std::uint8_t>(c.code)}));
            EXPECT_EQ(sumOf(reply), 0) << "type " << type << " command " << c.code;
        }
        // Commands of other rows that this row does not have get nothing.
        for (int code : {0x01, 0x03, 0x15, 0x06, 0xDB}) {
            bool known = false;
            for (const auto& c : cmds)
                known |= c.code == code;
            if (known) continue;
            Bytes payload(code == 0x03 ? 2 : 0, 0);
            EXPECT_TRUE(udp.ask(rz(wire, 77, code, payload), 300).empty())
                << "type " << type << " code " << code;
        }
    }
}

TEST(Calcsim, FramesNotForTheDeviceGetNoAnswer) {
    Calcsim sim({"--type", "231", "--serial", "300", "--udp", "0"});
    Udp udp(sim.port());
    Bytes good = rz(230, 300, 0x06);
    Bytes badSum = good;
    badSum.back() ^= 0x01;
    const std::vector<std::pair<Bytes, const char*>> refused = {
        {badSum, "bad checksum"},
        {rz(230, 301, 0x06), "frame for serial 301"},
        {rz(231, 300, 0x06), "frame for type 231"},
        {rz(229, 300, 0x06), "frame for type 229"},
        {rz(230, 300, 0x06, {0x00}), "wrong length"},
        {rz(0, 0, 0x01), "not an identification"},
        {Bytes(good.begin(), good.end() - 1), "length byte does not match"},
    };
    for (const auto& [frame, why] : refused) {
        EXPECT_TRUE(udp.ask(frame, 300).empty()) << why;
        EXPECT_NE(sim.log().find(why), std::string::npos) << why << "\n" << sim.log();
    }
    EXPECT_EQ(udp.ask(good).size(), 20u);
    EXPECT_NE(sim.log().find("frame 230/300 cmd 0x06 (state): answered 20 bytes"), std::string::npos)
        << sim.log();
}

TEST(Calcsim, WakeUpByteBeforeTheRequestOnPtyAndUdp) {
    TempDir dir;
    Calcsim sim(configOf({endpoint("pty", 229, 1), endpoint("udp", 229, 1)}, dir));

    Stream line = Stream::pty(sim.ptyLink(0));
    line.write({0x00});
    EXPECT_TRUE(line.silentFor(200)) << "the wake-up byte alone is not answered";
    EXPECT_EQ(line.ask(rz(229, 1, 0x01), 105).size(), 105u);
    EXPECT_EQ(line.ask(Bytes{0x00} + rz(229, 1, 0x15), 10).size(), 10u);

    // UDP: the datagram [00], then the datagram [00 + frame]; one answer in all.
    Udp udp(sim.port(1));
    udp.send({0x00});
    udp.send(Bytes{0x00} + rz(229, 1, 0x01));
    auto answers = udp.receive();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].size(), 105u);
    EXPECT_EQ(answers[0][0], 105);
}

TEST(Calcsim, StatePayloadDecodesToTheDumpedValues) {
    TempDir dir;
    enum Enc { F, B, W, C, D }; // float, byte, u16, u16 hundredths, u32
    struct Field {
        const char* name;
        int offset;
        Enc enc;
    };
    auto layoutA = [](bool masses) {
        std::vector<Field> f;
        const char* floats[] = {"HEnergy1",   "HEnergy2",   "TemperF1", "TemperR1",   "TemperF2",
                                "TemperR2",   "TemperX1",   "TemperX2", "Pressure11", "Pressure21",
                                "Pressure12", "Pressure22", "V11",      "V21",        "V31",
                                "V12",        "V22",        "V32"};
        for (int i = 0; i < 18; ++i)
            f.push_back({floats[i], 4 * i, F});
        f.push_back({"Err1", 72, B});
        f.push_back({"Err2", 73, B});
        f.push_back({"HardErr", 74, B});
        const char* curr[] = {"CurrV11", "CurrV21", "CurrV31", "CurrV12", "CurrV22", "CurrV32"};
        for (int i = 0; i < 6; ++i)
            f.push_back({curr[i], 75 + 4 * i, F});
        const char* mass[] = {"Weight11", "Weight21", "Weight31", "Weight12", "Weight22", "Weight32"};
        for (int i = 0; masses && i < 6; ++i)
            f.push_back({mass[i], 99 + 4 * i, F});
        return f;
    };
    const std::vector<Field> layoutB = {{"HEnergy1", 0, F}, {"TemperF1", 4, C}, {"TemperR1", 6, C},
                                        {"TemperX1", 8, C}, {"V11", 10, F},     {"V21", 14, F},
                                        {"V31", 18, F},     {"Vmin", 22, F},    {"E1", 26, F},
                                        {"E2", 30, F},      {"Err", 34, B}};
    const std::vector<Field> layoutK = {{"Counter1", 2, D},  {"Counter2", 6, D}, {"Counter3", 10, D},
                                        {"Counter4", 14, D}, {"Exp1", 18, B},    {"Exp2", 19, B},
                                        {"Exp3", 20, B},     {"Exp4", 21, B},    {"Mod", 22, B}};
    const std::vector<Field> layoutO1 = {{"Flow", 0, F}, {"VolumeCounter", 4, D}, {"TimeWork", 8, F}};
    const std::vector<Field> layoutO2 = {{"Diameter", 2, F}, {"PulseWeight", 6, F}};

    struct Case {
        int type;
        json state;
        int command, length;
        std::vector<Field> fields;
    };
    const std::vector<Case> cases = {
        {229,
         {{"HEnergy2", "NaN"}, {"TemperF1", "Infinity"}, {"Err2", 3}, {"HardErr", 8}},
         0x01,
         105,
         layoutA(false)},
        {230, {{"V32", "-Infinity"}}, 0x01, 105, layoutA(false)},
        {236, {{"HEnergy2", "NaN"}, {"Weight32", 12.5}}, 0x01, 129, layoutA(true)},
        {234, {}, 0x01, 129, layoutA(true)},
        {225, {{"TemperF1", 26}, {"HEnergy1", "NaN"}}, 0x01, 41, layoutB},
        {238, {}, 0x01, 41, layoutB},
        {128, {{"Counter1", 123456}, {"Exp1", 3}}, 0x01, 31, layoutK},
        {231, {{"Diameter", 0.025}}, 0x06, 20, layoutO1},
        {231, {{"Diameter", 0.025}, {"PulseWeight", 0.1}}, 0x05, 62, layoutO2},
    };
    std::vector<json> eps;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        json e = endpoint("udp", cases[i].type, 100 + static_cast<int>(i));
        if (!cases[i].state.empty()) e["state"] = cases[i].state;
        eps.push_back(e);
    }
    Calcsim sim(configOf(eps, dir));
    json model = dump(sim.args());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        int wire = c.type == 231 ? 230 : c.type;
        Udp udp(sim.port(i));
        Bytes reply = udp.ask(rz(wire, 100 + static_cast<int>(i), c.command));
        ASSERT_EQ(reply.size(), static_cast<std::size_t>(c.length)) << "type " << c.type;
        Bytes p = payloadOf(reply);
        const json& state = model["devices"][i]["state"];
        for (const auto& f : c.fields) {
            std::string what = std::to_string(c.type) + " " + f.name;
            ASSERT_TRUE(state.contains(f.name)) << what;
            const json& v = state[f.name];
            switch (f.enc) {
            case F:
                expectDumpFloat(v, f32(p, static_cast<std::size_t>(f.offset)), what);
                break;
            case C:
                EXPECT_EQ(static_cast<long>(le(p, static_cast<std::size_t>(f.offset), 2)),
                          std::lround(v.get<double>() * 100))
                    << what;
                break;
            default:
                EXPECT_EQ(le(p, static_cast<std::size_t>(f.offset),
                             f.enc == B   ? 1
                             : f.enc == W ? 2
                                          : 4),
                          v.get<std::uint32_t>())
                    << what;
            }
        }
    }
    // The explicit values reach the wire as given.
    Udp u225(sim.port(4));
    Bytes b = payloadOf(u225.ask(rz(225, 104, 0x01)));
    EXPECT_EQ(le(b, 4, 2), 2600u);
    EXPECT_TRUE(std::isnan(f32(b, 0)));
    Udp u128(sim.port(6));
    Bytes k = payloadOf(u128.ask(rz(128, 106, 0x01)));
    EXPECT_EQ(le(k, 2, 4), 123456u);
    EXPECT_EQ(k[18], 3);
    Udp u229(sim.port(0));
    Bytes a = payloadOf(u229.ask(rz(229, 100, 0x01)));
    EXPECT_TRUE(std::isinf(f32(a, 8)));
    EXPECT_EQ(a[73], 3);
    EXPECT_EQ(a[74], 8);
}

TEST(Calcsim, ParameterBlockDecodesToTheDumpAndAWriteReplacesIt) {
    TempDir dir;
    Calcsim sim(configOf({endpoint("udp", 229, 1), endpoint("udp", 236, 2)}, dir));
    json model = dump(sim.args());
    // The tail fields stand at 36..38 in the 40-byte block and at 90..92 in the 94-byte one.
    for (int i = 0; i < 2; ++i) {
        int type = i ? 236 : 229, tail = i ? 90 : 36;
        Udp udp(sim.port(static_cast<std::size_t>(i)));
        Bytes p = payloadOf(udp.ask(rz(type, i + 1, 0x05)));
        ASSERT_EQ(p.size(), i ? 94u : 40u);
        const json& params = model["devices"][i]["params"];
        for (int w = 0; w < 6; ++w)
            EXPECT_EQ(le(p, static_cast<std::size_t>(2 * w), 2),
                      params["CountWeight" + std::to_string(w + 1)].get<std::uint32_t>());
        const char* bytes[] = {"SystemType1", "SystemType2", "SetTemperC", "SetTemperC1",
                               "StartDay",    "StartMonth",  "EndDay",     "EndMonth"};
        for (int b = 0; b < 8; ++b)
            EXPECT_EQ(p[static_cast<std::size_t>(12 + b)], params[bytes[b]].get<int>()) << bytes[b];
        const char* floats[] = {"MinExpense1", "MinExpense2", "MaxExpense1", "MaxExpense2"};
        for (int f = 0; f < 4; ++f)
            expectDumpFloat(params[floats[f]], f32(p, static_cast<std::size_t>(20 + 4 * f)), floats[f]);
        EXPECT_EQ(p[static_cast<std::size_t>(tail)], params["DayOfReport"].get<int>());
        EXPECT_EQ(p[static_cast<std::size_t>(tail + 1)], params["EnergyError"].get<int>());
        EXPECT_EQ(p[static_cast<std::size_t>(tail + 2)], params["FlTemperC"].get<int>());

        Bytes block(p.size());
        for (std::size_t j = 0; j < block.size(); ++j)
            block[j] = static_cast<std::uint8_t>(j * 7 + 1);
        EXPECT_EQ(udp.ask(rz(type, i + 1, 0x04, block)).size(), 7u);
        EXPECT_EQ(payloadOf(udp.ask(rz(type, i + 1, 0x05))), block);
    }
}

TEST(Calcsim, ArchivePointersPerType) {
    TempDir dir;
    struct Case {
        int type;
        long hourly, daily, monthly;       // records written
        int length;                        // reply length
        int hourlyPtr, dailyPtr, monthPtr; // expected next-write slots
    };
    const std::vector<Case> cases = {
        {225, 300, 50, 0, 9, 300, 50, 0},    {238, 1030, 130, 0, 9, 7, 2, 0},
        {229, 1000, 62, 0, 10, 40, 0, 0},    {234, 700, 300, 0, 10, 700, 300, 0},
        {236, 1500, 400, 40, 12, 60, 34, 4}, {237, 5, 3, 2, 12, 5, 3, 2},
    };
    std::vector<json> eps;
    for (const auto& c : cases) {
        json e = endpoint("udp", c.type, 9);
        e["filled"] = {{"hourly", c.hourly}, {"daily", c.daily}, {"monthly", c.monthly}};
        eps.push_back(e);
    }
    Calcsim sim(configOf(eps, dir));
    json model = dump(sim.args());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        Udp udp(sim.port(i));
        Bytes r = udp.ask(rz(c.type, 9, 0x15));
        ASSERT_EQ(r.size(), static_cast<std::size_t>(c.length)) << c.type;
        Bytes p = payloadOf(r);
        int hourly = static_cast<int>(le(p, 0, 2));
        int daily = static_cast<int>(c.type == 225 || c.type == 238 || c.type == 229 ? p[2] : le(p, 2, 2));
        int monthly = c.type == 236 || c.type == 237 ? static_cast<int>(le(p, 4, 2)) : 0;
        EXPECT_EQ(hourly, c.hourlyPtr) << c.type;
        EXPECT_EQ(daily, c.dailyPtr) << c.type;
        EXPECT_EQ(monthly, c.monthPtr) << c.type;
        const json& a = model["devices"][i]["archives"];
        EXPECT_EQ(a["hourly"]["pointer"], hourly);
        EXPECT_EQ(a["daily"]["pointer"], daily);
        EXPECT_EQ(a["monthly"]["pointer"], monthly);
    }
}

// Days from 31.12.1999, computed here with the standard calendar.
int dayCounter(int y, unsigned m, unsigned d) {
    using namespace std::chrono;
    return (sys_days{year{y} / month{m} / day{d}} - sys_days{year{1999} / December / day{31}}).count();
}

TEST(Calcsim, ArchiveRecordsMatchTheDumpAndNeverWrittenSlotsAreZero) {
    TempDir dir;
    std::vector<json> eps = {endpoint("udp", 236, 530), endpoint("udp", 229, 1), endpoint("udp", 225, 2)};
    for (auto& e : eps) {
        e["clock"] = "2024-03-01 05:30";
        e["filled"] = {{"hourly", 30}, {"daily", 10}, {"monthly", 14}};
    }
    eps[0]["records"] = {{{"kind", "daily"}, {"slot", 5}, {"fields", {{"HEnergy1", "NaN"}}}}};
    Calcsim sim(configOf(eps, dir));
    json model = dump(sim.args());

    // Record layouts: where hour, day counter and a few fields stand in each row.
    struct Layout {
        int type, serial, length, hourAt, dayAt, recNumAt;
        std::vector<std::pair<const char*, int>> floats;
    };
    const std::vector<Layout> layouts = {
        {236,
         530,
         222,
         209,
         210,
         212,
         {{"HEnergy1", 6},
          {"Weight6", 58},
          {"CurrWeight1", 96},
          {"Pressure4", 156},
          {"ErrorDeltaTEnergy2", 196}}},
        {229,
         1,
         166,
         155,
         156,
         -1,
         {{"HEnergy2", 10},
          {"CurrHeatEnergy1", 40},
          {"MainTemper1", 72},
          {"Pressure4", 108},
          {"ErrorDeltaTEnergy2", 148}}},
        {225, 2, 49, 40, 41, -1, {{"HEnergy1", 4}, {"Volume3", 16}, {"ElEnergy2", 28}}},
    };
    const int offsets[3] = {0x00, 0x80, 0xC0};
    const char* kinds[3] = {"hourly", "daily", "monthly"};
    for (std::size_t i = 0; i < layouts.size(); ++i) {
        const Layout& l = layouts[i];
        Udp udp(sim.port(i));
        const json& archives = model["devices"][i]["archives"];
        for (int k = 0; k < 3; ++k) {
            const json& records = archives[kinds[k]]["records"];
            if (archives[kinds[k]]["depth"] == 0) {
                EXPECT_TRUE(records.empty());
                continue;
            }
            ASSERT_FALSE(records.empty()) << l.type << " " << kinds[k];
            for (const json& rec : {records.front(), records.back(), records[records.size() / 2]}) {
                int slot = rec["slot"];
                Bytes r = udp.ask(rz(l.type, l.serial, 0x03,
                                     {static_cast<std::uint8_t>(slot & 0xFF),
                                      static_cast<std::uint8_t>((slot >> 8) + offsets[k])}));
                ASSERT_EQ(r.size(), static_cast<std::size_t>(l.length));
                Bytes p = payloadOf(r);
                std::string what = std::to_string(l.type) + " " + kinds[k] + " slot " + std::to_string(slot);
                EXPECT_EQ(p[static_cast<std::size_t>(l.hourAt)], rec["hour"].get<int>()) << what;
                EXPECT_EQ(le(p, static_cast<std::size_t>(l.dayAt), 2), rec["day"].get<std::uint32_t>())
                    << what;
                if (l.recNumAt >= 0) {
                    EXPECT_EQ(le(p, static_cast<std::size_t>(l.recNumAt), 2),
                              static_cast<std::uint32_t>(slot))
                        << what;
                }
                for (const auto& [name, at] : l.floats)
                    expectDumpFloat(rec[name], f32(p, static_cast<std::size_t>(at)), what + " " + name);
            }
        }
        // The newest records carry the device clock's hour, day and month; the day counter starts
        // at 31.12.1999.
        const json& hourly = archives["hourly"]["records"].back();
        EXPECT_EQ(hourly["slot"], 29);
        EXPECT_EQ(hourly["hour"], 5);
        EXPECT_EQ(hourly["day"], dayCounter(2024, 3, 1));
        EXPECT_EQ(archives["hourly"]["records"][0]["day"], dayCounter(2024, 2, 29)); // 29 hours back
        EXPECT_EQ(archives["daily"]["records"].back()["day"], dayCounter(2024, 3, 1));
        EXPECT_EQ(archives["daily"]["records"][0]["day"], dayCounter(2024, 2, 21));

        // A slot never written answers zeros: day counter 0, hour 0.
        int empty = 31;
        Bytes r = udp.ask(rz(l.type, l.serial, 0x03, {static_cast<std::uint8_t>(empty), 0x00}));
        ASSERT_EQ(r.size(), static_cast<std::size_t>(l.length));
        EXPECT_EQ(payloadOf(r), Bytes(static_cast<std::size_t>(l.length - 6), 0)) << l.type;
    }
    // The monthly ring of 236 holds 36 records, the newest dated on the first of the clock's month.
    const json& monthly = model["devices"][0]["archives"]["monthly"];
    EXPECT_EQ(monthly["depth"], 36);
    EXPECT_EQ(monthly["records"].back()["day"], dayCounter(2024, 3, 1));
    EXPECT_EQ(monthly["records"][0]["day"], dayCounter(2023, 2, 1));
    EXPECT_EQ(model["devices"][0]["archives"]["daily"]["records"][5]["HEnergy1"], "NaN");
}

namespace {

// The counters of the archive records and the period field that carries each one's amount ("" for none).
const std::vector<std::pair<std::string, std::string>> kCounters = {{"WorkTime", "CurrWorkTime"},
                                                                    {"WorkTimeErr1", ""},
                                                                    {"WorkTimeErr2", ""},
                                                                    {"HEnergy1", "CurrHeatEnergy1"},
                                                                    {"HEnergy2", "CurrHeatEnergy2"},
                                                                    {"Volume1", "CurrVolume1"},
                                                                    {"Volume2", "CurrVolume2"},
                                                                    {"Volume3", "CurrVolume3"},
                                                                    {"Volume4", "CurrVolume4"},
                                                                    {"Volume5", "CurrVolume5"},
                                                                    {"Volume6", "CurrVolume6"},
                                                                    {"Weight1", "CurrWeight1"},
                                                                    {"Weight2", "CurrWeight2"},
                                                                    {"Weight3", "CurrWeight3"},
                                                                    {"Weight4", "CurrWeight4"},
                                                                    {"Weight5", "CurrWeight5"},
                                                                    {"Weight6", "CurrWeight6"},
                                                                    {"ErrHVolume", ""},
                                                                    {"ElEnergy1", ""},
                                                                    {"ElEnergy2", ""}};

// The records of a dumped archive by time stamp ("YYYY-MM-DD hh:mm:ss", so in time order).
std::map<std::string, json> byTime(const json& archive) {
    std::map<std::string, json> out;
    for (const json& r : archive["records"])
        out[r["time"].get<std::string>()] = r;
    return out;
}

double num(const json& record, const std::string& field) {
    return record.at(field).get<double>();
}

} // namespace

// The archive records carry the device's integral readings at their time stamps: every counter grows by each
// interval's amount, the period fields hold that amount, the hourly, daily and monthly rings agree where
// their stamps meet, and the current state shows the same counters at the clock. Readings and amounts lie on
// a binary grid, so the differences are exact.
TEST(Calcsim, ArchiveRecordsAreAccumulatingCountersThatAgreeAcrossKindsAndWithTheState) {
    TempDir dir;
    struct Case {
        int type;
        long hourly, daily, monthly;
    };
    const std::vector<Case> cases = {
        {236, 720, 40, 14}, {234, 720, 40, 0}, {229, 1000, 40, 0}, {225, 720, 40, 0}, {238, 720, 40, 0}};
    std::vector<json> eps;
    for (const Case& c : cases) {
        json e = endpoint("udp", c.type, 41);
        e["clock"] = "2024-03-01 05:30";
        e["filled"] = {{"hourly", c.hourly}, {"daily", c.daily}, {"monthly", c.monthly}};
        eps.push_back(e);
    }
    std::ofstream(dir.file("config.json")) << configOf(eps, dir).value.dump(1);
    json model = dump({"--config", dir.file("config.json")});
    EXPECT_EQ(model, dump({"--config", dir.file("config.json")})); // deterministic

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const json& d = model["devices"][i];
        std::map<std::string, json> kinds[3] = {byTime(d["archives"]["hourly"]),
                                                byTime(d["archives"]["daily"]),
                                                byTime(d["archives"]["monthly"])};
        const json& sample = kinds[0].begin()->second;
        std::vector<std::pair<std::string, std::string>> counters;
        for (const auto& [f, curr] : kCounters)
            if (sample.contains(f)) counters.push_back({f, sample.contains(curr) ? curr : ""});
        ASSERT_GE(counters.size(), 7u) << c.type; // 225 and 238: WorkTime, WorkTimeErr1, heat, 3 volumes, …

        // consecutive records: each counter grew by the later record's period amount, exactly
        const int hoursOf[2] = {1, 24};
        for (int k = 0; k < 3; ++k) {
            if (kinds[k].empty()) continue;
            EXPECT_EQ(static_cast<long>(kinds[k].size()),
                      std::min<long>(k == 0   ? c.hourly
                                     : k == 1 ? c.daily
                                              : c.monthly,
                                     d["archives"][k == 0   ? "hourly"
                                                   : k == 1 ? "daily"
                                                            : "monthly"]["depth"]
                                         .get<long>()));
            const json* prev = nullptr;
            for (const auto& [time, rec] : kinds[k]) {
                std::string what = std::to_string(c.type) + " kind " + std::to_string(k) + " " + time;
                if (prev) {
                    for (const auto& [f, curr] : counters) {
                        double grew = num(rec, f) - num(*prev, f);
                        EXPECT_GE(grew, 0) << what << " " << f;
                        if (!curr.empty()) {
                            EXPECT_EQ(grew, num(rec, curr)) << what << " " << f;
                        }
                    }
                    if (k < 2) {
                        EXPECT_EQ(num(rec, "WorkTime") - num(*prev, "WorkTime"), hoursOf[k]) << what;
                    }
                    EXPECT_GT(num(rec, "HEnergy1") - num(*prev, "HEnergy1"), 0) << what;
                }
                prev = &rec;
            }
        }
        // where stamps meet, the kinds show the same readings: a day's (a month's) reading is the hourly
        // (daily) reading at its midnight
        int met = 0;
        for (int k = 1; k < 3; ++k)
            for (const auto& [time, rec] : kinds[k]) {
                auto finer = kinds[k - 1].find(time);
                if (finer == kinds[k - 1].end()) continue;
                ++met;
                for (const auto& [f, curr] : counters)
                    EXPECT_EQ(num(rec, f), num(finer->second, f)) << c.type << " " << time << " " << f;
            }
        EXPECT_GE(met, c.monthly ? 31 : 29) << c.type;
        // a day's difference is the sum of its hours' amounts
        // (225 and 238 keep no period fields: their hourly readings' differences were compared above)
        for (auto it = kinds[1].begin(); it != kinds[1].end() && std::next(it) != kinds[1].end(); ++it) {
            auto from = kinds[0].find(it->first), to = kinds[0].find(std::next(it)->first);
            if (from == kinds[0].end() || to == kinds[0].end()) continue;
            for (const auto& [f, curr] : counters) {
                if (curr.empty()) continue;
                double sum = 0;
                for (auto h = std::next(from); h != std::next(to); ++h)
                    sum += num(h->second, curr);
                EXPECT_EQ(num(std::next(it)->second, f) - num(it->second, f), sum) << c.type << " " << f;
                EXPECT_EQ(num(std::next(it)->second, curr), sum) << c.type << " " << f;
            }
        }
        // the state: the readings at the clock (05:30), past the last hourly record (05:00) by at most an
        // hour's amount
        const json& last = kinds[0].rbegin()->second;
        EXPECT_EQ(last["time"], "2024-03-01 05:00:00");
        std::vector<std::pair<std::string, std::string>> shown = {
            {"HEnergy1", "HEnergy1"}, {"V11", "Volume1"}, {"V21", "Volume2"}, {"V31", "Volume3"}};
        if (c.type == 225 || c.type == 238) {
            shown.push_back({"E1", "ElEnergy1"});
            shown.push_back({"E2", "ElEnergy2"});
        } else {
            shown.push_back({"HEnergy2", "HEnergy2"});
            shown.push_back({"V32", "Volume6"});
            if (c.type != 229) shown.push_back({"Weight12", "Weight4"});
        }
        for (const auto& [stateField, counter] : shown) {
            double v = num(d["state"], stateField), reading = num(last, counter);
            EXPECT_GE(v, reading) << c.type << " " << stateField;
            EXPECT_LT(v - reading, 4) << c.type << " " << stateField;
        }
    }

    // Growing rings go on counting from where they were: the records both dumps hold are the same, the new
    // ones continue, and the state follows the newest record.
    std::vector<std::string> args = {"--type",           "236",    "--serial",  "530",    "--clock",
                                     "2024-03-01 05:00", "--grow", "hourly=48", "--grow", "daily=2"};
    json before = dump(args);
    args.insert(args.end(), {"--after-reads", "2"});
    json after = dump(args);
    for (const char* kind : {"hourly", "daily"}) {
        auto a = byTime(before["devices"][0]["archives"][kind]),
             b = byTime(after["devices"][0]["archives"][kind]);
        int same = 0;
        for (const auto& [time, rec] : a) {
            auto it = b.find(time);
            if (it == b.end()) continue;
            ++same;
            json x = rec, y = it->second;
            x.erase("slot");
            y.erase("slot");
            EXPECT_EQ(x, y) << kind << " " << time;
        }
        EXPECT_GT(same, 0) << kind;
        EXPECT_GT(b.rbegin()->first, a.rbegin()->first) << kind;
    }
    const auto grown = byTime(after["devices"][0]["archives"]["hourly"]);
    const json& newest = grown.rbegin()->second;
    EXPECT_EQ(newest["time"], "2024-03-05 05:00:00"); // four days on, as the daily ring
    EXPECT_EQ(num(after["devices"][0]["state"], "HEnergy1"),
              static_cast<double>(static_cast<float>(num(newest, "HEnergy1"))));
}

TEST(Calcsim, RingsWrapAndGrowAfterEveryArchiveEnd) {
    Calcsim sim({"--type", "229", "--serial", "5", "--udp", "0", "--filled", "hourly=959", "--filled",
                 "daily=61", "--grow", "hourly=2", "--grow", "daily=3"});
    Udp udp(sim.port());
    auto pointers = [&] {
        Bytes p = payloadOf(udp.ask(rz(229, 5, 0x15)));
        return std::pair<int, int>(static_cast<int>(le(p, 0, 2)), p[2]);
    };
    EXPECT_EQ(pointers(), std::make_pair(959, 61));
    EXPECT_EQ(udp.ask(rz(229, 5, 0x14)).size(), 6u);
    EXPECT_EQ(udp.ask(rz(229, 5, 0xFE)).size(), 6u);
    EXPECT_EQ(pointers(), std::make_pair(1, 2)); // 961 mod 960, 64 mod 62

    // The dump after one reading session shows the same rings; slot 0 now holds the newest hourly record.
    std::vector<std::string> args = sim.args();
    args.insert(args.end(), {"--after-reads", "1"});
    json after = dump(args);
    const json& hourly = after["devices"][0]["archives"]["hourly"];
    EXPECT_EQ(hourly["pointer"], 1);
    EXPECT_EQ(hourly["records"].size(), 960u);
    Bytes slot0 = payloadOf(udp.ask(rz(229, 5, 0x03, {0, 0})));
    EXPECT_EQ(le(slot0, 156, 2), hourly["records"][0]["day"].get<std::uint32_t>());
    EXPECT_EQ(slot0[155], hourly["records"][0]["hour"].get<int>());
    // Record 958 was stamped with the clock's hour; record 960, two hours later, went into slot 0.
    EXPECT_EQ(hourly["records"][0]["time"], "2024-01-15 14:00:00");
}

TEST(Calcsim, RecordValuesGoIntoEveryWrittenRecordOfTheKindAndASlotOverrideWins) {
    TempDir dir;
    json values = endpoint("udp", 225, 2), plain = endpoint("udp", 225, 2);
    for (json* e : {&values, &plain}) {
        (*e)["clock"] = "2024-03-01 05:30";
        (*e)["filled"] = {{"hourly", 30}, {"daily", 10}};
    }
    values["record_values"] = {{"hourly", {{"Volume3", "NaN"}}}, {"daily", {{"HEnergy1", "-Infinity"}}}};
    values["records"] = {{{"kind", "hourly"}, {"slot", 4}, {"fields", {{"Volume3", 2.5}}}}};
    Calcsim sim(configOf({values, plain}, dir));
    json model = dump(sim.args());

    // The dump: the named field changed in every record of its kind, the slot override kept, the rest as
    // without the values.
    struct Expect {
        const char* kind;
        const char* field;
        json value;
        std::size_t records;
    };
    for (const Expect& x :
         {Expect{"hourly", "Volume3", "NaN", 30}, Expect{"daily", "HEnergy1", "-Infinity", 10}}) {
        const json& got = model["devices"][0]["archives"][x.kind]["records"];
        const json& base = model["devices"][1]["archives"][x.kind]["records"];
        ASSERT_EQ(got.size(), x.records) << x.kind;
        ASSERT_EQ(base.size(), x.records) << x.kind;
        for (std::size_t i = 0; i < got.size(); ++i) {
            int slot = got[i]["slot"];
            std::string what = std::string(x.kind) + " slot " + std::to_string(slot);
            bool overridden = std::string(x.kind) == "hourly" && slot == 4;
            EXPECT_EQ(got[i][x.field], overridden ? json(2.5) : x.value) << what;
            for (auto it = base[i].begin(); it != base[i].end(); ++it) {
                if (it.key() != x.field) {
                    EXPECT_EQ(got[i][it.key()], it.value()) << what << " " << it.key();
                }
            }
        }
    }

    // The wire: the same value in the field's bytes, every other byte as the device without the values
    // answers.
    Udp udp(sim.port(0)), ref(sim.port(1));
    struct Ask {
        const char* kind;
        int slot;
        std::size_t at; // the changed float's offset in the payload
    };
    const std::vector<Ask> asks = {{"hourly", 0, 16},  {"hourly", 4, 16}, {"hourly", 17, 16},
                                   {"hourly", 29, 16}, {"daily", 0, 4},   {"daily", 9, 4}};
    for (const Ask& a : asks) {
        std::string what = std::string(a.kind) + " slot " + std::to_string(a.slot);
        Bytes r = udp.ask(recordRequest(225, 2, a.kind, a.slot));
        Bytes b = ref.ask(recordRequest(225, 2, a.kind, a.slot));
        ASSERT_EQ(r.size(), 49u) << what;
        ASSERT_EQ(b.size(), 49u) << what;
        EXPECT_EQ(sumOf(r), 0) << what;
        Bytes p = payloadOf(r), q = payloadOf(b);
        float v = f32(p, a.at);
        if (a.at == 4)
            EXPECT_EQ(v, -INFINITY) << what;
        else if (a.slot == 4)
            EXPECT_EQ(v, 2.5f) << what;
        else
            EXPECT_TRUE(std::isnan(v)) << what;
        const json& rec =
            model["devices"][0]["archives"][a.kind]["records"][static_cast<std::size_t>(a.slot)];
        ASSERT_EQ(rec["slot"], a.slot);
        expectDumpFloat(rec[a.at == 4 ? "HEnergy1" : "Volume3"], v, what);
        for (std::size_t k = a.at; k < a.at + 4; ++k)
            p[k] = q[k] = 0;
        EXPECT_EQ(p, q) << what;
    }
    // A slot never written still answers zeros.
    EXPECT_EQ(payloadOf(udp.ask(recordRequest(225, 2, "hourly", 31))), Bytes(43, 0));

    // The command line form, repeatable and with several fields of one kind.
    json d =
        dump({"--type", "225", "--serial", "2", "--filled", "hourly=5", "--record-value",
              "hourly:Volume3=nan", "--record-value", "hourly:ElEnergy2=7.25"})["devices"][0]["archives"];
    ASSERT_EQ(d["hourly"]["records"].size(), 5u);
    for (const json& rec : d["hourly"]["records"]) {
        EXPECT_EQ(rec["Volume3"], "NaN");
        EXPECT_EQ(rec["ElEnergy2"], 7.25);
    }
    ASSERT_FALSE(d["daily"]["records"].empty());
    for (const json& rec : d["daily"]["records"])
        EXPECT_NE(rec["Volume3"], "NaN");
}

TEST(Calcsim, ClockSettingIsAccepted) {
    Calcsim sim({"--type", "236", "--serial", "530", "--udp", "0"});
    Udp udp(sim.port());
    // 00:00 on 1 January 2000.
    Bytes r = udp.ask(rz(236, 530, 0x0B, {0x00, 0x00, 0x01, 0x01, 0x00}));
    EXPECT_EQ(r, rz(236, 530, 0x0B));
    // 23:59 on 29.02.2024.
    EXPECT_EQ(udp.ask(rz(236, 530, 0x0B, {0x9F, 0x05, 29, 2, 24})).size(), 6u);
    std::string log = sim.log();
    EXPECT_NE(log.find("clock setting to 2000-01-01 00:00:00"), std::string::npos) << log;
    EXPECT_NE(log.find("clock setting to 2024-02-29 23:59:00"), std::string::npos) << log;
}

TEST(Calcsim, ModemDialogueDialResultsEscapeAndHangUp) {
    TempDir dir;
    Calcsim sim({"--type", "230", "--serial", "12", "--pty", dir.file("line"), "--modem", "--csq", "17",
                 "--dial", "busy,no_carrier,no_dialtone,connect", "--guard", "100"});
    Stream line = Stream::pty(sim.ptyLink());
    line.write(text("AT\r\n"));
    EXPECT_EQ(line.readText("OK\r\n"), "\r\nOK\r\n");

    line.write(text("AT+CSQ\r\n"));
    std::string csq = line.readText("OK\r\n");
    ASSERT_NE(csq.find("OK"), std::string::npos);
    // The level stands after the first colon and one more character, up to the comma.
    std::string level = csq.substr(csq.find(':') + 2);
    EXPECT_EQ(level.substr(0, level.find(',')), "17");

    for (const char* want : {"BUSY", "NO CARRIER", "NO DIALTONE", "CONNECT"}) {
        line.write(text("ATD5551234\r\n"));
        std::string reply = line.readText(std::string(want) + "\r\n");
        EXPECT_NE(reply.find(want), std::string::npos) << reply;
    }
    // Online: frames (with the wake-up byte) reach the device.
    EXPECT_EQ(line.ask(Bytes{0x00} + rz(230, 12, 0x01), 105).size(), 105u);
    // "+++" straight after data is data.
    line.write(text("+++"));
    EXPECT_TRUE(line.silentFor(300));
    // After the guard time it escapes to command mode; the answer comes after the guard time.
    line.write(text("+++"));
    auto sent = Clock::now();
    EXPECT_EQ(line.readText("OK\r\n"), "\r\nOK\r\n");
    EXPECT_GE(msBetween(sent, Clock::now()), 95);
    line.write(text("ATH\r\n"));
    EXPECT_EQ(line.readText("OK\r\n"), "\r\nOK\r\n");
    // Command mode: a frame is not a command and gets nothing.
    line.write(rz(230, 12, 0x01));
    EXPECT_TRUE(line.silentFor(300));
}

TEST(Calcsim, ModemWithoutSignalReportSilentDialAndLineDrop) {
    TempDir dir;
    json a = endpoint("pty", 229, 3), b = endpoint("pty", 229, 4);
    a["modem"] = {{"csq", "error"}, {"dial", "silent"}};
    b["modem"] = {{"guard_ms", 0}, {"echo", true}};
    Calcsim sim(configOf({a, b}, dir));

    Stream first = Stream::pty(sim.ptyLink(0));
    first.write(text("AT+CSQ\r\n"));
    EXPECT_EQ(first.readText("ERROR\r\n"), "\r\nERROR\r\n");
    first.write(text("ATD1\r\n"));
    EXPECT_TRUE(first.silentFor(300));

    // Closing the line drops the call: the next user finds the modem in command mode.
    {
        Stream second = Stream::pty(sim.ptyLink(1));
        second.write(text("ATD1\r\n"));
        EXPECT_EQ(second.readText("CONNECT\r\n"), "ATD1\r\r\nCONNECT\r\n"); // echoed command first
        EXPECT_EQ(second.ask(rz(229, 4, 0x15), 10).size(), 10u);
        // An answer left unread when the line closes ...
        second.write(rz(229, 4, 0x15));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Stream again = Stream::pty(sim.ptyLink(1));
    again.write(text("AT\r\n"));
    // ... does not reach the next user, who finds command mode.
    EXPECT_EQ(again.readText("OK\r\n"), "AT\r\r\nOK\r\n");
    EXPECT_NE(sim.log().find("call dropped"), std::string::npos) << sim.log();
}

TEST(Calcsim, ConfiguratorSwitchesToModbusAndBackWithTheJumperClosed) {
    TempDir dir;
    Calcsim sim({"--type", "229", "--serial", "1", "--pty", dir.file("line"), "--configurator",
                 "--modbus-address", "1"});
    Stream line = Stream::pty(sim.ptyLink());
    Bytes switchFrame = {0x06, 0xE5, 0x01, 0x00, 0xDB, 0x39};
    EXPECT_EQ(rz(229, 1, 0xDB), switchFrame);
    Bytes reply = line.ask(switchFrame, 7);
    ASSERT_EQ(reply.size(), 7u);
    // Length 7, type, serial as byte 2 x 256 + byte 3, byte 4 = 4, byte 5 = 0 (switched), checksum.
    EXPECT_EQ(Bytes(reply.begin(), reply.end() - 1), (Bytes{0x07, 0xE5, 0x00, 0x01, 0x04, 0x00}));
    EXPECT_EQ(sumOf(reply), 0);

    // Modbus now: RZ frames get nothing.
    line.write(rz(229, 1, 0x01));
    EXPECT_TRUE(line.silentFor(300));

    Bytes toRz = {0x01, 0x06, 0xFF, 0xFF, 0x00, 0x00, 0x89, 0xEE};
    EXPECT_EQ(withCrc({0x01, 0x06, 0xFF, 0xFF, 0x00, 0x00}), toRz);
    Bytes badCrc = toRz;
    badCrc.back() ^= 0x01;
    const std::vector<std::pair<Bytes, int>> exceptions = {
        {withCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), 1}, // function not supported
        {withCrc({0x01, 0x06, 0x00, 0x10, 0x00, 0x01}), 2}, // register not known
        {withCrc({0x01, 0x06, 0xFF, 0xFF, 0x00, 0x01}), 4}, // switch value other than 0
        {withCrc({0x01, 0x06, 0x00, 0x4C, 0x00, 0x00}), 4}, // address 0
        {withCrc({0x01, 0x06, 0x00, 0x4C, 0x00, 0xF8}), 4}, // address 248
        {badCrc, 16},
    };
    for (const auto& [frame, code] : exceptions) {
        Bytes want =
            withCrc({0x01, static_cast<std::uint8_t>(frame[1] | 0x80), static_cast<std::uint8_t>(code)});
        EXPECT_EQ(line.ask(frame, 5), want) << "exception " << code;
    }
    // Another address: nothing.
    line.write(withCrc({0x02, 0x06, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_TRUE(line.silentFor(300));

    // New address 5: the answer comes from the new address.
    Bytes setAddress = withCrc({0x01, 0x06, 0x00, 0x4C, 0x00, 0x05});
    EXPECT_EQ(line.ask(setAddress, 8), withCrc({0x05, 0x06, 0x00, 0x4C, 0x00, 0x05}));
    line.write(toRz); // address 1 is no longer ours
    EXPECT_TRUE(line.silentFor(300));
    Bytes toRz5 = withCrc({0x05, 0x06, 0xFF, 0xFF, 0x00, 0x00});
    EXPECT_EQ(line.ask(toRz5, 8), toRz5);
    // RZ again.
    EXPECT_EQ(line.ask(rz(229, 1, 0x01), 105).size(), 105u);
}

TEST(Calcsim, ConfiguratorRefusesChangesWithTheJumperOpen) {
    TempDir dir;
    json rzMode = endpoint("pty", 229, 1), modbusMode = endpoint("pty", 230, 2);
    rzMode["configurator"] = {{"jumper", "open"}};
    modbusMode["configurator"] = {{"jumper", "open"}, {"protocol", "modbus"}, {"address", 7}};
    Calcsim sim(configOf({rzMode, modbusMode}, dir));

    Stream a = Stream::pty(sim.ptyLink(0));
    Bytes reply = a.ask(rz(229, 1, 0xDB), 7);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[4], 4);
    EXPECT_EQ(reply[5], 1);
    EXPECT_EQ(sumOf(reply), 0);
    EXPECT_EQ(a.ask(rz(229, 1, 0x01), 105).size(), 105u) << "still RZ";

    Stream b = Stream::pty(sim.ptyLink(1));
    EXPECT_EQ(b.ask(withCrc({0x07, 0x06, 0xFF, 0xFF, 0x00, 0x00}), 5), withCrc({0x07, 0x86, 32}));
    EXPECT_EQ(b.ask(withCrc({0x07, 0x06, 0x00, 0x4C, 0x00, 0x09}), 5), withCrc({0x07, 0x86, 32}));
    b.write(rz(230, 2, 0x01));
    EXPECT_TRUE(b.silentFor(300)) << "still Modbus";
}

TEST(Calcsim, BurstsArriveWithTheGapOnEveryTransport) {
    TempDir dir;
    std::vector<json> eps = {endpoint("udp", 229, 1), endpoint("tcp", 229, 1), endpoint("pty", 229, 1)};
    for (auto& e : eps)
        e["faults"] = {{{"kind", "burst"}, {"split_at", {10, 60}}, {"gap_ms", 300}}};
    Calcsim sim(configOf(eps, dir));
    Bytes request = rz(229, 1, 0x01);

    Udp udp(sim.port(0));
    udp.send(request);
    std::vector<Chunk> chunks;
    auto datagrams = udp.receive(2000, 600, &chunks);
    ASSERT_EQ(datagrams.size(), 3u);
    EXPECT_EQ(datagrams[0].size(), 10u);
    EXPECT_EQ(datagrams[1].size(), 50u);
    EXPECT_EQ(datagrams[2].size(), 45u);
    EXPECT_EQ(sumOf(datagrams[0] + datagrams[1] + datagrams[2]), 0);
    // This side's own wake-up delays may shorten a measured gap a little.
    EXPECT_GE(msBetween(chunks[0].at, chunks[1].at), 200);
    EXPECT_GE(msBetween(chunks[1].at, chunks[2].at), 200);

    for (std::size_t i : {1u, 2u}) {
        Stream s = i == 1 ? Stream::tcp(sim.port(1)) : Stream::pty(sim.ptyLink(2));
        s.write(request);
        std::vector<Chunk> got;
        Bytes reply = s.read(105, 2000, &got);
        ASSERT_EQ(reply.size(), 105u);
        EXPECT_EQ(sumOf(reply), 0);
        // Find the silences: two of them, after byte 10 and after byte 60.
        std::vector<std::size_t> before;
        std::size_t seen = 0;
        for (std::size_t c = 1; c < got.size(); ++c) {
            seen += got[c - 1].size;
            if (msBetween(got[c - 1].at, got[c].at) >= 200) before.push_back(seen);
        }
        EXPECT_EQ(before, (std::vector<std::size_t>{10, 60})) << (i == 1 ? "tcp" : "pty");
    }
}

TEST(Calcsim, FirstRequestsIgnoredThenAnswered) {
    Calcsim sim({"--type", "234", "--serial", "8", "--udp", "0", "--ignore-first", "2"});
    Udp udp(sim.port());
    EXPECT_TRUE(udp.ask(rz(234, 8, 0x01), 300).empty());
    EXPECT_TRUE(udp.ask(rz(0, 0, 0x00), 300).empty());
    EXPECT_EQ(udp.ask(rz(234, 8, 0x01)).size(), 129u);
    EXPECT_EQ(udp.ask(rz(234, 8, 0x01)).size(), 129u);
    EXPECT_NE(sim.log().find("ignored: fault \"no answer\" 2 of 2"), std::string::npos) << sim.log();
}

TEST(Calcsim, SpoiledChecksumAndWrongLengthForChosenCommandsAndCounts) {
    TempDir dir;
    json bad = endpoint("udp", 229, 1), wrong = endpoint("udp", 229, 2);
    bad["faults"] = {{{"kind", "bad_checksum"}, {"commands", {1}}, {"count", 1}}};
    wrong["faults"] = {{{"kind", "wrong_length"}, {"delta", -1}}};
    Calcsim sim(configOf({bad, wrong}, dir));

    Udp u1(sim.port(0));
    EXPECT_EQ(sumOf(u1.ask(rz(0, 0, 0))), 0) << "identification is not among the commands";
    Bytes spoiled = u1.ask(rz(229, 1, 0x01));
    ASSERT_EQ(spoiled.size(), 105u);
    EXPECT_EQ(spoiled[0], 105);
    EXPECT_NE(sumOf(spoiled), 0);
    EXPECT_EQ(sumOf(u1.ask(rz(229, 1, 0x01))), 0) << "only the first answer is spoiled";

    Udp u2(sim.port(1));
    Bytes shorter = u2.ask(rz(229, 2, 0x01));
    ASSERT_EQ(shorter.size(), 104u);
    EXPECT_EQ(shorter[0], 104);
    EXPECT_EQ(sumOf(shorter), 0);
    EXPECT_EQ(Bytes(shorter.begin() + 1, shorter.begin() + 5), (Bytes{229, 2, 0, 0x01}));
}

TEST(Calcsim, LatencyDelaysTheAnswer) {
    Calcsim sim({"--type", "225", "--serial", "3", "--tcp", "0", "--latency", "300"});
    Stream s = Stream::tcp(sim.port());
    auto sent = Clock::now();
    s.write(rz(225, 3, 0x01));
    std::vector<Chunk> got;
    EXPECT_EQ(s.read(41, 2000, &got).size(), 41u);
    ASSERT_FALSE(got.empty());
    EXPECT_GE(msBetween(sent, got[0].at), 295);
    EXPECT_LT(msBetween(sent, got[0].at), 1500);
}

TEST(Calcsim, SilentSlotsGetNoAnswerWhileNeighboursAndTheOtherKindDo) {
    std::vector<std::string> device = {"--type", "229", "--serial", "1", "--filled", "daily=20"};
    std::vector<std::string> silent = device, clean = device;
    silent.insert(silent.end(), {"--udp", "0", "--silent", "--fault-slots", "daily:3,7"});
    clean.insert(clean.end(), {"--udp", "0"});
    Calcsim sim(silent), twin(clean);
    Udp udp(sim.port()), ref(twin.port());
    for (int round = 0; round < 2; ++round) {
        for (int slot : {3, 7})
            EXPECT_TRUE(udp.ask(recordRequest(229, 1, "daily", slot), 300).empty()) << "daily " << slot;
        const std::vector<std::pair<const char*, int>> answered = {
            {"daily", 2}, {"daily", 4}, {"daily", 6}, {"daily", 8}, {"hourly", 3}, {"hourly", 7}};
        for (const auto& [kind, slot] : answered) {
            Bytes want = ref.ask(recordRequest(229, 1, kind, slot));
            ASSERT_EQ(want.size(), 166u);
            EXPECT_EQ(udp.ask(recordRequest(229, 1, kind, slot)), want) << kind << " " << slot;
        }
        EXPECT_EQ(udp.ask(rz(229, 1, 0x01)), ref.ask(rz(229, 1, 0x01))) << "other commands are answered";
    }
    EXPECT_NE(sim.log().find("(archive record daily 7): ignored: fault \"no answer\""), std::string::npos)
        << sim.log();
}

TEST(Calcsim, SlotFaultsOfEveryKindChangeOnlyTheAnswersForTheirSlots) {
    std::vector<std::string> device = {"--type", "229", "--serial", "1", "--udp", "0"};
    Calcsim twin(device);
    Udp ref(twin.port());
    struct Case {
        const char* what;
        std::vector<std::string> faults;
        // The datagrams answering the faulted slot, given the clean answer.
        std::function<void(const std::vector<Bytes>&, const Bytes&)> check;
    };
    const std::vector<Case> cases = {
        {"bad checksum",
         {"--bad-checksum"},
         [](const std::vector<Bytes>& got, const Bytes& clean) {
             ASSERT_EQ(got.size(), 1u);
             ASSERT_EQ(got[0].size(), clean.size());
             EXPECT_EQ(Bytes(got[0].begin(), got[0].end() - 1), Bytes(clean.begin(), clean.end() - 1));
             EXPECT_NE(sumOf(got[0]), 0);
         }},
        {"wrong length",
         {"--wrong-length", "2"},
         [](const std::vector<Bytes>& got, const Bytes& clean) {
             ASSERT_EQ(got.size(), 1u);
             ASSERT_EQ(got[0].size(), clean.size() + 2);
             EXPECT_EQ(got[0][0], clean.size() + 2);
             EXPECT_EQ(sumOf(got[0]), 0);
         }},
        {"burst",
         {"--burst", "20:300"},
         [](const std::vector<Bytes>& got, const Bytes& clean) {
             ASSERT_EQ(got.size(), 2u);
             EXPECT_EQ(got[0].size(), 20u);
             EXPECT_EQ(got[0] + got[1], clean);
         }},
        {"drop",
         {"--drop-after", "10"},
         [](const std::vector<Bytes>& got, const Bytes& clean) {
             ASSERT_EQ(got.size(), 1u);
             EXPECT_EQ(got[0], Bytes(clean.begin(), clean.begin() + 10));
         }},
        {"two faults at once",
         {"--wrong-length", "-1", "--bad-checksum"},
         [](const std::vector<Bytes>& got, const Bytes& clean) {
             ASSERT_EQ(got.size(), 1u);
             ASSERT_EQ(got[0].size(), clean.size() - 1);
             EXPECT_EQ(got[0][0], clean.size() - 1);
             EXPECT_NE(sumOf(got[0]), 0);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = device;
        args.insert(args.end(), c.faults.begin(), c.faults.end());
        args.insert(args.end(), {"--fault-slots", "hourly:2,9"});
        Calcsim sim(args);
        Udp udp(sim.port());
        for (int slot : {1, 3, 8})
            EXPECT_EQ(udp.ask(recordRequest(229, 1, "hourly", slot)),
                      ref.ask(recordRequest(229, 1, "hourly", slot)))
                << slot;
        EXPECT_EQ(udp.ask(recordRequest(229, 1, "daily", 2)), ref.ask(recordRequest(229, 1, "daily", 2)));
        EXPECT_EQ(udp.ask(rz(229, 1, 0x15)), ref.ask(rz(229, 1, 0x15)));
        Bytes clean = ref.ask(recordRequest(229, 1, "hourly", 9));
        ASSERT_EQ(clean.size(), 166u);
        udp.send(recordRequest(229, 1, "hourly", 9));
        c.check(udp.receive(2000, 600), clean);
    }
}

TEST(Calcsim, CountOfASlotFaultCountsOnlyTheRequestsItAppliedTo) {
    TempDir dir;
    enum Want { None, Clean, Spoiled };
    struct Step {
        const char* kind; // "state": the state command
        int slot;
        Want want;
    };
    struct Case {
        json fault;
        std::vector<Step> steps;
    };
    const std::vector<Case> cases = {
        {{{"kind", "ignore"}, {"archive", "daily"}, {"slots", {3}}, {"count", 1}},
         {{"state", 0, Clean},
          {"daily", 4, Clean},
          {"hourly", 3, Clean},
          {"daily", 3, None},
          {"daily", 4, Clean},
          {"daily", 3, Clean}}},
        {{{"kind", "bad_checksum"}, {"archive", "hourly"}, {"slots", {1, 2}}, {"count", 2}},
         {{"hourly", 1, Spoiled},
          {"hourly", 0, Clean},
          {"daily", 1, Clean},
          {"state", 0, Clean},
          {"hourly", 2, Spoiled},
          {"hourly", 1, Clean},
          {"hourly", 2, Clean}}},
        {{{"kind", "wrong_length"}, {"delta", 3}, {"commands", {1}}, {"archive", "hourly"}, {"slots", 1}},
         {{"hourly", 1, Clean}, {"state", 0, Clean}}}, // commands without 0x03 take no record request
    };
    std::vector<json> eps;
    for (const Case& c : cases) {
        eps.push_back(endpoint("udp", 229, 1));
        eps.back()["faults"] = {c.fault};
    }
    eps.push_back(endpoint("udp", 229, 1));
    Calcsim sim(configOf(eps, dir));
    Udp ref(sim.port(cases.size()));
    for (std::size_t i = 0; i < cases.size(); ++i) {
        Udp udp(sim.port(i));
        int n = 0;
        for (const Step& s : cases[i].steps) {
            std::string what = "case " + std::to_string(i) + " step " + std::to_string(++n);
            Bytes request =
                std::string(s.kind) == "state" ? rz(229, 1, 0x01) : recordRequest(229, 1, s.kind, s.slot);
            Bytes got = udp.ask(request, s.want == None ? 300 : 2000);
            Bytes clean = ref.ask(request);
            switch (s.want) {
            case None:
                EXPECT_TRUE(got.empty()) << what;
                break;
            case Clean:
                EXPECT_EQ(got, clean) << what;
                break;
            case Spoiled:
                ASSERT_EQ(got.size(), clean.size()) << what;
                EXPECT_EQ(Bytes(got.begin(), got.end() - 1), Bytes(clean.begin(), clean.end() - 1)) << what;
                EXPECT_NE(got.back(), clean.back()) << what;
                break;
            }
        }
    }
    EXPECT_NE(sim.log().find("(archive record daily 3): ignored: fault \"no answer\" 1 of 1"),
              std::string::npos)
        << sim.log();
    EXPECT_NE(sim.log().find("(archive record hourly 2): answered 166 bytes, bad checksum 2 of 2"),
              std::string::npos)
        << sim.log();
}

// A reply that comes after the client's silence time-out: the request for slot 5 is answered 600 ms late; the
// client gives up on it and asks for slot 6, which is answered at once; then the late answer arrives.
TEST(Calcsim, LateAnswerForASlotComesAfterTheAnswerToTheNextRequest) {
    TempDir dir;
    std::vector<json> eps = {endpoint("udp", 236, 530), endpoint("tcp", 236, 530), endpoint("pty", 236, 530)};
    for (auto& e : eps)
        e["faults"] = {{{"kind", "latency"}, {"ms", 600}, {"archive", "hourly"}, {"slots", {5}}}};
    eps.push_back(endpoint("udp", 236, 530));
    Calcsim sim(configOf(eps, dir));
    Udp ref(sim.port(3));
    Bytes ask5 = recordRequest(236, 530, "hourly", 5), ask6 = recordRequest(236, 530, "hourly", 6);
    Bytes want5 = ref.ask(ask5), want6 = ref.ask(ask6);
    ASSERT_EQ(want5.size(), 222u);
    ASSERT_EQ(want6.size(), 222u);
    EXPECT_EQ(le(payloadOf(want5), 212, 2), 5u); // the record number: the two answers differ
    EXPECT_EQ(le(payloadOf(want6), 212, 2), 6u);

    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(eps[i].contains("udp") ? "udp" : eps[i].contains("tcp") ? "tcp" : "pty");
        std::optional<Udp> udp;
        std::optional<Stream> stream;
        if (i == 0)
            udp.emplace(sim.port(0));
        else
            stream.emplace(i == 1 ? Stream::tcp(sim.port(1)) : Stream::pty(sim.ptyLink(2)));
        auto send = [&](const Bytes& b) { udp ? udp->send(b) : stream->write(b); };
        // One answer (empty when none begins within `ms`) and when it began to arrive.
        auto answer = [&](int ms, Clock::time_point& at) {
            std::vector<Chunk> chunks;
            Bytes b;
            if (udp) {
                auto all = udp->receive(ms, 0, &chunks);
                if (!all.empty()) b = all[0];
            } else {
                b = stream->read(222, ms, &chunks);
            }
            if (!chunks.empty()) at = chunks[0].at;
            return b;
        };
        Clock::time_point first{}, second{};
        auto sent5 = Clock::now();
        send(ask5);
        EXPECT_TRUE(answer(250, first).empty()) << "silence after the request";
        auto sent6 = Clock::now();
        send(ask6);
        EXPECT_EQ(answer(1000, first), want6);
        EXPECT_LT(msBetween(sent6, first), 200) << "the later request is not held up";
        EXPECT_EQ(answer(1000, second), want5);
        EXPECT_GE(msBetween(sent5, second), 595);
        EXPECT_LT(msBetween(sent5, second), 1200);
    }
}

// On one serial line the answers cannot overlap: at 9600 baud the answer for slot 6 takes 231 ms on the wire;
// the answer for slot 5, due 100 ms after the request, follows it complete instead of mixing into it.
TEST(Calcsim, OnAPacedLineALateAnswerWaitsUntilTheLineIsFree) {
    TempDir dir;
    json line = endpoint("pty", 236, 530);
    line["baud"] = 9600;
    line["faults"] = {{{"kind", "latency"}, {"ms", 100}, {"archive", "hourly"}, {"slots", {5}}}};
    Calcsim sim(configOf({line, endpoint("udp", 236, 530)}, dir));
    Udp ref(sim.port(1));
    Bytes ask5 = recordRequest(236, 530, "hourly", 5), ask6 = recordRequest(236, 530, "hourly", 6);
    Bytes want5 = ref.ask(ask5), want6 = ref.ask(ask6);
    Stream s = Stream::pty(sim.ptyLink(0));
    s.write(ask5 + ask6);
    Bytes got = s.read(444, 2000);
    ASSERT_EQ(got.size(), 444u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 222), want6);
    EXPECT_EQ(Bytes(got.begin() + 222, got.end()), want5);
}

TEST(Calcsim, TcpConnectionDroppedMidFrameThenANewOneWorks) {
    Calcsim sim({"--type", "236", "--serial", "530", "--tcp", "0", "--drop-after", "5"});
    {
        Stream s = Stream::tcp(sim.port());
        s.write(rz(236, 530, 0x01));
        EXPECT_EQ(s.read(129), (Bytes{129, 236, 530 & 0xFF, 530 >> 8, 0x01}));
        EXPECT_TRUE(s.closedByPeer());
    }
    Stream again = Stream::tcp(sim.port());
    Bytes whole = again.ask(rz(236, 530, 0x01), 129);
    EXPECT_EQ(whole.size(), 129u);
    EXPECT_EQ(sumOf(whole), 0);
}

TEST(Calcsim, TcpFramesMayArriveSplitAndANewConnectionReplacesTheOld) {
    Calcsim sim({"--type", "238", "--serial", "40", "--tcp", "0"});
    Stream s = Stream::tcp(sim.port());
    Bytes frame = rz(238, 40, 0x01);
    s.write(Bytes(frame.begin(), frame.begin() + 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s.write(Bytes(frame.begin() + 2, frame.end()));
    EXPECT_EQ(s.read(41).size(), 41u);
    // Two frames in one write: two answers.
    EXPECT_EQ(s.ask(frame + rz(238, 40, 0x15), 50).size(), 50u);

    Stream other = Stream::tcp(sim.port());
    EXPECT_EQ(other.ask(rz(238, 40, 0x15), 9).size(), 9u);
    EXPECT_TRUE(s.read(1, 1000).empty());
    EXPECT_TRUE(s.closedByPeer());
}

TEST(Calcsim, IncompleteFrameIsDroppedAfterSilence) {
    TempDir dir;
    Calcsim sim({"--type", "229", "--serial", "1", "--pty", dir.file("line"), "--frame-timeout", "200"});
    Stream line = Stream::pty(sim.ptyLink());
    Bytes frame = rz(229, 1, 0x01);
    line.write(Bytes(frame.begin(), frame.begin() + 3));
    EXPECT_TRUE(line.silentFor(400));
    EXPECT_EQ(line.ask(frame, 105).size(), 105u);
    EXPECT_NE(sim.log().find("incomplete frame dropped: 3 of 6 bytes"), std::string::npos) << sim.log();
}

TEST(Calcsim, BaudPacingKeepsToTheWireTime) {
    TempDir dir;
    Calcsim sim({"--type", "236", "--serial", "530", "--pty", dir.file("line"), "--baud", "9600"});
    Stream line = Stream::pty(sim.ptyLink());
    // 222 bytes at 9600 baud, 10 bits a byte: the last byte completes 221 byte times after the first.
    const double want = 221 * 10.0 / 9600 * 1000;
    // This side measures with its own wake-up delays; a measurement counts when the first byte was read alone
    // (so within a byte time of its arrival). A late read of the last byte only lengthens the measurement, so
    // a pacer that is too slow cannot pass by chance; under load the measurement is repeated.
    double best = 1e9;
    int measured = 0;
    for (int attempt = 0; attempt < 10 && std::abs(best - want) > want * 0.01; ++attempt) {
        line.write(rz(236, 530, 0x03, {0x05, 0x00}));
        std::vector<Chunk> got;
        ASSERT_EQ(line.read(222, 2000, &got).size(), 222u);
        EXPECT_GT(got.size(), 20u) << "the bytes trickle in";
        if (got.front().size != 1) continue;
        ++measured;
        double took = msBetween(got.front().at, got.back().at);
        if (std::abs(took - want) < std::abs(best - want)) best = took;
    }
    ASSERT_GT(measured, 0);
    EXPECT_NEAR(best, want, want * 0.01);
}

TEST(Calcsim, DumpIsDeterministicAndShowsExplicitValues) {
    std::vector<std::string> args = {"--type",  "236",           "--serial", "530",
                                     "--state", "HEnergy2=nan",  "--state",  "TemperF1=-inf",
                                     "--param", "SystemType1=2", "--filled", "monthly=40"};
    json a = dump(args), b = dump(args);
    EXPECT_EQ(a, b);
    const json& d = a["devices"][0];
    EXPECT_EQ(d["type"], 236);
    EXPECT_EQ(d["serial"], 530);
    EXPECT_EQ(d["state"]["HEnergy2"], "NaN");
    EXPECT_EQ(d["state"]["TemperF1"], "-Infinity");
    EXPECT_EQ(d["params"]["SystemType1"], 2);
    EXPECT_EQ(d["archives"]["hourly"]["records"].size(), 72u);  // the default fill
    EXPECT_EQ(d["archives"]["monthly"]["records"].size(), 36u); // wrapped: every slot written
    EXPECT_EQ(d["archives"]["monthly"]["pointer"], 4);

    std::vector<std::string> other = args;
    other[3] = "531";
    EXPECT_NE(dump(other)["devices"][0]["state"], d["state"]);
    other = args;
    other.insert(other.end(), {"--seed", "9"});
    EXPECT_NE(dump(other)["devices"][0]["archives"], d["archives"]);
}

TEST(Calcsim, EndsCleanlyOnSignalsAndRemovesThePtyLink) {
    TempDir dir;
    for (int sig : {SIGTERM, SIGINT}) {
        std::string link = dir.file("line" + std::to_string(sig));
        Calcsim sim({"--type", "229", "--serial", "1", "--pty", link, "--modem"});
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(fs::read_symlink(link).string().rfind("/dev/pts/", 0), 0u);
        EXPECT_EQ(sim.terminate(sig), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
}

TEST(Calcsim, WrongCommandLinesAndConfigurationsExitWithUsage) {
    TempDir dir;
    int configs = 0;
    auto config = [&](const std::string& text) {
        std::string path = dir.file("c" + std::to_string(++configs) + ".json");
        std::ofstream(path) << text;
        return path;
    };
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"--type", "229", "--udp", "0"},
        {"--type", "229", "--serial", "1"},
        {"--type", "229", "--serial", "0", "--udp", "0"},
        {"--type", "99", "--serial", "1", "--udp", "0"},
        {"--type", "229", "--serial", "1", "--udp", "0", "--tcp", "0"},
        {"--type", "229", "--serial", "1", "--udp", "0", "--modem"},
        {"--type", "229", "--serial", "1", "--udp", "0", "--state", "NoSuchField=1"},
        {"--type", "128", "--serial", "1", "--udp", "0", "--param", "SystemType1=1"},
        {"--type", "229", "--serial", "1", "--udp", "0", "--clock", "2024-02-30 10:00"},
        {"--type", "229", "--serial", "1", "--udp", "0", "--clock", "2000-01-05 10:00", "--filled",
         "daily=20"},
        {"--type", "229", "--serial", "1", "--udp", "0", "--bogus"},
        {"--config", config("{\"endpoints\": [")},
        {"--config", config("{\"endpoints\": [{\"udp\": 0, \"type\": 229, \"serial\": 1, \"colour\": 1}]}")},
        {"--config",
         config("{\"endpoints\": [{\"tcp\": 0, \"type\": 229, \"serial\": 1, \"modem\": true}]}")},
        {"--config", config("{\"endpoints\": []}")},
    };
    for (const auto& args : wrong) {
        Result r = runToEnd(args);
        std::string line;
        for (const auto& a : args)
            line += a + " ";
        EXPECT_EQ(r.code, 2) << line << "\n" << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << line;
    }
}

TEST(Calcsim, MistakesInSlotFaultsAndRecordValuesAreNamed) {
    TempDir dir;
    int configs = 0;
    // A configuration of one 229 endpoint with these keys added.
    auto config = [&](const json& extra) {
        json e = endpoint("udp", 229, 1);
        e.update(extra);
        std::string path = dir.file("c" + std::to_string(++configs) + ".json");
        std::ofstream(path) << json{{"endpoints", {e}}}.dump();
        return std::vector<std::string>{"--config", path};
    };
    auto fault = [&](const json& keys) {
        json f = {{"kind", "ignore"}};
        f.update(keys);
        return config({{"faults", {f}}});
    };
    auto line = [](std::vector<std::string> more, int type = 229) {
        std::vector<std::string> args = {"--type", std::to_string(type), "--serial", "1", "--udp", "0"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {fault({{"slots", {3}}}), "\"archive\" and \"slots\" go together"},
        {fault({{"archive", "daily"}}), "\"archive\" and \"slots\" go together"},
        {fault({{"archive", "weekly"}, {"slots", {3}}}), "archive kind must be hourly, daily or monthly"},
        {fault({{"archive", "daily"}, {"slots", json::array()}}), "slots is empty"},
        {fault({{"archive", "daily"}, {"slots", {16384}}}), "slots must be 0..16383"},
        {fault({{"archive", "hourly"}, {"slots", {"3"}}}), "slots must be an integer"},
        {line({"--silent", "--fault-slots", "weekly:3"}), "archive kind must be hourly, daily or monthly"},
        {line({"--silent", "--fault-slots", "daily"}), "--fault-slots expects KIND:S[,S...]"},
        {line({"--silent", "--fault-slots", "daily:"}), "--fault-slots expects KIND:S[,S...]"},
        {line({"--silent", "--fault-slots", "daily:3,x"}), "--fault-slots: not a number: \"x\""},
        {line({"--silent", "--fault-slots", "daily:3", "--fault-slots", "hourly:4"}), "one archive kind"},
        {line({"--record-value", "hourly:NoSuchField=1"}), "unknown record field \"NoSuchField\""},
        {line({"--record-value", "Volume3=1"}), "--record-value expects KIND:NAME=VALUE"},
        {line({"--record-value", "weekly:Volume3=1"}), "archive kind must be hourly, daily or monthly"},
        {line({"--record-value", "hourly:Volume3=lots"}), "not a number: \"lots\""},
        {line({"--record-value", "monthly:Volume3=1"}),
         "monthly archive, which device type 229 does not keep"},
        {line({"--record-value", "hourly:Counter1=1"}, 128), "device type 128 keeps no archive"},
        {config({{"record_values", {{"weekly", {{"Volume3", 1}}}}}}), "unknown key \"weekly\""},
        {config({{"record_values", {{"daily", {{"NoSuchField", "NaN"}}}}}}),
         "unknown record field \"NoSuchField\""},
        {config({{"record_values", {{"daily", {{"Volume3", true}}}}}}),
         "record_values.daily.Volume3 must be a number"},
    };
    for (const auto& [args, message] : cases) {
        Result r = runToEnd(args);
        EXPECT_EQ(r.code, 2) << message << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage:"), std::string::npos) << message;
    }
}

} // namespace
