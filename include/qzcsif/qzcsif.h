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

/* The fax server's own statuses (QZ_S_*), which exports pass through. */
#include "qzcsif/qzstatus_server.h"

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

/* Records the fax server lays out (qzrecords_send.h); the library passes
   them through as bytes and uses only the sizes QZ_SIZEOF_*. */
typedef struct FAXJOB_TABLE FAXJOB_TABLE;       /* first 32-bit field: its own length */
typedef struct SENDRESULT_TABLE SENDRESULT_TABLE; /* 44 bytes, one per submitted fax */
typedef struct TRANSFERFAX_TABLE TRANSFERFAX_TABLE; /* 12 bytes; offset 4: its item count */
typedef struct TRANSFERFAX_ITEM TRANSFERFAX_ITEM; /* 164 bytes */
typedef struct SENDTASK_TABLE SENDTASK_TABLE;   /* 1024 bytes */
typedef struct RECVTASK_TABLE RECVTASK_TABLE;   /* 796 bytes */
typedef struct TASKPRIORITY TASKPRIORITY;       /* 12 bytes */
typedef struct TASKINFO TASKINFO;               /* 16 bytes */
typedef struct COVERPAGEFIELD_TABLE COVERPAGEFIELD_TABLE; /* 96 bytes */

/* A fax job described by a connection record (SendFaxFromConn). The
   library sends it field by field; what the fields mean is the server's.
   Text fields hold at most their size - 1 characters and a NUL (a longer
   text is cut). pItems points to nItemCount CONNSENDITEM records of 168
   bytes each, pData to nDataLength bytes; either may be NULL, and then
   nothing of it is sent. On the wire the record is the 904-byte layout
   with 4-byte pointers; in memory the pointers are native, so the struct
   is 904 bytes only where pointers have 4 bytes. */
typedef struct CONNSENDINFO {
  int32_t        nValue1;       /*   0 */
  int32_t        nValue2;       /*   4 */
  int32_t        nValue3;       /*   8 */
  char           szText1[256];  /*  12 */
  int32_t        nItemCount;    /* 268: CONNSENDITEM records at pItems */
  const uint8_t* pItems;        /* 272 */
  char           szText2[256];  /* 276 (280 with 8-byte pointers) */
  int32_t        nValue4;
  int32_t        nValue5;
  int32_t        nValue6;
  int32_t        nValue7;
  char           szText3[30];
  int32_t        nValue8;
  double         dReal1;
  double         dReal2;
  char           szText4[32];
  char           szText5[128];
  char           szText6[128];
  int32_t        nValue9;
  int32_t        nDataLength;   /* bytes at pData */
  const uint8_t* pData;         /* 896 with 4-byte pointers */
#if UINTPTR_MAX == 0xFFFFFFFFu
  uint32_t       dwReserved;    /* 900: pads to the 904-byte layout */
#endif
} CONNSENDINFO;

/* Request and answer of the rendering of a connection record to TIFF
   (the server's version comes back into the caller's record). */
typedef struct PRINTTOTIFFINFO {
  char    szText1[256];
  char    szText2[256];
  int32_t nValue1;
  int32_t nValue2;
} PRINTTOTIFFINFO;           /* 520 bytes */

#define QZ_SIZEOF_CONNSENDINFO   904  /* with 4-byte pointers */
#define QZ_SIZEOF_PRINTTOTIFFINFO 520

#if defined(__cplusplus)
#define QZ_SEND_STATIC_ASSERT_ static_assert
#else
#define QZ_SEND_STATIC_ASSERT_ _Static_assert
#endif
QZ_SEND_STATIC_ASSERT_(sizeof(PRINTTOTIFFINFO) == QZ_SIZEOF_PRINTTOTIFFINFO,
                       "PRINTTOTIFFINFO is 520 bytes");
#if UINTPTR_MAX == 0xFFFFFFFFu
QZ_SEND_STATIC_ASSERT_(sizeof(CONNSENDINFO) == QZ_SIZEOF_CONNSENDINFO,
                       "CONNSENDINFO is 904 bytes with 4-byte pointers");
#elif UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
QZ_SEND_STATIC_ASSERT_(sizeof(CONNSENDINFO) == 912,
                       "CONNSENDINFO is 912 bytes with 8-byte pointers");
#endif
#undef QZ_SEND_STATIC_ASSERT_

