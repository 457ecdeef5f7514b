/*
 * qzrecords_admin.h -- record layouts of lines, devices and scripts; dialing, routing and authorization; logs and configuration; reports.
 *
 * Included by qzcsif.h; not meant to be included alone. Every record is a
 * plain fixed layout shared by the library's callers and the server:
 * 32-bit integers little-endian, text fields of fixed width holding
 * NUL-terminated 8-bit text, no gaps (each struct is checked against its
 * QZ_SIZEOF_* size below). The meaning of each field is what qzfaxd does
 * with it (server/README.md, "Lines, dialing, routing, logs, configuration
 * and reports"). Thread-safety: plain data.
 */
#ifndef QZCSIF_QZRECORDS_ADMIN_H_
#define QZCSIF_QZRECORDS_ADMIN_H_

#include <stdint.h>

#if defined(__cplusplus)
#define QZ_ADMIN_SIZE_CHECK(T, n) static_assert(sizeof(T) == (n), #T " has the wrong size")
#else
#define QZ_ADMIN_SIZE_CHECK(T, n) _Static_assert(sizeof(T) == (n), #T " has the wrong size")
#endif

/* ---- Lines, devices and scripts ---------------------------------- */

/* A fax device (a modem or a board carrying lines). */
typedef struct DEVICEINFO_TABLE {
  uint32_t dwDeviceID;   /*  0: given by the server when the device is added */
  uint32_t dwLines;      /*  4: lines attached to it (filled by the server) */
  uint32_t dwFlags;      /*  8: QZ_DEVICE_ENABLED */
  char     szName[32];   /* 12 */
  char     szModel[20];  /* 44 */
} DEVICEINFO_TABLE;      /* 64 bytes */
#define QZ_DEVICE_ENABLED 0x1u

/* A line (port). dwState of rpcSetPortStatus: 0 out of service, 1 in
   service, 2 remove the line; dwPortID 0 adds a new line. */
typedef struct PORTINFO_TABLE {
  uint32_t dwPortID;         /*  0 */
  uint32_t dwDeviceID;       /*  4: 0, or a device of DEVICEINFO_TABLE */
  uint32_t dwState;          /*  8: QZ_PORT_* */
  uint32_t dwBitsPerSecond;  /* 12: 2400..33600; 0 means 14400 */
  uint32_t dwFlags;          /* 16: QZ_PORT_SEND, QZ_PORT_RECEIVE */
  char     szNumber[32];     /* 20: the line's own number */
  char     szName[32];       /* 52 */
  uint32_t dwReserved;       /* 84: 0 */
} PORTINFO_TABLE;            /* 88 bytes */
#define QZ_PORT_OUT_OF_SERVICE 0u
#define QZ_PORT_IN_SERVICE     1u
#define QZ_PORT_REMOVE         2u
#define QZ_PORT_SEND           0x1u
#define QZ_PORT_RECEIVE        0x2u

/* A limitation rule: which numbers a line may dial, and when. */
typedef struct LINECHECK_TABLE {
  uint32_t dwRuleID;      /*  0 */
  uint32_t dwPortID;      /*  4: 0 applies to every line */
  uint32_t dwAction;      /*  8: QZ_LINECHECK_DENY or QZ_LINECHECK_ALLOW */
  uint32_t dwFromMinute;  /* 12: minute of the day (UTC), 0..1439 */
  uint32_t dwToMinute;    /* 16: 1..1440, exclusive; from > to wraps midnight; from == to all day */
  char     szPrefix[28];  /* 20: numbers beginning with it ("" every number) */
} LINECHECK_TABLE;        /* 48 bytes */
#define QZ_LINECHECK_DENY  0u
#define QZ_LINECHECK_ALLOW 1u

/* What a line does right now. */
typedef struct PORT_CURRENT_STATUS {
  uint32_t dwPortID;       /*  0 */
  uint32_t dwState;        /*  4: QZ_LINESTATE_* */
  uint32_t dwSince;        /*  8: seconds since 1970 of the last report */
  char     szNumber[32];   /* 12 */
  char     szActivity[48]; /* 44: as the engine reported it ("idle", "dialing 0123") */
  uint32_t dwReserved;     /* 92 */
} PORT_CURRENT_STATUS;     /* 96 bytes */
#define QZ_LINESTATE_OUT_OF_SERVICE 0u
#define QZ_LINESTATE_IDLE           1u
#define QZ_LINESTATE_BUSY           2u

