// platform.h -- the operating-system layer of the library: the one place
// that knows it runs on Linux.
//
// Provides the stand-ins for what the library needs from its platform:
// process attach/detach, the per-thread 132-byte error block, the process
// heap for memory handed to callers, the library's own directory, the
// thread's "last error" (a Win32 code), the system message table, and the
// message-box sink.
//
// Thread-safety: every function may be called from any thread. The error
// block and the last error are per thread. The message-box sink and the
// detach handler are process globals meant to be set once (tests replace
// the sink; replacing it while another thread shows a box is not allowed).
#ifndef QZ_PLATFORM_PLATFORM_H_
#define QZ_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qz::platform {

// ---- Win32 codes the library produces or maps errno values to ----------
inline constexpr uint32_t kErrSuccess = 0;
inline constexpr uint32_t kErrFileNotFound = 2;
inline constexpr uint32_t kErrPathNotFound = 3;
inline constexpr uint32_t kErrAccessDenied = 5;
inline constexpr uint32_t kErrInvalidHandle = 6;
inline constexpr uint32_t kErrNotEnoughMemory = 8;
inline constexpr uint32_t kErrOutOfMemory = 14;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrModNotFound = 126;
inline constexpr uint32_t kErrBadExeFormat = 193;
inline constexpr uint32_t kErrMessageNotFound = 317;
inline constexpr uint32_t kErrAccessViolation = 0xC0000005u;

// ---- Process attach / detach --------------------------------------------
// The library constructor runs attach when the module is mapped, the
// destructor runs detach (which calls the registered handler, if any).
// The detach handler is how the export layer ends an initialised library.
using DetachHandler = void (*)();
void SetProcessDetachHandler(DetachHandler handler);
// True while the process-detach path runs (the session teardown then skips
// remote calls).
bool IsProcessDetaching();

// ---- Per-thread error block (QZERRORINFO: code + 128-byte text) ----------
inline constexpr size_t kThreadErrorBlockSize = 132;
// The calling thread's block, allocated zero-filled on first use and freed
// when the thread exits. Null only when the allocation failed.
uint8_t* ThreadErrorBlock();
// The block if this thread already has one, else null (never allocates).
const uint8_t* PeekThreadErrorBlock();

// ---- Process heap ---------------------------------------------------------
// Zero-filled memory from the C heap; null for size 0 or when exhausted.
void* HeapAlloc(size_t size);
// Frees memory from HeapAlloc. Returns 0 for null, nonzero otherwise.
uint32_t HeapFree(void* p);
// Blocks of this size and more are asked to be backed by huge pages.
inline constexpr size_t kLargeBlockBytes = size_t{4} << 20;
// Asks the kernel to back the whole 2 MiB pages inside [p, p + size) with
// huge pages where the system allows it: filling a large fresh block then
// takes a few page faults instead of one per 4 KiB. Only advice; nothing
// happens for a block smaller than kLargeBlockBytes.
void AdviseLargeBlock(void* p, size_t size);
// Makes room for `extra` more bytes at the end of *v (capacity at least
// doubles when it grows); a buffer that grows to kLargeBlockBytes or more
// comes advised as above. Throws std::bad_alloc as vector growth does.
void ReserveMore(std::vector<uint8_t>* v, size_t extra);

// ---- Module path ----------------------------------------------------------
// Directory of the module (shared object or executable) that holds this
// code, with a trailing '/'. Empty if it cannot be determined.
std::string ModuleDirectory();

// ---- Dynamic modules ------------------------------------------------------
// Loads a shared object by file name (normal search order) or by path.
// On failure returns null and sets the last error: 2 when a path names no
// file, 126 when a name is not found, 193 when the file is not loadable.
void* LoadModule(const char* name_or_path);
// Address of a data or code symbol of a loaded module, or null.
const void* ModuleSymbol(void* module, const char* symbol);
void FreeModule(void* module);

// ---- Last error (per thread Win32 code) -----------------------------------
void SetLastError(uint32_t code);
uint32_t GetLastError();
// Maps an errno value to the Win32 code a Windows caller would see.
uint32_t Win32FromErrno(int err);
// SetLastError(Win32FromErrno(err)).
void SetLastErrorFromErrno(int err);

// ---- Local files -----------------------------------------------------------
// Creates the file `path` for reading and writing (an existing file is
// truncated; a new one gets the usual mode 0666 less the umask) and hands
// out its descriptor. Returns kErrSuccess, or the Win32 code of the
// failure: a missing folder on the path (and a null or empty path) gives
// kErrPathNotFound (3), a refused access kErrAccessDenied (5), the rest as
// Win32FromErrno maps them. The descriptor is close-on-exec.
uint32_t CreateLocalFile(const char* path, int* fd);
// Closes a descriptor from CreateLocalFile.
void CloseLocalFile(int fd);

// ---- System message table -------------------------------------------------
// Text of a Win32 / RPC / NT status code, or null when the table has none.
// An HRESULT of the form 0x8007xxxx has the text of the code xxxx.
const char* SystemMessageText(uint32_t code);
// True when the table is strictly ascending by code (unit test hook).
bool SystemMessageTableIsSorted();

// ---- Message box -------------------------------------------------------------
// A message box never blocks here: it goes to a sink, by default one line
// on stderr ("caption: text").
using MessageBoxSink = void (*)(const char* text, const char* caption);
// Replaces the sink; null restores the default. Returns the previous sink.
MessageBoxSink SetMessageBoxSink(MessageBoxSink sink);
void ShowMessageBox(const char* text, const char* caption);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_PLATFORM_H_
