// SPDX-License-Identifier: MIT
//
// Benchmark: one 16-coil reading by melda, by a minimal C program making the
// same libmodbus calls, and by mbpoll, all against melda-sim on a
// pseudo-terminal, the commands alternated round by round. Prints medians,
// ratios, peak memory and whole-process instruction counts (callgrind), then
// melda's and the minimal program's time per reading on a paced line next to
// the wire-time floor.
//
//   bench [rounds] [paced-rounds]

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/personality.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <modbus.h>

#include "process.hpp"

namespace {

using process::now;

struct Run {
    double seconds;
    int status;
};

// The argument vector exec and posix_spawn take, pointing into argv.
std::vector<char *> c_args(const std::vector<std::string> &argv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

// Starts the command with posix_spawn, which does not copy the
// benchmark's own address space as fork does: on a virtual machine where a
// page fault is dear, that copy alone costs a millisecond or more, the same
// for every command, and it is the benchmark's cost, not the command's.
Run run(const std::vector<std::string> &argv, const char *err_path = "/dev/null")
{
    std::vector<char *> args = c_args(argv);
    posix_spawn_file_actions_t io;
    posix_spawn_file_actions_init(&io);
    posix_spawn_file_actions_addopen(&io, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&io, 2, err_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    double t0 = now();
    pid_t pid;
    int wstatus = 0;
    int error = posix_spawnp(&pid, args[0], &io, nullptr, args.data(), environ);
    while (error == 0 && waitpid(pid, &wstatus, 0) == -1 && errno == EINTR)
        ;
    double t1 = now();
    posix_spawn_file_actions_destroy(&io);
    if (error != 0)
        return {0, 127};
    return {t1 - t0, WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1};
}

// Peak resident memory (VmHWM, kB) of the program itself: read from /proc
// when the process stops on its way out under ptrace, so that neither the
// benchmark's own pages (copied by fork) nor timing noise count. Address
// space randomisation is off for the run, so the figure repeats.
long peak_kb(const std::vector<std::string> &argv)
{
    std::vector<char *> args = c_args(argv);
    int null = open("/dev/null", O_WRONLY);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(null, 1);
        dup2(null, 2);
        personality(ADDR_NO_RANDOMIZE);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        raise(SIGSTOP);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(null);
    long kb = -1;
    int wstatus;
    waitpid(pid, &wstatus, 0); // the SIGSTOP before exec
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    while (waitpid(pid, &wstatus, 0) == pid && WIFSTOPPED(wstatus)) {
        int sig = 0;
        if (wstatus >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            std::ifstream in("/proc/" + std::to_string(pid) + "/status");
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("VmHWM:", 0) == 0)
                    kb = std::atol(line.c_str() + 6);
        } else if (wstatus >> 8 != (SIGTRAP | (PTRACE_EVENT_EXEC << 8))) {
            sig = WSTOPSIG(wstatus);
        }
        ptrace(PTRACE_CONT, pid, nullptr, sig);
    }
    return kb;
}

// melda-sim on a fresh pseudo-terminal; the path it prints is returned.
struct Sim {
    pid_t pid = -1;
    std::string path;

    explicit Sim(const std::vector<std::string> &options)
    {
        std::vector<std::string> argv = {MELDA_SIM_BIN};
        argv.insert(argv.end(), options.begin(), options.end());
        int fds[2];
        if (pipe(fds) == -1)
            std::exit(1);
        int null = open("/dev/null", O_WRONLY);
        pid = process::spawn(argv, fds[1], null);
        close(null);
        close(fds[1]);
        path = process::read_line(fds[0], 20);
        close(fds[0]);
    }
    ~Sim()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Whole-process instruction count under callgrind (repeatable on a noisy
// machine, unlike time).
long long instructions(const std::vector<std::string> &argv)
{
    std::vector<std::string> cmd = {"valgrind", "--tool=callgrind",
                                    "--callgrind-out-file=/dev/null"};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    char path[] = "/tmp/melda-bench.XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    run(cmd, path);
    std::ifstream in(path);
    std::string line;
    long long n = -1;
    while (std::getline(in, line)) {
        size_t at = line.find("Collected : ");
        if (at != std::string::npos)
            n = std::atoll(line.c_str() + at + 12);
    }
    unlink(path);
    return n;
}

bool have(const char *program)
{
    std::string cmd = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string cpu()
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown cpu";
}

struct Command {
    const char *name;
    std::vector<std::string> argv;
};

// The static melda of scripts/build-static, when bench/run has built one.
const char *static_melda() { return std::getenv("MELDA_STATIC_BIN"); }

// melda and the minimal program first, then the static melda and mbpoll
// where they are here.
std::vector<Command> commands(const std::string &port, const std::string &baud, bool with_mbpoll)
{
    std::vector<Command> c = {
        {"melda", {MELDA_BIN, port, "1", "16", baud}},
        {"minimal C program", {MINIMAL_BIN, port, "1", "16", baud}},
    };
    if (static_melda() != nullptr)
        c.push_back({"static melda", {static_melda(), port, "1", "16", baud}});
    if (with_mbpoll)
        c.push_back({"mbpoll", {"mbpoll", "-m", "rtu", "-a", "1", "-b", baud, "-d", "8", "-s",
                                "2", "-P", "none", "-t", "0", "-r", "1", "-c", "16", "-1",
                                port}});
    return c;
}

// Times each command `rounds` times, alternating; returns the medians (s).
void measure(const std::vector<Command> &cmds, int rounds, std::vector<double> *med)
{
    std::vector<std::vector<double>> t(cmds.size());
    for (int r = 0; r < rounds; r++) {
        // Every other round in reverse order, so no command always follows
        // the same one.
        for (size_t k = 0; k < cmds.size(); k++) {
            size_t i = r % 2 ? cmds.size() - 1 - k : k;
            Run x = run(cmds[i].argv);
            if (x.status != 0) {
                std::fprintf(stderr, "bench: %s failed with status %d\n", cmds[i].name, x.status);
                std::exit(1);
            }
            t[i].push_back(x.seconds);
        }
    }
    for (size_t i = 0; i < cmds.size(); i++)
        med->push_back(median(t[i]));
}

} // namespace

int main(int argc, char *argv[])
{
    int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    int paced_rounds = argc > 2 ? std::atoi(argv[2]) : 50;
    bool with_mbpoll = have("mbpoll");
    bool with_valgrind = have("valgrind");

    char date[32];
    time_t t = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d", gmtime(&t));
    std::printf("melda benchmark, %s, %s, %ld cores, libmodbus %s\n", date, cpu().c_str(),
                sysconf(_SC_NPROCESSORS_ONLN), LIBMODBUS_VERSION_STRING);
    std::printf("One 16-coil reading from melda-sim on a pseudo-terminal; %d rounds, "
                "commands alternated.\n\n", rounds);

    std::vector<double> med;
    std::vector<long> rss;
    std::vector<long long> instr;
    std::vector<Command> cmds;
    {
        Sim sim({});
        cmds = commands(sim.path, "19200", with_mbpoll);
        for (int warm = 0; warm < 5; warm++)
            for (const Command &c : cmds)
                run(c.argv);
        measure(cmds, rounds, &med);
        for (const Command &c : cmds) {
            instr.push_back(with_valgrind ? instructions(c.argv) : -1);
            rss.push_back(peak_kb(c.argv));
        }
    }

    std::printf("%-20s %12s %14s %14s\n", "", "median ms", "peak RSS kB", "instructions");
    for (size_t i = 0; i < cmds.size(); i++)
        std::printf("%-20s %12.3f %14ld %14lld\n", cmds[i].name, med[i] * 1e3, rss[i], instr[i]);
    std::printf("\nmelda / minimal: time %.3f, instructions %.4f, peak RSS %.3f\n", med[0] / med[1],
                static_cast<double>(instr[0]) / static_cast<double>(instr[1]),
                static_cast<double>(rss[0]) / static_cast<double>(rss[1]));
    size_t next = 2;
    if (static_melda() != nullptr) {
        std::printf("static melda / minimal: time %.3f, instructions %.4f, peak RSS %.3f\n",
                    med[next] / med[1],
                    static_cast<double>(instr[next]) / static_cast<double>(instr[1]),
                    static_cast<double>(rss[next]) / static_cast<double>(rss[1]));
        next++;
    } else {
        std::printf("no static melda (MELDA_STATIC_BIN): no comparison with it\n");
    }
    if (with_mbpoll)
        std::printf("melda / mbpoll:  time %.3f, instructions %.4f\n", med[0] / med[next],
                    static_cast<double>(instr[0]) / static_cast<double>(instr[next]));
    else
        std::printf("mbpoll not installed: no comparison with it\n");

    std::printf("\nPaced line (melda-sim --pace): 8-byte request, 7-byte reply, 11 bits a "
                "character; %d rounds.\n", paced_rounds);
    std::printf("%8s %14s %16s %18s %16s\n", "baud", "wire floor ms", "melda ms (x)",
                "minimal ms (x)", "melda/minimal");
    for (int baud : {9600, 19200, 115200}) {
        double chr = 11.0 / baud;
        double floor = 15 * chr + (baud > 19200 ? 0.00175 : 3.5 * chr);
        std::string b = std::to_string(baud);
        Sim sim({"--pace", "--baud", b});
        std::vector<Command> paced = commands(sim.path, b, false);
        std::vector<double> pm;
        measure(paced, paced_rounds, &pm);
        std::printf("%8d %14.3f %9.3f (%4.2f) %11.3f (%4.2f) %16.3f\n", baud, floor * 1e3,
                    pm[0] * 1e3, pm[0] / floor, pm[1] * 1e3, pm[1] / floor, pm[0] / pm[1]);
    }
    return 0;
}
