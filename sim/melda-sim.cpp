// melda-sim: a simulated Modbus RTU slave for trying and testing melda
// without hardware.
//
// It makes a pseudo-terminal (or serves a serial device named on its command
// line), reads request frames and answers Read Coils for slave 1 from a coil
// table. The genuine answer is built by libmodbus's own server side
// (modbus_reply); a fault chosen on the command line may then change it into
// what a broken device would send. Frames can be logged in hex, and the
// replies can be paced like a real line at a chosen baud.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <modbus.h>

namespace {

using Bytes = std::vector<uint8_t>;

const int kSlave = 1;
const char kDefaultPattern[] = "1011001110001111";
const int kDefaultTableSize = 256;
const int kMaxTableSize = 65536;
const int kMaxFrame = MODBUS_RTU_MAX_ADU_LENGTH;
// Well past a client's 0.5 s wait and its 0.5 s recovery pause.
const double kLateSeconds = 2.5;

enum class Fault {
    None,
    Exception,     // reply with exception N
    Silent,        // never reply
    BadCrc,        // flip the CRC
    WrongSlave,    // answer as slave 2
    WrongFunction, // answer with function 0x02 instead of 0x01
    BadCount,      // byte count one less than the data that follows
    Short,         // one data byte fewer than asked, consistently framed
    Long,          // byte count and data far beyond what was asked
    Truncated,     // the reply without its CRC
    Halfway,       // the first half of the reply, then silence
    Extra,         // a valid reply followed by extra bytes
    Garbage,       // a few random bytes
    Flood,         // more random bytes than any Modbus frame holds
    Pieces,        // a valid reply in three pieces with pauses
    Hangup,        // close the line right after the request and end
    Late,          // the first reply after the client has given up
};

struct FaultName {
    const char *name;
    Fault fault;
    const char *help;
};

const FaultName kFaults[] = {
    {"none", Fault::None, "answer as a sound device does (default)"},
    {"exception:N", Fault::Exception, "reply with exception code N (0-255)"},
    {"silent", Fault::Silent, "never reply"},
    {"bad-crc", Fault::BadCrc, "reply with a corrupted CRC"},
    {"wrong-slave", Fault::WrongSlave, "reply as slave 2"},
    {"wrong-function", Fault::WrongFunction, "reply with function 0x02"},
    {"bad-count", Fault::BadCount, "byte count one less than the data sent"},
    {"short", Fault::Short, "one data byte fewer than asked"},
    {"long", Fault::Long, "byte count and data for 2000 coils"},
    {"truncated", Fault::Truncated, "reply without its CRC"},
    {"halfway", Fault::Halfway, "first half of the reply, then silence"},
    {"extra", Fault::Extra, "valid reply followed by 4 extra bytes"},
    {"garbage", Fault::Garbage, "12 random bytes"},
    {"flood", Fault::Flood, "1024 random bytes"},
    {"pieces", Fault::Pieces, "valid reply in 3 pieces, 100 ms apart"},
    {"hangup", Fault::Hangup, "close the line after the request and exit"},
    {"late", Fault::Late, "first reply 2.5 s late (after melda gave up)"},
};

struct Options {
    const char *device = nullptr; // null: make a pseudo-terminal
    std::string pattern = kDefaultPattern;
    int table_size = kDefaultTableSize;
    Fault fault = Fault::None;
    int exception_code = 0;
    const char *log_path = nullptr;
    long requests = -1; // -1: until killed
    long baud = 19200;
    bool pace = false;
    double turnaround_ms = 0;
    unsigned seed = 1;
    bool verbose = false;
};

void usage(FILE *out)
{
    std::fprintf(out,
        "Usage: melda-sim [options] [device]\n"
        "\n"
        "A simulated Modbus RTU slave (address 1) that answers Read Coils.\n"
        "Without a device it makes a pseudo-terminal and prints its path on\n"
        "the first line of standard output: give that path to melda. With a\n"
        "device (a serial port, or one end of a socat pair) it serves that.\n"
        "\n"
        "Options:\n"
        "  -c, --coils BITS      coil values as 0/1, coil 0 first; repeated to\n"
        "                        fill the table (default %s)\n"
        "  -s, --size N          coils in the table, 1-%d (default %d)\n"
        "  -f, --fault NAME      behave like a broken device (see below)\n"
        "  -l, --log FILE        write each request frame read, in hex, one per\n"
        "                        line (- for standard output)\n"
        "  -n, --requests N      end after N request frames\n"
        "  -b, --baud N          line speed of the device and of pacing\n"
        "                        (default 19200)\n"
        "  -p, --pace            pace replies like a real 8N2 line at the baud\n"
        "  -t, --turnaround MS   with --pace, extra delay before each reply\n"
        "      --seed N          seed of the random faults (default 1)\n"
        "  -v, --verbose         report each exchange on standard error\n"
        "  -h, --help            show this text\n"
        "\n"
        "The table answers exception 02 for addresses beyond it, 03 for a\n"
        "quantity of 0 or above 2000 and 01 for other functions. Requests to\n"
        "other slaves and frames with a bad CRC get no answer.\n"
        "\n"
        "Faults:\n",
        kDefaultPattern, kMaxTableSize, kDefaultTableSize);
    for (const FaultName &f : kFaults)
        std::fprintf(out, "  %-16s %s\n", f.name, f.help);
}

bool parse_long(const char *text, long lo, long hi, long *out)
{
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < lo || value > hi)
        return false;
    *out = value;
    return true;
}

