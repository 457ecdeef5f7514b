/* qzmsg.c -- the message module: the texts of the library's statuses as
 * one read-only data table. No functions, no constructors: mapping the
 * module runs no code. Built with -nostdlib.
 * Thread-safety: read-only data. */
#include "msg/qzmsg_format.h"

#define QZ_STATUS(name, value, text) +1
enum { kQzmsgCount = 0
#include "msg/statuses.inc"
};
#undef QZ_STATUS

_Static_assert(kQzmsgCount <= QZMSG_MAX_ENTRIES, "message table too small");

#define QZ_STATUS(name, value, text) {value, text},
__attribute__((visibility("default"))) const qzmsg_table_t qzmsg_table = {
    QZMSG_MAGIC,
    kQzmsgCount,
    {
#include "msg/statuses.inc"
    },
};
#undef QZ_STATUS
