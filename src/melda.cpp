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
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// Appends the decimal digits of n at p, at least `width` of them; returns
// the end. (By hand, as the string functions below: each C library function
// melda imports costs it more at start than these loops do, and a printf a
// line more than the reading's own work.)
char *put_number(char *p, unsigned n, int width = 1)
{
    char digits[16];
    int k = 0;
    do
        digits[k++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0 || k < width);
    while (k > 0)
        *p++ = digits[--k];
    return p;
}

// Appends text at p; returns the end.
char *put_text(char *p, const char *text)
{
    while (*text)
        *p++ = *text++;
    return p;
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
// What standard output and standard error get while melda has the line,
// from just before the discard until the library returns (the header, the
// library's trace and its errors), is held here and written out right
// after, in the order it was written, each piece to its own descriptor. So
// no write that can block (a terminal stopped with Ctrl+S, a full pipe)
// stands between the discard and the request going out, where a late reply
// to an earlier run could slip in, and a log of both streams reads in order
// even where the library leaves a line of its trace unfinished before an
// error of its own.
//
// Pieces: the descriptor (one byte), the length (two bytes), the bytes.
// held_end counts the bytes of whole pieces, held_out those written out;
// a signal handler may read both at any time.
const size_t kHeldSize = 65536;
const size_t kMaxPiece = 65535;
char held[kHeldSize];
volatile size_t held_end = 0;
volatile size_t held_out = 0;
volatile int held_error = 0; // errno of a failed write to standard output

// Standard output's text between two pieces of standard error waits in this
// buffer, melda's own; the stream's put pointer says how much of it is used.
char held_text[BUFSIZ];
FILE *volatile held_stdout = nullptr;

// Writes out what is held. Async-signal-safe: a signal handler calls it too.
void release_held()
{
    while (held_out < held_end) {
        size_t at = held_out;
        int fd = held[at];
        size_t n = static_cast<unsigned char>(held[at + 1]) |
                   static_cast<size_t>(static_cast<unsigned char>(held[at + 2])) << 8;
        for (const char *p = held + at + 3, *end = p + n; p < end;) {
            ssize_t w = write(fd, p, static_cast<size_t>(end - p));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                if (fd == STDOUT_FILENO)
                    held_error = errno;
                break;
            }
            p += w;
        }
        held_out = at + 3 + n;
    }
}

// The streams' write function: the cookie is the descriptor the text is for.
// Standard error's text follows whatever standard output holds before it.
ssize_t hold(void *cookie, const char *text, size_t size)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(cookie));
    if (fd == STDERR_FILENO && held_stdout != nullptr)
        std::fflush(held_stdout);
    for (size_t done = 0; done < size;) {
        size_t end = held_end;
        if (kHeldSize - end <= 3) {
            // Full (far more than any reply's trace): what is held goes out
            // first, and holding starts again.
            release_held();
            held_end = held_out = end = 0;
        }
        size_t n = size - done;
        if (n > kMaxPiece)
            n = kMaxPiece;
        if (n > kHeldSize - end - 3)
            n = kHeldSize - end - 3;
        held[end] = static_cast<char>(fd);
        held[end + 1] = static_cast<char>(n & 0xFF);
        held[end + 2] = static_cast<char>(n >> 8);
        std::memcpy(held + end + 3, text + done, n);
        std::atomic_signal_fence(std::memory_order_release);
        held_end = end + 3 + n;
        done += n;
    }
    return static_cast<ssize_t>(size);
}

// Standard output and standard error held from construction to destruction;
// where the streams cannot be made, they are left as they are.
struct HeldOutput {
    FILE *out = nullptr, *err = nullptr, *was_out = stdout, *was_err = stderr;

    HeldOutput()
    {
        std::fflush(stdout);
        const cookie_io_functions_t io = {nullptr, hold, nullptr, nullptr};
        out = fopencookie(reinterpret_cast<void *>(intptr_t{STDOUT_FILENO}), "w", io);
        err = fopencookie(reinterpret_cast<void *>(intptr_t{STDERR_FILENO}), "w", io);
        if (out == nullptr || err == nullptr)
            return;
        std::setvbuf(out, held_text, _IOFBF, sizeof held_text);
        std::setvbuf(err, nullptr, _IONBF, 0);
        held_stdout = out;
        stdout = out;
        stderr = err;
    }
    HeldOutput(const HeldOutput &) = delete;
    HeldOutput &operator=(const HeldOutput &) = delete;
    ~HeldOutput()
    {
        if (held_stdout != nullptr) {
            std::fflush(out);
            held_stdout = nullptr;
            stdout = was_out;
            stderr = was_err;
        }
        if (out != nullptr)
            std::fclose(out);
        if (err != nullptr)
            std::fclose(err);
        release_held();
    }
};

