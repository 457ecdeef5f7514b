// server_session.cc -- the session object's base operations, checks,
// guards and teardown.
// Thread-safety: see server_session.h.
#include "session/server_session.h"

#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/probe.h"
#include "rpc/records.h"
#include "rpc/types.h"

namespace qz {
namespace {

// SERVERINFO text fields: offset and size including the NUL (the same
// offsets in the cache).
struct TextField {
  size_t offset, size;
};
constexpr TextField kTextFields[] = {{4, 31}, {35, 20}, {55, 31}, {86, 20}, {106, 65}};

// Whole ranges: SERVERINFO offset, cache offset, size.
struct Range {
  size_t info, cache, size;
};
constexpr Range kRanges[] = {
    {0, 0, 4}, {172, 172, 16}, {684, kCacheSessionNo, 4}, {692, kCacheValue192, 16},
    {708, kCacheUserRecord, 972}};

// Copies a text bounded by size including the NUL; bytes after the NUL
// are left as they were.
size_t BoundedTextLength(const uint8_t* src, size_t size) {
  size_t n = 0;
  while (n + 1 < size && src[n] != 0) ++n;
  return n;
}

}  // namespace

void CopyServerInfoIn(const uint8_t* info, uint8_t* cache) {
  for (const TextField& f : kTextFields) {
    size_t n = BoundedTextLength(info + f.offset, f.size);
    std::memcpy(cache + f.offset, info + f.offset, n);
    cache[f.offset + n] = 0;
  }
  for (const Range& r : kRanges) std::memcpy(cache + r.cache, info + r.info, r.size);
}

bool CopyServerInfoOut(const uint8_t* cache, void* info) {
  auto* out = static_cast<uint8_t*>(info);
  for (const TextField& f : kTextFields) {
    uint8_t text[80];
    size_t n = BoundedTextLength(cache + f.offset, f.size);
    std::memcpy(text, cache + f.offset, n);
    text[n] = 0;
    if (!platform::ProbeWrite(out + f.offset, n + 1, text)) return false;
  }
  for (const Range& r : kRanges)
    if (!platform::ProbeWrite(out + r.info, r.size, cache + r.cache)) return false;
  return true;
}

// ---- Construction and reference counting -----------------------------------

CServerSession::CServerSession(const char* server_name) {
  std::memset(m_ServerInfo, 0, sizeof m_ServerInfo);
  std::memset(m_szServerName, 0, sizeof m_szServerName);
  if (server_name != nullptr && std::strlen(server_name) <= 20)
    std::strcpy(m_szServerName, server_name);
  std::memset(&m_SessionKey, 0, sizeof m_SessionKey);
}

CServerSession::~CServerSession() = default;

uint32_t CServerSession::QueryInterface(void** ppv) {
  if (ppv == nullptr) return kEInvalidArg;
  *ppv = this;
  AddRef();
  return 0;
}

uint32_t CServerSession::AddRef() {
  m_dwRefCount.fetch_add(1);
  return 0;
}

uint32_t CServerSession::Release() {
  uint32_t n = m_dwRefCount.load();
  do {
    if (n == 0) return 1;
  } while (!m_dwRefCount.compare_exchange_weak(n, n - 1));
  if (n == 1) delete this;  // the teardown of the derived class
  return 0;
}

uint32_t CServerSession::GetCodePage() { return 1252; }
CServerSession* CServerSession::GetSession() { return this; }

// ---- Error slot, checks -----------------------------------------------------

void CServerSession::SetError(uint32_t code, const char* text) {
  std::lock_guard<std::mutex> lock(m_errorLock);
  m_ErrorInfo.SetError(code, text);
}

uint32_t CServerSession::ErrorCode() const {
  std::lock_guard<std::mutex> lock(m_errorLock);
  return m_ErrorInfo.GetErrorCode();
}

qz_except CServerSession::ErrorSnapshot() const {
  qz_except copy;
  std::lock_guard<std::mutex> lock(m_errorLock);
  copy = m_ErrorInfo;
  return copy;
}

uint32_t CServerSession::GetErrorInfo(qz_except* pErr) {
  if (pErr == nullptr) return kEInvalidArg;
  *pErr = ErrorSnapshot();
  return 0;
}

uint32_t CServerSession::Rights(unsigned mask) const {
  uint32_t v = 0;
  if (mask < 4) std::memcpy(&v, m_ServerInfo + kCacheRights + 4 * mask, sizeof v);
  return v;
}

SESSIONKEY CServerSession::SessionKey() const { return m_SessionKey; }

uint32_t CServerSession::IsLoggedIn() {
  if (m_dwState.load() == 2) return 1;
  SetError(QZ_E_NOTLOGGEDIN);
  return 0;
}

uint32_t CServerSession::CheckLoggedIn() {
  return IsLoggedIn() ? kStatusOk : static_cast<uint32_t>(QZ_E_NOTLOGGEDIN);
}

uint32_t CServerSession::RequireRight(unsigned mask, uint32_t bit) {
  if ((Rights(mask) & bit) != 0) return kStatusOk;
  SetError(QZ_E_ACCESSDENIED);
  return QZ_E_ACCESSDENIED;
}

uint32_t CServerSession::RequireEitherRight(RightBit first, RightBit second) {
  if ((Rights(first.mask) & first.bit) != 0 || (Rights(second.mask) & second.bit) != 0)
    return kStatusOk;
  SetError(QZ_E_ACCESSDENIED);
  return QZ_E_ACCESSDENIED;
}

uint32_t CServerSession::RequireRightBySelector(uint32_t selector,
                                                std::span<const RightBit> by_selector) {
  if (selector >= by_selector.size()) {
    SetError(QZ_E_BADOPTYPE);
    return QZ_E_BADOPTYPE;
  }
  return RequireRight(by_selector[selector].mask, by_selector[selector].bit);
}

// ---- Guards -----------------------------------------------------------------

uint32_t CServerSession::RecordCurrentException() {
  uint32_t code;
  try {
    throw;
  } catch (const RpcException& e) {
    code = e.code();
  } catch (const qz_except& e) {
    code = e.GetErrorCode();
  } catch (const std::bad_alloc&) {
    code = platform::kErrOutOfMemory;
  } catch (const MalformedRecords&) {
    code = QZ_E_INVALIDARG;  // a caller's self-sized records do not add up
  } catch (...) {
    code = 1766;  // internal error in the RPC layer
  }
  SetError(code);
  return code;
}

uint32_t CServerSession::ReportAccessViolation() {
  platform::ShowMessageBox("access violation", "Exception Happen");
  SetError(QZ_E_ACCESSVIOLATION, "access violation");
  return QZ_E_ACCESSVIOLATION;
}

uint64_t CServerSession::SumLengthFields(const void* records, uint32_t count, uint64_t limit) {
  uint64_t total = 0;
  const uint8_t* p = static_cast<const uint8_t*>(records);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t len = 0;
    if (!platform::SafeReadU32(p, &len)) RaiseAccessViolation();
    if (len < sizeof len || len > limit - total) throw MalformedRecords();
    total += len;
    p += len;
  }
  return total;
}

