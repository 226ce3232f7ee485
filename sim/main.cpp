// SPDX-License-Identifier: MIT
//
// melda-sim: a simulated Modbus RTU slave for trying and testing melda
// without hardware.
//
// It makes a pseudo-terminal (or serves a serial device named on its command
// line), reads frames as an RTU device does, and answers Read Coils for
// slave 1 from a coil table: the line (line.cpp) cuts frames at the silent
// interval and checks the client's settings, the frame judge (frame.cpp)
// drops what a device would not answer, and the device (device.cpp) builds
// the reply and, with a fault chosen on the command line, turns it into
// what a broken device would send.

#include <cstdio>
#include <cstring>

#include <sched.h>
#include <sys/prctl.h>

#include "device.hpp"
#include "frame.hpp"
#include "line.hpp"
#include "options.hpp"
#include "output.hpp"

int main(int argc, char *argv[])
{
    if (!sim::hold_standard_descriptors())
        return 1;
    sim::Options opt;
    int status = sim::parse_options(argc, argv, &opt);
    if (status != -1)
        return status;

    if (!sim::stop_on_signals()) {
        std::perror("melda-sim: signals");
        return 1;
    }
    sim::open_outputs();
    if (opt.log_path && !sim::open_log(opt.log_path))
        return 1;
    // Pacing sleeps to the character; the default timer slack would blur it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    // Frames are told apart by the time between bytes, which the simulator
    // sees as it wakes: real-time scheduling, when asked for and allowed,
    // keeps a loaded machine from waking it late.
    const sched_param lowest = {sched_get_priority_min(SCHED_FIFO)};
    bool realtime = opt.realtime && sched_setscheduler(0, SCHED_FIFO, &lowest) == 0;

    sim::Device device(opt);
    sim::Line line(opt);
    if (!device.start() || !line.open())
        return 1;
    if (opt.verbose)
        sim::say("melda-sim: a frame ends after %.2f ms of silence at %ld baud, %.2f ms of "
                     "them for scheduling; real-time scheduling %s\n",
                     sim::frame_end(opt.baud) * 1000, opt.baud,
                     sim::kSchedulingTolerance * 1000, realtime ? "on" : "off");

    sim::Frame frame;
    for (long served = 0; opt.requests < 0 || served < opt.requests; served++) {
        if (!line.read_frame(&frame)) {
            if (sim::stopping())
                return sim::failure();
            sim::say("melda-sim: the line is gone\n");
            return 1;
        }
        sim::log_frame(frame.bytes);
        if (opt.verbose)
            sim::say("melda-sim: request %s\n", sim::hex(frame.bytes).c_str());
        if (opt.fault == sim::Fault::Hangup) {
            if (opt.verbose)
                sim::say("melda-sim: hanging up\n");
            return 0; // the line's destructor closes it
        }
        // A client at other line settings is heard as garbage.
        std::string differs = line.mismatch();
        sim::Verdict verdict = differs.empty() ? sim::judge(frame.bytes)
                                               : sim::Verdict{false, "line set to " + differs};
        if (!verdict.answer) {
            if (opt.verbose)
                sim::say("melda-sim: no answer: %s\n", verdict.why.c_str());
            continue;
        }
        if (!device.answer(frame, &line))
            return sim::failure();
    }
    line.linger();
    return sim::failure();
}