/* A script (length-prefixed): the fixed part, then the script text
   (dwLength - 104 bytes, at most 65536) for rpcScriptFileOP command 1. */
typedef struct SCRIPTINFO {
  uint32_t dwLength;           /*  0: 104 + length of the text */
  uint32_t dwScriptID;         /*  4: 0 adds a script */
  uint32_t dwFlags;            /*  8 */
  char     szName[64];         /* 12 */
  uint32_t dwSize;             /* 76: bytes of the stored file (filled by the server) */
  uint32_t dwModified;         /* 80: seconds since 1970 (filled by the server) */
  char     szDescription[20];  /* 84 */
} SCRIPTINFO;                  /* 104 bytes before the text */
#define QZ_SIZEOF_SCRIPTINFO 104

/* ---- Dialing, routing and authorization --------------------------- */

/* A dial rule (length-prefixed; bytes after the fixed part are kept). */
typedef struct DIALRULE_TABLE {
  uint32_t dwLength;           /*   0: at least 148 */
  uint32_t dwRuleID;           /*   4 */
  uint32_t dwPortID;           /*   8: 0 every line */
  uint32_t dwPriority;         /*  12: lower first */
  char     szMatch[32];        /*  16: numbers beginning with it ("" every number) */
  uint32_t dwStrip;            /*  48: leading digits removed, 0..31 */
  char     szPrepend[32];      /*  52: digits put in front */
  char     szDescription[64];  /*  84 */
} DIALRULE_TABLE;              /* 148 bytes */
#define QZ_SIZEOF_DIALRULE_TABLE 148

/* An entry of the prefix table (length-prefixed). */
typedef struct PREFIXINFO_TABLE {
  uint32_t dwLength;           /*   0: at least 108 */
  uint32_t dwPrefixID;         /*   4 */
  uint32_t dwKind;             /*   8: QZ_PREFIX_* */
  char     szPrefix[32];       /*  12 */
  char     szDescription[64];  /*  44 */
} PREFIXINFO_TABLE;            /* 108 bytes */
#define QZ_SIZEOF_PREFIXINFO_TABLE 108
#define QZ_PREFIX_OUTSIDE_LINE 0u /* dialled before every number that is not internal */
#define QZ_PREFIX_LOCAL_AREA   1u /* removed from the front of a number (a local call) */
#define QZ_PREFIX_INTERNAL     2u /* numbers beginning with it get no outside-line prefix */

/* An automatic reception entry: a line (or number) answered by itself. */
typedef struct FAXAUTORECVINFO_TABLE {
  uint32_t dwID;               /*   0 */
  uint32_t dwPortID;           /*   4: 0 every line */
  uint32_t dwEnabled;          /*   8: 0 or 1 */
  uint32_t dwRings;            /*  12: 0..20 */
  uint32_t dwKeepDays;         /*  16: history kept that long (0 for ever) */
  char     szNumber[32];       /*  20: the number received on ("" any) */
  char     szName[64];         /*  52 */
  char     szDescription[52];  /* 116 */
} FAXAUTORECVINFO_TABLE;       /* 168 bytes */

/* One fax received automatically, and where it went. */
typedef struct AUTORECVHISTORY_TABLE {
  uint32_t dwID;               /*   0 */
  uint32_t dwTime;             /*   4: seconds since 1970 */
  uint32_t dwPortID;           /*   8 */
  uint32_t dwRecvTaskID;       /*  12 */
  uint32_t dwPages;            /*  16 */
  uint32_t dwRouteCount;       /*  20: destinations it was routed to */
  char     szLineNumber[32];   /*  24 */
  char     szSenderNumber[32]; /*  56 */
  char     szDestination[112]; /*  88: "user:<id>", "department:<id>", "printer:<name>", separated by "; " */
} AUTORECVHISTORY_TABLE;       /* 200 bytes */

