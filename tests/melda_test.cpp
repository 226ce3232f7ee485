// SPDX-License-Identifier: MIT
//
// End-to-end tests: the real melda binary against melda-sim on a real
// pseudo-terminal. Streams and exit statuses are checked exactly; the
// library's trace, whose wording varies by release, only loosely.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.hpp"

using harness::melda;
using harness::Result;
using harness::Sim;
using harness::coil_lines;
using harness::TempDir;

namespace {

const char kSupported[] = "Supported bauds: 9600, 19200, 38400, 57600, 115200\n";

// Where the libmodbus release under test decides otherwise than another.
bool library_at_least(int major, int minor, int micro)
{
    int a = 0, b = 0, c = 0;
    std::sscanf(MODBUS_VERSION, "%d.%d.%d", &a, &b, &c);
    return std::make_tuple(a, b, c) >= std::make_tuple(major, minor, micro);
}
// 3.0 takes a reply from another slave for the one it asked.
const bool kLibraryTakesAnySlave = !library_at_least(3, 1, 0);

bool ends_with(const std::string &s, const std::string &tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string header(long address, long count)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, "modbus_read_bits(SLAVE 1, START %ld, NCOILS %ld): ",
                  address, count);
    return buf;
}

bool is_digits(const std::string &s, size_t at, size_t n)
{
    for (size_t i = at; i < at + n; i++)
        if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i])))
            return false;
    return true;
}

// The usage text, whose first line carries the library's version and the
// build's date ("Dec  8 2026") and time ("17:32:52").
::testing::AssertionResult is_usage(const std::string &out)
{
    const std::string lead = "MELDA compiled with libmodbus version " MODBUS_VERSION " on ";
    const std::string rest = "\n\nUsage: melda port start ncoils [baud]\n"
                             "Default baud is 19200\n\n"
                             "Example:\n"
                             "./melda com1  1 4\n";
    const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    if (out.size() != lead.size() + 11 + 4 + 8 + rest.size() || out.compare(0, lead.size(), lead) != 0)
        return ::testing::AssertionFailure() << out;
    std::string date = out.substr(lead.size(), 11), time = out.substr(lead.size() + 15, 8);
    size_t m = months.find(date.substr(0, 3));
    bool month = m != std::string::npos && m % 3 == 0;
    bool day = date[3] == ' ' && (date[4] == ' ' || (date[4] >= '1' && date[4] <= '3')) &&
               is_digits(date, 5, 1) && date[6] == ' ' && is_digits(date, 7, 4);
    bool clock = is_digits(time, 0, 2) && time[2] == ':' && is_digits(time, 3, 2) &&
                 time[5] == ':' && is_digits(time, 6, 2);
    if (!month || !day || !clock || out.compare(lead.size() + 11, 4, " at ") != 0 ||
        out.compare(out.size() - rest.size(), rest.size(), rest) != 0)
        return ::testing::AssertionFailure() << out;
    return ::testing::AssertionSuccess();
}

// A verdict after a reading that reached the library: the header, the trace,
// the verdict on a line of its own, then the coil lines (after OK only).
void expect_verdict(const Result &r, long address, long count, const std::string &tail)
{
    std::string h = header(address, count);
    size_t at = r.out.find(h);
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(h, at + 1), std::string::npos) << "header printed twice";
    EXPECT_TRUE(ends_with(r.out, "\n" + tail)) << r.out;
    EXPECT_GT(r.out.size() - tail.size(), at + h.size()) << "no trace after the header";
}

// ---------------------------------------------------------------------------
// Refusals: the command line alone decides, nothing is opened.

struct Refusal {
    const char *name;
    std::vector<std::string> words;
    std::string out; // exact; "USAGE" stands for the usage text
    int status;
};

class RefusalTest : public ::testing::TestWithParam<Refusal> {};
void PrintTo(const Refusal &c, std::ostream *os) { *os << c.name; }

TEST_P(RefusalTest, PrintsExactTextAndStatus)
{
    const Refusal &c = GetParam();
    TempDir cwd;
    Result r = melda(c.words, 20, cwd.path());
    ASSERT_FALSE(r.timed_out);
    if (c.out == "USAGE")
        EXPECT_TRUE(is_usage(r.out));
    else
        EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, c.status);
}

