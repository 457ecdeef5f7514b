/* qzmsg_format.h -- layout of the text table in the message module.
 *
 * libqzmsg.so is a resource-only shared object: it holds one read-only
 * data symbol, QZMSG_TABLE_SYMBOL, of type qzmsg_table_t, and no code. The
 * core looks a status up by loading the module, finding the symbol and
 * scanning the entries. Plain C so the module builds without a runtime.
 * Thread-safety: read-only data. */
#ifndef QZ_MSG_QZMSG_FORMAT_H_
#define QZ_MSG_QZMSG_FORMAT_H_

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

#endif /* QZ_MSG_QZMSG_FORMAT_H_ */