/* Submits dwFaxNum fax jobs laid end to end at pFaxInfo (each record
   starts with its own length). pResultArray has room for dwFaxNum result
   entries, which the server fills. QZ_E_INVALIDARG for a null pointer or
   no job; QZ_E_ACCESSVIOLATION when the last result entry is not
   writable. */
QZAPI uint32_t RemoteSendFax(uint32_t dwServerID, const FAXJOB_TABLE* pFaxInfo,
                             uint32_t dwFaxNum, SENDRESULT_TABLE* pResultArray);
/* Sends faxes the server holds: dwFaxNum transfer headers, then all their
   items, in one buffer. The right is tested before the arguments; a null
   pResultArray ends with QZ_E_ACCESSVIOLATION. */
QZAPI uint32_t RemoteTransmitFax(uint32_t dwServerID, const TRANSFERFAX_TABLE* pFaxArray,
                                 uint32_t dwFaxNum, SENDRESULT_TABLE* pResultArray);
/* Submits the job a connection record describes. Not traced. */
QZAPI uint32_t SendFaxFromConn(uint32_t dwServerID, const CONNSENDINFO* pcsinfo);
/* Submits a draft stored on the server. */
QZAPI uint32_t SendFaxFromDraft(uint32_t dwServerID, uint32_t dwDraftID);
/* Stops the sending of dwFaxNum tasks. */
QZAPI uint32_t RemoteSendFaxStop(uint32_t dwServerID, const uint32_t* pFaxIDArray,
                                 uint32_t dwFaxNum);
/* Reads send tasks (dwGetFlag 0 or 1, else QZ_E_BADOPTYPE; dwFaxID as the
   server reads it). Pass *ppInfo NULL and *pdwRecordCount 0: a buffer
   passed in would be sent. On success *ppInfo holds *pdwRecordCount
   records (free with RDMemFree); on a server refusal the count is left as
   the byte count that came back. */
