// frame.h -- the frame every session export runs in.
//
//   1. entry trace (label and input parameters)       variants A, B, C
//   2. server-ID check (live, logged-in session)
//   3. bad ID: QZ_E_BADSERVERID; A, C and D return it at once, B goes on
//      to the return trace without calling the session
//   4. the session operation, with the export's arguments
//   5. return trace (label, lret and output parameters)  variants A, B
//   6. the result, unchanged
//
// An export is a few lines on top of RunFrame:
//
//   uint32_t RemoteQueryUserLog(uint32_t id, const char* cond, void** pp, uint32_t* pn) {
//     return qz::exports::RunFrame(qz::exports::Variant::kA, id,
//         "Call RemoteQueryUserLog",
//         [&](qz::TraceEntry& t) { t.Num("dwServerID", id).Str("pszCondition", cond); },
//         [&](qz::CServerSession& s) { return s.QueryUserLog(cond, pp, pn); },
//         "Call RemoteQueryUserLog return",
//         [&](qz::TraceEntry& t, uint32_t lret) {
//           t.Lret(lret).Buffer("(*ppUserLog)", qz::TracePeekPointer(pp),
//                               "(*pdwRecordCount * sizeof(USERLOG_TABLE))",
//                               size_t{qz::TracePeekU32(pn)} * 508);
//         });
//   }
//
// The return-parameter callable receives the result and writes every line
// itself (most start with t.Lret(lret); some exports log no lret). It runs
// also after a bad ID in variant B, so it must cope with output pointers
// the session never filled: read them with TracePeekPointer / TracePeekU32
// (null or unreadable -> null / 0; a null block dumps no rows). Unreadable
// memory in a dump or string makes the entry fail (QZ_E_TRACEFAILED),
// never crash.
//
// Nothing is thrown across the C interface: a trace failure makes the
// export return QZ_E_TRACEFAILED (0xC1FF0001) instead of its result (after
// the operation, when the return entry failed); an exception escaping the
// session operation becomes its code (RpcException / qz_except), or
// QZ_E_OUTOFMEMORY for std::bad_alloc, or E_UNEXPECTED.
//
// Thread-safety: reentrant; the session is held by a reference for the
// duration of the call.
#ifndef QZ_EXPORTS_FRAME_H_
#define QZ_EXPORTS_FRAME_H_

#include <cstdint>
#include <new>

#include "core/qz_except.h"
#include "core/rpc_exception.h"
#include "core/status.h"
#include "core/trace_log.h"
#include "exports/session_slot.h"
#include "platform/probe.h"
#include "rpc/records.h"
#include "qzcsif/qzcsif.h"
#include "session/server_session.h"