void CServerSession::RequireReadableBlock(const void* p, size_t n) {
  if (p != nullptr && !platform::ProbeRead(p, n, nullptr)) RaiseAccessViolation();
}

uint32_t CServerSession::CountReturnedList(const void* block, int32_t bytes, uint32_t* count) {
  const size_t size = bytes > 0 && block != nullptr ? static_cast<size_t>(bytes) : 0;
  rpc::records::ListWalk walk =
      rpc::records::CountList({static_cast<const uint8_t*>(block), size});
  *count = walk.count;
  if (walk.ok) return kStatusOk;
  SetError(rpc::status::kBadStubData);
  return rpc::status::kBadStubData;
}

bool CServerSession::RecordBytes(uint32_t count, uint32_t record_size, uint32_t* bytes) {
  const uint64_t n = uint64_t{count} * record_size;
  if (n > kMaxWireBlock) return false;
  *bytes = static_cast<uint32_t>(n);
  return true;
}

void CServerSession::OwnUserId(char (&id)[20]) const {
  std::memcpy(id, m_ServerInfo + kCacheUserRecord + 1, sizeof id - 1);
  id[sizeof id - 1] = 0;
}

void CServerSession::ReadCallerBytes(const void* src, size_t n, void* out) {
  if (!platform::ProbeRead(src, n, out)) RaiseAccessViolation();
}

void CServerSession::WriteCallerBytes(void* dst, const void* data, size_t n) {
  if (!platform::ProbeWrite(dst, n, data)) RaiseAccessViolation();
}

