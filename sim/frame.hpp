// SPDX-License-Identifier: MIT
//
// Modbus RTU frames as the simulated slave sees them: bytes, the CRC that
// closes every frame, and the judgement of whether a frame is a request the
// device answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

const int kSlave = 1;
const uint8_t kReadCoils = 0x01;
const size_t kReadCoilsLength = 8; // slave, function, address, quantity, CRC

// CRC-16/MODBUS of n bytes.
uint16_t crc16(const uint8_t *data, size_t n);
// Appends the CRC, low byte first, as RTU frames carry it.
void seal(Bytes *frame);
// Bytes as upper-case hex separated by blanks: "01 01 00 00".
std::string hex(const Bytes &frame);

// What the device makes of a frame: answer it, or drop it silently for the
// reason given (which --verbose prints).
struct Verdict {
    bool answer;
    std::string why;
};

// A frame is answered only when its CRC is right, it is for slave 1, it is a
// request (a function code below 0x80) and, for Read Coils, it is exactly as
// long as that function's request.
Verdict judge(const Bytes &frame);

} // namespace sim
