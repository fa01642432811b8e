/* smbcall: one call of the SMBus access library from the command line, for checks on a real
 * kernel (the virtual-machine test), and a transfer-rate measurement.
 *
 *   smbcall rw|rb|wb|blk|sw ADDR CMD [VALUE]    prints "rc=R ..." and exits 0
 *   smbcall bench ADDR CMD COUNT [SLOT]         read words, with a slot switch before each
 *   smbcall wait ADDR CMD TRIES                  read a word once a second until it succeeds
 *                                                (one process: the library looks again for an
 *                                                adapter that was missing when it started)
 *
 * Numbers in C syntax (0x.. for hexadecimal). ADDR is the 8-bit address; for sw, ADDR is the
 * switch and CMD the slot. */
#include "pvqsmb.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static unsigned long number(const char *s) {
    char *end = NULL;
    const unsigned long v = strtoul(s, &end, 0);
    if (*s == '\0' || *end != '\0') {
        fprintf(stderr, "smbcall: not a number: %s\n", s);
        exit(2);
    }
    return v;
}

static double seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: smbcall rw|rb|wb|blk|sw ADDR CMD [VALUE] | bench ADDR CMD COUNT "
                        "[SLOT]\n");
        return 2;
    }
    const char *op = argv[1];
    const unsigned char addr = (unsigned char)number(argv[2]);
    const unsigned char cmd = (unsigned char)number(argv[3]);
    if (strcmp(op, "rw") == 0) {
        unsigned short w = 0;
        const int rc = _pvqsmb_i2c_read_word(addr, cmd, &w);
        printf("rc=%d word=0x%04x\n", rc, w);
    } else if (strcmp(op, "rb") == 0) {
        unsigned char b = 0;
        const int rc = _pvqsmb_i2c_read_byte(addr, cmd, &b);
        printf("rc=%d byte=0x%02x\n", rc, b);
    } else if (strcmp(op, "wb") == 0 && argc == 5) {
        printf("rc=%d\n", _pvqsmb_i2c_write_byte(addr, cmd, (unsigned char)number(argv[4])));
    } else if (strcmp(op, "blk") == 0) {
        unsigned char buf[33] = {0};
        const int rc = _pvqsmb_i2c_read_block(addr, cmd, buf);
        printf("rc=%d block=%s\n", rc, (const char *)buf);
    } else if (strcmp(op, "sw") == 0) {
        printf("rc=%d\n", _pvqsmb_switch_slot(addr, cmd));
    } else if (strcmp(op, "wait") == 0 && argc == 5) {
        unsigned short w = 0;
        int rc = -1;
        for (unsigned long i = number(argv[4]); i > 0 && rc != 0; --i) {
            rc = _pvqsmb_i2c_read_word(addr, cmd, &w);
            if (rc != 0) {
                const struct timespec second = {1, 0};
                nanosleep(&second, NULL);
            }
        }
        printf("rc=%d\n", rc);
    } else if (strcmp(op, "bench") == 0 && argc >= 5) {
        const unsigned long count = number(argv[4]);
        const int slot = argc > 5 ? (int)number(argv[5]) : -1;
        unsigned long failed = 0;
        unsigned short w = 0;
        const double t0 = seconds();
        for (unsigned long i = 0; i < count; ++i) {
            if (slot >= 0 && _pvqsmb_switch_slot(0xE6, (unsigned char)slot) != 0) ++failed;
            if (_pvqsmb_i2c_read_word(addr, cmd, &w) != 0) ++failed;
        }
        const double dt = seconds() - t0;
        printf("operations=%lu failed=%lu seconds=%.3f operations_per_s=%.0f\n", count, failed, dt,
               (double)count / dt);
    } else {
        fprintf(stderr, "smbcall: unknown operation %s\n", op);
        return 2;
    }
    return 0;
}