void CServerSession::AdoptLoginInfo(const uint8_t* info) {
  CopyServerInfoIn(info, m_ServerInfo);
  std::memcpy(&m_SessionKey.dwSessionNo, info + kInfoSessionNo, sizeof m_SessionKey.dwSessionNo);
  size_t n = BoundedTextLength(info + kInfoUserId, sizeof m_SessionKey.szUserID);
  std::memset(m_SessionKey.szUserID, 0, sizeof m_SessionKey.szUserID);
  std::memcpy(m_SessionKey.szUserID, info + kInfoUserId, n);
}

// ---- GetServerInfo (slot 21) -------------------------------------------------

uint32_t CServerSession::GetServerInfo(SERVERINFO* psvrinfo, uint32_t* pdwSize) {
  if (psvrinfo == nullptr || pdwSize == nullptr) {
    SetError(QZ_E_INVALIDARG);
    return QZ_E_INVALIDARG;
  }
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  uint32_t size = 0;
  if (!platform::SafeReadU32(pdwSize, &size)) {
    SetError(kAccessViolationCode);
    return kAccessViolationCode;
  }
  if (size < kServerInfoSize) {
    const uint32_t need = kServerInfoSize;
    if (!platform::ProbeWrite(pdwSize, sizeof need, &need)) {
      SetError(kAccessViolationCode);
      return kAccessViolationCode;
    }
    return QZ_E_BUFFERTOOSMALL;
  }
  if (!CopyServerInfoOut(m_ServerInfo, psvrinfo)) {
    SetError(kAccessViolationCode);
    return kAccessViolationCode;
  }
  return kStatusOk;
}

// ---- Operations the base does not implement -----------------------------------

#define QZ_NOT_IMPLEMENTED(signature) \
  uint32_t CServerSession::signature { return kENotImpl; }

