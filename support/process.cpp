// SPDX-License-Identifier: MIT
#include "process.hpp"

#include <cerrno>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace process {

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

pid_t spawn(const std::vector<std::string> &argv, int out, int err, const std::string &cwd)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A program ended by a signal that dumps core leaves no core behind.
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
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

bool wait_for(pid_t pid, double timeout, Ending *ending)
{
    double deadline = now() + timeout;
    int wstatus = 0;
    for (;;) {
        pid_t done = waitpid(pid, &wstatus, timeout < 0 ? 0 : WNOHANG);
        if (done == pid)
            break;
        if (done == -1 && errno == EINTR)
            continue;
        if (done == -1 || now() > deadline)
            return false;
        usleep(5000);
    }
    if (WIFEXITED(wstatus)) {
        ending->status = WEXITSTATUS(wstatus);
    } else if (WIFSIGNALED(wstatus)) {
        ending->status = -1;
        ending->signal = WTERMSIG(wstatus);
    }
    return true;
}

std::string read_line(int fd, double timeout)
{
    double deadline = now() + timeout;
    std::string line;
    pollfd pfd{fd, POLLIN, 0};
    char c;
    while (now() < deadline) {
        if (poll(&pfd, 1, static_cast<int>((deadline - now()) * 1000) + 1) <= 0)
            continue;
        if (read(fd, &c, 1) != 1 || c == '\n')
            break;
        line += c;
    }
    return line;
}

} // namespace process
