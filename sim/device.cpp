// SPDX-License-Identifier: MIT
#include "device.hpp"
#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

namespace sim {
namespace {

const uint8_t kIllegalFunction = 0x01;
// Well past a client's 0.5 s wait and its 0.5 s recovery pause.
const double kLateSeconds = 2.5;

Bytes exception_reply(const Bytes &request, uint8_t code)
{
    Bytes reply = {request[0], static_cast<uint8_t>(request[1] | 0x80), code};
    seal(&reply);
    return reply;
}

} // namespace

Device::~Device()
{
    if (map_)
        modbus_mapping_free(map_);
    if (ctx_)
        modbus_free(ctx_); // its socket is our pipe: closed below, not by it
    for (int fd : pipe_)
        if (fd != -1)
            close(fd);
}

bool Device::start()
{
    // libmodbus's own server side builds the Read Coils replies: its RTU
    // context writes them into a pipe, from which they are taken, changed
    // by a fault if one is chosen, and put on the line.
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) == -1) {
        say("melda-sim: pipe: %s\n", std::strerror(errno));
        return false;
    }
    ctx_ = modbus_new_rtu("melda-sim", 19200, 'N', 8, 2);
    map_ = modbus_mapping_new(opt_.table_size, 0, 0, 0);
    if (!ctx_ || !map_) {
        say("melda-sim: libmodbus: %s\n", modbus_strerror(errno));
        return false;
    }
    modbus_set_slave(ctx_, kSlave);
    modbus_set_socket(ctx_, pipe_[1]);
    // modbus_reply waits one response timeout before some exceptions; a
    // real device answers at once.
#if LIBMODBUS_VERSION_CHECK(3, 1, 0)
    modbus_set_response_timeout(ctx_, 0, 1);
#else
    const timeval no_wait = {0, 1};
    modbus_set_response_timeout(ctx_, &no_wait);
#endif
    for (int i = 0; i < opt_.table_size; i++)
        map_->tab_bits[i] = opt_.pattern[static_cast<size_t>(i) % opt_.pattern.size()] == '1';
    return true;
}

// Read Coils is answered from the table by the library (exceptions 02 and
// 03 included); every other function by exception 01, as a device that
// implements Read Coils alone does.
Bytes Device::genuine_reply(const Bytes &request)
{
    if (request[1] != kReadCoils)
        return exception_reply(request, kIllegalFunction);
    uint8_t buf[MODBUS_RTU_MAX_ADU_LENGTH];
    while (read(pipe_[0], buf, sizeof buf) > 0)
        ;
    Bytes reply;
    if (modbus_reply(ctx_, request.data(), static_cast<int>(request.size()), map_) <= 0)
        return reply;
    ssize_t n = read(pipe_[0], buf, sizeof buf);
    if (n > 0)
        reply.assign(buf, buf + n);
    return reply;
}

Bytes Device::random_bytes(size_t n)
{
    Bytes b(n);
    for (uint8_t &x : b)
        x = static_cast<uint8_t>(rand_r(&rng_) >> 7);
    return b;
}

// Turns the genuine reply into the chosen fault's. Faults that rework the
// data of a Read Coils reply leave an exception reply as it is.
Bytes Device::apply_fault(const Bytes &request, Bytes reply)
{
    bool data_reply = reply.size() >= 5 && reply[1] == kReadCoils;
    Bytes body(reply.begin(), reply.end() - (reply.size() >= 2 ? 2 : 0));
    switch (opt_.fault) {
    case Fault::None:
    case Fault::Pieces:
    case Fault::Silent:
    case Fault::Hangup:
    case Fault::Late:
        return reply;
    case Fault::Exception:
        return exception_reply(request, static_cast<uint8_t>(opt_.exception_code));
    case Fault::BadCrc:
        reply[reply.size() - 1] ^= 0x5A;
        return reply;
    case Fault::WrongSlave:
        body[0] = 2;
        break;
    case Fault::WrongFunction:
        body[1] = static_cast<uint8_t>((body[1] & 0x80) | 0x02);
        break;
    case Fault::BadCount:
        if (!data_reply)
            return reply;
        body[2] -= 1;
        break;
    case Fault::Short:
        if (!data_reply)
            return reply;
        body[2] -= 1;
        body.pop_back();
        break;
    case Fault::Long:
        if (!data_reply)
            return reply;
        body[2] = MODBUS_MAX_READ_BITS / 8; // 250 bytes: 2000 coils
        body.resize(3 + body[2], 0xA5);
        break;
    case Fault::Truncated:
        reply.resize(reply.size() - 2);
        return reply;
    case Fault::Halfway:
        reply.resize(reply.size() / 2);
        return reply;
    case Fault::Extra:
        reply.insert(reply.end(), {0xDE, 0xAD, 0xBE, 0xEF});
        return reply;
    case Fault::Garbage:
        return random_bytes(12);
    case Fault::Flood:
        return random_bytes(1024);
    }
    seal(&body);
    return body;
}

bool Device::answer(const Frame &request, Line *line)
{
    Bytes reply = opt_.fault == Fault::Silent ? Bytes{} : genuine_reply(request.bytes);
    if (reply.empty()) {
        if (opt_.verbose)
            say("melda-sim: no answer: %s\n",
                         opt_.fault == Fault::Silent ? "the silent fault" : "none built");
        return true;
    }
    reply = apply_fault(request.bytes, reply);

    bool going = true;
    if (opt_.fault == Fault::Late && !late_sent_) {
        // Written whoever holds the line then, as a slow device's reply
        // reaches whatever program has the port open when it comes: the
        // one fault whose bytes can reach a later client.
        late_sent_ = true;
        going = line->sleep_until(now() + kLateSeconds) && line->write(reply, kWhoeverHoldsTheLine);
    } else if (opt_.fault == Fault::Pieces) {
        size_t piece = (reply.size() + 2) / 3;
        for (size_t at = 0; going && at < reply.size(); at += piece) {
            if (at)
                going = line->sleep_until(now() + 0.1);
            size_t n = std::min(piece, reply.size() - at);
            going = going && line->write(Bytes(reply.begin() + static_cast<long>(at),
                                                reply.begin() + static_cast<long>(at + n)),
                                          request.client);
        }
    } else if (opt_.pace) {
        going = line->write_paced(reply, request);
    } else {
        going = line->write(reply, request.client);
    }
    // Said once the reply is on the line, so that this line tells when.
    if (going && opt_.verbose)
        say("melda-sim: reply   %s\n", hex(reply).c_str());
    return going;
}

} // namespace sim
