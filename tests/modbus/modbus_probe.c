/* modbus_probe: libmodbus's own TCP client, driven line by line from
 * standard input, for the end-to-end tests of gpio-modbus
 * (test_gpio_modbus*.py). A second client library beside pymodbus, one
 * connection kept across requests.
 *
 *   modbus_probe HOST PORT
 *
 * Prints "connected" (or "error TEXT" and exits 1), then one line for each
 * line read:
 *   FC ADDRESS COUNT [VALUE...]  a request of function FC (1 2 3 4 5 6 15 16);
 *                                5 and 6 take one VALUE, COUNT ignored
 *   unit N                       the unit id of the next requests
 *   timeout MS                   how long to wait for each reply
 * answered "ok [VALUE...]" (the values read), "exception 0xNN",
 * "timeout", "closed" (the server closed the connection) or "error TEXT".
 * End of input ends it. */
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <modbus.h>

#define MAX_VALUES 2000

static void print_result(int done, const uint8_t *bits, const uint16_t *registers, int count)
{
    if (done < 0) {
        if (errno > MODBUS_ENOBASE && errno <= MODBUS_ENOBASE + 0xFF) {
            printf("exception 0x%02X\n", errno - MODBUS_ENOBASE);
        } else if (errno == ETIMEDOUT) {
            printf("timeout\n");
        } else if (errno == ECONNRESET || errno == EPIPE || errno == ECONNREFUSED) {
            printf("closed\n");
        } else {
            printf("error %s\n", modbus_strerror(errno));
        }
        return;
    }
    printf("ok");
    for (int index = 0; index < count; ++index) {
        printf(" %u", bits != NULL ? (unsigned)bits[index] : (unsigned)registers[index]);
    }
    printf("\n");
}

/* One request line: its function, address, count and values. */
static void request(modbus_t *context, char *line)
{
    static uint8_t bits[MAX_VALUES];
    static uint16_t registers[MAX_VALUES];
    char *rest = NULL;
    const long function = strtol(line, &rest, 10);
    const long address = strtol(rest, &rest, 10);
    const long count = strtol(rest, &rest, 10);
    int values = 0;
    for (char *next = rest;; rest = next) {
        const long value = strtol(rest, &next, 0);
        if (next == rest || values == MAX_VALUES) {
            break;
        }
        bits[values] = (uint8_t)value;
        registers[values] = (uint16_t)value;
        ++values;
    }
    if (address < 0 || address > 0xFFFF || count < 0 || count > MAX_VALUES) {
        printf("error bad request line\n");
        return;
    }
    const int a = (int)address;
    const int n = (int)count;
    switch (function) {
    case 1: print_result(modbus_read_bits(context, a, n, bits), bits, NULL, n); break;
    case 2: print_result(modbus_read_input_bits(context, a, n, bits), bits, NULL, n); break;
    case 3: print_result(modbus_read_registers(context, a, n, registers), NULL, registers, n); break;
    case 4: print_result(modbus_read_input_registers(context, a, n, registers), NULL, registers, n); break;
    case 5: print_result(modbus_write_bit(context, a, values > 0 ? bits[0] : 0), NULL, NULL, 0); break;
    case 6: print_result(modbus_write_register(context, a, values > 0 ? registers[0] : 0), NULL, NULL, 0); break;
    case 15: print_result(modbus_write_bits(context, a, n, bits), NULL, NULL, 0); break;
    case 16: print_result(modbus_write_registers(context, a, n, registers), NULL, NULL, 0); break;
    default: printf("error function %ld not known here\n", function); break;
    }
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: modbus_probe HOST PORT\n");
        return 64;
    }
    setvbuf(stdout, NULL, _IOLBF, 0);
    modbus_t *context = modbus_new_tcp(argv[1], atoi(argv[2]));
    if (context == NULL || modbus_connect(context) < 0) {
        printf("error %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(context, 1);
    printf("connected\n");
    char line[16384];
    while (fgets(line, sizeof(line), stdin) != NULL) {
        if (strncmp(line, "unit ", 5) == 0) {
            modbus_set_slave(context, atoi(line + 5));
            printf("ok\n");
        } else if (strncmp(line, "timeout ", 8) == 0) {
            const long ms = strtol(line + 8, NULL, 10);
            modbus_set_response_timeout(context, (uint32_t)(ms / 1000), (uint32_t)(ms % 1000) * 1000U);
            printf("ok\n");
        } else {
            request(context, line);
        }
    }
    modbus_close(context);
    modbus_free(context);
    return 0;
}
