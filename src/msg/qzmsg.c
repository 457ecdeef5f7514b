/* qzmsg.c -- the message module: the texts of the library's and the fax
 * server's statuses as one read-only data table. No functions, no constructors: mapping the
 * module runs no code. Built with -nostdlib.
 * Thread-safety: read-only data. */
#include "qzcsif/qzmsg.h"
#include "qzcsif/qzstatus_server.h"

#define QZ_STATUS(name, value, text) +1
#define QZ_SERVER_STATUS(name, text) +1
enum { kQzmsgCount = 0
#include "msg/statuses.inc"
#include "msg/server_statuses.inc"
};
#undef QZ_STATUS
#undef QZ_SERVER_STATUS

_Static_assert(kQzmsgCount <= QZMSG_MAX_ENTRIES, "message table too small");

#define QZ_STATUS(name, value, text) {value, text},
#define QZ_SERVER_STATUS(name, text) {name, text},
__attribute__((visibility("default"))) const qzmsg_table_t qzmsg_table = {
    QZMSG_MAGIC,
    kQzmsgCount,
    {
#include "msg/statuses.inc"
#include "msg/server_statuses.inc"
    },
};
#undef QZ_STATUS
#undef QZ_SERVER_STATUS
