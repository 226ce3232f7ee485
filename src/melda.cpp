// SPDX-License-Identifier: MIT
//
// melda: read up to 16 coils from Modbus RTU slave 1 and print them.
//
//   melda port start ncoils [baud]
//
// The line is 8N2, the slave is 1 and the library's trace is on, so every
// frame on the wire is shown beside the report. Everything goes through C
// stdio: the report and libmodbus's trace share standard output and must
// come out in the order they are written.

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#endif

#ifdef _WIN32
#include <cctype>
#include <cstring>
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <modbus.h>

namespace {

const int kSlave = 1;
const int kMaxCoils = 16;
// Modbus addresses coils in 16 bits: coils 1 to 65536 on the command line.
const int kLastCoil = 65536;
const long kDefaultBaud = 19200;

// Decimal text to number as atoi/atol read it (leading blanks, one sign,
// digits up to the first non-digit, 0 for no digits), except that a value
// beyond [lo, hi] saturates to the nearer bound instead of wrapping. The
// baud is a 64-bit value on every platform, so this reads long long.
long long read_number(const char *text, long long lo, long long hi)
{
    long long value = std::strtoll(text, nullptr, 10);
    if (value < lo)
        return lo;
    if (value > hi)
        return hi;
    return value;
}

// The context is released on every path that created it; the connection,
// once made, is closed before that.
struct Context {
    modbus_t *const ctx;
    explicit Context(modbus_t *c) : ctx(c) {}
    Context(const Context &) = delete;
    Context &operator=(const Context &) = delete;
    ~Context()
    {
        if (ctx != nullptr)
            modbus_free(ctx);
    }
};

struct Connection {
    modbus_t *const ctx;
    explicit Connection(modbus_t *c) : ctx(c) {}
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection() { modbus_close(ctx); }
};

#ifndef _WIN32
// The port's settings before the run, and melda's own descriptor to put them
// back through if a signal ends the run while the library has the line.
int held_fd = -1;
termios held_settings;

void restore_line(int sig)
{
    if (held_fd != -1)
        tcsetattr(held_fd, TCSANOW, &held_settings);
    raise(sig); // the handler is reset: the default action follows
}

// Every signal whose default action ends the process puts the port back
// first: the named signals, 1 to 31 wherever melda builds. Left alone: those
// that cannot be caught (KILL, STOP), those whose default is to ignore or to
// stop (CHLD, CONT, URG, WINCH, TSTP, TTIN, TTOU), and the faults melda
// itself would cause (SEGV, BUS, FPE, ILL), which a debugger or a sanitizer
// must see as they happened. The real-time signals, which nothing sends a
// command unasked, keep their default.
void restore_line_on_signals()
{
    struct sigaction sa = {}; // no other signal blocked in the handler
    sa.sa_handler = restore_line;
    sa.sa_flags = SA_RESETHAND;
    for (int sig = 1; sig < 32; sig++) {
        switch (sig) {
        case SIGKILL: case SIGSTOP:
        case SIGCHLD: case SIGCONT: case SIGURG: case SIGWINCH:
        case SIGTSTP: case SIGTTIN: case SIGTTOU:
        case SIGSEGV: case SIGBUS: case SIGFPE: case SIGILL:
            continue;
        }
        // A signal ignored from the start (nohup's SIGHUP) stays ignored.
        struct sigaction old;
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);
    }
}

// melda's own hold on the port, taken before the library opens it and kept
// until after the library has closed it. An advisory lock keeps a second
// melda off a line that one is reading: the second is refused before it
// sends a byte or changes a setting. A port melda cannot open itself is left
// to the library's connect, which reports why.
struct Line {
    int fd;
    bool busy = false;

