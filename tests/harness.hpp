// SPDX-License-Identifier: MIT
//
// Test harness: runs the real melda binary and the real simulated slave on
// a real pseudo-terminal, and captures what they print.
#pragma once

#include <csignal>
#include <cstdint>
#include <functional>

#include <termios.h>
#include <memory>
#include <string>
#include <vector>

namespace harness {

struct Result {
    std::string out;
    std::string err;
    int status = -1;      // exit status 0-255, or -1 when killed
    int signal = 0;       // the signal that ended the process, if any
    bool timed_out = false;
    double seconds = 0;
};

std::string read_file(const std::string &path);
// Waits up to timeout seconds for a file to hold text.
bool wait_for_text(const std::string &path, const std::string &text, double timeout);

// How a run of melda differs from a plain one.
struct Setup {
    // bash commands run before melda, in the shell that starts it, e.g.
    // "trap '' HUP;" to start it with SIGHUP ignored.
    std::string before;
    // bash redirections applied to melda alone, e.g. "2>&-", ">/dev/full" or
    // "> >(head -1)".
    std::string redirect;
    // When set, sent to melda once `ready` returns true (polled every 10 ms).
    int signal = 0;
    std::function<bool()> ready;
    // The signal the run is to end by when it is not the one sent (SIGPIPE
    // when the reader goes away).
    int ends_by = 0;
};

// The programs under test: the ones this build made, or the ones named by
// MELDA_BIN and MELDA_SIM_BIN in the environment (another build, a package's,
// another architecture's run through a MELDA_WRAPPER such as qemu-user).
std::string melda_binary();
std::string sim_binary();

// Runs argv[0] with the rest as its words (argv[0] is also the program's own
// name), standard input closed, in cwd if given. A run longer than timeout is
// killed and marked timed_out.
Result run(const std::vector<std::string> &argv, double timeout = 20,
           const std::string &cwd = "", const Setup *setup = nullptr);

// Runs melda with the given words after its name. When MELDA_WRAPPER is set
// in the environment (for example a valgrind command line), melda runs under
// it, and whatever the wrapper writes to its log file is checked to be empty
// (leaks aside for a run ended by the signal the test sent or expects).
Result melda(const std::vector<std::string> &words, double timeout = 20,
             const std::string &cwd = "", const Setup &setup = {});

// A process running beside the test, with its standard output going to the
// given descriptor (/dev/null when -1) and its standard error to err (the
// test's own when -1), ended when this goes.
class Background {
public:
    explicit Background(const std::vector<std::string> &argv, int out = -1, int err = -1);
    ~Background();
    Background(const Background &) = delete;
    Background &operator=(const Background &) = delete;

