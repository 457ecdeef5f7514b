// probe.h -- safe access to caller memory.
//
// A caller may hand the library a pointer to memory that is not mapped or
// not writable. These routines read or write such memory through the
// kernel (process_vm_readv / process_vm_writev on our own process, or a
// pipe where those are forbidden), which reports EFAULT instead of raising
// SIGSEGV, so a bad pointer becomes a failed result rather than a crash.
//
// Thread-safety: reentrant. A probe is a snapshot: memory that another
// thread unmaps afterwards can still fault a later plain access.
#ifndef QZ_PLATFORM_PROBE_H_
#define QZ_PLATFORM_PROBE_H_

#include <cstddef>
#include <cstdint>

namespace qz::platform {

// Copies n bytes at p into copy_out (which may be null: only test
// readability). True when all n bytes were readable. n == 0 is true.
bool ProbeRead(const void* p, size_t n, void* copy_out);
// Writes n bytes of data to p. True when all n bytes were written.
// With data == null, tests writability by writing back what is there.
bool ProbeWrite(void* p, size_t n, const void* data);
// Reads a 32-bit value; false when p is not readable.
bool SafeReadU32(const void* p, uint32_t* value);
// Length of the NUL-terminated string at s, reading at most max_len bytes.
// False when a byte before the NUL (or before max_len) is unreadable.
bool SafeStrLen(const char* s, size_t max_len, size_t* len);

// Test seam: forces the fallback method (a pipe: write(2)/read(2) report
// EFAULT too) that is used where process_vm_readv/writev are forbidden.
void SetPipeProbingForTesting(bool use_pipe);

}  // namespace qz::platform

#endif  // QZ_PLATFORM_PROBE_H_
