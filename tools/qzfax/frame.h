// frame.h -- what every qzfax subcommand stands on: the global options, the
// session (library start, login, logout), output as a table or one JSON
// document, and statuses turned into a message and an exit status.
//
// A subcommand is registered with Command(): its body runs inside the
// frame, which catches a Failure, prints it (with the status number and its
// text) and leaves the exit status for main. Bodies build their result as
// nlohmann::json with stable field names; Emit prints it as a table (the
// columns given) or, with --json, as the document itself.
//
// Thread-safety: single-threaded, as the command line is.
#ifndef QZFAX_FRAME_H_
#define QZFAX_FRAME_H_

#include <qzcsif/qzcsif.h>

#include <CLI/CLI.hpp>
#include <cstdint>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace qzfax {

using nlohmann::json;

// Exit statuses (documented in doc/man/qzfax.h2m, EXIT STATUS).
enum Exit : int {
  kExitOk = 0,
  kExitFailed = 1,        // a local failure: a system status below 1700 (a file that
                          // cannot be created, ...)
  kExitUsage = 2,         // bad command line or bad input; nothing was sent
  kExitUnreachable = 3,   // no fax server reached, or no login (RPC statuses, HRESULTs)
  kExitLibrary = 4,       // the library refused the call (QZ_E_*, E_NOTIMPL, E_INVALIDARG)
  kExitDenied = 5,        // the user lacks the right (library or server)
  kExitNotFound = 6,      // the task, message, user, record ... does not exist
  kExitServer = 7,        // any other refusal of the fax server (0xC1FExxxx)
  kExitFaxFailed = 8,     // send --wait: the fax ended failed or stopped
};

// The global options, filled by CLI11 before any body runs.
struct Globals {
  bool json = false;
  std::string server = "127.0.0.1";  // host of "server start" and "server caps"
  std::string transport;             // "", "local" or "tcp"
};
Globals& Global();

// A failure that ends the command: a message for stderr and an exit status.
// `status` is the library or server status (0: none).
class Failure : public std::runtime_error {
 public:
  Failure(int exit_status, const std::string& message, uint32_t status = 0,
          json details = json::object())
      : std::runtime_error(message),
        exit_status_(exit_status),
        status_(status),
        details_(std::move(details)) {}
  int exit_status() const { return exit_status_; }
  uint32_t status() const { return status_; }
  // Fields the JSON error document carries besides "error".
  const json& details() const { return details_; }

 private:
  int exit_status_;
  uint32_t status_;
  json details_;
};

// Bad input: exit status 2, nothing sent.
[[noreturn]] void Usage(const std::string& message);

// The text of a status: this thread's error record (GetLastErrorInfo) when
// it holds that status, the library's message module for library statuses,
// the fax server's documented names for its own statuses, else the name of
// the RPC or system status. Never empty.
std::string StatusText(uint32_t status);
// The exit status for a failure status.
int ExitFor(uint32_t status);
// "0xC1FE0051 (NOT_FOUND: the item ... does not exist)".
std::string DescribeStatus(uint32_t status);
// Throws a Failure unless status == ok: "<what>: status 0x... (<text>)".
void Check(uint32_t status, const std::string& what, uint32_t ok = QZ_OK);

// The library started and logged in for one command; the destructor ends
// the library, which logs out.
class Session {
 public:
  Session();
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  uint32_t id() const { return id_; }

 private:
  uint32_t id_ = 0;
};

// A block the library allocated (RDMemAlloc); freed with RDMemFree.
template <class T>
struct Block {
  T* p = nullptr;
  uint32_t n = 0;  // records or bytes, as the export says
  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  ~Block() {
    if (p != nullptr) RDMemFree(p);
  }
  T** out() { return &p; }
  const T* begin() const { return p; }
  const T* end() const { return p == nullptr ? p : p + n; }
};

// The records of a list block, copied out (blocks need not be aligned).
template <class T>
std::vector<T> Records(const Block<T>& block) {
  std::vector<T> out(block.n);
  if (block.n != 0) std::memcpy(out.data(), block.p, sizeof(T) * block.n);
  return out;
}

// Length-prefixed records (scripts, dial rules), walked by their lengths.
template <class T>
std::vector<T> Prefixed(const void* p, uint32_t count) {
  std::vector<T> out;
  const auto* b = static_cast<const uint8_t*>(p);
  for (uint32_t i = 0, at = 0; p != nullptr && i < count; ++i) {
    T r{};
    std::memcpy(&r, b + at, sizeof r);
    if (r.dwLength < sizeof r) break;
    out.push_back(r);
    at += r.dwLength;
  }
  return out;
}

// A fixed text field as a string (stops at the NUL or the field's end).
template <size_t N>
std::string Text(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}
// Copies `value` into a fixed text field; too long for it (a NUL must fit)
// is bad input naming `what`.
void PutText(char* field, size_t size, const std::string& value, const char* what);
template <size_t N>
void Put(char (&field)[N], const std::string& value, const char* what) {
  PutText(field, N, value, what);
}

// Seconds since 1970 as "YYYY-MM-DD HH:MM:SS" (UTC); 0 as "".
std::string Time(uint32_t seconds);
// Names of task states, receive states, message flags, rights masks.
std::string TaskState(uint32_t state);
std::string Hex(uint32_t v);

// One column of a table: the JSON field shown and its heading.
struct Column {
  const char* field;
  const char* heading;
};
// Prints `rows` (a JSON array of objects): with --json the document
// {"<key>": rows}, else a table of the columns (a "(none)" line when empty).
void Emit(const char* key, const json& rows, const std::vector<Column>& columns);
// Prints one object: with --json the object, else "field: value" lines.
void EmitObject(const json& object);
// A finished action: with --json `object` (plus "ok": true), else `text`.
void Done(const std::string& text, json object = json::object());

// Adds a subcommand whose body runs inside the frame (see above).
CLI::App* Command(CLI::App& parent, const std::string& name, const std::string& description,
                  std::function<void()> body);
// Adds a group of subcommands (one of them required).
CLI::App* Group(CLI::App& parent, const std::string& name, const std::string& description);
// The exit status the last body left.
int& ExitStatus();

// Reads a whole local file; a missing or unreadable one is bad input.
std::string ReadFile(const std::string& path);
// An absolute path (the server opens client files by absolute path).
std::string Absolute(const std::string& path);
// Checks that `path` is a fax document the server takes: a TIFF whose
// every page is compressed with CCITT Group 3 or 4. Bad input otherwise.
// Returns the number of pages.
uint32_t CheckFaxTiff(const std::string& path);

}  // namespace qzfax

#endif  // QZFAX_FRAME_H_