    explicit Line(const char *port)
        : fd(open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        if (fd == -1)
            return;
        if (flock(fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) {
            busy = true;
            return;
        }
        if (tcgetattr(fd, &held_settings) == -1)
            return;
        held_fd = fd;
        restore_line_on_signals();
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    ~Line()
    {
        held_fd = -1;
        if (fd != -1)
            close(fd);
    }

    // The status to end with when the run was interrupted, else 0: a
    // signal ends the run by itself (see restore_line).
    int interruption() const { return 0; }

    // Whatever the port's input holds before the request goes out (a reply
    // that came too late for an earlier run, noise) is not this run's
    // reply: it is discarded. A reply that comes after the request cannot
    // be told from this run's; RTU carries nothing that ties the two.
    void discard_input() const
    {
        if (fd != -1)
            tcflush(fd, TCIFLUSH);
    }
};

// Descriptors 0, 1 and 2 are made to exist before the port is opened, so
// that the port can never become standard output or error and carry their
// text onto the bus. A stream that was closed gets /dev/null read-only, so
// that writing to it still fails and is reported. open() takes the lowest
// free descriptor: it fills the closed ones in turn, and the first above 2
// is not needed.
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
#else
// A Ctrl+C or Ctrl+Break ends the run with Windows' own status for it, once
// the port is closed (the library then puts its settings back): the wait
// in progress ends within the library's timeout and pause. A line that
// never frees that wait is left after 2 s.
const int kInterrupted = static_cast<int>(STATUS_CONTROL_C_EXIT);
volatile LONG interrupted = 0;
HANDLE line_closed = nullptr;

BOOL WINAPI end_run(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    interrupted = 1;
    WaitForSingleObject(line_closed, 2000);
    ExitProcess(static_cast<UINT>(kInterrupted));
}

// melda's own hold on the port: a mutex every melda on the machine sees,
// named after the port as Windows resolves the name (COM5, com5 and
// \\.\COM5 are one port), taken before the library opens the port and kept
// until after it has closed it. Windows itself opens a COM port for one
// program at a time, but Wine and some virtual COM drivers do not.
struct Line {
    HANDLE lock = nullptr;
    bool busy = false;

    explicit Line(const char *port)
    {
        char name[MAX_PATH] = "Global\\melda port ";
        size_t at = std::strlen(name);
        if (std::strncmp(port, "\\\\.\\", 4) == 0 || std::strncmp(port, "\\\\?\\", 4) == 0)
            port += 4;
        for (; *port && at < sizeof name - 1; port++)
            name[at++] = static_cast<char>(std::toupper(static_cast<unsigned char>(*port)));
        name[at] = '\0';
        lock = CreateMutexA(nullptr, FALSE, name);
        if (lock == nullptr)
            return; // left to the system's own exclusive open
        DWORD got = WaitForSingleObject(lock, 0);
        if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
            busy = true;
            return;
        }
        line_closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (line_closed != nullptr)
            SetConsoleCtrlHandler(end_run, TRUE);
    }
    Line(const Line &) = delete;
    Line &operator=(const Line &) = delete;
    ~Line()
    {
        if (lock == nullptr)
            return;
        if (!busy)
            ReleaseMutex(lock);
        CloseHandle(lock);
        if (line_closed != nullptr)
            SetEvent(line_closed);
    }

    int interruption() const { return interrupted != 0 ? kInterrupted : 0; }
    void discard_input() const {}
};

bool hold_standard_descriptors() { return true; }
#endif

// The library's trace prints the port name at the start of a line: a name
// holding a line end or another control character could put lines of its
// own into the report. No device has such a name.
bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool has_control_character(const char *text)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++)
        if (is_control(*p))
            return true;
    return false;
}

void usage()
{
    std::printf("MELDA compiled with libmodbus version %s on %s at %s\n\n",
                LIBMODBUS_VERSION_STRING, __DATE__, __TIME__);
    std::puts("Usage: melda port start ncoils [baud]");
    std::printf("Default baud is %ld\n\n", kDefaultBaud);
    std::puts("Example:");
    std::puts("./melda com1  1 4");
}

} // namespace

