// The RZ frame of the heat calculators and the CRC of Modbus RTU, as the simulated devices build and check
// them, and the device side of the command table: which commands a device of each type understands, with the
// frame lengths it expects and answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace calcsim {

using Bytes = std::vector<std::uint8_t>;

// Two's complement of the 8-bit sum of the bytes, so that a frame with it appended adds up to 0.
std::uint8_t rzChecksum(std::span<const std::uint8_t> bytes);
// True when all bytes of the frame add up to 0 modulo 256.
bool rzChecksumOk(std::span<const std::uint8_t> frame);
// A complete RZ frame: length, type, serial low and high byte, command, payload, checksum.
Bytes rzFrame(int type, int serial, int command, std::span<const std::uint8_t> payload);

// CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF).
std::uint16_t crc16Modbus(std::span<const std::uint8_t> bytes);
// The bytes with their CRC appended, low byte first.
Bytes withCrc16(Bytes bytes);

// What a device does with a command of its row.
enum class Op {
    Identify,     // 0x00: identification and link test
    Service,      // 0xF0
    State,        // current state (0x01; 0x06 for the flow meter)
    ParamWrite,   // 0x04: writes the configuration block
    ParamRead,    // 0x05: the configuration block (the flow meter's second state block)
    Pointers,     // 0x15: next-write slots of the ring buffers
    ArchiveBegin, // 0x14
    Record,       // 0x03: one archive record
    ArchiveEnd,   // 0xFE
    SetClock,     // 0x0B
    Other,        // the remaining commands: answered with a zero payload of the tabled length
};

struct Command {
    int code;
    int requestLength;
    int responseLength;
    Op op;
    const char* name; // for the log
};

// Command-table row of a device type (229/230/228 → 0, 225 → 1, 128 → 2, 234/235 → 3, 231 → 4, 236/237 → 5,
// 238 → 6); -1 for a type the simulator does not know.
int commandRow(int type);
// The commands a device of the row understands (those with non-zero lengths).
const std::vector<Command>& rowCommands(int row);
// The command with this code in the row, or nullptr.
const Command* findCommand(int row, int code);

// Type byte that frames for the device carry: 230 for the flow meter 231, the type itself otherwise.
int wireType(int type);

// "E5 01 00" style text of bytes, for the log.
std::string hex(std::span<const std::uint8_t> bytes, std::size_t max = 64);

} // namespace calcsim
