// trace_records.h -- the records of the public header, field by field, for
// decoding the buffer dumps of the call trace log.
//
// One table maps a record name, as the dump's length expression names it
// ("(*pdwRecordCount * sizeof(USERLOG_TABLE))" -> USERLOG_TABLE), to the
// record's fields: name, offset, size and kind, taken with offsetof/sizeof
// from the typed structs of qzcsif.h and qzrecords_*.h, so a change of a
// public struct changes the decoder with it. A few dumps whose length
// expression names no record (the session's own entries, such as
// "Call rpcSendFax " with "pFaxInfo" and "dwSize") are named by a second,
// small table keyed by label and buffer name.
//
// Thread-safety: the tables are constant; the functions are reentrant.
#ifndef QZFAX_TRACE_RECORDS_H_
#define QZFAX_TRACE_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qzfax::trace {

enum class FieldKind { kU8, kU16, kU32, kI32, kF64, kText, kBytes, kU32Array };

struct Field {
  const char* name;
  size_t offset;
  size_t size;
  FieldKind kind;
};

struct RecordType {
  const char* name;
  size_t size;                 // sizeof the public struct (the fixed part)
  std::vector<Field> fields;
  bool length_prefixed;        // first 32 bits: the record's own length
};

// The record named `name` ("USERLOG_TABLE", "DWORD"), or null.
const RecordType* FindRecord(std::string_view name);
// Every record the table knows.
const std::vector<RecordType>& AllRecords();

// The record a dump holds: named in its length expression (`size_name`),
// else by the entry's label and the buffer's name; null when unknown.
const RecordType* RecordForDump(std::string_view label, std::string_view pointer_name,
                                std::string_view size_name);

// A dump cut into records of `type`: each record's fields as a JSON object
// (texts as strings up to their NUL, numbers as numbers, reserved bytes as
// hex when not all zero). Fixed-size records follow every type.size bytes;
// length-prefixed ones are walked by their length field. `rest` gets the
// bytes at the end that make no whole record.
std::vector<nlohmann::ordered_json> DecodeRecords(const RecordType& type,
                                                  const std::vector<uint8_t>& bytes,
                                                  size_t* rest);

}  // namespace qzfax::trace

#endif  // QZFAX_TRACE_RECORDS_H_
