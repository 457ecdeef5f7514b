/*
 * qzrecords_store.h -- record layouts of the message store, users and departments, files and drafts: folders, items, fax views, address book, users, departments, cover-page fields.
 *
 * Included by qzcsif.h; not meant to be included alone. Every record is a
 * plain fixed layout shared by the library's callers and the server:
 * 32-bit integers little-endian, text fields of fixed width holding
 * NUL-terminated 8-bit text, no gaps (each struct is checked against its
 * QZ_SIZEOF_* size below).
 */
#ifndef QZCSIF_QZRECORDS_STORE_H_
#define QZCSIF_QZRECORDS_STORE_H_

#endif /* QZCSIF_QZRECORDS_STORE_H_ */