namespace qz::exports {

enum class Variant {
  kA,  // entry and return trace; a bad ID returns at once
  kB,  // entry and return trace; a bad ID still writes the return trace
  kC,  // entry trace only
  kD,  // no trace
};

// Clears an output block pointer and its count before the server ID is
// checked (exports whose callers rely on that). Unwritable pointers are
// skipped: the operation's own argument check answers them.
inline void ClearOutputs(void* block_out, uint32_t* count_out) noexcept {
  const void* none = nullptr;
  const uint32_t zero = 0;
  if (block_out != nullptr) (void)platform::ProbeWrite(block_out, sizeof none, &none);
  if (count_out != nullptr) (void)platform::ProbeWrite(count_out, sizeof zero, &zero);
}

// Return lines of an export that hands out a block: lret, then the block
// pointer, its size (*count x record_size bytes) and its dump. Safe when
// the session never filled the outputs.
inline auto BlockReturn(const void* block_out, const char* block_name, const uint32_t* count,
                        const char* size_name, size_t record_size) {
  return [=](TraceEntry& t, uint32_t lret) {
    t.Lret(lret).Buffer(block_name, TracePeekPointer(static_cast<const void* const*>(block_out)),
                        size_name, size_t{TracePeekU32(count)} * record_size);
  };
}

// Entry lines of a reader selecting by condition: dwServerID and the
// condition; the outputs are cleared before the server ID check.
inline auto ConditionEntry(uint32_t id, const char* cond_name, const char* cond, void* block_out,
                           uint32_t* count_out) {
  return [=](TraceEntry& t) {
    t.Num("dwServerID", id).Str(cond_name, cond);
    ClearOutputs(block_out, count_out);
  };
}

// Caller records passed as const to the exports, as the session takes them.
inline void* MutableArg(const void* p) { return const_cast<void*>(p); }

// Ready-made parameter writers.
inline constexpr auto kNoEntryParams = [](TraceEntry&) {};
inline constexpr auto kNoReturnParams = [](TraceEntry&, uint32_t) {};
inline constexpr auto kLretOnly = [](TraceEntry& t, uint32_t lret) { t.Lret(lret); };

namespace internal {

// Runs the session operation; an escaping exception becomes a status.
template <typename Call>
uint32_t CallSession(Call& call, CServerSession& session) noexcept {
  try {
    return static_cast<uint32_t>(call(session));
  } catch (const RpcException& e) {
    return e.code();
  } catch (const qz_except& e) {
    return e.GetErrorCode();
  } catch (const std::bad_alloc&) {
    return QZ_E_OUTOFMEMORY;
  } catch (...) {
    return kEUnexpected;
  }
}

// Writes one trace entry; false when it failed (QZ_E_TRACEFAILED).
template <typename Params, typename... Args>
bool WriteTrace(const char* label, Params& params, Args... args) noexcept {
  try {
    TraceEntry entry(label ? label : "");
    params(entry, args...);
    entry.Write();
    return true;
  } catch (...) {
    return false;
  }
}

// Holds the reference AcquireValidSession added.
struct SessionRef {
  CServerSession* s;
  ~SessionRef() {
    if (s) s->Release();
  }
};

}  // namespace internal

// Writes one trace entry outside RunFrame (exports with a frame of their
// own, such as LogInServer and the service-control exports): params is
// called with the entry (and any extra arguments). False when the entry
// failed; the export then returns QZ_E_TRACEFAILED.
template <typename Params, typename... Args>
bool WriteTraceEntry(const char* label, Params&& params, Args... args) noexcept {
  return internal::WriteTrace(label, params, args...);
}

// RunFrame with a check of the export's own between the entry trace and
// the server-ID check: `precheck()` returns kStatusOk to go on, or a status
// that the export returns at once, without a return entry (exports that
// refuse null output pointers before anything else, then clear them).
template <typename EntryParams, typename Precheck, typename Call, typename ReturnParams>
uint32_t RunFramePrechecked(Variant variant, uint32_t server_id, const char* entry_label,
                            EntryParams&& entry_params, Precheck&& precheck, Call&& call,
                            const char* return_label, ReturnParams&& return_params) noexcept {
  const bool entry_trace = variant != Variant::kD;
  const bool return_trace = variant == Variant::kA || variant == Variant::kB;
  if (entry_trace && !internal::WriteTrace(entry_label, entry_params)) return QZ_E_TRACEFAILED;
  if (uint32_t status = precheck(); status != kStatusOk) return status;
  uint32_t result;
  {
    internal::SessionRef ref{AcquireValidSession(server_id)};
    if (ref.s == nullptr) {
      result = QZ_E_BADSERVERID;
      if (variant != Variant::kB) return result;
    } else {
      result = internal::CallSession(call, *ref.s);
    }
  }
  if (return_trace && !internal::WriteTrace(return_label, return_params, result))
    return QZ_E_TRACEFAILED;
  return result;
}

template <typename EntryParams, typename Call, typename ReturnParams>
uint32_t RunFrame(Variant variant, uint32_t server_id, const char* entry_label,
                  EntryParams&& entry_params, Call&& call, const char* return_label,
                  ReturnParams&& return_params) noexcept {
  return RunFramePrechecked(variant, server_id, entry_label, entry_params,
                            [] { return kStatusOk; }, call, return_label, return_params);
}

// Clears a list export's outputs (*pp = null, *pn = 0) where they can be
// written; a bad pointer is left to the operation's argument check.
inline void ClearListOutputs(void* pp, uint32_t* pn) noexcept { ClearOutputs(pp, pn); }

// A precheck for RunFramePrechecked that clears a list export's outputs
// and goes on.
template <typename T>
auto ClearingListOutputs(T** pp, uint32_t* pn) noexcept {
  return [pp, pn] {
    ClearListOutputs(pp, pn);
    return kStatusOk;
  };
}

// A typed output list pointer as the session operations take it, and the
// block it received as a return entry reads it (null when unreadable).
template <typename T>
void** AsVoidList(T** pp) noexcept {
  return reinterpret_cast<void**>(pp);
}
template <typename T>
const void* PeekList(T** pp) noexcept {
  return TracePeekPointer(reinterpret_cast<const void* const*>(pp));
}

// The return parameters of a list export: lret, then the returned block
// *pp with its size line and a dump of *pn x record_size bytes.
template <typename T>
auto ListReturn(const char* ptr_name, T** pp, const char* size_name, const uint32_t* pn,
                size_t record_size) noexcept {
  return BlockReturn(pp, ptr_name, pn, size_name, record_size);
}

// Byte length of the first `count` records of a returned length-prefixed
// list (each record's first 32 bits are its length), for the size of a
// return entry's dump: the walk stops at a record that is malformed or
// cannot be read, so a dump of this length never leaves the records.
inline size_t ListDumpBytes(const void* block, uint32_t count) noexcept {
  if (block == nullptr) return 0;
  const auto* base = static_cast<const uint8_t*>(block);
  try {
    return rpc::records::MeasureList(count, [base](uint64_t offset, void* out, size_t n) {
             return platform::ProbeRead(base + offset, n, out);
           }).bytes;
  } catch (...) {
    return 0;
  }
}

// Variant C: entry trace only.
template <typename EntryParams, typename Call>
uint32_t RunFrameEntryOnly(uint32_t server_id, const char* entry_label, EntryParams&& entry_params,
                           Call&& call) noexcept {
  return RunFrame(Variant::kC, server_id, entry_label, entry_params, call, nullptr,
                  kNoReturnParams);
}

// Variant D: no trace at all.
template <typename Call>
uint32_t RunFrameUntraced(uint32_t server_id, Call&& call) noexcept {
  return RunFrame(Variant::kD, server_id, nullptr, kNoEntryParams, call, nullptr,
                  kNoReturnParams);
}

}  // namespace qz::exports

#endif  // QZ_EXPORTS_FRAME_H_
