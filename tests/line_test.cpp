// SPDX-License-Identifier: MIT
//
// The line and the report kept safe: one reading per port at a time, no
// stale reply taken for this run's, nothing but frames on the bus whatever
// the standard streams are, a report that could not be written is a
// failure, and a run ended by a signal keeps its lines and puts the port's
// settings back.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.hpp"

using harness::melda;
using harness::Result;
using harness::Sim;
using harness::TempDir;

namespace {

const std::string kPattern = "1011001110001111";

std::string coil_lines(long address, int count)
{
    return harness::coil_lines(kPattern, address, count);
}

// The Read Coils request melda sends for a reading, as the simulator logs it.
std::string request_hex(int address, int count)
{
    return harness::hex(harness::with_crc({1, 1, static_cast<uint8_t>(address >> 8),
                                           static_cast<uint8_t>(address), 0,
                                           static_cast<uint8_t>(count)}));
}

// The line melda reads: the simulator's own pseudo-terminal, or one end of a
// socat pair whose other end the simulator serves, as over a null-modem
// cable.
class Bench {
public:
    Bench(bool socat, std::vector<std::string> options)
    {
        options.insert(options.end(), {"--log", dir_.file("frames")});
        if (socat) {
            pair_ = std::make_unique<harness::SocatPair>();
            if (!pair_->skip().empty())
                return;
            options.push_back(pair_->b());
        }
        sim_ = std::make_unique<Sim>(options);
        port_ = socat ? pair_->a() : sim_->path();
    }
    std::string skip() const { return pair_ ? pair_->skip() : ""; }
    const std::string &port() const { return port_; }
    std::string frames() const { return harness::read_file(frames_path()); }
    std::string frames_path() const { return dir_.file("frames"); }
    // Waits until the simulator has put a reply on the line (it says so
    // once the reply's last byte is written).
    bool replied(double timeout) const { return sim_->wait_said("melda-sim: reply ", timeout); }

private:
    TempDir dir_;
    std::unique_ptr<harness::SocatPair> pair_;
    std::unique_ptr<Sim> sim_;
    std::string port_;
};

// A FIFO for melda's standard output that takes `room` more bytes, then
// blocks every write until it is drained: a terminal stopped with Ctrl+S,
// or a pager that is not reading, at a chosen line.
class BlockedOutput {
public:
    explicit BlockedOutput(size_t room)
    {
        EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
        reader_ = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        int filler = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        int size = fcntl(filler, F_SETPIPE_SZ, 4096);
        fill_ = static_cast<size_t>(size) - room;
        EXPECT_EQ(write(filler, std::string(fill_, '.').data(), fill_), static_cast<ssize_t>(fill_));
        close(filler);
    }
    ~BlockedOutput() { close(reader_); }
    std::string redirect() const { return "> " + path_; }
    // Everything written after the fill, until the writer has closed it.
    std::string drain()
    {
        fcntl(reader_, F_SETFL, 0);
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = read(reader_, buf, sizeof buf)) > 0;)
            text.append(buf, static_cast<size_t>(n));
        return text.substr(std::min(fill_, text.size()));
    }

private:
    TempDir dir_;
    std::string path_ = dir_.file("out");
    int reader_ = -1;
    size_t fill_ = 0;
};

std::string opening_line(const std::string &port)
{
    return "Opening " + port + " at 19200 bauds (N, 8, 2)\n";
}

struct Wiring {
    const char *name;
    bool socat;
};
void PrintTo(const Wiring &c, std::ostream *os) { *os << c.name; }
const Wiring kWirings[] = {{"Pty", false}, {"Socat", true}};

// ---------------------------------------------------------------------------
// Two readings at once on one port: each either reads its own coils or is
// refused before it touches the line; the one holding the line is never
// disturbed.

class TwoAtOnceTest : public ::testing::TestWithParam<Wiring> {};

