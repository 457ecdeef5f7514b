// server_session.h -- the session object: CServerSession (base) and
// CRpcServerSession (the RPC session the library creates at login).
//
// The session owns the binding to the fax server's main interface, the
// session key, the server information cached at login (with the user's
// permission masks), the state word (0 not logged in, 1 login in progress,
// 2 logged in) and the error slot. It declares 103 virtual operations in
// slot order (0-102); the base answers each unsupported one with
// E_NOTIMPL (0x80004001) and implements QueryInterface, Release, AddRef,
// slots 14 and 15, GetServerInfo and GetErrorInfo. The derived class's
// virtual destructor is the teardown (slot 103).
//
// Building blocks for the operations (protected, for the overrides):
//  - CheckLoggedIn / RequireRight / RequireEitherRight /
//    RequireRightBySelector: return kStatusOk (1) to go on, otherwise the
//    status the operation returns (already stored in the error slot).
//  - GuardedCall / GuardedCallNoRecord / GuardedLogout / GuardedBufferWalk:
//    run a callable that may throw qz::RpcException (or AccessViolation)
//    and turn the exception into the result as the guard variants require.
//  - SumLengthFields / ReadCallerBytes / WriteCallerBytes /
//    RequireReadableBlock: probe caller memory and throw AccessViolation
//    instead of faulting (the walk over self-sized records also refuses
//    malformed lengths); CountReturnedList counts a returned
//    length-prefixed list.
//  - Refuse / RecordBytes / OwnUserId: store-and-return of a refused
//    check, record counts as wire byte counts, the user's own identifier.
//
// Thread-safety: operations may run on several threads at once. The
// reference count and the state are atomic; the error slot is guarded by
// its own mutex (readers get a copy); LogIn and LogOut hold m_csLock.
// The cached server information and the key are written only by LogIn and
// LogOut. Creation and the final Release must not overlap other calls.
#ifndef QZ_SESSION_SERVER_SESSION_H_
#define QZ_SESSION_SERVER_SESSION_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>

#include "core/qz_except.h"
#include "core/rpc_exception.h"
#include "core/status.h"
#include "qzcsif/qzcsif.h"
#include "rpc/binding_api.h"

namespace qz {

// ---- Cached server information -------------------------------------------
inline constexpr size_t kServerInfoSize = 1680;       // SERVERINFO on the wire
inline constexpr size_t kServerInfoCacheSize = 1180;  // m_ServerInfo
// Offsets inside m_ServerInfo.
inline constexpr size_t kCacheSessionNo = 188;
inline constexpr size_t kCacheValue192 = 192;
inline constexpr size_t kCacheUserRecord = 208;
inline constexpr size_t kCacheRights = 1164;  // dwRights[0..3]
// Offsets inside SERVERINFO used at login.
inline constexpr size_t kInfoSessionNo = 684;
inline constexpr size_t kInfoUserId = 709;

static_assert(sizeof(SERVERINFO) == kServerInfoSize);
static_assert(sizeof(SESSIONKEY) == 24);

// The login copy: SERVERINFO (1680 bytes) into the 1180-byte cache. Text
// fields are copied bounded by their size including the NUL (an empty
// source empties the field); the other kept ranges are copied whole.
void CopyServerInfoIn(const uint8_t* info, uint8_t* cache);
// The reverse copy for GetServerInfo: fills exactly the kept ranges of a
// SERVERINFO (bytes 171, 188-683 and 688-691 are left untouched). Writes
// through probes: false when the target memory is not writable.
bool CopyServerInfoOut(const uint8_t* cache, void* info);

// The largest byte count a block can carry on the wire (a signed long).
inline constexpr uint64_t kMaxWireBlock = 0x7FFFFFFF;

// Thrown by SumLengthFields when the caller's records are malformed.
struct MalformedRecords : std::exception {
  const char* what() const noexcept override { return "malformed self-sized records"; }
};

// One permission bit: dwRights[mask] & bit.
struct RightBit {
  unsigned mask;
  uint32_t bit;
};

class CServerSession {
 public:
  // `server_name` is kept if it has at most 20 characters.
  explicit CServerSession(const char* server_name = nullptr);
  CServerSession(const CServerSession&) = delete;
  CServerSession& operator=(const CServerSession&) = delete;

