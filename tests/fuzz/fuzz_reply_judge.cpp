// libFuzzer target of the configurator's reply rules: the first byte chooses the operation (switch to Modbus,
// switch back to RZ, change of address), the next four its device type, serial and addresses, the rest is
// the reply. A reply that is missing or does not add up ends with a message; what the operation accepts is
// checked again with the simulator's own checksums: a switch to Modbus only on a 7-byte RZ answer of the
// device that adds up, a switch back or a new address only on a Modbus reply with a right CRC that echoes
// what was sent.
#include "configurator/frames.h"
#include "sim/protocol.h"
#include "tests/fuzz/fuzz_support.h"

#include <span>

using namespace tolvan;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const int op = in.byte() % 3;
    const uint8_t type = in.byte();
    const uint16_t serial = in.u16();
    const uint8_t address = in.byte();
    const uint8_t newAddress = in.byte();
    const std::string_view r = in.rest();
    const Bytes reply(r.begin(), r.end());

    if (op == 0) {
        const Bytes sent = modbusSwitchFrame(type, serial);
        fuzz::check(sent.size() == 6 && calcsim::rzChecksumOk(sent), "the switch frame does not add up");
        const Outcome o = judgeModbusSwitch(reply, type, serial);
        if (reply.empty() || !calcsim::rzChecksumOk(reply))
            fuzz::check(!o.messages.empty(), "a bad answer to the switch ended without a message");
        if (o.protocol) {
            fuzz::check(reply.size() >= 7 && calcsim::rzChecksumOk(std::span(reply).first(7)) &&
                            calcsim::rzChecksumOk(reply),
                        "a switch to Modbus was taken from an answer that does not add up");
            fuzz::check(reply[0] == 7 && reply[1] == type && reply[2] * 256 + reply[3] == serial &&
                            reply[5] == 0,
                        "a switch to Modbus was taken from another device's answer");
        }
        fuzz::check(!o.address, "a switch to Modbus changed the address");
        return 0;
    }
    const Bytes sent = op == 1 ? rzSwitchFrame(address) : addressFrame(address, newAddress);
    fuzz::check(sent.size() == 8 && calcsim::withCrc16(Bytes(sent.begin(), sent.end() - 2)) == sent,
                "a Modbus frame has a wrong CRC");
    const Outcome o =
        op == 1 ? judgeRzSwitch(reply, sent, address) : judgeAddressChange(reply, sent, address, newAddress);
    const bool crcRight =
        reply.size() >= 2 && calcsim::withCrc16(Bytes(reply.begin(), reply.end() - 2)) == reply;
    if (reply.empty() || !crcRight) fuzz::check(!o.messages.empty(), "a bad reply ended without a message");
    if (o.protocol || o.address) {
        fuzz::check(crcRight, "a reply with a wrong CRC was taken");
        fuzz::check(reply.size() == 8, "a reply of another length was taken");
        if (op == 1)
            fuzz::check(reply == sent && *o.protocol == text::kRzStandard, "a switch back was taken wrongly");
        else
            fuzz::check(reply[0] == newAddress && *o.address == newAddress &&
                            std::equal(reply.begin() + 1, reply.begin() + 6, sent.begin() + 1),
                        "a new address was taken from a reply that does not echo it");
    }
    fuzz::check(op == 1 || !o.protocol, "a change of address changed the protocol");
    fuzz::check(op == 2 || !o.address, "a switch back changed the address");
    return 0;
}