    // Ends the process (with the signal, then SIGKILL after 10 s) and waits
    // for it; returns its exit status.
    int stop(int signal = SIGTERM);
    // Waits (up to timeout) for the process to end by itself; -1 if it
    // has not.
    int wait(double timeout);
    // Sends it a signal and leaves it be (SIGSTOP, SIGCONT).
    void signal(int sig) const
    {
        if (pid_ > 0)
            kill(pid_, sig);
    }

private:
    int pid_ = -1;
    int status_ = -1;
};

// A temporary directory, removed with its files when this goes.
class TempDir {
public:
    explicit TempDir(const char *pattern = "/tmp/melda-test.XXXXXX");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A wrapper command named by an environment variable (a valgrind command
// line), which writes its log to a descriptor it inherits: "%LOGFD%" in it
// stands for that descriptor.
class Wrapper {
public:
    explicit Wrapper(const char *variable);
    ~Wrapper();
    Wrapper(const Wrapper &) = delete;
    Wrapper &operator=(const Wrapper &) = delete;
    bool active() const { return !words_.empty(); }
    // The wrapper's words, to go before the program's.
    const std::vector<std::string> &words() const { return words_; }
    // What the log holds beyond its list of inherited descriptors: errors,
    // leaks, descriptors left open (only errors for a run ended by a
    // signal's default action, which releases nothing).
    std::string findings(bool ended_by_signal) const;

private:
    TempDir dir_;
    int log_fd_ = -1;
    std::vector<std::string> words_;
};

// A melda-sim process serving a fresh pseudo-terminal (or the device named
// in its options), ended when this goes. It runs with --verbose, its
// standard error in a file (err_path when given): what it says of each frame
// is what tests wait on. When MELDA_SIM_WRAPPER is set, the simulator runs
// under it, and what the wrapper finds fails the test.
class Port;
class Sim {
public:
    explicit Sim(const std::vector<std::string> &options = {}, const std::string &err_path = "");
    ~Sim();
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;
    const std::string &path() const { return path_; }
    // As Background's; -1 when the simulator could not be started.
    int stop(int signal = SIGTERM) { return process_ ? process_->stop(signal) : -1; }
    int wait(double timeout) { return process_ ? process_->wait(timeout) : -1; }
    void signal(int sig) const
    {
        if (process_)
            process_->signal(sig);
    }
    // What it has said on standard error.
    std::string said() const { return read_file(err_path_); }
    // Waits up to timeout seconds until it has said text.
    bool wait_said(const std::string &text, double timeout = 20) const
    {
        return wait_for_text(err_path_, text, timeout);
    }
    // How many frames it has judged since it started: answered, not
    // answered, or dropped as noise.
    size_t judged() const;
    // Waits up to timeout seconds until it has judged n frames.
    bool wait_judged(size_t n, double timeout = 20) const;
    // Sends a request from the client and returns what came back once the
    // simulator has judged it (at most `most` bytes).
    std::vector<uint8_t> ask(Port &client, const std::vector<uint8_t> &request,
                             size_t most = 4096) const;

private:
    TempDir dir_;
    std::string err_path_;
    Wrapper wrapper_{"MELDA_SIM_WRAPPER"};
    std::unique_ptr<Background> process_;
    std::string path_;
};

// A socat pair of pseudo-terminals, as a null-modem cable: what is written
// to one end comes out of the other. The ends are links whose names are
// short enough for every libmodbus release (3.0 takes fewer than 16
// characters). skip() says why there is no pair (socat not installed).
class SocatPair {
public:
    SocatPair();
    std::string skip() const { return skip_; }
    const std::string &a() const { return a_; }
    const std::string &b() const { return b_; }

private:
    TempDir dir_{"/tmp/mdXXXXXX"};
    std::unique_ptr<Background> socat_;
    std::string a_, b_, skip_;
};

// A raw client on a serial line (the simulator's pseudo-terminal, a socat
// end): raw 8N2 at the line's speed unless settings change it. It holds the
// line open from construction to destruction.
class Port {
public:
    explicit Port(const std::string &path, const std::function<void(termios &)> &settings = {});
    ~Port();
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    void send(const std::vector<uint8_t> &bytes);
    // Collects what comes until the line has been quiet for `quiet` seconds,
    // or `most` bytes have come (10 s at most in all).
    std::vector<uint8_t> collect(double quiet = 0.3, size_t most = 4096);

private:
    int fd_ = -1;
};

// Seconds on the monotonic clock.
double now();

// Waits up to timeout seconds for a path to exist.
bool wait_for_file(const std::string &path, double timeout);

// Modbus CRC-16 of data, as the two bytes an RTU frame carries (low first).
std::vector<uint8_t> crc_bytes(const std::vector<uint8_t> &data);
// The frame: data followed by its CRC.
std::vector<uint8_t> with_crc(std::vector<uint8_t> data);
// The coil lines melda prints for a reading from a simulator whose table
// repeats pattern (0/1 characters), from address on.
std::string coil_lines(const std::string &pattern, long address, int count);
// Bytes as upper-case hex separated by blanks: "01 01 00 00".
std::string hex(const std::vector<uint8_t> &bytes);

} // namespace harness
