/*
 * qzcsif.h -- public interface of the qzcsif fax client library.
 *
 * Conventions
 *  - Every function has C linkage and takes and returns 32-bit values
 *    (pointers are native). Statuses are uint32_t.
 *  - Session exports return 1 on success; the lifecycle exports and the
 *    service-control exports return 0 on success. Any other value is a
 *    status: a library status QZ_E_* (0xC1FFxxxx), a status of the fax
 *    server passed through unchanged, a raw RPC/Win32 number (for example
 *    1722 when the server is unavailable), its HRESULT form
 *    (status & 0xFFFF) | 0x80070000, or E_NOTIMPL.
 *  - A server ID comes from LogInServer and names the one live session of
 *    the process; an ID that is no longer live is refused with
 *    QZ_E_BADSERVERID and is never handed out again.
 *  - Blocks the library returns through a pointer-to-pointer argument are
 *    allocated with RDMemAlloc and belong to the caller, who frees them
 *    with RDMemFree.
 *  - Every traced call is appended to "qzlogfile.qzx" in the current
 *    directory (created with mode 0600). Passwords are never written.
 *  - Thread safety: calls may come from any thread. Creating the session
 *    (LogInServer) and ending it (QZIfUninitialize) must not overlap other
 *    calls; the caller serialises them.
 */
#ifndef QZCSIF_QZCSIF_H_
#define QZCSIF_QZCSIF_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QZCSIF_BUILDING)
#define QZAPI __attribute__((visibility("default")))
#else
#define QZAPI
#endif

/* ------------------------------------------------------------------ */
/* Statuses                                                            */
/* ------------------------------------------------------------------ */

#define QZ_OK                 1u          /* success of a session export */
#define QZ_E_TRACEFAILED      0xC1FF0001u /* a call-log entry could not be written */
#define QZ_E_BADPARAM         0xC1FF0005u /* an argument is out of range or null */
#define QZ_E_OUTOFMEMORY      0xC1FF0007u /* no memory for the session object */
#define QZ_E_INVALIDARG       0xC1FF3001u /* a required argument is null, zero or empty */
#define QZ_E_BADSERVERID      0xC1FF3002u /* not the live, logged-in session */
#define QZ_E_ACCESSDENIED     0xC1FF300Cu /* the user lacks the permission bit */
#define QZ_E_FOLDERKIND       0xC1FF300Fu /* folder kind outside 1..8 */
#define QZ_E_FOLDERCLASS      0xC1FF3010u /* folder class outside 0..2 */
#define QZ_E_INFOCOLUMN       0xC1FF3011u /* information column outside 0..8 */
#define QZ_E_ACCESSMODE       0xC1FF3012u /* access mode outside 1..2 */
#define QZ_E_BADOPTYPE        0xC1FF3015u /* operation code or selector out of range */
#define QZ_E_NOTLOGGEDIN      0xC1FF3016u /* the session is not logged in */
#define QZ_E_ACCESSVIOLATION  0xC1FF3018u /* reading the caller's buffer faulted */
#define QZ_E_BUFFERTOOSMALL   0xC1FF301Au /* the caller's buffer is too small */
#define QZ_E_ALREADYLOGGEDIN  0xC1FF301Eu /* a session exists already */

#ifndef E_NOTIMPL
#define E_NOTIMPL             0x80004001u /* the operation is not implemented */
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG          0x80070057u
#endif

/* ------------------------------------------------------------------ */
/* Records                                                             */
/* ------------------------------------------------------------------ */

/* Per-thread error record filled by GetLastErrorInfo. */
typedef struct QZERRORINFO {
  uint32_t dwErrorCode;   /* last status recorded on this thread */
  char     szErrorInfo[128]; /* its text, NUL-terminated */
} QZERRORINFO;             /* 132 bytes */

/* Session key sent with nearly every procedure. */
typedef struct SESSIONKEY {
  char    szUserID[20];   /* NUL-terminated, at most 19 characters */
  int32_t dwSessionNo;
} SESSIONKEY;             /* 24 bytes */