/* An authorization entry: whose faxes wait for an administrator. */
#if defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER)
#pragma pack(push, 1)
#endif
typedef struct AUTHORIZEDINFO_TABLE {
  char     szUserID[20];  /*  0 */
  uint32_t dwFlags;       /* 20: QZ_AUTH_HOLD */
  uint32_t dwEntryID;     /* 24 */
  uint32_t dwPageLimit;   /* 28: kept for the client; not applied by the server */
  uint16_t wReserved;     /* 32 */
} AUTHORIZEDINFO_TABLE;   /* 34 bytes, packed: records follow every 34 bytes */
#if defined(__GNUC__) || defined(__clang__) || defined(_MSC_VER)
#pragma pack(pop)
#endif
#define QZ_AUTH_HOLD       0x1u /* every fax of the user waits for authorisation */

/* A routing rule for received faxes. */
typedef struct ROUTERCONFIG_TABLE {
  uint32_t dwRouteID;          /*   0 */
  uint32_t dwPortID;           /*   4: 0 every line */
  uint32_t dwTargetKind;       /*   8: QZ_ROUTE_* */
  uint32_t dwPriority;         /*  12: lower first */
  uint32_t dwEnabled;          /*  16: 0 or 1 */
  char     szNumber[32];       /*  20: number dialled ("" any) */
  char     szSender[32];       /*  52: sender numbers beginning with it ("" any) */
  char     szTarget[64];       /*  84: user, department or printer */
  char     szDescription[56];  /* 148 */
} ROUTERCONFIG_TABLE;          /* 204 bytes */
#define QZ_ROUTE_USER       0u
#define QZ_ROUTE_DEPARTMENT 1u
#define QZ_ROUTE_PRINTER    2u

/* A printer of the server. */
typedef struct PRINTERINFO {
  uint32_t dwPrinterID;        /*   0: position in the list, from 1 */
  uint32_t dwFlags;            /*   4: QZ_PRINTER_* */
  uint32_t dwState;            /*   8: 0 unknown, 3 idle, 4 printing, 5 stopped */
  char     szName[128];        /*  12 */
  char     szLocation[64];     /* 140 */
  char     szDescription[76];  /* 204 */
} PRINTERINFO;                 /* 280 bytes */
#define QZ_PRINTER_DEFAULT    0x1u
#define QZ_PRINTER_FROM_CUPS  0x2u

/* ---- Logs and configuration ---------------------------------------- */

/* One entry of the system log. */
typedef struct SYSLOG_TABLE {
  uint32_t dwLogID;        /*   0: ascending */
  uint32_t dwTime;         /*   4: seconds since 1970 */
  uint32_t dwLevel;        /*   8: 0 information, 1 warning, 2 error */
  char     szSource[32];   /*  12: "engine", "lines", "configuration", ... */
  char     szUserID[20];   /*  44 */
  char     szText[376];    /*  64 */
} SYSLOG_TABLE;            /* 440 bytes */

/* Configuration section 0: the server. */
typedef struct QZCONFIG_GENERAL {
  char     szServerName[64];    /*    0 */
  char     szStationID[32];     /*   64: the fax header's station identifier */
  char     szCountryCode[8];    /*   96 */
  char     szAreaCode[8];       /*  104 */
  char     szOrganization[128]; /*  112 */
  char     szAdminMail[128];    /*  240 */
  uint32_t dwFlags;             /*  368 */
  uint8_t  abReserved[1188];    /*  372 */
} QZCONFIG_GENERAL;             /* 1560 bytes */

/* Configuration section 1: the send queue. */
typedef struct QZCONFIG_SENDQUEUE {
  uint32_t dwRetries;           /*  0: 0..20 */
  uint32_t dwRetryInterval;     /*  4: seconds, 0..86400 */
  uint32_t dwMaxPages;          /*  8: 0 no limit */
  uint32_t dwDialTimeout;       /* 12: seconds, 0..600 */
  uint32_t dwDefaultPriority;   /* 16: 0..255 */
  uint32_t dwFlags;             /* 20 */
} QZCONFIG_SENDQUEUE;           /* 24 bytes */

/* Configuration section 2: directories shown to clients (informational;
   the server keeps its own files in its data directory). */
typedef struct QZCONFIG_PATHS {
  uint32_t dwFlags;             /*    0 */
  char     szArchiveDir[260];   /*    4 */
  char     szScriptDir[260];    /*  264 */
  char     szCoverPageDir[260]; /*  524 */
  char     szBackupDir[260];    /*  784 */
} QZCONFIG_PATHS;               /* 1044 bytes */