  // ---- Virtual operations in slot order ----
  virtual uint32_t GetOnePageFromServer(uint32_t dwID, const char* pszFileName);       // 0
  virtual uint32_t PrintToTiffFromConn(void* pInfo);                                   // 1
  virtual uint32_t SendFaxFromConn(void* pcsinfo);                                     // 2
  virtual uint32_t SendFaxFromDraft(uint32_t dwDraftID);                               // 3
  virtual uint32_t ImportFaxInfo(uint32_t dwType, void* pInfo, uint32_t dwSize);       // 4
  virtual uint32_t SychronizeToServer();                                               // 5
  virtual uint32_t SychronizeFromServer();                                             // 6
  virtual uint32_t Advise(ADVISEINFO info);                                            // 7
  virtual uint32_t Unadvise(UNADVISEINFO info);                                        // 8
  virtual uint32_t QueryInterface(void** ppv);                                         // 9
  virtual uint32_t Release();                                                          // 10
  virtual uint32_t AddRef();                                                           // 11
  virtual uint32_t LogIn();                                                            // 12
  virtual uint32_t ChangePassword(const char* lpszOldPwd, const char* lpszNewPwd);    // 13
  virtual uint32_t GetCodePage();                                                      // 14
  virtual CServerSession* GetSession();                                                // 15
  virtual uint32_t GetAddressBookEx(uint32_t dwFlag, void** ppInfo, uint32_t* pdwSize);  // 16
  virtual uint32_t GetFolders(uint32_t dwFolderType, void** ppInfo, uint32_t* pdwRecordCount);  // 17
  virtual uint32_t SetFaxViewFlag(uint32_t dwFaxID, uint32_t nFlag);                   // 18
  virtual uint32_t Reserved19();                                                       // 19
  virtual uint32_t Reserved20(uint32_t a, uint32_t b);                                 // 20
  virtual uint32_t GetServerInfo(SERVERINFO* psvrinfo, uint32_t* pdwSize);             // 21
  virtual uint32_t AccessConfig(uint32_t dwType, const char* pName, uint32_t dwFieldType,
                                void* pValue, uint32_t* pdwBufSize);                   // 22
  virtual uint32_t Reserved23(uint32_t a);                                             // 23
  virtual uint32_t GetSystemConfig(uint32_t dwGetFlag, void* pvBuff, uint32_t* dwSize);  // 24
  virtual uint32_t SetSystemConfig(uint32_t dwSetFlag, void* pvBuff, uint32_t dwSize);   // 25
  virtual uint32_t QueryUserLog(const char* pszCondition, void** ppUserLog,
                                uint32_t* pdwRecordCount);                             // 26
  virtual uint32_t DelUserLog(const char* pszCondition);                               // 27
  virtual uint32_t QuerySysLog(const char* pszCondition, void** ppSysLog,
                               uint32_t* pdwRecordCount);                              // 28
  virtual uint32_t DelSysLog(const char* pszCondition);                                // 29
  virtual uint32_t BackupSysLog(const char* pszCondition, void** ppSysLog,
                                uint32_t* pdwRecordCount);                             // 30
  virtual uint32_t LogOut();                                                           // 31
  virtual uint32_t DeptOP(uint32_t dwCommand, void* pDeptInfo, uint32_t dwRecordCount);  // 32
  virtual uint32_t GetDeptData(const char* pszCondition, void** ppDeptInfo,
                               uint32_t* pdwRecordCount);                              // 33
  virtual uint32_t GetUserRecord(uint32_t dwOpType, const char* pUserID, void** ppUserInfo,
                                 uint32_t* pdwRecordCount);                            // 34
  virtual uint32_t UserOP(uint32_t dwOpType, void* pInfo, uint32_t dwRecordCount);     // 35
  virtual uint32_t UserBaseOP(uint32_t dwOpType, void* pUserInfo, uint32_t dwRecordCount);  // 36
  virtual uint32_t UserDetailOP(uint32_t dwOpType, void* pInfo, uint32_t dwRecordCount);    // 37
  virtual uint32_t SendFax(void* pFaxInfo, uint32_t dwFaxNum, void* pResultArray);     // 38
  virtual uint32_t TransmitFax(void* pFaxArray, uint32_t dwFaxNum, void* pResultArray);  // 39
  virtual uint32_t SendFaxStop(uint32_t* pFaxIDArray, uint32_t dwFaxNum);              // 40
  virtual uint32_t ViewSendTask(uint32_t dwGetFlag, uint32_t dwFaxID, void** ppInfo,
                                uint32_t* pdwRecordCount);                             // 41
  virtual uint32_t ViewRecvTask(uint32_t dwGetFlag, uint32_t dwFaxID, void** ppInfo,
                                uint32_t* pdwRecordCount);                             // 42
  virtual uint32_t GetAuthTasks(void** ppTaskInfo, uint32_t* pdwFaxNum);               // 43
  virtual uint32_t AuthToFax(uint32_t dwFaxID, uint32_t dwAuthFlag);                   // 44
  virtual uint32_t LockTask(uint32_t* pdwArray, uint32_t dwFaxNum);                    // 45
  virtual uint32_t TaskIDListOP(uint32_t* pdwArray, uint32_t dwFaxNum);                // 46
  virtual uint32_t EditTaskPRI(void* pTaskInfo, uint32_t dwFaxNum);                    // 47
  virtual uint32_t DeleteTask(uint32_t* dwTskList, uint32_t dwFaxNum, uint32_t dwDelFlag);  // 48
  virtual uint32_t GetTaskProgress(uint32_t* dwFaxIDArray, uint32_t dwFaxNum, void** ppInfo,
                                   uint32_t* pdwRecordCount);                          // 49
  virtual uint32_t EditSendTask(void* pTaskInfo, uint32_t dwFaxNum);                   // 50
  virtual uint32_t NewInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                                  uint32_t dwSize);                                    // 51
  virtual uint32_t GetInformation(void* fhParent, uint32_t dwInfoType, const char* pWhere,
                                  void** ppInfo, uint32_t* pdwSize);                   // 52
  virtual uint32_t EditInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                                   uint32_t dwSize);                                   // 53
  virtual uint32_t MoveInformation(void* fhSource, void* fhTarget, uint32_t dwInfoType,
                                   void* pInfo, uint32_t dwSize);                      // 54
  virtual uint32_t DeleteInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                                     uint32_t dwSize);                                 // 55
  virtual uint32_t DeviceOP(uint32_t dwCommand, void* pInfo, uint32_t dwSize);         // 56
  virtual uint32_t GetDeviceInfo(void** ppDeviceInfo, uint32_t* pdwRecordCount);       // 57
  virtual uint32_t GetPortList(const char* pszCondition, void** ppInfo, uint32_t* pdwRec);  // 58
  virtual uint32_t GetPortLimited(uint32_t dwOP, const char* pParam, void** ppInfo,
                                  uint32_t* pdwRecordCount);                           // 59
  virtual uint32_t PortLimitedOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount);  // 60
  virtual uint32_t SetPortStatus(void* pPortInfo, uint32_t dwRecordCount);             // 61
  virtual uint32_t StopLine(void* pPortInfo, uint32_t dwRecordCount);                  // 62
  virtual uint32_t ScriptFileOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount);  // 63
  virtual uint32_t Reserved64(uint32_t a, uint32_t b);                                 // 64
  virtual uint32_t GetScripts(void** ppScriptInfo, uint32_t* pdwRecordCount);          // 65
  virtual uint32_t Reserved66(uint32_t a, uint32_t b);                                 // 66
  virtual uint32_t Reserved67(uint32_t a, uint32_t b);                                 // 67
  virtual uint32_t GetPortRealInfo(void** ppInfo, uint32_t* pdwRec);                   // 68
  virtual uint32_t ReceiveFileFromServer(uint32_t dwTargetType, uint32_t dwID,
                                         const char* pszTargetFileName,
                                         const char* pszRecFileName, uint32_t* pdwValue);  // 69
  virtual uint32_t SendFileToServer(uint32_t dwTargetType, uint32_t dwID,
                                    const char* pszTargetFileName,
                                    const char* pszNewFileName);                       // 70
  virtual uint32_t DeleteFileFromServer(uint32_t dwTargetType, uint32_t dwDelFlag, uint32_t dwID,
                                        const char* pszTargetFileName);                // 71
  virtual uint32_t DialRuleOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount);  // 72
  virtual uint32_t GetDialRule(const char* pszCondition, void** ppInfo,
                               uint32_t* pdwRecordCount);                              // 73
  virtual uint32_t GetPrefixTable(const char* pszCondition, void** ppInfo,
                                  uint32_t* pdwRecordCount);                           // 74
  virtual uint32_t PrefixTableOP(uint32_t dwFlag, void* pInfo, uint32_t dwRecordCount);  // 75
  virtual uint32_t CheckDialRule(uint32_t dwDialRuleID, uint32_t dwParam);             // 76
  virtual uint32_t GetAutoRecvInfo(const char* pszCondition, void** ppInfo,
                                   uint32_t* pdwRecordCount);                          // 77
  virtual uint32_t AutoRecvOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount);  // 78
  virtual uint32_t AuthorizedOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount);  // 79
  virtual uint32_t GetAuthorizedInfo(const char* pszCond, void** ppInfo,
                                     uint32_t* pdwRecordCount);                        // 80
  virtual uint32_t RouterOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount);  // 81
  virtual uint32_t GetRouterInfo(const char* pszCondition, void** ppInfo,
                                 uint32_t* pdwRecordCount);                            // 82
  virtual uint32_t QueryServerPrinters(void** ppInfo, uint32_t* pdwRecCount);          // 83
  virtual uint32_t GetFaxViewRecord(const char* pszCond, void** ppInfo,
                                    uint32_t* pdwRecordCount);                         // 84
  virtual uint32_t DelFaxViewRecord(const char* pszCond);                              // 85
  virtual uint32_t GetCoverPageField(const char* pWhere, void** ppInfo,
                                     uint32_t* pdwRecordCount);                        // 86
  virtual uint32_t CoverPageFieldOP(uint32_t dwOP, void* pInfo, uint32_t dwRecordCount);  // 87
  virtual uint32_t GetErrorInfo(qz_except* pErr);                                      // 88
  virtual uint32_t GetReportTemplates(void* fhParent, void** ppInfo,
                                      uint32_t* pdwRecordCount);                       // 89
  virtual uint32_t NewReportTemplate(void* fhParent, void* pInfo, uint32_t dwRecordCount);   // 90
  virtual uint32_t EditReportTemplate(void* fhParent, void* pInfo, uint32_t dwRecordCount);  // 91
  virtual uint32_t DeleteReportTemplate(void* fhParent, uint32_t nReportID);           // 92
  virtual uint32_t QueryReport(const char* lpReportSql, void** ppvData, uint32_t* pdwSize);  // 93
  virtual uint32_t GetNewReceivedMessages(void* fhParent, uint32_t* dwFaxIDArray,
                                          uint32_t nCount, void** ppDetail,
                                          uint32_t* pcRet);                            // 94
  virtual uint32_t GetAddressRelation(uint32_t dwAddressID, uint32_t dwAddrType,
                                      void** ppAddrRelation, uint32_t* pdwCount);      // 95
  virtual uint32_t GetReportTemplate(void* fhParent, uint32_t nReportTemplateID, void** ppInfo,
                                     uint32_t* pdwRecordCount);                        // 96
  virtual uint32_t GetFaxAutoRecvHistory(const char* szCond, void** ppInfo,
                                         uint32_t* pdwCount);                          // 97
  virtual uint32_t DelFaxAutoRecvHistor(const char* szCond);                           // 98
  virtual uint32_t NewDraftInformation(void* pvBuf, uint32_t dwBufSize);               // 99
  virtual uint32_t GetDraftInformation(void** ppvBuf, uint32_t* pdwBufSize);           // 100
  virtual uint32_t DelDraftInformation(uint32_t dwDraftID);                            // 101
  virtual uint32_t EditDraftInformation(void* pvBuf, uint32_t dwBufSize);              // 102

  // ---- Non-virtual accessors ----
  // The logged-in check: 1 in state 2; otherwise stores QZ_E_NOTLOGGEDIN in
  // the error slot and returns 0.
  uint32_t IsLoggedIn();
  uint32_t State() const { return m_dwState.load(); }
  uint32_t RefCount() const { return m_dwRefCount.load(); }
  uint32_t ErrorCode() const;
  qz_except ErrorSnapshot() const;  // a copy of the error slot
  uint32_t Rights(unsigned mask) const;
  SESSIONKEY SessionKey() const;
  const char* ServerName() const { return m_szServerName; }
  // Stores code (and text, or the code's text) in the error slot.
  void SetError(uint32_t code, const char* text = nullptr);

 protected:
  // Destroyed through Release (the derived class's teardown).
  virtual ~CServerSession();

  // ---- Checks: kStatusOk to go on, else the status to return ----
  // Logged-in check; on failure returns QZ_E_NOTLOGGEDIN (stored).
  uint32_t CheckLoggedIn();
  // dwRights[mask] & bit; on failure stores and returns QZ_E_ACCESSDENIED.
  uint32_t RequireRight(unsigned mask, uint32_t bit);
  // Either bit suffices.
  uint32_t RequireEitherRight(RightBit first, RightBit second);
  // The selector picks the one bit to test; a selector outside the table
  // stores and returns QZ_E_BADOPTYPE.
  uint32_t RequireRightBySelector(uint32_t selector, std::span<const RightBit> by_selector);

  // ---- Guards around procedure calls ----
  // Standard guard: an exception is stored in the error slot and its code
  // returned; a procedure result other than 1 is stored and returned.
  template <typename F>
  uint32_t GuardedCall(F&& call) {
    uint32_t result;
    try {
      result = static_cast<uint32_t>(call());
    } catch (...) {
      return RecordCurrentException();
    }
    if (result != kStatusOk) SetError(result);
    return result;
  }
  // As GuardedCall, but a procedure result is returned without storing it.
  template <typename F>
  uint32_t GuardedCallNoRecord(F&& call) {
    try {
      return static_cast<uint32_t>(call());
    } catch (...) {
      return RecordCurrentException();
    }
  }
  // As GuardedCallNoRecord; *returned tells whether the procedure
  // returned (false when an exception was caught), for operations that
  // trace an entry of their own after the call.
  template <typename F>
  uint32_t GuardedCallNoRecord(F&& call, bool* returned) {
    *returned = false;
    return GuardedCallNoRecord([&] {
      auto result = call();
      *returned = true;
      return result;
    });
  }
  // Logout guard: an exception is stored and returned in its HRESULT form
  // ((code & 0xFFFF) | 0x80070000, or 0 for 0); results are not stored.
  template <typename F>
  uint32_t GuardedLogout(F&& call) {
    try {
      return static_cast<uint32_t>(call());
    } catch (...) {
      return HResultFromWin32(RecordCurrentException());
    }
  }
  // Buffer-walk guard: catches only AccessViolation; shows the box "access
  // violation" / "Exception Happen", stores QZ_E_ACCESSVIOLATION with the
  // text "access violation" and returns it. A walk that refused malformed
  // records (MalformedRecords) stores and returns QZ_E_INVALIDARG without a
  // box. Other exceptions pass on.
  template <typename F>
  uint32_t GuardedBufferWalk(F&& walk) {
    try {
      return static_cast<uint32_t>(walk());
    } catch (const AccessViolation&) {
      return ReportAccessViolation();
    } catch (const MalformedRecords&) {
      SetError(QZ_E_INVALIDARG);
      return QZ_E_INVALIDARG;
    }
  }
  // Classifies the exception in flight (inside a catch block), stores its
  // code in the error slot and returns it: RpcException and qz_except give
  // their code, std::bad_alloc 14, anything else 1766.
  uint32_t RecordCurrentException();
  uint32_t ReportAccessViolation();

  // ---- Caller memory ----
  // Sum of the 32-bit length fields of `count` records that each start
  // with their own length, walked from `records`. Throws AccessViolation
  // when a length field cannot be read, and MalformedRecords when a length
  // is below 4 (a record always holds its own length field) or the sum
  // passes `limit` (the largest block the wire can count): the walk never
  // loops on one record nor runs past the block.
  static uint64_t SumLengthFields(const void* records, uint32_t count,
                                  uint64_t limit = kMaxWireBlock);
  // Copy from / to caller memory; throw AccessViolation when not possible.
  static void ReadCallerBytes(const void* src, size_t n, void* out);
  static void WriteCallerBytes(void* dst, const void* data, size_t n);

  // The login copy: SERVERINFO into m_ServerInfo, then dwSessionNo from
  // SERVERINFO offset 684 and szUserID from offset 709 (19 characters and a
  // NUL). The caller (LogIn) sets the state.
  void AdoptLoginInfo(const uint8_t* info);

  // Stores `code` in the error slot and returns it (a refused check).
  uint32_t Refuse(uint32_t code) {
    SetError(code);
    return code;
  }
  // Byte length of `count` records of `record_size` bytes as the wire's
  // 32-bit signed count; false when it does not fit (the caller refuses).
  static bool RecordBytes(uint32_t count, uint32_t record_size, uint32_t* bytes);
  // The logged-in user's identifier: the text at byte 1 of the cached own
  // USERINFO_TABLE, at most 19 characters, always NUL-terminated.
  void OwnUserId(char (&id)[20]) const;

  // Shared by the list families (lines, dialing): a block the stub will
  // send from caller memory must be readable for its n bytes, or
  // AccessViolation is thrown (null is left to the stub, which raises
  // 1780); and a returned length-prefixed list is counted into *count:
  // kStatusOk, or 1783 (stored) when the block is not whole records, with
  // *count the whole records before the bad one.
  static void RequireReadableBlock(const void* p, size_t n);
  uint32_t CountReturnedList(const void* block, int32_t bytes, uint32_t* count);

  uint8_t m_ServerInfo[kServerInfoCacheSize];
  std::mutex m_csLock;  // serialises LogIn and LogOut
  mutable std::mutex m_errorLock;
  qz_except m_ErrorInfo;  // the error slot; only under m_errorLock
  char m_szServerName[21];
  std::atomic<uint32_t> m_dwState{0};
  std::atomic<uint32_t> m_dwRefCount{0};
  SESSIONKEY m_SessionKey;

  friend struct SessionTestAccess;
};

