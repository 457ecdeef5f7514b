/*
 * qzrecords_store.h -- record layouts of the message store, users and departments, files and drafts: folders, items, fax views, address book, users, departments, cover-page fields.
 *
 * Included by qzcsif.h; not meant to be included alone. Every record is a
 * plain fixed layout shared by the library's callers and the server:
 * 32-bit integers little-endian, text fields of fixed width holding
 * NUL-terminated 8-bit text, no gaps (each struct is checked against its
 * QZ_SIZEOF_* size below).
 *
 * Thread-safety: plain data.
 */
#ifndef QZCSIF_QZRECORDS_STORE_H_
#define QZCSIF_QZRECORDS_STORE_H_

/* Sizes of the records defined here that the common list does not name. */
#define QZ_SIZEOF_ADDRESS_ITEM          192
#define QZ_SIZEOF_GROUP_ITEM            128
#define QZ_SIZEOF_NOTE_ITEM             256
#define QZ_SIZEOF_COVERPAGE_ITEM         64
#define QZ_SIZEOF_DOCUMENT_ITEM          64
#define QZ_SIZEOF_SCHEDULE_ITEM         128
#define QZ_SIZEOF_ADDRESSBOOK_HEADER     16
#define QZ_SIZEOF_USEROP_RECORD         160 /* fixed part; a description may follow */
#define QZ_SIZEOF_DRAFT_HEADER           16

/* Folder classes (FOLDERINFO_TABLE.dwClass); each selects dwRights[class]. */
#define QZ_FOLDER_PERSONAL     0 /* one user's own folder */
#define QZ_FOLDER_DEPARTMENT   1 /* shared by the members of a department */
#define QZ_FOLDER_PUBLIC       2 /* shared by every user */

/* Folder kinds (FOLDERINFO_TABLE.dwKind, 1..8) and what they hold. */
#define QZ_KIND_INBOX          1 /* received messages */
#define QZ_KIND_SENT           2 /* sent messages */
#define QZ_KIND_DRAFTS         3 /* messages being prepared */
#define QZ_KIND_ARCHIVE        4 /* filed messages */
#define QZ_KIND_ADDRESSBOOK    5 /* address entries, groups, relations */
#define QZ_KIND_NOTES          6 /* notes */
#define QZ_KIND_TEMPLATES      7 /* cover-page and document entries */
#define QZ_KIND_SCHEDULE       8 /* schedule entries */

/* Item codes as the procedures carry them (the library maps dwInfoType
   0..7 to 7, 6, 2, 1, 3, 4, 5, 8). */
#define QZ_ITEM_MESSAGE        1 /* FAXVIEW_TABLE */
#define QZ_ITEM_ADDRESS        2 /* ADDRESS_ITEM */
#define QZ_ITEM_RELATION       3 /* ADDRRELATION_TABLE */
#define QZ_ITEM_GROUP          4 /* GROUP_ITEM (rpcKind5InformationOP / rpcGetKind5Information) */
#define QZ_ITEM_NOTE           5 /* NOTE_ITEM */
#define QZ_ITEM_COVERPAGE      6 /* COVERPAGE_ITEM */
#define QZ_ITEM_DOCUMENT       7 /* DOCUMENT_ITEM */
#define QZ_ITEM_SCHEDULE       8 /* SCHEDULE_ITEM */

/* Flag bits of a message (FAXVIEW_TABLE.dwFlags, rpcSetFaxViewFlag). */
#define QZ_FAXVIEW_READ        0x1u
#define QZ_FAXVIEW_IMPORTANT   0x2u
#define QZ_FAXVIEW_PRINTED     0x4u
#define QZ_FAXVIEW_FORWARDED   0x8u
#define QZ_FAXVIEW_ALLFLAGS    0xFu

/* A folder: the folder an information procedure works in, and one record
   of the folder list. */
typedef struct FOLDERINFO_TABLE {
  uint32_t dwFolderID;     /*   0: the server's identifier of the folder */
  uint32_t dwClass;        /*   4: QZ_FOLDER_* (0..2) */
  char     szOwner[20];    /*   8: user (class 0) or department (class 1); "" for class 2 */
  char     szName[40];     /*  28 */
  uint32_t dwKind;         /*  68: QZ_KIND_* (1..8) */
  uint32_t dwParentID;     /*  72: 0: a top folder */
  uint32_t dwItemCount;    /*  76: filled by the server */
  uint32_t dwUnread;       /*  80: messages without QZ_FAXVIEW_READ; filled by the server */
  uint32_t dwFlags;        /*  84: 0x1 a folder the server made */
  uint8_t  abReserved[16]; /*  88 */
} FOLDERINFO_TABLE;        /* 104 bytes */

