// SPDX-License-Identifier: MIT
#include "options.hpp"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

#include "line.hpp"

namespace sim {
namespace {

const char kDefaultPattern[] = "1011001110001111";
const int kDefaultTableSize = 256;

struct FaultName {
    const char *name;
    Fault fault;
    const char *help;
};

const FaultName kFaults[] = {
    {"none", Fault::None, "answer as a sound device does (default)"},
    {"exception:N", Fault::Exception, "reply with exception code N (0-255)"},
    {"silent", Fault::Silent, "never reply"},
    {"bad-crc", Fault::BadCrc, "reply with a corrupted CRC"},
    {"wrong-slave", Fault::WrongSlave, "reply as slave 2"},
    {"wrong-function", Fault::WrongFunction, "reply with function 0x02"},
    {"bad-count", Fault::BadCount, "byte count one less than the data sent"},
    {"short", Fault::Short, "one data byte fewer than asked"},
    {"long", Fault::Long, "byte count and data for 2000 coils"},
    {"truncated", Fault::Truncated, "reply without its CRC"},
    {"halfway", Fault::Halfway, "first half of the reply, then silence"},
    {"extra", Fault::Extra, "valid reply followed by 4 extra bytes"},
    {"garbage", Fault::Garbage, "12 random bytes"},
    {"flood", Fault::Flood, "1024 random bytes"},
    {"pieces", Fault::Pieces, "valid reply in 3 pieces, 100 ms apart"},
    {"hangup", Fault::Hangup, "close the line after the request and exit"},
    {"late", Fault::Late, "first reply 2.5 s late (after melda gave up)"},
};

void usage(FILE *out)
{
    std::fprintf(out,
        "Usage: melda-sim [options] [device]\n"
        "\n"
        "A simulated Modbus RTU slave (address 1) that answers Read Coils.\n"
        "Without a device it makes a pseudo-terminal and prints its path on\n"
        "the first line of standard output: give that path to melda. With a\n"
        "device (a serial port, or one end of a socat pair) it serves that.\n"
        "\n"
        "Options:\n"
        "  -c, --coils BITS      coil values as 0/1, coil 0 first; repeated to\n"
        "                        fill the table (default %s)\n"
        "  -s, --size N          coils in the table, 1-%d (default %d)\n"
        "  -f, --fault NAME      behave like a broken device (see below)\n"
        "  -l, --log FILE        write each request frame read, in hex, one per\n"
        "                        line (- for standard output)\n"
        "  -n, --requests N      end after N request frames\n"
        "  -b, --baud N          line speed of the device and of pacing\n"
        "                        (default 19200)\n"
        "  -p, --pace            pace replies like a real 8N2 line at the baud\n"
        "  -t, --turnaround MS   with --pace, extra delay before each reply\n"
        "      --seed N          seed of the random faults (default 1)\n"
        "      --realtime        run at real-time priority where allowed, so that\n"
        "                        a loaded machine does not blur frame timing\n"
        "  -v, --verbose         report each exchange on standard error\n"
        "  -h, --help            show this text\n"
        "\n"
        "A frame ends at a silent interval of 3.5 characters (1.75 ms above\n"
        "19200 baud). The table answers exception 02 for addresses beyond it,\n"
        "03 for a quantity of 0 or above 2000 and 01 for other functions.\n"
        "Frames for other slaves, with a bad CRC, that are not requests or\n"
        "not complete, and requests sent at other line settings than the\n"
        "device's (8N2 at the baud) get no answer; --verbose says why.\n"
        "\n"
        "Faults:\n",
        kDefaultPattern, kMaxTableSize, kDefaultTableSize);
    for (const FaultName &f : kFaults)
        std::fprintf(out, "  %-16s %s\n", f.name, f.help);
}

// A whole number in [lo, hi], read and compared in 64 bits whatever the
// size of long: a bound such as UINT32_MAX does not fit a 32-bit long.
template <typename T>
bool parse_number(const char *text, long long lo, long long hi, T *out)
{
    char *end = nullptr;
    errno = 0;
    long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < lo || value > hi)
        return false;
    *out = static_cast<T>(value);
    return true;
}

bool parse_fault(const char *text, Options *opt)
{
    if (std::strncmp(text, "exception:", 10) == 0) {
        long long code;
        if (!parse_number(text + 10, 0, 255, &code))
            return false;
        opt->fault = Fault::Exception;
        opt->exception_code = static_cast<int>(code);
        return true;
    }
    for (const FaultName &f : kFaults) {
        if (f.fault != Fault::Exception && std::strcmp(text, f.name) == 0) {
            opt->fault = f.fault;
            return true;
        }
    }
    return false;
}

} // namespace

