// SPDX-License-Identifier: MIT
#include "frame.hpp"

#include <cstdio>

namespace sim {

uint16_t crc16(const uint8_t *data, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

void seal(Bytes *frame)
{
    uint16_t crc = crc16(frame->data(), frame->size());
    frame->push_back(crc & 0xFF);
    frame->push_back(crc >> 8);
}

std::string hex(const Bytes &frame)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < frame.size(); i++) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", frame[i]);
        s += buf;
    }
    return s;
}

Verdict judge(const Bytes &frame)
{
    char why[96];
    // The shortest frame is slave, function and CRC.
    if (frame.size() < 4) {
        std::snprintf(why, sizeof why, "%zu bytes, too short for a frame", frame.size());
        return {false, why};
    }
    size_t n = frame.size() - 2;
    uint16_t crc = crc16(frame.data(), n);
    if (frame[n] != (crc & 0xFF) || frame[n + 1] != (crc >> 8))
        return {false, "bad CRC"};
    if (frame[0] != kSlave) {
        std::snprintf(why, sizeof why, "for slave %d", frame[0]);
        return {false, why};
    }
    if (frame[1] & 0x80) {
        std::snprintf(why, sizeof why, "function 0x%02X is not a request", frame[1]);
        return {false, why};
    }
    if (frame[1] == kReadCoils && frame.size() != kReadCoilsLength) {
        std::snprintf(why, sizeof why, "%zu bytes, Read Coils takes %zu", frame.size(),
                      kReadCoilsLength);
        return {false, why};
    }
    return {true, ""};
}

} // namespace sim
