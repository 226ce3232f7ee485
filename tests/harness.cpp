#include "harness.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace harness {
namespace {

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
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

// fork + exec with the given descriptors as standard output and error.
int spawn(const std::vector<std::string> &argv, int out, int err,
          const std::string &cwd)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A sanitizer's report must not pass for one of melda's own statuses
    // (1 and 255): give the sanitizers exit codes of their own.
    setenv("ASAN_OPTIONS", "exitcode=86:detect_leaks=1", 0);
    setenv("UBSAN_OPTIONS", "exitcode=87:halt_on_error=1:print_stacktrace=1", 0);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out, 1);
    if (err != -1)
        dup2(err, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) == -1)
        _exit(126);
    execvp(args[0], args.data());
    _exit(127);
}

void decode(int wstatus, int *status, int *signal)
{
    if (WIFEXITED(wstatus)) {
        *status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        *status = -1;
        *signal = WTERMSIG(wstatus);
    }
}

// What a valgrind log holds beyond its list of descriptors inherited from
// the parent: errors, leaks, and descriptors the program left open. A run
// ended by a signal's default action releases nothing, so for it only the
// errors count.
std::string findings(const std::string &log, bool ended_by_signal)
{
    std::istringstream in(log);
    std::string line, found;
    std::vector<std::string> block;
    auto judge = [&] {
        if (block.empty())
            return;
        const std::string &head = block.front();
        bool listed = head.rfind("FILE DESCRIPTORS:", 0) == 0;
        bool inherited = false, leak = head.find("in loss record") != std::string::npos;
        for (const std::string &l : block)
            inherited = inherited || l.find("<inherited from parent>") != std::string::npos;
        bool open_fd = head.rfind("Open file descriptor", 0) == 0;
        if (!listed && !(open_fd && inherited) && !(ended_by_signal && (open_fd || leak)))
            for (const std::string &l : block)
                found += l + "\n";
        block.clear();
    };
    while (std::getline(in, line)) {
        // "==1234== text": the text after the pid marker.
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

} // namespace

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
    pid_t pid = spawn(argv, out[1], err[1], cwd);
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
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) == -1 && errno == EINTR)
        ;
    r.seconds = now() - start;
    decode(wstatus, &r.status, &r.signal);
    return r;
}

Result melda(const std::vector<std::string> &words, double timeout,
             const std::string &cwd, const Setup &setup)
{
    std::vector<std::string> argv;
    if (!setup.redirect.empty())
        argv = {"/bin/sh", "-c", "exec \"$@\" " + setup.redirect, "sh"};
    const char *wrapper = std::getenv("MELDA_WRAPPER");
    TempDir logs;
    std::string log = logs.file("wrapper.log");
    // The wrapper writes to a descriptor it inherits: were it to open its
    // log itself, a standard descriptor the test closed would be reused for
    // it, and melda would never see the stream closed.
    int log_fd = -1;
    if (wrapper && *wrapper) {
        log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        for (std::string w : split_words(wrapper)) {
            size_t at = w.find("%LOGFD%");
            if (at != std::string::npos)
                w.replace(at, 7, std::to_string(log_fd));
            argv.push_back(w);
        }
        timeout *= 4; // instrumented runs are slower
    }
    argv.push_back(MELDA_BIN);
    argv.insert(argv.end(), words.begin(), words.end());
    Result r = run(argv, timeout, cwd, &setup);
    if (log_fd != -1)
        close(log_fd);
    for (const char *mark : {"Sanitizer", "runtime error:"})
        if (r.err.find(mark) != std::string::npos)
            ADD_FAILURE() << "sanitizer report from melda "
                          << ::testing::PrintToString(words) << ":\n" << r.err;
    if (wrapper && *wrapper) {
        bool sent = setup.signal != 0 && r.signal == setup.signal;
        std::string report = findings(read_file(log), sent);
        if (!report.empty())
            ADD_FAILURE() << "the wrapper reported on melda "
                          << ::testing::PrintToString(words) << ":\n" << report;
    }
    return r;
}

Background::Background(const std::vector<std::string> &argv, int out)
{
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_ = spawn(argv, out == -1 ? null : out, -1, "");
    close(null);
}

int Background::wait(double timeout)
{
    if (pid_ <= 0)
        return status_;
    double deadline = now() + timeout;
    int wstatus = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &wstatus, WNOHANG);
        if (done == pid_)
            break;
        if (done == -1 || now() > deadline)
            return -1;
        usleep(5000);
    }
    int sig = 0;
    decode(wstatus, &status_, &sig);
    pid_ = -1;
    return status_;
}

int Background::stop()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        if (wait(10) == -1 && pid_ > 0) {
            kill(pid_, SIGKILL);
            wait(10);
        }
    }
    return status_;
}

Background::~Background() { stop(); }

Sim::Sim(const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {MELDA_SIM_BIN};
    argv.insert(argv.end(), options.begin(), options.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) == -1) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    process_ = std::make_unique<Background>(argv, out[1]);
    close(out[1]);

    // The first line of its standard output is the device to use.
    double deadline = now() + 20;
    std::string line;
    char c;
    pollfd pfd{out[0], POLLIN, 0};
    while (now() < deadline && poll(&pfd, 1, 1000) >= 0) {
        if (!(pfd.revents & (POLLIN | POLLHUP)))
            continue;
        if (read(out[0], &c, 1) != 1 || c == '\n')
            break;
        line += c;
    }
    close(out[0]);
    path_ = line;
    if (path_.empty())
        ADD_FAILURE() << "melda-sim printed no device path";
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

TempDir::TempDir()
{
    char tmpl[] = "/tmp/melda-test.XXXXXX";
    if (mkdtemp(tmpl))
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