int parse_options(int argc, char *argv[], Options *opt)
{
    enum { kSeed = 1000, kRealtime };
    const option longopts[] = {
        {"coils", required_argument, nullptr, 'c'},
        {"size", required_argument, nullptr, 's'},
        {"fault", required_argument, nullptr, 'f'},
        {"log", required_argument, nullptr, 'l'},
        {"requests", required_argument, nullptr, 'n'},
        {"baud", required_argument, nullptr, 'b'},
        {"pace", no_argument, nullptr, 'p'},
        {"turnaround", required_argument, nullptr, 't'},
        {"seed", required_argument, nullptr, kSeed},
        {"realtime", no_argument, nullptr, kRealtime},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool size_given = false;
    long long value;
    int c;
    while ((c = getopt_long(argc, argv, "c:s:f:l:n:b:pt:vh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'c':
            opt->pattern = optarg;
            if (opt->pattern.empty() ||
                opt->pattern.find_first_not_of("01") != std::string::npos) {
                std::fprintf(stderr, "melda-sim: --coils takes 0s and 1s: %s\n", optarg);
                return 2;
            }
            break;
        case 's':
            if (!parse_number(optarg, 1, kMaxTableSize, &value)) {
                std::fprintf(stderr, "melda-sim: --size takes 1 to %d: %s\n",
                             kMaxTableSize, optarg);
                return 2;
            }
            opt->table_size = static_cast<int>(value);
            size_given = true;
            break;
        case 'f':
            if (!parse_fault(optarg, opt)) {
                std::fprintf(stderr, "melda-sim: unknown fault: %s (see --help)\n", optarg);
                return 2;
            }
            break;
        case 'l':
            opt->log_path = optarg;
            break;
        case 'n':
            if (!parse_number(optarg, 1, LONG_MAX, &opt->requests)) {
                std::fprintf(stderr, "melda-sim: --requests takes a positive number: %s\n", optarg);
                return 2;
            }
            break;
        case 'b':
            if (!parse_number(optarg, 1, 4000000, &opt->baud) || !known_baud(opt->baud)) {
                std::fprintf(stderr, "melda-sim: unsupported baud: %s\n", optarg);
                return 2;
            }
            break;
        case 'p':
            opt->pace = true;
            break;
        case 't':
            if (!parse_number(optarg, 0, 60000, &value)) {
                std::fprintf(stderr, "melda-sim: --turnaround takes 0 to 60000 ms: %s\n", optarg);
                return 2;
            }
            opt->turnaround_ms = static_cast<double>(value);
            break;
        case kSeed:
            if (!parse_number(optarg, 0, UINT32_MAX, &value)) {
                std::fprintf(stderr, "melda-sim: --seed takes a number: %s\n", optarg);
                return 2;
            }
            opt->seed = static_cast<unsigned>(value);
            break;
        case kRealtime:
            opt->realtime = true;
            break;
        case 'v':
            opt->verbose = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (argc - optind > 1) {
        usage(stderr);
        return 2;
    }
    if (optind < argc)
        opt->device = argv[optind];
    if (!size_given && opt->pattern.size() > static_cast<size_t>(opt->table_size))
        opt->table_size = static_cast<int>(opt->pattern.size());
    if (opt->pattern.size() > static_cast<size_t>(kMaxTableSize)) {
        std::fprintf(stderr, "melda-sim: at most %d coils\n", kMaxTableSize);
        return 2;
    }

    return -1;
}

} // namespace sim