bool parse_fault(const char *text, Options *opt)
{
    if (std::strncmp(text, "exception:", 10) == 0) {
        long code;
        if (!parse_long(text + 10, 0, 255, &code))
            return false;
        opt->fault = Fault::Exception;
        opt->exception_code = static_cast<int>(code);
        return true;
    }
    for (const FaultName &f : kFaults) {
        if (f.fault != Fault::Exception && std::strcmp(text, f.name) == 0) {
            opt->fault = f.fault;
            return true;
        }
    }
    return false;
}

uint16_t crc16(const uint8_t *data, size_t n)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < n; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// Appends the CRC, low byte first, as RTU frames carry it.
void seal(Bytes *frame)
{
    uint16_t crc = crc16(frame->data(), frame->size());
    frame->push_back(crc & 0xFF);
    frame->push_back(crc >> 8);
}

bool crc_ok(const Bytes &frame)
{
    if (frame.size() < 4)
        return false;
    size_t n = frame.size() - 2;
    uint16_t crc = crc16(frame.data(), n);
    return frame[n] == (crc & 0xFF) && frame[n + 1] == (crc >> 8);
}

std::string hex(const Bytes &frame)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < frame.size(); i++) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", frame[i]);
        s += buf;
    }
    return s;
}

// Length of a request frame from its function code, as far as the bytes
// read so far tell it; 0 when it cannot be known (an unknown function),
// -1 when more bytes are needed to know.
int request_length(const Bytes &b)
{
    if (b.size() < 2)
        return -1;
    switch (b[1]) {
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x05: case 0x06:
        return 8;
    case 0x07: case 0x0B: case 0x0C: case 0x11:
        return 4;
    case 0x0F: case 0x10:
        return b.size() < 7 ? -1 : 9 + b[6];
    case 0x16:
        return 10;
    case 0x17:
        return b.size() < 11 ? -1 : 13 + b[10];
    default:
        return 0;
    }
}

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
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR)
        ;
}

void sleep_for(double seconds)
{
    sleep_until(now() + seconds);
}

bool write_all(int fd, const uint8_t *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                pollfd pfd{fd, POLLOUT, 0};
                poll(&pfd, 1, 100);
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

speed_t speed_of(long baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
    }
}

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

class Slave {
public:
    explicit Slave(const Options &opt) : opt_(opt), rng_(opt.seed) {}
    ~Slave();
    bool open_line();
    int run();

private:
    bool read_frame(Bytes *frame);
    void answer(const Bytes &req);
    Bytes genuine_reply(const Bytes &req);
    Bytes apply_fault(const Bytes &req, Bytes reply);
    Bytes random_bytes(size_t n);
    void send(const Bytes &reply, size_t request_size);
    void drain_events();
    void linger();
    void log(const Bytes &frame);

    const Options &opt_;
    unsigned rng_;
    int line_ = -1;   // the master side of the pty, or the named device
    int hold_ = -1;   // our own descriptor of the pty's slave side
    int events_ = -1; // inotify on the pty's slave side: a client closing it
    int pipe_[2] = {-1, -1};
    modbus_t *ctx_ = nullptr;
    modbus_mapping_t *map_ = nullptr;
    FILE *log_ = nullptr;
    int clients_ = 0;       // opens of the pty's slave side not yet closed
    bool late_sent_ = false;
};