QZ_NOT_IMPLEMENTED(GetOnePageFromServer(uint32_t, const char*))
QZ_NOT_IMPLEMENTED(PrintToTiffFromConn(void*))
QZ_NOT_IMPLEMENTED(SendFaxFromConn(void*))
QZ_NOT_IMPLEMENTED(SendFaxFromDraft(uint32_t))
QZ_NOT_IMPLEMENTED(ImportFaxInfo(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(SychronizeToServer())
QZ_NOT_IMPLEMENTED(SychronizeFromServer())
QZ_NOT_IMPLEMENTED(Advise(ADVISEINFO))
QZ_NOT_IMPLEMENTED(Unadvise(UNADVISEINFO))
QZ_NOT_IMPLEMENTED(LogIn())
QZ_NOT_IMPLEMENTED(ChangePassword(const char*, const char*))
QZ_NOT_IMPLEMENTED(GetAddressBookEx(uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetFolders(uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(SetFaxViewFlag(uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(Reserved19())
QZ_NOT_IMPLEMENTED(Reserved20(uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(AccessConfig(uint32_t, const char*, uint32_t, void*, uint32_t*))
QZ_NOT_IMPLEMENTED(Reserved23(uint32_t))
QZ_NOT_IMPLEMENTED(GetSystemConfig(uint32_t, void*, uint32_t*))
QZ_NOT_IMPLEMENTED(SetSystemConfig(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(QueryUserLog(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(DelUserLog(const char*))
QZ_NOT_IMPLEMENTED(QuerySysLog(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(DelSysLog(const char*))
QZ_NOT_IMPLEMENTED(BackupSysLog(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(LogOut())
QZ_NOT_IMPLEMENTED(DeptOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetDeptData(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetUserRecord(uint32_t, const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(UserOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(UserBaseOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(UserDetailOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(SendFax(void*, uint32_t, void*))
QZ_NOT_IMPLEMENTED(TransmitFax(void*, uint32_t, void*))
QZ_NOT_IMPLEMENTED(SendFaxStop(uint32_t*, uint32_t))
QZ_NOT_IMPLEMENTED(ViewSendTask(uint32_t, uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(ViewRecvTask(uint32_t, uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetAuthTasks(void**, uint32_t*))
QZ_NOT_IMPLEMENTED(AuthToFax(uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(LockTask(uint32_t*, uint32_t))
QZ_NOT_IMPLEMENTED(TaskIDListOP(uint32_t*, uint32_t))
QZ_NOT_IMPLEMENTED(EditTaskPRI(void*, uint32_t))
QZ_NOT_IMPLEMENTED(DeleteTask(uint32_t*, uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(GetTaskProgress(uint32_t*, uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(EditSendTask(void*, uint32_t))
QZ_NOT_IMPLEMENTED(NewInformation(void*, uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetInformation(void*, uint32_t, const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(EditInformation(void*, uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(MoveInformation(void*, void*, uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(DeleteInformation(void*, uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(DeviceOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetDeviceInfo(void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetPortList(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetPortLimited(uint32_t, const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(PortLimitedOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(SetPortStatus(void*, uint32_t))
QZ_NOT_IMPLEMENTED(StopLine(void*, uint32_t))
QZ_NOT_IMPLEMENTED(ScriptFileOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(Reserved64(uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(GetScripts(void**, uint32_t*))
QZ_NOT_IMPLEMENTED(Reserved66(uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(Reserved67(uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(GetPortRealInfo(void**, uint32_t*))
QZ_NOT_IMPLEMENTED(ReceiveFileFromServer(uint32_t, uint32_t, const char*, const char*, uint32_t*))
QZ_NOT_IMPLEMENTED(SendFileToServer(uint32_t, uint32_t, const char*, const char*))
QZ_NOT_IMPLEMENTED(DeleteFileFromServer(uint32_t, uint32_t, uint32_t, const char*))
QZ_NOT_IMPLEMENTED(DialRuleOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetDialRule(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetPrefixTable(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(PrefixTableOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(CheckDialRule(uint32_t, uint32_t))
QZ_NOT_IMPLEMENTED(GetAutoRecvInfo(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(AutoRecvOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(AuthorizedOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetAuthorizedInfo(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(RouterOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetRouterInfo(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(QueryServerPrinters(void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetFaxViewRecord(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(DelFaxViewRecord(const char*))
QZ_NOT_IMPLEMENTED(GetCoverPageField(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(CoverPageFieldOP(uint32_t, void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetReportTemplates(void*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(NewReportTemplate(void*, void*, uint32_t))
QZ_NOT_IMPLEMENTED(EditReportTemplate(void*, void*, uint32_t))
QZ_NOT_IMPLEMENTED(DeleteReportTemplate(void*, uint32_t))
QZ_NOT_IMPLEMENTED(QueryReport(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetNewReceivedMessages(void*, uint32_t*, uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetAddressRelation(uint32_t, uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetReportTemplate(void*, uint32_t, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(GetFaxAutoRecvHistory(const char*, void**, uint32_t*))
QZ_NOT_IMPLEMENTED(DelFaxAutoRecvHistor(const char*))
QZ_NOT_IMPLEMENTED(NewDraftInformation(void*, uint32_t))
QZ_NOT_IMPLEMENTED(GetDraftInformation(void**, uint32_t*))
QZ_NOT_IMPLEMENTED(DelDraftInformation(uint32_t))
QZ_NOT_IMPLEMENTED(EditDraftInformation(void*, uint32_t))

#undef QZ_NOT_IMPLEMENTED

// ---- CRpcServerSession --------------------------------------------------------

CRpcServerSession::CRpcServerSession() : CServerSession(nullptr) {
  m_hBinding = nullptr;
  std::memset(&m_SessionKey, 0, sizeof m_SessionKey);
  const uint32_t first = 2;
  std::memcpy(m_ServerInfo, &first, sizeof first);
}

CRpcServerSession::~CRpcServerSession() {
  // On the process-detach path no remote call is made: the process is
  // going away and the runtime may already be shut down.
  if (!platform::IsProcessDetaching() && IsLoggedIn()) LogOut();
  if (m_hBinding != nullptr) rpc::RpcBindingFree(&m_hBinding);
}

CRpcServerSession* CreateRpcServerSession() noexcept {
  return new (std::nothrow) CRpcServerSession();
}

// ---- Test seam --------------------------------------------------------------

void SessionTestAccess::SetRights(CServerSession& s, uint32_t r0, uint32_t r1, uint32_t r2,
                                  uint32_t r3) {
  const uint32_t r[4] = {r0, r1, r2, r3};
  std::memcpy(s.m_ServerInfo + kCacheRights, r, sizeof r);
}

void SessionTestAccess::SetSessionKey(CServerSession& s, const char* user_id, int32_t session_no) {
  std::memset(&s.m_SessionKey, 0, sizeof s.m_SessionKey);
  std::strncpy(s.m_SessionKey.szUserID, user_id, sizeof s.m_SessionKey.szUserID - 1);
  s.m_SessionKey.dwSessionNo = session_no;
}

void SessionTestAccess::MakeLoggedIn(CServerSession& s, uint32_t r0, uint32_t r1, uint32_t r2,
                                     uint32_t r3) {
  SetRights(s, r0, r1, r2, r3);
  SetSessionKey(s, "tester", 7);
  SetState(s, 2);
}

}  // namespace qz
