// SPDX-License-Identifier: MIT
#include "output.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "line.hpp"

namespace sim {
namespace {

struct Output {
    const char *name;
    int fd;
    bool own = false; // opened here, closed at the end
    ~Output()
    {
        if (own)
            close(fd);
    }
};

Output out{"standard output", STDOUT_FILENO};
Output err{"standard error", STDERR_FILENO};
Output log{"log", -1};
int failed = 0;

// A descriptor for writing to fd without blocking. A regular file never
// blocks. O_NONBLOCK belongs to the open file, which an inherited stream
// shares with other programs (a shell, a terminal): such a stream is opened
// again, as a file of the simulator's own. A descriptor not open for
// writing is kept as it is, so that writing to it fails.
void make_nonblocking(Output *o)
{
    struct stat st;
    int flags = fcntl(o->fd, F_GETFL);
    if (flags == -1 || (flags & O_ACCMODE) == O_RDONLY ||
        (fstat(o->fd, &st) == 0 && S_ISREG(st.st_mode)))
        return;
    if (o->own) {
        fcntl(o->fd, F_SETFL, flags | O_NONBLOCK);
        return;
    }
    std::string path = "/proc/self/fd/" + std::to_string(o->fd);
    int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd != -1) {
        o->fd = fd;
        o->own = true;
    }
}

void emit(Output &o, const char *text, size_t n)
{
    if (failed != 0 || o.fd == -1)
        return;
    int rc = write_fully(o.fd, text, n);
    if (rc <= 0)
        return;
    if (&o != &err) {
        std::string why = std::string("melda-sim: ") + o.name + ": " + std::strerror(rc) + "\n";
        write_fully(err.fd, why.data(), why.size());
    }
    failed = 1;
}

} // namespace

bool hold_standard_descriptors()
{
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) != -1 && fd <= 2)
        ;
    if (fd == -1)
        return false;
    close(fd);
    return true;
}

void open_outputs()
{
    make_nonblocking(&out);
    make_nonblocking(&err);
}

bool open_log(const char *path)
{
    if (std::strcmp(path, "-") == 0) {
        log.fd = out.fd;
        return true;
    }
    log.fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (log.fd == -1) {
        say("melda-sim: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    log.own = true;
    make_nonblocking(&log);
    return true;
}

void log_frame(const Bytes &frame)
{
    std::string line = hex(frame) + "\n";
    emit(log, line.data(), line.size());
}

bool print_path(const char *path)
{
    std::string line = std::string(path) + "\n";
    emit(out, line.data(), line.size());
    return failed == 0;
}

void say(const char *format, ...)
{
    char text[2048];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n > 0)
        emit(err, text, std::min(static_cast<size_t>(n), sizeof text - 1));
}

int failure() { return failed; }

} // namespace sim
