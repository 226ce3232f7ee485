// SPDX-License-Identifier: MIT
//
// Running the project's programs from the tests and the benchmark: start a
// process with chosen standard streams, wait for it with a bound, and read
// the first line a program prints (melda-sim's device path).
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace process {

// Seconds on the monotonic clock.
double now();

// Starts argv[0] (looked up in PATH) with the rest as its words, standard
// input from /dev/null, standard output on out and standard error on err
// (left as it is when -1), in cwd when given, with no core dumps. Returns the
// pid, -1 when fork failed.
pid_t spawn(const std::vector<std::string> &argv, int out, int err = -1,
            const std::string &cwd = "");

// Ends of a process: the exit status (0-255) or -1 and the signal.
struct Ending {
    int status = -1;
    int signal = 0;
};

// Waits up to timeout seconds (forever when negative) for pid to end;
// false when it has not.
bool wait_for(pid_t pid, double timeout, Ending *ending);

// Reads one line (without its line end) from fd, waiting up to timeout
// seconds in all; what came before the time ran out or the stream ended.
std::string read_line(int fd, double timeout);

} // namespace process