const char kTooMany17[] = "Invalid ncoils: 17 (at most 16)\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, RefusalTest,
    ::testing::Values(
        Refusal{"NoWords", {}, "USAGE", 255},
        Refusal{"OneWord", {"/dev/ttyS0"}, "USAGE", 255},
        Refusal{"TwoWords", {"/dev/ttyS0", "1"}, "USAGE", 255},
        Refusal{"TwoEmptyWords", {"", ""}, "USAGE", 255},
        Refusal{"Count17", {"/nonexistent", "1", "17"}, kTooMany17, 1},
        Refusal{"Count17BadBaud", {"/nonexistent", "1", "17", "123"}, kTooMany17, 1},
        Refusal{"Count17EmptyPort", {"", "1", "17", "abc"}, kTooMany17, 1},
        Refusal{"Count17Text", {"x", "1", "17coils"}, kTooMany17, 1},
        Refusal{"CountBeyond32Bits", {"x", "1", "99999999999"},
                "Invalid ncoils: 2147483647 (at most 16)\n", 1},
        Refusal{"CountBeyond64Bits", {"x", "1", "99999999999999999999999"},
                "Invalid ncoils: 2147483647 (at most 16)\n", 1},
        Refusal{"CountWrapsTo4In32Bits", {"x", "1", "4294967300"},
                "Invalid ncoils: 2147483647 (at most 16)\n", 1},
        Refusal{"BaudLetters", {"/nonexistent", "1", "4", "fast"},
                std::string("Invalid baud: 0\n") + kSupported, 255},
        Refusal{"BaudNearMiss", {"/nonexistent", "1", "4", "19201"},
                std::string("Invalid baud: 19201\n") + kSupported, 255},
        Refusal{"BaudZero", {"/nonexistent", "1", "4", "0"},
                std::string("Invalid baud: 0\n") + kSupported, 255},
        Refusal{"BaudNegative", {"/nonexistent", "1", "4", "-9600"},
                std::string("Invalid baud: -9600\n") + kSupported, 255},
        Refusal{"BaudCommon300", {"/nonexistent", "1", "4", "300"},
                std::string("Invalid baud: 300\n") + kSupported, 255},
        Refusal{"Baud4800", {"/nonexistent", "1", "4", "4800"},
                std::string("Invalid baud: 4800\n") + kSupported, 255},
        Refusal{"BaudWrapsTo19200In32Bits", {"/nonexistent", "1", "4", "4294986496"},
                std::string("Invalid baud: 4294986496\n") + kSupported, 255},
        Refusal{"BaudBeyond64Bits", {"/nonexistent", "1", "4", "99999999999999999999"},
                std::string("Invalid baud: 9223372036854775807\n") + kSupported, 255},
        Refusal{"BaudEmptyWord", {"/nonexistent", "1", "4", ""},
                std::string("Invalid baud: 0\n") + kSupported, 255},
        Refusal{"BaudFormatDirective", {"/nonexistent", "1", "4", "%s%n"},
                std::string("Invalid baud: 0\n") + kSupported, 255}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Connection failures: the library refuses the context or cannot connect.

struct ConnectFailure {
    const char *name;
    std::vector<std::string> words;
    std::string err_tail;
};

class ConnectFailureTest : public ::testing::TestWithParam<ConnectFailure> {};
void PrintTo(const ConnectFailure &c, std::ostream *os) { *os << c.name; }

TEST_P(ConnectFailureTest, ReportsOnStandardErrorWithoutHeader)
{
    const ConnectFailure &c = GetParam();
    TempDir cwd;
    Result r = melda(c.words, 20, cwd.path());
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(ends_with(r.err, c.err_tail)) << r.err;
    EXPECT_EQ(r.out.find("modbus_read_bits"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("OK"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Port, ConnectFailureTest,
    ::testing::Values(
        ConnectFailure{"EmptyPort", {"", "1", "4"}, "Unable to allocate libmodbus context\n"},
        ConnectFailure{"EmptyPortFiveWords", {"", "1", "4", "x", "y"},
                       "Unable to allocate libmodbus context\n"},
        ConnectFailure{"MissingPort", {"/nonexist/tty9", "1", "4"},
                       "ERROR Connection failed: No such file or directory\n"},
        ConnectFailure{"MissingPortExplicitBaud", {"/nonexistent", "1", "4", "9600"},
                       "ERROR Connection failed: No such file or directory\n"},
        // /dev/full: a device no other test reads (the fuzz test's command
        // lines name /dev/null), so no other melda holds its lock.
        ConnectFailure{"NotASerialDevice", {"/dev/full", "1", "4"},
                       "ERROR Connection failed: Inappropriate ioctl for device\n"},
        ConnectFailure{"Directory", {".", "1", "4"},
                       "ERROR Connection failed: Is a directory\n"},
        ConnectFailure{"FormatDirectivePort", {"%s%n%s", "1", "4"},
                       "ERROR Connection failed: No such file or directory\n"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Readings from a sound device.

// 64 coils whose bytes on the wire include the ones a cooked terminal would
// translate or swallow (LF, CR, XON, XOFF, ^C, ^Z) and both extremes.
const std::string kTable =
    "0101000010110000100010001100100011000000010110001111111100000000";

struct Reading {
    const char *name;
    std::vector<std::string> words_after_port;
    long address;
    int count;
    std::string baud_in_trace;
};

class ReadingTest : public ::testing::TestWithParam<Reading> {};
void PrintTo(const Reading &c, std::ostream *os) { *os << c.name; }

TEST_P(ReadingTest, PrintsOkAndTheSimulatorsCoils)
{
    const Reading &c = GetParam();
    // The simulated device listens at the baud melda should have set.
    Sim sim({"--coils", kTable, "--size", std::to_string(kTable.size()), "--baud",
             c.baud_in_trace});
    std::vector<std::string> words = {sim.path()};
    words.insert(words.end(), c.words_after_port.begin(), c.words_after_port.end());
    Result r = melda(words);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    expect_verdict(r, c.address, c.count, "OK\n" + coil_lines(kTable, c.address, c.count));
    // The library's opening line names the line settings melda asked for.
    EXPECT_EQ(r.out.rfind("Opening " + sim.path() + " at " + c.baud_in_trace + " bauds (N, 8, 2)\n", 0), 0u)
        << r.out;
    EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Sim, ReadingTest,
    ::testing::Values(
        Reading{"SixteenFromFirst", {"1", "16"}, 0, 16, "19200"},
        Reading{"OneCoil", {"1", "1"}, 0, 1, "19200"},
        Reading{"FourCoils", {"1", "4"}, 0, 4, "19200"},
        Reading{"ControlBytes", {"9", "16"}, 8, 16, "19200"},
        Reading{"UnalignedStart", {"20", "13"}, 19, 13, "19200"},
        Reading{"XonXoff", {"17", "16"}, 16, 16, "19200"},
        Reading{"InterruptAndSuspend", {"33", "16"}, 32, 16, "19200"},
        Reading{"AllOnesAndZeros", {"49", "16"}, 48, 16, "19200"},
        Reading{"Baud9600", {"1", "16", "9600"}, 0, 16, "9600"},
        Reading{"Baud38400", {"1", "16", "38400"}, 0, 16, "38400"},
        Reading{"Baud57600", {"1", "16", "57600"}, 0, 16, "57600"},
        Reading{"Baud115200", {"1", "16", "115200"}, 0, 16, "115200"},
        Reading{"BaudWithTrailingText", {"1", "16", "9600bps"}, 0, 16, "9600"},
        Reading{"BaudWithBlanksAndSign", {"1", "16", " +57600"}, 0, 16, "57600"},
        Reading{"FifthWordIgnoresBadBaud", {"1", "16", "fast", "extra"}, 0, 16, "19200"},
        Reading{"SixWordsIgnoreFourth", {"1", "3", "300", "a", "b"}, 0, 3, "19200"},
        Reading{"SignedStart", {" +3", "2"}, 2, 2, "19200"},
        Reading{"StartWithTrailingText", {"5th", "2coils"}, 4, 2, "19200"}),
    [](const auto &info) { return std::string(info.param.name); });

// A device at another speed hears melda's request as garbage and does not
// answer: the reading fails, whichever side is off.
struct OtherSpeed {
    const char *name;
    std::string device_baud;
    std::vector<std::string> words_after_port;
};

class OtherSpeedTest : public ::testing::TestWithParam<OtherSpeed> {};
void PrintTo(const OtherSpeed &c, std::ostream *os) { *os << c.name; }

TEST_P(OtherSpeedTest, ReadingFails)
{
    const OtherSpeed &c = GetParam();
    Sim sim({"--baud", c.device_baud});
    std::vector<std::string> words = {sim.path()};
    words.insert(words.end(), c.words_after_port.begin(), c.words_after_port.end());
    Result r = melda(words);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    expect_verdict(r, 0, 4, "FAILED\n");
}

INSTANTIATE_TEST_SUITE_P(
    Line, OtherSpeedTest,
    ::testing::Values(OtherSpeed{"DefaultAgainst9600", "9600", {"1", "4"}},
                      OtherSpeed{"Given115200Against57600", "57600", {"1", "4", "115200"}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Reading, ThreeDigitCoilNumbersAreNotCut)
{
    Sim sim({"--coils", kTable, "--size", "128"});
    Result r = melda({sim.path(), "101", "2"});
    EXPECT_EQ(r.status, 0);
    // The simulator repeats the 64 given coils to fill its table.
    std::string lines = std::string("COIL 100 = ") + kTable[100 % 64] + "\nCOIL 101 = " + kTable[101 % 64] + "\n";
    EXPECT_TRUE(ends_with(r.out, "\nOK\n" + lines)) << r.out;
}

TEST(Reading, DefaultTableIsNeitherAllOnNorAllOff)
{
    Sim sim;
    Result r = melda({sim.path(), "1", "16"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("= 0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("= 1\n"), std::string::npos) << r.out;
}

TEST(Reading, SameSimulatorServesReadingsOneAfterAnother)
{
    Sim sim({"--coils", kTable, "--size", "64"});
    for (int start : {1, 17, 33, 49}) {
        Result r = melda({sim.path(), std::to_string(start), "16"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        expect_verdict(r, start - 1, 16, "OK\n" + coil_lines(kTable, start - 1, 16));
    }
}

TEST(Reading, ThroughASocatPairOfPseudoTerminals)
{
    // The simulator serves a named device, as it would a real port.
    harness::SocatPair pair;
    if (!pair.skip().empty())
        GTEST_SKIP() << pair.skip();
    Sim sim({"--coils", kTable, "--size", "64", pair.b()});
    EXPECT_EQ(sim.path(), pair.b());
    Result r = melda({pair.a(), "9", "16", "9600"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    expect_verdict(r, 8, 16, "OK\n" + coil_lines(kTable, 8, 16));
}

// A reading the device refuses: the verdict is the library's.
TEST(Reading, BeyondTheDevicesTablePrintsFailedAndNoCoils)
{
    Sim sim({"--size", "64"});
    Result r = melda({sim.path(), "62", "4"});
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, 255);
    expect_verdict(r, 61, 4, "FAILED\n");
    EXPECT_EQ(r.out.find("\nCOIL "), std::string::npos);
}

// Coils 1 to 65536, as Modbus addresses them in 16 bits: a reading at the
// ends of that range names the coils it read; anything outside it, a count
// below 1 or a port name with a control character in it is refused before
// the line is touched. The simulator logs every frame it hears.
struct CoilRange {
    const char *name;
    std::string link; // "" for the simulator's own path, else a link to it
    std::vector<std::string> words_after_port;
    int status;
    std::string out; // exact for a refusal ("DIR" stands for the link's
                     // folder); "" for a reading
    long address = 0; // for a reading: the first coil read, and how many
    int count = 0;
};

class CoilRangeTest : public ::testing::TestWithParam<CoilRange> {};
void PrintTo(const CoilRange &c, std::ostream *os) { *os << c.name; }

TEST_P(CoilRangeTest, ReadsOnlyCoilsThatExist)
{
    const CoilRange &c = GetParam();
    if (c.status == 0 && !c.link.empty() && !library_at_least(3, 1, 0))
        GTEST_SKIP() << "libmodbus 3.0 takes no port name of 16 characters or more";
    const std::string pattern = "1011001110001111";
    TempDir dir;
    Sim sim({"--coils", pattern, "--size", "65536", "--log", dir.file("frames")});
    std::string port = sim.path();
    if (!c.link.empty()) {
        port = dir.file(c.link);
        ASSERT_EQ(symlink(sim.path().c_str(), port.c_str()), 0);
    }
    std::vector<std::string> words = {port};
    words.insert(words.end(), c.words_after_port.begin(), c.words_after_port.end());
    Result r = melda(words);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    if (!c.out.empty()) {
        std::string out = c.out;
        if (out.find("DIR") != std::string::npos)
            out.replace(out.find("DIR"), 3, dir.path());
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(harness::read_file(dir.file("frames")), "") << "refused, yet a frame was sent";
        return;
    }
    expect_verdict(r, c.address, c.count, "OK\n" + coil_lines(pattern, c.address, c.count));
    std::vector<uint8_t> frame = harness::with_crc(
        {0x01, 0x01, static_cast<uint8_t>(c.address >> 8), static_cast<uint8_t>(c.address & 0xFF),
         0x00, static_cast<uint8_t>(c.count)});
    EXPECT_EQ(harness::read_file(dir.file("frames")), harness::hex(frame) + "\n");
}

const char kStartRange[] = " (coils are numbered 1 to 65536)\n";
const char kNoControl[] = " (a port name holds no control characters)\n";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, CoilRangeTest,
    ::testing::Values(
        CoilRange{"FirstCoil", "", {"1", "1"}, 0, "", 0, 1},
        CoilRange{"LastCoil", "", {"65536", "1"}, 0, "", 65535, 1},
        CoilRange{"LastSixteen", "", {"65521", "16"}, 0, "", 65520, 16},
        CoilRange{"StartZero", "", {"0", "2"}, 255, std::string("Invalid start: 0") + kStartRange},
        CoilRange{"StartText", "", {"abc", "4"}, 255, std::string("Invalid start: 0") + kStartRange},
        CoilRange{"StartNegative", "", {"-5", "2"}, 255, std::string("Invalid start: -5") + kStartRange},
        CoilRange{"StartBeyondLast", "", {"65537", "1"}, 255,
                  std::string("Invalid start: 65537") + kStartRange},
        CoilRange{"StartMin32", "", {"-2147483648", "1"}, 255,
                  std::string("Invalid start: -2147483648") + kStartRange},
        CoilRange{"StartBeyond64Bits", "", {"99999999999999999999999", "1"}, 255,
                  std::string("Invalid start: 2147483647") + kStartRange},
        CoilRange{"CountZero", "", {"1", "0"}, 255, "Invalid ncoils: 0 (1 to 16)\n"},
        CoilRange{"CountOneIn16Bits", "", {"1", "-65535"}, 255,
                  "Invalid ncoils: -65535 (1 to 16)\n"},
        CoilRange{"CountBelow32Bits", "", {"1", "-99999999999"}, 255,
                  "Invalid ncoils: -2147483648 (1 to 16)\n"},
        CoilRange{"RunPastLastCoil", "", {"65522", "16"}, 255,
                  "Invalid ncoils: 16 from start 65522 (the last coil is 65536)\n"},
        CoilRange{"CountCheckedFirst", "", {"0", "17"}, 1, "Invalid ncoils: 17 (at most 16)\n"},
        CoilRange{"PortNameForgesLines", "x\nOK\nCOIL 00 = 1\ny", {"1", "4"}, 255,
                  std::string("Invalid port: DIR/x\\x0AOK\\x0ACOIL 00 = 1\\x0Ay") + kNoControl},
        CoilRange{"PortNameWithDelete", "tty\x7f", {"1", "4"}, 255,
                  std::string("Invalid port: DIR/tty\\x7F") + kNoControl},
        CoilRange{"PortNameWithLastC0", "tty\x1f", {"1", "4"}, 255,
                  std::string("Invalid port: DIR/tty\\x1F") + kNoControl},
        // Line ends to a Unicode reader (U+2028, NEL as UTF-8) and a raw
        // 8-bit CSI; the line shows every byte beyond ASCII as \xNN.
        CoilRange{"PortNameUnicodeLineEnds", "a\xe2\x80\xa8\xc2\x85OK", {"1", "4"}, 255,
                  std::string("Invalid port: DIR/a\\xE2\\x80\\xA8\\xC2\\x85OK") + kNoControl},
        CoilRange{"PortNameRawC1", "j\xc3\xbcrgen\x9b", {"1", "4"}, 255,
                  std::string("Invalid port: DIR/j\\xC3\\xBCrgen\\x9B") + kNoControl},
        CoilRange{"PortNamePrintableUtf8", "j\xc3\xbcrgen\xe2\x80\xa7", {"1", "4"}, 0, "", 0, 4}),
    [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The wire: the one request melda sends, as the simulator read it.

struct Wire {
    const char *name;
    std::vector<std::string> words_after_port;
    std::vector<uint8_t> pdu; // slave, function, address, quantity
};

class WireTest : public ::testing::TestWithParam<Wire> {};
void PrintTo(const Wire &c, std::ostream *os) { *os << c.name; }

TEST_P(WireTest, SendsOneReadCoilsRequest)
{
    const Wire &c = GetParam();
    TempDir dir;
    std::string log = dir.file("frames");
    Sim sim({"--log", log, "--size", "65536"});
    std::vector<std::string> words = {sim.path()};
    words.insert(words.end(), c.words_after_port.begin(), c.words_after_port.end());
    Result r = melda(words);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(harness::read_file(log), harness::hex(harness::with_crc(c.pdu)) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Request, WireTest,
    ::testing::Values(
        Wire{"Start1Count4", {"1", "4"}, {0x01, 0x01, 0x00, 0x00, 0x00, 0x04}},
        Wire{"Start1Count16", {"1", "16"}, {0x01, 0x01, 0x00, 0x00, 0x00, 0x10}},
        Wire{"Start101Count2", {"101", "2"}, {0x01, 0x01, 0x00, 0x64, 0x00, 0x02}},
        Wire{"Start257Count9", {"257", "9", "9600"}, {0x01, 0x01, 0x01, 0x00, 0x00, 0x09}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Wire, KnownCrcVector)
{
    // Read Holding Registers 0..9 of slave 1: a frame printed in many
    // Modbus references, which anchors the test's own CRC.
    EXPECT_EQ(harness::hex(harness::crc_bytes({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A})), "C5 CD");
}

// ---------------------------------------------------------------------------
// A broken or hostile device: every fault ends in FAILED, status 255, within
// the library's timeouts, except the ones whose reply the library accepts.

struct Faulty {
    const char *fault;
    int count;
    bool library_accepts;
};

class FaultTest : public ::testing::TestWithParam<Faulty> {};
void PrintTo(const Faulty &c, std::ostream *os) { *os << c.fault << " " << c.count; }


TEST_P(FaultTest, EndsWithTheLibrarysVerdict)
{
    const Faulty &c = GetParam();
    bool accepted = c.library_accepts ||
                    (kLibraryTakesAnySlave && std::string(c.fault) == "wrong-slave");
    Sim sim({"--fault", c.fault});
    Result r = melda({sim.path(), "1", std::to_string(c.count)});
    ASSERT_FALSE(r.timed_out);
    EXPECT_LT(r.seconds, 5.0 * (std::getenv("MELDA_WRAPPER") ? 4 : 1));
    EXPECT_EQ(r.signal, 0);
    if (accepted) {
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        expect_verdict(r, 0, c.count, "OK\n" + coil_lines(std::string("1011001110001111"), 0, c.count));
    } else {
        EXPECT_EQ(r.status, 255) << r.out << r.err;
        expect_verdict(r, 0, c.count, "FAILED\n");
        EXPECT_EQ(r.out.find("\nCOIL "), std::string::npos);
    }
}

std::string fault_name(const ::testing::TestParamInfo<Faulty> &info)
{
    std::string name;
    for (const char *p = info.param.fault; *p; p++)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name + "_" + std::to_string(info.param.count);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, FaultTest,
    ::testing::Values(
        Faulty{"exception:1", 16, false}, Faulty{"exception:2", 16, false},
        Faulty{"exception:3", 16, false}, Faulty{"exception:4", 16, false},
        Faulty{"exception:0", 16, false}, Faulty{"exception:255", 16, false},
        Faulty{"silent", 16, false}, Faulty{"bad-crc", 16, false},
        Faulty{"bad-crc", 1, false}, Faulty{"wrong-slave", 16, false},
        Faulty{"wrong-function", 16, false}, Faulty{"bad-count", 16, false},
        Faulty{"bad-count", 3, false}, Faulty{"short", 16, false},
        Faulty{"short", 8, false}, Faulty{"long", 16, false},
        Faulty{"truncated", 16, false}, Faulty{"halfway", 16, false},
        Faulty{"garbage", 16, false}, Faulty{"flood", 16, false},
        Faulty{"hangup", 16, false}, Faulty{"extra", 16, true},
        Faulty{"pieces", 16, true}, Faulty{"pieces", 1, true}),
    fault_name);

} // namespace