// The errno of a failed write of what was held to standard output, or 0.
int held_write_error() { return held_error; }

// The port's settings before the run, and melda's own descriptor to put them
// back through if a signal ends the run while the library has the line.
int held_fd = -1;
termios held_settings;

// What is held goes out first, then the port's settings are put back, then
// the signal takes its default action: a real fault (SEGV, BUS, ILL, FPE)
// comes again as the handler returns and dumps core where it happened.
void restore_line(int sig)
{
    release_held();
    FILE *out = held_stdout;
    if (out != nullptr && out->_IO_write_ptr > held_text)
        (void)!write(STDOUT_FILENO, held_text, static_cast<size_t>(out->_IO_write_ptr - held_text));
    if (held_fd != -1)
        tcsetattr(held_fd, TCSANOW, &held_settings);
    raise(sig); // the handler is reset: the default action follows
}

// Every signal whose default action ends the process puts the port back
// first: the named signals and the real-time ones. Left alone: those that
// cannot be caught (KILL, STOP) and those whose default is to ignore or to
// stop (CHLD, CONT, URG, WINCH, TSTP, TTIN, TTOU). The C library keeps two
// real-time signals for itself and refuses a handler for them.
void restore_line_on_signals()
{
    struct sigaction sa = {}; // no other signal blocked in the handler
    sa.sa_handler = restore_line;
    sa.sa_flags = static_cast<int>(SA_RESETHAND);
    for (int sig = 1; sig < _NSIG; sig++) {
        switch (sig) {
        case SIGKILL: case SIGSTOP:
        case SIGCHLD: case SIGCONT: case SIGURG: case SIGWINCH:
        case SIGTSTP: case SIGTTIN: case SIGTTOU:
            continue;
        }
        // A signal ignored from the start (nohup's SIGHUP) stays ignored.
        struct sigaction old;
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);
    }
}

// The device a terminal name stands for: /dev/tty and /dev/console stand for
// another terminal, which the kernel names; any other device is its own.
dev_t device_of(int fd, const struct stat &st)
{
#ifdef TIOCGDEV
    unsigned int real;
    if (ioctl(fd, TIOCGDEV, &real) == 0)
        return makedev((real >> 8) & 0xFFF, (real & 0xFF) | ((real >> 12) & 0xFFF00));
#else
    (void)fd;
#endif
    return st.st_rdev;
}

bool same_text(const char *a, const char *b)
{
    while (*a && *a == *b)
        a++, b++;
    return *a == *b;
}

// The system's own node for a character device: a pseudo-terminal's under
// /dev/pts, any other's under /dev by the name the kernel gives it.
bool system_node(dev_t dev, char (&path)[96])
{
    unsigned major_number = major(dev), minor_number = minor(dev);
    if (major_number >= 136 && major_number <= 143) {
        char *p = put_text(path, "/dev/pts/");
        *put_number(p, (major_number - 136) * 256 + minor_number) = '\0';
        return true;
    }
    char *p = put_number(put_text(path, "/sys/dev/char/"), major_number);
    *p++ = ':';
    *put_text(put_number(p, minor_number), "/uevent") = '\0';
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    char text[512];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return false;
    text[n] = '\0';
    // The line DEVNAME=NAME; the name fits (the kernel's are short).
    for (const char *line = text; *line;) {
        const char *key = "DEVNAME=", *q = line;
        while (*key && *q == *key)
            q++, key++;
        if (*key == '\0') {
            p = put_text(path, "/dev/");
            while (*q && *q != '\n' && p < path + sizeof path - 1)
                *p++ = *q++;
            *p = '\0';
            return *q == '\0' || *q == '\n';
        }
        while (*line && *line++ != '\n')
            ;
    }
    return false;
}

// melda's own hold on the port, taken before the library opens it and kept
// until after the library has closed it. An advisory lock keeps a second
// melda off a line that one is reading: the second is refused before it
// sends a byte or changes a setting. The lock is taken on the system's own
// node for the device, so that every name for it (a link, /dev/tty, another
// node for the same device) meets the same lock; where that node cannot be
// opened, on the file the name leads to. A port melda cannot open itself is
// left to the library's connect, which reports why.
struct Line {
    int fd;
    int lock_fd = -1;
    bool busy = false;

