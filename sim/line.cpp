// SPDX-License-Identifier: MIT
#include "line.hpp"
#include "output.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

namespace sim {
namespace {

struct Speed {
    long baud;
    speed_t speed;
};

const Speed kSpeeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600},   {115200, B115200},
    {230400, B230400},
};

speed_t speed_of(long baud)
{
    for (const Speed &s : kSpeeds)
        if (s.baud == baud)
            return s.speed;
    return B0;
}

long baud_of(speed_t speed)
{
    for (const Speed &s : kSpeeds)
        if (s.speed == speed)
            return s.baud;
    return 0;
}

// A character on an 8N2 line is 11 bits: start, 8 data, 2 stop.
double char_time(long baud) { return 11.0 / baud; }

// The silent interval that ends a frame: 3.5 characters, fixed at 1.75 ms
// above 19200 baud.
double silent_interval(long baud)
{
    return baud > 19200 ? 0.00175 : 3.5 * char_time(baud);
}

// The longest RTU frame; more bytes than this without a pause are noise.
const size_t kMaxFrame = 256;

// SIGTERM and SIGINT, blocked and read from this descriptor, which every
// wait watches; closed when the program ends.
struct StopSignals {
    int fd = -1;
    bool asked = false;
    ~StopSignals()
    {
        if (fd != -1)
            close(fd);
    }
} stop_signals;

// Raw 8N2 at the given speed: no echo, no translation of any byte. On a
// pty the master sets the slave side's settings, which clients see.
bool make_raw(int fd, long baud)
{
    termios tios;
    if (tcgetattr(fd, &tios) == -1)
        return false;
    cfmakeraw(&tios);
    tios.c_cflag |= CLOCAL | CREAD | CSTOPB;
    tios.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    tios.c_cc[VMIN] = 0;
    tios.c_cc[VTIME] = 0;
    cfsetispeed(&tios, speed_of(baud));
    cfsetospeed(&tios, speed_of(baud));
    return tcsetattr(fd, TCSANOW, &tios) == 0;
}

// The speed a UART receives at: Linux keeps a client's input speed apart
// from its output speed in the CIBAUD bits (0: the same as the output).
speed_t input_speed(const termios &t)
{
#ifdef CIBAUD
    const int kShift = 16; // the kernel's IBSHIFT
    speed_t in = static_cast<speed_t>((t.c_cflag & CIBAUD) >> kShift);
    if (in != 0)
        return in;
#endif
    return cfgetispeed(&t);
}

timespec until(double deadline)
{
    double left = std::max(0.0, deadline - now());
    timespec ts;
    ts.tv_sec = static_cast<time_t>(left);
    ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
    return ts;
}

} // namespace

int write_fully(int fd, const void *data, size_t n)
{
    const char *p = static_cast<const char *>(data);
    while (n > 0) {
        if (stopping())
            return -1;
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno == EAGAIN) {
            // No room: wait for it, or for a stop, whichever comes first.
            pollfd fds[2] = {{stop_signals.fd, POLLIN, 0}, {fd, POLLOUT, 0}};
            if (ppoll(fds, 2, nullptr, nullptr) == -1 && errno != EINTR)
                return errno;
            if (fds[1].revents & (POLLERR | POLLNVAL))
                return EIO;
            continue;
        }
        if (w < 0)
            return errno;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

bool known_baud(long baud) { return speed_of(baud) != B0; }

double frame_end(long baud) { return silent_interval(baud) + kSchedulingTolerance; }

bool stop_on_signals()
{
    // A reader that has gone is a failed write, reported, not an end.
    signal(SIGPIPE, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) == -1)
        return false;
    stop_signals.fd = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    return stop_signals.fd != -1;
}

bool stopping()
{
    if (failure() != 0)
        return true;
    if (!stop_signals.asked && stop_signals.fd != -1) {
        signalfd_siginfo info;
        stop_signals.asked = read(stop_signals.fd, &info, sizeof info) == sizeof info;
    }
    return stop_signals.asked;
}

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Line::~Line()
{
    for (int fd : {events_, fd_})
        if (fd != -1)
            close(fd);
}

