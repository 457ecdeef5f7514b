/*
 * qzrecords_send.h -- record layouts of the send queue and the service control: jobs, send and receive tasks, task progress, priorities, capabilities and backups.
 *
 * Included by qzcsif.h; not meant to be included alone. Every record is a
 * plain fixed layout shared by the library's callers and the server:
 * 32-bit integers little-endian, text fields of fixed width holding
 * NUL-terminated 8-bit text, no gaps (each struct is checked against its
 * QZ_SIZEOF_* size below). Times are seconds since 1970-01-01 UTC.
 * Thread-safety: plain data.
 */
#ifndef QZCSIF_QZRECORDS_SEND_H_
#define QZCSIF_QZRECORDS_SEND_H_

/* A fax job of RemoteSendFax. Length-prefixed: dwSize is the record's own
   length in bytes, at least QZ_SIZEOF_FAXJOB_TABLE; bytes beyond the fixed
   part are skipped by the server. The document is a TIFF file (Class F,
   G3 or G4, one or more pages) that the server reads with the caller's
   identity and copies into its store at submission. */
typedef struct FAXJOB_TABLE {
  uint32_t dwSize;               /*   0: this record's length in bytes */
  uint32_t dwPriority;           /*   4: 0 (lowest) .. 9 (highest) */
  uint32_t dwScheduleTime;       /*   8: earliest send time; 0 = now */
  uint32_t dwFlags;              /*  12: QZ_FAXJOB_* bits */
  uint32_t dwMaxAttempts;        /*  16: 0 = the server's default (3), at most 10 */
  char     szRecipientNumber[64];/*  20: number to dial (digits, '+', '-', ' ') */
  char     szRecipientName[64];  /*  84 */
  char     szSubject[128];       /* 148 */
  char     szSender[64];         /* 276: sender's name as printed on the cover page */
  char     szCoverPage[64];      /* 340: cover page name; "" = none */
  char     szDocumentPath[256];  /* 404: path of the TIFF document, as the caller sees it */
} FAXJOB_TABLE;                  /* 660 bytes (fixed part) */
#define QZ_SIZEOF_FAXJOB_TABLE 660
#define QZ_FAXJOB_HOLD 0x1u      /* hold the task for authorisation whatever the user's settings */

/* Result of one submitted fax (RemoteSendFax: one per job, in order). */
typedef struct SENDRESULT_TABLE {
  uint32_t dwFaxID;              /*   0: the new send task; 0 when the job was refused */
  int32_t  lStatus;              /*   4: 1 accepted, else the server status of this job */
  uint32_t dwState;              /*   8: QZ_TASK_* state of the new task */
  uint32_t dwPages;              /*  12: pages of the document */
  char     szDetail[28];         /*  16: short reason ("queued", "bad document", ...) */
} SENDRESULT_TABLE;              /* 44 bytes */

/* RemoteTransmitFax: a fax the server holds, sent again to the recipients
   of the dwItemCount TRANSFERFAX_ITEM entries that follow all headers. */
typedef struct TRANSFERFAX_TABLE {
  uint32_t dwSourceID;           /*   0: send task (kind 0) or receive task (kind 1) */
  uint32_t dwItemCount;          /*   4: entries of this header */
  uint32_t dwSourceKind;         /*   8: 0 send task, 1 receive task */
} TRANSFERFAX_TABLE;             /* 12 bytes */

typedef struct TRANSFERFAX_ITEM {
  char     szRecipientNumber[64];/*   0 */
  char     szRecipientName[64];  /*  64 */
  uint32_t dwPriority;           /* 128: 0 .. 9 */
  uint32_t dwScheduleTime;       /* 132: 0 = now */
  uint8_t  abReserved[28];       /* 136: zero */
} TRANSFERFAX_ITEM;              /* 164 bytes */

/* One recipient of SendFaxFromConn (the CONNSENDINFO item array). */
typedef struct CONNSENDITEM {
  char     szRecipientNumber[64];/*   0 */
  char     szRecipientName[64];  /*  64 */
  uint8_t  abReserved[40];       /* 128: zero */
} CONNSENDITEM;                  /* 168 bytes */

/* Task states. */
#define QZ_TASK_QUEUED    1u     /* waiting for its time and a free line */
#define QZ_TASK_HELD      2u     /* held for authorisation */
#define QZ_TASK_LOCKED    3u     /* locked by its owner or an operator; not sent */
#define QZ_TASK_SENDING   4u     /* on a line now */
#define QZ_TASK_DONE      5u     /* every page sent */
#define QZ_TASK_FAILED    6u     /* attempts used up, or refused by authorisation */
#define QZ_TASK_STOPPED   7u     /* stopped by a user */

