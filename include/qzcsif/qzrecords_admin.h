/*
 * qzrecords_admin.h -- record layouts of lines, devices and scripts; dialing, routing and authorization; logs and configuration; reports.
 *
 * Included by qzcsif.h; not meant to be included alone. Every record is a
 * plain fixed layout shared by the library's callers and the server:
 * 32-bit integers little-endian, text fields of fixed width holding
 * NUL-terminated 8-bit text, no gaps (each struct is checked against its
 * QZ_SIZEOF_* size below).
 */
#ifndef QZCSIF_QZRECORDS_ADMIN_H_
#define QZCSIF_QZRECORDS_ADMIN_H_

#endif /* QZCSIF_QZRECORDS_ADMIN_H_ */
