// error_text.h -- status texts, the per-thread error record, the error box
// and the throw helpers.
//
// Text lookup by facility nibble (bits 24-27): 0 -> the system message
// table; 1 -> the message module, loaded by name ("libqzmsg.so", normal
// dlopen search order) for each lookup and unloaded again; a module that
// cannot be loaded gives the system text of 126, a code it lacks the text
// of 317; any other nibble -> no text.
//
// Thread-safety: all functions are reentrant; the per-thread record is
// private to the calling thread. The module-name test seam is a process
// global meant for single-threaded test setup.
#ifndef QZ_CORE_ERROR_TEXT_H_
#define QZ_CORE_ERROR_TEXT_H_

#include <cstdint>
#include <string>

namespace qz {

// Writes the text of `code` into buf (at most size bytes including the
// NUL; the buffer is left untouched when there is no text). Returns -1
// for size <= 0 without writing, else 0.
int FormatStatusText(char* buf, int size, uint32_t code);
// The text of `code` as a string (empty when there is none).
std::string StatusText(uint32_t code);

// Records code and text (null: the code's text) in the calling thread's
// 132-byte QZERRORINFO block, the text cut to 127 characters.
void RecordThreadError(uint32_t code, const char* text);
// Copies the calling thread's block into out (132 bytes); zeros when the
// thread never recorded an error.
void CopyThreadError(void* out);

// The error box text: "Error Code: (0x%08x), Message: <text>\n".
std::string ErrorBoxText(uint32_t code, const std::string& text);
// Shows the error box for `code` (caption "Quazel") through the platform's
// message-box sink. When the text cannot be obtained, shows the box for
// the last error code instead. Returns 0.
int ShowErrorBox(uint32_t code);

// Throws qz_except(code, null); code must not be 0.
[[noreturn]] void ThrowStatus(uint32_t code);
// Throws the platform's last error code as a qz_except.
[[noreturn]] void ThrowLastError();

// Test seam: the file name under which the message module is loaded for
// lookups (null restores "libqzmsg.so"). A name that does not exist
// simulates a missing module.
void SetMessageModuleNameForTesting(const char* name);

}  // namespace qz

#endif  // QZ_CORE_ERROR_TEXT_H_
