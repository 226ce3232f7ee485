// SPDX-License-Identifier: MIT
#include "line.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
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

// A pseudo-terminal carries each write whole, but the simulator may be
// scheduled a little late: a pause must last this much longer than the
// silent interval before it ends a frame.
const double kSchedulingTolerance = 0.0015;

// The longest RTU frame; more bytes than this without a pause are noise.
const size_t kMaxFrame = 256;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

// Raw 8N2 at the given speed: no echo, no translation of any byte.
bool make_raw(int fd, long baud)
{
    termios tios;
    if (tcgetattr(fd, &tios) == -1)
        return false;
    cfmakeraw(&tios);
    tios.c_cflag |= CLOCAL | CREAD | CSTOPB;
    tios.c_cflag &= ~PARENB;
    tios.c_cc[VMIN] = 0;
    tios.c_cc[VTIME] = 0;
    cfsetispeed(&tios, speed_of(baud));
    cfsetospeed(&tios, speed_of(baud));
    return tcsetattr(fd, TCSANOW, &tios) == 0;
}

void write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd pfd{fd, POLLOUT, 0};
                poll(&pfd, 1, 100);
                continue;
            }
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

} // namespace

bool known_baud(long baud) { return speed_of(baud) != B0; }

void stop_on_signals()
{
    struct sigaction sa = {};
    sa.sa_handler = request_stop; // no SA_RESTART: a waiting poll returns
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

bool stopping() { return stop_requested != 0; }

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleep_until(double t)
{
    timespec ts;
    ts.tv_sec = static_cast<time_t>(t);
    ts.tv_nsec = static_cast<long>((t - ts.tv_sec) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR &&
           !stopping())
        ;
}

Line::~Line()
{
    for (int fd : {events_, hold_, fd_})
        if (fd != -1)
            close(fd);
}

bool Line::open()
{
    if (opt_.device) {
        fd_ = ::open(opt_.device, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ == -1 || !make_raw(fd_, opt_.baud)) {
            std::fprintf(stderr, "melda-sim: %s: %s\n", opt_.device, std::strerror(errno));
            return false;
        }
        std::printf("%s\n", opt_.device);
        std::fflush(stdout);
        return true;
    }

    fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ == -1 || grantpt(fd_) == -1 || unlockpt(fd_) == -1) {
        std::perror("melda-sim: pseudo-terminal");
        return false;
    }
    const char *path = ptsname(fd_);
    // Holding the slave side open keeps the master from reporting a hang-up
    // between clients, and gives the simulator the line settings the client
    // set (both ends of a pty share them). inotify tells when clients open
    // and close it, so that bytes the last one left unread (a fault's extra
    // bytes) do not reach the next, as a real port discards its input when
    // it is closed.
    hold_ = path ? ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (hold_ == -1 || !make_raw(hold_, opt_.baud)) {
        std::perror("melda-sim: pseudo-terminal");
        return false;
    }
    events_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (events_ == -1 ||
        inotify_add_watch(events_, path, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) == -1) {
        std::perror("melda-sim: inotify");
        return false;
    }
    std::printf("%s\n", path);
    std::fflush(stdout);
    return true;
}

// Counts the opens and closes of the pty's slave side; when the last client
// has closed it, what it left unread is discarded. A client that closes
// while another still has the line open (a second program refused by the
// first) discards nothing.
void Line::drain_events()
{
    alignas(inotify_event) char buf[4096];
    bool closed = false;
    ssize_t n;
    while ((n = read(events_, buf, sizeof buf)) > 0) {
        for (char *p = buf; p < buf + n;) {
            const inotify_event *e = reinterpret_cast<const inotify_event *>(p);
            if (e->mask & IN_OPEN)
                clients_++;
            if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                clients_ = std::max(0, clients_ - 1);
                closed = true;
            }
            p += sizeof(inotify_event) + e->len;
        }
    }
    if (closed && clients_ == 0)
        tcflush(hold_, TCIFLUSH);
}

bool Line::read_frame(Frame *frame)
{
    const double pause = silent_interval(opt_.baud) + kSchedulingTolerance;
    const timespec quiet = {0, static_cast<long>(pause * 1e9)};
    size_t heard = 0; // bytes since the last pause, noise included
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {events_, POLLIN, 0}};
        nfds_t nfds = events_ == -1 ? 1 : 2;
        int rc = ppoll(fds, nfds, heard ? &quiet : nullptr, nullptr);
        if (stopping())
            return false;
        if (rc == -1) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (rc == 0) { // a silent interval: the frame is complete
            if (heard <= kMaxFrame)
                return true;
            if (opt_.verbose)
                std::fprintf(stderr, "melda-sim: %zu bytes without a pause: noise, dropped\n",
                             heard);
            heard = 0;
            continue;
        }
        if (nfds == 2 && (fds[1].revents & POLLIN))
            drain_events();
        if (fds[0].revents & POLLIN) {
            uint8_t buf[512];
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0) {
                if (n == -1 && (errno == EINTR || errno == EAGAIN))
                    continue;
                return false;
            }
            if (heard == 0) {
                frame->bytes.clear();
                frame->arrival = now();
            }
            heard += static_cast<size_t>(n);
            if (heard <= kMaxFrame)
                frame->bytes.insert(frame->bytes.end(), buf, buf + n);
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return false;
        }
    }
}

std::string Line::mismatch() const
{
    termios t;
    if (hold_ == -1 || tcgetattr(hold_, &t) == -1)
        return "";
    char why[96];
    speed_t want = speed_of(opt_.baud);
    speed_t out = cfgetospeed(&t), in = cfgetispeed(&t);
    if (out != want || (in != B0 && in != want)) {
        std::snprintf(why, sizeof why, "speed %ld, the device's is %ld",
                      baud_of(out != want ? out : in), opt_.baud);
        return why;
    }
    // A pty keeps 8 data bits and no parity whatever the client asks, so
    // those two cannot be heard here; the speed and the stop bits can.
    if (!(t.c_cflag & CSTOPB))
        return "1 stop bit, the device has 2";
    return "";
}

void Line::write(const Bytes &bytes) { write_all(fd_, bytes.data(), bytes.size()); }

void Line::write_paced(const Bytes &reply, const Frame &request)
{
    double chr = char_time(opt_.baud);
    double t = request.arrival + request.bytes.size() * chr + silent_interval(opt_.baud) +
               opt_.turnaround_ms / 1000;
    for (uint8_t byte : reply) {
        t += chr;
        sleep_until(t);
        write_all(fd_, &byte, 1);
    }
}

void Line::linger()
{
    if (events_ == -1) {
        tcdrain(fd_);
        return;
    }
    drain_events();
    double end = now() + 5;
    while (clients_ > 0 && !stopping() && now() < end) {
        pollfd pfd{events_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>((end - now()) * 1000) + 1) > 0)
            drain_events();
    }
}

} // namespace sim
