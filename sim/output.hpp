// SPDX-License-Identifier: MIT
//
// melda-sim's own outputs: standard output (the pty's path, a log to "-"),
// standard error (what it says) and the request log. Each is written
// without blocking: a write that cannot go on waits beside the stop
// signals, so a reader that does not read never keeps the simulator from
// stopping. A write that fails is said on standard error and ends the
// simulator with status 1: the path and the log are what clients and tests
// go by.
#pragma once

#include "frame.hpp"

namespace sim {

// Makes descriptors 0, 1 and 2 exist (a closed one becomes /dev/null, read
// only, so that writing to it still fails), so that nothing the simulator
// opens becomes a standard stream. Call first.
bool hold_standard_descriptors();
// Readies standard output and standard error for writing without blocking.
// Call after stop_on_signals.
void open_outputs();
// Opens the request log: a file, or - for standard output. False, said,
// when it cannot be opened.
bool open_log(const char *path);
// Writes a frame read to the log, in hex on a line, when there is a log.
void log_frame(const Bytes &frame);
// Prints the line's path on standard output; false when that failed.
bool print_path(const char *path);
// Says a line on standard error.
void say(const char *format, ...) __attribute__((format(printf, 1, 2)));
// 0, or 1 once an output has failed.
int failure();

} // namespace sim
