// Test harness: runs the real melda binary and the real simulated slave on
// a real pseudo-terminal, and captures what they print.
#pragma once

#include <cstdint>
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

// Runs argv[0] with the rest as its words (argv[0] is also the program's own
// name), standard input closed, in cwd if given. A run longer than timeout is
// killed and marked timed_out.
Result run(const std::vector<std::string> &argv, double timeout = 20,
           const std::string &cwd = "");

// Runs melda with the given words after its name. When MELDA_WRAPPER is set
// in the environment (for example a valgrind command line), melda runs under
// it, and whatever the wrapper writes to its log file is checked to be empty.
Result melda(const std::vector<std::string> &words, double timeout = 20,
             const std::string &cwd = "");

// A melda-sim process serving a fresh pseudo-terminal, ended when this goes.
class Sim {
public:
    explicit Sim(const std::vector<std::string> &options = {});
    ~Sim();
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    const std::string &path() const { return path_; }
    // Ends the simulator and waits for it; returns its exit status.
    int stop();
    // Waits (up to timeout) for the simulator to end by itself.
    int wait(double timeout);

private:
    int pid_ = -1;
    int status_ = -1;
    std::string path_;
};

// A temporary directory, removed with its files when this goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);

// Modbus CRC-16 of data, as the two bytes an RTU frame carries (low first).
std::vector<uint8_t> crc_bytes(const std::vector<uint8_t> &data);
// Bytes as upper-case hex separated by blanks: "01 01 00 00".
std::string hex(const std::vector<uint8_t> &bytes);

} // namespace harness
