// user_exports.cc -- the users and departments exports.
//
// All six run frame variant A with the labels "Call <export> " and
// "Call <export> return " (both end in a blank). The two readers clear
// their outputs right after the entry trace, before the server ID check.
// Thread-safety: reentrant.
#include "exports/frame.h"
#include "qzcsif/qzcsif.h"

namespace {

using qz::TraceEntry;
using qz::exports::BlockReturn;
using qz::exports::ClearOutputs;
using qz::exports::ConditionEntry;
using qz::exports::kLretOnly;
using qz::exports::MutableArg;
using qz::exports::RunFrame;
using qz::exports::Variant;

// The three user changes trace the same items.
template <typename Call>
uint32_t UserChange(uint32_t id, uint32_t op, const char* entry, const char* ret, Call&& call) {
  return RunFrame(
      Variant::kA, id, entry, [&](TraceEntry& t) { t.Num("dwServerID", id).Num("dwOpType", op); },
      call, ret, kLretOnly);
}

}  // namespace

extern "C" {

QZAPI uint32_t RemoteDeptOP(uint32_t dwServerID, uint32_t dwCommand,
                            const DEPTINFO_TABLE* pDeptInfo, uint32_t dwRecordCount) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteDeptOP ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID)
            .Num("dwCommand", dwCommand)
            .Buffer("pDeptInfo", pDeptInfo, "dwRecordCount * sizeof(DEPTINFO_TABLE)",
                    size_t{dwRecordCount} * QZ_SIZEOF_DEPTINFO_TABLE);
      },
      [&](qz::CServerSession& s) {
        return s.DeptOP(dwCommand, MutableArg(pDeptInfo), dwRecordCount);
      },
      "Call RemoteDeptOP return ", kLretOnly);
}

QZAPI uint32_t RemoteGetDeptData(uint32_t dwServerID, const char* pszCondition,
                                 DEPTINFO_TABLE** ppDeptInfo, uint32_t* pdwRecordCount) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteGetDeptData ",
      ConditionEntry(dwServerID, "pszCondition", pszCondition, ppDeptInfo, pdwRecordCount),
      [&](qz::CServerSession& s) {
        return s.GetDeptData(pszCondition, reinterpret_cast<void**>(ppDeptInfo), pdwRecordCount);
      },
      "Call RemoteGetDeptData return ",
      BlockReturn(ppDeptInfo, "(*ppDeptInfo)", pdwRecordCount,
                  "(*pdwRecordCount) * sizeof(DEPTINFO_TABLE)", QZ_SIZEOF_DEPTINFO_TABLE));
}

QZAPI uint32_t RemoteGetUserRecord(uint32_t dwServerID, uint32_t dwOpType, const char* pUserID,
                                   void** ppUserInfo, uint32_t* pdwRecordCount) {
  return RunFrame(
      Variant::kA, dwServerID, "Call RemoteGetUserRecord ",
      [&](TraceEntry& t) {
        t.Num("dwServerID", dwServerID).Num("dwOpType", dwOpType).Str("pUserID", pUserID);
        ClearOutputs(ppUserInfo, pdwRecordCount);
      },
      [&](qz::CServerSession& s) {
        return s.GetUserRecord(dwOpType, pUserID, ppUserInfo, pdwRecordCount);
      },
      "Call RemoteGetUserRecord return ",
      BlockReturn(ppUserInfo, "(*ppUserInfo)", pdwRecordCount, "(*pdwRecordCount)", 1));
}

QZAPI uint32_t RemoteUserOP(uint32_t dwServerID, uint32_t dwOpType, const void* pInfo,
                            uint32_t dwRecordCount) {
  return UserChange(dwServerID, dwOpType, "Call RemoteUserOP ", "Call RemoteUserOP return ",
                    [&](qz::CServerSession& s) {
                      return s.UserOP(dwOpType, MutableArg(pInfo), dwRecordCount);
                    });
}

QZAPI uint32_t RemoteUserBaseOP(uint32_t dwServerID, uint32_t dwOpType,
                                const USERINFO_TABLE* pUserInfo, uint32_t dwRecordCount) {
  return UserChange(dwServerID, dwOpType, "Call RemoteUserBaseOP ",
                    "Call RemoteUserBaseOP return ", [&](qz::CServerSession& s) {
                      return s.UserBaseOP(dwOpType, MutableArg(pUserInfo), dwRecordCount);
                    });
}

QZAPI uint32_t RemoteUserDetailOP(uint32_t dwServerID, uint32_t dwOpType,
                                  const USERDETAIL_TABLE* pInfo, uint32_t dwRecordCount) {
  return UserChange(dwServerID, dwOpType, "Call RemoteUserDetailOP ",
                    "Call RemoteUserDetailOP return ", [&](qz::CServerSession& s) {
                      return s.UserDetailOP(dwOpType, MutableArg(pInfo), dwRecordCount);
                    });
}

}  // extern "C"