class CRpcServerSession : public CServerSession {
 public:
  CRpcServerSession();

  // Overrides of the supported operations, in slot order. Login and the
  // session-wide services live in session_services.cc, the log family in
  // log_operations.cc.
  uint32_t SychronizeToServer() override;                                    // 5
  uint32_t SychronizeFromServer() override;                                  // 6
  uint32_t Advise(ADVISEINFO info) override;                                 // 7
  uint32_t Unadvise(UNADVISEINFO info) override;                             // 8
  uint32_t LogIn() override;                                                 // 12
  uint32_t ChangePassword(const char* lpszOldPwd, const char* lpszNewPwd) override;  // 13
  uint32_t QueryUserLog(const char* pszCondition, void** ppUserLog,
                        uint32_t* pdwRecordCount) override;                  // 26
  uint32_t DelUserLog(const char* pszCondition) override;                    // 27
  uint32_t LogOut() override;                                                // 31

  // Fax submission and send tasks (send_operations.cc).
  uint32_t PrintToTiffFromConn(void* pInfo) override;                        // 1
  uint32_t SendFaxFromConn(void* pcsinfo) override;                          // 2
  uint32_t SendFaxFromDraft(uint32_t dwDraftID) override;                    // 3
  uint32_t SendFax(void* pFaxInfo, uint32_t dwFaxNum, void* pResultArray) override;       // 38
  uint32_t TransmitFax(void* pFaxArray, uint32_t dwFaxNum, void* pResultArray) override;  // 39
  uint32_t SendFaxStop(uint32_t* pFaxIDArray, uint32_t dwFaxNum) override;   // 40
  uint32_t ViewSendTask(uint32_t dwGetFlag, uint32_t dwFaxID, void** ppInfo,
                        uint32_t* pdwRecordCount) override;                  // 41
  uint32_t ViewRecvTask(uint32_t dwGetFlag, uint32_t dwFaxID, void** ppInfo,
                        uint32_t* pdwRecordCount) override;                  // 42
  uint32_t GetAuthTasks(void** ppTaskInfo, uint32_t* pdwFaxNum) override;    // 43
  uint32_t AuthToFax(uint32_t dwFaxID, uint32_t dwAuthFlag) override;        // 44
  uint32_t LockTask(uint32_t* pdwArray, uint32_t dwFaxNum) override;         // 45
  uint32_t TaskIDListOP(uint32_t* pdwArray, uint32_t dwFaxNum) override;     // 46
  uint32_t EditTaskPRI(void* pTaskInfo, uint32_t dwFaxNum) override;         // 47
  uint32_t DeleteTask(uint32_t* dwTskList, uint32_t dwFaxNum, uint32_t dwDelFlag) override;  // 48
  uint32_t GetTaskProgress(uint32_t* dwFaxIDArray, uint32_t dwFaxNum, void** ppInfo,
                           uint32_t* pdwRecordCount) override;               // 49
  uint32_t EditSendTask(void* pTaskInfo, uint32_t dwFaxNum) override;        // 50
  uint32_t GetCoverPageField(const char* pWhere, void** ppInfo,
                             uint32_t* pdwRecordCount) override;             // 86
  uint32_t CoverPageFieldOP(uint32_t dwOP, void* pInfo, uint32_t dwRecordCount) override;  // 87