TEST_P(TwoAtOnceTest, EveryReadingCarriesItsOwnCoilsOrIsRefused)
{
    // Each reply takes 150 ms, so that readings started together overlap.
    Bench bench(GetParam().socat, {"--pace", "--turnaround", "150"});
    if (!bench.skip().empty())
        GTEST_SKIP() << bench.skip();
    const std::string busy = "ERROR Port " + bench.port() + " is in use by another program\n";
    int refused = 0;
    for (int pair = 0; pair < 8; pair++) {
        auto first = std::async(std::launch::async, [&] { return melda({bench.port(), "1", "8"}); });
        auto second = std::async(std::launch::async, [&] { return melda({bench.port(), "9", "8"}); });
        Result r[2] = {first.get(), second.get()};
        int ok = 0;
        for (int i = 0; i < 2; i++) {
            SCOPED_TRACE("pair " + std::to_string(pair) + ", reading " + std::to_string(i));
            ASSERT_FALSE(r[i].timed_out);
            if (r[i].status == 0) {
                ok++;
                EXPECT_NE(r[i].out.find("\nOK\n" + coil_lines(8 * i, 8)), std::string::npos)
                    << r[i].out;
                EXPECT_EQ(r[i].err, "");
            } else {
                refused++;
                EXPECT_EQ(r[i].status, 255) << r[i].out << r[i].err;
                EXPECT_EQ(r[i].err, busy);
                // Refused before the library opened the port.
                EXPECT_EQ(r[i].out, "");
            }
        }
        EXPECT_GE(ok, 1) << "the reading holding the line was disturbed";
    }
    // Every request that reached the line was a whole one of the two.
    std::istringstream frames(bench.frames());
    for (std::string line; std::getline(frames, line);)
        EXPECT_TRUE(line == request_hex(0, 8) || line == request_hex(8, 8)) << line;
    EXPECT_GT(refused, 0) << "no two readings overlapped: the test proves nothing";
}

