// SPDX-License-Identifier: MIT
//
// melda-sim's command line: the coil table, the line, and the fault that
// makes it behave like a broken device.
#pragma once

#include <string>

namespace sim {

enum class Fault {
    None,
    Exception,     // reply with exception N
    Silent,        // never reply
    BadCrc,        // flip the CRC
    WrongSlave,    // answer as slave 2
    WrongFunction, // answer with function 0x02 instead of 0x01
    BadCount,      // byte count one less than the data that follows
    Short,         // one data byte fewer than asked, consistently framed
    Long,          // byte count and data far beyond what was asked
    Truncated,     // the reply without its CRC
    Halfway,       // the first half of the reply, then silence
    Extra,         // a valid reply followed by extra bytes
    Garbage,       // a few random bytes
    Flood,         // more random bytes than any Modbus frame holds
    Pieces,        // a valid reply in three pieces with pauses
    Hangup,        // close the line right after the request and end
    Late,          // the first reply after the client has given up
};

struct Options {
    const char *device = nullptr; // null: make a pseudo-terminal
    std::string pattern = "1011001110001111";
    int table_size = 256;
    Fault fault = Fault::None;
    int exception_code = 0;
    const char *log_path = nullptr;
    long requests = -1; // -1: until ended
    long baud = 19200;
    bool pace = false;
    double turnaround_ms = 0;
    unsigned seed = 1;
    bool realtime = false;
    bool verbose = false;
};

const int kMaxTableSize = 65536;

// Reads the command line into opt. Returns -1 to go on, else the status to
// end with at once (0 after --help, 2 for a bad option, with its message).
int parse_options(int argc, char *argv[], Options *opt);

} // namespace sim