/* Outcome of the last attempt (SENDTASK_TABLE lLastResult). */
#define QZ_SEND_NONE       0     /* no attempt yet */
#define QZ_SEND_OK         1
#define QZ_SEND_BUSY       2
#define QZ_SEND_NOANSWER   3
#define QZ_SEND_LINEFAIL   4     /* the connection broke during a page */
#define QZ_SEND_INTERRUPTED 5    /* the service was stopped during the attempt */

/* One send task (RemoteViewSendTask, RemoteGetAuthTasks; RemoteEditSendTask
   sends it back with the fields marked "editable" changed). */
typedef struct SENDTASK_TABLE {
  uint32_t dwFaxID;              /*   0 */
  uint32_t dwState;              /*   4: QZ_TASK_* */
  uint32_t dwPriority;           /*   8: editable, 0 .. 9 */
  uint32_t dwAttempts;           /*  12: attempts made */
  uint32_t dwMaxAttempts;        /*  16: editable, 1 .. 10 */
  uint32_t dwPagesDone;          /*  20: pages sent in the current or last attempt */
  uint32_t dwPagesTotal;         /*  24 */
  uint32_t dwSubmitTime;         /*  28 */
  uint32_t dwScheduleTime;       /*  32: editable */
  uint32_t dwNextTryTime;        /*  36: when a retry is due (0 = none) */
  uint32_t dwStartTime;          /*  40: start of the last attempt */
  uint32_t dwEndTime;            /*  44: end of the task (done, failed, stopped) */
  uint32_t dwLineID;             /*  48: line of the current or last attempt */
  int32_t  lLastResult;          /*  52: QZ_SEND_* */
  uint32_t dwFlags;              /*  56: QZ_FAXJOB_* */
  uint32_t dwRecvID;             /*  60: receive task it was delivered to (own line), else 0 */
  char     szUserID[20];         /*  64: owner */
  char     szRecipientNumber[64];/*  84: editable */
  char     szRecipientName[64];  /* 148: editable */
  char     szSubject[128];       /* 212: editable */
  char     szSender[64];         /* 340: editable */
  char     szCoverPage[64];      /* 404: editable */
  char     szDocument[256];      /* 468: document path as submitted */
  char     szLastError[64];      /* 724: text of the last outcome */
  uint8_t  abReserved[236];      /* 788: zero */
} SENDTASK_TABLE;                /* 1024 bytes */

/* Receive task states. */
#define QZ_RECV_RECEIVING 1u
#define QZ_RECV_RECEIVED  2u     /* complete, kept as a receive task */
#define QZ_RECV_DELIVERED 3u     /* complete and filed by the message store */
#define QZ_RECV_FAILED    4u     /* the connection broke */

/* One receive task (rpcViewRecvTask). */
typedef struct RECVTASK_TABLE {
  uint32_t dwRecvID;             /*   0 */
  uint32_t dwState;              /*   4: QZ_RECV_* */
  uint32_t dwLineID;             /*   8: receiving line */
  uint32_t dwPages;              /*  12: pages received */
  uint32_t dwStartTime;          /*  16 */
  uint32_t dwEndTime;            /*  20 */
  uint32_t dwSendTaskID;         /*  24: our own send task that delivered it, else 0 */
  uint32_t dwReserved;           /*  28 */
  char     szUserID[20];         /*  32: user it was routed to */
  char     szLineNumber[64];     /*  52: number that was dialled */
  char     szSenderNumber[64];   /* 116: calling station */
  char     szSenderUser[20];     /* 180: user of the sending task, if ours */
  char     szRecipientName[64];  /* 200 */
  char     szSubject[128];       /* 264 */
  char     szDestination[64];    /* 392: "user <id>", "department <id>", "printer <name>" */
  char     szDocument[256];      /* 456: file name in the server's store */
  uint8_t  abReserved[84];       /* 712: zero */
} RECVTASK_TABLE;                /* 796 bytes */

/* RemoteEditTaskPRI: new priority of one task. */
typedef struct TASKPRIORITY {
  uint32_t dwFaxID;              /*   0 */
  uint32_t dwPriority;           /*   4: 0 .. 9 */
  uint32_t dwReserved;           /*   8: zero */
} TASKPRIORITY;                  /* 12 bytes */

/* RemoteGetTaskProgress: one per requested ID, in order; dwState 0 for an
   ID that names no task the caller may see. */