 private:
  // Shared steps of the send-task operations (send_operations.cc).
  struct TaskListOp;
  template <typename Call>
  uint32_t RunTaskListOp(const TaskListOp& op, const void* list, uint32_t count, Call&& call);
  uint32_t CheckTaskView(uint32_t dwGetFlag, void** ppInfo, uint32_t* pdwRecordCount);
  struct Submission;
  uint32_t Submit(const Submission& how, void* request, uint32_t dwFaxNum, void* pResultArray);

 public:

  // Message store (store_operations.cc).
  uint32_t GetAddressBookEx(uint32_t dwFlag, void** ppInfo, uint32_t* pdwSize) override;  // 16
  uint32_t GetFolders(uint32_t dwFolderType, void** ppInfo,
                      uint32_t* pdwRecordCount) override;                    // 17
  uint32_t SetFaxViewFlag(uint32_t dwFaxID, uint32_t nFlag) override;        // 18
  uint32_t NewInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                          uint32_t dwSize) override;                         // 51
  uint32_t GetInformation(void* fhParent, uint32_t dwInfoType, const char* pWhere,
                          void** ppInfo, uint32_t* pdwSize) override;        // 52
  uint32_t EditInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                           uint32_t dwSize) override;                        // 53
  uint32_t MoveInformation(void* fhSource, void* fhTarget, uint32_t dwInfoType, void* pInfo,
                           uint32_t dwSize) override;                        // 54
  uint32_t DeleteInformation(void* fhParent, uint32_t dwInfoType, void* pInfo,
                             uint32_t dwSize) override;                      // 55
  uint32_t GetFaxViewRecord(const char* pszCond, void** ppInfo,
                            uint32_t* pdwRecordCount) override;              // 84
  uint32_t DelFaxViewRecord(const char* pszCond) override;                   // 85
  uint32_t GetNewReceivedMessages(void* fhParent, uint32_t* dwFaxIDArray, uint32_t nCount,
                                  void** ppDetail, uint32_t* pcRet) override;  // 94
  uint32_t GetAddressRelation(uint32_t dwAddressID, uint32_t dwAddrType, void** ppAddrRelation,
                              uint32_t* pdwCount) override;                  // 95

  // Users and departments (user_operations.cc).
  uint32_t DeptOP(uint32_t dwCommand, void* pDeptInfo, uint32_t dwRecordCount) override;  // 32
  uint32_t GetDeptData(const char* pszCondition, void** ppDeptInfo,
                       uint32_t* pdwRecordCount) override;                   // 33
  uint32_t GetUserRecord(uint32_t dwOpType, const char* pUserID, void** ppUserInfo,
                         uint32_t* pdwRecordCount) override;                 // 34
  uint32_t UserOP(uint32_t dwOpType, void* pInfo, uint32_t dwRecordCount) override;  // 35
  uint32_t UserBaseOP(uint32_t dwOpType, void* pUserInfo, uint32_t dwRecordCount) override;  // 36
  uint32_t UserDetailOP(uint32_t dwOpType, void* pInfo, uint32_t dwRecordCount) override;  // 37

  // File transfer, drafts and fax import (file_operations.cc).
  uint32_t GetOnePageFromServer(uint32_t dwID, const char* pszFileName) override;  // 0
  uint32_t ImportFaxInfo(uint32_t dwType, void* pInfo, uint32_t dwSize) override;  // 4
  uint32_t ReceiveFileFromServer(uint32_t dwTargetType, uint32_t dwID,
                                 const char* pszTargetFileName, const char* pszRecFileName,
                                 uint32_t* pdwValue) override;               // 69
  uint32_t SendFileToServer(uint32_t dwTargetType, uint32_t dwID, const char* pszTargetFileName,
                            const char* pszNewFileName) override;            // 70
  uint32_t DeleteFileFromServer(uint32_t dwTargetType, uint32_t dwDelFlag, uint32_t dwID,
                                const char* pszTargetFileName) override;     // 71
  uint32_t NewDraftInformation(void* pvBuf, uint32_t dwBufSize) override;    // 99
  uint32_t GetDraftInformation(void** ppvBuf, uint32_t* pdwBufSize) override;  // 100
  uint32_t DelDraftInformation(uint32_t dwDraftID) override;                 // 101
  uint32_t EditDraftInformation(void* pvBuf, uint32_t dwBufSize) override;   // 102

  // Lines, devices and scripts (line_operations.cc).
  uint32_t DeviceOP(uint32_t dwCommand, void* pInfo, uint32_t dwSize) override;          // 56
  uint32_t GetDeviceInfo(void** ppDeviceInfo, uint32_t* pdwRecordCount) override;        // 57
  uint32_t GetPortList(const char* pszCondition, void** ppInfo, uint32_t* pdwRec) override;  // 58
  uint32_t GetPortLimited(uint32_t dwOP, const char* pParam, void** ppInfo,
                          uint32_t* pdwRecordCount) override;                           // 59
  uint32_t PortLimitedOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) override;  // 60
  uint32_t SetPortStatus(void* pPortInfo, uint32_t dwRecordCount) override;              // 61
  uint32_t StopLine(void* pPortInfo, uint32_t dwRecordCount) override;                   // 62
  uint32_t ScriptFileOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) override;  // 63
  uint32_t GetScripts(void** ppScriptInfo, uint32_t* pdwRecordCount) override;           // 65
  uint32_t GetPortRealInfo(void** ppInfo, uint32_t* pdwRec) override;                    // 68

  // Dialing, routing and authorization (dialing_operations.cc).
  uint32_t DialRuleOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) override;  // 72
  uint32_t GetDialRule(const char* pszCondition, void** ppInfo,
                       uint32_t* pdwRecordCount) override;                              // 73
  uint32_t GetPrefixTable(const char* pszCondition, void** ppInfo,
                          uint32_t* pdwRecordCount) override;                           // 74
  uint32_t PrefixTableOP(uint32_t dwFlag, void* pInfo, uint32_t dwRecordCount) override;  // 75
  uint32_t GetAutoRecvInfo(const char* pszCondition, void** ppInfo,
                           uint32_t* pdwRecordCount) override;                          // 77
  uint32_t AutoRecvOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) override;  // 78
  uint32_t AuthorizedOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) override;  // 79
  uint32_t GetAuthorizedInfo(const char* pszCond, void** ppInfo,
                             uint32_t* pdwRecordCount) override;                        // 80
  uint32_t RouterOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) override;  // 81
  uint32_t GetRouterInfo(const char* pszCondition, void** ppInfo,
                         uint32_t* pdwRecordCount) override;                            // 82
  uint32_t QueryServerPrinters(void** ppInfo, uint32_t* pdwRecCount) override;           // 83
  uint32_t GetFaxAutoRecvHistory(const char* szCond, void** ppInfo,
                                 uint32_t* pdwCount) override;                          // 97
  uint32_t DelFaxAutoRecvHistor(const char* szCond) override;                            // 98

  // Logs and system configuration (log_operations.cc, continued).
  uint32_t AccessConfig(uint32_t dwType, const char* pName, uint32_t dwFieldType, void* pValue,
                        uint32_t* pdwBufSize) override;                                 // 22
  uint32_t GetSystemConfig(uint32_t dwGetFlag, void* pvBuff, uint32_t* dwSize) override;  // 24
  uint32_t SetSystemConfig(uint32_t dwSetFlag, void* pvBuff, uint32_t dwSize) override;   // 25
  uint32_t QuerySysLog(const char* pszCondition, void** ppSysLog,
                       uint32_t* pdwRecordCount) override;                              // 28
  uint32_t DelSysLog(const char* pszCondition) override;                                 // 29

  // Report templates and queries (report_operations.cc).
  uint32_t GetReportTemplates(void* fhParent, void** ppInfo,
                              uint32_t* pdwRecordCount) override;                       // 89
  uint32_t NewReportTemplate(void* fhParent, void* pInfo, uint32_t dwRecordCount) override;   // 90
  uint32_t EditReportTemplate(void* fhParent, void* pInfo, uint32_t dwRecordCount) override;  // 91
  uint32_t DeleteReportTemplate(void* fhParent, uint32_t nReportID) override;            // 92
  uint32_t QueryReport(const char* lpReportSql, void** ppvData, uint32_t* pdwSize) override;  // 93
  uint32_t GetReportTemplate(void* fhParent, uint32_t nReportTemplateID, void** ppInfo,
                             uint32_t* pdwRecordCount) override;                        // 96

 private:
  // Helpers of the administration families (line_, dialing_, log_ and
  // report_operations.cc).
  // Stores QZ_E_INVALIDARG in the error slot and returns it.
  uint32_t RefuseInvalidArg();
  // Write operations: null data or a zero count (QZ_E_INVALIDARG, stored),
  // the logged-in check, then `bit` of dwRights[3] unless it is 0.
  uint32_t CheckAdminWrite(const void* data, uint32_t count, uint32_t bit);
  // List queries: a null list or count pointer (QZ_E_INVALIDARG, stored),
  // the logged-in check, then `bit` of dwRights[3] unless it is 0.
  uint32_t CheckAdminList(const void* list, const void* count, uint32_t bit);
  // PortLimitedOP (34), SetPortStatus (35), StopLine (36).
  uint32_t SendLineRecords(uint16_t opnum, uint32_t dwCommand, void* pInfo,
                           uint32_t dwRecordCount);
  // Write operations of the dialing family with a fixed record size
  // (AutoRecvOP 56, AuthorizedOP 61, RouterOP 59).
  uint32_t SendDialingRecords(uint16_t opnum, uint32_t dwCommand, void* pInfo,
                              uint32_t dwRecordCount);
  // List queries of the dialing family (51, 53, 57, 58, 60).
  uint32_t QueryDialingList(uint16_t opnum, const char* pszCondition, void** ppInfo,
                            uint32_t* pdwRecordCount);
  // The log queries and deletions (3 and 5; 4 and 6).
  uint32_t QueryLog(uint16_t opnum, const char* pszCondition, void** ppLog,
                    uint32_t* pdwRecordCount);
  uint32_t DeleteLog(uint16_t opnum, const char* pszCondition);
  // New (78) and edit (79) of report templates.
  uint32_t SendReportTemplates(uint16_t opnum, void* fhParent, void* pInfo,
                               uint32_t dwRecordCount);

 protected:
  // Slot 103, the teardown: logs out when logged in (not on the
  // process-detach path), frees the binding, then the base part.
  ~CRpcServerSession() override;

  rpc::BindingHandle m_hBinding = nullptr;

  friend struct SessionTestAccess;
};

