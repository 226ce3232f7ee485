/* SPDX-License-Identifier: MIT */
/*
 * The floor for any program reading coils through libmodbus: the same
 * library calls as melda, in the same order, with nothing around them.
 * Used only by the benchmark.
 *
 *   minimal port start ncoils [baud]
 */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <modbus.h>

int main(int argc, char *argv[])
{
    if (argc < 4)
        return 2;
    int addr = atoi(argv[2]) - 1;
    int nb = atoi(argv[3]);
    if (nb > 16)
        return 1;
    modbus_t *ctx = modbus_new_rtu(argv[1], argc == 5 ? atoi(argv[4]) : 19200, 'N', 8, 2);
    if (ctx == NULL)
        return 255;
    modbus_set_debug(ctx, 1);
    modbus_set_error_recovery(ctx, MODBUS_ERROR_RECOVERY_LINK);
    modbus_set_slave(ctx, 1);
    if (modbus_connect(ctx) == -1) {
        fprintf(stderr, "%s\n", modbus_strerror(errno));
        modbus_free(ctx);
        return 255;
    }
    uint8_t bits[16];
    printf("read(%d, %d): ", addr, nb);
    int rc = modbus_read_bits(ctx, addr, nb, bits);
    if (rc == nb) {
        puts("OK");
        for (int i = 0; i < nb; i++)
            printf("%02d = %d\n", addr + i, bits[i]);
    } else {
        puts("FAILED");
    }
    modbus_close(ctx);
    modbus_free(ctx);
    return rc == nb ? 0 : 255;
}
