// Tests of the simulated slave itself, driven with raw frames on its
// pseudo-terminal: it is the stand-in for a device in every other test, so
// it must answer as a real device does.

#include <algorithm>
#include <cstdint>
#include <ctime>
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

Bytes with_crc(Bytes frame)
{
    Bytes crc = harness::crc_bytes(frame);
    frame.insert(frame.end(), crc.begin(), crc.end());
    return frame;
}

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// A raw client on the simulator's pseudo-terminal.
class Port {
public:
    explicit Port(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        if (fd_ == -1 || tcgetattr(fd_, &t) == -1) {
            ADD_FAILURE() << "cannot open " << path;
            return;
        }
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Port()
    {
        if (fd_ != -1)
            close(fd_);
    }

    // Sends a frame and collects what comes back until the line has been
    // quiet for `quiet` seconds, or `most` bytes have come.
    Bytes exchange(const Bytes &request, double quiet = 0.3, size_t most = 4096)
    {
        if (write(fd_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            ADD_FAILURE() << "short write";
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

// With --pace, a reading takes at least what the wire would: the request's
// 8 bytes, the silent interval, any turnaround, and the reply's bytes, at 11
// bits a character. Only the lower bound is checked; the upper one only
// catches a hang.
struct Paced {
    const char *name;
    long baud;
    int turnaround_ms;
    int count;
};

void PrintTo(const Paced &c, std::ostream *os) { *os << c.name; }

class PacedTest : public ::testing::TestWithParam<Paced> {};

TEST_P(PacedTest, ReadingTakesAtLeastTheWireTime)
{
    const Paced &c = GetParam();
    std::vector<std::string> options = {"--pace", "--baud", std::to_string(c.baud)};
    if (c.turnaround_ms)
        options.insert(options.end(), {"--turnaround", std::to_string(c.turnaround_ms)});
    Sim sim(options);
    Result r = harness::melda({sim.path(), "1", std::to_string(c.count), std::to_string(c.baud)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    double chr = 11.0 / c.baud;
    int reply = 5 + (c.count + 7) / 8;
    double wire = (8 + reply) * chr + (c.baud > 19200 ? 0.00175 : 3.5 * chr) +
                  c.turnaround_ms / 1000.0;
    EXPECT_GE(r.seconds, wire);
    EXPECT_LT(r.seconds, 10.0);
}

INSTANTIATE_TEST_SUITE_P(
    Line, PacedTest,
    ::testing::Values(Paced{"Baud9600", 9600, 0, 16}, Paced{"Baud19200", 19200, 0, 16},
                      Paced{"Baud115200", 115200, 0, 16}, Paced{"Baud9600OneCoil", 9600, 0, 1},
                      Paced{"Turnaround200ms", 19200, 200, 16}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