// Test seam: puts a session into a state without a login.
struct SessionTestAccess {
  static void SetState(CServerSession& s, uint32_t state) { s.m_dwState.store(state); }
  static void SetRights(CServerSession& s, uint32_t r0, uint32_t r1, uint32_t r2, uint32_t r3);
  static void SetSessionKey(CServerSession& s, const char* user_id, int32_t session_no);
  // State 2 with the given rights and key "tester"/7.
  static void MakeLoggedIn(CServerSession& s, uint32_t r0 = 0, uint32_t r1 = 0, uint32_t r2 = 0,
                           uint32_t r3 = 0);
  static const uint8_t* ServerInfoCache(const CServerSession& s) { return s.m_ServerInfo; }
  static void AdoptLoginInfo(CServerSession& s, const uint8_t* info) { s.AdoptLoginInfo(info); }
  static void SetBinding(CRpcServerSession& s, rpc::BindingHandle h) { s.m_hBinding = h; }
  static rpc::BindingHandle Binding(const CRpcServerSession& s) { return s.m_hBinding; }
};

// Plugs the library's heap in as the RPC runtime's allocator of reply
// blocks, so callers free them with RDMemFree. Called at every login.
void UseLibraryMemoryRoutines();

// Creates a CRpcServerSession without a name and without references;
// null when there is no memory.
CRpcServerSession* CreateRpcServerSession() noexcept;

}  // namespace qz

#endif  // QZ_SESSION_SERVER_SESSION_H_
