/* The C interface of the Ostrel driver: one handle per serial bus of door
 * controllers, one function per operation, plain structs for results.
 *
 * Every operation returns an ostrel_result:
 *   OSTREL_OK           the controller's reply was accepted; outputs written
 *   OSTREL_NO_REPLY     not accepted; ostrel_last_reason() says why
 *   OSTREL_ARGUMENT     an argument was refused before anything was sent;
 *                       ostrel_argument() names it
 *   OSTREL_ERROR        a raised error (port, file); ostrel_error_number()
 *   OSTREL_NOT_CLEARED  ostrel_records and ostrel_collect: the download
 *                       failed a check on every attempt (or the durable step
 *                       or the clear refused); nothing was cleared. Records
 *                       that failed a check are never returned: only those
 *                       ostrel_collect's durable step already kept.
 * ostrel_message() gives the text of each. These accessors describe the last
 * call the calling thread made on that handle, so several threads may share
 * a handle: its exchanges take turns, and each thread reads its own outcome.
 * Calls on different handles run in parallel. No C++ exception crosses this
 * interface; outputs are written only on OSTREL_OK (and NOT_CLEARED for the
 * records of ostrel_collect that were made durable).
 *
 * Link with -lostrel-c (pkg-config: ostrel-c). Symbols carry the version
 * OSTREL_1.0. */
#ifndef OSTREL_OSTREL_H
#define OSTREL_OSTREL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OSTREL_C_ABI_VERSION 1

typedef struct ostrel_bus ostrel_bus;

typedef enum ostrel_result {
    OSTREL_OK = 0,
    OSTREL_NO_REPLY = 1,
    OSTREL_ARGUMENT = 2,
    OSTREL_ERROR = 3,
    OSTREL_NOT_CLEARED = 4
} ostrel_result;

typedef enum ostrel_reason {
    OSTREL_REASON_NONE = 0, /* the last call was no NO_REPLY */
    OSTREL_REASON_SILENT = 1,
    OSTREL_REASON_SHORT = 2,
    OSTREL_REASON_ANOTHER_ADDRESS = 3,
    OSTREL_REASON_ECHO = 4
} ostrel_reason;

typedef enum ostrel_lock_state {
    OSTREL_LOCK_UNKNOWN = 0,
    OSTREL_LOCK_OPEN = 1,
    OSTREL_LOCK_CLOSED = 2
} ostrel_lock_state;

/* Lock types sent with a card; the controller takes 0-7. */
enum { OSTREL_LOCK_IN_OUT = 0, OSTREL_LOCK_IN = 1, OSTREL_LOCK_OUT = 2, OSTREL_LOCK_NONE = 3 };

typedef struct ostrel_time {
    int year, month, day, hour, minute, second;
} ostrel_time;

typedef struct ostrel_status {
    int address;
    int record_count;
    int lock_delay_units[2]; /* 1/14 s; seconds = units / 14.0 */
    int clock_valid;         /* 0: the controller's clock bytes are no valid date and time */
    ostrel_time clock;
    int weekday; /* 0 Sunday .. 6 Saturday, -1 unknown */
    char version[16];
    unsigned char raw[15];
} ostrel_status;

typedef struct ostrel_record {
    unsigned char raw[11];
    int leading; /* byte 0: the controller's address */
    char card[8]; /* six characters */
    int time_valid;
    ostrel_time time; /* second is 0 */
    char code_a[4];
    char code_b[4];
    char line[48]; /* the swipe-record line b0|card|YYYY-MM-DD|hh:mm|codeA|codeB */
} ostrel_record;

typedef struct ostrel_card {
    const char* physical; /* exactly 10 digits */
    const char* logical;  /* 1 to 6 digits */
    int has_valid_from;   /* a start needs an end */
    int from_year, from_month, from_day;
    int has_valid_to;
    int to_year, to_month, to_day;
    int has_hours;
    int from_hour, from_minute, to_hour, to_minute;
    int has_days;
    int first_day, last_day; /* 0-7 */
    int lock1, lock2;        /* lock types 0-7 */
} ostrel_card;

/* Called after each record: records done, records announced. */
typedef void (*ostrel_progress_fn)(void* user, size_t done, size_t total);
/* Makes collected records durable; return 0 to let the controller be
 * cleared, anything else to keep them there. */
typedef int (*ostrel_durable_fn)(void* user, const ostrel_record* records, size_t count);

/* The library's version text, "1.0.0". */
const char* ostrel_version(void);

/* A handle for the bus on device (a path, socket://host:port or
 * rfc2217://host:port) with settings "baud,parity,data,stop[,echo]" (NULL:
 * "9600,n,8,1"). A local device is opened now: one that does not exist or
 * cannot be opened is OSTREL_ERROR. A network device is not connected yet:
 * it connects on first use (or ostrel_connect), where an unreachable one is
 * reported. An empty device is OSTREL_ARGUMENT. On failure *bus is NULL and
 * ostrel_message(NULL) says why. */
ostrel_result ostrel_open(const char* device, const char* settings, ostrel_bus** bus);
/* Closes the port and frees the handle; NULL is ignored. */
void ostrel_close(ostrel_bus* bus);
/* Opens the port now (operations otherwise open it on first use). */
ostrel_result ostrel_connect(ostrel_bus* bus);

ostrel_result ostrel_get_status(ostrel_bus* bus, int address, ostrel_status* status);
ostrel_result ostrel_open_lock(ostrel_bus* bus, int address, int lock);
ostrel_result ostrel_lock_states(ostrel_bus* bus, int address, ostrel_lock_state* lock1, ostrel_lock_state* lock2);
ostrel_result ostrel_set_lock_delay(ostrel_bus* bus, int address, int lock, int seconds);
/* when NULL: now, by this machine's clock. */
ostrel_result ostrel_set_clock(ostrel_bus* bus, int address, const ostrel_time* when);
ostrel_result ostrel_enrol(ostrel_bus* bus, int address, const ostrel_card* card);
ostrel_result ostrel_remove_card(ostrel_bus* bus, int address, const char* logical);
ostrel_result ostrel_remove_all_cards(ostrel_bus* bus, int address);
/* card: 11 bytes, receives ten hex digits and a terminating zero. */
ostrel_result ostrel_last_card(ostrel_bus* bus, int address, char* card);
ostrel_result ostrel_clear_last_card(ostrel_bus* bus, int address);
/* The verified download, without the clear: only records of a download that
 * passed every check are returned. *records is an array of *count records
 * for ostrel_free_records (NULL when there are none). progress may be NULL. */
ostrel_result ostrel_records(ostrel_bus* bus, int address, ostrel_progress_fn progress, void* progress_user,
                             ostrel_record** records, size_t* count);
/* Verified download, durable (may be NULL), then clear. */
ostrel_result ostrel_collect(ostrel_bus* bus, int address, ostrel_progress_fn progress, void* progress_user,
                             ostrel_durable_fn durable, void* durable_user, ostrel_record** records,
                             size_t* count);
ostrel_result ostrel_clear_records(ostrel_bus* bus, int address);
void ostrel_free_records(ostrel_record* records);

/* The calling thread's last call on bus (NULL: its last failed ostrel_open). */
const char* ostrel_message(const ostrel_bus* bus);
ostrel_reason ostrel_last_reason(const ostrel_bus* bus);
const char* ostrel_reason_name(ostrel_reason reason); /* "silent", "short", "another address", "echo" */
int32_t ostrel_error_number(const ostrel_bus* bus);
const char* ostrel_argument(const ostrel_bus* bus);

#ifdef __cplusplus
}
#endif

#endif
