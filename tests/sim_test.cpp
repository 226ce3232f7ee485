// SPDX-License-Identifier: MIT
//
// Tests of the simulated slave itself, driven with raw frames on its
// pseudo-terminal: it is the stand-in for a device in every other test, so
// it must answer as a real device does.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.hpp"

using harness::Result;
using harness::Sim;
using harness::TempDir;
using Bytes = std::vector<uint8_t>;

namespace {

using harness::with_crc;

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A raw client on the simulator's pseudo-terminal, at the device's own line
// settings (raw 8N2 at 19200) unless told otherwise.
class Port {
public:
    explicit Port(const std::string &path, const std::function<void(termios &)> &settings = {})
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        if (fd_ == -1 || tcgetattr(fd_, &t) == -1) {
            ADD_FAILURE() << "cannot open " << path;
            return;
        }
        cfmakeraw(&t);
        if (settings)
            settings(t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Port()
    {
        if (fd_ != -1)
            close(fd_);
    }

    void send(const Bytes &bytes)
    {
        if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            ADD_FAILURE() << "short write";
    }

    // Collects what comes until the line has been quiet for `quiet` seconds,
    // or `most` bytes have come.
    Bytes collect(double quiet = 0.3, size_t most = 4096)
    {
        Bytes reply;
        pollfd pfd{fd_, POLLIN, 0};
        double end = now() + 10;
        while (reply.size() < most && now() < end &&
               poll(&pfd, 1, static_cast<int>(quiet * 1000)) > 0) {
            uint8_t buf[2048];
            ssize_t n = read(fd_, buf, std::min(sizeof buf, most - reply.size()));
            if (n <= 0)
                break;
            reply.insert(reply.end(), buf, buf + n);
        }
        return reply;
    }

    Bytes exchange(const Bytes &request, double quiet = 0.3, size_t most = 4096)
    {
        send(request);
        return collect(quiet, most);
    }

private:
    int fd_ = -1;
};

struct Exchange {
    const char *name;
    std::vector<std::string> options;
    Bytes request;  // sent with a correct CRC unless bad_crc
    bool bad_crc;
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
    if (c.bad_crc)
        request.back() ^= 0xFF;
    Bytes reply = port.exchange(request);
    Bytes expected = c.reply.empty() ? Bytes{} : with_crc(c.reply);
    EXPECT_EQ(harness::hex(reply), harness::hex(expected));
}

const std::vector<std::string> kTable = {"--coils", "1011001110001111", "--size", "32"};

INSTANTIATE_TEST_SUITE_P(
    Device, ExchangeTest,
    ::testing::Values(
        Exchange{"ReadSixteen", kTable, {1, 1, 0, 0, 0, 16}, false, {1, 1, 2, 0xCD, 0xF1}},
        Exchange{"ReadThreeFromFive", kTable, {1, 1, 0, 5, 0, 3}, false, {1, 1, 1, 0x06}},
        Exchange{"ReadWholeTable", kTable, {1, 1, 0, 0, 0, 32}, false,
                 {1, 1, 4, 0xCD, 0xF1, 0xCD, 0xF1}},
        Exchange{"BeyondTable", kTable, {1, 1, 0, 31, 0, 2}, false, {1, 0x81, 2}},
        Exchange{"QuantityZero", kTable, {1, 1, 0, 0, 0, 0}, false, {1, 0x81, 3}},
        Exchange{"Quantity2001", {"--size", "4000"}, {1, 1, 0, 0, 0x07, 0xD1}, false,
                 {1, 0x81, 3}},
        Exchange{"Quantity2000", {"--coils", "1", "--size", "2000"}, {1, 1, 0, 0, 0x07, 0xD0},
                 false, [] {
                     Bytes b = {1, 1, 250};
                     b.insert(b.end(), 250, 0xFF);
                     return b;
                 }()},
        Exchange{"ReadRegisters", kTable, {1, 3, 0, 0, 0, 1}, false, {1, 0x83, 1}},
        Exchange{"WriteCoil", kTable, {1, 5, 0, 0, 0xFF, 0}, false, {1, 0x85, 1}},
        Exchange{"UnknownFunction", kTable, {1, 0x41, 0, 0}, false, {1, 0xC1, 1}},
        Exchange{"OtherSlave", kTable, {2, 1, 0, 0, 0, 16}, false, {}},
        Exchange{"Broadcast", kTable, {0, 1, 0, 0, 0, 16}, false, {}},
        Exchange{"BadCrc", kTable, {1, 1, 0, 0, 0, 16}, true, {}},
        Exchange{"FaultException", {"--fault", "exception:6"}, {1, 1, 0, 0, 0, 1}, false,
                 {1, 0x81, 6}},
        Exchange{"FaultWrongSlave", {"--fault", "wrong-slave", "--coils", "1"},
                 {1, 1, 0, 0, 0, 8}, false, {2, 1, 1, 0xFF}},
        Exchange{"FaultShort", {"--fault", "short", "--coils", "1"}, {1, 1, 0, 0, 0, 16},
                 false, {1, 1, 1, 0xFF}},
        Exchange{"FaultSilent", {"--fault", "silent"}, {1, 1, 0, 0, 0, 16}, false, {}}),
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
    port.exchange(good, 0.1);
    port.exchange(other, 0.1);
    port.exchange(bad, 0.1);
    EXPECT_EQ(harness::read_file(dir.file("frames")),
              harness::hex(good) + "\n" + harness::hex(other) + "\n" + harness::hex(bad) + "\n");
}

TEST(Sim, EndsAfterTheGivenNumberOfRequests)
{
    Sim sim({"--requests", "2"});
    {
        Port port(sim.path());
        Bytes request = with_crc({1, 1, 0, 0, 0, 1});
        EXPECT_FALSE(port.exchange(request, 0.1).empty());
        EXPECT_FALSE(port.exchange(request, 0.1).empty());
    }
    EXPECT_EQ(sim.wait(10), 0);
}

TEST(Sim, DiscardsWhatAClientLeftUnread)
{
    // The first client reads only the reply's 6 bytes and leaves the 4
    // extra ones; the next client must get its own reply, not those. The
    // simulator learns of the close only after it happened, so clients
    // come 200 ms apart, as programs started one after another do.
    Sim sim({"--fault", "extra", "--coils", "1"});
    Bytes request = with_crc({1, 1, 0, 0, 0, 8});
    Bytes expected = with_crc({1, 1, 1, 0xFF});
    expected.insert(expected.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    for (int client = 0; client < 3; client++) {
        {
            Port port(sim.path());
            Bytes reply = port.exchange(request, 0.2, 6);
            EXPECT_EQ(harness::hex(reply),
                      harness::hex(Bytes(expected.begin(), expected.begin() + 6)))
                << "client " << client;
        }
        usleep(200000);
    }
    Port last(sim.path());
    EXPECT_EQ(harness::hex(last.exchange(request, 0.2)), harness::hex(expected));
}

struct BadOption {
    const char *name;
    std::vector<std::string> words;
};

void PrintTo(const BadOption &c, std::ostream *os) { *os << c.name; }

class BadOptionTest : public ::testing::TestWithParam<BadOption> {};

TEST_P(BadOptionTest, RefusedWithStatus2)
{
    std::vector<std::string> argv = {MELDA_SIM_BIN};
    argv.insert(argv.end(), GetParam().words.begin(), GetParam().words.end());
    Result r = harness::run(argv, 10);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err, "");
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
                      BadOption{"UnknownOption", {"--frobnicate"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Sim, HelpNamesEveryFault)
{
    Result r = harness::run({MELDA_SIM_BIN, "--help"}, 10);
    EXPECT_EQ(r.status, 0);
    for (const char *fault : {"exception:N", "silent", "bad-crc", "wrong-slave", "wrong-function",
                              "bad-count", "short", "long", "truncated", "halfway", "extra",
                              "garbage", "flood", "pieces", "hangup", "late"})
        EXPECT_NE(r.out.find("  " + std::string(fault) + " "), std::string::npos) << fault;
}

// Frames as a real RTU device takes them: a frame ends at a silent interval,
// and only a complete request for slave 1 with a right CRC is answered.
// Each write below is one burst on the line; bursts are 20 ms apart, far
// longer than the silent interval.
struct Odd {
    std::string name;
    std::vector<Bytes> bursts;
    Bytes reply; // expected, CRC included; empty: no answer
};

void PrintTo(const Odd &c, std::ostream *os) { *os << c.name; }

class OddFrameTest : public ::testing::TestWithParam<Odd> {};

TEST_P(OddFrameTest, AnswersOnlyACompleteRequest)
{
    Sim sim({"--coils", "1011001110001111", "--size", "32", "--verbose"});
    Port port(sim.path());
    const Odd &c = GetParam();
    for (size_t i = 0; i < c.bursts.size(); i++) {
        if (i)
            usleep(20000);
        port.send(c.bursts[i]);
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
        // Then a request after a silence: answered, as a real device does.
        {"ForeignFrameThenRequest", {with_crc({2, 1, 1, 0xFF}), kRequest}, kReply},
        {"NoiseByteThenRequest", {{0x5A}, kRequest}, kReply},
        {"TruncatedThenRequest", {with_crc({1, 1, 0}), kRequest}, kReply},
        {"NoiseOver256BytesThenRequest", {Bytes(300, 0x01), kRequest}, kReply},
        {"RequestTwice", {kRequest, kRequest}, joined(kReply, kReply)},
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
    Sim sim({"--baud", c.device_baud, "--coils", "1011001110001111", "--verbose"});
    Port port(sim.path(), c.client);
    EXPECT_EQ(harness::hex(port.exchange(kRequest)), harness::hex(c.answered ? kReply : Bytes{}));
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
        Setting{"OtherInputSpeed", "19200", [](termios &t) { cfsetispeed(&t, B9600); },
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
    Bytes reply = port.exchange(kRequest, 0.5, kReply.size());
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
