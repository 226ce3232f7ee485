// SPDX-License-Identifier: MIT
//
// Command-line fuzzing: melda on many generated command lines, none of which
// names a device that answers. Every run must end promptly with status 1 (a
// count above 16) or 255 (anything else), with no sanitizer report (the
// harness checks every run's standard error for one).
//
// Seeded and bounded: MELDA_FUZZ_SEED and MELDA_FUZZ_CASES change the seed
// (default 20261208) and the number of command lines (default 300).

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace {

unsigned long env_number(const char *name, unsigned long fallback)
{
    const char *text = std::getenv(name);
    return text && *text ? std::strtoul(text, nullptr, 10) : fallback;
}

// Words a script or a careless hand might put on the command line.
const std::vector<std::string> kWords = {
    "", " ", "\t", "+", "-", "+-1", "--5", " 12", "\t-3", "1 2", "0x10", "0X1F", "0x",
    "1e3", "1E+2", "2.5", "-0", "+0", "007", "16", "17", "16.9", "0", "1", "-1", "9600",
    "19200", "38400", "57600", "115200", "19200abc", "2147483647", "2147483648",
    "-2147483648", "-2147483649", "4294967296", "4294986496", "9223372036854775807",
    "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
    "18446744073709551616", "99999999999999999999999999", "%s%n", "%d%d%d%d%d",
    "%99999999s", "%n%n%n%n", "\xff\xfe\xfd", "\xc3\xa9", "\x80", "/", ".", "..",
    "/dev/null", "/nonexistent/ttyUSB0", "com1", "-h", "--help",
};

std::string generate_word(std::mt19937 &rng)
{
    std::uniform_int_distribution<int> kind(0, 9);
    switch (kind(rng)) {
    case 0: { // a long run of digits, maybe signed
        std::string w = std::uniform_int_distribution<int>(0, 2)(rng) == 0 ? "-" : "";
        w.append(std::uniform_int_distribution<size_t>(10, 5000)(rng), '9');
        return w;
    }
    case 1: // a very long word
        return std::string(std::uniform_int_distribution<size_t>(100, 20000)(rng), 'A');
    case 2: { // random bytes (no NUL: a command-line word cannot hold one)
        std::string w(std::uniform_int_distribution<size_t>(0, 40)(rng), ' ');
        for (char &c : w)
            c = static_cast<char>(std::uniform_int_distribution<int>(1, 255)(rng));
        return w;
    }
    case 3: { // a small number with noise around it
        std::string w = std::to_string(std::uniform_int_distribution<int>(-40, 40)(rng));
        const char *noise[] = {"", " ", "x", "e5", ".5", "%s"};
        return noise[rng() % 6] + w + noise[rng() % 6];
    }
    default:
        return kWords[rng() % kWords.size()];
    }
}

TEST(Fuzz, EveryCommandLineEndsWithStatus1Or255)
{
    const unsigned long seed = env_number("MELDA_FUZZ_SEED", 20261208);
    const unsigned long cases = env_number("MELDA_FUZZ_CASES", 300);
    std::mt19937 rng(static_cast<std::mt19937::result_type>(seed));
    harness::TempDir cwd; // relative port names find nothing here

    unsigned long refused_count = 0, usage = 0, other = 0;
    for (unsigned long i = 0; i < cases; i++) {
        std::vector<std::string> words(std::uniform_int_distribution<size_t>(0, 6)(rng));
        for (std::string &w : words)
            w = generate_word(rng);
        SCOPED_TRACE("case " + std::to_string(i) + " of seed " + std::to_string(seed) + ": " +
                     ::testing::PrintToString(words));

        // Long runs say how far they are, every 500 command lines.
        if (i > 0 && i % 500 == 0)
            std::fprintf(stderr, "fuzz: %lu of %lu command lines\n", i, cases);
        harness::Result r = harness::melda(words, 20, cwd.path());
        ASSERT_FALSE(r.timed_out);
        ASSERT_EQ(r.signal, 0);
        ASSERT_TRUE(r.status == 1 || r.status == 255) << r.status << "\n" << r.out << r.err;
        // No device answers, so no run gets as far as the reading.
        EXPECT_EQ(r.out.find("modbus_read_bits("), std::string::npos) << r.out;
        if (words.size() < 3) {
            EXPECT_EQ(r.out.rfind("MELDA compiled with libmodbus version ", 0), 0u) << r.out;
            usage++;
        } else if (r.status == 1) {
            EXPECT_EQ(r.out.rfind("Invalid ncoils: ", 0), 0u) << r.out;
            EXPECT_EQ(r.err, "");
            refused_count++;
        } else {
            EXPECT_EQ(r.out.find("(at most 16)"), std::string::npos) << r.out;
            other++;
        }
    }
    std::printf("fuzzed %lu command lines (seed %lu): %lu usage, %lu count refusals, "
                "%lu other failures\n", cases, seed, usage, refused_count, other);
    // The generator reaches every kind of ending.
    EXPECT_GT(usage, 0u);
    EXPECT_GT(refused_count, 0u);
    EXPECT_GT(other, 0u);
}

} // namespace