bool Line::open()
{
    if (opt_.device) {
        fd_ = ::open(opt_.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ == -1 || !make_raw(fd_, opt_.baud)) {
            say("melda-sim: %s: %s\n", opt_.device, std::strerror(errno));
            return false;
        }
        return print_path(opt_.device);
    }

    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const char *path = fd_ == -1 || grantpt(fd_) == -1 || unlockpt(fd_) == -1 ? nullptr
                                                                             : ptsname(fd_);
    if (!path || !make_raw(fd_, opt_.baud)) {
        say("melda-sim: pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    path_ = path;
    // The kernel tells whether any program holds the slave side open: the
    // master reports a hang-up from the last close to the next open. It
    // does so only once the slave side has been opened and closed, which
    // the simulator does first. inotify then wakes it when clients open and
    // close the line; the events only wake it (the kernel merges alike
    // events that were not read between them, so they cannot be counted).
    int once = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (once == -1) {
        say("melda-sim: pseudo-terminal: %s\n", std::strerror(errno));
        return false;
    }
    close(once);
    events_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (events_ == -1 ||
        inotify_add_watch(events_, path, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) == -1) {
        say("melda-sim: inotify: %s\n", std::strerror(errno));
        return false;
    }
    return print_path(path);
}

bool Line::client_present() const
{
    if (events_ == -1)
        return true;
    pollfd pfd{fd_, 0, 0};
    return poll(&pfd, 1, 0) == 1 ? !(pfd.revents & POLLHUP) : true;
}

// What the last client left unread is discarded once it has gone, as a real
// port discards its input when it is closed, so that the next client gets
// only its own replies.
void Line::discard_input()
{
    int slave = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave == -1)
        return;
    tcflush(slave, TCIFLUSH);
    close(slave);
}

// inotify's events only wake the simulator and say in what order opens and
// closes came: the kernel merges alike events that were not read between
// them, so they cannot be counted, but it never reorders them. True when a
// close came before an open since the last look (a client left and another
// came, or a second program opened the line while a client held it).
bool Line::read_events()
{
    bool changed = false;
    alignas(inotify_event) char buf[4096];
    ssize_t n;
    while ((n = read(events_, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            if (e->mask & IN_Q_OVERFLOW)
                changed = true;
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                closed_ = true;
            } else if ((e->mask & IN_OPEN) && closed_) {
                changed = true;
                closed_ = false;
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
    return changed;
}

// The kernel's state is taken before the events are read: a client that
// left and another that came since the last look leave either the
// hang-up or a close before an open behind, however close together they
// were. A second program that opened and closed the line while a client
// held it is taken for a change too: the client's pending reply is then
// lost (its reading fails), never handed to another.
void Line::follow_clients()
{
    bool present = client_present();
    bool changed = read_events();
    if (present_ && (!present || changed)) {
        discard_input();
        if (opt_.verbose)
            say("melda-sim: client %ld has closed the line\n", client_);
        // The discard opens and closes the line itself: its events are not
        // a client's, and whoever holds the line now is a new client.
        read_events();
        closed_ = false;
        present = client_present();
        changed = present;
    }
    if (!present)
        closed_ = false;
    if (present && (!present_ || changed))
        client_++;
    present_ = present;
}

Line::Woke Line::wait(double deadline, bool want_input)
{
    for (;;) {
        if (stopping())
            return Woke::Stop;
        pollfd fds[3] = {{stop_signals.fd, POLLIN, 0}};
        nfds_t n = 1;
        nfds_t events_at = 0, line_at = 0;
        if (events_ != -1) {
            events_at = n;
            fds[n++] = {events_, POLLIN, 0};
        }
        if (events_ == -1 || present_) {
            line_at = n;
            fds[n++] = {fd_, static_cast<short>(want_input ? POLLIN : 0), 0};
        } else if (want_input) {
            // Bytes a client wrote before it closed the line.
            int pending = 0;
            if (ioctl(fd_, FIONREAD, &pending) == 0 && pending > 0)
                return Woke::Input;
        }
        // A deadline that passed while the simulator was busy has passed:
        // bytes that came meanwhile may have come after it.
        if (deadline >= 0 && now() >= deadline)
            return Woke::Deadline;
        timespec left = until(deadline);
        int rc = ppoll(fds, n, deadline < 0 ? nullptr : &left, nullptr);
        if (rc == -1 && errno != EINTR)
            return Woke::Gone;
        if (rc == 0)
            return Woke::Deadline;
        if (rc <= 0 || fds[0].revents)
            continue; // a stop: seen at the top
        if (events_at && (fds[events_at].revents & POLLIN)) {
            long was = present_ ? client_ : -1;
            follow_clients();
            if ((present_ ? client_ : -1) != was)
                return Woke::Clients;
        }
        if (line_at) {
            short got = fds[line_at].revents;
            if (got & POLLNVAL)
                return Woke::Gone;
            if (got & POLLIN)
                return Woke::Input;
            if (got & (POLLHUP | POLLERR)) {
                if (events_ == -1)
                    return Woke::Gone;
                follow_clients();
                return Woke::Clients;
            }
        }
    }
}

bool Line::read_frame(Frame *frame)
{
    const double pause = frame_end(opt_.baud);
    size_t heard = 0; // bytes since the last pause, noise included
    double last = 0;  // when the last of them came
    for (;;) {
        Woke woke = wait(heard ? last + pause : -1, true);
        if (woke == Woke::Stop || woke == Woke::Gone)
            return false;
        if (woke == Woke::Clients)
            continue;
        if (woke == Woke::Deadline) { // a silent interval: the frame is complete
            if (heard <= kMaxFrame)
                return true;
            if (opt_.verbose)
                say("melda-sim: %zu bytes without a pause: noise, dropped\n",
                             heard);
            heard = 0;
            continue;
        }
        // The simulator was waiting: the bytes came as it woke.
        double arrival = now();
        uint8_t buf[512];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) {
            if (n == -1 && (errno == EINTR || errno == EAGAIN))
                continue;
            // A pty's master reads EIO once the last client has gone.
            if (n == -1 && errno == EIO && events_ != -1) {
                follow_clients();
                continue;
            }
            return false;
        }
        if (heard == 0) {
            // The request is its sender's: a client that opened the line
            // and wrote before the simulator saw it come is counted first.
            follow_clients();
            frame->bytes.clear();
            frame->arrival = arrival;
            frame->client = client_;
        }
        heard += static_cast<size_t>(n);
        last = arrival;
        if (heard <= kMaxFrame)
            frame->bytes.insert(frame->bytes.end(), buf, buf + n);
    }
}

std::string Line::mismatch() const
{
    termios t;
    if (events_ == -1 || tcgetattr(fd_, &t) == -1)
        return "";
    char why[96];
    speed_t want = speed_of(opt_.baud);
    speed_t out = cfgetospeed(&t), in = input_speed(t);
    if (out != want || in != want) {
        std::snprintf(why, sizeof why, "speed %ld, the device's is %ld",
                      baud_of(out != want ? out : in), opt_.baud);
        return why;
    }
    // A pty keeps 8 data bits and no parity whatever the client asks, so
    // those two cannot be heard here; the speeds and the stop bits can.
    if (!(t.c_cflag & CSTOPB))
        return "1 stop bit, the device has 2";
    return "";
}

bool Line::sleep_until(double t)
{
    for (;;) {
        Woke woke = wait(t, false);
        if (woke == Woke::Stop)
            return false;
        if (woke != Woke::Clients)
            return true;
    }
}

bool Line::write(const Bytes &bytes, long client)
{
    if (stopping())
        return false;
    if (events_ != -1 && client != kWhoeverHoldsTheLine) {
        follow_clients();
        if (!present_ || client != client_) {
            if (opt_.verbose)
                say("melda-sim: client %ld has gone: %zu bytes not sent\n",
                             client, bytes.size());
            return true;
        }
    }
    // A line that fails (the client hung up meanwhile) loses the reply, as a
    // wire would.
    return write_fully(fd_, bytes.data(), bytes.size()) != -1;
}

bool Line::write_paced(const Bytes &reply, const Frame &request)
{
    double chr = char_time(opt_.baud);
    double t = request.arrival + static_cast<double>(request.bytes.size()) * chr +
               silent_interval(opt_.baud) + opt_.turnaround_ms / 1000;
    for (uint8_t byte : reply) {
        t += chr;
        if (!sleep_until(t) || !write({byte}, request.client))
            return false;
    }
    return true;
}

void Line::linger()
{
    if (events_ == -1) {
        tcdrain(fd_);
        return;
    }
    follow_clients();
    double end = now() + 5;
    while (present_) {
        Woke woke = wait(end, true);
        if (woke == Woke::Input) {
            uint8_t buf[512];
            if (read(fd_, buf, sizeof buf) <= 0)
                follow_clients();
        } else if (woke != Woke::Clients) {
            return;
        }
    }
}

} // namespace sim
