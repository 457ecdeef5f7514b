// line_operations.cc -- lines, devices and scripts: the device, line,
// line-limitation, live-status and script operations of CRpcServerSession.
//
// Every operation but GetPortRealInfo tests one bit of dwRights[3]. Bad
// arguments give QZ_E_INVALIDARG, stored in the error slot; a result of the
// server is returned without being stored; an RPC exception is stored and
// returned. Record counts travel as byte counts (count x record size, or
// the total of the length fields of script records) and come back as
// record counts. Some operations write a trace entry of their own once the
// procedure has returned.
// Thread-safety: no lock; see server_session.h.
#include "core/trace_log.h"
#include "interfaces/stubs.h"
#include "rpc/records.h"
#include "session/server_session.h"

namespace qz {
namespace {

constexpr uint32_t kRightDevices = 0x4;    // dwRights[3]: change devices and lines
constexpr uint32_t kRightReadLines = 0x8;  // dwRights[3]: list lines and their rules
constexpr uint32_t kRightScriptFiles = 0x4000;
constexpr uint32_t kRightReadScripts = 0x8000;

constexpr uint32_t kScriptRecords = 1;  // ScriptFileOP: a list of SCRIPTINFO records
constexpr uint32_t kScriptIds = 3;      // ScriptFileOP: a list of 32-bit IDs

constexpr uint16_t kOpPortLimitedOP = 34, kOpSetPortStatus = 35, kOpStopPort = 36;

uint8_t** AsReply(void** pp) { return reinterpret_cast<uint8_t**>(pp); }

}  // namespace

// ---- Checks shared by the administration families ------------------------------

uint32_t CRpcServerSession::RefuseInvalidArg() {
  SetError(QZ_E_INVALIDARG);
  return QZ_E_INVALIDARG;
}

uint32_t CRpcServerSession::CheckAdminWrite(const void* data, uint32_t count, uint32_t bit) {
  if (data == nullptr || count == 0) return RefuseInvalidArg();
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  return bit != 0 ? RequireRight(3, bit) : kStatusOk;
}

uint32_t CRpcServerSession::CheckAdminList(const void* list, const void* count, uint32_t bit) {
  if (list == nullptr || count == nullptr) return RefuseInvalidArg();
  if (uint32_t st = CheckLoggedIn(); st != kStatusOk) return st;
  return bit != 0 ? RequireRight(3, bit) : kStatusOk;
}

// ---- Write operations -------------------------------------------------------

uint32_t CRpcServerSession::DeviceOP(uint32_t dwCommand, void* pInfo, uint32_t dwSize) {
  if (uint32_t st = CheckAdminWrite(pInfo, dwSize, kRightDevices); st != kStatusOk) return st;
  if (dwSize > rpc::records::kMaxBlockBytes) return RefuseInvalidArg();
  return GuardedCallNoRecord([&] {
    RequireReadableBlock(pInfo, dwSize);
    return ifc::rpcDeviceOP(m_hBinding, &m_SessionKey, dwCommand, pInfo, dwSize);
  });
}

uint32_t CRpcServerSession::SendLineRecords(uint16_t opnum, uint32_t dwCommand, void* pInfo,
                                            uint32_t dwRecordCount) {
  const bool rules = opnum == kOpPortLimitedOP;
  if (uint32_t st = CheckAdminWrite(pInfo, dwRecordCount, kRightDevices); st != kStatusOk)
    return st;
  std::optional<int32_t> bytes = rpc::records::RecordBytes(
      dwRecordCount, rules ? QZ_SIZEOF_LINECHECK_TABLE : QZ_SIZEOF_PORTINFO_TABLE);
  if (!bytes) return RefuseInvalidArg();
  const int32_t size = *bytes;
  bool returned = false;
  uint32_t result = GuardedCallNoRecord(
      [&] {
        RequireReadableBlock(pInfo, static_cast<size_t>(size));
        return rules ? ifc::rpcPortLimitedOP(m_hBinding, &m_SessionKey, dwCommand, pInfo, size)
               : opnum == kOpSetPortStatus
                   ? ifc::rpcSetPortStatus(m_hBinding, &m_SessionKey, pInfo, size)
                   : ifc::rpcStopPort(m_hBinding, &m_SessionKey, pInfo, size);
      },
      &returned);
  if (!returned) return result;
  if (rules) {
    TraceEntry("Call rpcPortLimitedOP return")
        .Num("dwCommand", dwCommand)
        .Buffer("pInfo", pInfo, "dwRecordCount*sizeof(LINECHECK_TABLE)", size_t(size))
        .Write();
  } else {
    TraceEntry(opnum == kOpSetPortStatus ? "Call rpcSetPortStatus" : "Call rpcStopPort")
        .Buffer("pPortInfo", pInfo, "dwRecordCount*sizeof(PORTINFO_TABLE)", size_t(size))
        .Write();
  }
  return result;
}

uint32_t CRpcServerSession::PortLimitedOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) {
  return SendLineRecords(kOpPortLimitedOP, dwCommand, pInfo, dwRecordCount);
}

uint32_t CRpcServerSession::SetPortStatus(void* pPortInfo, uint32_t dwRecordCount) {
  return SendLineRecords(kOpSetPortStatus, 0, pPortInfo, dwRecordCount);
}

uint32_t CRpcServerSession::StopLine(void* pPortInfo, uint32_t dwRecordCount) {
  return SendLineRecords(kOpStopPort, 0, pPortInfo, dwRecordCount);
}

