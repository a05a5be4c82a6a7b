#include "sim/protocol.h"

#include <cstdio>

namespace calcsim {

std::uint8_t rzChecksum(std::span<const std::uint8_t> bytes) {
    unsigned sum = 0;
    for (auto b : bytes)
        sum += b;
    return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

bool rzChecksumOk(std::span<const std::uint8_t> frame) {
    unsigned sum = 0;
    for (auto b : frame)
        sum += b;
    return !frame.empty() && (sum & 0xFF) == 0;
}

Bytes rzFrame(int type, int serial, int command, std::span<const std::uint8_t> payload) {
    Bytes f;
    f.reserve(payload.size() + 6);
    f.push_back(static_cast<std::uint8_t>(payload.size() + 6));
    f.push_back(static_cast<std::uint8_t>(type));
    f.push_back(static_cast<std::uint8_t>(serial & 0xFF));
    f.push_back(static_cast<std::uint8_t>((serial >> 8) & 0xFF));
    f.push_back(static_cast<std::uint8_t>(command));
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(rzChecksum(f));
    return f;
}

std::uint16_t crc16Modbus(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (auto b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

Bytes withCrc16(Bytes bytes) {
    std::uint16_t crc = crc16Modbus(bytes);
    bytes.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(crc >> 8));
    return bytes;
}

namespace {

// Rows 0, 3 and 5 share every command but the state, parameter, pointer and record lengths.
std::vector<Command> vexaP(int state, int paramWrite, int paramRead, int pointers, int record) {
    return {
        {0x00, 6, 6, Op::Identify, "identification"},
        {0xF0, 10, 7, Op::Service, "service 0xF0"},
        {0x01, 6, state, Op::State, "state"},
        {0x04, paramWrite, 7, Op::ParamWrite, "parameter write"},
        {0x05, 6, paramRead, Op::ParamRead, "parameters"},
        {0x15, 6, pointers, Op::Pointers, "archive pointers"},
        {0x14, 6, 6, Op::ArchiveBegin, "archive begin"},
        {0x03, 8, record, Op::Record, "archive record"},
        {0xFE, 6, 6, Op::ArchiveEnd, "archive end"},
        {0x0B, 11, 6, Op::SetClock, "clock setting"},
        {0x09, 6, 7, Op::Other, "command 0x09"},
        {0x06, 6, 7, Op::Other, "command 0x06"},
        {0x0D, 23, 23, Op::Other, "command 0x0D"},
        {0x02, 8, 7, Op::Other, "command 0x02"},
        {0x0C, 8, 40, Op::Other, "command 0x0C"},
    };
}

// Rows 1 and 6: the one-system calculators.
std::vector<Command> vexaK() {
    return {
        {0x00, 6, 6, Op::Identify, "identification"},
        {0xF0, 10, 6, Op::Service, "service 0xF0"},
        {0x01, 6, 41, Op::State, "state"},
        {0x04, 23, 7, Op::ParamWrite, "parameter write"},
        {0x05, 6, 23, Op::ParamRead, "parameters"},
        {0x15, 6, 9, Op::Pointers, "archive pointers"},
        {0x03, 8, 49, Op::Record, "archive record"},
        {0x0B, 11, 6, Op::SetClock, "clock setting"},
        {0x09, 6, 6, Op::Other, "command 0x09"},
        {0x06, 6, 6, Op::Other, "command 0x06"},
        {0x0D, 15, 14, Op::Other, "command 0x0D"},
    };
}

const std::vector<std::vector<Command>>& rows() {
    static const std::vector<std::vector<Command>> table = {
        vexaP(105, 46, 46, 10, 166),
        vexaK(),
        {
            {0x00, 6, 6, Op::Identify, "identification"},
            {0xF0, 10, 6, Op::Service, "service 0xF0"},
            {0x01, 6, 31, Op::State, "state"},
        },
        vexaP(129, 100, 100, 10, 222),
        {
            {0x00, 6, 6, Op::Identify, "identification"},
            {0xF0, 10, 6, Op::Service, "service 0xF0"},
            {0x06, 6, 20, Op::State, "state"},
            {0x05, 6, 62, Op::ParamRead, "state block 2"},
        },
        vexaP(129, 100, 100, 12, 222),
        vexaK(),
    };
    return table;
}

} // namespace

int commandRow(int type) {
    switch (type) {
    case 228:
    case 229:
    case 230:
        return 0;
    case 225:
        return 1;
    case 128:
        return 2;
    case 234:
    case 235:
        return 3;
    case 231:
        return 4;
    case 236:
    case 237:
        return 5;
    case 238:
        return 6;
    default:
        return -1;
    }
}

const std::vector<Command>& rowCommands(int row) {
    return rows().at(static_cast<std::size_t>(row));
}

const Command* findCommand(int row, int code) {
    for (const auto& c : rowCommands(row))
        if (c.code == code) return &c;
    return nullptr;
}

int wireType(int type) {
    return type == 231 ? 230 : type;
}

std::string hex(std::span<const std::uint8_t> bytes, std::size_t max) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
        if (i) s += ' ';
        s += buf;
    }
    if (bytes.size() > max) s += " ...";
    return s;
}

} // namespace calcsim