Slave::~Slave()
{
    if (map_)
        modbus_mapping_free(map_);
    if (ctx_)
        modbus_free(ctx_); // its socket is our pipe: closed below, not by it
    for (int fd : {pipe_[0], pipe_[1], events_, hold_, line_})
        if (fd != -1)
            close(fd);
    if (log_ && log_ != stdout)
        std::fclose(log_);
}

bool Slave::open_line()
{
    if (opt_.log_path) {
        log_ = std::strcmp(opt_.log_path, "-") == 0
                   ? stdout
                   : std::fopen(opt_.log_path, "w");
        if (!log_) {
            std::fprintf(stderr, "melda-sim: %s: %s\n", opt_.log_path,
                         std::strerror(errno));
            return false;
        }
    }

    // libmodbus builds the genuine replies: its RTU context writes them into
    // a pipe, from which they are taken, changed by a fault if one is chosen,
    // and put on the line.
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) == -1) {
        std::perror("melda-sim: pipe");
        return false;
    }
    ctx_ = modbus_new_rtu("melda-sim", 19200, 'N', 8, 2);
    map_ = modbus_mapping_new(opt_.table_size, 0, 0, 0);
    if (!ctx_ || !map_) {
        std::fprintf(stderr, "melda-sim: libmodbus: %s\n",
                     modbus_strerror(errno));
        return false;
    }
    modbus_set_slave(ctx_, kSlave);
    modbus_set_socket(ctx_, pipe_[1]);
    // modbus_reply waits one response timeout before some exceptions; a
    // real device answers at once.
    modbus_set_response_timeout(ctx_, 0, 1);
    for (int i = 0; i < opt_.table_size; i++)
        map_->tab_bits[i] = opt_.pattern[i % opt_.pattern.size()] == '1';

    if (opt_.device) {
        line_ = open(opt_.device, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (line_ == -1 || !make_raw(line_, opt_.baud)) {
            std::fprintf(stderr, "melda-sim: %s: %s\n", opt_.device,
                         std::strerror(errno));
            return false;
        }
        std::printf("%s\n", opt_.device);
        std::fflush(stdout);
        return true;
    }

    line_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line_ == -1 || grantpt(line_) == -1 || unlockpt(line_) == -1) {
        std::perror("melda-sim: pseudo-terminal");
        return false;
    }
    const char *path = ptsname(line_);
    // Holding the slave side open keeps the master from reporting a hang-up
    // between clients; inotify tells when a client closes it, so that bytes
    // it left unread (a fault's extra bytes) do not reach the next client,
    // as a real port discards its input on close.
    hold_ = path ? open(path, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
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
void Slave::drain_events()
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

// Reads one request frame. A frame ends when its function code says it is
// complete, or when the line stays quiet for 50 ms (an unknown function, a
// truncated frame). Returns false when the line is gone.
bool Slave::read_frame(Bytes *frame)
{
    frame->clear();
    for (;;) {
        pollfd fds[2] = {{line_, POLLIN, 0}, {events_, POLLIN, 0}};
        int nfds = events_ == -1 ? 1 : 2;
        int timeout = frame->empty() ? -1 : 50;
        int rc = poll(fds, nfds, timeout);
        if (rc == -1) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (rc == 0)
            return true; // quiet line: the frame is whatever came
        if (nfds == 2 && (fds[1].revents & POLLIN))
            drain_events();
        if (fds[0].revents & POLLIN) {
            uint8_t buf[512];
            ssize_t n = read(line_, buf, sizeof buf);
            if (n <= 0) {
                if (n == -1 && (errno == EINTR || errno == EAGAIN))
                    continue;
                return false;
            }
            frame->insert(frame->end(), buf, buf + n);
            int want = request_length(*frame);
            if (want > 0 && static_cast<int>(frame->size()) >= want) {
                // Bytes beyond a complete frame belong to no request.
                frame->resize(want);
                return true;
            }
            if (frame->size() > static_cast<size_t>(kMaxFrame))
                frame->resize(kMaxFrame);
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            return false;
        }
    }
}

void Slave::log(const Bytes &frame)
{
    if (!log_)
        return;
    std::fprintf(log_, "%s\n", hex(frame).c_str());
    std::fflush(log_);
}

Bytes Slave::genuine_reply(const Bytes &req)
{
    uint8_t drop[kMaxFrame];
    while (read(pipe_[0], drop, sizeof drop) > 0)
        ;
    int rc = req[1] == MODBUS_FC_READ_COILS
                 ? modbus_reply(ctx_, req.data(), static_cast<int>(req.size()), map_)
                 : modbus_reply_exception(ctx_, req.data(),
                                          MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    Bytes reply;
    if (rc <= 0)
        return reply;
    uint8_t buf[kMaxFrame];
    ssize_t n = read(pipe_[0], buf, sizeof buf);
    if (n > 0)
        reply.assign(buf, buf + n);
    return reply;
}

Bytes Slave::random_bytes(size_t n)
{
    Bytes b(n);
    for (uint8_t &x : b)
        x = static_cast<uint8_t>(rand_r(&rng_) >> 7);
    return b;
}

// Turns the genuine reply into the chosen fault's. Faults that rework the
// data of a Read Coils reply leave an exception reply as it is.
Bytes Slave::apply_fault(const Bytes &req, Bytes reply)
{
    bool data_reply = reply.size() >= 5 && reply[1] == MODBUS_FC_READ_COILS;
    Bytes body(reply.begin(), reply.end() - (reply.size() >= 2 ? 2 : 0));
    switch (opt_.fault) {
    case Fault::None:
    case Fault::Pieces:
    case Fault::Silent:
    case Fault::Hangup:
    case Fault::Late:
        return reply;
    case Fault::Exception:
        body = {req[0], static_cast<uint8_t>(req[1] | 0x80),
                static_cast<uint8_t>(opt_.exception_code)};
        break;
    case Fault::BadCrc:
        reply[reply.size() - 1] ^= 0x5A;
        return reply;
    case Fault::WrongSlave:
        body[0] = 2;
        break;
    case Fault::WrongFunction:
        body[1] = static_cast<uint8_t>((body[1] & 0x80) | 0x02);
        break;
    case Fault::BadCount:
        if (!data_reply)
            return reply;
        body[2] -= 1;
        break;
    case Fault::Short:
        if (!data_reply)
            return reply;
        body[2] -= 1;
        body.pop_back();
        break;
    case Fault::Long:
        if (!data_reply)
            return reply;
        body[2] = MODBUS_MAX_READ_BITS / 8; // 250 bytes: 2000 coils
        body.resize(3 + body[2], 0xA5);
        break;
    case Fault::Truncated:
        reply.resize(reply.size() - 2);
        return reply;
    case Fault::Halfway:
        reply.resize(reply.size() / 2);
        return reply;
    case Fault::Extra:
        reply.insert(reply.end(), {0xDE, 0xAD, 0xBE, 0xEF});
        return reply;
    case Fault::Garbage:
        return random_bytes(12);
    case Fault::Flood:
        return random_bytes(1024);
    }
    seal(&body);
    return body;
}

// Puts a reply on the line. Paced, it takes the time a real 8N2 line would:
// the request's own bytes, the silent interval that ends a frame, the
// turnaround, then each reply byte no sooner than one character time after
// the one before.
void Slave::send(const Bytes &reply, size_t request_size)
{
    if (opt_.fault == Fault::Late && !late_sent_) {
        late_sent_ = true;
        sleep_for(kLateSeconds);
    }
    if (opt_.fault == Fault::Pieces) {
        size_t piece = (reply.size() + 2) / 3;
        for (size_t at = 0; at < reply.size(); at += piece) {
            if (at)
                sleep_for(0.1);
            size_t n = std::min(piece, reply.size() - at);
            write_all(line_, reply.data() + at, n);
        }
        return;
    }
    if (!opt_.pace) {
        write_all(line_, reply.data(), reply.size());
        return;
    }
    double chr = 11.0 / opt_.baud;
    double silent = opt_.baud > 19200 ? 0.00175 : 3.5 * chr;
    double t = now() + request_size * chr + silent + opt_.turnaround_ms / 1000;
    for (uint8_t byte : reply) {
        t += chr;
        sleep_until(t);
        write_all(line_, &byte, 1);
    }
}

void Slave::answer(const Bytes &req)
{
    if (opt_.verbose)
        std::fprintf(stderr, "melda-sim: request %s\n", hex(req).c_str());
    if (!crc_ok(req)) {
        if (opt_.verbose)
            std::fprintf(stderr, "melda-sim: bad frame, no answer\n");
        return;
    }
    if (req[0] != kSlave) {
        if (opt_.verbose)
            std::fprintf(stderr, "melda-sim: for slave %d, no answer\n", req[0]);
        return;
    }
    if (opt_.fault == Fault::Silent)
        return;
    Bytes reply = apply_fault(req, genuine_reply(req));
    if (opt_.verbose)
        std::fprintf(stderr, "melda-sim: reply   %s\n", hex(reply).c_str());
    send(reply, req.size());
}

// After the last request, stays until the client has closed the line (or
// for 5 s at most), so that the reply is not lost with the pseudo-terminal.
void Slave::linger()
{
    if (events_ == -1) {
        tcdrain(line_);
        return;
    }
    pollfd pfd{events_, POLLIN, 0};
    poll(&pfd, 1, 5000);
}

int Slave::run()
{
    Bytes frame;
    for (long served = 0; opt_.requests < 0 || served < opt_.requests; served++) {
        if (!read_frame(&frame)) {
            std::fprintf(stderr, "melda-sim: the line is gone\n");
            return 1;
        }
        log(frame);
        if (opt_.fault == Fault::Hangup && frame.size() >= 2) {
            if (opt_.verbose)
                std::fprintf(stderr, "melda-sim: hanging up\n");
            return 0; // the destructor closes the line
        }
        answer(frame);
    }
    linger();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    Options opt;
    enum { kSeed = 1000 };
    const option longopts[] = {
        {"coils", required_argument, nullptr, 'c'},
        {"size", required_argument, nullptr, 's'},
        {"fault", required_argument, nullptr, 'f'},
        {"log", required_argument, nullptr, 'l'},
        {"requests", required_argument, nullptr, 'n'},
        {"baud", required_argument, nullptr, 'b'},
        {"pace", no_argument, nullptr, 'p'},
        {"turnaround", required_argument, nullptr, 't'},
        {"seed", required_argument, nullptr, kSeed},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    bool size_given = false;
    long value;
    int c;
    while ((c = getopt_long(argc, argv, "c:s:f:l:n:b:pt:vh", longopts, nullptr)) != -1) {
        switch (c) {
        case 'c':
            opt.pattern = optarg;
            if (opt.pattern.empty() ||
                opt.pattern.find_first_not_of("01") != std::string::npos) {
                std::fprintf(stderr, "melda-sim: --coils takes 0s and 1s: %s\n", optarg);
                return 2;
            }
            break;
        case 's':
            if (!parse_long(optarg, 1, kMaxTableSize, &value)) {
                std::fprintf(stderr, "melda-sim: --size takes 1 to %d: %s\n",
                             kMaxTableSize, optarg);
                return 2;
            }
            opt.table_size = static_cast<int>(value);
            size_given = true;
            break;
        case 'f':
            if (!parse_fault(optarg, &opt)) {
                std::fprintf(stderr, "melda-sim: unknown fault: %s (see --help)\n", optarg);
                return 2;
            }
            break;
        case 'l':
            opt.log_path = optarg;
            break;
        case 'n':
            if (!parse_long(optarg, 1, LONG_MAX, &opt.requests)) {
                std::fprintf(stderr, "melda-sim: --requests takes a positive number: %s\n", optarg);
                return 2;
            }
            break;
        case 'b':
            if (!parse_long(optarg, 1, 4000000, &opt.baud) || speed_of(opt.baud) == B0) {
                std::fprintf(stderr, "melda-sim: unsupported baud: %s\n", optarg);
                return 2;
            }
            break;
        case 'p':
            opt.pace = true;
            break;
        case 't':
            if (!parse_long(optarg, 0, 60000, &value)) {
                std::fprintf(stderr, "melda-sim: --turnaround takes 0 to 60000 ms: %s\n", optarg);
                return 2;
            }
            opt.turnaround_ms = static_cast<double>(value);
            break;
        case kSeed:
            if (!parse_long(optarg, 0, UINT32_MAX, &value)) {
                std::fprintf(stderr, "melda-sim: --seed takes a number: %s\n", optarg);
                return 2;
            }
            opt.seed = static_cast<unsigned>(value);
            break;
        case 'v':
            opt.verbose = true;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    if (argc - optind > 1) {
        usage(stderr);
        return 2;
    }
    if (optind < argc)
        opt.device = argv[optind];
    if (!size_given && opt.pattern.size() > static_cast<size_t>(opt.table_size))
        opt.table_size = static_cast<int>(opt.pattern.size());
    if (opt.pattern.size() > static_cast<size_t>(kMaxTableSize)) {
        std::fprintf(stderr, "melda-sim: at most %d coils\n", kMaxTableSize);
        return 2;
    }

    // Pacing sleeps to the character; the default timer slack would blur it.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    Slave slave(opt);
    if (!slave.open_line())
        return 1;
    return slave.run();
}