typedef struct TASKINFO {
  uint32_t dwFaxID;              /*   0 */
  uint32_t dwState;              /*   4: QZ_TASK_* or 0 */
  uint32_t dwPagesDone;          /*   8 */
  uint32_t dwPagesTotal;         /*  12 */
} TASKINFO;                      /* 16 bytes */

/* A field of a cover page (rpcGetCoverPageField / rpcCoverPageFieldOP). */
typedef struct COVERPAGEFIELD_TABLE {
  uint32_t dwFieldID;            /*   0 */
  uint32_t dwType;               /*   4: QZ_COVERFIELD_* */
  char     szName[32];           /*   8 */
  char     szValue[56];          /*  40 */
} COVERPAGEFIELD_TABLE;          /* 96 bytes */
#define QZ_COVERFIELD_TEXT  0u       /* szValue as it is */
#define QZ_COVERFIELD_DATE  1u       /* the date of sending */
#define QZ_COVERFIELD_PAGES 2u       /* the pages of the fax */

/* GetServerCaps. */
typedef struct SERVERCAPS {
  uint32_t dwSize;               /*   0: 440 */
  uint32_t dwVersion;            /*   4: server version, major << 16 | minor */
  uint32_t dwFlags;              /*   8: capability bits of the server */
  uint32_t dwActiveSessions;     /*  12: sessions logged in right now */
  uint32_t dwStartTime;          /*  16: server start */
  uint32_t dwNow;                /*  20: the server's clock at the call */
  char     szServerName[32];     /*  24 */
  char     szVersion[32];        /*  56 */
  char     szHostName[64];       /*  88 */
  uint8_t  abReserved[288];      /* 152: zero */
} SERVERCAPS;                    /* 440 bytes */

/* ServerBackup. The server writes the backup into its own backup
   directory under szName, which must be a plain file name. */
typedef struct BACKUPINFO {
  uint32_t dwType;               /*   0: reserved, zero */
  uint32_t dwFlags;              /*   4: reserved, zero */
  char     szLabel[22];          /*   8: free text for the server's log */
  char     szName[270];          /*  30: file name of the backup (must not be empty) */
} BACKUPINFO;                    /* 300 bytes */

#if defined(__cplusplus)
#define QZ_SEND_STATIC_ASSERT static_assert
#else
#define QZ_SEND_STATIC_ASSERT _Static_assert
#endif
QZ_SEND_STATIC_ASSERT(sizeof(FAXJOB_TABLE) == QZ_SIZEOF_FAXJOB_TABLE, "FAXJOB_TABLE size");
QZ_SEND_STATIC_ASSERT(sizeof(SENDRESULT_TABLE) == QZ_SIZEOF_SENDRESULT_TABLE, "SENDRESULT_TABLE size");
QZ_SEND_STATIC_ASSERT(sizeof(TRANSFERFAX_TABLE) == QZ_SIZEOF_TRANSFERFAX_TABLE, "TRANSFERFAX_TABLE size");
QZ_SEND_STATIC_ASSERT(sizeof(TRANSFERFAX_ITEM) == QZ_SIZEOF_TRANSFERFAX_ITEM, "TRANSFERFAX_ITEM size");
QZ_SEND_STATIC_ASSERT(sizeof(CONNSENDITEM) == QZ_SIZEOF_CONNSENDITEM, "CONNSENDITEM size");
QZ_SEND_STATIC_ASSERT(sizeof(SENDTASK_TABLE) == QZ_SIZEOF_SENDTASK_TABLE, "SENDTASK_TABLE size");
QZ_SEND_STATIC_ASSERT(sizeof(RECVTASK_TABLE) == QZ_SIZEOF_RECVTASK_TABLE, "RECVTASK_TABLE size");
QZ_SEND_STATIC_ASSERT(sizeof(TASKPRIORITY) == QZ_SIZEOF_TASKPRIORITY, "TASKPRIORITY size");
QZ_SEND_STATIC_ASSERT(sizeof(TASKINFO) == QZ_SIZEOF_TASKINFO, "TASKINFO size");
QZ_SEND_STATIC_ASSERT(sizeof(COVERPAGEFIELD_TABLE) == QZ_SIZEOF_COVERPAGEFIELD_TABLE, "COVERPAGEFIELD_TABLE size");
QZ_SEND_STATIC_ASSERT(sizeof(SERVERCAPS) == QZ_SIZEOF_SERVERCAPS, "SERVERCAPS size");
QZ_SEND_STATIC_ASSERT(sizeof(BACKUPINFO) == QZ_SIZEOF_BACKUPINFO, "BACKUPINFO size");
#undef QZ_SEND_STATIC_ASSERT

#endif /* QZCSIF_QZRECORDS_SEND_H_ */