QZAPI uint32_t RemoteViewSendTask(uint32_t dwServerID, uint32_t dwGetFlag, uint32_t dwFaxID,
                                  SENDTASK_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Authorises (or refuses) a fax held for authorisation. */
QZAPI uint32_t RemoteAuthToFax(uint32_t dwServerID, uint32_t dwFaxID, uint32_t dwAuthFlag);
/* Locks dwFaxNum tasks; dwLockFlag is only written to the trace log. */
QZAPI uint32_t RemoteLockTask(uint32_t dwServerID, const uint32_t* pdwArray, uint32_t dwFaxNum,
                              uint32_t dwLockFlag);
/* Changes the priorities of dwFaxNum tasks. */
QZAPI uint32_t RemoteEditTaskPRI(uint32_t dwServerID, const TASKPRIORITY* pTaskInfo,
                                 uint32_t dwFaxNum);
/* Deletes dwFaxNum tasks. A server refusal is returned but not recorded. */
QZAPI uint32_t RemoteDeleteTask(uint32_t dwServerID, const uint32_t* dwTskList,
                                uint32_t dwFaxNum, uint32_t dwDelFlag);
/* Reads the progress of dwFaxNum tasks: *ppInfo receives *pdwRecordCount
   records (free with RDMemFree). Both outputs are cleared first; a null
   one is refused with QZ_E_INVALIDARG. */
QZAPI uint32_t RemoteGetTaskProgress(uint32_t dwServerID, const uint32_t* dwFaxIDArray,
                                     uint32_t dwFaxNum, TASKINFO** ppInfo,
                                     uint32_t* pdwRecordCount);
/* Rewrites dwFaxNum send tasks. */
QZAPI uint32_t RemoteEditSendTask(uint32_t dwServerID, const SENDTASK_TABLE* pTaskInfo,
                                  uint32_t dwFaxNum);
/* Reads the tasks awaiting authorisation: *ppTaskInfo receives *pdwFaxNum
   records (free with RDMemFree). Both outputs are cleared first; a null
   count is refused with QZ_E_INVALIDARG. */
QZAPI uint32_t RemoteGetAuthTasks(uint32_t dwServerID, SENDTASK_TABLE** ppTaskInfo,
                                  uint32_t* pdwFaxNum);

/* ------------------------------------------------------------------ */
/* Server service control                                              */
/* ------------------------------------------------------------------ */

/* Records the fax server lays out (qzrecords_send.h). */
typedef struct SERVERCAPS SERVERCAPS;   /* 440 bytes */
typedef struct BACKUPINFO BACKUPINFO;   /* 300 bytes; offset 30: a text that must not be empty */

/* These four bind to the service-control interface for the one call and
   return 0 on success, otherwise a status: the binding's status, the
   server's answer, or the code of an RPC failure during the call.
   ServerStart, ServerStop and ServerBackup record QZ_E_INVALIDARG in the
   thread's error record (GetLastErrorInfo); ServerBackup records its
   binding failures (HRESULT form) and server refusals there too. */

/* Starts the fax service on szSvrHostName (dwCommand 0 or 1, the two start
   modes), authenticating szUserID / szUserPwd. */
QZAPI uint32_t ServerStart(const char* szSvrHostName, const char* szUserID,
                           const char* szUserPwd, uint32_t dwCommand);
/* Stops the fax service of the logged-in server (dwCommand 2 to 6). */
QZAPI uint32_t ServerStop(uint32_t dwServerID, uint32_t dwCommand);
/* Asks the logged-in server for a backup (dwBackupType 0 or another value
   choose the two kinds). */
QZAPI uint32_t ServerBackup(uint32_t dwServerID, const BACKUPINFO* pBackupInfo,
                            uint32_t dwBackupType);
/* Reads the capabilities of the server on szHostName into the caller's
   record (not over local-only transports). Not traced. */
QZAPI uint32_t GetServerCaps(const char* szHostName, const char* szUserID,
                             SERVERCAPS* pServerCaps);

/* ------------------------------------------------------------------ */
/* Message store                                                       */
/* ------------------------------------------------------------------ */

/* Folder, fax view, received-message and address-relation records (layouts
   in qzrecords_store.h / qzrecords_send.h; sizes QZ_SIZEOF_*). */
typedef struct FOLDERINFO_TABLE FOLDERINFO_TABLE;
typedef struct FAXVIEW_TABLE FAXVIEW_TABLE;
typedef struct RECVTASK_TABLE RECVTASK_TABLE;
typedef struct ADDRRELATION_TABLE ADDRRELATION_TABLE;

/* Items of eight kinds (dwInfoType 0-7) inside a folder. The folder record
   travels whole; the library tests the user's folder rights (dwRights of
   the folder's class) before creating, editing, moving and deleting, and
   refuses a folder whose kind is outside 1-8 (QZ_E_FOLDERKIND) or whose
   class is outside 0-2 (QZ_E_FOLDERCLASS). Item buffers are opaque to the
   library. pInfo must not be NULL and dwSize not 0 (QZ_E_INVALIDARG);
   dwInfoType above 7 gives QZ_E_INVALIDARG, a missing right
   QZ_E_ACCESSDENIED. */
/* Creates an item; the server's version of the item comes back into pInfo. */
QZAPI uint32_t RemoteNewInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                    uint32_t dwInfoType, void* pInfo, uint32_t dwSize);
/* Lists the items of a kind: *ppInfo receives a block of *pdwSize bytes
   (free it with RDMemFree). Both outputs are cleared first, so both must be
   valid. */
QZAPI uint32_t RemoteGetInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                    uint32_t dwInfoType, void** ppInfo, uint32_t* pdwSize);
/* As RemoteGetInformation, with a condition (NULL: ""); a NULL output
   pointer gives QZ_E_INVALIDARG. */
QZAPI uint32_t RemoteGetInformationEx(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                      uint32_t dwInfoType, const char* pWhere, void** ppInfo,
                                      uint32_t* pdwSize);
/* Changes an item; kind 5 cannot be edited (QZ_E_INVALIDARG). */
QZAPI uint32_t RemoteEditInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                     uint32_t dwInfoType, const void* pInfo, uint32_t dwSize);
/* Moves items from one folder to another; both folders are tested. */
QZAPI uint32_t RemoteMoveInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhSource,
                                     const FOLDERINFO_TABLE* fhTarget, uint32_t dwInfoType,
                                     const void* pInfo, uint32_t dwSize);
/* Deletes items. */
QZAPI uint32_t RemoteDeleteInformation(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                       uint32_t dwInfoType, const void* pInfo, uint32_t dwSize);
/* The folders of one kind (1-8, else QZ_E_INVALIDARG): *ppInfo receives
   *pdwRecordCount records (free with RDMemFree). Pass *ppInfo NULL. */
