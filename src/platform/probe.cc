// probe.cc -- caller-memory probes through process_vm_readv/writev.
//
// Thread-safety: reentrant; keeps no state.
#include "platform/probe.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qz::platform {
namespace {

constexpr size_t kChunk = 4096;

// Moves n bytes between our own address ranges through the kernel.
// Partial transfers are continued; any failure ends the probe.
bool Transfer(void* local, const void* remote, size_t n, bool write) {
  static const pid_t self = ::getpid();
  size_t done = 0;
  while (done < n) {
    struct iovec l{static_cast<char*>(local) + done, n - done};
    struct iovec r{const_cast<char*>(static_cast<const char*>(remote)) + done, n - done};
    ssize_t got = write ? ::process_vm_writev(self, &l, 1, &r, 1, 0)
                        : ::process_vm_readv(self, &l, 1, &r, 1, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool ProbeRead(const void* p, size_t n, void* copy_out) {
  if (n == 0) return true;
  if (p == nullptr) return false;
  if (copy_out != nullptr) return Transfer(copy_out, p, n, false);
  char buf[kChunk];
  for (size_t off = 0; off < n; off += kChunk) {
    size_t part = n - off < kChunk ? n - off : kChunk;
    if (!Transfer(buf, static_cast<const char*>(p) + off, part, false)) return false;
  }
  return true;
}

bool ProbeWrite(void* p, size_t n, const void* data) {
  if (n == 0) return true;
  if (p == nullptr) return false;
  // process_vm_writev takes the local side as the source.
  if (data != nullptr) return Transfer(const_cast<void*>(data), p, n, true);
  char buf[kChunk];
  for (size_t off = 0; off < n; off += kChunk) {
    size_t part = n - off < kChunk ? n - off : kChunk;
    char* at = static_cast<char*>(p) + off;
    if (!Transfer(buf, at, part, false) || !Transfer(buf, at, part, true)) return false;
  }
  return true;
}

bool SafeReadU32(const void* p, uint32_t* value) {
  uint32_t v = 0;
  if (!ProbeRead(p, sizeof v, &v)) return false;
  if (value) *value = v;
  return true;
}

bool SafeStrLen(const char* s, size_t max_len, size_t* len) {
  if (s == nullptr) return false;
  size_t total = 0;
  char buf[256];
  while (total < max_len) {
    // Read up to the end of the current page so a string that ends just
    // before an unmapped page is still accepted.
    uintptr_t at = reinterpret_cast<uintptr_t>(s + total);
    size_t to_page_end = kChunk - (at % kChunk);
    size_t part = sizeof buf < to_page_end ? sizeof buf : to_page_end;
    if (part > max_len - total) part = max_len - total;
    if (!ProbeRead(s + total, part, buf)) return false;
    const void* nul = std::memchr(buf, '\0', part);
    if (nul != nullptr) {
      total += static_cast<size_t>(static_cast<const char*>(nul) - buf);
      if (len) *len = total;
      return true;
    }
    total += part;
  }
  if (len) *len = max_len;
  return true;
}

}  // namespace qz::platform