/* Configuration section 3: notifications (110 bytes, 16-bit fields). */
typedef struct QZCONFIG_NOTIFY {
  uint16_t wFlags;              /*   0 */
  uint16_t wReserved;           /*   2 */
  char     szMailHost[64];      /*   4 */
  uint16_t wMailPort;           /*  68 */
  char     szSender[40];        /*  70 */
} QZCONFIG_NOTIFY;              /* 110 bytes */

/* Configuration section 4: reception. A received fax that no routing rule
   takes goes to the default target when one is set. */
typedef struct QZCONFIG_RECEIVE {
  uint32_t dwFlags;             /*   0 */
  uint32_t dwDefaultKind;       /*   4: QZ_ROUTE_* of the default target */
  uint32_t dwKeepDays;          /*   8 */
  char     szDefaultTarget[64]; /*  12: "" none */
  char     szReserved[88];      /*  76 */
} QZCONFIG_RECEIVE;             /* 164 bytes */

/* Configuration section 5: logs. */
typedef struct QZCONFIG_LOGS {
  uint32_t dwSysLogMaxRecords;  /*  0: 0 means 10000; at most 1000000 */
  uint32_t dwHistoryMaxRecords; /*  4: automatic reception history, 0 means 10000 */
  uint32_t dwMinLevel;          /*  8: entries below this level are not kept (0..2) */
  uint32_t dwFlags;             /* 12 */
  uint8_t  abReserved[272];     /* 16 */
} QZCONFIG_LOGS;                /* 288 bytes */

/* Configuration section 6 (read only): sections 0 to 5 one after the
   other (two zero bytes after section 3 keep section 4 aligned), then zeros. */
typedef struct QZCONFIG_ALL {
  QZCONFIG_GENERAL   General;     /*    0 */
  QZCONFIG_SENDQUEUE SendQueue;   /* 1560 */
  QZCONFIG_PATHS     Paths;       /* 1584 */
  QZCONFIG_NOTIFY    Notify;      /* 2628 */
  uint16_t           wPad;        /* 2738: 0 */
  QZCONFIG_RECEIVE   Receive;     /* 2740 */
  QZCONFIG_LOGS      Logs;        /* 2904 */
  uint8_t            abReserved[820]; /* 3192 */
} QZCONFIG_ALL;                   /* 4012 bytes */

/* The block of rpcSetConfigStringPair as RemoteAccessConfig takes it. */
typedef struct QZCONFIG_STRINGPAIR {
  char szFirst[120];   /*   0: the name */
  char szSecond[136];  /* 120: the value */
} QZCONFIG_STRINGPAIR;

#define QZ_SIZEOF_CONFIG_SECTION0 1560
#define QZ_SIZEOF_CONFIG_SECTION1   24
#define QZ_SIZEOF_CONFIG_SECTION2 1044
#define QZ_SIZEOF_CONFIG_SECTION3  110
#define QZ_SIZEOF_CONFIG_SECTION4  164
#define QZ_SIZEOF_CONFIG_SECTION5  288
#define QZ_SIZEOF_CONFIG_SECTION6 4012

/* ---- Reports ------------------------------------------------------- */

/* A report template, kept in a folder. */
typedef struct FAXREPORTMODEL {
  uint32_t dwTemplateID;        /*    0: given by the server */
  uint32_t dwFolderID;          /*    4: the folder's (filled by the server) */
  uint32_t dwGroupBy;           /*    8: QZ_REPORT_BY_* */
  uint32_t dwDirection;         /*   12: QZ_REPORT_* */
  uint32_t dwFlags;             /*   16 */
  uint32_t dwCreated;           /*   20: filled by the server */
  uint32_t dwModified;          /*   24: filled by the server */
  char     szOwner[20];         /*   28: filled by the server */
  char     szName[64];          /*   48 */
  char     szCondition[1024];   /*  112: report condition (server/README.md) */
  char     szDescription[3096]; /* 1136 */
} FAXREPORTMODEL;               /* 4232 bytes */
#define QZ_REPORT_BY_USER       0u
#define QZ_REPORT_BY_DEPARTMENT 1u
#define QZ_REPORT_BY_LINE       2u
#define QZ_REPORT_BY_DAY        3u
#define QZ_REPORT_BY_MONTH      4u
#define QZ_REPORT_ALL      0u
#define QZ_REPORT_SENT     1u
#define QZ_REPORT_RECEIVED 2u

