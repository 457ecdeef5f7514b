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
