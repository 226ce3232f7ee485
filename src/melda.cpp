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

#include <modbus.h>

namespace {

const int kSlave = 1;
const int kMaxCoils = 16;
const long kDefaultBaud = 19200;

// Decimal text to number as atoi/atol read it (leading blanks, one sign,
// digits up to the first non-digit, 0 for no digits), except that a value
// beyond [lo, hi] saturates to the nearer bound instead of wrapping.
long read_number(const char *text, long lo, long hi)
{
    long value = std::strtol(text, nullptr, 10);
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
    if (argc <= 3) {
        usage();
        return -1;
    }

    const char *port = argv[1];
    int start = static_cast<int>(read_number(argv[2], INT_MIN, INT_MAX));
    int count = static_cast<int>(read_number(argv[3], INT_MIN, INT_MAX));
    // Coils are numbered from 1 on the command line, from 0 on the wire.
    // The lowest start has no address below it and keeps INT_MIN.
    int address = start > INT_MIN ? start - 1 : INT_MIN;

    if (count > kMaxCoils) {
        std::printf("Invalid ncoils: %d (at most %d)\n", count, kMaxCoils);
        std::exit(1);
    }

    long baud = kDefaultBaud;
    if (argc == 5) {
        baud = read_number(argv[4], LONG_MIN, LONG_MAX);
        if (baud != 9600 && baud != 19200 && baud != 38400 && baud != 57600 &&
            baud != 115200) {
            std::printf("Invalid baud: %ld\n", baud);
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

    if (modbus_connect(context.ctx) == -1) {
        std::fprintf(stderr, "ERROR Connection failed: %s\n",
                     modbus_strerror(errno));
        return -1;
    }
    Connection connection{context.ctx};

    std::printf("modbus_read_bits(SLAVE %d, START %d, NCOILS %d): ", kSlave,
                address, count);

    unsigned char coils[kMaxCoils] = {};
    int rc = modbus_read_bits(connection.ctx, address, count, coils);
    if (rc == -1 || rc != count) {
        std::puts("FAILED");
        return -1;
    }

    std::puts("OK");
    // Coil lines are numbered by protocol address; long arithmetic keeps
    // the highest addresses from overflowing.
    for (int i = 0; i < count; i++)
        std::printf("COIL %02ld = %d\n", static_cast<long>(address) + i,
                    coils[i]);
    return 0;
}