    explicit Line(const char *port)
        : fd(open(port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        if (fd == -1)
            return;
        int lock = fd;
        struct stat st;
        char node[96];
        if (fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
            dev_t dev = device_of(fd, st);
            struct stat node_st;
            if (system_node(dev, node) && !same_text(node, port) &&
                (lock_fd = open(node, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) != -1) {
                if (fstat(lock_fd, &node_st) == 0 && S_ISCHR(node_st.st_mode) &&
                    node_st.st_rdev == dev)
                    lock = lock_fd;
            }
        }
        if (flock(lock, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) {
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
        if (lock_fd != -1)
            close(lock_fd);
        if (fd != -1)
            close(fd);
    }

    // Whether the library's descriptor is the port melda opened and locked:
    // the same file, or the same terminal device. A name that led elsewhere
    // when the library opened it (a link remade meanwhile) is not.
    bool is(int other) const
    {
        struct stat mine, theirs;
        if (fd == -1 || fstat(fd, &mine) == -1 || fstat(other, &theirs) == -1)
            return false;
        if (mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino)
            return true;
        return S_ISCHR(mine.st_mode) && S_ISCHR(theirs.st_mode) &&
               device_of(fd, mine) == device_of(other, theirs);
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
    // Windows opens a COM port by its name alone: no link can be remade
    // between melda's lock and the library's open.
    bool is(int) const { return true; }
};

// The Windows console writes each piece as it is made; nothing is held.
struct HeldOutput {
    HeldOutput() {}
};
int held_write_error() { return 0; }

bool hold_standard_descriptors() { return true; }
#endif

// The library's trace prints the port name at the start of a line: a name
// holding a line end or another control character could put lines of its
// own into the report or act on the terminal. Refused: C0 controls and DEL;
// C1 controls, as raw bytes (0x80 to 0x9F outside a valid UTF-8 sequence)
// and as UTF-8 (U+0080 to U+009F); and the Unicode line and paragraph
// separators U+2028 and U+2029. Printable UTF-8 is a name like any other.
bool talks_to_terminal(const char *text)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (*p) {
        unsigned c = *p;
        if (c < 0x20 || c == 0x7F)
            return true;
        int more = c >= 0xF0 && c < 0xF8 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (c >= 0xF8)
            more = 0;
        unsigned code = more == 3 ? c & 0x07 : more == 2 ? c & 0x0F : c & 0x1F;
        int k = 1;
        for (; k <= more && (p[k] & 0xC0) == 0x80; k++)
            code = code << 6 | (p[k] & 0x3F);
        if (more == 0 || k <= more) { // a byte alone: ASCII or outside UTF-8
            if (c >= 0x80 && c <= 0x9F)
                return true;
            p++;
            continue;
        }
        if ((code >= 0x80 && code <= 0x9F) || code == 0x2028 || code == 0x2029)
            return true;
        p += more + 1;
    }
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

    if (talks_to_terminal(port)) {
        // Shown with every byte outside printable ASCII as \xNN: the line
        // itself is safe to print.
        std::printf("Invalid port: ");
        for (const unsigned char *p = reinterpret_cast<const unsigned char *>(port); *p; p++)
            std::printf(*p < 0x20 || *p >= 0x7F ? "\\x%02X" : "%c", *p);
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
    // The port the library opened is the one melda locked and saved the
    // settings of, or nothing is sent.
    if (!line.is(modbus_get_socket(context.ctx))) {
        std::fprintf(stderr, "ERROR Port %s changed while it was opened\n", port);
        return -1;
    }

    unsigned char coils[kMaxCoils] = {};
    int rc;
    {
        HeldOutput held;
        std::printf("modbus_read_bits(SLAVE %d, START %d, NCOILS %d): ", kSlave,
                    address, count);
        line.discard_input();
        rc = modbus_read_bits(connection.ctx, address, count, coils);
    }
    if (line.interruption() != 0)
        return line.interruption();
    if (rc == -1 || rc != count) {
        std::puts("FAILED");
        return -1;
    }

    // "OK", then "COIL %02d = %d" a coil, written as one piece: one write
    // for the whole report.
    char report[4 + kMaxCoils * 20];
    char *end = put_text(report, "OK");
    for (int i = 0; i < count; i++) {
        end = put_number(put_text(end, "\nCOIL "), static_cast<unsigned>(address + i), 2);
        end = put_number(put_text(end, " = "), coils[i]);
    }
    *end = '\0';
    std::puts(report);

    // The report is the reading: one that did not reach its reader in full
    // is not a success. Every line went out as it ended (standard output is
    // line-buffered, or unbuffered on Windows), so the stream's error flag
    // tells whether all of them were written, with what was held during the
    // exchange.
    if (std::ferror(stdout) || held_write_error() != 0) {
        // The library's text of a system error is the C library's.
        int error = std::ferror(stdout) ? errno : held_write_error();
        std::fprintf(stderr, "melda: write error: %s\n", modbus_strerror(error));
        return -1;
    }
    return 0;
}
