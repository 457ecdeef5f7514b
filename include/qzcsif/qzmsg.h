/* qzmsg.h -- the message module: the texts of the statuses.
 *
 * libqzmsg.so, installed beside libqzcsif.so, is a resource-only shared
 * object: one read-only data symbol, QZMSG_TABLE_SYMBOL, of type
 * qzmsg_table_t, and no code. It holds a text for every status of the
 * library (QZ_E_* in qzcsif.h) and of the fax server (QZ_S_* in
 * qzstatus_server.h). The library fills its error records from it; a
 * program finds a text by loading the module (dlopen), finding the symbol
 * (dlsym), checking the magic number and scanning the first `count`
 * entries (never more than QZMSG_MAX_ENTRIES).
 * Thread-safety: read-only data. */
#ifndef QZCSIF_QZMSG_H_
#define QZCSIF_QZMSG_H_

#include <stdint.h>

#define QZMSG_MODULE_NAME "libqzmsg.so"
#define QZMSG_TABLE_SYMBOL "qzmsg_table"
#define QZMSG_MAGIC 0x51474d5au /* "ZMGQ" */
#define QZMSG_TEXT_SIZE 124
#define QZMSG_MAX_ENTRIES 64

typedef struct qzmsg_entry {
  uint32_t code;
  char text[QZMSG_TEXT_SIZE]; /* NUL-terminated */
} qzmsg_entry_t;

typedef struct qzmsg_table {
  uint32_t magic; /* QZMSG_MAGIC */
  uint32_t count; /* entries in use */
  qzmsg_entry_t entries[QZMSG_MAX_ENTRIES];
} qzmsg_table_t;

#endif /* QZCSIF_QZMSG_H_ */