uint32_t CRpcServerSession::ScriptFileOP(uint32_t dwCommand, void* pInfo, uint32_t dwRecordCount) {
  if (uint32_t st = CheckAdminWrite(pInfo, dwRecordCount, kRightScriptFiles); st != kStatusOk)
    return st;
  uint64_t size = 0;
  if (dwCommand == kScriptRecords) {
    // Walking the caller's records: a fault (or a malformed record) is the
    // access violation it would have been.
    uint32_t walked = GuardedBufferWalk([&] {
      size = SumLengthFields(pInfo, dwRecordCount);
      RequireReadableBlock(pInfo, static_cast<size_t>(size));
      return kStatusOk;
    });
    if (walked != kStatusOk) return walked;
  } else if (dwCommand == kScriptIds) {
    std::optional<int32_t> bytes = rpc::records::RecordBytes(dwRecordCount, rpc::records::kIdSize);
    if (!bytes) return RefuseInvalidArg();
    size = static_cast<uint64_t>(*bytes);
  } else {
    SetError(QZ_E_ACCESSVIOLATION);
    return QZ_E_ACCESSVIOLATION;
  }
  const auto lSize = static_cast<int32_t>(size);
  bool returned = false;
  uint32_t result = GuardedCallNoRecord(
      [&] {
        RequireReadableBlock(pInfo, static_cast<size_t>(lSize));
        return ifc::rpcScriptFileOP(m_hBinding, &m_SessionKey, dwCommand, pInfo, lSize);
      },
      &returned);
  if (returned) {
    TraceEntry("Call rpcScriptFileOP")
        .Num("dwCommand", dwCommand)
        .Buffer("pInfo", pInfo, "lSize", size_t(lSize))
        .Write();
  }
  return result;
}

// ---- List queries -------------------------------------------------------------

uint32_t CRpcServerSession::GetDeviceInfo(void** ppDeviceInfo, uint32_t* pdwRecordCount) {
  if (uint32_t st = CheckAdminList(ppDeviceInfo, pdwRecordCount, kRightDevices); st != kStatusOk)
    return st;
  int32_t bytes = 0;
  uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetDeviceInfo(m_hBinding, &m_SessionKey, AsReply(ppDeviceInfo), &bytes);
  });
  if (result == kStatusOk)
    *pdwRecordCount = rpc::records::RecordCount(bytes, QZ_SIZEOF_DEVICEINFO_TABLE);
  return result;
}

// GetPortList and GetPortLimited count in the caller's own variable: it
// holds the byte count the server answered until it is converted on 1.
uint32_t CRpcServerSession::GetPortList(const char* pszCondition, void** ppInfo, uint32_t* pdwRec) {
  if (pszCondition == nullptr) pszCondition = "";
  if (uint32_t st = CheckAdminList(ppInfo, pdwRec, kRightReadLines); st != kStatusOk) return st;
  *pdwRec = 0;
  uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetPortList(m_hBinding, &m_SessionKey, pszCondition, AsReply(ppInfo), pdwRec);
  });
  if (result == kStatusOk) *pdwRec = rpc::records::RecordCount(*pdwRec, QZ_SIZEOF_PORTINFO_TABLE);
  return result;
}

uint32_t CRpcServerSession::GetPortLimited(uint32_t /*dwOP: traced only*/, const char* pParam,
                                           void** ppInfo, uint32_t* pdwRecordCount) {
  if (pParam == nullptr) pParam = "";
  if (uint32_t st = CheckAdminList(ppInfo, pdwRecordCount, kRightReadLines); st != kStatusOk)
    return st;
  *pdwRecordCount = 0;
  uint32_t result = GuardedCallNoRecord([&] {
    return ifc::rpcGetPortLimited(m_hBinding, &m_SessionKey, pParam, AsReply(ppInfo),
                                  pdwRecordCount);
  });
  if (result == kStatusOk)
    *pdwRecordCount = rpc::records::RecordCount(*pdwRecordCount, QZ_SIZEOF_LINECHECK_TABLE);
  return result;
}

uint32_t CRpcServerSession::GetScripts(void** ppScriptInfo, uint32_t* pdwRecordCount) {
  if (uint32_t st = CheckAdminList(ppScriptInfo, pdwRecordCount, kRightReadScripts);
      st != kStatusOk)
    return st;
  int32_t lSize = 0;
  bool returned = false;
  uint32_t result = GuardedCallNoRecord(
      [&] {
        return ifc::rpcGetScriptList(m_hBinding, &m_SessionKey, "", AsReply(ppScriptInfo), &lSize);
      },
      &returned);
  if (returned) {
    TraceEntry("Call rpcGetScriptList")
        .Buffer("*ppScriptInfo", *ppScriptInfo, "lSize", lSize > 0 ? size_t(lSize) : 0)
        .Write();
  }
  if (result != kStatusOk) return result;
  return CountReturnedList(*ppScriptInfo, lSize, pdwRecordCount);
}

// No logged-in check of its own (the export's server-ID check made it) and
// no rights bit. The original tests only the list pointer; a null count
// pointer is refused too, since the count is written on success.
uint32_t CRpcServerSession::GetPortRealInfo(void** ppInfo, uint32_t* pdwRec) {
  if (ppInfo == nullptr || pdwRec == nullptr) return RefuseInvalidArg();
  int32_t lSize = 0;
  bool returned = false;
  uint32_t result = GuardedCallNoRecord(
      [&] { return ifc::rpcGetPortRealInfo(m_hBinding, &m_SessionKey, AsReply(ppInfo), &lSize); },
      &returned);
  if (returned) {
    TraceEntry("Call rpcGetPortRealInfo")
        .Buffer("*ppInfo", *ppInfo, "lSize", lSize > 0 ? size_t(lSize) : 0)
        .Write();
  }
  if (result == kStatusOk)
    *pdwRec = rpc::records::RecordCount(lSize, QZ_SIZEOF_PORT_CURRENT_STATUS);
  return result;
}

}  // namespace qz