/* A relation between an address entry and a group; as the selector of
   rpcGetInformation (item code 3) one of the two values is 0. */
typedef struct ADDRRELATION_TABLE {
  uint32_t dwAddressID;    /* 0 */
  uint32_t dwGroupID;      /* 4 */
} ADDRRELATION_TABLE;      /* 8 bytes */

/* A message (item code 1) as listed in a folder and as a fax view record. */
typedef struct FAXVIEW_TABLE {
  uint32_t dwFaxID;        /*  0: the message's identifier (assigned by the server) */
  uint32_t dwFolderID;     /*  4 */
  uint32_t dwFlags;        /*  8: QZ_FAXVIEW_* */
  uint32_t dwDirection;    /* 12: 0 received, 1 sent, 2 made by a user */
  uint32_t dwPages;        /* 16: pages of its document (0: none) */
  uint32_t dwTime;         /* 20: seconds since 1970 (UTC) */
  char     szRemote[32];   /* 24: sender (received) or recipient (sent) number */
  char     szSubject[28];  /* 56 */
} FAXVIEW_TABLE;           /* 84 bytes */

/* An address-book entry (item code 2). */
typedef struct ADDRESS_ITEM {
  uint32_t dwItemID;       /*   0: assigned by the server */
  uint32_t dwFolderID;     /*   4 */
  char     szName[40];     /*   8 */
  char     szFaxNumber[32];/*  48 */
  char     szCompany[40];  /*  80 */
  char     szPhone[32];    /* 120 */
  char     szEmail[40];    /* 152 */
} ADDRESS_ITEM;            /* 192 bytes */

/* A group of address entries (item code 4). */
typedef struct GROUP_ITEM {
  uint32_t dwItemID;       /*   0 */
  uint32_t dwFolderID;     /*   4 */
  char     szName[40];     /*   8 */
  char     szNote[80];     /*  48 */
} GROUP_ITEM;              /* 128 bytes */

/* A note (item code 5). */
typedef struct NOTE_ITEM {
  uint32_t dwItemID;       /*   0 */
  uint32_t dwFolderID;     /*   4 */
  uint32_t dwTime;         /*   8 */
  char     szTitle[52];    /*  12 */
  char     szText[192];    /*  64 */
} NOTE_ITEM;               /* 256 bytes */

/* A cover-page entry (item code 6): names a cover-page file of the server. */
typedef struct COVERPAGE_ITEM {
  uint32_t dwItemID;       /*  0 */
  uint32_t dwFolderID;     /*  4 */
  uint32_t dwFileID;       /*  8: cover-page file (rpcGetCoverPageFileFromServer) */
  char     szName[52];     /* 12 */
} COVERPAGE_ITEM;          /* 64 bytes */

/* A document entry (item code 7): names a fax message's document. */
typedef struct DOCUMENT_ITEM {
  uint32_t dwItemID;       /*  0 */
  uint32_t dwFolderID;     /*  4 */
  uint32_t dwFaxID;        /*  8: the message whose document it names */
  uint32_t dwPages;        /* 12 */
  char     szName[48];     /* 16 */
} DOCUMENT_ITEM;           /* 64 bytes */

/* A schedule entry (item code 8). */
typedef struct SCHEDULE_ITEM {
  uint32_t dwItemID;       /*   0 */
  uint32_t dwFolderID;     /*   4 */
  uint32_t dwTime;         /*   8: when */
  uint32_t dwFlags;        /*  12 */
  char     szText[112];    /*  16 */
} SCHEDULE_ITEM;           /* 128 bytes */

/* Head of the rpcGetAddressBookEx answer: the counts of the ADDRESS_ITEM,
   GROUP_ITEM and ADDRRELATION_TABLE records that follow, in that order. */
typedef struct ADDRESSBOOK_HEADER {
  uint32_t dwAddressCount; /*  0 */
  uint32_t dwGroupCount;   /*  4 */
  uint32_t dwRelationCount;/*  8 */
  uint32_t dwReserved;     /* 12 */
} ADDRESSBOOK_HEADER;      /* 16 bytes */

