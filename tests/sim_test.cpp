// SPDX-License-Identifier: MIT
//
// Tests of the simulated slave itself, driven with raw frames on its
// pseudo-terminal: it is the stand-in for a device in every other test, so
// it must answer as a real device does.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <termios.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "harness.hpp"

using harness::Port;
using harness::Result;
using harness::Sim;
using harness::TempDir;
using Bytes = std::vector<uint8_t>;

namespace {

using harness::now;
using harness::with_crc;

struct Exchange {
    const char *name;
    std::vector<std::string> options;
    Bytes request;  // sent with its CRC, one of whose bytes may be spoilt
    int spoil;      // 0: a right CRC; 1: its low byte wrong; 2: its high byte wrong
    Bytes reply;    // expected, without its CRC; empty: no answer
};

void PrintTo(const Exchange &c, std::ostream *os) { *os << c.name; }

class ExchangeTest : public ::testing::TestWithParam<Exchange> {};

TEST_P(ExchangeTest, AnswersAsARealDevice)
{
    const Exchange &c = GetParam();
    Sim sim(c.options);
    Port port(sim.path());
    Bytes request = with_crc(c.request);
    if (c.spoil)
        request[request.size() - 3 + static_cast<size_t>(c.spoil)] ^= 0xFF;
    Bytes reply = sim.ask(port, request);
    Bytes expected = c.reply.empty() ? Bytes{} : with_crc(c.reply);
    EXPECT_EQ(harness::hex(reply), harness::hex(expected));
}

const std::vector<std::string> kTable = {"--coils", "1011001110001111", "--size", "32"};

INSTANTIATE_TEST_SUITE_P(
    Device, ExchangeTest,
    ::testing::Values(
        Exchange{"ReadSixteen", kTable, {1, 1, 0, 0, 0, 16}, 0, {1, 1, 2, 0xCD, 0xF1}},
        Exchange{"ReadThreeFromFive", kTable, {1, 1, 0, 5, 0, 3}, 0, {1, 1, 1, 0x06}},
        Exchange{"ReadWholeTable", kTable, {1, 1, 0, 0, 0, 32}, 0,
                 {1, 1, 4, 0xCD, 0xF1, 0xCD, 0xF1}},
        Exchange{"BeyondTable", kTable, {1, 1, 0, 31, 0, 2}, 0, {1, 0x81, 2}},
        Exchange{"QuantityZero", kTable, {1, 1, 0, 0, 0, 0}, 0, {1, 0x81, 3}},
        Exchange{"Quantity2001", {"--size", "4000"}, {1, 1, 0, 0, 0x07, 0xD1}, 0,
                 {1, 0x81, 3}},
        Exchange{"Quantity2000", {"--coils", "1", "--size", "2000"}, {1, 1, 0, 0, 0x07, 0xD0},
                 0, [] {
                     Bytes b = {1, 1, 250};
                     b.insert(b.end(), 250, 0xFF);
                     return b;
                 }()},
        Exchange{"ReadRegisters", kTable, {1, 3, 0, 0, 0, 1}, 0, {1, 0x83, 1}},
        Exchange{"WriteCoil", kTable, {1, 5, 0, 0, 0xFF, 0}, 0, {1, 0x85, 1}},
        Exchange{"UnknownFunction", kTable, {1, 0x41, 0, 0}, 0, {1, 0xC1, 1}},
        Exchange{"OtherSlave", kTable, {2, 1, 0, 0, 0, 16}, 0, {}},
        Exchange{"Broadcast", kTable, {0, 1, 0, 0, 0, 16}, 0, {}},
        Exchange{"BadCrc", kTable, {1, 1, 0, 0, 0, 16}, 2, {}},
        Exchange{"BadCrcLowByte", kTable, {1, 1, 0, 0, 0, 16}, 1, {}},
        // A broadcast is never answered, whatever its function.
        Exchange{"BroadcastOtherFunction", kTable, {0, 3, 0, 0, 0, 1}, 0, {}},
        Exchange{"FaultException", {"--fault", "exception:6"}, {1, 1, 0, 0, 0, 1}, 0,
                 {1, 0x81, 6}},
        Exchange{"FaultWrongSlave", {"--fault", "wrong-slave", "--coils", "1"},
                 {1, 1, 0, 0, 0, 8}, 0, {2, 1, 1, 0xFF}},
        Exchange{"FaultShort", {"--fault", "short", "--coils", "1"}, {1, 1, 0, 0, 0, 16},
                 0, {1, 1, 1, 0xFF}},
        Exchange{"FaultSilent", {"--fault", "silent"}, {1, 1, 0, 0, 0, 16}, 0, {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Sim, LogsEveryFrameItReads)
{
    TempDir dir;
    Sim sim({"--log", dir.file("frames")});
    Port port(sim.path());
    Bytes good = with_crc({1, 1, 0, 0, 0, 4});
    Bytes other = with_crc({7, 1, 0, 0, 0, 4});
    Bytes bad = good;
    bad[6] ^= 1;
    sim.ask(port, good);
    sim.ask(port, other);
    sim.ask(port, bad);
    EXPECT_EQ(harness::read_file(dir.file("frames")),
              harness::hex(good) + "\n" + harness::hex(other) + "\n" + harness::hex(bad) + "\n");
}

TEST(Sim, EndsAfterTheGivenNumberOfRequests)
{
    Sim sim({"--requests", "2"});
    {
        Port port(sim.path());
        Bytes request = with_crc({1, 1, 0, 0, 0, 1});
        EXPECT_FALSE(sim.ask(port, request).empty());
        EXPECT_FALSE(sim.ask(port, request).empty());
    }
    EXPECT_EQ(sim.wait(10), 0);
}

TEST(Sim, DiscardsWhatAClientLeftUnread)
{
    // Each client reads only the reply's 6 bytes and leaves the 4 extra
    // ones; the next client, opening the line once the simulator has seen
    // the last one close it (it says so), must get its own reply.
    Sim sim({"--fault", "extra", "--coils", "1"});
    Bytes request = with_crc({1, 1, 0, 0, 0, 8});
    Bytes expected = with_crc({1, 1, 1, 0xFF});
    expected.insert(expected.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    for (int client = 1; client <= 20; client++) {
        {
            Port port(sim.path());
            Bytes reply = sim.ask(port, request, 6);
            EXPECT_EQ(harness::hex(reply),
                      harness::hex(Bytes(expected.begin(), expected.begin() + 6)))
                << "client " << client;
        }
        ASSERT_TRUE(sim.wait_said("client " + std::to_string(client) + " has closed the line"))
            << sim.said();
    }
    Port last(sim.path());
    EXPECT_EQ(harness::hex(sim.ask(last, request)), harness::hex(expected));
}

struct BadOption {
    const char *name;
    std::vector<std::string> words;
    int status = 2;
    std::string redirect = ""; // bash redirections of the simulator
    std::string err = "";      // its message, when it is given here
};

void PrintTo(const BadOption &c, std::ostream *os) { *os << c.name; }

class BadOptionTest : public ::testing::TestWithParam<BadOption> {};

// A bad option (2), an output that cannot be written before the simulator
// serves (1), each with a message and nothing on standard output; and the
// values that must be taken on every architecture (0).
TEST_P(BadOptionTest, RefusedWithStatus2)
{
    const BadOption &c = GetParam();
    TempDir dir;
    std::vector<std::string> argv = {"/bin/bash", "-c", "exec \"$@\" " + c.redirect, "bash"};
    harness::Wrapper wrapper("MELDA_SIM_WRAPPER");
    argv.insert(argv.end(), wrapper.words().begin(), wrapper.words().end());
    argv.push_back(harness::sim_binary());
    for (const std::string &w : c.words)
        argv.push_back(w == "FILE" ? dir.file("log") : w);
    Result r = harness::run(argv, 10);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 0) {
        EXPECT_EQ(r.err, "");
        return;
    }
    EXPECT_EQ(r.out, "");
    if (c.err.empty())
        EXPECT_NE(r.err, "");
    else
        EXPECT_EQ(r.err, c.err);
    // The log never becomes standard output.
    EXPECT_EQ(harness::read_file(dir.file("log")), "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, BadOptionTest,
    ::testing::Values(BadOption{"UnknownFault", {"--fault", "melt"}},
                      BadOption{"ExceptionCodeTooBig", {"--fault", "exception:256"}},
                      BadOption{"CoilsNotBits", {"--coils", "10x1"}},
                      BadOption{"SizeZero", {"--size", "0"}},
                      BadOption{"SizeTooBig", {"--size", "65537"}},
                      BadOption{"BaudUnknown", {"--baud", "12345"}},
                      BadOption{"RequestsZero", {"--requests", "0"}},
                      BadOption{"TwoDevices", {"/dev/a", "/dev/b"}},
                      BadOption{"UnknownOption", {"--frobnicate"}},
                      BadOption{"SeedLargest", {"--seed", "4294967295", "--help"}, 0},
                      BadOption{"SeedTooBig", {"--seed", "4294967296"}},
                      BadOption{"StdoutFull", {}, 1, ">/dev/full",
                                "melda-sim: standard output: No space left on device\n"},
                      BadOption{"StdoutClosedLogGiven", {"--log", "FILE"}, 1, ">&-",
                                "melda-sim: standard output: Bad file descriptor\n"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Sim, HelpNamesEveryFault)
{
    Result r = harness::run({harness::sim_binary(), "--help"}, 10);
    EXPECT_EQ(r.status, 0);
    for (const char *fault : {"exception:N", "silent", "bad-crc", "wrong-slave", "wrong-function",
                              "bad-count", "short", "long", "truncated", "halfway", "extra",
                              "garbage", "flood", "pieces", "hangup", "late"})
        EXPECT_NE(r.out.find("  " + std::string(fault) + " "), std::string::npos) << fault;
}

// Frames as a real RTU device takes them: a frame ends at a silent interval,
// and only a complete request for slave 1 with a right CRC is answered.
// Each write below is one burst on the line. The next burst goes out only
// once the simulator has judged the one before (it says so with --verbose),
// so that no burst can join the one before, however late it is woken.
struct Odd {
    std::string name;
    std::vector<Bytes> bursts;
    Bytes reply; // expected, CRC included; empty: no answer
};

void PrintTo(const Odd &c, std::ostream *os) { *os << c.name; }

class OddFrameTest : public ::testing::TestWithParam<Odd> {};

TEST_P(OddFrameTest, AnswersOnlyACompleteRequest)
{
    Sim sim({"--coils", "1011001110001111", "--size", "32"});
    Port port(sim.path());
    const Odd &c = GetParam();
    for (size_t i = 0; i < c.bursts.size(); i++) {
        port.send(c.bursts[i]);
        ASSERT_TRUE(sim.wait_judged(i + 1)) << "burst " << i << " never judged";
    }
    EXPECT_EQ(harness::hex(port.collect()), harness::hex(c.reply));
}

const Bytes kRequest = with_crc({1, 1, 0, 0, 0, 16});
const Bytes kReply = with_crc({1, 1, 2, 0xCD, 0xF1});

Bytes joined(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Odd> odd_frames()
{
    std::vector<Odd> cases = {
        // Read Coils cut short, its last two bytes a right CRC of the rest.
        {"ReadCoils4Bytes", {with_crc({1, 1})}, {}},
        {"ReadCoils5Bytes", {with_crc({1, 1, 0})}, {}},
        {"ReadCoils6Bytes", {with_crc({1, 1, 0, 0})}, {}},
        {"ReadCoils7Bytes", {with_crc({1, 1, 0, 0, 0})}, {}},
        {"ReadCoils9Bytes", {with_crc({1, 1, 0, 0, 0, 16, 0})}, {}},
        {"TrailingByteInTheSameWrite", {joined(kRequest, {0x00})}, {}},
        {"NoiseByteInTheSameWrite", {joined({0x00}, kRequest)}, {}},
        {"OneByte", {{0x01}}, {}},
        // Slave and CRC alone: too short for a frame, though its CRC is right.
        {"ThreeByteFrame", {with_crc({1})}, {}},
        // 300 bytes without a pause are noise, though they end in the CRC of
        // a request another function would be answered for.
        {"Burst300BytesThenSilence", {[] {
             Bytes b = {1, 3};
             b.resize(298, 0x55);
             return with_crc(b);
         }()},
         {}},
        // Then a request after a silence: answered, as a real device does.
        {"ForeignFrameThenRequest", {with_crc({2, 1, 1, 0xFF}), kRequest}, kReply},
        {"NoiseByteThenRequest", {{0x5A}, kRequest}, kReply},
        {"TruncatedThenRequest", {with_crc({1, 1, 0}), kRequest}, kReply},
        {"NoiseOver256BytesThenRequest", {Bytes(300, 0x01), kRequest}, kReply},
        {"RequestTwice", {kRequest, kRequest}, joined(kReply, kReply)},
        // The longest RTU frame, 256 bytes without a pause, is a frame; and
        // slave, function and CRC alone is a request of that function.
        {"Longest256ByteFrame", {[] {
             Bytes b = {1, 3};
             b.resize(254, 0x55);
             return with_crc(b);
         }()},
         with_crc({1, 0x83, 1})},
        {"FourByteOtherFunction", {with_crc({1, 3})}, with_crc({1, 0x83, 1})},
    };
    // A function code with the high bit set is a reply's, never a request.
    for (int fc : {0x80, 0x81, 0x83, 0xC1, 0xFF}) {
        char name[32];
        std::snprintf(name, sizeof name, "Function%02XIsNoRequest", fc);
        cases.push_back({name, {with_crc({1, static_cast<uint8_t>(fc), 0, 0, 0, 1})}, {}});
    }
    // Every other function: exception 01, with the function's high bit set.
    for (int fc : {0x02, 0x03, 0x05, 0x0F, 0x2B, 0x41, 0x7F}) {
        char name[32];
        std::snprintf(name, sizeof name, "Function%02XIllegal", fc);
        cases.push_back({name, {with_crc({1, static_cast<uint8_t>(fc), 0, 0, 0, 1})},
                         with_crc({1, static_cast<uint8_t>(fc | 0x80), 1})});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Frames, OddFrameTest, ::testing::ValuesIn(odd_frames()),
                         [](const auto &info) { return info.param.name; });

// The line checked as a UART would: a request sent at another speed or with
// other stop bits than the device's is garbage to it, and gets no answer.
// (A pty forces 8 data bits and no parity on every client, so those are
// checked in melda's opening line instead.)
struct Setting {
    const char *name;
    std::string device_baud;
    std::function<void(termios &)> client;
    bool answered;
};

void PrintTo(const Setting &c, std::ostream *os) { *os << c.name; }

class LineSettingTest : public ::testing::TestWithParam<Setting> {};

TEST_P(LineSettingTest, AnswersOnlyAtTheDevicesSettings)
{
    const Setting &c = GetParam();
    Sim sim({"--baud", c.device_baud, "--coils", "1011001110001111"});
    Port port(sim.path(), c.client);
    EXPECT_EQ(harness::hex(sim.ask(port, kRequest)), harness::hex(c.answered ? kReply : Bytes{}));
}

void speed(termios &t, speed_t s)
{
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
}

INSTANTIATE_TEST_SUITE_P(
    Line, LineSettingTest,
    ::testing::Values(
        Setting{"Same8N2", "19200", [](termios &) {}, true},
        Setting{"Same9600", "9600", [](termios &t) { speed(t, B9600); }, true},
        Setting{"Same115200", "115200", [](termios &t) { speed(t, B115200); }, true},
        Setting{"OneStopBit", "19200", [](termios &t) { t.c_cflag &= ~CSTOPB; }, false},
        Setting{"SlowerClient", "19200", [](termios &t) { speed(t, B9600); }, false},
        Setting{"FasterClient", "57600", [](termios &t) { speed(t, B115200); }, false},
        // The C library sets both speeds at once; a client with another input
        // speed sets the kernel's CIBAUD bits itself.
        Setting{"OtherInputSpeed", "19200",
                [](termios &t) {
                    t.c_cflag = (t.c_cflag & ~CIBAUD) | static_cast<tcflag_t>(B9600) << 16;
                },
                false}),
    [](const auto &info) { return std::string(info.param.name); });

// The time from the request's write to the reply's last byte. Paced, it is
// at least what the wire takes at 11 bits a character (start, 8 data, 2
// stop): the request's 8 bytes, the silent interval, any turnaround, then
// the reply's bytes. 1200 baud makes a character 9.2 ms, so that 10 bits a
// character (15 ms less for 16 coils) falls short of the bound. The upper
// bound only catches a hang.
struct Timing {
    const char *name;
    std::vector<std::string> options;
    speed_t client_speed;
    double at_least;
};

void PrintTo(const Timing &c, std::ostream *os) { *os << c.name; }

class TimingTest : public ::testing::TestWithParam<Timing> {};

double wire(double baud, int turnaround_ms)
{
    double chr = 11.0 / baud;
    return (8 + 7) * chr + (baud > 19200 ? 0.00175 : 3.5 * chr) + turnaround_ms / 1000.0;
}

TEST_P(TimingTest, ReplyTakesItsTime)
{
    const Timing &c = GetParam();
    std::vector<std::string> options = {"--coils", "1011001110001111"};
    options.insert(options.end(), c.options.begin(), c.options.end());
    Sim sim(options);
    Port port(sim.path(), [&](termios &t) { speed(t, c.client_speed); });
    double start = now();
    port.send(kRequest);
    Bytes reply = port.collect(5, kReply.size());
    double took = now() - start;
    EXPECT_EQ(harness::hex(reply), harness::hex(kReply));
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.at_least + 5);
}

INSTANTIATE_TEST_SUITE_P(
    Line, TimingTest,
    ::testing::Values(
        Timing{"Paced1200", {"--pace", "--baud", "1200"}, B1200, wire(1200, 0)},
        Timing{"Paced9600", {"--pace", "--baud", "9600"}, B9600, wire(9600, 0)},
        Timing{"Paced115200", {"--pace", "--baud", "115200"}, B115200, wire(115200, 0)},
        Timing{"Turnaround200ms", {"--pace", "--turnaround", "200"}, B19200, wire(19200, 200)},
        // Three pieces, 100 ms apart.
        Timing{"Pieces", {"--fault", "pieces"}, B19200, 0.2}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace

namespace {

// The silence that ends a frame, as the simulator states it with --verbose,
// and two halves of a request 1.5 ms further apart: a device takes them for
// two frames and answers neither. Only the simulator's lateness could join
// them, which real-time scheduling (--realtime) rules out.
struct FrameEnd {
    const char *name;
    const char *baud;
    speed_t speed;
    double ms; // the silence that ends a frame
};
void PrintTo(const FrameEnd &c, std::ostream *os) { *os << c.name; }

class FrameEndTest : public ::testing::TestWithParam<FrameEnd> {};

TEST_P(FrameEndTest, PiecesFurtherApartAreTwoFrames)
{
    const FrameEnd &c = GetParam();
    Sim sim({"--baud", c.baud, "--realtime"});
    ASSERT_TRUE(sim.wait_said("scheduling"));
    char said[160];
    std::snprintf(said, sizeof said,
                  "a frame ends after %.2f ms of silence at %s baud, 1.50 ms of them for "
                  "scheduling",
                  c.ms, c.baud);
    std::string text = sim.said();
    EXPECT_NE(text.find(said), std::string::npos) << text;
    if (text.find("real-time scheduling on") == std::string::npos)
        GTEST_SKIP() << "the simulator runs without real-time scheduling here";

    // The kernel hands a piece to the simulator through the pty's own
    // worker, which real-time scheduling does not speed up: on a loaded
    // machine a piece can reach it late, moving the pause it hears. So each
    // outcome is taken from the first of three tries that shows it; a wrong
    // frame end shows in every try.
    Port port(sim.path(), [&](termios &t) { speed(t, c.speed); });
    auto halves = [&](double pause_ms) {
        double sent = harness::now(), end = sent + pause_ms / 1000;
        port.send(Bytes(kRequest.begin(), kRequest.begin() + 4));
        // A sleep overshoots by up to a millisecond here: the last of the
        // pause is waited out on the clock.
        if (pause_ms > 2)
            usleep(static_cast<useconds_t>((pause_ms - 1.5) * 1000));
        while (harness::now() < end)
            ;
        port.send(Bytes(kRequest.begin() + 4, kRequest.end()));
        return (harness::now() - sent) * 1000;
    };
    std::string split = "not tried";
    for (int i = 0; i < 3 && !split.empty(); i++) {
        halves(c.ms + 1.5);
        split = harness::hex(port.collect());
    }
    EXPECT_EQ(split, "");

    // A pause longer than the silent interval but within the tolerance
    // keeps the frame whole: it is answered. Judged only when this side
    // kept the pause inside that window.
    std::string whole;
    bool kept = false;
    for (int i = 0; i < 3 && whole != harness::hex(kReply); i++) {
        bool inside = halves(c.ms - 0.75) < c.ms - 0.1;
        std::string got = harness::hex(inside ? port.collect(5, kReply.size()) : port.collect());
        if (inside)
            kept = true, whole = got;
    }
    if (!kept)
        GTEST_SKIP() << "the pause came out longer than the tolerance on this machine";
    EXPECT_EQ(whole, harness::hex(kReply));
}

INSTANTIATE_TEST_SUITE_P(
    Line, FrameEndTest,
    ::testing::Values(FrameEnd{"Baud1200", "1200", B1200, 33.58},
                      FrameEnd{"Baud19200", "19200", B19200, 3.51},
                      FrameEnd{"Baud115200", "115200", B115200, 3.25}),
    [](const auto &info) { return std::string(info.param.name); });

// SIGTERM while the simulator waits: it ends at once, sends nothing more,
// and leaves the client with at most what it sent before the signal.
struct Stop {
    const char *name;
    std::vector<std::string> options;
    bool socat;        // serves one end of a socat pair
    Bytes request;     // empty: none
    const char *until; // "request": heard; "begun": the reply's first byte
                       // came; "reply": all of it; "full": requests sent,
                       // none read, until a write blocks; "": at once
    bool client_stays; // the client holds the line when the signal comes
    int signal = SIGTERM;
    bool fifo_log = false; // the log goes to a FIFO that nobody reads
};
void PrintTo(const Stop &c, std::ostream *os) { *os << c.name; }

class StopTest : public ::testing::TestWithParam<Stop> {};

TEST_P(StopTest, EndsAtOnceAndSendsNothingMore)
{
    const Stop &c = GetParam();
    std::unique_ptr<harness::SocatPair> pair;
    std::vector<std::string> options = c.options;
    if (c.socat) {
        pair = std::make_unique<harness::SocatPair>();
        if (!pair->skip().empty())
            GTEST_SKIP() << pair->skip();
        options.push_back(pair->b());
    }
    TempDir dir;
    int fifo = -1;
    if (c.fifo_log) {
        ASSERT_EQ(mkfifo(dir.file("log").c_str(), 0600), 0);
        fifo = open(dir.file("log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        fcntl(fifo, F_SETPIPE_SZ, 4096);
        options.insert(options.end(), {"--log", dir.file("log")});
    }
    Sim sim(options);
    ASSERT_TRUE(sim.wait_said("scheduling"));
    auto client = std::make_unique<Port>(c.socat ? pair->a() : sim.path());
    const std::string until = c.until;
    if (until == "full") {
        // Each request once the one before was judged, until one is not:
        // the simulator sleeps in a write (a slow machine only ends this
        // sooner).
        size_t sent = 0;
        do
            client->send(c.request);
        while (++sent < 5000 && sim.wait_judged(sent, 3));
        EXPECT_LT(sent, 5000u) << "no write ever blocked";
    } else if (!c.request.empty()) {
        client->send(c.request);
        if (until == "request") {
            ASSERT_TRUE(sim.wait_said("melda-sim: request"));
        } else if (until == "reply") {
            ASSERT_TRUE(sim.wait_said("melda-sim: reply"));
            client->collect(0.05);
        } else {
            ASSERT_FALSE(client->collect(10, 1).empty()) << "nothing came before the signal";
        }
    }
    if (!c.client_stays)
        client.reset();
    double start = harness::now();
    EXPECT_EQ(sim.stop(c.signal), 0);
    if (fifo != -1)
        close(fifo);
    double took = harness::now() - start;
    EXPECT_LT(took, std::getenv("MELDA_SIM_WRAPPER") ? 5.0 : 1.0) << "ended " << took << " s after";
    // A reply the signal cut short was never said to be on the line.
    if (until == "request" || until == "begun") {
        EXPECT_EQ(sim.said().find("melda-sim: reply"), std::string::npos) << sim.said();
    }
    // Where nothing was due after the signal, nothing came: a reply not yet
    // begun, or one already read in full. (A reply cut short between its
    // pieces or bytes has its bytes from before the signal still on their
    // way, however late the test reads them.)
    if (client && (until == "request" || until == "reply")) {
        EXPECT_EQ(harness::hex(client->collect(0.3)), "");
    }
}

const Bytes kRequest2000 = with_crc({1, 1, 0, 0, 0x07, 0xD0});

INSTANTIATE_TEST_SUITE_P(
    Stop, StopTest,
    ::testing::Values(
        Stop{"Idle", {}, false, {}, "", false},
        Stop{"IdleOverSocat", {}, true, {}, "", false},
        Stop{"TurnaroundWithClient", {"--pace", "--turnaround", "5000"}, false, kRequest,
             "request", true},
        Stop{"TurnaroundAlone", {"--pace", "--turnaround", "5000"}, false, kRequest, "request",
             false},
        Stop{"TurnaroundOverSocat", {"--pace", "--turnaround", "5000"}, true, kRequest,
             "request", true},
        Stop{"LateWithClient", {"--fault", "late"}, false, kRequest, "request", true},
        Stop{"LateAlone", {"--fault", "late"}, false, kRequest, "request", false},
        Stop{"LateOverSocat", {"--fault", "late"}, true, kRequest, "request", true},
        Stop{"BetweenPieces", {"--fault", "pieces"}, false, kRequest, "begun", true},
        Stop{"PacingAt1200", {"--pace", "--baud", "1200", "--coils", "1", "--size", "2000"},
             false, kRequest2000, "begun", true},
        Stop{"Lingering", {"--requests", "1"}, false, kRequest, "reply", true},
        Stop{"IdleByInt", {}, false, {}, "", false, SIGINT},
        Stop{"LineFullOfReplies", {"--fault", "flood"}, false, kRequest, "full", true},
        Stop{"LogNobodyReads", {}, false, kRequest, "full", true, SIGTERM, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Clients that change while the simulator does not look (it is stopped):
// "reply" stops it once its reply is on the line, and the client that asked
// leaves it unread; "request" stops it once it has the request, before the
// reply goes out. Then the client closes the line and another opens it, and
// the simulator goes on: it must see two clients, not one (it says the
// first has closed the line), so the new one gets neither the reply left
// unread nor a reply to a request not its own, and then its own replies.
struct Unseen {
    const char *name;
    const char *stop_at;
    std::vector<std::string> options;
};
void PrintTo(const Unseen &c, std::ostream *os) { *os << c.name; }

class UnseenChangeTest : public ::testing::TestWithParam<Unseen> {};

TEST_P(UnseenChangeTest, TheNewClientGetsOnlyItsOwnReply)
{
    const Unseen &c = GetParam();
    Sim sim(c.options);
    const auto request = harness::with_crc({1, 1, 0, 16, 0, 8});
    {
        harness::Port first(sim.path());
        first.send(request);
        ASSERT_TRUE(sim.wait_said(std::string("melda-sim: ") + c.stop_at));
        sim.signal(SIGSTOP);
    }
    harness::Port second(sim.path());
    sim.signal(SIGCONT);
    ASSERT_TRUE(sim.wait_said("client 1 has closed the line")) << sim.said();
    EXPECT_EQ(harness::hex(second.collect(1)), "") << sim.said();
    const size_t judged = sim.judged();
    second.send(request);
    ASSERT_TRUE(sim.wait_judged(judged + 1));
    std::string reply = harness::hex(second.collect());
    EXPECT_EQ(reply.substr(0, harness::hex(harness::with_crc({1, 1, 1, 0xCD})).size()),
              harness::hex(harness::with_crc({1, 1, 1, 0xCD})));
}

INSTANTIATE_TEST_SUITE_P(
    Clients, UnseenChangeTest,
    ::testing::Values(Unseen{"ReplyLeftUnread", "reply", {"--fault", "extra"}},
                      Unseen{"ReplyToAClientThatLeft", "request", {"--pace", "--turnaround", "300"}}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