/* The answer of rpcQueryReport: a header, then dwRows rows. */
typedef struct FAXREPORTHEADER {
  uint32_t dwSize;        /*  0: 16 */
  uint32_t dwRows;        /*  4 */
  uint32_t dwGroupBy;     /*  8 */
  uint32_t dwTemplateID;  /* 12: 0 without a template */
} FAXREPORTHEADER;        /* 16 bytes */
typedef struct FAXREPORTROW {
  char     szKey[32];     /*  0: user, department, line number, "YYYY-MM-DD" or "YYYY-MM" */
  uint32_t dwFaxes;       /* 32 */
  uint32_t dwSent;        /* 36 */
  uint32_t dwReceived;    /* 40 */
  uint32_t dwFailed;      /* 44 */
  uint32_t dwPages;       /* 48 */
  uint32_t dwSeconds;     /* 52: total duration */
  uint32_t dwReserved[2]; /* 56 */
} FAXREPORTROW;           /* 64 bytes */
#define QZ_SIZEOF_FAXREPORTHEADER 16
#define QZ_SIZEOF_FAXREPORTROW    64

QZ_ADMIN_SIZE_CHECK(DEVICEINFO_TABLE, QZ_SIZEOF_DEVICEINFO_TABLE);
QZ_ADMIN_SIZE_CHECK(PORTINFO_TABLE, QZ_SIZEOF_PORTINFO_TABLE);
QZ_ADMIN_SIZE_CHECK(LINECHECK_TABLE, QZ_SIZEOF_LINECHECK_TABLE);
QZ_ADMIN_SIZE_CHECK(PORT_CURRENT_STATUS, QZ_SIZEOF_PORT_CURRENT_STATUS);
QZ_ADMIN_SIZE_CHECK(SCRIPTINFO, QZ_SIZEOF_SCRIPTINFO);
QZ_ADMIN_SIZE_CHECK(DIALRULE_TABLE, QZ_SIZEOF_DIALRULE_TABLE);
QZ_ADMIN_SIZE_CHECK(PREFIXINFO_TABLE, QZ_SIZEOF_PREFIXINFO_TABLE);
QZ_ADMIN_SIZE_CHECK(FAXAUTORECVINFO_TABLE, QZ_SIZEOF_FAXAUTORECVINFO_TABLE);
QZ_ADMIN_SIZE_CHECK(AUTORECVHISTORY_TABLE, QZ_SIZEOF_AUTORECVHISTORY_TABLE);
QZ_ADMIN_SIZE_CHECK(AUTHORIZEDINFO_TABLE, QZ_SIZEOF_AUTHORIZEDINFO_TABLE);
QZ_ADMIN_SIZE_CHECK(ROUTERCONFIG_TABLE, QZ_SIZEOF_ROUTERCONFIG_TABLE);
QZ_ADMIN_SIZE_CHECK(PRINTERINFO, QZ_SIZEOF_PRINTERINFO);
QZ_ADMIN_SIZE_CHECK(SYSLOG_TABLE, QZ_SIZEOF_SYSLOG_TABLE);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_GENERAL, QZ_SIZEOF_CONFIG_SECTION0);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_SENDQUEUE, QZ_SIZEOF_CONFIG_SECTION1);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_PATHS, QZ_SIZEOF_CONFIG_SECTION2);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_NOTIFY, QZ_SIZEOF_CONFIG_SECTION3);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_RECEIVE, QZ_SIZEOF_CONFIG_SECTION4);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_LOGS, QZ_SIZEOF_CONFIG_SECTION5);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_ALL, QZ_SIZEOF_CONFIG_SECTION6);
QZ_ADMIN_SIZE_CHECK(QZCONFIG_STRINGPAIR, 256);
QZ_ADMIN_SIZE_CHECK(FAXREPORTMODEL, QZ_SIZEOF_FAXREPORTMODEL);
QZ_ADMIN_SIZE_CHECK(FAXREPORTHEADER, QZ_SIZEOF_FAXREPORTHEADER);
QZ_ADMIN_SIZE_CHECK(FAXREPORTROW, QZ_SIZEOF_FAXREPORTROW);

#endif /* QZCSIF_QZRECORDS_ADMIN_H_ */
