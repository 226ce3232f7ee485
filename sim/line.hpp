// SPDX-License-Identifier: MIT
//
// The serial line as the simulated slave has it: a pseudo-terminal it makes
// (or a device it is given), read frame by frame as an RTU device does, by
// the silent interval between frames, and written at the pace of a real
// 8N2 line when asked.
#pragma once

#include <string>

#include "frame.hpp"
#include "options.hpp"

namespace sim {

// Whether the line can be set to this speed.
bool known_baud(long baud);

// Set by SIGTERM and SIGINT: the simulator ends at the next frame boundary.
void stop_on_signals();
bool stopping();

// Seconds on the monotonic clock.
double now();
// Sleeps until t on the monotonic clock, or until the simulator is stopping.
void sleep_until(double t);

struct Frame {
    Bytes bytes;
    double arrival = 0; // when its first byte came
};

class Line {
public:
    explicit Line(const Options &opt) : opt_(opt) {}
    ~Line();
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;

    // Opens the device, or makes a pseudo-terminal, and prints its path on
    // the first line of standard output.
    bool open();
    // Reads the next frame: the bytes up to a silent interval. More than a
    // frame's worth without a pause is noise and is dropped. Returns false
    // when the line is gone or the simulator is stopping.
    bool read_frame(Frame *frame);
    // How the settings the client gave the line differ from the device's
    // (8N2 at --baud), as a UART would hear it; empty when they agree or
    // cannot be seen (a device the kernel checks). A pty keeps the speed and
    // the stop bits a client sets, not its data bits and parity.
    std::string mismatch() const;
    // Puts bytes on the line at once.
    void write(const Bytes &bytes);
    // Puts a reply on the line as a real line would carry it: after the
    // request's own bytes, the silent interval and the turnaround, each
    // byte one character time after the one before.
    void write_paced(const Bytes &reply, const Frame &request);
    // After the last request: stays until the client has closed the line
    // (5 s at most), so that the reply is not lost with the terminal.
    void linger();

private:
    void drain_events();

    const Options &opt_;
    int fd_ = -1;     // the master side of the pty, or the named device
    int hold_ = -1;   // our own descriptor of the pty's slave side
    int events_ = -1; // inotify on the pty's slave side: clients opening and closing it
    int clients_ = 0; // opens of the slave side not yet closed
};

} // namespace sim