/* A department. */
typedef struct DEPTINFO_TABLE {
  char     szDeptID[20];   /*   0: identifier, 1..19 characters */
  char     szName[64];     /*  20 */
  char     szManager[20];  /*  84: a user identifier or "" */
  char     szFaxNumber[32];/* 104 */
  uint32_t dwFlags;        /* 136 */
  uint32_t dwMemberCount;  /* 140: filled by the server */
  uint8_t  abReserved[32]; /* 144 */
} DEPTINFO_TABLE;          /* 176 bytes */

/* One detail of a user (rpcUserDetailOP). */
typedef struct USERDETAIL_TABLE {
  char     szUserID[20];   /*  0 */
  uint32_t dwField;        /* 20: 1 phone, 2 e-mail, 3 fax number, 4 title */
  char     szValue[28];    /* 24 */
} USERDETAIL_TABLE;        /* 52 bytes */

/* The self-sized user record of rpcUserOP: dwLength bytes, at least the
   fixed part; the bytes after it hold the user's description text (up to
   255 characters, NUL-terminated within dwLength). */
typedef struct USEROP_RECORD {
  uint32_t dwLength;       /*   0: whole record, 160..416 */
  char     szUserID[20];   /*   4 */
  char     szDeptID[20];   /*  24: "" for none */
  uint32_t dwUserType;     /*  44: 1 administrator, 0 user */
  uint32_t dwRights[4];    /*  48 */
  char     szUserName[32]; /*  64 */
  char     szPassword[64]; /*  96: plain text on the wire; stored only as a salted hash */
} USEROP_RECORD;           /* 160 bytes (fixed part) */

/* Head of a draft block (rpcNewDraftInformation, rpcEditDraftInformation,
   rpcGetDraftInformation); the draft's own bytes follow it. */
typedef struct DRAFT_HEADER {
  uint32_t dwLength;       /*  0: header and data */
  uint32_t dwDraftID;      /*  4: 0 for a new draft; assigned by the server */
  uint32_t dwTime;         /*  8: last change, filled by the server */
  uint32_t dwFlags;        /* 12: kept as sent */
} DRAFT_HEADER;            /* 16 bytes */

#if defined(__cplusplus)
#define QZ_STORE_ASSERT(t, n) static_assert(sizeof(t) == (n), #t " size")
#else
#define QZ_STORE_ASSERT(t, n) _Static_assert(sizeof(t) == (n), #t " size")
#endif
QZ_STORE_ASSERT(FOLDERINFO_TABLE, QZ_SIZEOF_FOLDERINFO_TABLE);
QZ_STORE_ASSERT(ADDRRELATION_TABLE, QZ_SIZEOF_ADDRRELATION_TABLE);
QZ_STORE_ASSERT(FAXVIEW_TABLE, QZ_SIZEOF_FAXVIEW_TABLE);
QZ_STORE_ASSERT(ADDRESS_ITEM, QZ_SIZEOF_ADDRESS_ITEM);
QZ_STORE_ASSERT(GROUP_ITEM, QZ_SIZEOF_GROUP_ITEM);
QZ_STORE_ASSERT(NOTE_ITEM, QZ_SIZEOF_NOTE_ITEM);
QZ_STORE_ASSERT(COVERPAGE_ITEM, QZ_SIZEOF_COVERPAGE_ITEM);
QZ_STORE_ASSERT(DOCUMENT_ITEM, QZ_SIZEOF_DOCUMENT_ITEM);
QZ_STORE_ASSERT(SCHEDULE_ITEM, QZ_SIZEOF_SCHEDULE_ITEM);
QZ_STORE_ASSERT(ADDRESSBOOK_HEADER, QZ_SIZEOF_ADDRESSBOOK_HEADER);
QZ_STORE_ASSERT(DEPTINFO_TABLE, QZ_SIZEOF_DEPTINFO_TABLE);
QZ_STORE_ASSERT(USERDETAIL_TABLE, QZ_SIZEOF_USERDETAIL_TABLE);
QZ_STORE_ASSERT(USEROP_RECORD, QZ_SIZEOF_USEROP_RECORD);
QZ_STORE_ASSERT(DRAFT_HEADER, QZ_SIZEOF_DRAFT_HEADER);
#undef QZ_STORE_ASSERT

#endif /* QZCSIF_QZRECORDS_STORE_H_ */