INSTANTIATE_TEST_SUITE_P(Line, TwoAtOnceTest, ::testing::ValuesIn(kWirings),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A reply that comes after melda gave up waits in the port's input; the next
// reading must not take it for its own.

class LateReplyTest : public ::testing::TestWithParam<Wiring> {};

TEST_P(LateReplyTest, NextReadingGetsItsOwnCoils)
{
    Bench bench(GetParam().socat, {"--fault", "late"});
    if (!bench.skip().empty())
        GTEST_SKIP() << bench.skip();
    Result gave_up = melda({bench.port(), "1", "8"});
    EXPECT_EQ(gave_up.status, 255) << gave_up.out << gave_up.err;
    // The late reply (coils 0 to 7) is on the line 2.5 s after the request.
    ASSERT_TRUE(bench.replied(60)) << "the simulator never sent its late reply";
    Result next = melda({bench.port(), "9", "8"});
    EXPECT_EQ(next.status, 0) << next.out << next.err;
    EXPECT_NE(next.out.find("\nOK\n" + coil_lines(8, 8)), std::string::npos) << next.out;
}

// No write that can block stands between the discard and the request: with
// standard output blocked right after the opening line, the request is on
// the line all the same, and what was held comes out in order once the
// reader reads again.
TEST_P(LateReplyTest, RequestGoesOutWhileStandardOutputBlocks)
{
    Bench bench(GetParam().socat, {});
    if (!bench.skip().empty())
        GTEST_SKIP() << bench.skip();
    BlockedOutput out(opening_line(bench.port()).size());
    harness::Setup setup;
    setup.redirect = out.redirect();
    auto run = std::async(std::launch::async, [&] { return melda({bench.port(), "9", "8"}, 60, "", setup); });
    EXPECT_TRUE(harness::wait_for_text(bench.frames_path(), request_hex(8, 8), 60))
        << "no request while standard output was blocked";
    std::string text = out.drain();
    Result r = run.get();
    EXPECT_EQ(r.status, 0) << text << r.err;
    EXPECT_NE(text.find("modbus_read_bits(SLAVE 1, START 8, NCOILS 8): [01][01][00][08][00][08]"),
              std::string::npos) << text;
    EXPECT_NE(text.find("\nOK\n" + coil_lines(8, 8)), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Line, LateReplyTest, ::testing::ValuesIn(kWirings),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// One client after another on the simulator: a client that does not discard
// its input itself still gets only its own replies after a melda run (melda
// leaves the extra fault's 4 bytes unread), and a simulator told to serve
// one request ends as soon as melda has closed the line.

TEST(Clients, AfterMeldaAnotherClientGetsOnlyItsOwnReply)
{
    Sim sim({"--fault", "extra"});
    const auto request = harness::with_crc({1, 1, 0, 16, 0, 8});
    auto expected = harness::with_crc({1, 1, 1, 0xCD});
    expected.insert(expected.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    for (int round = 1; round <= 20; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Result r = melda({sim.path(), "1", "16"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // The simulator numbers its clients: melda, then the raw client.
        const std::string gone = " has closed the line";
        ASSERT_TRUE(sim.wait_said("client " + std::to_string(2 * round - 1) + gone));
        {
            harness::Port port(sim.path());
            EXPECT_EQ(harness::hex(sim.ask(port, request)), harness::hex(expected));
        }
        ASSERT_TRUE(sim.wait_said("client " + std::to_string(2 * round) + gone));
    }
}

TEST(Clients, OneRequestEndsTheSimulatorWhenMeldaCloses)
{
    for (int round = 1; round <= 20; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        Sim sim({"--requests", "1"});
        Result r = melda({sim.path(), "1", "16"});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        double start = harness::now();
        EXPECT_EQ(sim.wait(5), 0);
        // It used to stay its full 5 s when it lost count of its clients.
        EXPECT_LT(harness::now() - start, 1.0);
    }
}

// ---------------------------------------------------------------------------
// The port melda locks is the port it reads. A melda held at its opening
// line (standard output blocked) has locked the port and saved its settings,
// and the library has not opened it yet: a link remade then leads the
// library elsewhere, and melda refuses before a byte is sent; every other
// name for a port that is held (the controlling terminal's /dev/tty, another
// node for the same device) meets the same lock.

// Waits until a lock is held on the file at path, as the kernel lists them.
bool locked(const std::string &path, double timeout)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    for (double end = harness::now() + timeout; harness::now() < end; usleep(10000))
        if (harness::read_file("/proc/locks").find(inode) != std::string::npos)
            return true;
    return false;
}

struct Alias {
    const char *name;
    const char *how; // "swap": the link is remade; "tty": a second melda
};
void PrintTo(const Alias &c, std::ostream *os) { *os << c.name; }

class AliasTest : public ::testing::TestWithParam<Alias> {};

TEST_P(AliasTest, ThePortLockedIsThePortRead)
{
    const Alias &c = GetParam();
    const std::string how = c.how;
    // /dev/tty is told for its terminal by an ioctl qemu-user does not pass on.
    const char *wrapper = std::getenv("MELDA_WRAPPER");
    if (how == "tty" && wrapper && std::strstr(wrapper, "qemu"))
        GTEST_SKIP() << "qemu-user does not pass TIOCGDEV on";
    Bench a(false, {}), b(false, {});
    // Names short enough for libmodbus 3.0, which takes fewer than 16
    // characters.
    TempDir dir("/tmp/mdXXXXXX");
    const std::string link = dir.file("p");
    ASSERT_EQ(symlink(a.port().c_str(), link.c_str()), 0);
    const std::string stty = "stty -F " + b.port();
    ASSERT_EQ(harness::run({"/bin/sh", "-c", stty + " sane 9600 -cstopb"}, 10).status, 0);
    const std::string b_before = harness::run({"/bin/sh", "-c", stty + " -g"}, 10).out;

    BlockedOutput out(0);
    harness::Setup setup;
    setup.redirect = out.redirect();
    auto held = std::async(std::launch::async, [&] { return melda({link, "1", "4"}, 60, "", setup); });
    // Blocked at its opening line: the port is locked, not yet the library's.
    ASSERT_TRUE(locked(a.port(), 60)) << "melda never locked the port";
    if (how == "swap") {
        ASSERT_EQ(unlink(link.c_str()), 0);
        ASSERT_EQ(symlink(b.port().c_str(), link.c_str()), 0);
    } else {
        // The held port as the controlling terminal of a second melda.
        std::vector<std::string> argv = {"/bin/sh", "-c",
                                         "exec setsid -w -c \"$@\" /dev/tty 1 4 <" + a.port(), "sh"};
        harness::Wrapper wrapper("MELDA_WRAPPER");
        argv.insert(argv.end(), wrapper.words().begin(), wrapper.words().end());
        argv.push_back(harness::melda_binary());
        Result r = harness::run(argv, 60);
        EXPECT_EQ(r.status, 255) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "ERROR Port /dev/tty is in use by another program\n");
    }
    std::string text = out.drain();
    Result r = held.get();
    if (how == "swap") {
        EXPECT_EQ(r.status, 255) << text;
        EXPECT_EQ(r.err.substr(r.err.find("ERROR")), "ERROR Port " + link + " changed while it was opened\n");
        EXPECT_EQ(b.frames(), "");
        EXPECT_EQ(harness::run({"/bin/sh", "-c", stty + " -g"}, 10).out, b_before);
    } else {
        EXPECT_EQ(r.status, 0) << text << r.err;
        EXPECT_NE(text.find("\nOK\n" + coil_lines(0, 4)), std::string::npos) << text;
    }
    EXPECT_EQ(a.frames(), how == "swap" ? "" : request_hex(0, 4) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Line, AliasTest,
                         ::testing::Values(Alias{"LinkRemadeMeanwhile", "swap"},
                                           Alias{"ControllingTerminal", "tty"}),
                         [](const auto &info) { return std::string(info.param.name); });

// Another node for a device meets the lock on the system's own node. (A
// pseudo-terminal cannot be opened through a node outside /dev/pts: the
// device here is /dev/zero, which melda locks before it finds it is no
// serial line, and which no other test reads. The lock is waited for: a
// suite run beside this one takes it in turn.)
TEST(Alias, AnotherNodeForTheSameDevice)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making a device node takes root";
    TempDir dir("/tmp/mdXXXXXX"); // a name libmodbus 3.0 takes
    struct stat st;
    ASSERT_EQ(stat("/dev/zero", &st), 0);
    const std::string node = dir.file("n");
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0600, st.st_rdev), 0);
    int held = open("/dev/zero", O_RDWR | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    Result r = melda({node, "1", "4"});
    close(held);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR Port " + node + " is in use by another program\n");
}

// ---------------------------------------------------------------------------
// Standard streams closed or full: the port never becomes one of them, and a
// report that could not be written is not a success.

struct Streams {
    const char *name;
    const char *redirect;
    const char *fault;
    int status;
    std::string err;     // exact; the library's own lines come first
    std::string out_end; // what standard output ends with, when it is seen
    std::string out_has = ""; // what it holds somewhere
};
void PrintTo(const Streams &c, std::ostream *os) { *os << c.name; }

class StreamsTest : public ::testing::TestWithParam<Streams> {};

TEST_P(StreamsTest, OnlyFramesOnTheLineAndAnHonestStatus)
{
    const Streams &c = GetParam();
    Bench bench(false, {"--fault", c.fault, "--coils", kPattern});
    harness::Setup setup;
    setup.redirect = c.redirect;
    Result r = melda({bench.port(), "1", "4"}, 20, "", setup);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_TRUE(r.err.size() >= c.err.size() &&
                r.err.compare(r.err.size() - c.err.size(), c.err.size(), c.err) == 0)
        << r.err;
    EXPECT_TRUE(r.out.size() >= c.out_end.size() &&
                r.out.compare(r.out.size() - c.out_end.size(), c.out_end.size(), c.out_end) == 0)
        << r.out;
    EXPECT_NE(r.out.find(c.out_has), std::string::npos) << r.out;
    // The simulator heard the request and nothing else.
    EXPECT_EQ(bench.frames(), request_hex(0, 4) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Line, StreamsTest,
    ::testing::Values(
        Streams{"StdoutFull", ">/dev/full", "none", 255,
                "melda: write error: No space left on device\n", ""},
        Streams{"StdoutClosed", ">&-", "none", 255, "melda: write error: Bad file descriptor\n",
                ""},
        Streams{"StderrClosedSilentSlave", "2>&-", "silent", 255, "", "\nFAILED\n"},
        Streams{"StdinClosed", "<&-", "none", 0, "", "\nOK\n" + coil_lines(0, 4)},
        // A log of both streams: the bytes of a reply cut short come before
        // the error they caused.
        Streams{"BothStreamsInOrder", "2>&1", "truncated", 255, "", "\nFAILED\n",
                "\n<01><01><01><0D>ERROR Connection timed out: select\n"},
        Streams{"AllClosedSilentSlave", "<&- >&- 2>&-", "silent", 255, "", ""}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// A signal while melda waits for a reply: the lines already written are kept,
// the port's settings are as they were, and the run ends by that signal, as
// a shell expects. A signal ignored from the start stays ignored.

struct Signal {
    const char *name;
    int signal;           // sent once the request is on the line; 0: none
    std::string redirect; // where the report goes ("FILE": a file)
    int ends_by;          // the signal that ends the run; 0: none
};
void PrintTo(const Signal &c, std::ostream *os) { *os << c.name; }

class SignalTest : public ::testing::TestWithParam<Signal> {};

TEST_P(SignalTest, KeepsTheLinesAndPutsTheSettingsBack)
{
    const Signal &c = GetParam();
    // valgrind takes SIGTRAP and SIGSYS for faults of the program's own and
    // stops with an internal error when one is sent while melda is running;
    // it keeps SIGRTMAX for itself and does not pass SIGSTKFLT on.
    const char *wrapper = std::getenv("MELDA_WRAPPER");
    bool valgrind_own = c.signal == SIGTRAP || c.signal == SIGSYS || c.signal == SIGRTMAX;
#ifdef SIGSTKFLT
    valgrind_own = valgrind_own || c.signal == SIGSTKFLT;
#endif
    if (wrapper && std::strstr(wrapper, "valgrind") && valgrind_own)
        GTEST_SKIP() << "valgrind cannot take this signal from another process";
    // qemu-user keeps real-time signals of its own for the guest's.
    if (wrapper && std::strstr(wrapper, "qemu") && c.signal >= SIGRTMIN)
        GTEST_SKIP() << "qemu-user does not pass this signal on";
    TempDir dir;
    Bench bench(false, {"--fault", "silent"});
    const std::string stty = "stty -F " + bench.port();
    ASSERT_EQ(harness::run({"/bin/sh", "-c", stty + " sane 9600 -cstopb"}, 10).status, 0);
    Result before = harness::run({"/bin/sh", "-c", stty + " -g"}, 10);

    harness::Setup setup;
    setup.redirect = c.redirect == "FILE" ? "> " + dir.file("out") : c.redirect;
    setup.signal = c.signal;
    setup.ready = [&] { return !bench.frames().empty(); };
    setup.ends_by = c.ends_by;
    if (c.ends_by == 0)
        setup.before = "trap '' " + std::to_string(c.signal) + ";";
    Result r = melda({bench.port(), "1", "4"}, 20, "", setup);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.signal, c.ends_by) << "status " << r.status << "\n" << r.err;

    std::string out = c.redirect == "FILE" ? harness::read_file(dir.file("out")) : r.out;
    if (c.ends_by == 0) {
        // Ignored: the reading ran its course.
        EXPECT_EQ(r.status, 255);
        EXPECT_TRUE(out.size() > 7 && out.compare(out.size() - 8, 8, "\nFAILED\n") == 0) << out;
    } else if (c.redirect == "FILE") {
        // The opening line, the header with the request, the wait line.
        const std::string h = "modbus_read_bits(SLAVE 1, START 0, NCOILS 4): ";
        size_t at = out.find(h);
        ASSERT_NE(at, std::string::npos) << out;
        EXPECT_GT(at, 0u) << "no opening line before the header";
        EXPECT_NE(out.find("[01][01][00][00][00][04]", at), std::string::npos) << out;
        EXPECT_EQ(out.back(), '\n') << out;
    } else {
        // The reader took one line and went away.
        EXPECT_EQ(out.rfind("Opening " + bench.port() + " at 19200 bauds (N, 8, 2)\n", 0), 0u)
            << out;
    }

    Result after = harness::run({"/bin/sh", "-c", stty + " -g"}, 10);
    EXPECT_EQ(after.out, before.out);
}

std::vector<Signal> signals()
{
    std::vector<Signal> cases = {
        {"ReaderGoesAway", 0, "> >(head -1)", SIGPIPE},
        {"HupIgnoredFromTheStart", SIGHUP, "FILE", 0},
        {"TermIgnoredFromTheStart", SIGTERM, "FILE", 0},
    };
    const Signal sent[] = {
        {"Hup", SIGHUP, "", 0},       {"Int", SIGINT, "", 0},       {"Quit", SIGQUIT, "", 0},
        {"Trap", SIGTRAP, "", 0},     {"Abrt", SIGABRT, "", 0},     {"Usr1", SIGUSR1, "", 0},
        {"Usr2", SIGUSR2, "", 0},     {"Pipe", SIGPIPE, "", 0},     {"Alrm", SIGALRM, "", 0},
        {"Term", SIGTERM, "", 0},     {"Xcpu", SIGXCPU, "", 0},     {"Xfsz", SIGXFSZ, "", 0},
        {"Vtalrm", SIGVTALRM, "", 0}, {"Prof", SIGPROF, "", 0},     {"Sys", SIGSYS, "", 0},
        {"Segv", SIGSEGV, "", 0},     {"Bus", SIGBUS, "", 0},       {"Ill", SIGILL, "", 0},
        {"Fpe", SIGFPE, "", 0},       {"RtMin", SIGRTMIN, "", 0},   {"RtMax", SIGRTMAX, "", 0},
#ifdef SIGSTKFLT
        {"Stkflt", SIGSTKFLT, "", 0},
#endif
#ifdef SIGPOLL
        {"Poll", SIGPOLL, "", 0},
#endif
#ifdef SIGPWR
        {"Pwr", SIGPWR, "", 0},
#endif
    };
    for (Signal s : sent) {
        s.redirect = "FILE";
        s.ends_by = s.signal;
        cases.push_back(s);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Line, SignalTest, ::testing::ValuesIn(signals()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
