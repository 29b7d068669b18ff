/* A C host: opens a bus, opens lock 1, reads the status and downloads the
 * swipe records through the C interface.
 * Usage: c_bus DEVICE ADDR   (DEVICE a path, socket://host:port or
 * rfc2217://host:port; "-" for $OSTREL_COM1) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ostrel/ostrel.h"

static int fail(ostrel_bus* bus, ostrel_result r) {
    if (r == OSTREL_NO_REPLY)
        fprintf(stderr, "not acknowledged (%s): %s\n", ostrel_reason_name(ostrel_last_reason(bus)),
                ostrel_message(bus));
    else
        fprintf(stderr, "error %d: %s\n", (int)ostrel_error_number(bus), ostrel_message(bus));
    ostrel_close(bus);
    return r == OSTREL_NO_REPLY ? 1 : 3;
}

int main(int argc, char** argv) {
    const char* device = argc > 1 ? argv[1] : "-";
    int address = argc > 2 ? atoi(argv[2]) : 1;
    if (strcmp(device, "-") == 0) device = getenv("OSTREL_COM1");
    if (!device) {
        fprintf(stderr, "usage: c_bus DEVICE ADDR\n");
        return 2;
    }

    ostrel_bus* bus = NULL;
    if (ostrel_open(device, "9600,n,8,1", &bus) != OSTREL_OK) {
        fprintf(stderr, "%s\n", ostrel_message(NULL));
        return 3;
    }
    ostrel_result r = ostrel_open_lock(bus, address, 1);
    if (r != OSTREL_OK) return fail(bus, r);

    ostrel_status status;
    r = ostrel_get_status(bus, address, &status);
    if (r != OSTREL_OK) return fail(bus, r);

    ostrel_record* records = NULL;
    size_t count = 0;
    r = ostrel_records(bus, address, NULL, NULL, &records, &count);
    if (r != OSTREL_OK) return fail(bus, r);
    printf("lock 1 opened; %zu records; version %s\n", count, status.version);
    for (size_t i = 0; i < count; ++i) printf("%s\n", records[i].line);
    ostrel_free_records(records);
    ostrel_close(bus);
    return 0;
}
