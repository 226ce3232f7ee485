// SPDX-License-Identifier: MIT
//
// The serial line as the simulated slave has it: a pseudo-terminal it makes
// (or a device it is given), read frame by frame as an RTU device does, by
// the silent interval between frames, and written at the pace of a real
// 8N2 line when asked.
//
// On its own pseudo-terminal it follows the clients: a client is whatever
// holds the terminal open, from its first open to its last close, as the
// kernel counts them. What one client left unread is discarded when it has
// gone, and a reply to a client that has gone is not sent, as a real port
// loses what arrives while no program has it open.
#pragma once

#include <string>

#include "frame.hpp"
#include "options.hpp"

namespace sim {

// Whether the line can be set to this speed.
bool known_baud(long baud);

// A pseudo-terminal carries each write whole, but the simulator may be
// woken a little late: a pause must last this much longer than the silent
// interval before it ends a frame.
const double kSchedulingTolerance = 0.0015;
// The silence that ends a frame at this speed: the silent interval (3.5
// characters, 1.75 ms above 19200 baud) and the tolerance.
double frame_end(long baud);

// SIGTERM and SIGINT stop the simulator: they are taken from a descriptor
// that every wait watches, so that a stop ends any wait at once. Call before
// anything else; false when that descriptor cannot be made.
bool stop_on_signals();
// Whether a stop was asked for (looked at without waiting), or an output
// failed.
bool stopping();

// Writes n bytes to a descriptor that does not block: a write that cannot go
// on waits for room or for a stop, whichever comes first. 0 when all was
// written, -1 on a stop (what was left is not written), else the errno.
int write_fully(int fd, const void *data, size_t n);

// Seconds on the monotonic clock.
double now();

struct Frame {
    Bytes bytes;
    double arrival = 0; // when its first byte came
    long client = 0;    // the client that sent it
};

// The client a write goes to whoever holds the line (the late fault's).
const long kWhoeverHoldsTheLine = -1;

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
    // cannot be seen (a device the kernel checks). A pty keeps the speeds
    // and the stop bits a client sets, not its data bits and parity.
    std::string mismatch() const;
    // Waits until t on the monotonic clock, following the clients
    // meanwhile. False when the simulator is to stop.
    bool sleep_until(double t);
    // Puts bytes on the line for the given client: nothing when that client
    // has gone. False when the simulator is to stop (nothing is written).
    bool write(const Bytes &bytes, long client);
    // Puts a reply on the line as a real line would carry it: after the
    // request's own bytes, the silent interval and the turnaround, each
    // byte one character time after the one before. False when stopping.
    bool write_paced(const Bytes &reply, const Frame &request);
    // After the last request: stays until the client has closed the line
    // (5 s at most), so that the reply is not lost with the terminal.
    void linger();

private:
    enum class Woke { Deadline, Input, Clients, Stop, Gone };
    // Waits until the deadline (none when negative), until a client comes
    // or goes, or, with want_input, until bytes come.
    Woke wait(double deadline, bool want_input);
    // Asks the kernel whether a client holds the pty, and ends the client
    // that has gone.
    void follow_clients();
    bool read_events();
    bool client_present() const;
    void discard_input();

    const Options &opt_;
    int fd_ = -1;     // the master side of the pty, or the named device
    int events_ = -1; // inotify on the pty's slave side: wakes on opens and closes
    std::string path_;
    bool present_ = false; // a client holds the pty
    bool closed_ = false;  // a close came after the last open seen
    long client_ = 0;      // counts the clients that have come
};

} // namespace sim