/* A user's record; the last 16 bytes are the four permission masks. */
typedef struct USERINFO_TABLE {
  uint8_t  bUserType;
  char     szUserID[20];
  char     szUserName[32];
  uint8_t  reserved[903];
  uint32_t dwRights[4];
} USERINFO_TABLE;         /* 972 bytes */

/* Server information returned at login and by GetServerInfo. */
typedef struct SERVERINFO {
  uint32_t dwVersion;        /*    0 */
  char     szHostName[31];   /*    4: network address of the server */
  char     szText35[20];     /*   35 */
  char     szText55[31];     /*   55 */
  char     szText86[20];     /*   86 */
  char     szText106[65];    /*  106 */
  uint8_t  bReserved171;     /*  171: not copied by GetServerInfo */
  uint8_t  abValue172[16];   /*  172 */
  uint8_t  abReserved188[496]; /* 188: not copied by GetServerInfo */
  int32_t  dwSessionNo;      /*  684 */
  uint32_t dwReserved688;    /*  688: not copied by GetServerInfo */
  uint8_t  abValue692[16];   /*  692 */
  USERINFO_TABLE UserInfo;   /*  708: the logged-in user's own record */
} SERVERINFO;              /* 1680 bytes */

/* One entry of the server's user log (RemoteQueryUserLog). */
typedef struct USERLOG_TABLE {
  uint32_t dwLogID;          /* increasing number of the entry */
  uint32_t dwTime;           /* seconds since 1970-01-01 UTC */
  char     szUserID[20];     /* user of the call */
  int32_t  dwSessionNo;      /* session of the call */
  uint32_t dwOpnum;          /* procedure number */
  int32_t  lResult;          /* procedure result */
  char     szProcedure[64];  /* procedure name */
  char     szDetail[404];    /* free text */
} USERLOG_TABLE;           /* 508 bytes */

/* Notification records of Advise and Unadvise, passed by value. */
typedef struct ADVISEINFO {
  uint32_t dwValues[15];     /* dwValues[2] (offset 8) must not be 0 */
} ADVISEINFO;              /* 60 bytes */
typedef struct UNADVISEINFO {
  uint32_t dwValues[4];
} UNADVISEINFO;            /* 16 bytes */

/* Record sizes in bytes, as they travel inside record blocks. */
#define QZ_SIZEOF_SERVERINFO            1680
#define QZ_SIZEOF_SESSIONKEY              24
#define QZ_SIZEOF_USERLOG_TABLE          508
#define QZ_SIZEOF_SYSLOG_TABLE           440
#define QZ_SIZEOF_DEPTINFO_TABLE         176
#define QZ_SIZEOF_USERINFO_TABLE         972
#define QZ_SIZEOF_USERDETAIL_TABLE        52
#define QZ_SIZEOF_SENDRESULT_TABLE        44
#define QZ_SIZEOF_TRANSFERFAX_TABLE       12
#define QZ_SIZEOF_TRANSFERFAX_ITEM       164
#define QZ_SIZEOF_SENDTASK_TABLE        1024
#define QZ_SIZEOF_RECVTASK_TABLE         796
#define QZ_SIZEOF_TASKPRIORITY            12
#define QZ_SIZEOF_TASKINFO                16
#define QZ_SIZEOF_AUTHORIZEDINFO_TABLE    34
#define QZ_SIZEOF_FOLDERINFO_TABLE       104
#define QZ_SIZEOF_ADDRRELATION_TABLE       8
#define QZ_SIZEOF_FAXVIEW_TABLE           84
#define QZ_SIZEOF_FAXREPORTMODEL        4232
#define QZ_SIZEOF_COVERPAGEFIELD_TABLE    96
#define QZ_SIZEOF_DEVICEINFO_TABLE        64
#define QZ_SIZEOF_PORTINFO_TABLE          88
#define QZ_SIZEOF_LINECHECK_TABLE         48
#define QZ_SIZEOF_PORT_CURRENT_STATUS     96
#define QZ_SIZEOF_FAXAUTORECVINFO_TABLE  168
#define QZ_SIZEOF_ROUTERCONFIG_TABLE     204
#define QZ_SIZEOF_PRINTERINFO            280
#define QZ_SIZEOF_AUTORECVHISTORY_TABLE  200
#define QZ_SIZEOF_ADVISEINFO              60
#define QZ_SIZEOF_UNADVISEINFO            16
#define QZ_SIZEOF_SERVERCAPS             440
#define QZ_SIZEOF_BACKUPINFO             300
#define QZ_SIZEOF_CONNSENDITEM           168

