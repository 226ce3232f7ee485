// SPDX-License-Identifier: MIT
//
// The simulated slave's answers: what a sound device replies to a request
// from its coil table, and how a chosen fault turns that into what a broken
// device sends.
#pragma once

#include "frame.hpp"
#include "line.hpp"
#include "options.hpp"

#include <modbus.h>

namespace sim {

class Device {
public:
    explicit Device(const Options &opt) : opt_(opt), rng_(opt.seed) {}
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Builds the coil table and the library context that makes the replies.
    bool start();
    // Answers a request the frame judge let through, on the line. False
    // when the simulator is to stop (the rest of the reply is not sent).
    bool answer(const Frame &request, Line *line);

private:
    Bytes genuine_reply(const Bytes &request);
    Bytes apply_fault(const Bytes &request, Bytes reply);
    Bytes random_bytes(size_t n);

    const Options &opt_;
    unsigned rng_;
    int pipe_[2] = {-1, -1};
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    bool late_sent_ = false;
};

} // namespace sim