int main(int argc, char *argv[])
{
    if (!hold_standard_descriptors())
        return -1;
    // Line by line, so that a run ended by a signal keeps every finished
    // line and a log of both streams reads in the order things happened.
    // The Windows C runtime buffers "line-buffered" streams in full, so there
    // each write goes out as it is made.
#ifndef _WIN32
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#else
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#endif

    if (argc <= 3) {
        usage();
        return -1;
    }

    const char *port = argv[1];
    int start = static_cast<int>(read_number(argv[2], INT_MIN, INT_MAX));
    int count = static_cast<int>(read_number(argv[3], INT_MIN, INT_MAX));

    if (count > kMaxCoils) {
        std::printf("Invalid ncoils: %d (at most %d)\n", count, kMaxCoils);
        std::exit(1);
    }
    // Only coils that exist on the wire: the library sends the low 16 bits
    // of the address and the count, and the report must name the coils
    // that were read.
    if (start < 1 || start > kLastCoil) {
        std::printf("Invalid start: %d (coils are numbered 1 to %d)\n", start, kLastCoil);
        return -1;
    }
    if (count < 1) {
        std::printf("Invalid ncoils: %d (1 to %d)\n", count, kMaxCoils);
        return -1;
    }
    if (count - 1 > kLastCoil - start) {
        std::printf("Invalid ncoils: %d from start %d (the last coil is %d)\n", count, start,
                    kLastCoil);
        return -1;
    }
    // Coils are numbered from 1 on the command line, from 0 on the wire.
    int address = start - 1;

    if (has_control_character(port)) {
        // The name is shown with its control characters as \xNN.
        std::printf("Invalid port: ");
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(port); *p; p++)
            std::printf(is_control(*p) ? "\\x%02X" : "%c", *p);
        std::puts(" (a port name holds no control characters)");
        return -1;
    }

    long long baud = kDefaultBaud;
    if (argc == 5) {
        baud = read_number(argv[4], LLONG_MIN, LLONG_MAX);
        if (baud != 9600 && baud != 19200 && baud != 38400 && baud != 57600 &&
            baud != 115200) {
            std::printf("Invalid baud: %lld\n", baud);
            std::puts("Supported bauds: 9600, 19200, 38400, 57600, 115200");
            return -1;
        }
    }

    Context context{modbus_new_rtu(port, static_cast<int>(baud), 'N', 8, 2)};
    if (context.ctx == nullptr) {
        std::fprintf(stderr, "Unable to allocate libmodbus context\n");
        return -1;
    }

    modbus_set_debug(context.ctx, 1);
    modbus_set_error_recovery(context.ctx, MODBUS_ERROR_RECOVERY_LINK);
    modbus_set_slave(context.ctx, kSlave);

    Line line{port};
    if (line.busy) {
        std::fprintf(stderr, "ERROR Port %s is in use by another program\n", port);
        return -1;
    }

    // On Windows the library reports a port it cannot open on its own line
    // (with the system's LastError) and leaves errno alone: a failure with
    // no errno must not read "Success".
    errno = 0;
    if (modbus_connect(context.ctx) == -1) {
        std::fprintf(stderr, "ERROR Connection failed: %s\n",
                     errno != 0 ? modbus_strerror(errno) : "Unknown error");
        return -1;
    }
    Connection connection{context.ctx};

    std::printf("modbus_read_bits(SLAVE %d, START %d, NCOILS %d): ", kSlave,
                address, count);

    unsigned char coils[kMaxCoils] = {};
    line.discard_input();
    int rc = modbus_read_bits(connection.ctx, address, count, coils);
    if (line.interruption() != 0)
        return line.interruption();
    if (rc == -1 || rc != count) {
        std::puts("FAILED");
        return -1;
    }

    std::puts("OK");
    for (int i = 0; i < count; i++)
        std::printf("COIL %02d = %d\n", address + i, coils[i]);

    // The report is the reading: one that did not reach its reader in full
    // is not a success. Every line went out as it ended (standard output is
    // line-buffered, or unbuffered on Windows), so the stream's error flag
    // tells whether all of them were written.
    if (std::ferror(stdout)) {
        // The library's text of a system error is the C library's.
        std::fprintf(stderr, "melda: write error: %s\n", modbus_strerror(errno));
        return -1;
    }
    return 0;
}
