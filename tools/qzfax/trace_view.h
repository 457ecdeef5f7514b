// trace_view.h -- what a parsed trace entry means (the export or procedure,
// call or return, result, server ID) and how it is shown: as text with the
// known records decoded field by field, or as JSON with stable field names.
//
// Thread-safety: reentrant; output goes to the FILE given.
#ifndef QZFAX_TRACE_VIEW_H_
#define QZFAX_TRACE_VIEW_H_

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "trace_parse.h"

namespace qzfax::trace {

struct Call {
  enum class Kind { kCall, kReturn, kCallAndReturn, kOther };
  std::string name;  // "RemoteQueryUserLog", "rpcSendFax"; the label for kOther
  Kind kind = Kind::kOther;
  bool procedure = false;              // a session's own entry around an RPC procedure
  std::optional<uint32_t> status;      // lret, as the 32-bit status
  std::optional<bool> ok;              // lret is the export's success value
  std::optional<uint32_t> server_id;   // dwServerID of the entry
};

// Reads the meaning of an entry from its labels and lines. Session
// exports succeed with 1, the service-control exports (ServerStart,
// ServerStop, ServerBackup) with 0.
Call Classify(const Entry& entry);
const char* KindName(Call::Kind kind);

struct ShowOptions {
  size_t max_dump_bytes = 256;  // undecoded bytes shown per dump
  size_t max_records = 10;      // decoded records shown per dump in text (0: all)
};

// One entry as a JSON object; duration_ms for a return whose call was seen.
nlohmann::ordered_json EntryJson(const Entry& entry, const Call& call,
                                 std::optional<int64_t> duration_ms, const ShowOptions& show);
// One entry as text.
void PrintEntry(std::FILE* out, const Entry& entry, const Call& call,
                std::optional<int64_t> duration_ms, const ShowOptions& show);

nlohmann::ordered_json ProblemJson(const Problem& problem);

}  // namespace qzfax::trace

#endif  // QZFAX_TRACE_VIEW_H_
