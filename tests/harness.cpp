// SPDX-License-Identifier: MIT
#include "harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "process.hpp"

namespace harness {

double now() { return process::now(); }

namespace {

// A sanitizer's report must not pass for one of melda's own statuses (1 and
// 255): every program the tests start gets exit codes of their own for the
// sanitizers.
const bool sanitizer_exit_codes = [] {
    setenv("ASAN_OPTIONS", "exitcode=86:detect_leaks=1", 0);
    setenv("UBSAN_OPTIONS", "exitcode=87:halt_on_error=1:print_stacktrace=1", 0);
    return true;
}();

std::string named_or(const char *variable, const char *built)
{
    const char *named = std::getenv(variable);
    return named && *named ? named : built;
}

std::vector<std::string> split_words(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

} // namespace

std::string melda_binary() { return named_or("MELDA_BIN", MELDA_BIN); }
std::string sim_binary() { return named_or("MELDA_SIM_BIN", MELDA_SIM_BIN); }

Wrapper::Wrapper(const char *variable)
{
    const char *text = std::getenv(variable);
    if (!text || !*text)
        return;
    // The wrapper writes to a descriptor it inherits: were it to open its
    // log itself, a standard descriptor the test closed would be reused for
    // it, and the program would never see the stream closed.
    log_fd_ = open(dir_.file("wrapper.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (std::string w : split_words(text)) {
        size_t at = w.find("%LOGFD%");
        if (at != std::string::npos)
            w.replace(at, 7, std::to_string(log_fd_));
        words_.push_back(w);
    }
}

Wrapper::~Wrapper()
{
    if (log_fd_ != -1)
        close(log_fd_);
}

// valgrind's log is a series of blocks, one a finding, each line behind a
// "==pid==" mark, blocks parted by a line with the mark alone.
std::string Wrapper::findings(bool ended_by_signal) const
{
    if (!active())
        return "";
    std::istringstream in(read_file(dir_.file("wrapper.log")));
    std::string line, found;
    std::vector<std::string> block;
    auto judge = [&] {
        if (block.empty())
            return;
        // The count of open descriptors heads the first descriptor's own
        // block: it is a summary, the descriptor after it a finding.
        if (block.front().rfind("FILE DESCRIPTORS:", 0) == 0)
            block.erase(block.begin());
        if (block.empty())
            return;
        const std::string &head = block.front();
        bool inherited = false, leak = head.find("in loss record") != std::string::npos;
        for (const std::string &l : block)
            inherited = inherited || l.find("<inherited from parent>") != std::string::npos;
        bool open_fd = head.rfind("Open file descriptor", 0) == 0;
        if (!(open_fd && inherited) && !(ended_by_signal && (open_fd || leak)))
            for (const std::string &l : block)
                found += l + "\n";
        block.clear();
    };
    while (std::getline(in, line)) {
        bool marked = line.rfind("==", 0) == 0;
        size_t body = marked ? line.find("== ") : std::string::npos;
        std::string text = body == std::string::npos ? (marked ? "" : line) : line.substr(body + 3);
        if (text.empty()) {
            judge();
            continue;
        }
        block.push_back(text);
    }
    judge();
    return found;
}

Result run(const std::vector<std::string> &argv, double timeout,
           const std::string &cwd, const Setup *setup)
{
    Result r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return r;
    }
    double start = now();
    pid_t pid = process::spawn(argv, out[1], err[1], cwd);
    close(out[1]);
    close(err[1]);

    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    bool signal_pending = setup && setup->signal != 0;
    while (open_fds > 0) {
        int left = static_cast<int>((start + timeout - now()) * 1000);
        if (left <= 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        if (signal_pending && (!setup->ready || setup->ready())) {
            kill(pid, setup->signal);
            signal_pending = false;
        }
        if (poll(fds, 2, signal_pending ? std::min(left, 10) : left) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_fds--;
            }
        }
    }
    for (pollfd &p : fds)
        if (p.fd >= 0)
            close(p.fd);
    process::Ending ending;
    process::wait_for(pid, -1, &ending);
    r.seconds = now() - start;
    r.status = ending.status;
    r.signal = ending.signal;
    return r;
}

Result melda(const std::vector<std::string> &words, double timeout,
             const std::string &cwd, const Setup &setup)
{
    std::vector<std::string> argv;
    if (!setup.before.empty() || !setup.redirect.empty())
        argv = {"/bin/bash", "-c", setup.before + " exec \"$@\" " + setup.redirect, "bash"};
    Wrapper wrapper("MELDA_WRAPPER");
    if (wrapper.active()) {
        argv.insert(argv.end(), wrapper.words().begin(), wrapper.words().end());
        timeout *= 4; // instrumented runs are slower
    }
    argv.push_back(melda_binary());
    argv.insert(argv.end(), words.begin(), words.end());
    Result r = run(argv, timeout, cwd, &setup);
    for (const char *mark : {"Sanitizer", "runtime error:"})
        if (r.err.find(mark) != std::string::npos)
            ADD_FAILURE() << "sanitizer report from melda "
                          << ::testing::PrintToString(words) << ":\n" << r.err;
    int ending = setup.ends_by != 0 ? setup.ends_by : setup.signal;
    std::string report = wrapper.findings(ending != 0 && r.signal == ending);
    if (!report.empty())
        ADD_FAILURE() << "the wrapper reported on melda " << ::testing::PrintToString(words)
                      << ":\n" << report;
    return r;
}

Background::Background(const std::vector<std::string> &argv, int out, int err)
{
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = process::spawn(argv, out == -1 ? null : out, err);
    close(null);
}

int Background::wait(double timeout)
{
    if (pid_ <= 0)
        return status_;
    process::Ending ending;
    if (!process::wait_for(pid_, timeout, &ending))
        return -1;
    status_ = ending.status;
    pid_ = -1;
    return status_;
}

int Background::stop(int signal)
{
    if (pid_ > 0) {
        kill(pid_, signal);
        if (wait(10) == -1 && pid_ > 0) {
            kill(pid_, SIGKILL);
            wait(10);
        }
    }
    return status_;
}

Background::~Background() { stop(); }

Sim::Sim(const std::vector<std::string> &options, const std::string &err_path)
    : err_path_(err_path.empty() ? dir_.file("said") : err_path)
{
    std::vector<std::string> argv = wrapper_.words();
    argv.push_back(sim_binary());
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back("--verbose");
    int out[2];
    if (pipe2(out, O_CLOEXEC) == -1) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    process_ = std::make_unique<Background>(argv, out[1], err);
    close(out[1]);
    if (err != -1)
        close(err);
    // The first line of its standard output is the device to use.
    path_ = process::read_line(out[0], 20);
    close(out[0]);
    if (path_.empty())
        ADD_FAILURE() << "melda-sim printed no device path";
}

size_t Sim::judged() const
{
    size_t seen = 0;
    std::istringstream in(said());
    for (std::string line; std::getline(in, line);)
        seen += line.rfind("melda-sim: reply ", 0) == 0 ||
                line.rfind("melda-sim: no answer", 0) == 0 ||
                line.find("noise, dropped") != std::string::npos;
    return seen;
}

bool Sim::wait_judged(size_t n, double timeout) const
{
    double deadline = now() + timeout;
    while (judged() < n) {
        if (now() > deadline)
            return false;
        usleep(1000);
    }
    return true;
}

std::vector<uint8_t> Sim::ask(Port &client, const std::vector<uint8_t> &request,
                              size_t most) const
{
    size_t before = judged();
    client.send(request);
    if (!wait_judged(before + 1))
        ADD_FAILURE() << "the simulator never judged the request:\n" << said();
    // The reply, if any, was on the line before the simulator said so.
    return client.collect(0.05, most);
}

Sim::~Sim()
{
    stop();
    std::string report = wrapper_.findings(false);
    if (!report.empty())
        ADD_FAILURE() << "the wrapper reported on melda-sim:\n" << report;
}

SocatPair::SocatPair() : a_(dir_.file("a")), b_(dir_.file("b"))
{
    if (run({"/bin/sh", "-c", "command -v socat"}, 10).status != 0) {
        skip_ = "socat is not installed";
        return;
    }
    socat_ = std::make_unique<Background>(std::vector<std::string>{
        "socat", "pty,raw,echo=0,link=" + a_, "pty,raw,echo=0,link=" + b_});
    if (!wait_for_file(a_, 10) || !wait_for_file(b_, 10))
        ADD_FAILURE() << "socat made no pair";
}

Port::Port(const std::string &path, const std::function<void(termios &)> &settings)
{
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
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

Port::~Port()
{
    if (fd_ != -1)
        close(fd_);
}

void Port::send(const std::vector<uint8_t> &bytes)
{
    if (write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        ADD_FAILURE() << "short write";
}

std::vector<uint8_t> Port::collect(double quiet, size_t most)
{
    std::vector<uint8_t> got;
    pollfd pfd{fd_, POLLIN, 0};
    double end = now() + 10;
    while (got.size() < most && now() < end &&
           poll(&pfd, 1, static_cast<int>(quiet * 1000)) > 0) {
        uint8_t buf[2048];
        ssize_t n = read(fd_, buf, std::min(sizeof buf, most - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

bool wait_for_file(const std::string &path, double timeout)
{
    double deadline = now() + timeout;
    while (access(path.c_str(), F_OK) != 0) {
        if (now() > deadline)
            return false;
        usleep(10000);
    }
    return true;
}

bool wait_for_text(const std::string &path, const std::string &text, double timeout)
{
    double deadline = now() + timeout;
    while (read_file(path).find(text) == std::string::npos) {
        if (now() > deadline)
            return false;
        usleep(10000);
    }
    return true;
}

TempDir::TempDir(const char *pattern)
{
    std::string tmpl = pattern;
    if (mkdtemp(tmpl.data()))
        path_ = tmpl;
    else
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<uint8_t> crc_bytes(const std::vector<uint8_t> &data)
{
    unsigned crc = 0xFFFF;
    for (uint8_t byte : data) {
        crc ^= byte;
        for (int i = 0; i < 8; i++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return {static_cast<uint8_t>(crc & 0xFF), static_cast<uint8_t>(crc >> 8)};
}

std::vector<uint8_t> with_crc(std::vector<uint8_t> data)
{
    std::vector<uint8_t> crc = crc_bytes(data);
    data.insert(data.end(), crc.begin(), crc.end());
    return data;
}

std::string coil_lines(const std::string &pattern, long address, int count)
{
    std::string s;
    char buf[64];
    for (int i = 0; i < count; i++) {
        std::snprintf(buf, sizeof buf, "COIL %02ld = %c\n", address + i,
                      pattern[static_cast<size_t>(address + i) % pattern.size()]);
        s += buf;
    }
    return s;
}

std::string hex(const std::vector<uint8_t> &bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); i++) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        s += buf;
    }
    return s;
}

} // namespace harness