QZAPI uint32_t RemoteGetFolders(uint32_t dwServerID, uint32_t dwFolderType,
                                FOLDERINFO_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* The fax view records the condition selects (NULL: ""); outputs are
   cleared first. Free the block with RDMemFree. */
QZAPI uint32_t RemoteGetFaxViewRecord(uint32_t dwServerID, const char* pszCond,
                                      FAXVIEW_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Deletes the fax view records the condition selects. */
QZAPI uint32_t RemoteDelFaxViewRecord(uint32_t dwServerID, const char* pszCond);
/* Sets the flag of one fax view record (read/unread and the like). */
QZAPI uint32_t RemoteSetFaxViewFlag(uint32_t dwServerID, uint32_t dwFaxID, uint32_t nFlag);
/* The caller's address book (dwFlag 0) or its extended form (1; other
   values QZ_E_INVALIDARG): *ppInfo receives *pdwSize bytes (free with
   RDMemFree). Pass *ppInfo NULL. */
QZAPI uint32_t RemoteGetAddressBookEx(uint32_t dwServerID, uint32_t dwFlag, void** ppInfo,
                                      uint32_t* pdwSize);
/* The relations of an address (dwAddrType 0 or 1, else QZ_E_INVALIDARG):
   *ppAddrRelation receives *pdwCount records (free with RDMemFree);
   outputs are cleared first. */
QZAPI uint32_t RemoteGetAddressRelation(uint32_t dwServerID, uint32_t dwAddressID,
                                        uint32_t dwAddrType, ADDRRELATION_TABLE** ppAddrRelation,
                                        uint32_t* pdwCount);
/* Details of newly received messages of a folder for the nCount fax IDs:
   *ppDetail receives *pcRet records (free with RDMemFree); *pcRet is
   cleared first. Pass *ppDetail NULL. */
QZAPI uint32_t RemoteGetNewReceivedMessages(uint32_t dwServerID, const FOLDERINFO_TABLE* fhParent,
                                            const uint32_t* dwFaxIDArray, uint32_t nCount,
                                            RECVTASK_TABLE** ppDetail, uint32_t* pcRet);

/* ------------------------------------------------------------------ */
/* Users and departments                                               */
/* ------------------------------------------------------------------ */

/* Department and user detail records (layouts in qzrecords_store.h). */
typedef struct DEPTINFO_TABLE DEPTINFO_TABLE;
typedef struct USERDETAIL_TABLE USERDETAIL_TABLE;

/* Changes departments (dwCommand 1-4, else QZ_E_BADOPTYPE); needs bit 0x1
   of dwRights[3] (QZ_E_ACCESSDENIED). No records gives QZ_E_INVALIDARG. */
QZAPI uint32_t RemoteDeptOP(uint32_t dwServerID, uint32_t dwCommand,
                            const DEPTINFO_TABLE* pDeptInfo, uint32_t dwRecordCount);
/* The departments the condition selects (NULL: ""); needs bit 0x2 of
   dwRights[3]. *ppDeptInfo receives *pdwRecordCount records (free with
   RDMemFree); outputs are cleared first. */
QZAPI uint32_t RemoteGetDeptData(uint32_t dwServerID, const char* pszCondition,
                                 DEPTINFO_TABLE** ppDeptInfo, uint32_t* pdwRecordCount);
/* A user's record. Operations 0 and 1 on the caller's own identifier (or
   NULL) need no right, anything else bit 0x2 of dwRights[3]. *ppUserInfo
   receives *pdwRecordCount bytes (free with RDMemFree); outputs are
   cleared first. */
QZAPI uint32_t RemoteGetUserRecord(uint32_t dwServerID, uint32_t dwOpType, const char* pUserID,
                                   void** ppUserInfo, uint32_t* pdwRecordCount);
/* Changes users (dwOpType 0-5, else QZ_E_BADOPTYPE) with records that each
   begin with their own 32-bit length, laid end to end; a length below 4
   gives QZ_E_INVALIDARG, unreadable records QZ_E_ACCESSVIOLATION. Needs
   bit 0x1 of dwRights[3]. */
QZAPI uint32_t RemoteUserOP(uint32_t dwServerID, uint32_t dwOpType, const void* pInfo,
                            uint32_t dwRecordCount);
/* Changes users with whole USERINFO_TABLE records (dwOpType 0-5). */
QZAPI uint32_t RemoteUserBaseOP(uint32_t dwServerID, uint32_t dwOpType,
                                const USERINFO_TABLE* pUserInfo, uint32_t dwRecordCount);
/* Changes user details (dwOpType 1-3). */
QZAPI uint32_t RemoteUserDetailOP(uint32_t dwServerID, uint32_t dwOpType,
                                  const USERDETAIL_TABLE* pInfo, uint32_t dwRecordCount);

/* ------------------------------------------------------------------ */
/* File transfer, drafts and fax import                                */
/* ------------------------------------------------------------------ */

/* Target types of the file functions: 0 and 1 fax file, 2 cover page,
   3 script; above 3 QZ_E_INVALIDARG. Names are passed to the server as
   they are. These functions need no rights; a NULL pointer the server
   needs gives 1780. Server results come back unchanged. */
/* Has the server fetch file dwID (scripts: pszTargetFileName) into
   pszRecFileName; *pdwValue receives the server's value. */
QZAPI uint32_t RemoteReceiveFileFromServer(uint32_t dwServerID, uint32_t dwTargetType,
                                           uint32_t dwID, const char* pszTargetFileName,
                                           const char* pszRecFileName, uint32_t* pdwValue);
/* Has the server replace file dwID with pszNewFileName (required, and for
   scripts pszTargetFileName too: QZ_E_INVALIDARG). */
QZAPI uint32_t RemoteSendFileToServer(uint32_t dwServerID, uint32_t dwTargetType, uint32_t dwID,
                                      const char* pszTargetFileName, const char* pszNewFileName);
/* Deletes a server file; dwDelFlag and dwID are only traced. */
QZAPI uint32_t RemoteDeleteFileFromServer(uint32_t dwServerID, uint32_t dwTargetType,
                                          uint32_t dwDelFlag, uint32_t dwID,
                                          const char* pszTargetFileName);
/* Creates (or truncates) the local file pszFileName and has the server
   write page dwID into it. A file that cannot be created gives its Win32
   code (3: missing folder, 5: access denied) and calls nothing. */
QZAPI uint32_t RemoteGetOnePageFromServer(uint32_t dwServerID, uint32_t dwID,
                                          const char* pszFileName);
/* Imports fax information of type dwType; only the first byte of pInfo
   travels, dwSize as a number. */
QZAPI uint32_t RemoteImportFaxInfo(uint32_t dwServerID, uint32_t dwType, const void* pInfo,
                                   uint32_t dwSize);
/* Stores a new draft: the dwBufSize bytes at pvBuf, whole. */
QZAPI uint32_t NewDraftInformation(uint32_t dwServerID, const void* pvBuf, uint32_t dwBufSize);
/* Replaces a draft with the dwBufSize bytes at pvBuf. */
QZAPI uint32_t EditDraftInformation(uint32_t dwServerID, const void* pvBuf, uint32_t dwBufSize);
/* Reads a draft: *pdwBufSize goes to the server, comes back as the length
   of the block *ppvBuf receives (free with RDMemFree). */
QZAPI uint32_t GetDraftInformation(uint32_t dwServerID, void** ppvBuf, uint32_t* pdwBufSize);
/* Deletes draft dwDraftID. */
QZAPI uint32_t DelDraftInformation(uint32_t dwServerID, uint32_t dwDraftID);

/* ------------------------------------------------------------------ */
/* Lines, devices and scripts                                          */
/* ------------------------------------------------------------------ */

/* Records of this section (layouts in qzrecords_admin.h). Every operation
   needs the rights bit named in dwRights[3] of the caller; a clear bit gives
   QZ_E_ACCESSDENIED. Null data or list pointers and zero counts give
   QZ_E_INVALIDARG. List blocks are the caller's: free them with RDMemFree;
   list exports clear both outputs first, so both must be valid. A status
   of the server is returned unchanged. */
typedef struct DEVICEINFO_TABLE DEVICEINFO_TABLE;       /* 64 bytes */
typedef struct PORTINFO_TABLE PORTINFO_TABLE;           /* 88 bytes */
typedef struct LINECHECK_TABLE LINECHECK_TABLE;         /* 48 bytes */
typedef struct PORT_CURRENT_STATUS PORT_CURRENT_STATUS; /* 96 bytes */
typedef struct SCRIPTINFO SCRIPTINFO; /* length-prefixed: first 32 bits = its length */

/* Sends a device command with dwSize bytes at pInfo (0x4). */
QZAPI uint32_t RemoteDeviceOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                              uint32_t dwSize);
/* Lists the fax devices (0x4); pszCondition is traced, not sent. */
QZAPI uint32_t RemoteGetDeviceInfo(uint32_t dwServerID, const char* pszCondition,
                                   DEVICEINFO_TABLE** ppDeviceInfo, uint32_t* pdwRecordCount);
/* Lists the lines the condition selects (0x8). After a server failure
   *pdwRec holds the byte count of the block, not a record count. */
QZAPI uint32_t RemoteGetPortList(uint32_t dwServerID, const char* pszCondition,
                                 PORTINFO_TABLE** ppInfo, uint32_t* pdwRec);
/* Lists line limitation rules (0x8); dwOP is traced, not sent. After a
   server failure *pdwRecordCount holds the block's byte count. */
QZAPI uint32_t RemoteGetPortLimited(uint32_t dwServerID, uint32_t dwOP, const char* pParam,
                                    LINECHECK_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Changes dwRecordCount line limitation rules (0x4). */
QZAPI uint32_t RemotePortLimitedOP(uint32_t dwServerID, uint32_t dwCommand, LINECHECK_TABLE* pInfo,
                                   uint32_t dwRecordCount);
/* Sets the run state of dwRecordCount lines (0x4). */
QZAPI uint32_t RemoteSetPortStatus(uint32_t dwServerID, PORTINFO_TABLE* pPortInfo,
                                   uint32_t dwRecordCount);
/* Takes dwRecordCount lines out of service (0x4). */
QZAPI uint32_t RemoteStopLine(uint32_t dwServerID, PORTINFO_TABLE* pPortInfo,
                              uint32_t dwRecordCount);
/* Script files (0x4000): command 1 sends dwRecordCount SCRIPTINFO records,
   command 3 dwRecordCount 32-bit IDs. Another command, or script records
   that cannot be read or are malformed: QZ_E_ACCESSVIOLATION. */
QZAPI uint32_t RemoteScriptFileOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                                  uint32_t dwRecordCount);
/* Lists the server's scripts (0x8000) as a length-prefixed list. A reply
   that does not hold whole records gives 1783 (RPC_X_BAD_STUB_DATA). */
QZAPI uint32_t RemoteGetScripts(uint32_t dwServerID, SCRIPTINFO** ppScriptInfo,
                                uint32_t* pdwRecordCount);
/* Live status of every line; needs no rights bit. */
QZAPI uint32_t RemoteGetPortRealInfo(uint32_t dwServerID, PORT_CURRENT_STATUS** ppInfo,
                                     uint32_t* pdwRec);

/* ------------------------------------------------------------------ */
/* Dialing, routing and authorization                                  */
/* ------------------------------------------------------------------ */

/* Records of this section (layouts in qzrecords_admin.h). Rights are bits
   of dwRights[3] (QZ_E_ACCESSDENIED when clear). The five write operations
   take operation codes 0 to 3 (QZ_E_INVALIDARG above); a null pInfo or a
   zero count gives QZ_E_INVALIDARG. Returned lists belong to the caller
   (RDMemFree); list exports clear both outputs first. */
typedef struct DIALRULE_TABLE DIALRULE_TABLE;     /* length-prefixed */
typedef struct PREFIXINFO_TABLE PREFIXINFO_TABLE; /* length-prefixed */
typedef struct FAXAUTORECVINFO_TABLE FAXAUTORECVINFO_TABLE; /* 168 bytes */
typedef struct AUTORECVHISTORY_TABLE AUTORECVHISTORY_TABLE; /* 200 bytes */
typedef struct AUTHORIZEDINFO_TABLE AUTHORIZEDINFO_TABLE;   /* 34 bytes, unpadded */
typedef struct ROUTERCONFIG_TABLE ROUTERCONFIG_TABLE;       /* 204 bytes */
typedef struct PRINTERINFO PRINTERINFO;                     /* 280 bytes */

/* Sends dwRecordCount dial rules (0x1000). Records that cannot be read or
   are malformed (a length below 4) give 0xC0000005. */
QZAPI uint32_t RemoteDialRuleOP(uint32_t dwServerID, uint32_t dwCommand, DIALRULE_TABLE* pInfo,
                                uint32_t dwRecordCount);
/* Lists dial rules (0x2000); 1783 when the reply is not whole records. */
QZAPI uint32_t RemoteGetDialRule(uint32_t dwServerID, const char* pszCondition,
                                 DIALRULE_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Not offered: always E_NOTIMPL. */
QZAPI uint32_t RemoteCheckDialRule(uint32_t dwServerID, uint32_t dwDialRuleID, uint32_t dwParam);
/* Lists automatic-reception entries (0x2000). */
QZAPI uint32_t RemoteGetAutoRecvInfo(uint32_t dwServerID, const char* pszCondition,
                                     FAXAUTORECVINFO_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Changes automatic-reception entries: code 3 sends dwRecordCount 32-bit
   IDs, codes 0 to 2 FAXAUTORECVINFO_TABLE records. No rights bit. */
QZAPI uint32_t RemoteAutoRecvOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                                uint32_t dwRecordCount);
/* Changes authorization entries (0x20000); records for every code. */
QZAPI uint32_t RemoteAuthorizedOP(uint32_t dwServerID, uint32_t dwCommand,
                                  AUTHORIZEDINFO_TABLE* pInfo, uint32_t dwRecordCount);
/* Lists authorization entries (0x2000). */
QZAPI uint32_t RemoteGetAuthorizedInfo(uint32_t dwServerID, const char* pszCond,
                                       AUTHORIZEDINFO_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Changes routing entries (0x80): code 3 sends 32-bit IDs, codes 0 to 2
   ROUTERCONFIG_TABLE records. */
QZAPI uint32_t RemoteRouterOP(uint32_t dwServerID, uint32_t dwCommand, void* pInfo,
                              uint32_t dwRecordCount);
/* Lists routing entries (0x100). */
QZAPI uint32_t RemoteGetRouterInfo(uint32_t dwServerID, const char* pszCondition,
                                   ROUTERCONFIG_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Lists the prefix table (0x2000); 1783 when the reply is not whole records. */
QZAPI uint32_t RemoteGetPrefixTable(uint32_t dwServerID, const char* pszCondition,
                                    PREFIXINFO_TABLE** ppInfo, uint32_t* pdwRecordCount);
/* Changes one prefix-table record (0x1000); dwRecordCount must be 1. */
QZAPI uint32_t RemotePrefixTableOP(uint32_t dwServerID, uint32_t dwFlag, PREFIXINFO_TABLE* pInfo,
                                   uint32_t dwRecordCount);
/* Lists the server's printers; no rights bit. *pdwRecCount is written
   after every answered call, also when the server refused. */
QZAPI uint32_t RemoteQueryServerPrinters(uint32_t dwServerID, PRINTERINFO** ppInfo,
                                         uint32_t* pdwRecCount);
/* Reads the automatic-reception history; no rights bit. A null ppInfo or
   pdwCount gives QZ_E_BADPARAM before anything else. */
QZAPI uint32_t RemoteGetFaxAutoRecvHistory(uint32_t dwServerID, const char* szCond,
                                           AUTORECVHISTORY_TABLE** ppInfo, uint32_t* pdwCount);
/* Deletes automatic-reception history entries (the name lacks its last
   letter); no rights bit. */
QZAPI uint32_t RemoteDelFaxAutoRecvHistor(uint32_t dwServerID, const char* szCond);

/* ------------------------------------------------------------------ */
/* Logs and system configuration (continued)                           */
/* ------------------------------------------------------------------ */

/* Bad arguments give QZ_E_BADPARAM; a failure status of the server is
   also kept as the session's last error. Rights are bits of dwRights[3]. */
typedef struct SYSLOG_TABLE SYSLOG_TABLE; /* 440 bytes */

/* Configuration section sizes in bytes, by section number 0 to 6. */
#define QZ_CONFIG_SECTION0_SIZE 1560
#define QZ_CONFIG_SECTION1_SIZE   24
#define QZ_CONFIG_SECTION2_SIZE 1044
#define QZ_CONFIG_SECTION3_SIZE  110
#define QZ_CONFIG_SECTION4_SIZE  164
#define QZ_CONFIG_SECTION5_SIZE  288
#define QZ_CONFIG_SECTION6_SIZE 4012
/* Section 6 holds sections 0 to 5 end to end (3190 bytes) and then data
   of its own. */

/* Writes one named configuration value (dwType 1; 0x20): dwFieldType 0 a
   string at pValue, 1 a 32-bit value at pValue, 2 two strings at pValue
   and pValue + 120 (pName is then not sent). dwType 0 (reading) and
   dwFieldType 3 give E_NOTIMPL. *pdwBufSize is the value's size, traced
   only. A server failure is returned but not kept. */
QZAPI uint32_t RemoteAccessConfig(uint32_t dwServerID, uint32_t dwType, const char* pName,
                                  uint32_t dwFieldType, void* pValue, uint32_t* pdwBufSize);
/* Reads configuration section dwGetFlag (0 to 6; 0x40) into pvBuff. When
   *dwSize is below the section's size: QZ_E_BUFFERTOOSMALL with the size
   needed in *dwSize, nothing sent. Otherwise *dwSize bytes travel both
   ways. */
QZAPI uint32_t RemoteGetSystemConfig(uint32_t dwServerID, uint32_t dwGetFlag, void* pvBuff,
                                     uint32_t* dwSize);
/* Writes configuration section dwSetFlag (0 to 6; 0x20) from pvBuff,
   exactly the section's size (dwSize is traced only). Section 6 writes
   sections 0 to 5 in turn and stops at the first failure. */
QZAPI uint32_t RemoteSetSystemConfig(uint32_t dwServerID, uint32_t dwSetFlag, void* pvBuff,
                                     uint32_t dwSize);
/* Reads the system log entries the condition selects (0x400). */
QZAPI uint32_t RemoteQuerySysLog(uint32_t dwServerID, const char* pszCondition,
                                 SYSLOG_TABLE** ppSysLog, uint32_t* pdwRecordCount);
/* Deletes the system log entries the condition selects (0x800). */
QZAPI uint32_t RemoteDelSysLog(uint32_t dwServerID, const char* pszCondition);
/* Not offered: clears its outputs and returns E_NOTIMPL. */
QZAPI uint32_t RemoteBackupSysLog(uint32_t dwServerID, const char* pszCondition,
                                  SYSLOG_TABLE** ppSysLog, uint32_t* pdwRecordCount);

/* ------------------------------------------------------------------ */
/* Report templates and report queries                                 */
/* ------------------------------------------------------------------ */

/* No rights bit is tested here: the server decides. Argument failures
   (QZ_E_INVALIDARG) and server statuses are returned without being kept
   as the session's last error. Returned blocks belong to the caller
   (RDMemFree). */
typedef struct FOLDERINFO_TABLE FOLDERINFO_TABLE; /* 104 bytes */
typedef struct FAXREPORTMODEL FAXREPORTMODEL;     /* 4232 bytes */

/* Lists the templates of folder fhParent. *ppInfo must be NULL on entry;
   *pdwRecordCount is written only on success. */
QZAPI uint32_t RemoteGetReportTemplates(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                        FAXREPORTMODEL** ppInfo, uint32_t* pdwRecordCount);
/* Reads one template. A null ppInfo or pdwRecordCount gives QZ_E_BADPARAM
   before the server ID is checked; both are cleared first. */
QZAPI uint32_t RemoteGetReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                       uint32_t nReportTemplateID, FAXREPORTMODEL** ppInfo,
                                       uint32_t* pdwRecordCount);
/* Creates dwRecordCount templates in folder fhParent. */
QZAPI uint32_t RemoteNewReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                       FAXREPORTMODEL* pInfo, uint32_t dwRecordCount);
/* Changes dwRecordCount templates of folder fhParent. */
QZAPI uint32_t RemoteEditReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                        FAXREPORTMODEL* pInfo, uint32_t dwRecordCount);
/* Deletes template nReportID of folder fhParent. */
QZAPI uint32_t RemoteDeleteReportTemplate(uint32_t dwServerID, FOLDERINFO_TABLE* fhParent,
                                          uint32_t nReportID);
/* Runs a report query; *ppvData receives *pdwSize bytes of report data.
   Pass *ppvData NULL and *pdwSize 0. */
QZAPI uint32_t RemoteQueryReport(uint32_t dwServerID, const char* lpReportSql, void** ppvData,
                                 uint32_t* pdwSize);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#endif /* QZCSIF_QZCSIF_H_ */