/* The records of the families, by family. */
#include "qzcsif/qzrecords_send.h"
#include "qzcsif/qzrecords_store.h"
#include "qzcsif/qzrecords_admin.h"

/* ------------------------------------------------------------------ */
/* Lifecycle, server-ID check, memory                                  */
/* ------------------------------------------------------------------ */

/* Maps the message module beside the library. 0, or a Win32 error code. */
QZAPI uint32_t QZIfInitialize(void);
/* Unmaps the message module and ends the session (logging it out). 0. */
QZAPI uint32_t QZIfUninitialize(void);
/* 1 if dwServerID is the live, logged-in session, else 0. */
QZAPI uint32_t IsServerIDValid(uint32_t dwServerID);
/* Zero-filled memory from the process heap; NULL for size 0. */
QZAPI void*    RDMemAlloc(uint32_t dwSize);
/* Frees memory from RDMemAlloc: nonzero on success, 0 for NULL. */
QZAPI uint32_t RDMemFree(void* pMem);

/* Copies this thread's last recorded error into *pInfo. Always 0. */
QZAPI uint32_t GetLastErrorInfo(QZERRORINFO* pInfo);

/* ------------------------------------------------------------------ */
/* Login and session services                                          */
/* ------------------------------------------------------------------ */

/* Logs in to the fax server on the local computer; *pdwServerID gets the
   server ID (0 on failure). QZ_E_ALREADYLOGGEDIN hands out the live ID. */
QZAPI uint32_t LogInServer(uint32_t* pdwServerID);
/* Copies the server information into the caller's 1680-byte record. */
QZAPI uint32_t GetServerInfo(uint32_t dwServerID, SERVERINFO* psvrinfo);
QZAPI uint32_t RemoteChangePassword(uint32_t dwServerID, const char* lpszOldPwd,
                                    const char* lpszNewPwd);
QZAPI uint32_t RemoteSychronizeFromServer(uint32_t dwServerID);
QZAPI uint32_t RemoteSychronizeToServer(uint32_t dwServerID);
QZAPI uint32_t Advise(uint32_t dwServerID, ADVISEINFO info);
QZAPI uint32_t Unadvise(uint32_t dwServerID, UNADVISEINFO info);

/* ------------------------------------------------------------------ */
/* Logs                                                                */
/* ------------------------------------------------------------------ */

/* Reads the user log entries the condition selects ("" or NULL: all).
   *ppUserLog receives a block of *pdwRecordCount records (free it with
   RDMemFree); both outputs are cleared first, so both must be valid. */
QZAPI uint32_t RemoteQueryUserLog(uint32_t dwServerID, const char* pszCondition,
                                  USERLOG_TABLE** ppUserLog, uint32_t* pdwRecordCount);
/* Deletes the user log entries the condition selects. */
QZAPI uint32_t RemoteDelUserLog(uint32_t dwServerID, const char* pszCondition);

/* ------------------------------------------------------------------ */
/* Fax submission and send tasks                                       */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* Server service control                                              */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* Message store                                                       */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* Users and departments                                               */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* File transfer, drafts and fax import                                */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* Lines, devices and scripts                                          */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* Dialing, routing and authorization                                  */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* Logs and system configuration (continued)                           */
/* ------------------------------------------------------------------ */

/* ------------------------------------------------------------------ */
/* Report templates and report queries                                 */
/* ------------------------------------------------------------------ */

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* QZCSIF_QZCSIF_H_ */
