/* qzstatus_server.h -- the fax server's own statuses.
 *
 * Every procedure of the server answers 1 for success. A refusal of the
 * server itself is one of these codes (0xC1FE0001..0xC1FE00FF, beside the
 * library's own 0xC1FF range); the library passes them through as the
 * result of the export and records them in the thread's error record. The
 * message module libqzmsg.so holds a text for each (qzmsg.h).
 *
 * Thread-safety: constants. */
#ifndef QZCSIF_QZSTATUS_SERVER_H_
#define QZCSIF_QZSTATUS_SERVER_H_

/* Common to every procedure (0xC1FE0001..0xC1FE001F). */
#define QZ_S_BAD_KEY          0xC1FE0001u /* the key names no live session of this caller */
#define QZ_S_NOT_HANDLED      0xC1FE0002u /* a procedure no client calls */
#define QZ_S_BAD_CONDITION    0xC1FE0003u /* the condition text does not parse */
#define QZ_S_BAD_RECORD       0xC1FE0004u /* a record or block of the wrong length or form */
#define QZ_S_WRONG_PASSWORD   0xC1FE0005u /* the (old) password does not match */
#define QZ_S_UNKNOWN_CALLER   0xC1FE0006u /* login: no user is associated with the caller */
#define QZ_S_ACCESS_DENIED    0xC1FE0007u /* the user lacks the right the procedure needs */
#define QZ_S_STORE_FAILURE    0xC1FE0008u /* the server's database failed; nothing changed */
#define QZ_S_BAD_ARGUMENT     0xC1FE0009u /* an operation code, ID or value out of range */
#define QZ_S_BAD_PASSWORD     0xC1FE000Au /* the new password is not acceptable */
#define QZ_S_TOO_MANY         0xC1FE000Bu /* too many registrations or records of a kind */
#define QZ_S_NO_SUCH_FILE     0xC1FE000Cu /* a file the client named does not exist */
#define QZ_S_FILE_DENIED      0xC1FE000Du /* the file may not be opened as the client */
#define QZ_S_FILE_FAILURE     0xC1FE000Eu /* reading or writing a file failed */

/* Limits (0xC1FE0020..0xC1FE002F). */
#define QZ_S_SERVER_BUSY      0xC1FE0020u /* the server holds as many answers as it may */
#define QZ_S_TEXT_TOO_LONG    0xC1FE0021u /* a text is longer than its field */

/* Send queue and service control (0xC1FE0030..0xC1FE004F). */
#define QZ_S_SERVICE_STOPPED  0xC1FE0030u /* the fax service is stopped or draining */
#define QZ_S_NO_SUCH_TASK     0xC1FE0031u /* no task with that ID that the caller may see */
#define QZ_S_TASK_STATE       0xC1FE0032u /* the task's state does not allow the operation */
#define QZ_S_BAD_DOCUMENT     0xC1FE0033u /* not a fax document (TIFF, G3/G4, fax width) */
#define QZ_S_BAD_NUMBER       0xC1FE0034u /* a recipient number that is not a number */
#define QZ_S_NO_SUCH_DRAFT    0xC1FE0035u /* the caller has no draft of that ID */
#define QZ_S_BAD_BACKUP_NAME  0xC1FE0036u /* the backup name is not a plain file name */
#define QZ_S_JOB_NOT_QUEUED   0xC1FE0037u /* another job of the submission was refused */

/* Message store, users, files and drafts (0xC1FE0050..0xC1FE006F). */
#define QZ_S_NO_SUCH_FOLDER   0xC1FE0050u /* the folder is unknown or not visible */
#define QZ_S_NOT_FOUND        0xC1FE0051u /* no such item, message, draft, file, user or department */
#define QZ_S_WRONG_ITEM_KIND  0xC1FE0052u /* the item does not belong in that folder */
#define QZ_S_IN_USE           0xC1FE0053u /* deletion refused: items, drafts, tasks or members remain */
#define QZ_S_EXISTS           0xC1FE0054u /* the identifier is taken */
#define QZ_S_REPLY_TOO_LARGE  0xC1FE0055u /* the answer would exceed the reply limit */
#define QZ_S_FILE_ERROR       0xC1FE0056u /* a file of the server's store cannot be used */
#define QZ_S_NOT_LOCAL        0xC1FE0057u /* the procedure needs a local (ncalrpc) caller */
#define QZ_S_NO_DATA_DIR      0xC1FE0059u /* the server has no directory for files */

/* Lines, dialing, routing, logs, configuration, reports (0xC1FE0070..0xC1FE008F). */
#define QZ_S_NO_SUCH_RECORD      0xC1FE0070u /* no line, rule, entry or template of that ID */
#define QZ_S_DUPLICATE           0xC1FE0071u /* an entry with the same unique key exists */
#define QZ_S_UNKNOWN_CONFIG_NAME 0xC1FE0072u /* a configuration name the server does not know */
#define QZ_S_NO_HISTORY          0xC1FE0073u /* the send and receive history is missing */

#endif /* QZCSIF_QZSTATUS_SERVER_H_ */
