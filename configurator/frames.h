// Tolvan's frames and rules: the RZ protocol-switch frame with its additive checksum ("CRC8"), the Modbus RTU
// write-single-register frames with CRC-16/MODBUS ("CRC16"), how each reply is judged, the operator's number
// entries and the command line. Nothing here touches a port or a window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tolvan {

using Bytes = std::vector<uint8_t>;

// The texts the operator sees.
namespace text {
inline constexpr const char* kTitle = "Конфигуратор ModBus";
inline constexpr const char* kCannotOpenPort = "Нет возможности открыть порт";
inline constexpr const char* kNoReply = "Нет ответа";
inline constexpr const char* kCrc8Error = "Ошибка CRC8";
inline constexpr const char* kCrc16Error = "Ошибка CRC16";
inline constexpr const char* kPacketError = "Ошибка пакета";
inline constexpr const char* kModbusOn = "Подключен Modbus!";
inline constexpr const char* kRzOn = "Подключен RZ стандарт!";
inline constexpr const char* kJumperOpenRz = "Не замкнута перемычка";
inline constexpr const char* kAddressChanged = "Адрес изменен!";
inline constexpr const char* kModbusRtu = "Modbus RTU";
inline constexpr const char* kRzStandard = "RZ стандарт";
inline constexpr const char* kProtocolUnknown = "???";
inline constexpr const char* kNewAddressTitle = "Новый АДРЕС Modbus";
inline constexpr const char* kNewAddressPrompt = "введите новый адрес Modbus от 1 до 247 ";
} // namespace text

// ---- checksums

// CRC-16/MODBUS of n bytes (reflected polynomial 0xA001, initial 0xFFFF), byte-wise with the two published
// tables. The low byte of the result is sent first.
uint16_t crc16(const uint8_t* data, size_t n);
inline uint16_t crc16(const Bytes& b) {
    return crc16(b.data(), b.size());
}
// True when the last two bytes are the CRC of the bytes before them, low byte first.
bool crc16Ok(const Bytes& frame);

// Two's complement of the 8-bit sum of n bytes: the last byte of an RZ frame.
uint8_t crc8(const uint8_t* data, size_t n);
// True when the n bytes add up to 0 modulo 256.
bool crc8Ok(const uint8_t* data, size_t n);

// ---- frames

// RZ: 06, device type, serial low byte, serial high byte, 0xDB, checksum.
Bytes modbusSwitchFrame(uint8_t deviceType, uint16_t serial);
// Modbus, function 6: register 0xFFFF set to 0 at the given address.
Bytes rzSwitchFrame(uint8_t address);
// Modbus, function 6: register 0x004C set to the new address.
Bytes addressFrame(uint8_t address, uint8_t newAddress);

// ---- judging replies

// What one operation ends with: the message boxes in their order and the values it changes.
struct Outcome {
    std::vector<std::string> messages;
    std::optional<std::string> protocol; // new text of the "Протокол" field
    std::optional<uint8_t> address;      // new current Modbus address

    bool operator==(const Outcome&) const = default;
};

// Size of the receive area that the RZ reply is copied into.
inline constexpr size_t kReceiveArea = 101;

// `Button1`: the reply to modbusSwitchFrame (empty: none came).
Outcome judgeModbusSwitch(const Bytes& reply, uint8_t deviceType, uint16_t serial);
// `Button2`: the reply to rzSwitchFrame(address) = sent.
Outcome judgeRzSwitch(const Bytes& reply, const Bytes& sent, uint8_t address);
// `Button3`: the reply to addressFrame(address, newAddress) = sent.
Outcome judgeAddressChange(const Bytes& reply, const Bytes& sent, uint8_t address, uint8_t newAddress);
// Message of a Modbus exception code; empty for a code that has none.
std::string exceptionText(int code);

// ---- operator's numbers and the command line

// A whole 32-bit integer as the operator may type it: optional leading blanks and sign, decimal digits or
// hexadecimal after "$" or "0x"; nothing may follow.
std::optional<int32_t> toInteger(const std::string& s);
// The message when a text is not a number.
std::string conversionError(const std::string& s);

inline constexpr const char* kLaunchToken = "vrelt";

struct LaunchArgs {
    std::string port;       // argument 2
    std::string serialText; // argument 3 as given
    uint16_t serial = 0;
    uint8_t address = 0; // argument 4
    std::string addressText;
    uint8_t deviceType = 0; // argument 5
    std::string typeName;   // text of the "Тип прибора " field
};

// The arguments after the program name. Empty when the program must end: a launch token other than "vrelt",
// or an argument 2 to 5 that is missing, empty, or (3 to 5) not a number.
std::optional<LaunchArgs> parseLaunch(const std::vector<std::string>& args);
// Text of the "Тип прибора " field for argument 5.
std::string deviceTypeName(const std::string& arg);

} // namespace tolvan
